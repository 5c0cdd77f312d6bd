#include "Scenario.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <toml++/toml.h>
#include <variant>

namespace fs = std::filesystem;

namespace {

// ---- Values -------------------------------------------------------------------------
// Each reader returns an empty string when the value was taken, otherwise the reason it
// was refused ("must be ..."), which the caller puts after the key and the value.

// Allowed interval of a number; both ends inclusive unless lowOpen.
struct Range {
    double low = -std::numeric_limits<double>::infinity();
    double high = std::numeric_limits<double>::infinity();
    bool lowOpen = false;
    const char* rule = nullptr;  // shown when the value lies outside, e.g. "must be at least 1"

    bool Holds(double v) const { return (lowOpen ? v > low : v >= low) && v <= high; }
};

const Range kAnyNumber{};
Range AtLeast(double low, const char* rule) { return Range{low, std::numeric_limits<double>::infinity(), false, rule}; }
Range Above(double low, const char* rule) { return Range{low, std::numeric_limits<double>::infinity(), true, rule}; }
Range Between(double low, double high, const char* rule) { return Range{low, high, false, rule}; }

std::string ReadInteger(const toml::node& node, int64_t low, int64_t high, const Range& range, int64_t* out) {
    const auto* v = node.as_integer();
    if (v == nullptr) return "must be an integer";
    const int64_t value = v->get();
    if (value < low || value > high) return "does not fit the field (" + std::to_string(low) + " to " + std::to_string(high) + ")";
    if (!range.Holds(static_cast<double>(value))) return range.rule;
    *out = value;
    return {};
}

std::string ReadInt32(const toml::node& node, const Range& range, int32_t* out) {
    int64_t value = 0;
    std::string problem = ReadInteger(node, INT32_MIN, INT32_MAX, range, &value);
    if (problem.empty()) *out = static_cast<int32_t>(value);
    return problem;
}

std::string ReadUInt32(const toml::node& node, uint32_t* out) {
    int64_t value = 0;
    const auto* v = node.as_integer();
    if (v != nullptr && v->get() < 0) return "must not be negative";
    std::string problem = ReadInteger(node, 0, UINT32_MAX, kAnyNumber, &value);
    if (problem.empty()) *out = static_cast<uint32_t>(value);
    return problem;
}

// A real number; an integer literal is accepted. The range is checked on the value the
// field will hold (1e-50 s is 0 s in single precision), so nothing slips through rounding.
std::string ReadReal(const toml::node& node, bool singlePrecision, const Range& range, double* out) {
    double value = 0.0;
    if (const auto* i = node.as_integer()) {
        value = static_cast<double>(i->get());
    } else if (const auto* f = node.as_floating_point()) {
        value = f->get();
    } else {
        return "must be a number";
    }
    if (!std::isfinite(value)) return "must be a finite number";
    if (singlePrecision) {
        if (std::fabs(value) > FLT_MAX) return "is too large for a single-precision field";
        value = static_cast<double>(static_cast<float>(value));
    }
    if (!range.Holds(value)) return range.rule;
    *out = value;
    return {};
}

std::string ReadFloat(const toml::node& node, const Range& range, float* out) {
    double value = 0.0;
    std::string problem = ReadReal(node, true, range, &value);
    if (problem.empty()) *out = static_cast<float>(value);
    return problem;
}

std::string ReadBool(const toml::node& node, bool* out) {
    const auto* v = node.as_boolean();
    if (v == nullptr) return "must be true or false";
    *out = v->get();
    return {};
}

std::string ReadText(const toml::node& node, std::string* out) {
    const auto* v = node.as_string();
    if (v == nullptr) return "must be a quoted text";
    *out = v->get();
    return {};
}

// A relative path starts at `base`; the result is absolute and free of "." and "..".
std::string ResolvePath(const std::string& base, const std::string& path) {
    if (path.empty()) return path;
    fs::path p(path);
    if (p.is_relative()) p = fs::path(base) / p;
    return p.lexically_normal().string();
}

// Why a named input file cannot be read, or empty when it can.
std::string UnreadableReason(const std::string& path) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) return "is a folder, not a file";
    std::FILE* probe = std::fopen(path.c_str(), "rb");
    if (probe == nullptr) return std::string("cannot be opened: ") + std::strerror(errno);
    std::fclose(probe);
    return {};
}

