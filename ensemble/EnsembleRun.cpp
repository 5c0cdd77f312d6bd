// `vestra ensemble run`: the members of an ensemble, N at a time, each in its own process.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Ensemble.h"
#include "EnsembleFiles.h"

namespace fs = std::filesystem;

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error) {
    const std::string temporary = path + ".partial";
    std::FILE* f = std::fopen(temporary.c_str(), "w");
    if (f == nullptr) {
        *error = path + ": cannot be written: " + std::strerror(errno);
        return false;
    }
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = path + ": cannot be written: " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream o;
    o << in.rdbuf();
    *text = o.str();
    return true;
}

namespace {

std::string In(const EnsembleMember& m, const char* name) { return (fs::path(m.folder) / name).string(); }

// The lock file held while a runner works on the member. Returns the descriptor (close to
// release) or -1 when another process holds it.
int TryLock(const EnsembleMember& m) {
    const int fd = ::open(In(m, "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Children being run, for the signal handler to pass SIGINT/SIGTERM on.
constexpr int kMaxChildren = 4096;
volatile pid_t gChildren[kMaxChildren];
volatile sig_atomic_t gStopSignal = 0;

void OnStopSignal(int signal) {
    if (gStopSignal != 0) return;  // pass it on once: a second SIGINT would end a run without its checkpoint
    gStopSignal = signal;
    for (int i = 0; i < kMaxChildren; ++i)
        if (gChildren[i] > 0) ::kill(gChildren[i], signal);
}

struct Running {
    EnsembleMember member;
    pid_t pid = -1;
    int lock = -1;
    int slot = -1;
};

// Starts `vestra run` for one member, its output appended to run.log. Returns false (and
// records exit status 1 in the log) when the process cannot be started.
bool Start(const EnsembleMember& m, const std::string& vestra, int threads, int slot, Running* r) {
    const bool resume = fs::exists(In(m, "scenario.checkpoint"));
    const std::string log = In(m, "run.log");
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "vestra: %s: cannot be written: %s\n", log.c_str(), std::strerror(errno));
        return false;
    }
    const std::time_t now = std::time(nullptr);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    const std::string header = std::string("==== vestra ensemble: ") + (resume ? "resuming " : "starting ") + m.name +
                               " at " + stamp + "\n";
    if (::write(fd, header.data(), header.size()) < 0) { /* the log line is a courtesy */ }
    std::vector<std::string> args = {vestra, "run", In(m, "scenario.toml"), "--quiet", "--no-plots",
                                     "--threads", std::to_string(threads)};
    if (resume) args.push_back("--resume");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fd);
        return false;
    }
    if (pid == 0) {
        // Its own process group: Ctrl-C on the terminal reaches the runner only, which passes it on once.
        ::setpgid(0, 0);
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        const int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, 0);
        ::execv(argv[0], argv.data());
        std::fprintf(stderr, "vestra: cannot start %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    ::close(fd);
    r->member = m;
    r->pid = pid;
    r->slot = slot;
    gChildren[slot] = pid;
    return true;
}

// Records how a member's run ended: exit-status always, done after status 0.
int Finish(const Running& r, int waitStatus) {
    int code = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
    std::string error;
    if (!WriteFileAtomically(In(r.member, "exit-status"), std::to_string(code) + "\n", &error)) {
        std::fprintf(stderr, "vestra: %s\n", error.c_str());
        code = 1;
    }
    if (code == 0 && !WriteFileAtomically(In(r.member, "done"), "0\n", &error)) {
        std::fprintf(stderr, "vestra: %s\n", error.c_str());
        code = 1;
    }
    return code;
}

}  // namespace

const char* MemberStateName(MemberState state) {
    switch (state) {
        case MemberState::kPending: return "pending";
        case MemberState::kRunning: return "running";
        case MemberState::kDone: return "done";
        case MemberState::kFailed: return "failed";
        case MemberState::kInterrupted: return "interrupted";
    }
    return "?";
}

MemberStatus ReadMemberStatus(const EnsembleMember& m) {
    MemberStatus s;
    s.log = In(m, "run.log");
    std::string text;
    if (ReadWholeFile(In(m, "exit-status"), &text)) s.exitStatus = std::atoi(text.c_str());
    if (fs::exists(In(m, "done"))) {
        s.state = MemberState::kDone;
        return s;
    }
    if (fs::exists(In(m, "lock"))) {
        const int fd = TryLock(m);
        if (fd < 0) {
            s.state = MemberState::kRunning;
            return s;
        }
        ::close(fd);
    }
    if (fs::exists(In(m, "scenario.checkpoint")) || s.exitStatus == 130 || s.exitStatus == 143)
        s.state = MemberState::kInterrupted;
    else if (s.exitStatus >= 0)
        s.state = MemberState::kFailed;
    return s;
}

