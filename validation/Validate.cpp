#include "Validate.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "HostRun.h"
#include "ModelRuns.h"
#include "Plot.h"
#include "RunSummary.h"
#include "ValidationCase.h"

namespace fs = std::filesystem;

namespace {

const char* kValidateUsage =
    "usage: vestra validate [CASE ...] [--quick] [--dispersion] [--velocity-head] [--cell-size DX] [-o DIR] [--plugin PATH]\n"
    "\n"
    "Runs validation cases through the model (all of them by default), draws each against\n"
    "its reference (laboratory data or an analytic solution) and writes per case a figure\n"
    "DIR/CASE/CASE.png and DIR/CASE/metrics.json, then DIR/report.md and DIR/report.json with\n"
    "every metric, its threshold and the pass rule (docs/validation.md).\n"
    "\n"
    "cases:\n"
    "%s"
    "\n"
    "options:\n"
    "  --quick             coarser grids: the whole set in well under a minute\n"
    "  --dispersion        laboratory cases with the dispersive correction ([numerics] dispersion)\n"
    "  --velocity-head     runup fronts that open on the level plus the velocity head\n"
    "                      ([numerics] frontVelocityHead)\n"
    "  --cell-size DX      grid spacing in metres of the conical-island cases (bp6a-c),\n"
    "                      from 0.01 to 1, instead of 0.05 (0.1 with --quick); the time\n"
    "                      step follows it at the same Courant number\n"
    "  -o, --output DIR    where the runs and the report go (default: validation-report)\n"
    "  --plugin PATH       the simulator library (default: libvestra.so beside vestra)\n"
    "  -h, --help          show this help\n"
    "\n"
    "exit status: 0 every case passed, 1 a case failed or could not run, 2 bad command line.\n";

std::string JsonArray(const std::vector<double>& values) {
    std::string out = "[";
    for (size_t k = 0; k < values.size(); ++k) {
        if (k) out += ',';
        out += JsonNumber(values[k], 9);
    }
    return out + "]";
}

std::string MetricsJson(const CaseResult& result, const std::string& indent) {
    std::string out = "{";
    for (size_t k = 0; k < result.metrics.size(); ++k) {
        const Metric& m = result.metrics[k];
        out += (k ? ",\n" : "\n") + indent + "  " + JsonString(m.name) + ": {\"value\": " + JsonNumber(m.value, 9) +
               ", \"threshold\": " + (m.Counts() ? JsonNumber(m.threshold, 9) : "null") + ", \"unit\": " +
               JsonString(m.unit) + ", \"passed\": " + (m.Passes() ? "true" : "false") + "}";
    }
    return out + "\n" + indent + "}";
}

std::string FigureJson(const CaseResult& result) {
    std::string out = "{\"title\": " + JsonString(result.title) + ", \"panels\": [\n";
    for (size_t p = 0; p < result.panels.size(); ++p) {
        const Panel& panel = result.panels[p];
        out += std::string(p ? ",\n" : "") + "{\"title\": " + JsonString(panel.title) +
               ", \"xLabel\": " + JsonString(panel.xLabel) + ", \"yLabel\": " + JsonString(panel.yLabel) +
               ", \"series\": [";
        for (size_t s = 0; s < panel.series.size(); ++s) {
            const Series& series = panel.series[s];
            out += std::string(s ? ",\n" : "\n") + "{\"label\": " + JsonString(series.label) +
                   ", \"reference\": " + (series.reference ? "true" : "false") + ", \"x\": " + JsonArray(series.x) +
                   ", \"y\": " + JsonArray(series.y) + "}";
        }
        out += "]}";
    }
    return out + "\n]}\n";
}

// The plotting script: beside the executable (copied there by the build), else the source tree.
std::string FindValidationPlotScript() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && fs::exists(self.parent_path() / "validate_plot.py")) return (self.parent_path() / "validate_plot.py").string();
#ifdef VESTRA_VALIDATION_SOURCE
    if (fs::exists(fs::path(VESTRA_VALIDATION_SOURCE) / "validate_plot.py"))
        return (fs::path(VESTRA_VALIDATION_SOURCE) / "validate_plot.py").string();
#endif
    return {};
}

std::string FindDataFolder() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && fs::is_directory(self.parent_path() / "validation-data"))
        return (self.parent_path() / "validation-data").string() + "/";
#ifdef VESTRA_VALIDATION_SOURCE
    return std::string(VESTRA_VALIDATION_SOURCE) + "/data/";
#else
    return "validation/data/";
#endif
}

std::string Passed(bool passed) { return passed ? "pass" : "**FAIL**"; }

