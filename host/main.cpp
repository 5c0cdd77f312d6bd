// The vestra command: a dispatcher over its subcommands.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "Ensemble.h"
#include "ExampleGenerator.h"
#include "ExampleScenario.h"
#include "GridCommand.h"
#include "HostRun.h"
#include "OkadaCommand.h"
#include "Plot.h"
#include "Validate.h"

namespace {

const char* kUsage =
    "usage: vestra COMMAND [OPTIONS]\n"
    "\n"
    "Tsunami simulation with the vestra long-wave model.\n"
    "\n"
    "commands:\n"
    "  run SCENARIO.toml   run the scenario described by a TOML file\n"
    "  example DIR         write the bundled example scenario into DIR\n"
    "  plot                draw the results of a run\n"
    "  okada               sea-floor displacement of earthquake faults\n"
    "  grid                prepare nested bathymetry grids\n"
    "  validate            run the validation cases against laboratory and analytic data\n"
    "  ensemble            plan, run and aggregate ensembles of earthquake scenarios\n"
    "\n"
    "options:\n"
    "  -h, --help          show this help; 'vestra COMMAND --help' describes a command\n"
    "\n"
    "exit status: 0 success, 1 bad input or failed run, 2 bad command line,\n"
    "3 run became unstable, 130 run stopped by Ctrl-C, 143 by SIGTERM.\n";

const char* kRunUsage =
    "usage: vestra run SCENARIO.toml [OPTIONS]\n"
    "\n"
    "Reads the scenario, checks every value, computes the water level of any fault\n"
    "sources, creates the output folders, loads the simulator plug-in and runs it.\n"
    "Progress goes to standard error; the simulator's own messages go to standard\n"
    "output, followed by a summary of the results (per level the highest water level,\n"
    "the largest flow depth on land and the flooded area; per gauge the arrival, the\n"
    "highest wave and the deepest trough; the wall time and the speed) and the paths\n"
    "of the quicklook pictures drawn into every level's folder. Relative paths in the\n"
    "scenario start at the scenario file's folder (see docs/scenario.md).\n"
    "\n"
    "options:\n"
    "  --threads N         OpenMP threads for the solver (sets threadCount; 0 means the\n"
    "                      OpenMP default)\n"
    "  --set NAME=VALUE    set any field of [parameters], after the file and with the same\n"
    "                      checks; repeatable. VALUE is a TOML value (0.5, true, \"text\");\n"
    "                      a path may be given bare and is taken from the current folder\n"
    "  --plugin PATH       the simulator library to load (default: libvestra.so beside\n"
    "                      the vestra executable)\n"
    "  --json FILE         also write the summary as JSON to FILE (with --quiet too)\n"
    "  --no-plots          draw no pictures (they need /usr/bin/python3 with matplotlib;\n"
    "                      without it, one warning line and the run still succeeds)\n"
    "  --quiet             no progress display, no summary and no picture paths (the\n"
    "                      pictures are still drawn); errors still show\n"
    "  --until MINUTES     stop at this model time (after startTime, before endTime)\n"
    "                      with a checkpoint, final results so far and exit status 0\n"
    "  --resume            continue from the scenario's checkpoint to endTime (or to\n"
    "                      --until); refused, naming the difference, when the scenario,\n"
    "                      its input files or the vestra build have changed since\n"
    "  --checkpoint-every MINUTES\n"
    "                      also write a checkpoint every MINUTES of model time\n"
    "  -h, --help          show this help\n"
    "\n"
    "The checkpoint of DIR/NAME.toml is DIR/NAME.checkpoint: the whole state of the\n"
    "run, replaced whole each time. A run that completes removes it. A resumed run\n"
    "writes the same output files, byte for byte, as a run never stopped, with any\n"
    "--threads.\n"
    "\n"
    "Ctrl-C or SIGTERM stops the run after the current step; a checkpoint, the final\n"
    "results so far, the summary and the pictures are still written and the exit\n"
    "status is 130 (Ctrl-C) or 143 (SIGTERM). A second signal ends the program at\n"
    "once. Under Slurm, '#SBATCH --signal=B:TERM@120' with 'exec vestra run ...' in\n"
    "the batch script leaves two minutes to write the checkpoint (docs/restart.md).\n"
    "\n"
    "exit status: 0 success or stopped at --until, 1 bad scenario, refused checkpoint,\n"
    "unloadable plug-in or failed set-up, 2 bad command line, 3 run became unstable,\n"
    "130 stopped by Ctrl-C, 143 stopped by SIGTERM.\n";

const char* kExampleUsage =
    "usage: vestra example DIR [--second-nest] [--format N]\n"
    "       vestra example --beach DIR\n"
    "\n"
    "Writes the bundled example into DIR (created with its parents): a spherical ocean of\n"
    "3 x 3 degrees at 1 arc-minute with a basin, a slope, a shelf and a coast with a bay;\n"
    "level 1 covers the bay three times finer; an elliptical uplift of 3 m over the slope;\n"
    "gauges offshore, on the shelf and in the bay; one hour of model time. The files are\n"
    "the same bytes on every machine. Files already in DIR are never overwritten. Run it\n"
    "with 'vestra run DIR/scenario.toml'.\n"
    "\n"
    "options:\n"
    "  --second-nest       add level 2 over the head of the bay (about 6.7 arc-seconds)\n"
    "  --format N          outputFormat of the results: 0 Surfer text, 1 Surfer binary,\n"
    "                      2 netCDF (the default), 3 ESRI ASCII\n"
    "  --beach             instead, a small Cartesian scenario (a Gaussian hump running up\n"
    "                      a plane beach, 60 x 40 cells, Surfer text) that runs in a second\n"
    "  -h, --help          show this help\n";

bool IsHelp(std::string_view a) { return a == "-h" || a == "--help"; }

int UsageError(const std::string& message, const char* command) {
    std::fprintf(stderr, "vestra: %s\n", message.c_str());
    std::fprintf(stderr, "try 'vestra %s--help'\n", command);
    return kExitUsage;
}

// Takes the value of an option given as "--name VALUE" or "--name=VALUE".
bool OptionValue(const std::vector<std::string>& args, size_t* i, std::string_view name, std::string* value,
                 bool* matched) {
    const std::string& a = args[*i];
    *matched = false;
    if (a == name) {
        *matched = true;
        if (*i + 1 >= args.size()) return false;
        *value = args[++*i];
        return true;
    }
    if (a.size() > name.size() && a.compare(0, name.size(), name) == 0 && a[name.size()] == '=') {
        *matched = true;
        *value = a.substr(name.size() + 1);
        return true;
    }
    return true;
}

int RunCommand(const std::vector<std::string>& args) {
    RunOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (IsHelp(a)) {
            std::fputs(kRunUsage, stdout);
            return kExitSuccess;
        }
        if (a == "--quiet") {
            options.quiet = true;
            continue;
        }
        if (a == "--no-plots") {
            options.plots = false;
            continue;
        }
        if (a == "--resume") {
            options.resume = true;
            continue;
        }
        std::string value;
        bool matched = false;
        for (const char* name : {"--threads", "--set", "--plugin", "--json", "--until", "--checkpoint-every"}) {
            if (!OptionValue(args, &i, name, &value, &matched))
                return UsageError(std::string(name) + " needs a value", "run ");
            if (!matched) continue;
            if (std::strcmp(name, "--threads") == 0) {
                char* end = nullptr;
                errno = 0;
                const long n = std::strtol(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || errno != 0 || n < 0 || n > 4096)
                    return UsageError("--threads " + value + ": must be a whole number from 0 to 4096", "run ");
                options.settings.push_back("threadCount=" + std::to_string(n));
            } else if (std::strcmp(name, "--set") == 0) {
                options.settings.push_back(value);
            } else if (std::strcmp(name, "--until") == 0 || std::strcmp(name, "--checkpoint-every") == 0) {
                char* end = nullptr;
                errno = 0;
                const double minutes = std::strtod(value.c_str(), &end);
                const bool until = std::strcmp(name, "--until") == 0;
                if (value.empty() || *end != '\0' || errno != 0 || !std::isfinite(minutes) || !(until || minutes > 0.0))
                    return UsageError(std::string(name) + " " + value + ": must be a number of minutes" +
                                          (until ? "" : " above 0"), "run ");
                (until ? options.untilMinutes : options.checkpointEveryMinutes) = minutes;
            } else if (std::strcmp(name, "--json") == 0) {
                if (value.empty()) return UsageError("--json needs a file name", "run ");
                options.jsonPath = value;
            } else {
                options.pluginPath = value;
            }
            break;
        }
        if (matched) continue;
        if (a.size() > 1 && a[0] == '-') return UsageError("unknown option " + a, "run ");
        if (!options.scenarioPath.empty()) return UsageError("more than one scenario file given", "run ");
        options.scenarioPath = a;
    }
    if (options.scenarioPath.empty()) return UsageError("no scenario file given", "run ");
    return RunScenario(options);
}

