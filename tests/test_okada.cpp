// Earthquake sources: Okada's displacement, fault files, model grids and `vestra okada`.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <set>
#include <string>
#include <vector>

#include "FaultFile.h"
#include "ModelGrid.h"
#include "Okada.h"
#include "OkadaCommand.h"
#include "TestSupport.h"

namespace {

constexpr double kPoissonSolid = 0.5;  // mu/(lambda+mu) for nu = 0.25
constexpr double kRadius = 6371008.0;
constexpr double kDeg = std::numbers::pi / 180.0;

OkadaDisplacement Okada(double x, double y, double d, double dip, double L, double W, double s, double ds, double t) {
    return OkadaSurfaceDisplacement(x, y, d, dip, L, W, s, ds, t, kPoissonSolid);
}
OkadaDisplacement operator+(const OkadaDisplacement& a, const OkadaDisplacement& b) {
    return {a.ux + b.ux, a.uy + b.uy, a.uz + b.uz};
}
void ExpectClose(const OkadaDisplacement& a, const OkadaDisplacement& b, double tolerance) {
    EXPECT_NEAR(a.ux, b.ux, tolerance);
    EXPECT_NEAR(a.uy, b.uy, tolerance);
    EXPECT_NEAR(a.uz, b.uz, tolerance);
}

ModelGrid MakeGrid(int nx, int ny, double xMin, double xMax, double yMin, double yMax) {
    ModelGrid grid{nx, ny, xMin, xMax, yMin, yMax, {}};
    grid.values.assign(static_cast<std::size_t>(nx) * ny, 0.0f);
    return grid;
}

FaultSet Parse(const std::string& text) {
    FaultSet set;
    std::string error;
    EXPECT_TRUE(ParseFaultText(text, "faults.toml", &set, &error)) << error;
    return set;
}

ModelGrid Displacement(const FaultSet& set, const ModelGrid& like, std::optional<double> time = std::nullopt) {
    ModelGrid out;
    std::string error;
    EXPECT_TRUE(ComputeFaultDisplacement(set, like, time, &out, &error)) << error;
    return out;
}

float MaxAbs(const ModelGrid& grid) {
    float m = 0.0f;
    for (float v : grid.values) m = std::max(m, std::abs(v));
    return m;
}

// The continental slope of the trench test: depth 200 m at 142 E, 1900 m deeper per degree west.
ModelGrid SlopeGrid(int nx, int ny) {
    ModelGrid like = MakeGrid(nx, ny, 139.8, 142.2, 37.1, 38.9);
    for (int row = 0; row < ny; ++row)
        for (int col = 0; col < nx; ++col) like.At(col, row) = static_cast<float>(200 + 1900 * (142 - like.X(col)));
    return like;
}

const std::string kTrenchFault =
    "[[faults]]\nname = \"trench\"\nlongitude = 140.8\nlatitude = 38.0\nreference = \"top-centre\"\ndepth = 5.0\n"
    "strike = 0.0\ndip = 15.0\nrake = 90\nslip = 5.0\nlength = 100.0\nwidth = 50.0\n";

}  // namespace

// Okada (1985), Table 2 (d = 4, L = 3, W = 2, unit dislocation; the vertical case on the singular
// edge q = 0, xi = 0), to half a unit in the fourth printed digit.
TEST(OkadaSolution, MatchesOkadaTable2) {
    const struct { double x, y, dip; int kind; double u[3]; } cases[] = {  // kind: strike slip, dip slip, opening
        {2, 3, 70, 0, {-8.689e-3, -4.298e-3, -2.747e-3}},
        {2, 3, 70, 1, {-4.682e-3, -3.527e-2, -3.564e-2}},
        {2, 3, 70, 2, {-2.660e-4, 1.056e-2, 3.214e-3}},
        {0, 0, 90, 0, {0.0, 5.253e-3, 0.0}},
        {0, 0, 90, 1, {0.0, 0.0, 0.0}},
        {0, 0, 90, 2, {1.223e-2, 0.0, -1.606e-2}},
    };
    for (const auto& c : cases) {
        const OkadaDisplacement d = Okada(c.x, c.y, 4, c.dip, 3, 2, c.kind == 0, c.kind == 1, c.kind == 2);
        const double got[3] = {d.ux, d.uy, d.uz};
        for (int k = 0; k < 3; ++k) {
            const double digit = c.u[k] == 0.0 ? 2e-9 : std::pow(10.0, std::floor(std::log10(std::abs(c.u[k]))));
            EXPECT_NEAR(got[k], c.u[k], 0.5e-3 * digit) << "dip " << c.dip << " kind " << c.kind << " component " << k;
        }
    }
}

