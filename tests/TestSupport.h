#pragma once
// Helpers shared by the test suites: a scratch folder per test, whole-file reads and writes,
// and running the built vestra command or a shell command with its output captured.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

// A fresh folder named after the running test, removed when the object goes.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& tag = "") {
        static int serial = 0;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string test = info ? std::string(info->test_suite_name()) + "-" + info->name() : "none";
        path_ = std::filesystem::temp_directory_path() /
                ("vestra-" + test + "-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    std::string File(const std::string& name) const { return *this / name; }
    const std::filesystem::path& Path() const { return path_; }
    std::string Path(const std::string& name) const { return *this / name; }
    std::string Slash() const { return path_.string() + "/"; }
    std::string Folder(const std::string& name) const {
        std::filesystem::create_directories(path_ / name);
        return (path_ / name).string() + "/";
    }
    // Writes `text` to `name` (creating its folders) and returns the full path.
    std::string Write(const std::string& name, const std::string& text) const;
    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            names.insert(entry.path().filename().string());
        return names;
    }

private:
    std::filesystem::path path_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::string ScratchFolder::Write(const std::string& name, const std::string& text) const {
    WriteFile(*this / name, text);
    return *this / name;
}

inline std::size_t CountLines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Standard output of a shell command.
inline std::string RunShell(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
    pclose(pipe);
    return output;
}

struct Outcome {
    int status = -1;  // exit status, or 1000 + signal
    std::string out, err;
};

inline const std::string kVestra = std::string(VESTRA_BINARY_DIR) + "/vestra";

// Runs the built vestra with `args` and extra environment entries ("NAME=VALUE"), its output
// kept in `dir`; optionally sends SIGINT `interruptDelay` after standard output shows `interruptAfter`.
inline Outcome RunVestra(const std::vector<std::string>& args, const ScratchFolder& dir,
                         const std::vector<std::string>& extraEnvironment = {},
                         const std::string& interruptAfter = "",
                         std::chrono::milliseconds interruptDelay = std::chrono::milliseconds(300)) {
    const std::string outPath = dir / "stdout.txt", errPath = dir / "stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv{const_cast<char*>(kVestra.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
    for (const auto& e : extraEnvironment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = 0;
    Outcome o;
    const int spawned = posix_spawn(&pid, kVestra.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return o;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    bool interrupted = interruptAfter.empty();
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (!interrupted && ReadFile(outPath).find(interruptAfter) != std::string::npos) {
            std::this_thread::sleep_for(interruptDelay);  // some steps into the run
            kill(pid, SIGINT);
            interrupted = true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "vestra did not end within 120 s";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    o.out = ReadFile(outPath);
    o.err = ReadFile(errPath);
    return o;
}

// Our own reader of a Surfer text grid: header numbers, then every value, row by row from yMin.
struct SurferGrid {
    int nx = 0, ny = 0;
    double xMin = 0, xMax = 0, yMin = 0, yMax = 0;
    std::vector<double> z;  // row-major from yMin
    double dx() const { return (xMax - xMin) / (nx - 1); }
    double dy() const { return (yMax - yMin) / (ny - 1); }
    double At(int i, int j) const { return z[static_cast<std::size_t>(j) * nx + i]; }
    double X(int i) const { return xMin + i * dx(); }
    double Y(int j) const { return yMin + j * dy(); }
    // Value at the node nearest to (x, y).
    double Nearest(double x, double y) const {
        const int i = static_cast<int>(std::lround((x - xMin) / dx()));
        const int j = static_cast<int>(std::lround((y - yMin) / dy()));
        return At(i, j);
    }
    bool Contains(double x, double y) const { return x >= xMin && x <= xMax && y >= yMin && y <= yMax; }
};

inline SurferGrid ReadSurferText(const std::string& path) {
    std::ifstream in(path);
    std::string token;
    SurferGrid grid;
    double zMin = 0, zMax = 0;
    in >> token >> grid.nx >> grid.ny >> grid.xMin >> grid.xMax >> grid.yMin >> grid.yMax >> zMin >> zMax;
    EXPECT_EQ(token, "DSAA") << path;
    double value;
    while (in >> value) grid.z.push_back(value);
    EXPECT_EQ(grid.z.size(), static_cast<std::size_t>(grid.nx) * grid.ny) << path;
    return grid;
}

// Whether the plotting helper can run here (python3 with matplotlib, numpy and netCDF4).
inline bool PythonHasPlotting() {
    return access("/usr/bin/python3", X_OK) == 0 &&
           std::system("/usr/bin/python3 -c 'import matplotlib, numpy, netCDF4' >/dev/null 2>&1") == 0;
}
