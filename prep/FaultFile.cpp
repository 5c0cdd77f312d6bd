#include "FaultFile.h"

#include <toml++/toml.h>

#include <cmath>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

namespace {

// A fault-file error, thrown inside the parser and turned into the caller's message.
struct InputError {
    std::string message;
};

std::string FormatNumber(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

std::string TypeName(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::table: return "a table";
        case toml::node_type::array: return "an array";
        case toml::node_type::string: return "a string";
        case toml::node_type::integer: return "an integer";
        case toml::node_type::floating_point: return "a number";
        case toml::node_type::boolean: return "a boolean";
        default: return "a date or time";
    }
}

class FaultReader {
public:
    explicit FaultReader(std::string context) : context_(std::move(context)) {}

    [[noreturn]] void Fail(const std::string& key, const std::string& what) const {
        throw InputError{context_ + ": '" + key + "' " + what};
    }

    std::optional<double> Number(const toml::table& table, const std::string& key) const {
        const toml::node* node = table.get(key);
        if (!node) return std::nullopt;
        if (!node->is_number()) Fail(key, "must be a number, got " + TypeName(*node));
        const double value = node->value<double>().value_or(0.0);
        if (!std::isfinite(value)) Fail(key, "must be finite, got " + FormatNumber(value));
        return value;
    }

    double Required(const toml::table& table, const std::string& key) const {
        const std::optional<double> value = Number(table, key);
        if (!value) Fail(key, "is missing");
        return *value;
    }

    std::optional<std::string> String(const toml::table& table, const std::string& key) const {
        const toml::node* node = table.get(key);
        if (!node) return std::nullopt;
        if (!node->is_string()) Fail(key, "must be a string, got " + TypeName(*node));
        return node->value<std::string>().value_or("");
    }