// Finite on the singular corners and edges of a surface-breaking fault; near 90 degrees the motion
// joins the vertical forms smoothly (lost precision in the 1/cos(dip) terms shows here).
TEST(OkadaSolution, SurfaceBreakingFaultsStayFiniteAndNearVerticalDipsJoinTheVerticalForm) {
    for (int kind = 0; kind < 3; ++kind)
        for (double x : {-2.0, 0.0, 3.0, 10.0, 14.0})
            for (double y : {-3.0, 0.0, 0.01, 2.0, 5 * std::cos(30 * kDeg)}) {
                const auto at = [&](double dip, double depth = 8) {
                    return Okada(x, y, depth, dip, 10, 5, kind == 0, kind == 1, kind == 2);
                };
                for (double dip : {90.0, 30.0}) {
                    const OkadaDisplacement u = at(dip, 5 * std::sin(dip * kDeg));
                    EXPECT_TRUE(std::isfinite(u.ux) && std::isfinite(u.uy) && std::isfinite(u.uz)) << x << "," << y;
                }
                for (double dip : {89.9, 89.99, 89.998, 89.9988, 89.9999, 89.99999})
                    ExpectClose(at(dip), at(90.0), 2.0 * (90.0 - dip) * kDeg);
            }
}

// Two halves of a fault, split along strike or along dip, move the surface as the whole does.
TEST(OkadaSolution, HalfFaultsSumToTheWholeFault) {
    const double L = 30, W = 12, d = 15, dip = 35, sd = std::sin(dip * kDeg), cd = std::cos(dip * kDeg);
    for (double x : {-20.0, 3.0, 15.0, 29.0, 60.0})
        for (double y : {-25.0, 0.0, 4.0, 9.8, 30.0}) {
            const auto part = [&](double dx, double dy, double dd, double l, double w) {
                return Okada(x - dx, y - dy, d - dd, dip, l, w, 0.6, 0.9, 0.3);
            };
            const OkadaDisplacement whole = part(0, 0, 0, L, W);
            ExpectClose(whole, part(0, 0, 0, L / 2, W) + part(L / 2, 0, 0, L / 2, W), 1e-12);
            ExpectClose(whole, part(0, 0, 0, L, W / 2) + part(0, W / 2 * cd, W / 2 * sd, L, W / 2), 1e-12);
        }
}

// One fault (strike 90, dip 30: it dips south) from its centroid, top-centre and top-left corner.
TEST(FaultGeometry, ReferencePointsDescribeTheSameFault) {
    const std::string topY = std::to_string(10000 * std::cos(30 * kDeg));
    const std::string common = "strike = 90\ndip = 30\nrake = 75\nslip = 2.0\nlength = 40\nwidth = 20\n";
    const ModelGrid like = MakeGrid(41, 31, -100000, 100000, -75000, 75000);
    const ModelGrid a = Displacement(Parse("[[faults]]\nx = 0\ny = 0\ndepth = 15\nreference = \"centroid\"\n" + common),
                                     like);
    const float scale = MaxAbs(a);
    EXPECT_GT(scale, 0.1f);
    for (const std::string& other : {"x = 0\ny = " + topY + "\ndepth = 10\nreference = \"top-centre\"\n",
                                     "x = -20000\ny = " + topY + "\ndepth = 10\nreference = \"top-left\"\n"}) {
        const ModelGrid b = Displacement(Parse("[[faults]]\n" + other + common), like);
        for (std::size_t k = 0; k < a.values.size(); ++k) ASSERT_NEAR(a.values[k], b.values[k], 1e-5 * scale) << other;
    }
    // The fault's top edge runs east-west at y = 8660 m; a thrust raises the hanging wall south of it.
    const auto best = std::max_element(a.values.begin(), a.values.end()) - a.values.begin();
    EXPECT_LT(like.Y(static_cast<int>(best) / like.nx), 8660.0);
    EXPECT_GT(like.Y(static_cast<int>(best) / like.nx), -8660.0);
}