std::string ReadInputPath(const toml::node& node, const std::string& base, bool allowEmpty, std::string* out) {
    std::string text;
    std::string problem = ReadText(node, &text);
    if (!problem.empty()) return problem;
    if (text.empty()) {
        if (allowEmpty) {
            out->clear();
            return {};
        }
        return "must name a file";
    }
    const std::string resolved = ResolvePath(base, text);
    problem = UnreadableReason(resolved);
    if (!problem.empty()) return resolved + " " + problem;
    *out = resolved;
    return {};
}

// An output folder, absolute and ending in exactly one '/', so that the library's
// "folder followed directly by a file name" paths are well formed.
std::string AsFolder(const std::string& resolved) {
    std::string folder = resolved;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (folder != "/") folder += '/';
    return folder;
}

// How a value looks in a message: its TOML spelling, shortened.
std::string ValueText(const toml::node& node) {
    if (node.is_table()) return "{...}";
    if (node.is_array()) return "[...]";
    std::ostringstream text;
    node.visit([&text](const auto& v) { text << v; });
    std::string s = text.str();
    if (s.size() > 60) s = s.substr(0, 57) + "...";
    return s;
}

// ---- The settings record ------------------------------------------------------------

using SP = SimulationParameters;
using Member = std::variant<int32_t SP::*, uint32_t SP::*, float SP::*, bool SP::*, std::string SP::*>;

struct ParameterField {
    const char* name;
    Member member;
    Range range = kAnyNumber;  // numbers only
    bool isPath = false;       // text fields naming a file
};

// Every field of SimulationParameters in record order. The ranges keep out values the
// solver cannot run with (a zero step, a history interval of 0, an unknown file format).
const std::vector<ParameterField>& ParameterFields() {
    static const std::vector<ParameterField> fields = {
        {"reservedA", &SP::reservedA},
        {"threadCount", &SP::threadCount, AtLeast(0, "must be 0 (the OpenMP default) or more")},
        {"outputFormat", &SP::outputFormat,
         Between(0, 3, "must be 0 (Surfer text), 1 (Surfer binary), 2 (netCDF) or 3 (ESRI ASCII)")},
        {"adaptiveTimeStepEnabled", &SP::adaptiveTimeStepEnabled},
        {"timeStep", &SP::timeStep, Above(0, "must be greater than 0 seconds")},
        {"startTime", &SP::startTime},
        {"endTime", &SP::endTime},
        {"snapshotInterval", &SP::snapshotInterval, AtLeast(0, "must be 0 (no frames) or more seconds")},
        {"historyEverySteps", &SP::historyEverySteps, AtLeast(1, "must be at least 1")},
        {"reservedB", &SP::reservedB},
        {"roughnessMode", &SP::roughnessMode},
        {"manningCoefficient", &SP::manningCoefficient, AtLeast(0, "must not be negative")},
        {"roughnessFile", &SP::roughnessFile, kAnyNumber, true},
        {"snapshotMode1Enabled", &SP::snapshotMode1Enabled},
        {"snapshotMode2Enabled", &SP::snapshotMode2Enabled},
        {"snapshotMode0Enabled", &SP::snapshotMode0Enabled},
        {"snapshotMode1Interval", &SP::snapshotMode1Interval, AtLeast(0, "must not be negative")},
        {"snapshotMode2Interval", &SP::snapshotMode2Interval, AtLeast(0, "must not be negative")},
        {"snapshotMode0Interval", &SP::snapshotMode0Interval, AtLeast(0, "must not be negative")},
        {"landCutoffDepth", &SP::landCutoffDepth},
        {"velocityLimit", &SP::velocityLimit, Above(0, "must be greater than 0")},
        {"flowDepthLimit", &SP::flowDepthLimit, AtLeast(0, "must not be negative")},
        {"timeSeriesEnabled", &SP::timeSeriesEnabled},
        {"timeSeriesFile", &SP::timeSeriesFile, kAnyNumber, true},
        {"seriesFirstIndex", &SP::seriesFirstIndex},
        {"seriesLastIndex", &SP::seriesLastIndex},
        {"seriesMode", &SP::seriesMode, Between(0, 2, "must be 0 (rows), 1 (columns) or 2 (both)")},
        {"useEtaOnly", &SP::useEtaOnly},
        {"cellFieldFromFile", &SP::cellFieldFromFile},
        {"cellFieldFile", &SP::cellFieldFile, kAnyNumber, true},
    };
    return fields;
}

