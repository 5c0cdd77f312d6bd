// Checkpoints: the whole state of a run between two steps, written to one binary file and read
// back by a later run of the same scenario with the same build, which then continues exactly
// as the first run would have.
//
// Layout (native byte order; every integer and real as in memory):
//   "VESTRACP", u32 format version
//   text build (the library's version and the digest of its binary)
//   u32 n, n x (u8 isFile, text key, text value): the run's fingerprint
//   i64 next step index, f32 adaptive step, 4 x i64 frame periods written,
//   i64 position in the boundary series (-1 exhausted, -2 none)
//   u32 levels, then per level: 4 x f64 volume account, i32 nx, ny, f32 stepMaximum,
//     4 x i32 output counters, u64 digest of the fields
//     fixed by the inputs, the state fields (i32 columns, stride, then the values, halo included),
//     13 x i64 lengths of the time-history files (-1: absent)
//   u64 checksum of everything before it
// Text is a u32 length and the bytes.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Kernels.h"
#include "PathJoin.h"
#include "TimeHistory.h"
#include "ZellSimulatorVestra.h"

#ifndef VESTRA_VERSION
#define VESTRA_VERSION "unknown"
#endif

namespace {

constexpr char kMagic[8] = {'V', 'E', 'S', 'T', 'R', 'A', 'C', 'P'};
constexpr uint32_t kFormatVersion = 1;
constexpr uint32_t kMaxText = 1u << 20;   // longer text marks a damaged file
constexpr uint32_t kMaxCount = 1u << 20;  // likewise a longer list

// 64-bit FNV-1a over the bytes, eight at a time where it can (the same pieces give the same sum).
class Digest {
public:
    void Add(const void* data, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (; size >= 8; p += 8, size -= 8) {
            uint64_t word;
            std::memcpy(&word, p, 8);
            value_ = (value_ ^ word) * 1099511628211ull;
        }
        for (; size > 0; ++p, --size) value_ = (value_ ^ *p) * 1099511628211ull;
    }
    uint64_t Value() const { return value_; }

private:
    uint64_t value_ = 14695981039346656037ull;
};

std::string Hex(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// Digest and size of a file's contents; "none" for no file, "missing" for one that cannot be read.
std::string FileFingerprint(const std::string& path) {
    if (path.empty()) return "none";
    std::ifstream in(path, std::ios::binary);
    if (!in) return "missing";
    Digest digest;
    std::vector<char> chunk(1 << 16);
    std::size_t size = 0;
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const std::size_t n = static_cast<std::size_t>(in.gcount());
        digest.Add(chunk.data(), n);
        size += n;
    }
    return Hex(digest.Value()) + " (" + std::to_string(size) + " bytes)";
}

// The library's version and the digest of the binary that holds this code: another build, even
// of the same sources, may round differently, so only the same binary continues a run.
const std::string& BuildIdentity() {
    static const std::string identity = [] {
        Dl_info info{};
        std::string digest = "unknown binary";
        if (dladdr(reinterpret_cast<void*>(&FileFingerprint), &info) != 0 && info.dli_fname != nullptr)
            digest = FileFingerprint(info.dli_fname);
        return std::string("vestra " VESTRA_VERSION ", binary ") + digest;
    }();
    return identity;
}

// The shortest text (from six digits on) that reads back as the same value.
template <typename T>
std::string Number(T value) {
    char text[32];
    for (int digits = 6; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
        if (static_cast<T>(std::strtod(text, nullptr)) == value) break;
    }
    return text;
}

struct FingerprintEntry {
    uint8_t isFile = 0;  // value is a file's fingerprint; key names the setting that names it
    std::string key, value, path;  // path: the file now (not stored)
};

// File output: every piece goes through the checksum; the first failure is kept.
class CheckpointWriter {
public:
    explicit CheckpointWriter(FILE* file) : file_(file) {}
    void Raw(const void* data, std::size_t size) {
        if (ok_ && std::fwrite(data, 1, size, file_) != size) ok_ = false;
        digest_.Add(data, size);
    }
    bool Reading() const { return false; }
    bool ok_ = true;
    Digest digest_;

private:
    FILE* file_;
};

class CheckpointReader {
public:
    explicit CheckpointReader(FILE* file) : file_(file) {}
    void Raw(void* data, std::size_t size) {
        if (ok_ && std::fread(data, 1, size, file_) != size) ok_ = false;
        if (!ok_) std::memset(data, 0, size);
        digest_.Add(data, size);
    }
    bool Reading() const { return true; }
    bool ok_ = true;
    Digest digest_;

private:
    FILE* file_;
};

template <typename Archive, typename T>
void Pod(Archive& a, T& value) {
    a.Raw(&value, sizeof value);
}

template <typename Archive>
void Text(Archive& a, std::string& text) {
    uint32_t size = static_cast<uint32_t>(text.size());
    Pod(a, size);
    if (a.Reading()) {
        if (size > kMaxText) {
            a.ok_ = false;
            return;
        }
        text.assign(size, '\0');
    }
    a.Raw(text.data(), size);
}

// A field with its shape; read back only into a field of the same shape.
template <typename Archive>
void FieldData(Archive& a, Field& field) {
    int32_t columns = field.Columns(), stride = field.Stride();
    Pod(a, columns);
    Pod(a, stride);
    if (columns != field.Columns() || stride != field.Stride()) {
        a.ok_ = false;
        return;
    }
    if (!field.empty()) a.Raw(field.Data(), field.Size() * sizeof(float));
}

// Every field the steps change, in file order. The others (StaticFields) follow from the inputs.
template <typename Apply>
void StateFields(GridLevel& l, Apply apply) {
    for (Field* f : {&l.flowDepthAtMaxCurrent, &l.timeOfMaxCurrent, &l.maxDischargeFlux, &l.maxFluxN, &l.maxFluxM,
                     &l.fluxM, &l.fluxMNext, &l.fluxN, &l.fluxNNext, &l.totalDepthM, &l.totalDepthN, &l.rouseNumber,
                     &l.totalDepth, &l.totalDepthNext, &l.eta, &l.etaNext, &l.etaMax, &l.etaMin, &l.timeOfMaxWave,
                     &l.firstWaveArrival, &l.maxCurrentAngle, &l.maxCurrent, &l.maxFlowDepth, &l.maxFroude,
                     &l.maxFroudeSquared, &l.maxDragForce, &l.maxDischargeFluxAngle, &l.froudeSquaredU,
                     &l.froudeSquaredV, &l.maxMomentumFlux, &l.currentAtMaxFroudeSquared,
                     &l.flowDepthAtMaxFroudeSquared, &l.timeOfMaxFroudeSquared, &l.layerEtaX, &l.layerEtaY})
        apply(*f);
}

// Digest of what Init derives from the inputs and the steps only read: a resumed run must have
// rebuilt exactly these.
uint64_t StaticDigest(const GridLevel& l) {
    Digest digest;
    for (const Field* f : {&l.depth, &l.cellField, &l.manning, &l.metricX, &l.gravityMetricX, &l.gravityMetricY})
        if (!f->empty()) digest.Add(f->Data(), f->Size() * sizeof(float));
    for (const std::vector<float>* v : {&l.cosLatitude, &l.coriolisCentre, &l.coriolisEdge})
        digest.Add(v->data(), v->size() * sizeof(float));
    digest.Add(l.gaugeColumns.data(), l.gaugeColumns.size() * sizeof(int32_t));
    digest.Add(l.gaugeRows.data(), l.gaugeRows.size() * sizeof(int32_t));
    return digest.Value();
}

// Length of a file, -1 when there is none.
int64_t FileLength(const std::string& path) {
    std::error_code code;
    const auto size = std::filesystem::file_size(path, code);
    return code ? -1 : static_cast<int64_t>(size);
}

// Everything of the scenario that the state depends on, but the thread count and the paths
// (the contents of the input files count, so a moved scenario folder still continues).
std::vector<FingerprintEntry> RunFingerprint(const SimulationParameters& p, const ExtendedRunSettings& e,
                                                    const std::vector<HostGridRecord>& grids,
                                                    const std::vector<SourceEvent>& sources) {
    std::vector<FingerprintEntry> entries;
    auto value = [&](const std::string& key, double v) { entries.push_back({0, key, Number(v), {}}); };
    auto real = [&](const std::string& key, float v) { entries.push_back({0, key, Number(v), {}}); };
    auto file = [&](const std::string& key, const std::string& path) {
        entries.push_back({1, key, FileFingerprint(path), path});
    };
    value("outputFormat", p.outputFormat);
    value("adaptiveTimeStepEnabled", p.adaptiveTimeStepEnabled);
    real("timeStep", p.timeStep);
    real("startTime", p.startTime);
    real("endTime", p.endTime);
    real("snapshotInterval", p.snapshotInterval);
    value("historyEverySteps", p.historyEverySteps);
    value("roughnessMode", p.roughnessMode);
    real("manningCoefficient", p.manningCoefficient);
    file("roughnessFile", p.roughnessFile);
    value("snapshotMode0Enabled", p.snapshotMode0Enabled);
    value("snapshotMode1Enabled", p.snapshotMode1Enabled);
    value("snapshotMode2Enabled", p.snapshotMode2Enabled);
    real("snapshotMode0Interval", p.snapshotMode0Interval);
    real("snapshotMode1Interval", p.snapshotMode1Interval);
    real("snapshotMode2Interval", p.snapshotMode2Interval);
    real("landCutoffDepth", p.landCutoffDepth);
    real("velocityLimit", p.velocityLimit);
    real("flowDepthLimit", p.flowDepthLimit);
    value("timeSeriesEnabled", p.timeSeriesEnabled);
    file("timeSeriesFile", p.timeSeriesFile);
    value("seriesFirstIndex", p.seriesFirstIndex);
    value("seriesLastIndex", p.seriesLastIndex);
    value("seriesMode", p.seriesMode);
    value("useEtaOnly", p.useEtaOnly);
    value("cellFieldFromFile", p.cellFieldFromFile);
    file("cellFieldFile", p.cellFieldFile);
    value("[boundary] kind", static_cast<double>(e.edgeKind));
    value("[boundary] cells", e.absorbingCells);
    real("[numerics] smallFluxCut", e.smallFluxCut);
    value("[numerics] dispersion", e.dispersion ? 1 : 0);
    real("[numerics] dispersionMinDepth", e.dispersionMinDepth);
    value("[numerics] frontVelocityHead", e.frontVelocityHead ? 1 : 0);
    value("number of [[grids]]", static_cast<double>(grids.size()));
    for (std::size_t k = 0; k < grids.size(); ++k) {
        const std::string at = "[[grids]] #" + std::to_string(k + 1) + " ";
        value(at + "gridType", grids[k].gridType);
        value(at + "coriolis", grids[k].coriolis);
        real(at + "option", grids[k].optionNumber);
        value(at + "cellSize", grids[k].cellSize);
        file(at + "bathymetryFile", grids[k].bathymetryFile);
        file(at + "gaugeFile", grids[k].gaugeFile);
    }
    value("number of [[sources]]", static_cast<double>(sources.size()));
    for (std::size_t n = 0; n < sources.size(); ++n) {
        const std::string at = "[[sources]] #" + std::to_string(n + 1) + " ";
        file(at + "etaFile", sources[n].etaFile);
        file(at + "fluxMFile", sources[n].fluxMFile);
        file(at + "fluxNFile", sources[n].fluxNFile);
        real(at + "insertionTime", sources[n].insertionTime);
    }
    return entries;
}

// The whole state in file order, for writing (CheckpointWriter) or reading (CheckpointReader).
template <typename Archive>
void TransferState(Archive& a, ZellSimulatorVestra& s, int64_t& nextStepIndex, int64_t& seriesPosition,
                          std::vector<uint64_t>& staticDigests, std::vector<std::array<int64_t, 13>>& historyLengths) {
    Pod(a, nextStepIndex);
    Pod(a, s.adaptiveTimeStep);
    for (int64_t& periods : s.framePeriodsWritten) Pod(a, periods);
    Pod(a, seriesPosition);
    uint32_t count = static_cast<uint32_t>(s.levels.size());
    Pod(a, count);
    if (count != s.levels.size() || s.diagnostics.volumeBudgets.size() != s.levels.size()) {
        a.ok_ = false;
        return;
    }
    staticDigests.resize(count);
    historyLengths.resize(count);
    for (std::size_t k = 0; k < count && a.ok_; ++k) {
        LevelVolumeBudget& budget = s.diagnostics.volumeBudgets[k];
        Pod(a, budget.sourceVolume);
        Pod(a, budget.storedChange);
        Pod(a, budget.edgeOutflow);
        Pod(a, budget.nestingExchange);
        GridLevel& level = s.levels[k];
        int32_t nx = level.nx, ny = level.ny;
        Pod(a, nx);
        Pod(a, ny);
        if (nx != level.nx || ny != level.ny) a.ok_ = false;
        Pod(a, level.stepMaximum);
        for (int32_t& counter : level.outputCounters) Pod(a, counter);
        Pod(a, staticDigests[k]);
        StateFields(level, [&a](Field& field) { FieldData(a, field); });
        for (int64_t& length : historyLengths[k]) Pod(a, length);
    }
}

}  // namespace

