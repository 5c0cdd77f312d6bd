// `vestra ensemble plan`: member folders, manifest and job array from an event table.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <toml++/toml.h>

#include "Ensemble.h"
#include "EnsembleFiles.h"
#include "FaultFile.h"
#include "Scenario.h"

namespace fs = std::filesystem;

namespace {

bool Fail(std::string* error, const std::string& message) {
    *error = message;
    return false;
}

// Splits one CSV line; fields may be quoted with '"' (a doubled quote inside stands for one).
std::vector<std::string> SplitCsv(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else if (c != '\r') {
            fields.back() += c;
        }
    }
    for (std::string& f : fields) {
        const size_t a = f.find_first_not_of(" \t"), b = f.find_last_not_of(" \t");
        f = a == std::string::npos ? std::string() : f.substr(a, b - a + 1);
    }
    return fields;
}

bool ParseNonNegative(const std::string& text, double* value) {
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(*value) && *value >= 0.0;
}

bool ValidName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 200) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') return false;
    return true;
}

struct Event {
    std::string name;
    double rate = 0.0, weight = 1.0;
    std::string faults;  // absolute
};

bool ReadEvents(const std::string& path, std::vector<Event>* events, std::string* error) {
    std::ifstream in(path);
    if (!in) return Fail(error, path + ": cannot be opened");
    const fs::path base = fs::absolute(path).parent_path();
    std::string line;
    int lineNo = 0;
    int nameCol = -1, rateCol = -1, faultsCol = -1, weightCol = -1;
    size_t columns = 0;
    std::set<std::string> names;
    while (std::getline(in, line)) {
        ++lineNo;
        if (line.find_first_not_of(" \t\r") == std::string::npos || line[0] == '#') continue;
        const std::vector<std::string> f = SplitCsv(line);
        const std::string where = path + ":" + std::to_string(lineNo) + ": ";
        if (columns == 0) {
            for (size_t i = 0; i < f.size(); ++i) {
                int* col = f[i] == "name" ? &nameCol : f[i] == "rate" ? &rateCol : f[i] == "faults" ? &faultsCol
                           : f[i] == "weight"                         ? &weightCol : nullptr;
                if (col == nullptr) return Fail(error, where + "unknown column '" + f[i] + "' (name, rate, faults, weight)");
                if (*col >= 0) return Fail(error, where + "column '" + f[i] + "' appears twice");
                *col = static_cast<int>(i);
            }
            for (auto [col, label] : {std::pair{nameCol, "name"}, {rateCol, "rate"}, {faultsCol, "faults"}})
                if (col < 0) return Fail(error, where + "no column '" + label + "'");
            columns = f.size();
            continue;
        }
        if (f.size() != columns)
            return Fail(error, where + std::to_string(f.size()) + " fields, the header has " + std::to_string(columns));
        Event e;
        e.name = f[nameCol];
        if (!ValidName(e.name))
            return Fail(error, where + "name '" + e.name + "': use letters, digits, '-', '_' and '.' only");
        if (!names.insert(e.name).second) return Fail(error, where + "name '" + e.name + "' appears twice");
        if (!ParseNonNegative(f[rateCol], &e.rate))
            return Fail(error, where + "rate '" + f[rateCol] + "': must be a number >= 0 (events per year)");
        if (weightCol >= 0 && !f[weightCol].empty() && !ParseNonNegative(f[weightCol], &e.weight))
            return Fail(error, where + "weight '" + f[weightCol] + "': must be a number >= 0");
        if (f[faultsCol].empty()) return Fail(error, where + "no fault file for '" + e.name + "'");
        e.faults = (base / f[faultsCol]).lexically_normal().string();
        FaultSet set;
        std::string faultError;
        if (!ReadFaultFile(e.faults, &set, &faultError)) return Fail(error, where + faultError);
        events->push_back(std::move(e));
    }
    if (columns == 0) return Fail(error, path + ": no header line (name,rate,faults[,weight])");
    if (events->empty()) return Fail(error, path + ": no events");
    return true;
}

// Makes a relative path of the template absolute (from the template's folder).
void Absolute(toml::table& table, const char* key, const fs::path& base) {
    if (auto* node = table.get_as<std::string>(key)) {
        const std::string value = node->get();
        if (!value.empty() && fs::path(value).is_relative()) *node = (base / value).lexically_normal().string();
    }
}