const ParameterField* FindParameter(std::string_view name) {
    for (const auto& f : ParameterFields())
        if (name == f.name) return &f;
    return nullptr;
}

// Stores one parameter value; paths are resolved but not opened (whether a file is
// needed depends on switches that may come later).
std::string ReadParameter(const ParameterField& field, const toml::node& node, const std::string& base,
                          SimulationParameters* p) {
    return std::visit(
        [&](auto member) -> std::string {
            using T = std::remove_reference_t<decltype(p->*member)>;
            if constexpr (std::is_same_v<T, int32_t>) {
                return ReadInt32(node, field.range, &(p->*member));
            } else if constexpr (std::is_same_v<T, uint32_t>) {
                return ReadUInt32(node, &(p->*member));
            } else if constexpr (std::is_same_v<T, float>) {
                return ReadFloat(node, field.range, &(p->*member));
            } else if constexpr (std::is_same_v<T, bool>) {
                return ReadBool(node, &(p->*member));
            } else {
                std::string text;
                std::string problem = ReadText(node, &text);
                if (problem.empty()) p->*member = field.isPath ? ResolvePath(base, text) : text;
                return problem;
            }
        },
        field.member);
}

// ---- Tables -------------------------------------------------------------------------

// One key a table may hold: how to read it, and whether it must be there.
struct KeySpec {
    std::string name;
    bool required;
    std::function<std::string(const toml::node&)> read;
};

struct Where {
    std::string file;
    std::string context;  // "[parameters]", "[[grids]] #2", ...
};

std::string At(const Where& where, const toml::source_region& region) {
    return where.file + ":" + std::to_string(region.begin.line) + ": " + where.context;
}

// Edit distance of two short names, to suggest the key a misspelt one was meant to be.
size_t EditDistance(std::string_view a, std::string_view b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string Suggestion(std::string_view unknown, const std::vector<KeySpec>& keys) {
    const KeySpec* best = nullptr;
    size_t bestDistance = 3;  // beyond two edits a guess is more confusing than helpful
    for (const auto& k : keys) {
        const size_t d = EditDistance(unknown, k.name);
        if (d < bestDistance) {
            bestDistance = d;
            best = &k;
        }
    }
    return best != nullptr ? " (did you mean " + best->name + "?)" : std::string();
}

// Reads every key of `table` with its spec, in the order the keys appear in the file so
// that the first fault reported is the first one a reader meets.
bool ReadTable(const toml::table& table, const Where& where, const std::vector<KeySpec>& keys,
               std::string* error) {
    std::vector<std::pair<const toml::key*, const toml::node*>> entries;
    for (const auto& [key, node] : table) entries.emplace_back(&key, &node);
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.first->source().begin.line < b.first->source().begin.line;
    });
    for (const auto& [key, node] : entries) {
        const KeySpec* spec = nullptr;
        for (const auto& k : keys)
            if (k.name == key->str()) spec = &k;
        if (spec == nullptr) {
            *error = At(where, key->source()) + " " + std::string(key->str()) + ": unknown key" +
                     Suggestion(key->str(), keys);
            return false;
        }
        const std::string problem = spec->read(*node);
        if (!problem.empty()) {
            *error = At(where, key->source()) + " " + spec->name + " = " + ValueText(*node) + ": " + problem;
            return false;
        }
    }
    for (const auto& k : keys) {
        if (k.required && !table.contains(k.name)) {
            *error = At(where, table.source()) + ": missing required key " + k.name;
            return false;
        }
    }
    return true;
}