std::string ReportMarkdown(const std::vector<CaseResult>& results, bool quick, bool dispersion, bool velocityHead,
                           double cellSize) {
    std::string md = "# Validation report\n\n";
    md += quick ? "Quick run (`--quick`: coarser grids than the published resolutions).\n\n"
                : "Full run (published resolutions).\n\n";
    if (cellSize > 0.0)
        md += "Conical-island cases at dx = " + Num(cellSize) + " m (`--cell-size`) instead.\n\n";
    if (dispersion)
        md += "Laboratory cases with the dispersive correction (`--dispersion`: [numerics] dispersion = true, "
              "faces shallower than the incident wave height / 0.78 long-wave).\n\n";
    if (velocityHead)
        md += "Runup fronts that open on the wet level plus the velocity head (`--velocity-head`: [numerics] "
              "frontVelocityHead = true).\n\n";
    md += "Pass rule: a case passes when it ran and every metric with a threshold is at most that "
          "threshold; the run passes when every case passes. Relative errors are "
          "|model - reference| / |reference| of maxima (NTHMP acceptance: analytic 5 %, laboratory "
          "10 %, mass conservation 5 %; this project aims for mass within 0.1 %). Normalised RMS "
          "differences (RMS of model - reference over the largest |reference|) are for information.\n\n";
    md += "| case | result |\n|---|---|\n";
    for (const CaseResult& r : results) md += "| " + r.name + " | " + Passed(r.Passed()) + " |\n";
    for (const CaseResult& r : results) {
        md += "\n## " + r.name + ": " + r.title + "\n\n";
        if (!r.failure.empty()) md += "**Could not run:** " + r.failure + "\n\n";
        md += "![" + r.name + "](" + r.name + "/" + r.name + ".png)\n\n";
        md += "| metric | value | threshold | result |\n|---|---|---|---|\n";
        for (const Metric& m : r.metrics) {
            const std::string unit = m.unit.empty() ? "" : " " + m.unit;
            md += "| " + m.name + " | " + Num(m.value, 4) + unit + " | " +
                  (m.Counts() ? "≤ " + Num(m.threshold, 4) + unit : "(information)") + " | " +
                  (m.Counts() ? Passed(m.Passes()) : "") + " |\n";
        }
        md += "\nSettings:\n\n";
        for (const std::string& s : r.settings) md += "- " + s + "\n";
        if (!r.notes.empty()) {
            md += "\nNotes:\n\n";
            for (const std::string& s : r.notes) md += "- " + s + "\n";
        }
    }
    return md;
}

std::string ReportJson(const std::vector<CaseResult>& results, bool quick, bool dispersion, bool velocityHead,
                       double cellSize) {
    std::string out = "{\n  \"quick\": " + std::string(quick ? "true" : "false") +
                      ",\n  \"cellSize\": " + (cellSize > 0.0 ? JsonNumber(cellSize, 9) : "null") +
                      ",\n  \"dispersion\": " + (dispersion ? "true" : "false") +
                      ",\n  \"frontVelocityHead\": " + (velocityHead ? "true" : "false") + ",\n  \"cases\": [";
    for (size_t k = 0; k < results.size(); ++k) {
        const CaseResult& r = results[k];
        out += std::string(k ? "," : "") + "\n    {\"name\": " + JsonString(r.name) +
               ", \"passed\": " + (r.Passed() ? "true" : "false") + ", \"failure\": " + JsonString(r.failure) +
               ",\n     \"metrics\": " + MetricsJson(r, "     ") + "}";
    }
    return out + "\n  ]\n}\n";
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "vestra: %s\ntry 'vestra validate --help'\n", message.c_str());
    return kExitUsage;
}

// A grid spacing for --cell-size: a plain number of metres from 0.01 to 1 (finer grids of the
// 33 m x 28 m basin would not fit in memory, coarser ones would not resolve the island).
bool ParseCellSize(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v) || v < 0.01 || v > 1.0) return false;
    *value = v;
    return true;
}

}  // namespace

bool CaseResult::Passed() const {
    if (!failure.empty() || metrics.empty()) return false;
    for (const Metric& m : metrics)
        if (!m.Passes()) return false;
    return true;
}

double RelativeError(double model, double reference) { return std::fabs(model - reference) / std::fabs(reference); }

std::vector<ValidationCase> ValidationCases() {
    return {
        {"mass", "closed basins that flood and dry, Cartesian and spherical, with a nested level: volume kept",
         RunMassCase},
        {"thacker", "analytic: planar surface oscillating in a parabolic channel (Thacker 1981)", RunThackerCase},
        {"bp4", "laboratory: solitary wave on a 1:19.85 beach, profiles and runup (NTHMP BP4)", RunBp4Case},
        {"bp6a",
         "laboratory: solitary wave H/d = 0.045 (its height from the lab's gauges 1-4) on a conical island, gauges "
         "and runup (NTHMP BP6 A)",
         [](const CaseContext& c) { return RunBp6Case(c, 'a'); }},
        {"bp6b", "laboratory: the same with H/d = 0.096 (NTHMP BP6 B)",
         [](const CaseContext& c) { return RunBp6Case(c, 'b'); }},
        {"bp6c", "laboratory: the same with H/d = 0.181 (NTHMP BP6 C)",
         [](const CaseContext& c) { return RunBp6Case(c, 'c'); }},
        {"bp7", "laboratory: tsunami runup onto the Monai valley, gauges and valley runup (NTHMP BP7)", RunBp7Case},
    };
}

