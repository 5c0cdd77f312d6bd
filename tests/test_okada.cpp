// Earthquake sources: Okada's closed-form displacement, fault files, model grids and the
// `vestra okada` command.
#include <cpl_error.h>
#include <gdal.h>
#include <gtest/gtest.h>
#include <netcdf.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "FaultFile.h"
#include "ModelGrid.h"
#include "Okada.h"
#include "OkadaCommand.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

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
        for (int col = 0; col < nx; ++col) like.At(col, row) = static_cast<float>(200.0 + 1900.0 * (142.0 - like.X(col)));
    return like;
}

const char* kTrenchFault = R"(
[[faults]]
name = "trench"
longitude = 140.8
latitude = 38.0
reference = "top-centre"
depth = 5.0
strike = 0.0
dip = 15.0
rake = 90
slip = 5.0
length = 100.0
width = 50.0
)";

}  // namespace

// Okada (1985), Table 2: x = 2, y = 3 over a dip-70 fault and x = y = 0 over a vertical one (on
// the singular edge q = 0, xi = 0); d = 4, L = 3, W = 2, unit dislocation, Poisson solid. Values
// as printed, to half a unit in their fourth digit.
TEST(OkadaSolution, MatchesOkadaTable2AndAddsLinearly) {
    struct Case {
        double x, y, dip;
        int kind;  // unit strike slip, dip slip or opening
        double u[3];
    };
    const Case cases[] = {{2, 3, 70, 0, {-8.689e-3, -4.298e-3, -2.747e-3}}, {2, 3, 70, 1, {-4.682e-3, -3.527e-2, -3.564e-2}},
                          {2, 3, 70, 2, {-2.660e-4, 1.056e-2, 3.214e-3}},  {0, 0, 90, 0, {0.0, 5.253e-3, 0.0}},
                          {0, 0, 90, 1, {0.0, 0.0, 0.0}},                   {0, 0, 90, 2, {1.223e-2, 0.0, -1.606e-2}}};
    for (const Case& c : cases) {
        const OkadaDisplacement d = Okada(c.x, c.y, 4, c.dip, 3, 2, c.kind == 0, c.kind == 1, c.kind == 2);
        const double got[3] = {d.ux, d.uy, d.uz};
        for (int k = 0; k < 3; ++k) {
            const double tolerance = c.u[k] == 0.0 ? 1e-12 : 0.5e-3 * std::pow(10.0, std::floor(std::log10(std::abs(c.u[k]))));
            EXPECT_NEAR(got[k], c.u[k], tolerance) << "dip " << c.dip << " kind " << c.kind << " component " << k;
        }
    }
    const OkadaDisplacement s = Okada(2, 3, 4, 70, 3, 2, 1, 0, 0), d = Okada(2, 3, 4, 70, 3, 2, 0, 1, 0),
                            t = Okada(2, 3, 4, 70, 3, 2, 0, 0, 1);
    ExpectClose(Okada(2, 3, 4, 70, 3, 2, 0.3, -1.2, 0.7),
                {0.3 * s.ux - 1.2 * d.ux + 0.7 * t.ux, 0.3 * s.uy - 1.2 * d.uy + 0.7 * t.uy, 0.3 * s.uz - 1.2 * d.uz + 0.7 * t.uz},
                1e-15);
}

// Approaching 90 degrees the motion changes smoothly, by at most about its own size per radian of
// dip, into the special forms for cos(dip) = 0; a loss of precision in the 1/cos(dip) terms of the
// general forms, or a wrong special form, shows here.
TEST(OkadaSolution, VerticalFormsJoinTheGeneralOnes) {
    for (int kind = 0; kind < 3; ++kind)
        for (double x : {-2.0, 0.0, 3.0, 6.5, 14.0})
            for (double y : {0.01, 0.7, 2.0, 9.0, -3.0}) {
                const auto at = [&](double dip) { return Okada(x, y, 8, dip, 10, 5, kind == 0, kind == 1, kind == 2); };
                for (double dip : {89.9, 89.99, 89.998, 89.9988, 89.9999, 89.99999})
                    ExpectClose(at(dip), at(90.0), 2.0 * (90.0 - dip) * kDeg);
            }
}