std::vector<KeySpec> GridKeys(HostGridRecord* g, const std::string& base, bool first) {
    return {
        {"gridType", false, [g](const toml::node& n) {
             return ReadInt32(n, Between(0, 3, "must be 0 to 3 (0, 1 Cartesian; 2, 3 spherical)"), &g->gridType);
         }},
        {"coriolis", false, [g](const toml::node& n) { return ReadBool(n, &g->coriolis); }},
        // Truncated to an integer depth by the library, so keep it within an int's reach.
        {"option", false, [g](const toml::node& n) {
             return ReadFloat(n, Between(0, 1e9, "must be a depth from 0 to 1e9 metres"), &g->optionNumber);
         }},
        // Only the first grid's value is used, as the grid spacing; it must not be 0.
        {"cellSize", first, [g](const toml::node& n) {
             double v = 0.0;
             std::string problem = ReadReal(n, true, Above(0, "must be greater than 0 metres"), &v);
             if (problem.empty()) g->cellSize = v;
             return problem;
         }},
        {"bathymetryFile", true,
         [g, base](const toml::node& n) { return ReadInputPath(n, base, false, &g->bathymetryFile); }},
        {"outputFolder", true, [g, base](const toml::node& n) {
             std::string text;
             std::string problem = ReadText(n, &text);
             if (!problem.empty()) return problem;
             if (text.empty()) return std::string("must name a folder");
             g->outputFolder = AsFolder(ResolvePath(base, text));
             return std::string();
         }},
        {"gaugeFile", false, [g, base](const toml::node& n) { return ReadInputPath(n, base, true, &g->gaugeFile); }},
    };
}

// One [[sources]] entry as written: the plug-in's record and, instead of its etaFile, a
// fault file whose sea-floor displacement becomes the water level before the run.
struct SourceEntry {
    SourceEvent event;
    std::string faults;
};

// Keys of one [[sources]] entry. Exactly one of etaFile and faults is required; that rule
// spans two keys and is checked after the table (CheckSourceEntries).
std::vector<KeySpec> SourceKeys(SourceEntry* entry, const std::string& base) {
    SourceEvent* s = &entry->event;
    return {
        {"etaFile", false, [s, base](const toml::node& n) { return ReadInputPath(n, base, false, &s->etaFile); }},
        {"faults", false, [entry, base](const toml::node& n) { return ReadInputPath(n, base, false, &entry->faults); }},
        {"fluxMFile", false, [s, base](const toml::node& n) { return ReadInputPath(n, base, true, &s->fluxMFile); }},
        {"fluxNFile", false, [s, base](const toml::node& n) { return ReadInputPath(n, base, true, &s->fluxNFile); }},
        {"insertionTime", true, [s](const toml::node& n) {
             return ReadFloat(n, AtLeast(0, "must be 0 or more seconds"), &s->insertionTime);
         }},
    };
}

// Reads `key` as an array of tables ([[key]]) with one record per table.
template <typename Record, typename KeysFor>
bool ReadRecordList(const toml::table& root, const std::string& file, const char* key, KeysFor keysFor,
                    std::vector<Record>* records, std::string* error) {
    records->clear();
    const toml::node* node = root.get(key);
    const toml::array* array = node != nullptr ? node->as_array() : nullptr;
    if (node == nullptr || (array != nullptr && array->empty())) {
        *error = file + ": no [[" + std::string(key) + "]] table: a scenario needs at least one";
        return false;
    }
    if (array == nullptr || !array->is_array_of_tables()) {
        *error = file + ":" + std::to_string(node->source().begin.line) + ": " + key + " must be written as [[" +
                 key + "]] tables";
        return false;
    }
    records->resize(array->size());
    for (size_t i = 0; i < array->size(); ++i) {
        const Where where{file, "[[" + std::string(key) + "]] #" + std::to_string(i + 1)};
        if (!ReadTable(*array->get(i)->as_table(), where, keysFor(&(*records)[i], i == 0), error)) return false;
    }
    return true;
}