// Near the reference point a grid in degrees at 60 N matches a Cartesian one with x = R cos(lat0)
// dlon, y = R dlat; the horizontal term takes the depth gradient in metres, east and north.
TEST(FaultGeometry, SphericalGridMatchesLocalPlane) {
    const std::string body = "reference = \"centroid\"\ndepth = 12\nstrike = 30\ndip = 40\nrake = 60\nslip = 1.5\n"
                             "length = 12\nwidth = 8\n";
    const double lat0 = 60.0, half = 0.25, metresPerDegree = kRadius * std::cos(lat0 * kDeg) * kDeg;
    const double ex = metresPerDegree * half, ny = kRadius * half * kDeg;
    ModelGrid sphere = MakeGrid(26, 21, 150 - half, 150 + half, lat0 - half, lat0 + half);
    ModelGrid plane = MakeGrid(26, 21, -ex, ex, -ny, ny);
    for (int row = 0; row < 21; ++row)
        for (int col = 0; col < 26; ++col) {  // deepening east and north by 0.1 m per m
            plane.At(col, row) = static_cast<float>(7000.0 + 0.1 * plane.X(col) + 0.1 * plane.Y(row));
            sphere.At(col, row) = static_cast<float>(7000.0 + 0.1 * metresPerDegree * (sphere.X(col) - 150) +
                                                     0.1 * kRadius * kDeg * (sphere.Y(row) - lat0));
        }
    const std::string head = "horizontal = true\n[[faults]]\n";
    const ModelGrid a = Displacement(Parse(head + "longitude = 150\nlatitude = 60\n" + body), sphere);
    const ModelGrid b = Displacement(Parse(head + "x = 0\ny = 0\n" + body), plane);
    const float scale = MaxAbs(b);
    EXPECT_GT(scale, 0.05f);
    for (std::size_t k = 0; k < a.values.size(); ++k) ASSERT_NEAR(a.values[k], b.values[k], 2e-3f * scale) << k;
}

// A thrust dipping east under the land: uplift on the hanging wall, little on the footwall; one or
// two threads give the same bytes.
TEST(FaultGeometry, ThrustUnderSlopeRaisesHangingWall) {
    const ModelGrid like = SlopeGrid(81, 61);
    const int saved = omp_get_max_threads();
    omp_set_num_threads(1);
    const ModelGrid u = Displacement(Parse("horizontal = true\n" + kTrenchFault), like);
    omp_set_num_threads(2);
    const ModelGrid two = Displacement(Parse("horizontal = true\n" + kTrenchFault), like);
    omp_set_num_threads(saved);
    ASSERT_EQ(u.values.size(), two.values.size());
    EXPECT_EQ(std::memcmp(u.values.data(), two.values.data(), u.values.size() * sizeof(float)), 0);
    const auto up = std::max_element(u.values.begin(), u.values.end()) - u.values.begin();
    const double bottomEdge = 140.8 + 50.0 * std::cos(15 * kDeg) / (kRadius / 1000 * kDeg * std::cos(38 * kDeg));
    EXPECT_GT(u.values[up], 1.0f);
    EXPECT_GT(like.X(up % u.nx), 140.8);
    EXPECT_LT(like.X(up % u.nx), bottomEdge);
    EXPECT_NEAR(like.Y(static_cast<int>(up / u.nx)), 38.0, 0.1);
    EXPECT_LT(std::abs(u.At(0, u.ny / 2)), 0.1f * u.values[up]);  // the footwall barely moves
}

// The horizontal term on H = 3000 - 0.02 x + 0.01 y is ue dH/dx + un dH/dy when wet, 0 on land.
TEST(FaultGeometry, HorizontalTermOnPlaneSlope) {
    ModelGrid like = MakeGrid(41, 21, -100000, 100000, -50000, 50000);
    for (int row = 0; row < like.ny; ++row)
        for (int col = 0; col < like.nx; ++col)
            like.At(col, row) = static_cast<float>(3000.0 - 0.02 * like.X(col) + 0.01 * like.Y(row));
    like.At(40, 10) = -5.0f;  // one land node at the east edge
    const std::string fault = "[[faults]]\nx = 0\ny = 0\nreference = \"top-centre\"\ndepth = 3\nstrike = 10\ndip = 20\n"
                              "rake = 95\nslip = 4\nlength = 60\nwidth = 30\n";
    const ModelGrid a = Displacement(Parse(fault), like), b = Displacement(Parse("horizontal = true\n" + fault), like);
    const FaultPlane plane = PlaneFromReference(FaultReference::TopCentre, 0, 0, 3000, 10, 20, 95, 4, 0, 60000, 30000);
    double east = 0.0, north = 0.0;  // the largest of each term
    for (int row = 0; row < like.ny; ++row)
        for (int col = 1; col < like.nx - 2; ++col) {
            const SurfaceDisplacement u = FaultSurfaceDisplacement(plane, like.X(col), like.Y(row), kPoissonSolid);
            EXPECT_NEAR(b.At(col, row) - a.At(col, row), -0.02 * u.east + 0.01 * u.north, 2e-6) << col << "," << row;
            east = std::max(east, std::abs(0.02 * u.east));
            north = std::max(north, std::abs(0.01 * u.north));
        }
    EXPECT_GT(std::min(east, north), 0.005);
    EXPECT_EQ(b.At(40, 10), a.At(40, 10));
}