// Far from the source the surface motion falls off like a point source's, as 1/r^2.
TEST(OkadaSolution, FallsOffAsInverseSquareFarAway) {
    for (double dip : {20.0, 70.0, 90.0}) {
        const auto size = [dip](double r) {
            const OkadaDisplacement u = Okada(5 + r * 0.6, r * 0.8, 10, dip, 10, 5, 0.5, 0.8, 0.2);
            return std::hypot(u.ux, u.uy, u.uz);
        };
        EXPECT_GT(size(5000.0), 0.0) << dip;
        EXPECT_LT(size(5000.0), 1e-6) << dip;
        EXPECT_NEAR(size(5000.0) / size(10000.0), 4.0, 0.05) << dip;
    }
}

// Two halves of a fault, split along strike or along dip, move the surface as the whole does; so
// do two halves of a rotated fault placed in east/north coordinates.
TEST(OkadaSolution, HalfFaultsSumToTheWholeFault) {
    const double L = 30, W = 12, d = 15, dip = 35, sd = std::sin(dip * kDeg), cd = std::cos(dip * kDeg);
    for (double x : {-20.0, 3.0, 15.0, 29.0, 60.0}) {
        for (double y : {-25.0, 0.0, 4.0, 9.8, 30.0}) {
            const auto part = [&](double dx, double dy, double dd, double l, double w) {
                return Okada(x - dx, y - dy, d - dd, dip, l, w, 0.6, 0.9, 0.3);
            };
            const OkadaDisplacement whole = part(0, 0, 0, L, W);
            ExpectClose(whole, part(0, 0, 0, L / 2, W) + part(L / 2, 0, 0, L / 2, W), 1e-12);
            ExpectClose(whole, part(0, 0, 0, L, W / 2) + part(0, W / 2 * cd, W / 2 * sd, L, W / 2), 1e-12);
        }
    }
    const double s = std::sin(237 * kDeg), c = std::cos(237 * kDeg);
    const auto plane = [](double e, double n, double length) {
        return PlaneFromReference(FaultReference::TopLeft, e, n, 4000, 237, 28, 110, 3, 0.5, length, 20000);
    };
    const FaultPlane full = plane(1000, -2000, 40000), half1 = plane(1000, -2000, 20000),
                     half2 = plane(1000 + 20000 * s, -2000 + 20000 * c, 20000);
    for (double e : {-30000.0, 0.0, 25000.0}) {
        for (double n : {-40000.0, 5000.0, 12000.0}) {
            const SurfaceDisplacement w = FaultSurfaceDisplacement(full, e, n, kPoissonSolid),
                                      a = FaultSurfaceDisplacement(half1, e, n, kPoissonSolid),
                                      b = FaultSurfaceDisplacement(half2, e, n, kPoissonSolid);
            ExpectClose({w.east, w.north, w.up}, {a.east + b.east, a.north + b.north, a.up + b.up}, 1e-10);
        }
    }
}