    void OnlyKnownKeys(const toml::table& table, const std::set<std::string>& known) const {
        for (const auto& [key, node] : table) {
            (void)node;
            if (!known.count(std::string(key.str()))) Fail(std::string(key.str()), "is not a known key");
        }
    }

private:
    std::string context_;
};

const std::set<std::string> kFaultKeys = {"name",     "longitude", "latitude", "x",      "y",
                                          "reference", "depth",    "strike",   "dip",    "rake",
                                          "slip",     "length",    "width",    "opening", "rupture_time"};

Fault ReadFault(const toml::table& table, int index, const std::string& sourceName, std::optional<bool>* geographic) {
    Fault fault;
    fault.index = index;
    // The name is read first so that every later message can carry it.
    if (const toml::node* node = table.get("name")) {
        if (!node->is_string())
            throw InputError{sourceName + ": " + FaultLabel(fault) + ": 'name' must be a string, got " +
                             TypeName(*node)};
        fault.name = node->value<std::string>().value_or("");
    }
    const FaultReader reader(sourceName + ": " + FaultLabel(fault));
    reader.OnlyKnownKeys(table, kFaultKeys);

    const bool hasLonLat = table.contains("longitude") || table.contains("latitude");
    const bool hasXY = table.contains("x") || table.contains("y");
    if (hasLonLat && hasXY) reader.Fail(table.contains("x") ? "x" : "y", "cannot be combined with longitude/latitude");
    if (!hasLonLat && !hasXY) reader.Fail("longitude", "is missing (give longitude and latitude, or x and y in metres)");
    if (geographic->has_value() && **geographic != hasLonLat)
        reader.Fail(hasLonLat ? "longitude" : "x",
                    **geographic ? "cannot be used here: the earlier faults are placed by longitude/latitude"
                                 : "cannot be used here: the earlier faults are placed by x/y");
    *geographic = hasLonLat;
    if (hasLonLat) {
        fault.x = reader.Required(table, "longitude");
        fault.y = reader.Required(table, "latitude");
        if (fault.y < -90.0 || fault.y > 90.0) reader.Fail("latitude", "must lie in [-90, 90], got " + FormatNumber(fault.y));
    } else {
        fault.x = reader.Required(table, "x");
        fault.y = reader.Required(table, "y");
    }

    const std::optional<std::string> reference = reader.String(table, "reference");
    if (!reference) reader.Fail("reference", "is missing (\"centroid\", \"top-centre\" or \"top-left\")");
    if (*reference == "centroid") fault.reference = FaultReference::Centroid;
    else if (*reference == "top-centre") fault.reference = FaultReference::TopCentre;
    else if (*reference == "top-left") fault.reference = FaultReference::TopLeft;
    else reader.Fail("reference", "must be \"centroid\", \"top-centre\" or \"top-left\", got \"" + *reference + "\"");

    fault.depthKm = reader.Required(table, "depth");
    fault.strike = reader.Required(table, "strike");
    fault.dip = reader.Required(table, "dip");
    fault.rake = reader.Required(table, "rake");
    fault.slip = reader.Required(table, "slip");
    fault.lengthKm = reader.Required(table, "length");
    fault.widthKm = reader.Required(table, "width");
    fault.opening = reader.Number(table, "opening").value_or(0.0);
    fault.ruptureTime = reader.Number(table, "rupture_time").value_or(0.0);

    if (!(fault.dip > 0.0 && fault.dip <= 90.0))
        reader.Fail("dip", "must lie in (0, 90] degrees, got " + FormatNumber(fault.dip));
    if (fault.lengthKm <= 0.0) reader.Fail("length", "must be positive, got " + FormatNumber(fault.lengthKm));
    if (fault.widthKm <= 0.0) reader.Fail("width", "must be positive, got " + FormatNumber(fault.widthKm));
    if (fault.depthKm <= 0.0) reader.Fail("depth", "must be positive, got " + FormatNumber(fault.depthKm));
    if (fault.slip < 0.0) reader.Fail("slip", "must not be negative (give the direction by rake), got " + FormatNumber(fault.slip));
    if (fault.ruptureTime < 0.0)
        reader.Fail("rupture_time", "must not be negative, got " + FormatNumber(fault.ruptureTime));
    const double top = TopEdgeDepth(fault.reference, fault.depthKm, fault.dip, fault.widthKm);
    if (top < 0.0)
        reader.Fail("depth", "puts the top edge " + FormatNumber(-top) +
                                 " km above the sea floor (a centroid needs depth >= width*sin(dip)/2)");
    return fault;
}

void ParseTable(const toml::table& root, const std::string& sourceName, FaultSet* set) {
    const FaultReader reader(sourceName);
    reader.OnlyKnownKeys(root, {"poisson", "horizontal", "faults"});
    FaultSet result;
    if (const std::optional<double> poisson = reader.Number(root, "poisson")) {
        // mu/(lambda+mu) = 1 - 2 nu must stay positive; nu > -1 bounds a stable solid from below.
        if (!(*poisson > -1.0 && *poisson < 0.5))
            reader.Fail("poisson", "must lie in (-1, 0.5), got " + FormatNumber(*poisson));
        result.poisson = *poisson;
    }
    if (const toml::node* node = root.get("horizontal")) {
        if (!node->is_boolean()) reader.Fail("horizontal", "must be true or false, got " + TypeName(*node));
        result.horizontal = node->value<bool>().value_or(false);
    }
    const toml::node* faults = root.get("faults");
    if (!faults) reader.Fail("faults", "is missing (one [[faults]] table per rectangle)");
    const toml::array* list = faults->as_array();
    if (!list) reader.Fail("faults", "must be an array of tables ([[faults]]), got " + TypeName(*faults));
    if (list->empty()) reader.Fail("faults", "is empty");
    std::optional<bool> geographic;
    int index = 0;
    for (const toml::node& item : *list) {
        ++index;
        const toml::table* table = item.as_table();
        if (!table)
            throw InputError{sourceName + ": fault " + std::to_string(index) + ": must be a table, got " + TypeName(item)};
        result.faults.push_back(ReadFault(*table, index, sourceName, &geographic));
    }
    result.geographic = geographic.value_or(true);
    *set = std::move(result);
}

}  // namespace

std::string FaultLabel(const Fault& fault) {
    std::string label = "fault " + std::to_string(fault.index);
    if (!fault.name.empty()) label += " (\"" + fault.name + "\")";
    return label;
}

bool ParseFaultText(const std::string& text, const std::string& sourceName, FaultSet* set, std::string* error) {
    try {
        const toml::table root = toml::parse(text, sourceName);
        ParseTable(root, sourceName, set);
        return true;
    } catch (const toml::parse_error& e) {
        if (error) {
            *error = sourceName + ":" + std::to_string(e.source().begin.line) + ":" +
                     std::to_string(e.source().begin.column) + ": " + std::string(e.description());
        }
    } catch (const InputError& e) {
        if (error) *error = e.message;
    }
    return false;
}

bool ReadFaultFile(const std::string& path, FaultSet* set, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = path + ": cannot open file";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseFaultText(text.str(), path, set, error);
}
