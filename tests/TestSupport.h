#pragma once
// Helpers shared by the test suites: scratch folders, whole files, the vestra command, Surfer grids.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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

    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    std::string File(const std::string& name) const { return *this / name; }
    std::string Path(const std::string& name) const { return *this / name; }
    const std::filesystem::path& Path() const { return path_; }
    std::string Slash() const { return path_.string() + "/"; }
    std::string Folder(const std::string& name) const {
        std::filesystem::create_directories(path_ / name);
        return *this / name + "/";
    }
    std::string Write(const std::string& name, const std::string& text) const {
        WriteFile(*this / name, text);
        return *this / name;
    }
    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_)) names.insert(entry.path().filename());
        return names;
    }

private:
    std::filesystem::path path_;
};

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
    int status = -1;  // exit status; 128 + the signal that ended it
    std::string out, err;
};

// Runs the built vestra through the shell, `environment` ("NAME=VALUE ...") before it; with
// `interruptAfter`, sends `signal` (INT, TERM) `delay` seconds after standard output first shows
// that text.
inline Outcome RunVestra(const std::vector<std::string>& args, const ScratchFolder& dir,
                         const std::string& environment = "", const std::string& interruptAfter = "",
                         const std::string& signal = "INT", const std::string& delay = "0.3") {
    const std::string out = dir / "stdout.txt", err = dir / "stderr.txt";
    // The output file is emptied first: otherwise the wait below can find the text in an earlier
    // run's output before the shell has truncated it, and signal the new run before it has started.
    std::string command = ": >'" + out + "'; " + environment + " '" VESTRA_BINARY_DIR "/vestra'";
    for (const std::string& arg : args) command += " '" + arg + "'";
    command += " >'" + out + "' 2>'" + err + "'";
    if (!interruptAfter.empty())
        command += " & until grep -qF '" + interruptAfter + "' '" + out + "' || ! kill -0 $!; do sleep 0.01; done;" +
                   " sleep " + delay + "; kill -" + signal + " $!; wait $!";
    const int status = std::system(("timeout -s KILL 120 sh '" + dir.Write("run.sh", command + "\n") + "'").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ReadFile(out), ReadFile(err)};
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
    double Nearest(double x, double y) const {  // the value at the node nearest to (x, y)
        return At(static_cast<int>(std::lround((x - xMin) / dx())), static_cast<int>(std::lround((y - yMin) / dy())));
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
    for (double value; in >> value;) grid.z.push_back(value);
    EXPECT_EQ(grid.z.size(), static_cast<std::size_t>(grid.nx) * grid.ny) << path;
    return grid;
}

// Width and height from a PNG file's IHDR chunk; (0, 0) when it is not a PNG.
inline std::pair<int, int> PngSize(const std::string& path) {
    const std::string b = ReadFile(path);
    if (b.size() < 24 || b.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return {0, 0};
    auto at = [&b](int k) {
        return int(uint8_t(b[k])) << 24 | uint8_t(b[k + 1]) << 16 | uint8_t(b[k + 2]) << 8 | uint8_t(b[k + 3]);
    };
    return {at(16), at(20)};
}

// Whether the plotting helper can run here (python3 with matplotlib, numpy and netCDF4).
inline bool PythonHasPlotting() {
    return std::system("/usr/bin/python3 -c 'import matplotlib, numpy, netCDF4' >/dev/null 2>&1") == 0;
}