// Rupture-time groups add up to the whole; fault and grid coordinates must agree.
TEST(FaultGeometry, RuptureTimesGroupFaults) {
    const std::string body =
        "reference = \"centroid\"\ndepth = 20\nstrike = 0\ndip = 20\nrake = 90\nslip = 3\nlength = 50\nwidth = 30\n";
    const FaultSet set = Parse("[[faults]]\nx = -40000\ny = 0\n" + body +
                               "[[faults]]\nx = 0\ny = 50000\nrupture_time = 30\n" +
                               body + "[[faults]]\nx = 40000\ny = 0\n" + body);
    ASSERT_EQ(RuptureTimes(set), (std::vector<double>{0.0, 30.0}));
    const ModelGrid like = MakeGrid(31, 31, -150000, 150000, -150000, 150000);
    const ModelGrid all = Displacement(set, like), first = Displacement(set, like, 0.0);
    const ModelGrid later = Displacement(set, like, 30.0);
    for (std::size_t k = 0; k < all.values.size(); ++k)
        EXPECT_NEAR(all.values[k], first.values[k] + later.values[k], 1e-6f);
    EXPECT_GT(MaxAbs(later), 0.1f);
    ModelGrid none;
    std::string error;
    EXPECT_FALSE(ComputeFaultDisplacement(set, like, 12.0, &none, &error));
    EXPECT_FALSE(ComputeFaultDisplacement(set, MakeGrid(5, 5, 10, 11, 40, 41), std::nullopt, &none, &error));
    EXPECT_NE(error.find("degrees"), std::string::npos) << error;
    EXPECT_FALSE(ComputeFaultDisplacement(Parse(kTrenchFault), like, std::nullopt, &none, &error));
    EXPECT_NE(error.find("Cartesian"), std::string::npos) << error;
}

// Every key lands in its own field; every input check names the file, the fault and the key.
TEST(FaultFileInput, ReadsValuesAndRejectsBadInput) {
    const FaultSet set = Parse("poisson = 0.3\nhorizontal = true\n[[faults]]\nname = \"a\"\nlongitude = 140\n"
                               "latitude = -38.5\nreference = \"top-left\"\ndepth = 5\nstrike = 195\ndip = 12\n"
                               "rake = 90\nslip = 10\nlength = 200\nwidth = 80\nopening = 0.25\nrupture_time = 60\n");
    ASSERT_EQ(set.faults.size(), 1u);
    const Fault& f = set.faults[0];
    EXPECT_TRUE(set.geographic && set.horizontal && f.name == "a" && f.reference == FaultReference::TopLeft);
    EXPECT_EQ((std::vector<double>{set.poisson, f.x, f.y, f.depthKm, f.strike, f.dip, f.rake, f.slip, f.lengthKm,
                                   f.widthKm, f.opening, f.ruptureTime}),
              (std::vector<double>{0.3, 140, -38.5, 5, 195, 12, 90, 10, 200, 80, 0.25, 60}));
    EXPECT_EQ(Parse(kTrenchFault).poisson, 0.25);  // the default
    // Each case replaces `from` in the trench fault by `to`.
    const std::string label = "faults.toml: fault 1 (\"trench\"): ";
    const struct { std::string from, to, expected; } cases[] = {
        {"dip = 15.0", "dip = 95", label + "'dip' must lie in (0, 90]"},
        {"reference = \"top-centre\"", "reference = \"centroid\"", "'depth' puts the top edge 1.47048 km above"},
        {"slip = 5.0", "slip = 5.0\nrigidity = 3e10", label + "'rigidity' is not a known key"},
        {"dip = 15.0", "", label + "'dip' is missing"},
        {"latitude = 38.0", "latitude = 38.0\nx = 5", label + "'x' cannot be combined"},
        {"[[faults]]", "poisson = 0.5\n[[faults]]", "faults.toml: 'poisson' must lie in (-1, 0.5)"},
        {"name = \"trench\"", "name = \"trench\"\nname = \"again\"", "faults.toml:3:"},
        {"width = 50.0", "width = 50.0\n[[faults]]\nx = 1\ny = 2\n", "faults.toml: fault 2: 'x' cannot be used here"},
    };
    for (const auto& c : cases) {
        std::string text = kTrenchFault;
        text.replace(text.find(c.from), c.from.size(), c.to);
        FaultSet out;
        std::string error;
        EXPECT_FALSE(ParseFaultText(text, "faults.toml", &out, &error)) << c.to;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error << "\n  wanted: " << c.expected;
    }
    FaultSet out;
    std::string error;
    EXPECT_FALSE(ReadFaultFile("/nonexistent/faults.toml", &out, &error));
    EXPECT_NE(error.find("/nonexistent/faults.toml: cannot open"), std::string::npos) << error;
}

