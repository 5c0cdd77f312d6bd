#include "TimeHistory.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>

#include "PathJoin.h"
#include "RoundHalfUp.h"

namespace {

// Velocity thresholds: below them a face is treated as dry and its velocity as 0.
constexpr float kDryFaceV = 0.0001f;
constexpr float kDryFace = 0.00001f;
constexpr double kAngleFactor = 57.324840764331206;  // 180 / 3.14, as the recorded angles have always used

// One warning per file and process: a missing folder would otherwise repeat it every output step.
void WarnOnce(const std::string& path, const char* reason) {
    static std::mutex mutex;
    static std::set<std::string> warned;
    std::lock_guard<std::mutex> lock(mutex);
    if (warned.insert(path).second) std::fprintf(stderr, "vestra: warning: %s not written: %s\n", path.c_str(), reason);
}

// Node index along one axis, 1..n.
int32_t NearestNode(double value, double first, double last, int32_t n) {
    const double extent = std::fabs(last - first);
    if (n <= 1 || extent == 0.0) return 1;
    const double index = RoundHalfUp(std::fabs(value - first) / (extent / (n - 1))) + 1.0;
    return static_cast<int32_t>(std::clamp(index, 1.0, static_cast<double>(n)));
}

bool Inside(double value, double first, double last) {
    return value >= std::min(first, last) && value <= std::max(first, last);
}

}  // namespace

bool NearestGaugeCell(const GridLevel& level, double x, double y, int32_t& column, int32_t& row) {
    // Gauges stand on the user's grid; a frame added around it (absorbing layer, wall) is never
    // gauged. The indices returned are the level's own.
    const GridWindow w = level.UserWindow();
    if (!Inside(x, w.xMin, w.xMax) || !Inside(y, w.yMin, w.yMax)) return false;
    column = NearestNode(x, w.xMin, w.xMax, w.nx) + w.offset;
    row = NearestNode(y, w.yMin, w.yMax, w.ny) + w.offset;
    return true;
}

bool PlaceGaugesAndWriteHeaders(GridLevel& level, bool writeFiles) {
    level.gaugeCount = 0;
    level.gaugeColumns.clear();
    level.gaugeRows.clear();
    std::ifstream list(level.gaugeFile);
    if (level.gaugeFile.empty() || !list) return false;

    std::array<std::string, kTimeHistoryFileCount> headers;
    headers.fill("Time ");
    std::string name;
    while (list >> name) {
        double x = 0.0, y = 0.0;
        if (!(list >> x >> y)) {
            std::fprintf(stderr, "vestra: gauge list %s: gauge \"%s\" has no complete coordinates; the list ends here\n",
                         level.gaugeFile.c_str(), name.c_str());
            break;
        }
        if (name.size() > kMaxGaugeNameLength) {
            std::fprintf(stderr,
                         "vestra: gauge list %s: gauge name \"%s\" is longer than %zu characters; the list ends here\n",
                         level.gaugeFile.c_str(), name.c_str(), kMaxGaugeNameLength);
            break;
        }
        int32_t column = 0, row = 0;
        if (!NearestGaugeCell(level, x, y, column, row)) {
            std::fprintf(stderr, "vestra: gauge list %s: gauge \"%s\" at (%g, %g) lies outside the grid; the list ends here\n",
                         level.gaugeFile.c_str(), name.c_str(), x, y);
            break;
        }
        level.gaugeColumns.push_back(column);
        level.gaugeRows.push_back(row);
        ++level.gaugeCount;
        const double depth = level.depth[column][row];
        for (int q = 0; q < kTimeHistoryFileCount; ++q) {
            char entry[64];
            std::snprintf(entry, sizeof entry, "_%.*f ", HeaderDepthDecimals(q), depth);
            headers[q] += name;
            headers[q] += entry;
        }
    }
    level.gaugeColumns.shrink_to_fit();
    level.gaugeRows.shrink_to_fit();

    for (int q = 0; writeFiles && q < kTimeHistoryFileCount; ++q) {
        headers[q] += '\n';
        const std::string path = JoinPath(level.outputFolder, kTimeHistoryFileNames[q]);
        std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
        if (!file) {
            WarnOnce(path, std::strerror(errno));
            continue;
        }
        if (std::fwrite(headers[q].data(), 1, headers[q].size(), file.get()) != headers[q].size() ||
            std::fclose(file.release()) != 0)
            WarnOnce(path, "write failed");
    }
    return true;
}

double GaugeValue(const GridLevel& level, int quantity, int32_t i, int32_t j) {
    const float m = level.fluxMNext[i][j];
    const float n = level.fluxNNext[i][j];
    const float depthM = level.totalDepthM[i][j];
    const float depthN = level.totalDepthN[i][j];
    const bool faceWet = depthM > kDryFace && depthN > kDryFace;
    const float u = depthM > kDryFace ? m / depthM : 0.0f;
    const float v = depthN > kDryFaceV ? n / depthN : 0.0f;
    // Squared Froude number of the cell from the mean of its two face depths (g = 9.8).
    auto froudeSquared = [&] {
        return static_cast<double>(u * u + v * v) /
               ((static_cast<double>(depthM) + static_cast<double>(depthN)) * 9.8 * 0.5);
    };
    switch (quantity) {
    case kHistoryEta: return level.etaNext[i][j];
    case kHistoryV: return v;
    case kHistoryU: return u;
    case kHistoryCurrent: return faceWet ? std::sqrt(u * u + v * v) : 0.0f;
    case kHistoryFroudeSquared: return faceWet ? froudeSquared() : 0.0;
    case kHistoryFroude: return faceWet ? std::sqrt(froudeSquared()) : 0.0;
    case kHistoryFluxM: return m;
    case kHistoryFluxN: return n;
    // Single-argument arctangent: the angle is measured from the y axis.
    case kHistoryFluxAngle: return std::fabs(n) > kDryFaceV ? std::atan(static_cast<double>(m / n)) * kAngleFactor : 0.0;
    case kHistoryFluxMagnitude: return std::sqrt(m * m + n * n);
    case kHistoryMomentumFlux:
        return faceWet ? std::sqrt(std::pow(m, 4.0f) / (depthM * depthM) + std::pow(n, 4.0f) / (depthN * depthN))
                       : 0.0f;
    case kHistoryFlowDepth: return level.totalDepth[i][j];
    case kHistoryRouse: return level.rouseNumber[i][j];
    default: return 0.0;
    }
}

void WriteGaugeHistories(const SimulationParameters& settings, const GridLevel& level, const std::string& outputFolder,
                         double t) {
    const int files = settings.cellFieldFromFile ? kTimeHistoryFileCount : kTimeHistoryFileCount - 1;
    for (int q = 0; q < files; ++q) {
        const std::string path = JoinPath(outputFolder, kTimeHistoryFileNames[q]);
        FILE* file = std::fopen(path.c_str(), "ab");
        if (file == nullptr) {
            WarnOnce(path, std::strerror(errno));
            continue;
        }
        const TimeHistoryLayout& layout = kTimeHistoryLayouts[q];
        if (level.gaugeCount != 0) std::fprintf(file, "%.*f", layout.timeDecimals, t / 60.0);
        for (int32_t k = 0; k < level.gaugeCount; ++k) {
            const double value = GaugeValue(level, q, level.gaugeColumns[k], level.gaugeRows[k]);
            std::fprintf(file, "%*.*f", k == 0 ? layout.firstWidth : layout.restWidth, layout.valueDecimals, value);
        }
        std::fputc('\n', file);
        if (std::fclose(file) != 0) WarnOnce(path, "write failed");
    }
}
