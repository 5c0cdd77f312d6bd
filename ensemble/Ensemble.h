#pragma once
// Ensembles of earthquake scenarios: planning member folders from an event table, running them
// on this machine or as a Slurm job array, and reducing the finished members to hazard maps.
//
// Layout of an ensemble folder DIR (written by PlanEnsemble, read by everything else):
//   DIR/ensemble.toml            settings: members per array task, threads, levels, outputFormat
//   DIR/manifest.csv             index,name,rate,weight,folder, one line per member
//   DIR/ensemble.sbatch          the Slurm job array over the members
//   DIR/members/NAME/scenario.toml, faults.toml    one run each
//   DIR/members/NAME/run.log     standard output and error of every attempt
//   DIR/members/NAME/exit-status the exit status of the last attempt
//   DIR/members/NAME/done        written after a run that ended with status 0
//   DIR/members/NAME/lock        held (flock) while a runner works on the member
//   DIR/members/NAME/scenario.checkpoint   left by an interrupted run; the next one resumes
#include <string>
#include <vector>

struct EnsembleMember {
    int index = 0;  // 0-based position in the manifest
    std::string name;
    double rate = 0.0;    // events per year
    double weight = 1.0;  // the member adds rate * weight to the exceedance rates
    std::string folder;   // absolute
};

struct EnsembleSettings {
    int perTask = 1;       // members run one after the other by each array task
    int maxRunning = 50;   // array tasks running at once (the %M of --array)
    int threads = 1;       // OpenMP threads (and Slurm CPUs) per member
    int signalSeconds = 300;  // Slurm sends SIGTERM this long before the time limit
    int levels = 0;        // grid levels of every member
    std::vector<bool> spherical;  // per level: degrees (gridType 2, 3) or metres
    std::vector<bool> gauges;     // per level: it has a gauge list, so each run leaves a gauge table
    int outputFormat = 1;  // the members' outputFormat
    std::string vestra;    // the vestra executable the array tasks run
};

struct PlanOptions {
    std::string eventsPath, templatePath, dir;
    EnsembleSettings settings;
};

// Reads the event table and the template, writes DIR (which must not exist or be empty).
// Nothing is left behind on failure. Returns false with one line naming the file and value.
bool PlanEnsemble(const PlanOptions& options, int* memberCount, std::string* error);

// Reads DIR/ensemble.toml and DIR/manifest.csv.
bool LoadEnsemble(const std::string& dir, EnsembleSettings* settings, std::vector<EnsembleMember>* members,
                  std::string* error);

enum class MemberState { kPending, kRunning, kDone, kFailed, kInterrupted };

struct MemberStatus {
    MemberState state = MemberState::kPending;
    int exitStatus = -1;  // of the last attempt; -1 when none finished
    std::string log;      // run.log of the member
};

MemberStatus ReadMemberStatus(const EnsembleMember& member);
const char* MemberStateName(MemberState state);

struct RunEnsembleOptions {
    std::string dir;
    int parallel = 1;     // members at once
    int task = -1;        // >= 0: only the members of this array task
    int threads = 0;      // > 0: overrides the ensemble's threads per member
    bool retryFailed = false;
    std::string vestra;   // executable for the members' runs; empty: this program
};

// Runs the pending, interrupted (resumed from their checkpoints) and, when asked, failed members.
// Returns the exit status: 0 all selected members done, 1 some failed, 130 or 143 when stopped
// by SIGINT or SIGTERM (forwarded to the running members, which write their checkpoints).
int RunEnsemble(const RunEnsembleOptions& options);

struct AggregateOptions {
    std::string dir, out;  // out empty: DIR/hazard
    std::vector<double> thresholds;
    double years = 0.0;    // > 0: also the probability 1 - exp(-rate * years)
    bool skipMissing = false;
};

// Streams over the finished members and writes the hazard files. Returns false with one line.
bool AggregateEnsemble(const AggregateOptions& options, std::string* error);

// `vestra ensemble ...`: the subcommands above and `submit`, `status`.
int RunEnsembleCommand(const std::vector<std::string>& args);
