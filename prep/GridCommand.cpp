#include "GridCommand.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

#include "GridImport.h"
#include "ModelGrid.h"
#include "NestLayout.h"
#include "Scenario.h"

namespace {

constexpr const char* kUsage =
    "usage: vestra grid SOURCE --box W,E,S,N --spacing STEP [--elevation] [--nodata-height H] -o OUT\n"
    "       vestra grid --nest PARENT --box W,E,S,N SOURCE [--elevation] [--nodata-height H] -o CHILD\n"
    "       vestra grid --check SCENARIO.toml | --check LEVEL0 LEVEL1 ...\n"
    "SOURCE is any raster GDAL reads; STEP is in the source's units, or 15s / 2min for degrees.\n"
    "Depth is positive at sea: --elevation flips a source whose heights are positive up.\n"
    "No-data nodes become land H metres above sea (default 10). OUT ending in .grd is a\n"
    "Surfer text grid, any other name netCDF (LAT, LON, HA).\n";

std::string Num(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "vestra grid: %s\n%s", message.c_str(), kUsage);
    return 2;
}

int Failure(const std::string& message) {
    std::fprintf(stderr, "vestra grid: %s\n", message.c_str());
    return 1;
}

struct CommandLine {
    std::vector<std::string> positional;
    std::string box, spacing, output, nestParent, nodataHeight;
    bool elevation = false, check = false, help = false;
};

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* line, std::string* error) {
    for (std::size_t k = 0; k < args.size(); ++k) {
        const std::string& word = args[k];
        const auto value = [&](std::string* target) {
            if (k + 1 >= args.size()) {
                *error = word + " needs a value";
                return false;
            }
            *target = args[++k];
            return true;
        };
        if (word == "--box") {
            if (!value(&line->box)) return false;
        } else if (word == "--spacing") {
            if (!value(&line->spacing)) return false;
        } else if (word == "-o" || word == "--output") {
            if (!value(&line->output)) return false;
        } else if (word == "--nest") {
            if (!value(&line->nestParent)) return false;
        } else if (word == "--nodata-height") {
            if (!value(&line->nodataHeight)) return false;
        } else if (word == "--elevation") {
            line->elevation = true;
        } else if (word == "--check") {
            line->check = true;
        } else if (word == "-h" || word == "--help") {
            line->help = true;
        } else if (word.size() > 1 && word[0] == '-') {
            *error = "unknown option " + word;
            return false;
        } else {
            line->positional.push_back(word);
        }
    }
    return true;
}

// The model reads a bathymetry file as Surfer text when its name ends in 'd' or 'D', and
// the writer picks Surfer text only for ".grd": refuse names on which the two disagree.
bool CheckOutputName(const std::string& path, std::string* error) {
    const bool surferName = path.size() >= 4 && (path.compare(path.size() - 4, 4, ".grd") == 0 ||
                                                  path.compare(path.size() - 4, 4, ".GRD") == 0);
    if (IsSurferTextName(path) && !surferName) {
        *error = path + ": a name ending in 'd' is read by the model as a Surfer grid; use .grd or .nc";
        return false;
    }
    return true;
}

void PrintSource(const std::string& path, const GridImportReport& report) {
    std::printf("grid: source %s: %d x %d samples, pixel %s x %s, x %s..%s, y %s..%s", path.c_str(),
                report.sourceColumns, report.sourceRows, Num(report.sourcePixelX).c_str(),
                Num(report.sourcePixelY).c_str(), Num(report.sourceWest).c_str(), Num(report.sourceEast).c_str(),
                Num(report.sourceSouth).c_str(), Num(report.sourceNorth).c_str());
    if (report.geographic)
        std::printf(", longitudes %s%s", report.longitudeConvention.c_str(), report.global ? " (global)" : "");
    std::printf("\n");
}

void PrintWritten(const std::string& path, const ModelGrid& grid, const GridImportReport& report,
                  const GridImportOptions& options) {
    std::printf("grid: wrote %s: %d x %d nodes, x %s..%s, y %s..%s, spacing %s x %s, bilinear interpolation\n",
                path.c_str(), grid.nx, grid.ny, Num(grid.xMin).c_str(), Num(grid.xMax).c_str(), Num(grid.yMin).c_str(),
                Num(grid.yMax).c_str(), Num(grid.DeltaX()).c_str(), Num(grid.DeltaY()).c_str());
    if (report.longitudeShift != 0.0)
        std::printf("grid: box longitudes translated by %+g degrees into the source's %s\n", report.longitudeShift,
                    report.longitudeConvention.c_str());
    std::printf("grid: depth %s..%s m (positive at sea%s); %lld no-data nodes set to land %s m above sea\n",
                Num(report.minDepth).c_str(), Num(report.maxDepth).c_str(),
                options.elevation ? ", elevation flipped" : "", report.nodataNodes, Num(options.nodataHeight).c_str());
}

bool ImportOptionsFrom(const CommandLine& line, GridImportOptions* options, std::string* error) {
    options->elevation = line.elevation;
    if (!line.nodataHeight.empty()) {
        try {
            std::size_t used = 0;
            options->nodataHeight = std::stod(line.nodataHeight, &used);
            if (used != line.nodataHeight.size()) throw std::invalid_argument("trailing text");
        } catch (const std::exception&) {
            *error = "--nodata-height \"" + line.nodataHeight + "\" is not a number";
            return false;
        }
    }
    return true;
}

