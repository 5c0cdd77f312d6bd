#include "RunSummary.h"

#include <netcdf.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "PathJoin.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kEarthRadiusKm = 6371.0088;  // mean radius
// Surfer marks nodes without data with 1.70141e38; anything this large is not a result.
constexpr double kBlankThreshold = 1.0e38;
// Largest grid accepted: the model addresses a level's nodes with 32-bit integers.
constexpr long long kMaxNodes = 2147483647LL;

bool Fail(std::string* error, const std::string& message) {
    if (error) *error = message;
    return false;
}

bool ReadWholeFile(const std::string& path, std::string* text, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail(error, path + ": cannot open the file");
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return Fail(error, path + ": read error");
    *text = buffer.str();
    return true;
}

// Whitespace-separated tokens of a text held in memory.
class Tokens {
public:
    explicit Tokens(const std::string& text) : text_(text) {}

    bool Next(std::string* token) {
        while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
        if (pos_ >= text_.size()) return false;
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !IsSpace(text_[pos_])) ++pos_;
        token->assign(text_, start, pos_ - start);
        return true;
    }
    bool Number(double* value) {
        std::string token;
        return Next(&token) && ParseNumber(token, value);
    }
    static bool ParseNumber(const std::string& token, double* value) {
        if (token.empty()) return false;
        char* end = nullptr;
        *value = std::strtod(token.c_str(), &end);
        return end == token.c_str() + token.size();
    }
    std::size_t Position() const { return pos_; }

private:
    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
    const std::string& text_;
    std::size_t pos_ = 0;
};

// Checks a header's size against what the file can hold; values take at least
// `minimumBytesPerValue` bytes each, so a corrupt header cannot ask for absurd memory.
bool CheckSize(const std::string& path, double nx, double ny, std::size_t bytesLeft, double minimumBytesPerValue,
               std::string* error) {
    if (!(nx >= 1 && ny >= 1 && nx == std::floor(nx) && ny == std::floor(ny)) || nx * ny > kMaxNodes)
        return Fail(error, path + ": invalid grid size in the header");
    if (nx * ny * minimumBytesPerValue > static_cast<double>(bytesLeft))
        return Fail(error, path + ": the file ends before its " + std::to_string(static_cast<long long>(nx * ny)) +
                               " values");
    return true;
}

bool CheckExtent(const std::string& path, const OutputGrid& grid, std::string* error) {
    if (!std::isfinite(grid.xMin) || !std::isfinite(grid.xMax) || !std::isfinite(grid.yMin) ||
        !std::isfinite(grid.yMax))
        return Fail(error, path + ": the grid extent is not a finite number");
    return true;
}