int64_t ZellSimulatorVestra::WriteCheckpoint(const std::string& path, int64_t nextStepIndex, std::string* error) {
    static_assert(kTimeHistoryFileCount == 13);
    // The series' read position: -1 once it can give no more records (a stream at its end gives
    // none either), -2 without a series.
    int64_t seriesPosition = -2;
    if (timeSeriesStream.is_open())
        seriesPosition = timeSeriesStream.fail() || timeSeriesStream.eof()
                             ? -1
                             : static_cast<int64_t>(static_cast<std::streamoff>(timeSeriesStream.tellg()));
    std::vector<uint64_t> staticDigests;
    std::vector<std::array<int64_t, 13>> historyLengths(levels.size());
    for (std::size_t k = 0; k < levels.size(); ++k) {
        staticDigests.push_back(StaticDigest(levels[k]));
        for (int q = 0; q < kTimeHistoryFileCount; ++q)
            historyLengths[k][q] = FileLength(JoinPath(levels[k].outputFolder, kTimeHistoryFileNames[q]));
    }

    // Written beside the checkpoint and renamed over it once on disk: a run killed meanwhile
    // leaves the previous checkpoint whole (and a temporary file that the next write replaces).
    const std::string temporary = path + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        *error = temporary + ": " + std::strerror(errno);
        return -1;
    }
    std::vector<char> buffer(1 << 20);
    std::setvbuf(file, buffer.data(), _IOFBF, buffer.size());
    CheckpointWriter w(file);
    char magic[8];
    std::memcpy(magic, kMagic, 8);
    w.Raw(magic, 8);
    uint32_t version = kFormatVersion;
    Pod(w, version);
    std::string build = BuildIdentity();
    Text(w, build);
    std::vector<FingerprintEntry> entries = RunFingerprint(parameters, extendedSettings, *gridRecords, *sourceEvents);
    uint32_t count = static_cast<uint32_t>(entries.size());
    Pod(w, count);
    for (FingerprintEntry& entry : entries) {
        Pod(w, entry.isFile);
        Text(w, entry.key);
        Text(w, entry.value);
    }
    TransferState(w, *this, nextStepIndex, seriesPosition, staticDigests, historyLengths);
    uint64_t checksum = w.digest_.Value();
    w.Raw(&checksum, sizeof checksum);
    const bool written = w.ok_ && std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
    const int writeErrno = errno;
    if (std::fclose(file) != 0 || !written) {
        std::remove(temporary.c_str());
        *error = temporary + ": " + std::strerror(written ? errno : writeErrno);
        return -1;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return -1;
    }
    // The rename itself reaches the disk with the folder.
    const std::string folder = std::filesystem::path(path).parent_path().string();
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return FileLength(path);
}