// The member's scenario: the template's settings and grids (paths made absolute, outputs into
// the member's folder) and one source, the member's fault file.
bool MemberScenario(const toml::table& templ, const fs::path& base, toml::table* out, std::string* error,
                    const std::string& templatePath) {
    *out = templ;
    out->erase("sources");
    if (auto* p = out->get_as<toml::table>("parameters"))
        for (const char* key : {"roughnessFile", "timeSeriesFile", "cellFieldFile"}) Absolute(*p, key, base);
    auto* grids = out->get_as<toml::array>("grids");
    if (grids == nullptr || grids->empty()) return Fail(error, templatePath + ": no [[grids]]");
    int k = 0;
    for (auto& node : *grids) {
        auto* g = node.as_table();
        if (g == nullptr) return Fail(error, templatePath + ": [[grids]] entries must be tables");
        Absolute(*g, "bathymetryFile", base);
        Absolute(*g, "gaugeFile", base);
        g->insert_or_assign("outputFolder", "output/level" + std::to_string(k++));
    }
    toml::table source;
    source.insert("faults", "faults.toml");
    source.insert("insertionTime", 0.0);
    toml::array sources;
    sources.push_back(std::move(source));
    out->insert("sources", std::move(sources));
    return true;
}

std::string Quote(const std::string& s) {
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

// The shortest of %.15g and %.17g that reads back as the same double.
std::string Shortest(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", v);
    if (std::strtod(text, nullptr) != v) std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

std::string ArrayScript(const EnsembleSettings& s, int memberCount, const std::string& dir) {
    const int tasks = (memberCount + s.perTask - 1) / s.perTask;
    std::ostringstream o;
    o << "#!/bin/sh\n"
      << "#SBATCH --job-name=vestra-ensemble\n"
      << "#SBATCH --array=0-" << tasks - 1 << "%" << s.maxRunning << "\n"
      << "#SBATCH --ntasks=1\n"
      << "#SBATCH --cpus-per-task=" << s.threads << "\n"
      << "#SBATCH --output=" << dir << "/logs/slurm-%A_%a.out\n"
      // SIGTERM reaches this script (exec'd into the runner) before the time limit; the runner
      // passes it to the member's run, which writes its checkpoint and stops.
      << "#SBATCH --signal=B:TERM@" << s.signalSeconds << "\n"
      << "# Array task I runs members I*" << s.perTask << " to I*" << s.perTask << "+" << s.perTask - 1
      << " of manifest.csv, one after the other. Finished members are skipped and\n"
      << "# interrupted ones resume from their checkpoints, so the array may be submitted again.\n"
      << "exec " << Quote(s.vestra) << " ensemble run " << Quote(dir) << " --task \"$SLURM_ARRAY_TASK_ID\"\n";
    return o.str();
}

}  // namespace

bool PlanEnsemble(const PlanOptions& options, int* memberCount, std::string* error) {
    const EnsembleSettings& s0 = options.settings;
    std::vector<Event> events;
    if (!ReadEvents(options.eventsPath, &events, error)) return false;
    toml::table templ;
    try {
        templ = toml::parse_file(options.templatePath);
    } catch (const toml::parse_error& e) {
        std::ostringstream o;
        o << options.templatePath << ":" << e.source().begin.line << ": " << e.description();
        return Fail(error, o.str());
    }
    const fs::path base = fs::absolute(options.templatePath).parent_path();
    const fs::path dir = fs::absolute(options.dir).lexically_normal();
    std::error_code ec;
    // The job array names the folder in #SBATCH lines, which Slurm splits at white space.
    if (dir.string().find_first_of(" \t\n\"'") != std::string::npos)
        return Fail(error, dir.string() + ": the job array cannot name a folder with spaces or quotes; choose another");
    if (fs::exists(dir, ec) && !(fs::is_directory(dir, ec) && fs::is_empty(dir, ec)))
        return Fail(error, options.dir + ": already exists and is not an empty folder");
    fs::path partial = dir;
    partial += ".partial";
    fs::remove_all(partial, ec);
    struct Cleanup {
        fs::path p;
        bool keep = false;
        ~Cleanup() {
            std::error_code c;
            if (!keep) fs::remove_all(p, c);
        }
    } cleanup{partial};
    if (!fs::create_directories(partial / "logs", ec)) return Fail(error, partial.string() + ": cannot be created");

    EnsembleSettings settings = s0;
    std::ostringstream manifest;
    manifest << "index,name,rate,weight,folder\n";
    for (size_t i = 0; i < events.size(); ++i) {
        const Event& e = events[i];
        const fs::path folder = partial / "members" / e.name;
        fs::create_directories(folder, ec);
        toml::table member;
        if (!MemberScenario(templ, base, &member, error, options.templatePath)) return false;
        std::ostringstream text;
        text << member << "\n";
        if (!fs::copy_file(e.faults, folder / "faults.toml", ec))
            return Fail(error, e.faults + ": cannot be copied: " + ec.message());
        if (!WriteFileAtomically((folder / "scenario.toml").string(), text.str(), error)) return false;
        Scenario scenario;
        std::string loadError;
        if (!LoadScenarioFile((folder / "scenario.toml").string(), {}, &scenario, &loadError))
            return Fail(error, options.templatePath + ": makes a bad scenario for member '" + e.name + "': " + loadError);
        if (i == 0) {
            settings.levels = static_cast<int>(scenario.grids.size());
            for (const auto& g : scenario.grids) {
                settings.spherical.push_back(g.gridType >= 2);
                settings.gauges.push_back(!g.gaugeFile.empty());
            }
            settings.outputFormat = static_cast<int>(scenario.parameters.outputFormat);
        }
        manifest << i << "," << e.name << "," << Shortest(e.rate) << "," << Shortest(e.weight) << ",members/" << e.name
                 << "\n";
    }
    std::ostringstream conf;
    conf << "# Written by 'vestra ensemble plan'; read by run, submit, status and aggregate.\n"
         << "perTask = " << settings.perTask << "\nmaxRunning = " << settings.maxRunning
         << "\nthreads = " << settings.threads << "\nsignalSeconds = " << settings.signalSeconds
         << "\nlevels = " << settings.levels << "\nspherical = [";
    for (size_t k = 0; k < settings.spherical.size(); ++k) conf << (k ? ", " : "") << (settings.spherical[k] ? "true" : "false");
    conf << "]\ngauges = [";
    for (size_t k = 0; k < settings.gauges.size(); ++k) conf << (k ? ", " : "") << (settings.gauges[k] ? "true" : "false");
    conf << "]\noutputFormat = " << settings.outputFormat << "\nvestra = " << Quote(settings.vestra) << "\n";
    if (!WriteFileAtomically((partial / "ensemble.toml").string(), conf.str(), error) ||
        !WriteFileAtomically((partial / "manifest.csv").string(), manifest.str(), error) ||
        !WriteFileAtomically((partial / "ensemble.sbatch").string(),
                             ArrayScript(settings, static_cast<int>(events.size()), dir.string()), error))
        return false;
    fs::permissions(partial / "ensemble.sbatch", fs::perms::owner_exec, fs::perm_options::add, ec);
    if (fs::exists(dir, ec)) fs::remove(dir, ec);
    fs::rename(partial, dir, ec);
    if (ec) return Fail(error, dir.string() + ": cannot be created: " + ec.message());
    cleanup.keep = true;
    *memberCount = static_cast<int>(events.size());
    return true;
}

bool LoadEnsemble(const std::string& dir, EnsembleSettings* settings, std::vector<EnsembleMember>* members,
                  std::string* error) {
    const fs::path root = fs::absolute(dir);
    const std::string confPath = (root / "ensemble.toml").string();
    toml::table conf;
    try {
        conf = toml::parse_file(confPath);
    } catch (const toml::parse_error& e) {
        return Fail(error, confPath + ": " + std::string(e.description()) + " (is " + dir + " an ensemble folder?)");
    }
    EnsembleSettings s;
    s.perTask = conf["perTask"].value_or(0);
    s.maxRunning = conf["maxRunning"].value_or(0);
    s.threads = conf["threads"].value_or(0);
    s.signalSeconds = conf["signalSeconds"].value_or(0);
    s.levels = conf["levels"].value_or(0);
    s.outputFormat = conf["outputFormat"].value_or(-1);
    s.vestra = conf["vestra"].value_or(std::string());
    if (const auto* sph = conf["spherical"].as_array())
        for (const auto& v : *sph) s.spherical.push_back(v.value_or(false));
    if (const auto* g = conf["gauges"].as_array())
        for (const auto& v : *g) s.gauges.push_back(v.value_or(false));
    if (s.perTask < 1 || s.threads < 1 || s.levels < 1 || static_cast<int>(s.spherical.size()) != s.levels ||
        static_cast<int>(s.gauges.size()) != s.levels ||
        s.outputFormat < 0 || s.outputFormat > 3)
        return Fail(error, confPath + ": damaged (perTask, threads, levels, spherical or outputFormat)");
    const std::string manifestPath = (root / "manifest.csv").string();
    std::ifstream in(manifestPath);
    if (!in) return Fail(error, manifestPath + ": cannot be opened");
    std::string line;
    std::getline(in, line);
    if (line != "index,name,rate,weight,folder") return Fail(error, manifestPath + ": not a manifest (header)");
    std::vector<EnsembleMember> list;
    while (std::getline(in, line)) {
        const std::vector<std::string> f = SplitCsv(line);
        EnsembleMember m;
        if (f.size() != 5 || !ValidName(f[1]) || !ParseNonNegative(f[2], &m.rate) || !ParseNonNegative(f[3], &m.weight) ||
            f[0] != std::to_string(list.size()))
            return Fail(error, manifestPath + ":" + std::to_string(list.size() + 2) + ": damaged line");
        m.index = static_cast<int>(list.size());
        m.name = f[1];
        m.folder = (root / f[4]).lexically_normal().string();
        list.push_back(std::move(m));
    }
    if (list.empty()) return Fail(error, manifestPath + ": no members");
    *settings = std::move(s);
    *members = std::move(list);
    return true;
}