// The rules of a [[sources]] entry that involve more than one key: a water level from
// exactly one place, and no flux grids beside a fault source (its displacement may be
// split over several events at different times, so the fluxes would have no one time).
bool CheckSourceEntries(const toml::table& root, const std::string& file, const std::vector<SourceEntry>& entries,
                        std::string* error) {
    const toml::array& tables = *root.get("sources")->as_array();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const toml::table& table = *tables.get(i)->as_table();
        const std::string where =
            file + ":" + std::to_string(table.source().begin.line) + ": [[sources]] #" + std::to_string(i + 1);
        const SourceEntry& e = entries[i];
        if (e.event.etaFile.empty() && e.faults.empty()) {
            *error = where + ": missing required key etaFile (or faults, a fault file)";
            return false;
        }
        if (!e.event.etaFile.empty() && !e.faults.empty()) {
            *error = where + ": etaFile and faults both given: name one water-level source per entry";
            return false;
        }
        if (!e.faults.empty() && (!e.event.fluxMFile.empty() || !e.event.fluxNFile.empty())) {
            *error = where + ": " + (e.event.fluxMFile.empty() ? "fluxNFile" : "fluxMFile") +
                     " cannot go with faults (give the fluxes an entry of their own with an etaFile)";
            return false;
        }
    }
    return true;
}

// [boundary]: kind = "absorbing" | "radiating" | "wall", cells = layer width (absorbing only),
// west/east/south/north = "absorbing" | "wall": that side's own kind.
std::vector<KeySpec> BoundaryKeys(ExtendedRunSettings* b) {
    auto side = [b](const char* name, int32_t index) {
        return KeySpec{name, false, [b, index](const toml::node& n) -> std::string {
                           std::string kind;
                           if (std::string problem = ReadText(n, &kind); !problem.empty()) return problem;
                           if (kind == "absorbing") b->sideKinds[index] = OpenEdgeKind::Absorbing;
                           else if (kind == "wall") b->sideKinds[index] = OpenEdgeKind::Wall;
                           else return "must be \"absorbing\" or \"wall\"";
                           return {};
                       }};
    };
    return {
        side("west", kWestSide),
        side("east", kEastSide),
        side("south", kSouthSide),
        side("north", kNorthSide),
        {"kind", false,
         [b](const toml::node& n) -> std::string {
             std::string kind;
             if (std::string problem = ReadText(n, &kind); !problem.empty()) return problem;
             if (kind == "absorbing") b->edgeKind = OpenEdgeKind::Absorbing;
             else if (kind == "radiating") b->edgeKind = OpenEdgeKind::Radiating;
             else if (kind == "wall") b->edgeKind = OpenEdgeKind::Wall;
             else return "must be \"absorbing\", \"radiating\" or \"wall\"";
             return {};
         }},
        {"cells", false,
         [b](const toml::node& n) {
             return ReadInt32(n, Between(3, 500, "must be a whole number of cells from 3 to 500"), &b->absorbingCells);
         }},
    };
}

// [numerics]: smallFluxCut = the flux below which the momentum update sets a flux to 0;
// dispersion = the dispersive correction of the momentum update, dispersionMinDepth = the
// still-water depth below which faces stay long-wave; frontVelocityHead = runup fronts that open on
// the wet level plus the velocity head.
std::vector<KeySpec> NumericsKeys(ExtendedRunSettings* b) {
    return {
        {"smallFluxCut", false,
         [b](const toml::node& n) {
             return ReadFloat(n, Between(0, 1, "must be a flux from 0 to 1 m^2/s"), &b->smallFluxCut);
         }},
        {"dispersion", false, [b](const toml::node& n) { return ReadBool(n, &b->dispersion); }},
        {"dispersionMinDepth", false,
         [b](const toml::node& n) {
             return ReadFloat(n, Between(0, 1e5, "must be a depth from 0 to 1e5 metres"), &b->dispersionMinDepth);
         }},
        {"frontVelocityHead", false, [b](const toml::node& n) { return ReadBool(n, &b->frontVelocityHead); }},
    };
}

// A point written as [x, y] (two finite numbers).
std::string ReadPoint(const toml::node& node, double* x, double* y) {
    const toml::array* pair = node.as_array();
    if (pair == nullptr || pair->size() != 2) return "must be a point [x, y]";
    double values[2];
    for (size_t i = 0; i < 2; ++i)
        if (ReadReal(*pair->get(i), false, kAnyNumber, &values[i]).size() > 0) return "must be a point [x, y] of numbers";
    *x = values[0];
    *y = values[1];
    return {};
}