// One fault described from its centroid, the middle of its top edge and its top-left corner
// (start of the top edge along strike), worked out by hand for strike 90 (east), dip 30, so the
// fault dips south and the up-dip direction is north.
TEST(FaultGeometry, ReferencePointsDescribeTheSameFault) {
    const std::string topY = std::to_string(10000 * std::cos(30 * kDeg));
    const std::string common = "strike = 90\ndip = 30\nrake = 75\nslip = 2.0\nlength = 40\nwidth = 20\n";
    const ModelGrid like = MakeGrid(41, 31, -100000, 100000, -75000, 75000);
    const ModelGrid a = Displacement(Parse("[[faults]]\nx = 0\ny = 0\ndepth = 15\nreference = \"centroid\"\n" + common), like);
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

// On a spherical grid the fault sees each node at its great-circle distance and azimuth: near
// the reference point that matches a Cartesian grid with x = R cos(lat0) dlon, y = R dlat. With
// a sloping sea floor the horizontal term does too, so the depth gradient of a grid in degrees
// is taken in metres of the node's own latitude, in the node's own east and north.
TEST(FaultGeometry, SphericalGridMatchesLocalPlane) {
    const std::string body = "reference = \"centroid\"\ndepth = 12\nstrike = 30\ndip = 40\nrake = 60\nslip = 1.5\n"
                             "length = 12\nwidth = 8\n";
    for (double lat0 : {0.0, 60.0}) {
        for (const std::string horizontal : {"", "horizontal = true\n"}) {
            SCOPED_TRACE(std::to_string(lat0) + " " + horizontal);
            const FaultSet geographic =
                Parse(horizontal + "[[faults]]\nlongitude = 150.0\nlatitude = " + std::to_string(lat0) + "\n" + body);
            const FaultSet cartesian = Parse(horizontal + "[[faults]]\nx = 0\ny = 0\n" + body);
            const double half = 0.25, metresPerDegree = kRadius * std::cos(lat0 * kDeg) * kDeg;
            const double ex = metresPerDegree * half, ny = kRadius * half * kDeg;
            // Depth deepening eastward and northward by 0.1 m per m.
            ModelGrid sphere = MakeGrid(26, 21, 150 - half, 150 + half, lat0 - half, lat0 + half);
            ModelGrid plane = MakeGrid(26, 21, -ex, ex, -ny, ny);
            for (int row = 0; row < 21; ++row)
                for (int col = 0; col < 26; ++col) {
                    plane.At(col, row) = static_cast<float>(7000.0 + 0.1 * plane.X(col) + 0.1 * plane.Y(row));
                    sphere.At(col, row) = static_cast<float>(7000.0 + 0.1 * metresPerDegree * (sphere.X(col) - 150) +
                                                             0.1 * kRadius * kDeg * (sphere.Y(row) - lat0));
                }
            const ModelGrid a = Displacement(geographic, sphere), b = Displacement(cartesian, plane);
            const float scale = MaxAbs(b);
            EXPECT_GT(scale, 0.05f);
            for (std::size_t k = 0; k < a.values.size(); ++k) ASSERT_NEAR(a.values[k], b.values[k], 2e-3f * scale) << k;
        }
    }
}

// The tangent-plane projection against 3-D vector geometry on the unit sphere: distance along the
// great circle, azimuth at the reference point, and the turn of the azimuth on the way.
TEST(FaultGeometry, ProjectionKeepsDistanceAndAzimuth) {
    struct Vec { double x, y, z; };
    const auto unit = [](double lon, double lat) {
        return Vec{std::cos(lat * kDeg) * std::cos(lon * kDeg), std::cos(lat * kDeg) * std::sin(lon * kDeg), std::sin(lat * kDeg)};
    };
    const auto dot = [](Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; };
    // Azimuth at point p of the great circle towards (or, with sign -1, away from) point q.
    const auto azimuth = [&](double lon, double lat, Vec p, Vec q, double sign) {
        const double c = dot(p, q);
        const Vec d{sign * (q.x - c * p.x), sign * (q.y - c * p.y), sign * (q.z - c * p.z)};
        const Vec east{-std::sin(lon * kDeg), std::cos(lon * kDeg), 0.0};
        const Vec north{-std::sin(lat * kDeg) * std::cos(lon * kDeg), -std::sin(lat * kDeg) * std::sin(lon * kDeg), std::cos(lat * kDeg)};
        return std::atan2(dot(d, east), dot(d, north));
    };
    const double cases[][4] = {{140, 38, 141.5, 36.2}, {0, 60, 30, 60}, {179.5, -20, -179.0, -18.5}, {10, 0, 10, 3}, {-70, -45, -60, -30}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        const LocalPoint local = ProjectAzimuthalEquidistant(c[0], c[1], c[2], c[3]);
        const Vec p0 = unit(c[0], c[1]), p = unit(c[2], c[3]);
        const double distance = kRadius * std::acos(dot(p0, p));
        const double initial = azimuth(c[0], c[1], p0, p, 1.0), final = azimuth(c[2], c[3], p, p0, -1.0);
        EXPECT_NEAR(std::hypot(local.east, local.north), distance, 1e-6 * distance);
        EXPECT_NEAR(std::atan2(local.east, local.north), initial, 1e-9);
        EXPECT_NEAR(std::remainder(local.convergence - (final - initial), 2 * std::numbers::pi), 0.0, 1e-9);
    }
    const LocalPoint same = ProjectAzimuthalEquidistant(140, 38, 140, 38);
    EXPECT_EQ(std::hypot(same.east, same.north), 0.0);
}

// A thrust under a continental slope (deep sea to the west, coast to the east; the trench runs
// north and the fault dips east, under the land): uplift over the fault on the hanging-wall
// side, subsidence landward of it, little motion on the footwall; the hanging wall's seaward
// motion over the slope lifts the water further. One or two threads give the same bytes.
TEST(FaultGeometry, ThrustUnderSlopeRaisesHangingWall) {
    const ModelGrid like = SlopeGrid(81, 61);
    const ModelGrid u = Displacement(Parse(kTrenchFault), like);
    const FaultSet both = Parse(std::string("horizontal = true\n") + kTrenchFault +
                                "[[faults]]\nlongitude = 141.0\nlatitude = 37.5\nreference = \"top-left\"\ndepth = 8\n"
                                "strike = 190\ndip = 60\nrake = -30\nslip = 2\nlength = 40\nwidth = 20\nopening = 0.5\n");
    const int saved = omp_get_max_threads();
    omp_set_num_threads(1);
    const ModelGrid h = Displacement(Parse(std::string("horizontal = true\n") + kTrenchFault), like), one = Displacement(both, like);
    omp_set_num_threads(2);
    const ModelGrid two = Displacement(both, like);
    omp_set_num_threads(saved);
    ASSERT_EQ(one.values.size(), two.values.size());
    EXPECT_EQ(std::memcmp(one.values.data(), two.values.data(), one.values.size() * sizeof(float)), 0);
    const auto up = std::max_element(u.values.begin(), u.values.end()) - u.values.begin();
    const auto down = std::min_element(u.values.begin(), u.values.end()) - u.values.begin();
    const double trench = 140.8;
    const double bottomEdge = trench + 50.0 * std::cos(15 * kDeg) / (kRadius / 1000 * kDeg * std::cos(38 * kDeg));
    EXPECT_GT(u.values[up], 1.0f);
    EXPECT_GT(like.X(up % u.nx), trench);
    EXPECT_LT(like.X(up % u.nx), bottomEdge);
    EXPECT_NEAR(like.Y(static_cast<int>(up / u.nx)), 38.0, 0.1);
    EXPECT_LT(u.values[down], -0.2f);
    EXPECT_GT(like.X(down % u.nx), like.X(up % u.nx));
    EXPECT_LT(std::abs(u.At(0, u.ny / 2)), 0.1f * u.values[up]);
    EXPECT_GT(h.values[up], u.values[up]);
}

// The Tanioka-Satake term on a Cartesian plane slope H = 3000 - 0.02 x + 0.01 y: exactly
// ue dH/dx + un dH/dy at wet nodes, nothing on land.
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
    for (int row = 0; row < like.ny; ++row) {
        for (int col = 1; col < like.nx - 2; ++col) {
            const SurfaceDisplacement u = FaultSurfaceDisplacement(plane, like.X(col), like.Y(row), kPoissonSolid);
            EXPECT_NEAR(b.At(col, row) - a.At(col, row), -0.02 * u.east + 0.01 * u.north, 2e-6) << col << "," << row;
            east = std::max(east, std::abs(0.02 * u.east));
            north = std::max(north, std::abs(0.01 * u.north));
        }
    }
    EXPECT_GT(std::min(east, north), 0.005);
    EXPECT_EQ(b.At(40, 10), a.At(40, 10));
}