bool ZellSimulatorVestra::RestoreCheckpoint(const std::string& path, std::string* error) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) {
        *error = path + ": cannot be opened: " + std::strerror(errno);
        return false;
    }
    std::vector<char> buffer(1 << 20);
    std::setvbuf(file.get(), buffer.data(), _IOFBF, buffer.size());
    const std::string damaged = path + ": not a vestra checkpoint or damaged";
    CheckpointReader r(file.get());
    char magic[8] = {};
    r.Raw(magic, 8);
    uint32_t version = 0;
    Pod(r, version);
    if (!r.ok_ || std::memcmp(magic, kMagic, 8) != 0) {
        *error = damaged;
        return false;
    }
    if (version != kFormatVersion) {
        *error = path + ": checkpoint format " + std::to_string(version) + ", this build reads format " +
                 std::to_string(kFormatVersion);
        return false;
    }
    std::string build;
    Text(r, build);
    uint32_t count = 0;
    Pod(r, count);
    if (!r.ok_ || count > kMaxCount) {
        *error = damaged;
        return false;
    }
    std::vector<FingerprintEntry> stored(count);
    for (FingerprintEntry& entry : stored) {
        Pod(r, entry.isFile);
        Text(r, entry.key);
        Text(r, entry.value);
    }
    if (!r.ok_) {
        *error = damaged;
        return false;
    }
    if (build != BuildIdentity()) {
        *error = path + ": written by another build (" + build + "); this is " + BuildIdentity();
        return false;
    }
    const std::vector<FingerprintEntry> current =
        RunFingerprint(parameters, extendedSettings, *gridRecords, *sourceEvents);
    for (std::size_t n = 0; n < std::max(stored.size(), current.size()); ++n) {
        if (n < stored.size() && n < current.size() && stored[n].key == current[n].key &&
            stored[n].value == current[n].value)
            continue;
        if (n >= stored.size() || n >= current.size() || stored[n].key != current[n].key) {
            *error = path + ": written for another scenario (its settings are not this run's)";
        } else if (current[n].isFile != 0) {
            *error = path + ": written for another scenario: " + current[n].key + " " + current[n].path +
                     " is not the file it was (" + stored[n].value + " then, " + current[n].value + " now)";
        } else {
            *error = path + ": written for another scenario: " + current[n].key + " was " + stored[n].value +
                     ", is " + current[n].value;
        }
        return false;
    }

    int64_t nextStepIndex = 0, seriesPosition = -2;
    std::vector<uint64_t> staticDigests;
    std::vector<std::array<int64_t, 13>> historyLengths;
    TransferState(r, *this, nextStepIndex, seriesPosition, staticDigests, historyLengths);
    const uint64_t expected = r.digest_.Value();
    uint64_t checksum = 0;
    r.Raw(&checksum, sizeof checksum);
    if (!r.ok_ || checksum != expected || std::fgetc(file.get()) != EOF || nextStepIndex < 1) {
        *error = damaged;
        return false;
    }
    for (std::size_t k = 0; k < levels.size(); ++k) {
        if (staticDigests[k] != StaticDigest(levels[k])) {
            *error = path + ": level " + std::to_string(k) +
                     " was set up differently (depths, coefficients or gauges) when the checkpoint was written";
            return false;
        }
    }
    const double minutes = static_cast<double>(parameters.startTime) +
                           static_cast<double>(nextStepIndex) * static_cast<double>(parameters.timeStep) / 60.0;
    if (checkpointSettings.untilMinutes >= 0.0 &&
        nextStepIndex >= StepsIn(checkpointSettings.untilMinutes - static_cast<double>(parameters.startTime),
                                 parameters.timeStep)) {
        *error = path + ": the checkpoint is at model time " + Number(minutes) + " min, already past --until " +
                 Number(checkpointSettings.untilMinutes);
        return false;
    }
    // The time histories continue from where they were: every file must still hold what it held.
    for (std::size_t k = 0; k < levels.size(); ++k) {
        for (int q = 0; q < kTimeHistoryFileCount; ++q) {
            const std::string history = JoinPath(levels[k].outputFolder, kTimeHistoryFileNames[q]);
            const int64_t length = historyLengths[k][q], now = FileLength(history);
            if (length >= 0 && now < length) {
                *error = history + ": holds " + (now < 0 ? std::string("nothing") : std::to_string(now) + " bytes") +
                         ", the checkpoint " + path + " needs its first " + std::to_string(length);
                return false;
            }
        }
    }
    // Nothing is refused from here on: lines the first run wrote after its checkpoint go.
    for (std::size_t k = 0; k < levels.size(); ++k) {
        for (int q = 0; q < kTimeHistoryFileCount; ++q) {
            const std::string history = JoinPath(levels[k].outputFolder, kTimeHistoryFileNames[q]);
            const int64_t length = historyLengths[k][q];
            std::error_code code;
            if (length < 0) std::filesystem::remove(history, code);
            else std::filesystem::resize_file(history, static_cast<std::uintmax_t>(length), code);
            if (code) {
                *error = history + ": " + code.message();
                return false;
            }
        }
    }
    if (timeSeriesStream.is_open()) {
        if (seriesPosition >= 0) timeSeriesStream.seekg(static_cast<std::streamoff>(seriesPosition));
        else timeSeriesStream.setstate(std::ios::failbit);
    }
    // The still-water windows are not saved: the whole of every level is active again for the
    // first steps after the restore. Skipping is exact, so this changes no byte of the results.
    ResetActiveRegions(levels);
    firstStepIndex = nextStepIndex;
    checkpointReport.resumed = true;
    checkpointReport.resumedMinutes = minutes;
    return true;
}