int RunValidateCommand(const std::vector<std::string>& args) {
    const std::vector<ValidationCase> all = ValidationCases();
    std::string caseList;
    for (const ValidationCase& c : all) {
        char line[256];
        std::snprintf(line, sizeof line, "  %-18s  %s\n", c.name, c.summary);
        caseList += line;
    }
    bool quick = false, dispersion = false, velocityHead = false;
    double cellSize = 0.0;
    std::string outDir = "validation-report", plugin;
    std::vector<const ValidationCase*> chosen;
    std::set<std::string> seen;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            std::printf(kValidateUsage, caseList.c_str());
            return kExitSuccess;
        }
        if (a == "--quick" || a == "--dispersion" || a == "--velocity-head") {
            (a == "--quick" ? quick : a == "--dispersion" ? dispersion : velocityHead) = true;
            continue;
        }
        if (a == "-o" || a == "--output" || a == "--plugin") {
            if (i + 1 >= args.size() || args[i + 1].empty()) return UsageError(a + " needs a value");
            (a == "--plugin" ? plugin : outDir) = args[++i];
            continue;
        }
        if (a == "--cell-size" || a.rfind("--cell-size=", 0) == 0) {
            const bool joined = a.size() > 11;
            if (!joined && i + 1 >= args.size()) return UsageError(a + " needs a value");
            const std::string value = joined ? a.substr(12) : args[++i];
            if (!ParseCellSize(value, &cellSize))
                return UsageError("--cell-size " + value + ": not a grid spacing from 0.01 to 1 m");
            continue;
        }
        if (a.rfind("--output=", 0) == 0 || a.rfind("--plugin=", 0) == 0) {
            const std::string value = a.substr(9);
            if (value.empty()) return UsageError(a + ": needs a value");
            (a[2] == 'p' ? plugin : outDir) = value;
            continue;
        }
        if (a.size() > 1 && a[0] == '-') return UsageError("unknown option " + a);
        const ValidationCase* found = nullptr;
        for (const ValidationCase& c : all)
            if (a == c.name) found = &c;
        if (found == nullptr) return UsageError("unknown case " + a + " (see 'vestra validate --help')");
        if (seen.insert(a).second) chosen.push_back(found);
    }
    if (chosen.empty())
        for (const ValidationCase& c : all) chosen.push_back(&c);

    std::error_code ec;
    fs::create_directories(outDir, ec);
    if (ec || !fs::is_directory(outDir)) {
        std::fprintf(stderr, "vestra: %s: cannot create the output folder\n", outDir.c_str());
        return kExitFailure;
    }
    const std::string root = fs::absolute(outDir).string() + "/";
    const std::string script = FindValidationPlotScript();
    bool drawFigures = !script.empty();
    if (!drawFigures) std::fprintf(stderr, "vestra: warning: no figures: validate_plot.py not found\n");

    std::vector<CaseResult> results;
    for (const ValidationCase* c : chosen) {
        CaseContext context;
        context.quick = quick;
        context.dispersion = dispersion;
        context.velocityHead = velocityHead;
        context.cellSize = cellSize;
        context.folder = root + c->name + "/";
        context.pluginPath = plugin.empty() ? DefaultPluginPath() : plugin;
        context.dataFolder = FindDataFolder();
        fs::remove_all(context.folder, ec);
        fs::create_directories(context.folder, ec);
        std::fprintf(stderr, "vestra: validate %s ...\n", c->name);
        CaseResult result = c->run(context);
        result.name = c->name;
        std::string error;
        WriteTextFile(context.folder + "metrics.json", MetricsJson(result, "") + "\n", &error);
        if (drawFigures && !result.panels.empty() && WriteTextFile(context.folder + "figure.json", FigureJson(result), &error)) {
            const int status = RunPlotScript(kPlotPython, script,
                                             {context.folder + "figure.json", context.folder + c->name + ".png"});
            if (status != 0) drawFigures = false;  // the script has said why; the others would repeat it
        }
        std::fprintf(stderr, "vestra: validate %s: %s%s\n", c->name, result.Passed() ? "passed" : "FAILED",
                     result.failure.empty() ? "" : (": " + result.failure).c_str());
        for (const Metric& m : result.metrics)
            std::fprintf(stderr, "    %-48s %12.5g %s\n", m.name.c_str(), m.value,
                         m.Counts() ? (m.Passes() ? "ok" : "FAIL") : "");
        results.push_back(std::move(result));
    }
    std::string error;
    if (!WriteTextFile(root + "report.md", ReportMarkdown(results, quick, dispersion, velocityHead, cellSize), &error) ||
        !WriteTextFile(root + "report.json", ReportJson(results, quick, dispersion, velocityHead, cellSize), &error)) {
        std::fprintf(stderr, "vestra: %s\n", error.c_str());
        return kExitFailure;
    }
    bool all_passed = true;
    for (const CaseResult& r : results) all_passed = all_passed && r.Passed();
    std::fprintf(stderr, "vestra: validation %s; report in %sreport.md\n", all_passed ? "passed" : "FAILED", root.c_str());
    return all_passed ? kExitSuccess : kExitFailure;
}