// Faults are grouped by rupture time; the groups add up to the whole. Coordinates of the faults
// and of the grid must agree.
TEST(FaultGeometry, RuptureTimesGroupFaults) {
    const std::string body = "reference = \"centroid\"\ndepth = 20\nstrike = 0\ndip = 20\nrake = 90\nslip = 3\nlength = 50\nwidth = 30\n";
    const FaultSet set = Parse("[[faults]]\nx = -40000\ny = 0\n" + body + "[[faults]]\nx = 0\ny = 50000\nrupture_time = 30\n" +
                               body + "[[faults]]\nx = 40000\ny = 0\n" + body);
    ASSERT_EQ(RuptureTimes(set), (std::vector<double>{0.0, 30.0}));
    const ModelGrid like = MakeGrid(31, 31, -150000, 150000, -150000, 150000);
    const ModelGrid all = Displacement(set, like), first = Displacement(set, like, 0.0), later = Displacement(set, like, 30.0);
    for (std::size_t k = 0; k < all.values.size(); ++k) EXPECT_NEAR(all.values[k], first.values[k] + later.values[k], 1e-6f);
    EXPECT_GT(MaxAbs(later), 0.1f);
    ModelGrid none;
    std::string error;
    EXPECT_FALSE(ComputeFaultDisplacement(set, like, 12.0, &none, &error));
    EXPECT_FALSE(ComputeFaultDisplacement(set, MakeGrid(5, 5, 10, 11, 40, 41), std::nullopt, &none, &error));
    EXPECT_NE(error.find("degrees"), std::string::npos) << error;
    EXPECT_FALSE(ComputeFaultDisplacement(Parse(kTrenchFault), like, std::nullopt, &none, &error));
    EXPECT_NE(error.find("Cartesian"), std::string::npos) << error;
}