// [[transects]]: a named line on one level whose runup the run summary reports.
std::vector<KeySpec> TransectKeys(Transect* t) {
    return {
        {"name", true,
         [t](const toml::node& n) {
             std::string problem = ReadText(n, &t->name);
             return problem.empty() && t->name.empty() ? std::string("must not be empty") : problem;
         }},
        {"level", false,
         [t](const toml::node& n) { return ReadInt32(n, AtLeast(0, "must be a level index, 0 or more"), &t->level); }},
        {"start", true, [t](const toml::node& n) { return ReadPoint(n, &t->x0, &t->y0); }},
        {"end", true, [t](const toml::node& n) { return ReadPoint(n, &t->x1, &t->y1); }},
    };
}

// Where each parameter got its value ("scenario.toml:7" or "--set NAME=VALUE"), for
// messages about combinations of settings.
struct Origin {
    std::string place;
    bool inFile = false;
};
using Origins = std::map<std::string, Origin>;

bool ReadParameterTable(const toml::table& table, const std::string& file, const std::string& base,
                        SimulationParameters* p, Origins* origins, std::string* error) {
    std::vector<KeySpec> keys;
    for (const auto& field : ParameterFields()) {
        keys.push_back({field.name, false, [&field, &base, p](const toml::node& n) {
                            return ReadParameter(field, n, base, p);
                        }});
    }
    if (!ReadTable(table, Where{file, "[parameters]"}, keys, error)) return false;
    for (const auto& [key, node] : table)
        (*origins)[std::string(key.str())] = Origin{file + ":" + std::to_string(key.source().begin.line), true};
    return true;
}

// Checks that involve more than one field, after the file and the command line.
bool CheckParameterCombinations(const SimulationParameters& p, const Origins& origins, const std::string& file,
                                std::string* error) {
    // Where a message about `name` points: its line or --set, else the file's parameters.
    auto origin = [&](const std::string& name) {
        auto it = origins.find(name);
        if (it == origins.end()) return file + ": [parameters]";
        return it->second.place + (it->second.inFile ? ": [parameters]" : ":");
    };
    auto source = [&](const std::string& name) {
        auto it = origins.find(name);
        return it != origins.end() ? it->second.place : std::string("the default");
    };
    if (!(p.endTime > p.startTime)) {
        std::ostringstream s;
        s << origin("endTime") << " endTime = " << p.endTime << ": must be later than startTime = " << p.startTime
          << " (" << source("startTime") << ")";
        *error = s.str();
        return false;
    }
    // The run loop counts steps in 32-bit integers.
    const double steps = (static_cast<double>(p.endTime) - p.startTime) * 60.0 / p.timeStep;
    if (steps > 2147483646.0) {
        *error = origin("timeStep") + " timeStep: the run from startTime to endTime would need more than 2147483646 steps";
        return false;
    }
    struct Needed {
        bool on;
        const char* switchName;
        const char* fileName;
        const std::string& path;
    };
    for (const Needed& n : {Needed{p.timeSeriesEnabled, "timeSeriesEnabled", "timeSeriesFile", p.timeSeriesFile},
                            Needed{p.cellFieldFromFile, "cellFieldFromFile", "cellFieldFile", p.cellFieldFile}}) {
        if (!n.on) continue;
        if (n.path.empty()) {
            *error = origin(n.switchName) + " " + n.switchName + " = true: needs " + n.fileName;
            return false;
        }
        const std::string problem = UnreadableReason(n.path);
        if (!problem.empty()) {
            *error = origin(n.fileName) + " " + n.fileName + ": " + n.path + " " + problem;
            return false;
        }
    }
    return true;
}