int RunEnsemble(const RunEnsembleOptions& options) {
    EnsembleSettings settings;
    std::vector<EnsembleMember> members;
    std::string error;
    if (!LoadEnsemble(options.dir, &settings, &members, &error)) {
        std::fprintf(stderr, "vestra: %s\n", error.c_str());
        return 1;
    }
    std::vector<EnsembleMember> selected;
    if (options.task >= 0) {
        const size_t first = static_cast<size_t>(options.task) * settings.perTask;
        if (first >= members.size()) {
            std::fprintf(stderr, "vestra: %s: task %d has no members (%zu members, %d per task)\n", options.dir.c_str(),
                         options.task, members.size(), settings.perTask);
            return 1;
        }
        for (size_t i = first; i < members.size() && i < first + settings.perTask; ++i) selected.push_back(members[i]);
    } else {
        selected = members;
    }
    const std::string vestra = options.vestra.empty() ? fs::read_symlink("/proc/self/exe").string() : options.vestra;
    const int threads = options.threads > 0 ? options.threads : settings.threads;
    const int parallel = std::max(1, std::min(options.parallel, kMaxChildren));

    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction oldInt {}, oldTerm {};
    ::sigaction(SIGINT, &action, &oldInt);
    ::sigaction(SIGTERM, &action, &oldTerm);

    int failed = 0, done = 0, skipped = 0;
    std::vector<Running> running;
    std::vector<bool> slotUsed(parallel, false);
    size_t next = 0;
    while (true) {
        while (gStopSignal == 0 && running.size() < static_cast<size_t>(parallel) && next < selected.size()) {
            const EnsembleMember& m = selected[next++];
            const MemberStatus status = ReadMemberStatus(m);
            if (status.state == MemberState::kDone) {
                ++skipped;
                continue;
            }
            if (status.state == MemberState::kFailed && !options.retryFailed) {
                std::fprintf(stderr, "vestra: member %s failed before (exit status %d, log %s); not run again\n",
                             m.name.c_str(), status.exitStatus, status.log.c_str());
                ++failed;
                continue;
            }
            Running r;
            r.lock = TryLock(m);
            if (r.lock < 0 || fs::exists(In(m, "done"))) {  // another runner has it, or just finished it
                if (r.lock >= 0) ::close(r.lock);
                std::fprintf(stderr, "vestra: member %s is being run by another process; skipped\n", m.name.c_str());
                ++skipped;
                continue;
            }
            int slot = 0;
            while (slotUsed[slot]) ++slot;
            if (!Start(m, vestra, threads, slot, &r)) {
                ::close(r.lock);
                ++failed;
                continue;
            }
            slotUsed[slot] = true;
            running.push_back(r);
        }
        if (running.empty()) break;
        int waitStatus = 0;
        const pid_t pid = ::waitpid(-1, &waitStatus, 0);
        if (pid < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (size_t i = 0; i < running.size(); ++i) {
            if (running[i].pid != pid) continue;
            const Running r = running[i];
            gChildren[r.slot] = 0;
            slotUsed[r.slot] = false;
            running.erase(running.begin() + static_cast<long>(i));
            const int code = Finish(r, waitStatus);
            ::close(r.lock);
            if (code == 0) {
                ++done;
                std::fprintf(stderr, "vestra: member %s done\n", r.member.name.c_str());
            } else if (code == 130 || code == 143) {
                std::fprintf(stderr, "vestra: member %s stopped (exit status %d); it resumes on the next run\n",
                             r.member.name.c_str(), code);
            } else {
                ++failed;
                std::fprintf(stderr, "vestra: member %s failed (exit status %d), log %s\n", r.member.name.c_str(), code,
                             In(r.member, "run.log").c_str());
            }
            break;
        }
    }
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGTERM, &oldTerm, nullptr);
    std::fprintf(stderr, "vestra: %d run, %d already done or taken, %d failed\n", done, skipped, failed);
    if (gStopSignal != 0) return 128 + gStopSignal;
    return failed > 0 ? 1 : 0;
}