// A fault reaching the sea floor exactly (top edge at depth 0) is accepted; nodes on its corners,
// where Okada's terms are singular, still get finite values.
TEST(FaultGeometry, SurfaceBreakingFaultStaysFinite) {
    for (const auto& [dip, depth] : {std::pair<std::string, double>{"90", 5.0}, {"30", 2.5}}) {
        const ModelGrid u = Displacement(Parse("[[faults]]\nx = 0\ny = 0\nreference = \"centroid\"\ndepth = " +
                                               std::to_string(depth) + "\nstrike = 0\ndip = " + dip +
                                               "\nrake = 45\nslip = 1\nopening = 0.5\nlength = 20\nwidth = 10\n"),
                                         MakeGrid(21, 21, -20000, 20000, -20000, 20000));
        for (float v : u.values) ASSERT_TRUE(std::isfinite(v)) << dip;
        EXPECT_GT(MaxAbs(u), 0.1f) << dip;
    }
}

// Every key lands in its own field; every input check names the file, the fault and the key.
TEST(FaultFileInput, ReadsValuesAndRejectsBadInput) {
    const FaultSet set = Parse("poisson = 0.3\nhorizontal = true\n[[faults]]\nname = \"a\"\nlongitude = 140\nlatitude = -38.5\n"
                               "reference = \"top-left\"\ndepth = 5\nstrike = 195\ndip = 12\nrake = 90\nslip = 10\n"
                               "length = 200\nwidth = 80\nopening = 0.25\nrupture_time = 60\n");
    ASSERT_EQ(set.faults.size(), 1u);
    const Fault& f = set.faults[0];
    EXPECT_TRUE(set.geographic && set.horizontal && f.name == "a" && f.reference == FaultReference::TopLeft);
    EXPECT_EQ((std::vector<double>{set.poisson, f.x, f.y, f.depthKm, f.strike, f.dip, f.rake, f.slip, f.lengthKm, f.widthKm,
                                   f.opening, f.ruptureTime}),
              (std::vector<double>{0.3, 140, -38.5, 5, 195, 12, 90, 10, 200, 80, 0.25, 60}));
    EXPECT_EQ(Parse(kTrenchFault).poisson, 0.25);

    // Each case replaces `from` in the trench fault by `to` (an empty `from`: the whole text).
    struct Case {
        std::string from, to, expected, alsoExpected;
    };
    const std::string label = "faults.toml: fault 1 (\"trench\"): ";
    const std::string second = "width = 50.0\n[[faults]]\n";
    const std::vector<Case> cases = {
        {"dip = 15.0", "dip = 95", label + "'dip' must lie in (0, 90]", "got 95"},
        {"dip = 15.0", "dip = 0", label + "'dip' must lie in (0, 90]", ""},
        {"dip = 15.0", "dip = -10", label + "'dip'", ""},
        {"length = 100.0", "length = 0", label + "'length' must be positive", ""},
        {"width = 50.0", "width = -3", label + "'width' must be positive", ""},
        {"depth = 5.0", "depth = 0", label + "'depth' must be positive", ""},
        {"reference = \"top-centre\"", "reference = \"centroid\"", label + "'depth'", "above the sea floor"},
        {"slip = 5.0", "slip = 5.0\nrigidity = 3e10", label + "'rigidity' is not a known key", ""},
        {"dip = 15.0", "dip = \"steep\"", label + "'dip' must be a number, got a string", ""},
        {"dip = 15.0", "", label + "'dip' is missing", ""},
        {"reference = \"top-centre\"", "reference = \"top-right\"", label + "'reference' must be", ""},
        {"reference = \"top-centre\"", "reference = 3", label + "'reference' must be a string", ""},
        {"latitude = 38.0", "latitude = 95.0", label + "'latitude' must lie in [-90, 90]", ""},
        {"latitude = 38.0", "latitude = 38.0\nx = 5", label + "'x' cannot be combined", ""},
        {"latitude = 38.0", "", label + "'latitude' is missing", ""},
        {"slip = 5.0", "slip = nan", label + "'slip' must be finite", ""},
        {"slip = 5.0", "slip = -1", label + "'slip' must not be negative", ""},
        {"[[faults]]", "horizontal = 1\n[[faults]]", "faults.toml: 'horizontal' must be true or false", ""},
        {"[[faults]]", "poisson = 0.5\n[[faults]]", "faults.toml: 'poisson' must lie in (-1, 0.5)", ""},
        {"[[faults]]", "poison = 0.3\n[[faults]]", "faults.toml: 'poison' is not a known key", ""},
        {"name = \"trench\"", "name = \"trench\"\nname = \"again\"", "faults.toml:4:", ""},
        // A second, unnamed fault is named by its position; mixed coordinates are refused.
        {"width = 50.0", second + "longitude = 141\nlatitude = 38\n", "faults.toml: fault 2: 'reference' is missing", ""},
        {"width = 50.0", second + "x = 1\ny = 2\n", "fault 2: 'x' cannot be used here", ""},
        {"", "faults = 3\n", "'faults' must be an array", ""},
        {"", "poisson = 0.25\n", "'faults' is missing", ""},
    };
    for (const Case& c : cases) {
        std::string text = c.from.empty() ? c.to : kTrenchFault;
        if (!c.from.empty()) text.replace(text.find(c.from), c.from.size(), c.to);
        FaultSet out;
        std::string error;
        EXPECT_FALSE(ParseFaultText(text, "faults.toml", &out, &error)) << c.to;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error << "\n  wanted: " << c.expected;
        EXPECT_NE(error.find(c.alsoExpected), std::string::npos) << error << "\n  wanted: " << c.alsoExpected;
    }
    FaultSet out;
    std::string error;
    EXPECT_FALSE(ReadFaultFile("/nonexistent/faults.toml", &out, &error));
    EXPECT_NE(error.find("/nonexistent/faults.toml: cannot open"), std::string::npos) << error;
}