bool CheckDistinctOutputFolders(const std::vector<HostGridRecord>& grids, const std::string& file,
                                std::string* error) {
    // Two levels in one folder would overwrite each other's files.
    std::map<std::string, size_t> seen;
    for (size_t i = 0; i < grids.size(); ++i) {
        auto [it, inserted] = seen.emplace(grids[i].outputFolder, i);
        if (!inserted) {
            *error = file + ": [[grids]] #" + std::to_string(i + 1) + " outputFolder = " + grids[i].outputFolder +
                     ": already used by [[grids]] #" + std::to_string(it->second + 1) +
                     " (each grid needs its own folder)";
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<std::string> ParameterNames() {
    std::vector<std::string> names;
    for (const auto& f : ParameterFields()) names.emplace_back(f.name);
    return names;
}

namespace {
bool ApplySetting(const std::string& nameValue, const std::string& baseFolder, SimulationParameters* parameters,
                  Origins* origins, std::string* error) {
    const std::string where = "--set " + nameValue;
    const size_t eq = nameValue.find('=');
    if (eq == std::string::npos) {
        *error = where + ": expected NAME=VALUE";
        return false;
    }
    std::string name = nameValue.substr(0, eq);
    const std::string value = nameValue.substr(eq + 1);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    const ParameterField* field = FindParameter(name);
    if (field == nullptr) {
        *error = where + ": unknown parameter " + name;
        return false;
    }
    // A text field takes a bare word as it stands (a path on the command line rarely
    // carries TOML quotes); everything else is read as a TOML value.
    toml::table parsed;
    const bool bareText = std::holds_alternative<std::string SP::*>(field->member) &&
                          (value.empty() || (value.front() != '"' && value.front() != '\''));
    if (bareText) {
        parsed.insert("v", value);
    } else {
        try {
            parsed = toml::parse("v = " + value, std::string_view("--set"));
        } catch (const toml::parse_error& e) {
            *error = where + ": " + value + " is not a valid value: " + std::string(e.description());
            return false;
        }
        if (parsed.size() != 1 || !parsed.contains("v")) {
            *error = where + ": " + value + " is not a single value";
            return false;
        }
    }
    const std::string problem = ReadParameter(*field, *parsed.get("v"), baseFolder, parameters);
    if (!problem.empty()) {
        *error = where + ": " + problem;
        return false;
    }
    if (origins != nullptr) (*origins)[name] = Origin{where, false};
    return true;
}
}  // namespace

bool ApplyParameterSetting(const std::string& nameValue, const std::string& baseFolder,
                           SimulationParameters* parameters, std::string* error) {
    return ApplySetting(nameValue, baseFolder, parameters, nullptr, error);
}

bool LoadScenarioText(std::string_view text, const std::string& path, const std::vector<std::string>& overrides,
                      Scenario* scenario, std::string* error) {
    Scenario s;
    s.file = path;
    s.folder = fs::absolute(fs::path(path)).lexically_normal().parent_path().string();

    toml::table root;
    try {
        root = toml::parse(text, std::string_view(path));
    } catch (const toml::parse_error& e) {
        *error = path + ":" + std::to_string(e.source().begin.line) + ":" + std::to_string(e.source().begin.column) +
                 ": TOML syntax error: " + std::string(e.description());
        return false;
    }

    // The top level: a title and three sections.
    for (const auto& [key, node] : root) {
        const std::string k(key.str());
        if (k == "name") {
            const std::string problem = ReadText(node, &s.name);
            if (!problem.empty()) {
                *error = path + ":" + std::to_string(key.source().begin.line) + ": name = " + ValueText(node) + ": " + problem;
                return false;
            }
        } else if (k == "parameters") {
            if (!node.is_table()) {
                *error = path + ":" + std::to_string(key.source().begin.line) + ": parameters must be a [parameters] table";
                return false;
            }
        } else if (k == "boundary") {
            if (!node.is_table()) {
                *error = path + ":" + std::to_string(key.source().begin.line) + ": boundary must be a [boundary] table";
                return false;
            }
            if (!ReadTable(*node.as_table(), Where{path, "[boundary]"}, BoundaryKeys(&s.boundary), error)) return false;
            // Radiating edges have no frame to share with a side of another kind.
            const toml::node* kind = node.as_table()->get("kind");
            bool sideGiven = false;
            for (const OpenEdgeKind side : s.boundary.sideKinds) sideGiven = sideGiven || side != OpenEdgeKind::AsEdgeKind;
            if (kind != nullptr && sideGiven && s.boundary.edgeKind == OpenEdgeKind::Radiating) {
                *error = path + ":" + std::to_string(kind->source().begin.line) +
                         ": [boundary] kind = \"radiating\" cannot go with west, east, south or north: give "
                         "\"absorbing\" or \"wall\" for the other sides";
                return false;
            }
        } else if (k == "numerics") {
            if (!node.is_table()) {
                *error = path + ":" + std::to_string(key.source().begin.line) + ": numerics must be a [numerics] table";
                return false;
            }
            if (!ReadTable(*node.as_table(), Where{path, "[numerics]"}, NumericsKeys(&s.boundary), error)) return false;
        } else if (k == "transects") {
            const toml::array* array = node.as_array();
            if (array == nullptr || !array->is_array_of_tables()) {
                *error = path + ":" + std::to_string(key.source().begin.line) + ": transects must be written as [[transects]] tables";
                return false;
            }
            for (size_t i = 0; i < array->size(); ++i) {
                Transect t;
                const Where where{path, "[[transects]] #" + std::to_string(i + 1)};
                if (!ReadTable(*array->get(i)->as_table(), where, TransectKeys(&t), error)) return false;
                s.transects.push_back(std::move(t));
            }
        } else if (k != "grids" && k != "sources") {
            *error = path + ":" + std::to_string(key.source().begin.line) + ": " + k +
                     ": unknown key (expected name, [parameters], [boundary], [numerics], [[grids]], [[sources]] or "
                     "[[transects]])";
            return false;
        }
    }

    Origins origins;
    if (const toml::table* table = root["parameters"].as_table()) {
        if (!ReadParameterTable(*table, path, s.folder, &s.parameters, &origins, error)) return false;
    }
    const std::string base = s.folder;
    if (!ReadRecordList(root, path, "grids",
                        [&base](HostGridRecord* g, bool first) { return GridKeys(g, base, first); }, &s.grids, error))
        return false;
    if (!CheckDistinctOutputFolders(s.grids, path, error)) return false;
    for (size_t i = 0; i < s.transects.size(); ++i)
        if (s.transects[i].level >= static_cast<int>(s.grids.size())) {
            *error = path + ": [[transects]] #" + std::to_string(i + 1) + " level = " +
                     std::to_string(s.transects[i].level) + ": the scenario has only " +
                     std::to_string(s.grids.size()) + " level(s)";
            return false;
        }
    std::vector<SourceEntry> sourceEntries;
    if (!ReadRecordList(root, path, "sources", [&base](SourceEntry* e, bool) { return SourceKeys(e, base); },
                        &sourceEntries, error) ||
        !CheckSourceEntries(root, path, sourceEntries, error))
        return false;
    for (SourceEntry& entry : sourceEntries) {
        s.sources.push_back(std::move(entry.event));
        s.sourceFaultFiles.push_back(std::move(entry.faults));
    }

    const std::string here = fs::current_path().string();
    for (const auto& setting : overrides)
        if (!ApplySetting(setting, here, &s.parameters, &origins, error)) return false;
    if (!CheckParameterCombinations(s.parameters, origins, path, error)) return false;

    *scenario = std::move(s);
    return true;
}

bool LoadScenarioFile(const std::string& path, const std::vector<std::string>& overrides, Scenario* scenario,
                      std::string* error) {
    const std::string problem = UnreadableReason(path);
    if (!problem.empty()) {
        *error = path + ": " + problem;
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        *error = path + ": read error";
        return false;
    }
    return LoadScenarioText(text.str(), path, overrides, scenario, error);
}

bool CreateOutputFolders(const Scenario& scenario, std::string* error) {
    for (const auto& g : scenario.grids) {
        std::error_code ec;
        fs::create_directories(g.outputFolder, ec);
        if (ec || !fs::is_directory(g.outputFolder)) {
            *error = g.outputFolder + ": cannot create the output folder: " +
                     (ec ? ec.message() : std::string("a file of that name exists"));
            return false;
        }
    }
    return true;
}