double ReadLittleDouble(const unsigned char* bytes) {
    uint64_t bits = 0;
    for (int k = 7; k >= 0; --k) bits = (bits << 8) | bytes[k];
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

float ReadLittleFloat(const unsigned char* bytes) {
    uint32_t bits = 0;
    for (int k = 3; k >= 0; --k) bits = (bits << 8) | bytes[k];
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void ToLower(std::string* text) {
    for (char& c : *text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

bool IsResult(float value) { return std::isfinite(value) && std::fabs(value) < kBlankThreshold; }

std::string FormatNumber(double value, const char* format) {
    if (!std::isfinite(value)) return "-";
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string JsonNumber(double value, int significantDigits) {
    if (!std::isfinite(value)) return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.*g", significantDigits, value);
    return text;
}

std::string JsonString(const std::string& value) {
    std::string text = "\"";
    for (char c : value) {
        switch (c) {
        case '"': text += "\\\""; break;
        case '\\': text += "\\\\"; break;
        case '\n': text += "\\n"; break;
        case '\r': text += "\\r"; break;
        case '\t': text += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
                text += escaped;
            } else {
                text += c;
            }
        }
    }
    return text + "\"";
}

bool FileExists(const std::string& path) {
    std::error_code code;
    return std::filesystem::is_regular_file(path, code);
}

}  // namespace

bool ReadSurferTextGrid(const std::string& path, OutputGrid* grid, std::string* error) {
    std::string text;
    if (!ReadWholeFile(path, &text, error)) return false;
    Tokens tokens(text);
    std::string token;
    if (!tokens.Next(&token) || token != "DSAA") return Fail(error, path + ": not a Surfer text grid (no \"DSAA\")");
    double header[8];
    for (double& value : header)
        if (!tokens.Number(&value)) return Fail(error, path + ": the header is not eight numbers");
    if (!CheckSize(path, header[0], header[1], text.size() - tokens.Position(), 2.0, error)) return false;
    OutputGrid result;
    result.path = path;
    result.nx = static_cast<int>(header[0]);
    result.ny = static_cast<int>(header[1]);
    result.xMin = header[2];
    result.xMax = header[3];
    result.yMin = header[4];
    result.yMax = header[5];
    if (!CheckExtent(path, result, error)) return false;
    result.values.resize(static_cast<std::size_t>(result.nx) * static_cast<std::size_t>(result.ny));
    for (std::size_t k = 0; k < result.values.size(); ++k) {
        double value;
        if (!tokens.Number(&value))
            return Fail(error, path + ": value " + std::to_string(k + 1) + " is missing or not a number");
        result.values[k] = static_cast<float>(value);
    }
    *grid = std::move(result);
    return true;
}

bool ReadSurferBinaryGrid(const std::string& path, OutputGrid* grid, std::string* error) {
    std::string bytes;
    if (!ReadWholeFile(path, &bytes, error)) return false;
    constexpr std::size_t kHeaderBytes = 56;
    if (bytes.size() < kHeaderBytes || bytes.compare(0, 4, "DSBB") != 0)
        return Fail(error, path + ": not a Surfer binary grid (no \"DSBB\" header)");
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    // The header keeps only the low 16 bits of each count; the file length gives the rest.
    const long long nxLow = data[4] | (data[5] << 8);
    const long long nyLow = data[6] | (data[7] << 8);
    if ((bytes.size() - kHeaderBytes) % 4 != 0) return Fail(error, path + ": the value section is not whole floats");
    const long long count = static_cast<long long>((bytes.size() - kHeaderBytes) / 4);
    long long nx = 0, ny = 0;
    for (long long candidate = nxLow; candidate > 0 && candidate <= count; candidate += 65536) {
        if (count % candidate == 0 && (count / candidate) % 65536 == nyLow) {
            nx = candidate;
            ny = count / candidate;
            break;
        }
    }
    if (nx < 1 || ny < 1 || count > kMaxNodes)
        return Fail(error, path + ": the header's size " + std::to_string(nxLow) + " x " + std::to_string(nyLow) +
                               " does not match the " + std::to_string(count) + " values of the file");
    OutputGrid result;
    result.path = path;
    result.nx = static_cast<int>(nx);
    result.ny = static_cast<int>(ny);
    result.xMin = ReadLittleDouble(data + 8);
    result.xMax = ReadLittleDouble(data + 16);
    result.yMin = ReadLittleDouble(data + 24);
    result.yMax = ReadLittleDouble(data + 32);
    if (!CheckExtent(path, result, error)) return false;
    result.values.resize(static_cast<std::size_t>(count));
    for (long long k = 0; k < count; ++k) result.values[k] = ReadLittleFloat(data + kHeaderBytes + 4 * k);
    *grid = std::move(result);
    return true;
}

bool ReadEsriAsciiGrid(const std::string& path, OutputGrid* grid, std::string* error) {
    std::string text;
    if (!ReadWholeFile(path, &text, error)) return false;
    Tokens tokens(text);
    double ncols = -1, nrows = -1, xll = NAN, yll = NAN, cellSize = NAN, noData = NAN;
    // Header: label-value pairs; the first token that is a number is the first value.
    bool haveFirstValue = false;
    double firstValue = 0.0;
    std::size_t valuesStart = 0;
    for (;;) {
        valuesStart = tokens.Position();
        std::string label;
        if (!tokens.Next(&label)) return Fail(error, path + ": the file ends in its header");
        if (Tokens::ParseNumber(label, &firstValue)) {
            haveFirstValue = true;
            break;
        }
        double value;
        if (!tokens.Number(&value)) return Fail(error, path + ": header line \"" + label + "\" has no number");
        ToLower(&label);
        if (label == "ncols") ncols = value;
        else if (label == "nrows") nrows = value;
        else if (label == "xllcorner" || label == "xllcenter") xll = value;
        else if (label == "yllcorner" || label == "yllcenter") yll = value;
        else if (label == "cellsize") cellSize = value;
        else if (label == "nodata_value") noData = value;
        else return Fail(error, path + ": unknown header line \"" + label + "\"");
    }
    if (!std::isfinite(xll) || !std::isfinite(yll) || !std::isfinite(cellSize))
        return Fail(error, path + ": the header lacks xllcorner, yllcorner or cellsize");
    if (!CheckSize(path, ncols, nrows, text.size() - valuesStart, 2.0, error)) return false;
    OutputGrid result;
    result.path = path;
    result.nx = static_cast<int>(ncols);
    result.ny = static_cast<int>(nrows);
    // This system writes the first node's coordinates under the corner labels.
    result.xMin = xll;
    result.yMin = yll;
    result.xMax = xll + (result.nx - 1) * cellSize;
    result.yMax = yll + (result.ny - 1) * cellSize;
    if (!CheckExtent(path, result, error)) return false;
    result.values.resize(static_cast<std::size_t>(result.nx) * static_cast<std::size_t>(result.ny));
    // Rows run from north to south in the file; the grid keeps the row at yMin first.
    for (int fileRow = 0; fileRow < result.ny; ++fileRow) {
        const std::size_t row = static_cast<std::size_t>(result.ny - 1 - fileRow);
        for (int col = 0; col < result.nx; ++col) {
            double value = firstValue;
            if (haveFirstValue) {
                haveFirstValue = false;
            } else if (!tokens.Number(&value)) {
                return Fail(error, path + ": row " + std::to_string(fileRow + 1) + " is short or holds a non-number");
            }
            result.values[row * static_cast<std::size_t>(result.nx) + static_cast<std::size_t>(col)] =
                (std::isfinite(noData) && value == noData) ? NAN : static_cast<float>(value);
        }
    }
    *grid = std::move(result);
    return true;
}

bool ReadNetCdfGrid(const std::string& path, OutputGrid* grid, std::string* error) {
    int ncid = 0;
    int status = nc_open(path.c_str(), NC_NOWRITE, &ncid);
    if (status != NC_NOERR) return Fail(error, path + ": " + nc_strerror(status));
    auto failClosed = [&](const std::string& message) {
        nc_close(ncid);
        return Fail(error, path + ": " + message);
    };
    int haId = 0, lonId = 0, latId = 0;
    if (nc_inq_varid(ncid, "HA", &haId) != NC_NOERR || nc_inq_varid(ncid, "LON", &lonId) != NC_NOERR ||
        nc_inq_varid(ncid, "LAT", &latId) != NC_NOERR)
        return failClosed("lacks one of the variables \"HA\", \"LON\", \"LAT\"");
    int ndims = 0;
    nc_inq_varndims(ncid, haId, &ndims);
    if (ndims != 2 && ndims != 3) return failClosed("\"HA\" must have two or three dimensions");
    int dims[NC_MAX_VAR_DIMS] = {};
    nc_inq_vardimid(ncid, haId, dims);
    std::size_t lengths[3] = {1, 0, 0};
    for (int d = 0; d < ndims; ++d) nc_inq_dimlen(ncid, dims[d], &lengths[3 - ndims + d]);
    const std::size_t records = lengths[0], ny = lengths[1], nx = lengths[2];
    if (records < 1) return failClosed("\"HA\" holds no record");
    if (nx < 1 || ny < 1 || nx > static_cast<std::size_t>(kMaxNodes) / ny) return failClosed("\"HA\" size is invalid");
    std::size_t lonLength = 0, latLength = 0;
    int lonDim = 0, latDim = 0, lonDims = 0, latDims = 0;
    nc_inq_varndims(ncid, lonId, &lonDims);
    nc_inq_varndims(ncid, latId, &latDims);
    if (lonDims != 1 || latDims != 1) return failClosed("\"LON\" and \"LAT\" must be one-dimensional");
    nc_inq_vardimid(ncid, lonId, &lonDim);
    nc_inq_vardimid(ncid, latId, &latDim);
    nc_inq_dimlen(ncid, lonDim, &lonLength);
    nc_inq_dimlen(ncid, latDim, &latLength);
    if (lonLength != nx || latLength != ny) return failClosed("\"LON\" or \"LAT\" does not match the size of \"HA\"");
    std::vector<double> lon(nx), lat(ny);
    if (nc_get_var_double(ncid, lonId, lon.data()) != NC_NOERR || nc_get_var_double(ncid, latId, lat.data()) != NC_NOERR)
        return failClosed("cannot read \"LON\" or \"LAT\"");
    OutputGrid result;
    result.path = path;
    result.nx = static_cast<int>(nx);
    result.ny = static_cast<int>(ny);
    result.xMin = lon.front();
    result.xMax = lon.back();
    result.yMin = lat.front();
    result.yMax = lat.back();
    if (!CheckExtent(path, result, error)) {
        nc_close(ncid);
        return false;
    }
    result.values.resize(nx * ny);
    // The last record: extreme-value files hold one, a snapshot series its latest frame.
    const std::size_t start[3] = {records - 1, 0, 0}, count[3] = {1, ny, nx};
    status = ndims == 3 ? nc_get_vara_float(ncid, haId, start, count, result.values.data())
                        : nc_get_var_float(ncid, haId, result.values.data());
    if (status != NC_NOERR) return failClosed(std::string("cannot read \"HA\": ") + nc_strerror(status));
    nc_close(ncid);
    *grid = std::move(result);
    return true;
}

bool ReadOutputGrid(const std::string& basePath, int format, OutputGrid* grid, std::string* error) {
    struct Candidate {
        int format;
        const char* suffix;
    };
    static constexpr Candidate kCandidates[] = {{2, ".nc"}, {0, ".grd"}, {1, "_bin.grd"}, {3, ".asc"}};
    const Candidate* chosen = nullptr;
    std::filesystem::file_time_type newest{};
    for (const Candidate& candidate : kCandidates) {
        if (format >= 0 && candidate.format != format) continue;
        const std::string path = basePath + candidate.suffix;
        std::error_code code;
        if (!std::filesystem::is_regular_file(path, code)) continue;
        const auto written = std::filesystem::last_write_time(path, code);
        if (code) continue;
        if (!chosen || written > newest) {
            chosen = &candidate;
            newest = written;
        }
    }
    if (!chosen) {
        if (format >= 0 && format <= 3) {
            for (const Candidate& candidate : kCandidates)
                if (candidate.format == format) return Fail(error, basePath + candidate.suffix + ": no such file");
        }
        if (format > 3 || format < -1) return Fail(error, basePath + ": unknown output format " + std::to_string(format));
        return Fail(error, basePath + ": no result grid (.nc, .grd, _bin.grd or .asc)");
    }
    const std::string path = basePath + chosen->suffix;
    switch (chosen->format) {
    case 0: return ReadSurferTextGrid(path, grid, error);
    case 1: return ReadSurferBinaryGrid(path, grid, error);
    case 2: return ReadNetCdfGrid(path, grid, error);
    default: return ReadEsriAsciiGrid(path, grid, error);
    }
}

double CellAreaKm2(bool spherical, double deltaX, double deltaY, double latitudeDegrees) {
    if (!spherical) return std::fabs(deltaX * deltaY) * 1.0e-6;
    const double toRadians = kPi / 180.0;
    return kEarthRadiusKm * kEarthRadiusKm * std::fabs(deltaX * toRadians) * std::fabs(deltaY * toRadians) *
           std::cos(latitudeDegrees * toRadians);
}

bool ReadGaugeSummaryFile(const std::string& path, std::vector<GaugeSummary>* gauges, std::string* error) {
    std::string text;
    if (!ReadWholeFile(path, &text, error)) return false;
    std::istringstream lines(text);
    std::string line;
    std::vector<GaugeSummary> result;
    bool header = true;
    int lineNumber = 0;
    while (std::getline(lines, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (header) {  // the label line
            header = false;
            continue;
        }
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        std::vector<std::string> fields;
        std::size_t start = 0;
        while (true) {
            const std::size_t tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        if (fields.size() < 8) return Fail(error, path + ": line " + std::to_string(lineNumber) + " has fewer than 8 fields");
        GaugeSummary gauge;
        gauge.name = fields[0];
        gauge.depthText = fields[1];
        double numbers[7];
        for (int k = 0; k < 7; ++k)
            if (!Tokens::ParseNumber(fields[static_cast<std::size_t>(k) + 1], &numbers[k])) {
                if (k == 0) {  // the depth is copied as text and need not be a number
                    numbers[0] = kNoValue;
                    continue;
                }
                return Fail(error, path + ": line " + std::to_string(lineNumber) + " field " + std::to_string(k + 2) +
                                       " is not a number");
            }
        gauge.depth = numbers[0];
        gauge.x = numbers[1];
        gauge.y = numbers[2];
        gauge.arrivalMinutes = numbers[3];
        gauge.timeOfMaxMinutes = numbers[4];
        gauge.maximum = numbers[5];
        gauge.minimum = numbers[6];
        result.push_back(std::move(gauge));
    }
    *gauges = std::move(result);
    return true;
}

RunSummary CollectRunSummary(const std::string& scenarioName, const std::vector<SummaryLevelInput>& levels,
                             int outputFormat, double wallSeconds, double millionCellUpdatesPerSecond) {
    RunSummary summary;
    summary.scenarioName = scenarioName;
    summary.wallSeconds = wallSeconds;
    summary.millionCellUpdatesPerSecond = millionCellUpdatesPerSecond;
    for (std::size_t k = 0; k < levels.size(); ++k) {
        LevelSummary level;
        level.index = static_cast<int>(k);
        level.outputFolder = levels[k].outputFolder;
        level.spherical = levels[k].spherical;
        std::string error;

        OutputGrid etaMax;
        if (ReadOutputGrid(JoinPath(level.outputFolder, "OUT-ETA-MAX"), outputFormat, &etaMax, &error)) {
            level.nx = etaMax.nx;
            level.ny = etaMax.ny;
            std::size_t best = etaMax.values.size();
            for (std::size_t p = 0; p < etaMax.values.size(); ++p)
                if (IsResult(etaMax.values[p]) && (best == etaMax.values.size() || etaMax.values[p] > etaMax.values[best]))
                    best = p;
            if (best < etaMax.values.size()) {
                const std::size_t row = best / static_cast<std::size_t>(etaMax.nx);
                const std::size_t col = best % static_cast<std::size_t>(etaMax.nx);
                level.highestWaterLevel = etaMax.values[best];
                level.highestX = etaMax.xMin + static_cast<double>(col) * etaMax.DeltaX();
                level.highestY = etaMax.yMin + static_cast<double>(row) * etaMax.DeltaY();
            }
        } else {
            level.problems.push_back(error);
        }

        // Land cells that got wet: the land file holds the largest flow depth where the still
        // depth is below 0 and 0 elsewhere, so a positive value is a flooded land cell.
        OutputGrid landDepth;
        if (ReadOutputGrid(JoinPath(level.outputFolder, "OUT-FLOWDEPTHMAXLAND"), outputFormat, &landDepth, &error)) {
            double largest = 0.0, area = 0.0;
            const double dx = landDepth.DeltaX(), dy = landDepth.DeltaY();
            for (int row = 0; row < landDepth.ny; ++row) {
                const double cellArea =
                    CellAreaKm2(level.spherical, dx, dy, landDepth.yMin + static_cast<double>(row) * dy);
                for (int col = 0; col < landDepth.nx; ++col) {
                    const float value = landDepth.values[static_cast<std::size_t>(row) * landDepth.nx + col];
                    if (!IsResult(value) || value <= 0.0f) continue;
                    largest = std::max(largest, static_cast<double>(value));
                    area += cellArea;
                }
            }
            level.maxFlowDepthOnLand = largest;
            level.floodedAreaKm2 = area;
        } else {
            level.problems.push_back(error);
        }

        const std::string gaugeFile = JoinPath(level.outputFolder, "OUT-SUMMARY-RESULT.dat");
        if (FileExists(gaugeFile) && !ReadGaugeSummaryFile(gaugeFile, &level.gauges, &error))
            level.problems.push_back(error);
        summary.levels.push_back(std::move(level));
    }
    return summary;
}

double CellUpdatesPerBaseStep(const RunSummary& summary) {
    double updates = 0.0, subSteps = 1.0;
    for (const LevelSummary& level : summary.levels) {
        updates += static_cast<double>(level.nx) * static_cast<double>(level.ny) * subSteps;
        subSteps *= 3.0;
    }
    return updates;
}

void PrintRunSummary(const RunSummary& summary, std::ostream& out) {
    char line[512];
    out << "Run summary" << (summary.scenarioName.empty() ? "" : ": " + summary.scenarioName) << "\n";
    out << "Wall time " << FormatNumber(summary.wallSeconds, "%.1f") << " s, "
        << FormatNumber(summary.millionCellUpdatesPerSecond, "%.1f") << " million cell-updates per second\n";
    std::snprintf(line, sizeof line, "%-6s %-10s %-26s %-20s %-14s\n", "Level", "Highest", "at (x, y)",
                  "Max flow depth", "Flooded area");
    out << line;
    std::snprintf(line, sizeof line, "%-6s %-10s %-26s %-20s %-14s\n", "", "level (m)", "", "on land (m)", "(km2)");
    out << line;
    for (const LevelSummary& level : summary.levels) {
        const char* coordinate = level.spherical ? "%.4f" : "%.1f";
        const std::string where = std::isfinite(level.highestX)
                                      ? FormatNumber(level.highestX, coordinate) + ", " + FormatNumber(level.highestY, coordinate)
                                      : "-";
        std::snprintf(line, sizeof line, "%-6d %-10s %-26s %-20s %-14s\n", level.index,
                      FormatNumber(level.highestWaterLevel, "%.3f").c_str(), where.c_str(),
                      FormatNumber(level.maxFlowDepthOnLand, "%.3f").c_str(),
                      FormatNumber(level.floodedAreaKm2, "%.3f").c_str());
        out << line;
    }
    bool anyGauge = false;
    for (const LevelSummary& level : summary.levels) anyGauge = anyGauge || !level.gauges.empty();
    if (anyGauge) {
        std::snprintf(line, sizeof line, "%-14s %-6s %-14s %-17s %-10s %-18s\n", "Gauge", "Level", "Arrival (min)",
                      "Highest wave (m)", "at (min)", "Deepest trough (m)");
        out << line;
        for (const LevelSummary& level : summary.levels)
            for (const GaugeSummary& gauge : level.gauges) {
                std::snprintf(line, sizeof line, "%-14s %-6d %-14s %-17s %-10s %-18s\n", gauge.name.c_str(), level.index,
                              FormatNumber(gauge.arrivalMinutes, "%.2f").c_str(),
                              FormatNumber(gauge.maximum, "%.3f").c_str(),
                              FormatNumber(gauge.timeOfMaxMinutes, "%.2f").c_str(),
                              FormatNumber(gauge.minimum, "%.3f").c_str());
                out << line;
            }
    }
    bool anyBudget = false;
    for (const LevelSummary& level : summary.levels) anyBudget = anyBudget || level.hasVolumeBudget;
    if (anyBudget) {
        // Volume account (m^3): the imbalance is what sources, storage and edges leave unexplained.
        std::snprintf(line, sizeof line, "%-6s %-14s %-14s %-14s %-14s %-14s\n", "Volume", "Sources (m3)",
                      "Stored change", "Out at edges", "From nesting", "Imbalance");
        out << line;
        for (const LevelSummary& level : summary.levels) {
            if (!level.hasVolumeBudget) continue;
            const LevelVolumeBudget& v = level.volume;
            std::snprintf(line, sizeof line, "%-6d %-14.6g %-14.6g %-14.6g %-14.6g %-14.3g\n", level.index,
                          v.sourceVolume, v.storedChange, v.edgeOutflow, v.nestingExchange, v.Imbalance());
            out << line;
        }
    }
    for (const LevelSummary& level : summary.levels)
        for (const std::string& problem : level.problems) out << "level " << level.index << ": " << problem << "\n";
}

std::string RunSummaryJson(const RunSummary& summary) {
    std::string json = "{\n";
    json += "  \"scenario\": " + JsonString(summary.scenarioName) + ",\n";
    json += "  \"wallTimeSeconds\": " + JsonNumber(summary.wallSeconds, 6) + ",\n";
    json += "  \"millionCellUpdatesPerSecond\": " + JsonNumber(summary.millionCellUpdatesPerSecond, 6) + ",\n";
    json += "  \"levels\": [";
    for (std::size_t k = 0; k < summary.levels.size(); ++k) {
        const LevelSummary& level = summary.levels[k];
        json += k == 0 ? "\n" : ",\n";
        json += "    {\n";
        json += "      \"level\": " + std::to_string(level.index) + ",\n";
        json += "      \"outputFolder\": " + JsonString(level.outputFolder) + ",\n";
        json += "      \"coordinates\": " + std::string(level.spherical ? "\"degrees\"" : "\"metres\"") + ",\n";
        json += "      \"nx\": " + std::to_string(level.nx) + ",\n";
        json += "      \"ny\": " + std::to_string(level.ny) + ",\n";
        json += "      \"highestWaterLevel\": " + JsonNumber(level.highestWaterLevel, 7) + ",\n";
        json += "      \"highestWaterLevelX\": " + JsonNumber(level.highestX, 10) + ",\n";
        json += "      \"highestWaterLevelY\": " + JsonNumber(level.highestY, 10) + ",\n";
        json += "      \"maxFlowDepthOnLand\": " + JsonNumber(level.maxFlowDepthOnLand, 7) + ",\n";
        json += "      \"floodedAreaKm2\": " + JsonNumber(level.floodedAreaKm2, 7) + ",\n";
        json += "      \"gauges\": [";
        for (std::size_t g = 0; g < level.gauges.size(); ++g) {
            const GaugeSummary& gauge = level.gauges[g];
            json += g == 0 ? "\n" : ",\n";
            json += "        {\"name\": " + JsonString(gauge.name) + ", \"depth\": " + JsonNumber(gauge.depth, 7) +
                    ", \"x\": " + JsonNumber(gauge.x, 10) + ", \"y\": " + JsonNumber(gauge.y, 10) +
                    ", \"arrivalMinutes\": " + JsonNumber(gauge.arrivalMinutes, 7) +
                    ", \"timeOfMaxMinutes\": " + JsonNumber(gauge.timeOfMaxMinutes, 7) +
                    ", \"maximum\": " + JsonNumber(gauge.maximum, 7) + ", \"minimum\": " + JsonNumber(gauge.minimum, 7) +
                    "}";
        }
        json += level.gauges.empty() ? "],\n" : "\n      ],\n";
        if (level.hasVolumeBudget) {
            const LevelVolumeBudget& v = level.volume;
            json += "      \"volumeBudget\": {\"sourceVolume\": " + JsonNumber(v.sourceVolume, 10) +
                    ", \"storedChange\": " + JsonNumber(v.storedChange, 10) +
                    ", \"edgeOutflow\": " + JsonNumber(v.edgeOutflow, 10) +
                    ", \"nestingExchange\": " + JsonNumber(v.nestingExchange, 10) +
                    ", \"imbalance\": " + JsonNumber(v.Imbalance(), 10) + "},\n";
        }
        json += "      \"problems\": [";
        for (std::size_t p = 0; p < level.problems.size(); ++p)
            json += (p == 0 ? "" : ", ") + JsonString(level.problems[p]);
        json += "]\n    }";
    }
    json += summary.levels.empty() ? "]\n" : "\n  ]\n";
    json += "}\n";
    return json;
}

bool WriteRunSummaryJson(const RunSummary& summary, const std::string& path) {
    const std::string json = RunSummaryJson(summary);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out.write(json.data(), static_cast<std::streamsize>(json.size()));
    if (out) out.close();
    if (!out) {
        std::cerr << "warning: cannot write the run summary " << path << ": " << std::strerror(errno) << "\n";
        return false;
    }
    return true;
}