namespace {
// An HA grid as another tool writes it: float LAT (10, 11) and LON (20, 20.5, 21) and HA(LAT, LON)
// holding 1..6, or, with `records`, an unfilled HA(TIME, LAT, LON).
void WriteForeignHa(const std::string& path, int records = 0) {
    int ncid, time = 0, lat, lon, latVar, lonVar, ha;
    ASSERT_EQ(nc_create(path.c_str(), NC_CLOBBER, &ncid), NC_NOERR);
    if (records > 0) nc_def_dim(ncid, "TIME", records, &time);
    nc_def_dim(ncid, "LAT", 2, &lat);
    nc_def_dim(ncid, "LON", 3, &lon);
    nc_def_var(ncid, "LAT", NC_FLOAT, 1, &lat, &latVar);
    nc_def_var(ncid, "LON", NC_FLOAT, 1, &lon, &lonVar);
    const int dims[3] = {time, lat, lon};
    nc_def_var(ncid, "HA", NC_FLOAT, records > 0 ? 3 : 2, records > 0 ? dims : dims + 1, &ha);
    nc_enddef(ncid);
    const float lats[2] = {10, 11}, lons[3] = {20, 20.5, 21}, values[6] = {1, 2, 3, 4, 5, 6};
    nc_put_var_float(ncid, latVar, lats);
    nc_put_var_float(ncid, lonVar, lons);
    if (records == 0) nc_put_var_float(ncid, ha, values);
    ASSERT_EQ(nc_close(ncid), NC_NOERR);
}
}  // namespace

