// `vestra ensemble`: command-line parsing of plan, run, submit, status and aggregate, and the
// two that talk to Slurm (submit) or only read (status).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Ensemble.h"
#include "EnsembleFiles.h"

namespace fs = std::filesystem;

namespace {

const char* kUsage =
    "usage: vestra ensemble plan EVENTS.csv --template SCENARIO.toml -o DIR [--per-task K]\n"
    "                            [--max-running M] [--threads T] [--signal-seconds S]\n"
    "       vestra ensemble run DIR [--local N] [--threads T] [--retry-failed] [--task I]\n"
    "       vestra ensemble submit DIR [-- SBATCH OPTIONS...]\n"
    "       vestra ensemble status DIR\n"
    "       vestra ensemble aggregate DIR --thresholds Z1,Z2,... [-o OUT] [--years T]\n"
    "                                 [--skip-missing]\n"
    "\n"
    "Runs many earthquake scenarios and reduces them to hazard maps (docs/ensembles.md).\n"
    "\n"
    "plan       one member folder per line of EVENTS.csv (columns name, rate, faults and\n"
    "           optionally weight; fault files relative to the table), each running the\n"
    "           template's grids and parameters with the member's faults; DIR/manifest.csv\n"
    "           and DIR/ensemble.sbatch, a Slurm job array of K members per task (default 1),\n"
    "           at most M tasks at once (default 50), T CPUs per task (default 1), SIGTERM\n"
    "           S seconds before the time limit (default 300) so that runs checkpoint\n"
    "run        runs the members on this machine, N at a time (default 1); --task I runs\n"
    "           only array task I's members (what the job array does)\n"
    "submit     sbatch of the array tasks that still have members to run\n"
    "status     counts the members done, running, interrupted, failed and pending\n"
    "aggregate  per level OUT/levelK/max-of-max.nc and .tif, OUT/levelK/exceedance-rate.nc\n"
    "           and OUT/gauges-hazard.csv (default OUT: DIR/hazard)\n"
    "\n"
    "Finished members are never run again; interrupted ones resume from their checkpoint;\n"
    "failed ones are reported with their log (--retry-failed runs them again).\n"
    "\n"
    "exit status: 0 success, 1 bad input or failed members, 2 bad command line,\n"
    "130/143 stopped by SIGINT/SIGTERM (the members stopped are resumable).\n";

int Usage(const std::string& message) {
    std::fprintf(stderr, "vestra: %s\ntry 'vestra ensemble --help'\n", message.c_str());
    return 2;
}

bool ParseCount(const std::string& text, int low, int high, int* value) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < low || v > high) return false;
    *value = static_cast<int>(v);
    return true;
}

// Options of the form "--name VALUE" or "--name=VALUE"; positional arguments collected.
struct Parsed {
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> flags, positional, rest;  // rest: after "--"
};

bool Parse(const std::vector<std::string>& args, const std::vector<std::string>& valued,
           const std::vector<std::string>& flags, Parsed* p, std::string* message) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            p->rest.assign(args.begin() + static_cast<long>(i) + 1, args.end());
            return true;
        }
        if (a.size() < 2 || a[0] != '-') {
            p->positional.push_back(a);
            continue;
        }
        const size_t eq = a.find('=');
        const std::string name = a.substr(0, eq);
        if (std::find(valued.begin(), valued.end(), name) != valued.end()) {
            if (eq != std::string::npos) {
                p->options.emplace_back(name, a.substr(eq + 1));
            } else if (i + 1 < args.size()) {
                p->options.emplace_back(name, args[++i]);
            } else {
                *message = name + " needs a value";
                return false;
            }
        } else if (eq == std::string::npos && std::find(flags.begin(), flags.end(), a) != flags.end()) {
            p->flags.push_back(a);
        } else {
            *message = "unknown option " + a;
            return false;
        }
    }
    return true;
}

bool Has(const Parsed& p, const char* flag) { return std::find(p.flags.begin(), p.flags.end(), flag) != p.flags.end(); }

std::string ThisProgram() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("vestra") : self.string();
}

