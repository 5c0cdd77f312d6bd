#include "RunSummary.h"

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

// Whole-token number, as strtod reads it.
bool ParseNumber(const std::string& token, double* value) {
    if (token.empty()) return false;
    char* end = nullptr;
    *value = std::strtod(token.c_str(), &end);
    return end == token.c_str() + token.size();
}

bool IsResult(float value) { return std::isfinite(value) && std::fabs(value) < kBlankThreshold; }

std::string FormatNumber(double value, const char* format) {
    if (!std::isfinite(value)) return "-";
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

bool FileExists(const std::string& path) {
    std::error_code code;
    return std::filesystem::is_regular_file(path, code);
}

}  // namespace

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

bool ReadResultGrid(const std::string& path, GridFileFormat format, OutputGrid* grid, std::string* error) {
    // Results may hold blanks and non-finite values; a netCDF series gives its latest frame.
    GridReadOptions options;
    options.finite = false;
    options.lastRecord = true;
    OutputGrid result;
    std::string reason;
    if (ReadGridFile(path, format, options, result, reason) != GridFault::kNone) return Fail(error, path + ": " + reason);
    result.path = path;
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
    return ReadResultGrid(path, static_cast<GridFileFormat>(chosen->format), grid, error);
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
        gauge.dry = fields[4] == "dry" && fields[5] == "dry" && fields[6] == "dry" && fields[7] == "dry";
        double numbers[7];
        for (int k = 0; k < 7; ++k)
            if (gauge.dry && k >= 3) {
                numbers[k] = kNoValue;
            } else if (!ParseNumber(fields[static_cast<std::size_t>(k) + 1], &numbers[k])) {
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

TransectRunup RunupAlongTransect(const OutputGrid& etaMax, const OutputGrid& landDepth, const Transect& line) {
    TransectRunup result;
    result.name = line.name;
    if (etaMax.nx != landDepth.nx || etaMax.ny != landDepth.ny || landDepth.nx < 1 || landDepth.ny < 1) return result;
    const double dx = landDepth.DeltaX(), dy = landDepth.DeltaY();
    // A single row or column has no spacing along it: take the other one.
    const double spacing = dx > 0.0 && dy > 0.0 ? std::min(dx, dy) : std::max(dx, dy);
    const double length = std::hypot(line.x1 - line.x0, line.y1 - line.y0);
    const long steps = spacing > 0.0 ? std::max(1L, static_cast<long>(std::ceil(4.0 * length / spacing))) : 1L;
    // The nodes the line crosses, in order; the runup node's index among them.
    std::vector<std::size_t> nodes;
    std::size_t best = 0;
    for (long s = 0; s <= steps; ++s) {
        const double t = static_cast<double>(s) / static_cast<double>(steps);
        const double x = line.x0 + t * (line.x1 - line.x0), y = line.y0 + t * (line.y1 - line.y0);
        const long col = dx > 0.0 ? std::lround((x - landDepth.xMin) / dx) : 0;
        const long row = dy > 0.0 ? std::lround((y - landDepth.yMin) / dy) : 0;
        if (col < 0 || row < 0 || col >= landDepth.nx || row >= landDepth.ny) continue;
        const std::size_t p = static_cast<std::size_t>(row) * static_cast<std::size_t>(landDepth.nx) +
                              static_cast<std::size_t>(col);
        if (nodes.empty() || nodes.back() != p) nodes.push_back(p);
        if (!IsResult(landDepth.values[p]) || landDepth.values[p] <= 0.0f || !IsResult(etaMax.values[p])) continue;
        if (!(etaMax.values[p] <= result.runup)) {
            result.runup = etaMax.values[p];
            best = nodes.size() - 1;
        }
    }
    if (std::isnan(result.runup)) return result;
    const std::size_t nx = static_cast<std::size_t>(landDepth.nx);
    auto xOf = [&](std::size_t p) { return landDepth.xMin + static_cast<double>(p % nx) * dx; };
    auto yOf = [&](std::size_t p) { return landDepth.yMin + static_cast<double>(p / nx) * dy; };
    auto wetLand = [&](std::size_t p) {
        return IsResult(landDepth.values[p]) && landDepth.values[p] > 0.0f && IsResult(etaMax.values[p]);
    };
    const std::size_t w = nodes[best];
    result.x = xOf(w);
    result.y = yOf(w);
    // The shoreline between the runup node W and the dry node D beside it on the line, when the
    // other neighbour V is wet land lower down: the largest flow depth f, falling from V to W,
    // is carried on linearly to 0 (but not past D), and the ground (level - f), rising from V
    // to W, is carried on to that point. The runup never drops below W's own level.
    if (best == 0 || best + 1 >= nodes.size()) return result;
    for (const bool forward : {true, false}) {
        const std::size_t v = forward ? nodes[best - 1] : nodes[best + 1], d = forward ? nodes[best + 1] : nodes[best - 1];
        if (!wetLand(v) || wetLand(d) || !IsResult(landDepth.values[d])) continue;
        const double fv = landDepth.values[v], fw = landDepth.values[w];
        const double groundV = etaMax.values[v] - fv, groundW = etaMax.values[w] - fw;
        const double toV = std::hypot(xOf(w) - xOf(v), yOf(w) - yOf(v));
        const double toD = std::hypot(xOf(d) - xOf(w), yOf(d) - yOf(w));
        if (!(fv > fw) || !(groundW > groundV) || !(toV > 0.0)) continue;
        const double reach = std::min(toV * fw / (fv - fw), toD);
        const double shore = groundW + (groundW - groundV) / toV * reach;
        if (shore > result.runup) {
            result.runup = shore;
            result.x = xOf(w) + (xOf(d) - xOf(w)) * reach / toD;
            result.y = yOf(w) + (yOf(d) - yOf(w)) * reach / toD;
        }
        break;
    }
    return result;
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
        const bool etaMaxRead = ReadOutputGrid(JoinPath(level.outputFolder, "OUT-ETA-MAX"), outputFormat, &etaMax, &error);
        if (etaMaxRead) {
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
                    // The runup: the highest water level over the land that got wet.
                    const std::size_t p = static_cast<std::size_t>(row) * landDepth.nx + col;
                    const double x = landDepth.xMin + static_cast<double>(col) * dx;
                    const double y = landDepth.yMin + static_cast<double>(row) * dy;
                    const SummaryLevelInput& in = levels[k];
                    const bool inWindow = x >= in.runupXMin && x <= in.runupXMax && y >= in.runupYMin && y <= in.runupYMax;
                    if (inWindow && etaMaxRead && etaMax.nx == landDepth.nx && etaMax.ny == landDepth.ny &&
                        IsResult(etaMax.values[p]) && !(etaMax.values[p] <= level.runup)) {
                        level.runup = etaMax.values[p];
                        level.runupX = x;
                        level.runupY = y;
                    }
                }
            }
            level.maxFlowDepthOnLand = largest;
            level.floodedAreaKm2 = area;
            for (const Transect& line : levels[k].transects)
                level.transects.push_back(etaMaxRead ? RunupAlongTransect(etaMax, landDepth, line)
                                                     : TransectRunup{line.name, kNoValue, kNoValue, kNoValue});
        } else {
            level.problems.push_back(error);
            for (const Transect& line : levels[k].transects)
                level.transects.push_back({line.name, kNoValue, kNoValue, kNoValue});
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
    bool anyTransect = false;
    for (const LevelSummary& level : summary.levels) anyTransect = anyTransect || !level.transects.empty();
    if (anyTransect) {
        std::snprintf(line, sizeof line, "%-14s %-6s %-10s %-26s\n", "Transect", "Level", "Runup (m)", "at (x, y)");
        out << line;
        for (const LevelSummary& level : summary.levels)
            for (const TransectRunup& t : level.transects) {
                const char* coordinate = level.spherical ? "%.5f" : "%.3f";
                const std::string where =
                    std::isfinite(t.x) ? FormatNumber(t.x, coordinate) + ", " + FormatNumber(t.y, coordinate) : "-";
                std::snprintf(line, sizeof line, "%-14s %-6d %-10s %-26s\n", t.name.c_str(), level.index,
                              std::isfinite(t.runup) ? FormatNumber(t.runup, "%.4f").c_str() : "stayed dry",
                              where.c_str());
                out << line;
            }
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
                              gauge.dry ? "stayed dry" : FormatNumber(gauge.arrivalMinutes, "%.2f").c_str(),
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
        json += "      \"runup\": " + JsonNumber(level.runup, 7) + ",\n";
        json += "      \"runupX\": " + JsonNumber(level.runupX, 10) + ",\n";
        json += "      \"runupY\": " + JsonNumber(level.runupY, 10) + ",\n";
        json += "      \"transects\": [";
        for (std::size_t t = 0; t < level.transects.size(); ++t) {
            const TransectRunup& line = level.transects[t];
            json += t == 0 ? "\n" : ",\n";
            json += "        {\"name\": " + JsonString(line.name) + ", \"runup\": " + JsonNumber(line.runup, 7) +
                    ", \"x\": " + JsonNumber(line.x, 10) + ", \"y\": " + JsonNumber(line.y, 10) + "}";
        }
        json += level.transects.empty() ? "],\n" : "\n      ],\n";
        json += "      \"gauges\": [";
        for (std::size_t g = 0; g < level.gauges.size(); ++g) {
            const GaugeSummary& gauge = level.gauges[g];
            json += g == 0 ? "\n" : ",\n";
            json += "        {\"name\": " + JsonString(gauge.name) + ", \"depth\": " + JsonNumber(gauge.depth, 7) +
                    ", \"x\": " + JsonNumber(gauge.x, 10) + ", \"y\": " + JsonNumber(gauge.y, 10) +
                    ", \"dry\": " + (gauge.dry ? "true" : "false") +
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