// Grids written and read back in both formats keep size, extent and every value exactly, leave
// no temporary file behind, and read the same through GDAL (Surfer) and the netCDF library.
TEST(ModelGridFiles, RoundTripAndIndependentReaders) {
    ScratchFolder dir;
    GDALAllRegister();
    CPLPushErrorHandler(CPLQuietErrorHandler);  // GDAL's notes on 1-pixel-wide and record dimensions
    for (const auto& [nx, ny] : std::vector<std::pair<int, int>>{{7, 4}, {1, 5}, {6, 1}}) {
        SCOPED_TRACE(std::to_string(nx) + "x" + std::to_string(ny));
        ModelGrid grid = MakeGrid(nx, ny, nx > 1 ? 0.1 : 2.5, 2.5, ny > 1 ? -1.0 / 3.0 : 7.7, 7.7);
        for (int row = 0; row < ny; ++row)
            for (int col = 0; col < nx; ++col)
                grid.At(col, row) = static_cast<float>(100 * row + col) + 1.0f / 3.0f - (row == 1 ? 1e-7f * col : 0.0f);
        grid.values[0] = -1.17549435e-38f;
        for (const std::string name : {"grid.grd", "grid.GRD", "grid.nc", "grid"}) {
            std::string error;
            ASSERT_TRUE(WriteModelGrid(dir / name, grid, &error)) << error;
            ModelGrid back;
            ASSERT_TRUE(ReadModelGrid(dir / name, &back, &error)) << error;
            EXPECT_EQ((std::vector<double>{double(back.nx), double(back.ny), back.xMin, back.xMax, back.yMin, back.yMax}),
                      (std::vector<double>{double(nx), double(ny), grid.xMin, grid.xMax, grid.yMin, grid.yMax}))
                << name;
            EXPECT_EQ(std::memcmp(back.values.data(), grid.values.data(), grid.values.size() * sizeof(float)), 0) << name;
        }
        for (const auto& entry : fs::directory_iterator(dir.Path()))
            EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
        // Both files through GDAL: rows from the north, node-registered; the Surfer header holds
        // the z range, and netCDF's HA has a leading dimension of length 1.
        for (const std::string name : {"grid.grd", "grid.nc"}) {
            GDALDatasetH dataset = GDALOpen((dir / name).c_str(), GA_ReadOnly);
            ASSERT_NE(dataset, nullptr) << name;
            ASSERT_EQ(GDALGetRasterXSize(dataset), nx);
            ASSERT_EQ(GDALGetRasterYSize(dataset), ny);
            ASSERT_EQ(GDALGetRasterCount(dataset), 1);
            double transform[6];
            if (nx > 1 && ny > 1) {
                ASSERT_EQ(GDALGetGeoTransform(dataset, transform), CE_None);
                EXPECT_NEAR(transform[0], grid.xMin - 0.5 * grid.DeltaX(), 1e-12) << name;
                EXPECT_NEAR(transform[3], grid.yMax + 0.5 * grid.DeltaY(), 1e-12) << name;
            }
            GDALRasterBandH band = GDALGetRasterBand(dataset, 1);
            std::vector<float> rows(grid.values.size());
            ASSERT_EQ(GDALRasterIO(band, GF_Read, 0, 0, nx, ny, rows.data(), nx, ny, GDT_Float32, 0, 0), CE_None);
            for (int row = 0; row < ny; ++row)
                for (int col = 0; col < nx; ++col) EXPECT_EQ(rows[(ny - 1 - row) * nx + col], grid.At(col, row)) << name;
            int known = 0;
            if (name == "grid.grd") {
                EXPECT_EQ(static_cast<float>(GDALGetRasterMinimum(band, &known)), grid.values[0]);
                EXPECT_EQ(static_cast<float>(GDALGetRasterMaximum(band, &known)), grid.values.back());
            } else {
                EXPECT_NE(GDALGetMetadataItem(dataset, "NETCDF_DIM_EXTRA", nullptr), nullptr);
            }
            GDALClose(dataset);
        }
    }
    CPLPopErrorHandler();
    // A two-dimensional HA written by another tool is read too.
    WriteForeignHa(dir / "plain.nc");
    ModelGrid back;
    std::string error;
    ASSERT_TRUE(ReadModelGrid(dir / "plain.nc", &back, &error)) << error;
    EXPECT_EQ((std::vector<double>{double(back.nx), double(back.ny), back.xMin, back.xMax, back.yMin, back.yMax, back.At(1, 1)}),
              (std::vector<double>{3, 2, 20, 21, 10, 11, 5}));
}

