#pragma once
// Small input files for tests that run the model: Surfer text grids, gauge lists and a
// fresh scratch folder per test.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

struct GridSpec {
    int nx = 0, ny = 0;
    double xMin = 0, xMax = 0, yMin = 0, yMax = 0;
    double Dx() const { return (xMax - xMin) / (nx - 1); }
    double Dy() const { return (yMax - yMin) / (ny - 1); }
    double X(int i) const { return xMin + (i - 1) * Dx(); }  // node of column i (1-based)
    double Y(int j) const { return yMin + (j - 1) * Dy(); }
};

// Writes a Surfer text grid whose value at node (i, j) is value(x, y).
inline void WriteSurferGrid(const std::string& path, const GridSpec& g,
                            const std::function<double(double, double)>& value) {
    std::ofstream out(path);
    out.precision(9);
    out << "DSAA\n" << g.nx << " " << g.ny << "\n" << g.xMin << " " << g.xMax << "\n" << g.yMin << " " << g.yMax
        << "\n0 1\n";
    for (int j = 1; j <= g.ny; ++j) {
        for (int i = 1; i <= g.nx; ++i) out << value(g.X(i), g.Y(j)) << (i == g.nx ? "\n" : " ");
    }
    ASSERT_TRUE(out.good()) << path;
}

// A scratch folder removed when the test ends.
class ScratchFolder {
public:
    ScratchFolder() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                (std::string("vestra-") + info->test_suite_name() + "-" + info->name() + "-" +
                 std::to_string(::getpid()));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() { std::filesystem::remove_all(path_); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    std::string Folder(const std::string& name) const {
        std::filesystem::create_directories(path_ / name);
        return (path_ / name).string() + "/";
    }
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};