int ExampleCommand(const std::vector<std::string>& args) {
    std::string dir;
    bool beach = false;
    bool realisticOption = false;  // an option that only the bundled example takes
    ExampleOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (IsHelp(a)) {
            std::fputs(kExampleUsage, stdout);
            return kExitSuccess;
        }
        if (a == "--beach") {
            beach = true;
            continue;
        }
        if (a == "--second-nest") {
            options.secondNestedLevel = true;
            realisticOption = true;
            continue;
        }
        std::string value;
        bool matched = false;
        if (!OptionValue(args, &i, "--format", &value, &matched)) return UsageError("--format needs a value", "example ");
        if (matched) {
            if (value.size() != 1 || value[0] < '0' || value[0] > '3')
                return UsageError("--format " + value + ": must be 0, 1, 2 or 3", "example ");
            options.outputFormat = value[0] - '0';
            realisticOption = true;
            continue;
        }
        if (a.size() > 1 && a[0] == '-') return UsageError("unknown option " + a, "example ");
        if (!dir.empty()) return UsageError("more than one folder given", "example ");
        dir = a;
    }
    if (dir.empty()) return UsageError("no folder given", "example ");
    if (beach && realisticOption)
        return UsageError("--beach takes no other option (its scenario is fixed)", "example ");
    std::string error;
    const bool written = beach ? WriteExampleScenario(dir, &error) : WriteRealisticExample(dir, options, &error);
    if (!written) {
        std::fprintf(stderr, "vestra: %s\n", error.c_str());
        return kExitFailure;
    }
    std::fprintf(stderr, "vestra: example scenario written to %s/scenario.toml\n", dir.c_str());
    return kExitSuccess;
}

// ---- Dispatch ----------------------------------------------------------------------
// Each subcommand takes the arguments after its name and returns the exit status. run and
// example live here; plot (host/Plot.*), okada and grid (prep/) and validate (validation/)
// bring their own parsers.
struct Subcommand {
    const char* name;
    int (*run)(const std::vector<std::string>& args);
};

const Subcommand kSubcommands[] = {
    {"run", RunCommand},
    {"example", ExampleCommand},
    {"plot", RunPlotCommand},
    {"okada", RunOkadaCommand},
    {"grid", RunGridCommand},
    {"validate", RunValidateCommand},
    {"ensemble", RunEnsembleCommand},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const std::string command = argv[1];
    if (IsHelp(command)) {
        std::fputs(kUsage, stdout);
        return kExitSuccess;
    }
    const std::vector<std::string> args(argv + 2, argv + argc);
    for (const Subcommand& s : kSubcommands)
        if (command == s.name) return s.run(args);
    return UsageError("unknown command " + command, "");
}