int Plan(const Parsed& p) {
    PlanOptions o;
    if (p.positional.size() != 1) return Usage("plan takes one event table");
    o.eventsPath = p.positional[0];
    for (const auto& [name, value] : p.options) {
        int* count = name == "--per-task" ? &o.settings.perTask : name == "--max-running" ? &o.settings.maxRunning
                   : name == "--threads"  ? &o.settings.threads : name == "--signal-seconds" ? &o.settings.signalSeconds
                                          : nullptr;
        if (count != nullptr) {
            if (!ParseCount(value, name == "--signal-seconds" ? 0 : 1, 100000, count))
                return Usage(name + " " + value + ": must be a whole number from " +
                             (name == "--signal-seconds" ? "0" : "1") + " to 100000");
        } else if (name == "--template") {
            o.templatePath = value;
        } else {
            o.dir = value;
        }
    }
    if (o.templatePath.empty()) return Usage("plan needs --template SCENARIO.toml");
    if (o.dir.empty()) return Usage("plan needs -o DIR");
    o.settings.vestra = ThisProgram();
    int count = 0;
    std::string error;
    if (!PlanEnsemble(o, &count, &error)) {
        std::fprintf(stderr, "vestra: %s\n", error.c_str());
        return 1;
    }
    std::printf("%d members planned in %s (job array: %s/ensemble.sbatch)\n", count, o.dir.c_str(), o.dir.c_str());
    return 0;
}

int Run(const Parsed& p) {
    RunEnsembleOptions o;
    if (p.positional.size() != 1) return Usage("run takes one ensemble folder");
    o.dir = p.positional[0];
    o.retryFailed = Has(p, "--retry-failed");
    for (const auto& [name, value] : p.options) {
        int* target = name == "--local" ? &o.parallel : name == "--threads" ? &o.threads : &o.task;
        if (!ParseCount(value, name == "--task" ? 0 : 1, name == "--task" ? 10000000 : 4096, target))
            return Usage(name + " " + value + ": must be a whole number" + (name == "--task" ? " >= 0" : " from 1 to 4096"));
    }
    return RunEnsemble(o);
}

// Array task list in sbatch's syntax: "0-3,5,7-9".
std::string TaskList(const std::vector<int>& tasks) {
    std::string list;
    for (size_t i = 0; i < tasks.size();) {
        size_t j = i;
        while (j + 1 < tasks.size() && tasks[j + 1] == tasks[j] + 1) ++j;
        if (!list.empty()) list += ",";
        list += std::to_string(tasks[i]);
        if (j > i) {
            list += '-';
            list += std::to_string(tasks[j]);
        }
        i = j + 1;
    }
    return list;
}

// Runs a program found on PATH and collects its standard output (standard error stays the
// terminal's). Returns its exit status, 127 when it cannot be started.
int Capture(std::vector<std::string> args, std::string* output) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return 127;
    const pid_t pid = ::fork();
    if (pid < 0) return 127;
    if (pid == 0) {
        ::dup2(pipeFds[1], 1);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "vestra: cannot run %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    char buffer[256];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) output->append(buffer, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Submit(const Parsed& p) {
    if (p.positional.size() != 1) return Usage("submit takes one ensemble folder");
    const std::string dir = fs::absolute(p.positional[0]).lexically_normal().string();
    EnsembleSettings s;
    std::vector<EnsembleMember> members;
    std::string error;
    if (!LoadEnsemble(dir, &s, &members, &error)) {
        std::fprintf(stderr, "vestra: %s\n", error.c_str());
        return 1;
    }
    // Only tasks with a member still to run: pending or interrupted (failed ones need --retry-failed).
    std::vector<int> tasks;
    for (const EnsembleMember& m : members) {
        const MemberState state = ReadMemberStatus(m).state;
        const int task = m.index / s.perTask;
        if ((state == MemberState::kPending || state == MemberState::kInterrupted) &&
            (tasks.empty() || tasks.back() != task))
            tasks.push_back(task);
    }
    // Jobs submitted before and still in the queue would run the same members: wait for them.
    std::string jobs, queued;
    ReadWholeFile(dir + "/slurm-jobs.txt", &jobs);
    std::string queuedIds;
    std::vector<std::string> ours;
    for (size_t at = 0; at < jobs.size();) {
        const size_t end = std::min(jobs.find('\n', at), jobs.size());
        ours.push_back(jobs.substr(at, std::min(jobs.find(' ', at), end) - at));
        at = end + 1;
    }
    if (!ours.empty() && !tasks.empty() && Capture({"squeue", "-h", "--me", "-o", "%F"}, &queued) == 0) {
        for (const std::string& id : ours) {
            const std::string line = "\n" + id + "\n";
            if (!id.empty() && ("\n" + queued).find(line) != std::string::npos)
                queuedIds += (queuedIds.empty() ? "" : ",") + id;
        }
    }
    if (!queuedIds.empty()) {
        std::fprintf(stderr, "vestra: %s: job %s of this ensemble is still queued or running; wait for it or scancel it\n",
                     dir.c_str(), queuedIds.c_str());
        return 1;
    }
    if (tasks.empty()) {
        std::printf("nothing to submit: no member of %s is pending or interrupted\n", dir.c_str());
        return 0;
    }
    std::vector<std::string> args = {"sbatch", "--parsable", "--array=" + TaskList(tasks) + "%" + std::to_string(s.maxRunning)};
    args.insert(args.end(), p.rest.begin(), p.rest.end());
    args.push_back(dir + "/ensemble.sbatch");
    std::string output;
    if (Capture(args, &output) != 0) {
        std::fprintf(stderr, "vestra: sbatch failed for %s/ensemble.sbatch (see its message above)\n", dir.c_str());
        return 1;
    }
    const std::string jobId = output.substr(0, output.find_first_of(";\n"));
    if (jobId.empty()) {
        std::fprintf(stderr, "vestra: sbatch failed for %s/ensemble.sbatch (see its message above)\n", dir.c_str());
        return 1;
    }
    if (!WriteFileAtomically(dir + "/slurm-jobs.txt", jobs + jobId + " " + TaskList(tasks) + "\n", &error))
        std::fprintf(stderr, "vestra: warning: %s\n", error.c_str());
    std::printf("%s\n", jobId.c_str());
    std::fprintf(stderr, "vestra: submitted job %s, array tasks %s\n", jobId.c_str(), TaskList(tasks).c_str());
    return 0;
}