int RunImport(const CommandLine& line) {
    if (line.positional.size() != 1) return UsageError("give exactly one SOURCE raster");
    if (line.box.empty() || line.spacing.empty() || line.output.empty())
        return UsageError("--box, --spacing and -o are required");
    std::string error;
    GridImportOptions options;
    GridBox requested, box;
    double spacing = 0.0;
    if (!ImportOptionsFrom(line, &options, &error) || !ParseGridBox(line.box, &requested, &error) ||
        !ParseSpacing(line.spacing, &spacing, &error))
        return UsageError(error);
    if (!CheckOutputName(line.output, &error)) return UsageError(error);
    const std::string& source = line.positional[0];
    GridImportReport report;
    int nx = 0, ny = 0;
    ModelGrid grid;
    if (!ResolveSourceBox(source, requested, &box, &report, &error) ||
        !NodeCountsForSpacing(box, spacing, &nx, &ny, &error) ||
        !ImportGrid(source, box, nx, ny, options, &grid, &report, &error))
        return Failure(error);
    PrintSource(source, report);
    if (!WriteModelGrid(line.output, grid, &error)) return Failure(error);
    PrintWritten(line.output, grid, report, options);
    return 0;
}

int RunNest(const CommandLine& line) {
    if (line.positional.size() != 1) return UsageError("give exactly one SOURCE raster");
    if (line.box.empty() || line.output.empty()) return UsageError("--nest needs --box and -o");
    if (!line.spacing.empty()) return UsageError("a nested grid's spacing is a third of its parent's; drop --spacing");
    std::string error;
    GridImportOptions options;
    GridBox requested;
    if (!ImportOptionsFrom(line, &options, &error) || !ParseGridBox(line.box, &requested, &error))
        return UsageError(error);
    if (!CheckOutputName(line.output, &error)) return UsageError(error);
    ModelGrid parent, layout, child;
    if (!ReadModelGrid(line.nestParent, &parent, &error)) return Failure(error);
    if (!SnapNestedBox(parent, requested, &layout, &error)) return Failure(line.nestParent + ": " + error);
    const NestIndices indices = CheckNestLayout(parent, layout).indices;
    std::printf("grid: snapped child box %s,%s,%s,%s (requested %s): %d x %d nodes at spacing %s x %s, "
                "first node on parent column %lld, row %lld\n",
                Num(layout.xMin).c_str(), Num(layout.xMax).c_str(), Num(layout.yMin).c_str(),
                Num(layout.yMax).c_str(), line.box.c_str(), layout.nx, layout.ny, Num(layout.DeltaX()).c_str(),
                Num(layout.DeltaY()).c_str(), indices.column, indices.row);
    const std::string& source = line.positional[0];
    GridImportReport report;
    const GridBox box{layout.xMin, layout.xMax, layout.yMin, layout.yMax};
    if (!ImportGrid(source, box, layout.nx, layout.ny, options, &child, &report, &error)) return Failure(error);
    PrintSource(source, report);
    if (!WriteModelGrid(line.output, child, &error)) return Failure(error);
    PrintWritten(line.output, child, report, options);
    return 0;
}

// Checks each level against the one before it; prints one verdict per level and one line
// per problem.
int CheckLevels(const std::vector<std::string>& files) {
    std::vector<ModelGrid> levels(files.size());
    int result = 0;
    for (std::size_t k = 0; k < files.size(); ++k) {
        std::string error;
        if (!ReadModelGrid(files[k], &levels[k], &error)) return Failure(error);
        const ModelGrid& grid = levels[k];
        std::printf("grid: level %zu %s: %d x %d nodes, x %s..%s, y %s..%s, spacing %s x %s\n", k, files[k].c_str(),
                    grid.nx, grid.ny, Num(grid.xMin).c_str(), Num(grid.xMax).c_str(), Num(grid.yMin).c_str(),
                    Num(grid.yMax).c_str(), Num(grid.DeltaX()).c_str(), Num(grid.DeltaY()).c_str());
        if (k == 0) continue;
        const NestCheck check = CheckNestLayout(levels[k - 1], grid);
        if (check.Passed()) {
            const NestIndices& n = check.indices;
            std::printf("grid: level %zu in level %zu: passes; first node on parent column %lld, row %lld; "
                        "the nesting uses parent columns %lld..%lld of %d, rows %lld..%lld of %d\n",
                        k, k - 1, n.column, n.row, n.lowColumn, n.highColumn, levels[k - 1].nx, n.lowRow, n.highRow,
                        levels[k - 1].ny);
        } else {
            result = 1;
            std::printf("grid: level %zu in level %zu: %zu problem%s\n", k, k - 1, check.problems.size(),
                        check.problems.size() == 1 ? "" : "s");
            for (const auto& problem : check.problems) std::printf("grid:   %s\n", problem.message.c_str());
        }
    }
    return result;
}

int RunCheck(const CommandLine& line) {
    if (!line.box.empty() || !line.spacing.empty() || !line.output.empty() || !line.nestParent.empty() ||
        line.elevation || !line.nodataHeight.empty())
        return UsageError("--check takes only a scenario or grid files");
    if (line.positional.empty()) return UsageError("--check needs a scenario or grid files, outermost first");
    if (line.positional.size() == 1 && line.positional[0].ends_with(".toml")) {
        Scenario scenario;
        std::string error;
        if (!LoadScenarioFile(line.positional[0], {}, &scenario, &error)) return Failure(error);
        std::vector<std::string> files;
        for (const auto& record : scenario.grids) files.push_back(record.bathymetryFile);
        if (files.empty()) return Failure(line.positional[0] + ": the scenario has no grids");
        return CheckLevels(files);
    }
    return CheckLevels(line.positional);
}

}  // namespace

int RunGridCommand(const std::vector<std::string>& args) {
    CommandLine line;
    std::string error;
    if (!ParseCommandLine(args, &line, &error)) return UsageError(error);
    if (line.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (line.check) return RunCheck(line);
    if (!line.nestParent.empty()) return RunNest(line);
    return RunImport(line);
}
