#include "HostRun.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "HostFrameReceiverI.h"
#include "InitResult.h"
#include "ProgressBar.h"
#include "Scenario.h"
#include "VestraExports.h"

namespace {

// Set by the SIGINT handler; the main thread turns it into Stop. Only a flag may be
// touched from a signal handler: Stop locks and joins.
volatile std::sig_atomic_t gInterruptRequested = 0;

extern "C" void OnInterrupt(int) { gInterruptRequested = 1; }

// Installs the handler for one Ctrl-C (SA_RESETHAND: a second Ctrl-C ends the process
// at once) and puts the previous one back on destruction.
class InterruptGuard {
public:
    InterruptGuard() {
        gInterruptRequested = 0;
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        sigaction(SIGINT, &action, &previous_);
    }
    ~InterruptGuard() { sigaction(SIGINT, &previous_, nullptr); }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    struct sigaction previous_ {};
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

}  // namespace

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

int RunScenario(const RunOptions& options) {
    Scenario scenario;
    std::string error;
    if (!LoadScenarioFile(options.scenarioPath, options.settings, &scenario, &error) ||
        !CreateOutputFolders(scenario, &error)) {
        std::fprintf(stderr, "vestra: %s\n", error.c_str());
        return kExitFailure;
    }

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
    {
        InterruptGuard interrupts;
        simulator->Start([&display] { return new ProgressReporter(&display); }, scenario.parameters);
        const auto started = std::chrono::steady_clock::now();
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
    plugin.destroy(simulator);  // joins the run thread if it is still held
    display.BreakLine();

    if (neverStarted) {
        std::fprintf(stderr, "vestra: the run did not start\n");
        return kExitFailure;
    }
    const int32_t code = display.initCode();
    if (display.initFinished() && code != InitResult::kSuccess && code != InitResult::kAcceptedByHost) {
        std::fprintf(stderr, "vestra: %s\n", InitFailureMessage(code).c_str());
        return kExitFailure;
    }
    if (display.completed()) {
        if (!options.quiet)
            std::fprintf(stderr, "vestra: run complete, %lld water-level frames; results in %s\n", frames.Count(),
                         scenario.grids.front().outputFolder.c_str());
        return kExitSuccess;
    }
    if (stopped) {
        if (!options.quiet) std::fprintf(stderr, "vestra: run stopped; final results written\n");
        return kExitStopped;
    }
    std::fprintf(stderr, "vestra: the run ended without completing\n");
    return kExitFailure;
}