// A refused file leaves the grid untouched; a failed or refused write leaves no file behind.
TEST(ModelGridFiles, RejectsBadFilesAndLeavesNoneBehind) {
    ScratchFolder dir;
    ModelGrid grid;
    grid.nx = 99;
    std::string error;
    EXPECT_FALSE(ReadModelGrid(dir.Write("short.grd", "DSAA\n2 2\n0 1\n0 1\n0 3\n0 1 2\n"), &grid, &error));
    EXPECT_NE(error.find(dir / "short.grd: ends after 3 of 4 values"), std::string::npos) << error;
    EXPECT_EQ(grid.nx, 99);
    ModelGrid wrong = MakeGrid(2, 2, 0, 1, 0, 1);
    EXPECT_FALSE(WriteModelGrid(dir / "missing/out.nc", wrong, &error));
    wrong.values.pop_back();
    WriteFile(dir / "keep.grd", "DSAA\n");
    EXPECT_FALSE(WriteModelGrid(dir / "keep.grd", wrong, &error));
    EXPECT_EQ(ReadFile(dir / "keep.grd"), "DSAA\n");
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"short.grd", "keep.grd"}));
}

TEST(OkadaCommand, WritesDisplacementOfTheLikeGrid) {
    ScratchFolder dir;
    std::string error;
    const ModelGrid bathymetry = SlopeGrid(49, 37);
    ASSERT_TRUE(WriteModelGrid(dir / "bathymetry.nc", bathymetry, &error)) << error;
    WriteFile(dir / "faults.toml", kTrenchFault);
    const ModelGrid expected = Displacement(Parse(kTrenchFault), bathymetry);
    for (const auto& [name, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"source.grd", {"--like", dir / "bathymetry.nc", "-o", dir / "source.grd"}},
             {"source.nc", {"--like=" + dir / "bathymetry.nc", "--output", dir / "source.nc"}}}) {
        std::vector<std::string> line{dir / "faults.toml"};
        line.insert(line.end(), args.begin(), args.end());
        testing::internal::CaptureStdout();
        ASSERT_EQ(RunOkadaCommand(line), 0) << name;
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_NE(printed.find(name + ": 1 fault on 49 x 37 nodes, uplift up to"), std::string::npos) << printed;
        ModelGrid written;
        ASSERT_TRUE(ReadModelGrid(dir / name, &written, &error)) << error;
        EXPECT_EQ(std::pair(written.xMin, written.yMax), std::pair(139.8, 38.9));
        EXPECT_EQ(written.values, expected.values) << name;
    }
    // Malformed command lines give 2, bad input 1, and neither writes a file.
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunOkadaCommand({dir / "faults.toml", "-o", dir / "x.grd"}), 2);
    WriteFile(dir / "bad.toml", kTrenchFault + "magnitude = 8\n");
    EXPECT_EQ(RunOkadaCommand({dir / "bad.toml", "--like", dir / "bathymetry.nc", "-o", dir / "bad.grd"}), 1);
    const std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_NE(messages.find("'magnitude' is not a known key"), std::string::npos) << messages;
    EXPECT_EQ(dir.Names(),
              (std::set<std::string>{"bathymetry.nc", "faults.toml", "source.grd", "source.nc", "bad.toml"}));
}