// Refused grid files leave the grid untouched; a failed write leaves nothing behind, and a bad
// grid is refused before any file is touched.
TEST(ModelGridFiles, RejectsBadFiles) {
    ScratchFolder dir;
    WriteForeignHa(dir / "two.nc", 2);
    struct Case {
        std::string name, text, expected;  // empty text: the file is already there
    };
    const std::vector<Case> cases = {
        {"short.grd", "DSAA\n2 2\n0 1\n0 1\n0 3\n0 1 2\n", "ends after 3 of 4 values"},
        {"word.grd", "DSAAX\n2 2\n0 1\n0 1\n0 3\n0 1 2 3\n", "not a Surfer text grid"},
        {"binary.grd", "DSBB\n", "not a Surfer text grid"},
        {"lower.grd", "dsaa\n2 2\n0 1\n0 1\n0 3\n0 1 2 3\n", "not a Surfer text grid"},
        {"size.grd", "DSAA\n0 2\n0 1\n0 1\n0 3\n", "out of range"},
        {"overflow.grd", "DSAA\n100000 100000\n0 1\n0 1\n0 3\n1\n", "out of range"},
        {"huge.grd", "DSAA\n40000 40000\n0 1\n0 1\n0 3\n1\n", "fewer than"},
        {"text.grd", "DSAA\n2 1\n0 1\n0 1\n0 3\n0 x\n", "value 2 of 2"},
        {"extent.grd", "DSAA\n2 1\n0 inf\n0 1\n0 3\n0 1\n", "not a finite number"},
        {"bad.nc", "not netcdf", "bad.nc:"},
        {"two.nc", "", "2 records"},  // HA with two records does not describe one grid
    };
    for (const Case& c : cases) {
        if (!c.text.empty()) WriteFile(dir / c.name, c.text);
        ModelGrid grid;
        grid.nx = 99;
        std::string error;
        EXPECT_FALSE(ReadModelGrid(dir / c.name, &grid, &error)) << c.name;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(grid.nx, 99) << c.name;
    }
    const ModelGrid good = MakeGrid(2, 2, 0, 1, 0, 1);
    std::string error;
    EXPECT_FALSE(WriteModelGrid(dir / "missing/out.grd", good, &error));
    EXPECT_FALSE(WriteModelGrid(dir / "missing/out.nc", good, &error));
    ModelGrid wrong = good;
    wrong.values.pop_back();
    WriteFile(dir / "keep.grd", "DSAA\n");
    EXPECT_FALSE(WriteModelGrid(dir / "keep.grd", wrong, &error));
    EXPECT_EQ(ReadFile(dir / "keep.grd"), "DSAA\n");
}

TEST(OkadaCommand, WritesDisplacementOfTheLikeGrid) {
    ScratchFolder dir;
    std::string error;
    const ModelGrid bathymetry = SlopeGrid(49, 37);
    ASSERT_TRUE(WriteModelGrid(dir / "bathymetry.nc", bathymetry, &error)) << error;
    WriteFile(dir / "faults.toml", kTrenchFault);
    const ModelGrid expected = Displacement(Parse(kTrenchFault), bathymetry);
    EXPECT_GT(MaxAbs(expected), 1.0f);
    // Surfer output with -o, netCDF with --output and --like=GRID.
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
        EXPECT_EQ((std::vector<double>{double(written.nx), double(written.ny), written.xMin, written.yMax}),
                  (std::vector<double>{49, 37, 139.8, 38.9}));
        EXPECT_EQ(written.values, expected.values) << name;
    }
    // Malformed command lines give 2, bad input 1, and neither writes a file.
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunOkadaCommand({dir / "faults.toml", "-o", dir / "x.grd"}), 2);
    EXPECT_EQ(RunOkadaCommand({dir / "faults.toml", "--like", dir / "bathymetry.nc", "-o"}), 2);
    EXPECT_EQ(RunOkadaCommand({dir / "faults.toml", "--bogus"}), 2);
    WriteFile(dir / "bad.toml", std::string(kTrenchFault) + "magnitude = 8\n");
    EXPECT_EQ(RunOkadaCommand({dir / "bad.toml", "--like", dir / "bathymetry.nc", "-o", dir / "bad.grd"}), 1);
    const std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_NE(messages.find("'magnitude' is not a known key"), std::string::npos) << messages;
    EXPECT_FALSE(fs::exists(dir / "bad.grd"));
    EXPECT_FALSE(fs::exists(dir / "x.grd"));
}
