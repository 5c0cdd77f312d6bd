#include "HostRun.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>

#include "FaultFile.h"
#include "HostFrameReceiverI.h"
#include "InitResult.h"
#include "ModelGrid.h"
#include "OkadaCommand.h"
#include "PathJoin.h"
#include "Plot.h"
#include "ProgressBar.h"
#include "RunSummary.h"
#include "Scenario.h"
#include "VestraExports.h"

namespace {

// Set by the SIGINT and SIGTERM handler to the signal; the main thread turns it into Stop.
// Only a flag may be touched from a signal handler: Stop locks and joins.
volatile std::sig_atomic_t gInterruptRequested = 0;

extern "C" void OnInterrupt(int signal) { gInterruptRequested = signal; }

// Installs the handler for one Ctrl-C and one SIGTERM (SA_RESETHAND: a second one ends the
// process at once) and puts the previous ones back on destruction.
class InterruptGuard {
public:
    InterruptGuard() {
        gInterruptRequested = 0;
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        sigaction(SIGINT, &action, &previousInterrupt_);
        sigaction(SIGTERM, &action, &previousTerminate_);
    }
    ~InterruptGuard() {
        sigaction(SIGINT, &previousInterrupt_, nullptr);
        sigaction(SIGTERM, &previousTerminate_, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    struct sigaction previousInterrupt_ {};
    struct sigaction previousTerminate_ {};
};

// Receives the water-level frames the simulator hands over; counting is all this host
// does with them, and the buffers are freed as the unique_ptr goes.
class FrameCounter final : public HostFrameReceiverI {
public:
    void FileWrittenNotice(int32_t, std::unique_ptr<std::vector<float>> values, int32_t) override {
        if (values) frames_.fetch_add(1, std::memory_order_relaxed);
    }
    long long Count() const { return frames_.load(); }

private:
    std::atomic<long long> frames_{0};
};

// What the host learns about a run from its reporter, beyond what the display shows: the
// last step index reported and when the run thread let go of the reporter (the end of the
// run, Finish included). Written on the run thread before the display hears of the release,
// read on the host's thread after it has.
struct RunTrack {
    std::atomic<int32_t> firstStepIndex{-1};  // a resumed run starts past 0
    std::atomic<int32_t> lastStepIndex{-1};
    std::atomic<std::chrono::steady_clock::rep> endTicks{0};
};

// The reporter handed to the run thread: the display's own reporter, watched.
class TrackingReporter final : public ZellProgressBarI {
public:
    TrackingReporter(ProgressDisplay* display, RunTrack* track) : inner_(display), track_(track) {}
    // Runs before inner_ is destroyed, which is what tells the display the run is over.
    ~TrackingReporter() override {
        track_->endTicks.store(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    void StepDone(int32_t stepIndex) override {
        if (track_->firstStepIndex.load() < 0) track_->firstStepIndex.store(stepIndex);
        track_->lastStepIndex.store(stepIndex);
        inner_.StepDone(stepIndex);
    }
    void SetRange(int32_t value) override { inner_.SetRange(value); }
    void RunCompleted() override { inner_.RunCompleted(); }
    void InitFinished(int32_t resultCode) override { inner_.InitFinished(resultCode); }

private:
    ProgressReporter inner_;
    RunTrack* track_;
};

struct Plugin {
    CreateVestraSimulatorFn create = nullptr;
    DeleteVestraSimulatorFn destroy = nullptr;
};

bool LoadPlugin(const std::string& path, Plugin* plugin, std::string* error) {
    // The library stays loaded until the process ends: unloading it would pull its
    // OpenMP runtime from under the idle worker threads of the thread pool.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        *error = "cannot load the plug-in " + path + ": " + (reason != nullptr ? reason : "unknown error");
        return false;
    }
    plugin->create = reinterpret_cast<CreateVestraSimulatorFn>(dlsym(handle, "CreateVestraSimulator"));
    plugin->destroy = reinterpret_cast<DeleteVestraSimulatorFn>(dlsym(handle, "DeleteVestraSimulator"));
    if (plugin->create == nullptr || plugin->destroy == nullptr) {
        *error = "the plug-in " + path + " lacks CreateVestraSimulator or DeleteVestraSimulator";
        return false;
    }
    return true;
}

// The title of the run in the summary and the pictures: the scenario's name, else its
// file name without the extension.
std::string ScenarioTitle(const Scenario& scenario) {
    if (!scenario.name.empty()) return scenario.name;
    return std::filesystem::path(scenario.file).stem().string();
}

// A rupture time as it appears in a file name: "0", "30", "12.5".
std::string TimeText(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%.15g", seconds);
    return text;
}

// The summary table, the JSON file and the pictures of a run that got past Init.
// `baseSteps` is the number of base steps the run covered; the speed counts every level's
// nodes times its 3^k sub-steps per base step over the whole wall time.
void ReportRun(const Scenario& scenario, const RunOptions& options, double wallSeconds, int64_t baseSteps,
               const RunDiagnostics& diagnostics) {
    std::vector<SummaryLevelInput> levels;
    for (const HostGridRecord& grid : scenario.grids) levels.push_back({grid.outputFolder, grid.gridType >= 2});
    for (const Transect& line : scenario.transects) levels[static_cast<std::size_t>(line.level)].transects.push_back(line);
    const std::string title = ScenarioTitle(scenario);
    RunSummary summary = CollectRunSummary(title, levels, scenario.parameters.outputFormat, wallSeconds, kNoValue);
    for (std::size_t k = 0; k < summary.levels.size() && k < diagnostics.volumeBudgets.size(); ++k) {
        summary.levels[k].hasVolumeBudget = true;
        summary.levels[k].volume = diagnostics.volumeBudgets[k];
    }
    // A level whose size could not be read would make the speed look lower than it was.
    bool sizesKnown = true;
    for (const LevelSummary& level : summary.levels) sizesKnown = sizesKnown && level.nx > 0 && level.ny > 0;
    const double updates = CellUpdatesPerBaseStep(summary) * static_cast<double>(baseSteps);
    if (sizesKnown && updates > 0.0 && wallSeconds > 0.0)
        summary.millionCellUpdatesPerSecond = updates / wallSeconds / 1.0e6;

    if (!options.quiet) {
        std::cout << "\n";
        PrintRunSummary(summary, std::cout);
        std::cout.flush();
    }
    if (!options.jsonPath.empty()) WriteRunSummaryJson(summary, options.jsonPath);
    if (!options.plots) return;
    for (std::size_t k = 0; k < scenario.grids.size(); ++k) {
        const HostGridRecord& grid = scenario.grids[k];
        // Everything the plotter would look up in the scenario is given, so it reads no file
        // but the results and the bathymetry (for the coastline).
        std::vector<std::string> args = {grid.outputFolder, "--level",       std::to_string(k),
                                         "--name",          title,           "--bathymetry",
                                         grid.bathymetryFile, grid.gridType >= 2 ? "--spherical" : "--cartesian"};
        if (options.quiet) args.push_back("--quiet");
        const int status = RunPlotCommand(args);
        // 2: no interpreter or script, 3: Python packages missing, above 127: killed. The
        // plotter has said why in one line; the other levels would only repeat it.
        if (status == 2 || status == 3 || status > 127) break;
    }
}

}  // namespace

bool ExpandFaultSources(Scenario* scenario, std::vector<std::string>* written, std::string* error) {
    bool anyFaults = false;
    for (const std::string& faults : scenario->sourceFaultFiles) anyFaults = anyFaults || !faults.empty();
    if (!anyFaults) return true;
    if (scenario->grids.empty() || scenario->sourceFaultFiles.size() != scenario->sources.size()) {
        *error = scenario->file + ": the scenario has no grids or its sources are inconsistent";
        return false;
    }
    const HostGridRecord& level0 = scenario->grids.front();
    ModelGrid bathymetry;
    std::string reason;
    if (!ReadModelGrid(level0.bathymetryFile, &bathymetry, &reason)) {
        *error = scenario->file + ": [[grids]] #1 bathymetryFile, needed for the faults: " + reason;
        return false;
    }
    const GridCoordinates coordinates = level0.gridType >= 2 ? GridCoordinates::Spherical : GridCoordinates::Cartesian;

    struct Planned {
        SourceEvent event;
        std::string faultFile;  // empty: the entry as written
        ModelGrid displacement;
    };
    std::vector<Planned> plan;
    for (std::size_t n = 0; n < scenario->sources.size(); ++n) {
        const SourceEvent& entry = scenario->sources[n];
        const std::string& faultFile = scenario->sourceFaultFiles[n];
        if (faultFile.empty()) {
            plan.push_back({entry, {}, {}});
            continue;
        }
        const std::string where = scenario->file + ": [[sources]] #" + std::to_string(n + 1) + " faults";
        FaultSet set;
        if (!ReadFaultFile(faultFile, &set, &reason)) {
            *error = where + ": " + reason;
            return false;
        }
        const std::vector<double> times = RuptureTimes(set);
        const std::string stem = "source-" + std::to_string(n + 1);
        for (double time : times) {
            Planned event{entry, faultFile, {}};
            // With one rupture time the sum over every fault is what `vestra okada` writes.
            const std::optional<double> only = times.size() > 1 ? std::optional<double>(time) : std::nullopt;
            if (!ComputeFaultDisplacement(set, bathymetry, only, &event.displacement, &reason, coordinates)) {
                *error = where + " = " + faultFile + ": " + reason + " (level 0: " + level0.bathymetryFile + ")";
                return false;
            }
            const double insertion = static_cast<double>(entry.insertionTime) + time;
            if (!(insertion <= FLT_MAX)) {
                *error = where + " = " + faultFile + ": insertionTime + rupture_time " + TimeText(time) +
                         " s does not fit a single-precision time";
                return false;
            }
            event.event.insertionTime = static_cast<float>(insertion);
            // Only the very first event may replace the water level: it meets water at rest.
            const bool replaces = plan.empty() && event.event.insertionTime == 0.0f;
            std::string name = stem;
            if (times.size() > 1) name += '-' + TimeText(time);
            name += replaces ? ".grd" : ".nc";
            event.event.etaFile = JoinPath(level0.outputFolder, name);
            plan.push_back(std::move(event));
        }
    }

    std::error_code code;
    std::filesystem::create_directories(level0.outputFolder, code);
    if (code || !std::filesystem::is_directory(level0.outputFolder)) {
        *error = level0.outputFolder + ": cannot create the output folder: " +
                 (code ? code.message() : std::string("a file of that name exists"));
        return false;
    }
    std::vector<std::string> lines;
    for (const Planned& event : plan) {
        if (event.faultFile.empty()) continue;
        if (!WriteModelGrid(event.event.etaFile, event.displacement, &reason)) {
            *error = event.faultFile + ": " + reason;
            return false;
        }
        char line[64];
        std::snprintf(line, sizeof line, " (inserted at %.6g s)", static_cast<double>(event.event.insertionTime));
        lines.push_back(event.faultFile + ": " + event.event.etaFile + line);
    }
    std::vector<SourceEvent> sources;
    for (Planned& event : plan) sources.push_back(std::move(event.event));
    scenario->sources = std::move(sources);
    scenario->sourceFaultFiles.assign(scenario->sources.size(), std::string());
    if (written) *written = std::move(lines);
    return true;
}

std::string CheckpointPath(const std::string& scenarioPath) {
    return std::filesystem::path(scenarioPath).replace_extension(".checkpoint").string();
}

std::string DefaultPluginPath() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "libvestra.so";
    return (self.parent_path() / "libvestra.so").string();
}

std::string InitFailureMessage(int32_t code) {
    return "the model could not be set up: Init returned " + std::to_string(code) + " (" +
           InitResult::Meaning(code) + ")";
}

int RunScenario(const RunOptions& options, RunDiagnostics* diagnosticsOut) {
    Scenario scenario;
    std::string error;
    std::vector<std::string> sourceLines;
    if (!LoadScenarioFile(options.scenarioPath, options.settings, &scenario, &error)) {
        std::fprintf(stderr, "vestra: %s\n", error.c_str());
        return kExitFailure;
    }
    const std::string checkpoint = CheckpointPath(options.scenarioPath);
    const SimulationParameters& p = scenario.parameters;
    if (options.untilMinutes >= 0.0 &&
        !(options.untilMinutes > p.startTime && options.untilMinutes < p.endTime)) {
        std::fprintf(stderr, "vestra: --until %g: must lie after startTime %g and before endTime %g (minutes)\n",
                     options.untilMinutes, static_cast<double>(p.startTime), static_cast<double>(p.endTime));
        return kExitUsage;
    }
    std::error_code exists;
    if (options.resume && !std::filesystem::exists(checkpoint, exists)) {
        std::fprintf(stderr, "vestra: %s: no checkpoint to resume from (a run writes it when stopped early and "
                     "removes it when complete)\n", checkpoint.c_str());
        return kExitFailure;
    }
    if (!ExpandFaultSources(&scenario, &sourceLines, &error) || !CreateOutputFolders(scenario, &error)) {
        std::fprintf(stderr, "vestra: %s\n", error.c_str());
        return kExitFailure;
    }
    if (!options.quiet)
        for (const std::string& line : sourceLines) std::fprintf(stderr, "vestra: fault source %s\n", line.c_str());

    Plugin plugin;
    const std::string pluginPath = options.pluginPath.empty() ? DefaultPluginPath() : options.pluginPath;
    if (!LoadPlugin(pluginPath, &plugin, &error)) {
        std::fprintf(stderr, "vestra: %s\n", error.c_str());
        return kExitFailure;
    }

    // The simulator keeps pointers to the two collections: they live in `scenario`,
    // untouched, until the simulator is deleted below.
    ZellSimulatorI* simulator = plugin.create(&scenario.grids, &scenario.sources);
    if (simulator == nullptr) {
        std::fprintf(stderr, "vestra: the plug-in %s created no simulator\n", pluginPath.c_str());
        return kExitFailure;
    }

    ProgressDisplay display(stderr, isatty(STDERR_FILENO) != 0, options.quiet);
    FrameCounter frames;
    simulator->SetHostContext(static_cast<HostFrameReceiverI*>(&frames));

    bool stopped = false;
    bool neverStarted = false;
    RunTrack track;
    const auto started = std::chrono::steady_clock::now();
    {
        InterruptGuard interrupts;
        // What level 0's edges do ([boundary]); before Start, through the appended slot.
        simulator->SetExtendedSettings(scenario.boundary);
        CheckpointSettings checkpoints;
        checkpoints.path = checkpoint;
        checkpoints.resume = options.resume;
        checkpoints.untilMinutes = options.untilMinutes;
        checkpoints.everyMinutes = options.checkpointEveryMinutes;
        simulator->SetCheckpointSettings(checkpoints);
        simulator->Start([&display, &track] { return new TrackingReporter(&display, &track); }, scenario.parameters);
        // The run is over when the run thread releases its reporter, on every path.
        while (!display.WaitReleased(std::chrono::milliseconds(50))) {
            if (gInterruptRequested != 0 && !stopped) {
                display.BreakLine();
                if (!options.quiet) std::fprintf(stderr, "vestra: stopping after the current step...\n");
                simulator->Stop();  // returns once the run thread has run Finish and ended
                stopped = true;
            }
            // Start refuses (with its own message) rather than run; then no reporter ever comes.
            if (!display.reporterCreated() && std::chrono::steady_clock::now() - started > std::chrono::seconds(10)) {
                neverStarted = true;
                break;
            }
        }
        // A Ctrl-C in the last moments still counts as a stop if the run did not complete.
        if (gInterruptRequested != 0 && !display.completed()) stopped = true;
    }
    // The run thread has ended (Finish included): its volume account is complete.
    const RunDiagnostics diagnostics = neverStarted ? RunDiagnostics{} : simulator->GetRunDiagnostics();
    const CheckpointReport checkpoints = neverStarted ? CheckpointReport{} : simulator->GetCheckpointReport();
    const int stopSignal = gInterruptRequested;
    plugin.destroy(simulator);  // joins the run thread if it is still held
    if (diagnosticsOut != nullptr) *diagnosticsOut = diagnostics;
    display.BreakLine();

    if (neverStarted) {
        std::fprintf(stderr, "vestra: the run did not start\n");
        return kExitFailure;
    }
    const int32_t code = display.initCode();
    if (display.initFinished() && code != InitResult::kSuccess && code != InitResult::kAcceptedByHost) {
        if (code == InitResult::kCheckpointRefused && !checkpoints.error.empty())
            std::fprintf(stderr, "vestra: %s\n", checkpoints.error.c_str());
        else
            std::fprintf(stderr, "vestra: %s\n", InitFailureMessage(code).c_str());
        return kExitFailure;
    }
    const auto ended = std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(track.endTicks.load()));
    const double wallSeconds = std::chrono::duration<double>(ended - started).count();
    // The run loop's final call past the step count goes unreported.
    const int64_t baseSteps =
        track.lastStepIndex.load() < 0 ? 0 : int64_t{track.lastStepIndex.load()} - track.firstStepIndex.load() + 1;
    if (display.completed()) {
        // A finished run has nothing to resume: its checkpoint goes, so that --resume says so.
        std::error_code ignored;
        std::filesystem::remove(checkpoint, ignored);
        // Frames reach the host only from the grid formats; a netCDF run hands over none.
        if (!options.quiet && frames.Count() > 0)
            std::fprintf(stderr, "vestra: run complete, %lld water-level frames; results in %s\n", frames.Count(),
                         scenario.grids.front().outputFolder.c_str());
        else if (!options.quiet)
            std::fprintf(stderr, "vestra: run complete; results in %s\n", scenario.grids.front().outputFolder.c_str());
        ReportRun(scenario, options, wallSeconds, baseSteps, diagnostics);
        return kExitSuccess;
    }
    if (diagnostics.unstable) {
        std::fprintf(stderr, "vestra: the run became unstable and was stopped: %s; the outputs written so far are kept in %s\n",
                     diagnostics.failureMessage.c_str(), scenario.grids.front().outputFolder.c_str());
        return kExitUnstable;
    }
    if (checkpoints.reachedUntil) {
        if (checkpoints.failed) {
            std::fprintf(stderr, "vestra: stopped at --until %g but the checkpoint was not written: %s\n",
                         options.untilMinutes, checkpoints.error.c_str());
            return kExitFailure;
        }
        if (!options.quiet)
            std::fprintf(stderr, "vestra: run stopped at model time %g min as asked; checkpoint %s; results so far in %s\n",
                         checkpoints.lastMinutes, checkpoint.c_str(), scenario.grids.front().outputFolder.c_str());
        ReportRun(scenario, options, wallSeconds, baseSteps, diagnostics);
        if (!options.quiet) {
            std::printf("Stopped at model time %g min (--until); continue to endTime %g min with: vestra run %s --resume\n",
                        checkpoints.lastMinutes, static_cast<double>(p.endTime), options.scenarioPath.c_str());
            std::fflush(stdout);
        }
        return kExitSuccess;
    }
    if (stopped) {
        if (checkpoints.written > 0 && !checkpoints.failed) {
            if (!options.quiet)
                std::fprintf(stderr, "vestra: run stopped at model time %g min; checkpoint %s (continue with --resume); "
                             "final results written\n", checkpoints.lastMinutes, checkpoint.c_str());
        } else {
            std::fprintf(stderr, "vestra: run stopped; no checkpoint written%s%s; final results written\n",
                         checkpoints.failed ? ": " : "", checkpoints.error.c_str());
        }
        ReportRun(scenario, options, wallSeconds, baseSteps, diagnostics);
        return stopSignal == SIGTERM ? kExitTerminated : kExitStopped;
    }
    std::fprintf(stderr, "vestra: the run ended without completing\n");
    return kExitFailure;
}