int Status(const Parsed& p) {
    if (p.positional.size() != 1) return Usage("status takes one ensemble folder");
    EnsembleSettings s;
    std::vector<EnsembleMember> members;
    std::string error;
    if (!LoadEnsemble(p.positional[0], &s, &members, &error)) {
        std::fprintf(stderr, "vestra: %s\n", error.c_str());
        return 1;
    }
    int counts[5] = {0, 0, 0, 0, 0};
    for (const EnsembleMember& m : members) {
        const MemberStatus status = ReadMemberStatus(m);
        ++counts[static_cast<int>(status.state)];
        if (status.state == MemberState::kFailed)
            std::printf("failed: %s (exit status %d), log %s\n", m.name.c_str(), status.exitStatus, status.log.c_str());
    }
    std::printf("%zu members: %d done, %d running, %d interrupted, %d failed, %d pending\n", members.size(),
                counts[static_cast<int>(MemberState::kDone)], counts[static_cast<int>(MemberState::kRunning)],
                counts[static_cast<int>(MemberState::kInterrupted)], counts[static_cast<int>(MemberState::kFailed)],
                counts[static_cast<int>(MemberState::kPending)]);
    return 0;
}

int Aggregate(const Parsed& p) {
    AggregateOptions o;
    if (p.positional.size() != 1) return Usage("aggregate takes one ensemble folder");
    o.dir = p.positional[0];
    o.skipMissing = Has(p, "--skip-missing");
    bool haveThresholds = false;
    for (const auto& [name, value] : p.options) {
        if (name == "-o") {
            o.out = value;
        } else if (name == "--years") {
            char* end = nullptr;
            o.years = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(o.years > 0) || !std::isfinite(o.years))
                return Usage("--years " + value + ": must be a number > 0");
        } else {
            haveThresholds = true;
            size_t start = 0;
            while (start <= value.size()) {
                const size_t comma = std::min(value.find(',', start), value.size());
                const std::string item = value.substr(start, comma - start);
                char* end = nullptr;
                const double z = std::strtod(item.c_str(), &end);
                if (item.empty() || *end != '\0' || !std::isfinite(z))
                    return Usage("--thresholds: '" + item + "' is not a number");
                o.thresholds.push_back(z);
                start = comma + 1;
            }
        }
    }
    if (!haveThresholds) return Usage("aggregate needs --thresholds Z1,Z2,...");
    std::string error;
    if (!AggregateEnsemble(o, &error)) {
        std::fprintf(stderr, "vestra: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int RunEnsembleCommand(const std::vector<std::string>& args) {
    if (args.empty()) return Usage("ensemble needs a subcommand: plan, run, submit, status or aggregate");
    if (args[0] == "-h" || args[0] == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    for (const std::string& a : args)
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        else if (a == "--") break;
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    Parsed p;
    std::string message;
    struct Sub {
        const char* name;
        std::vector<std::string> valued, flags;
        int (*run)(const Parsed&);
    };
    const Sub subs[] = {
        {"plan", {"--template", "-o", "--per-task", "--max-running", "--threads", "--signal-seconds"}, {}, Plan},
        {"run", {"--local", "--threads", "--task"}, {"--retry-failed"}, Run},
        {"submit", {}, {}, Submit},
        {"status", {}, {}, Status},
        {"aggregate", {"--thresholds", "-o", "--years"}, {"--skip-missing"}, Aggregate},
    };
    for (const Sub& s : subs) {
        if (args[0] != s.name) continue;
        if (!Parse(rest, s.valued, s.flags, &p, &message)) return Usage(message);
        if (!p.rest.empty() && std::string(s.name) != "submit") return Usage("only submit takes options after '--'");
        return s.run(p);
    }
    return Usage("unknown ensemble command " + args[0]);
}
