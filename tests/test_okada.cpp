// Earthquake sources: Okada's closed-form displacement, fault files, model grids and the
// `vestra okada` command.
#include <gdal.h>
#include <gtest/gtest.h>
#include <netcdf.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <unistd.h>
#include <vector>

#include "ExampleGenerator.h"
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

// Half a unit in the last of four printed significant digits.
double PrintedTolerance(double printed) { return 0.5e-3 * std::pow(10.0, std::floor(std::log10(std::abs(printed)))); }

void ExpectPrinted(const OkadaDisplacement& u, double ux, double uy, double uz, const char* what) {
    SCOPED_TRACE(what);
    if (ux == 0.0) EXPECT_NEAR(u.ux, 0.0, 1e-12); else EXPECT_NEAR(u.ux, ux, PrintedTolerance(ux));
    if (uy == 0.0) EXPECT_NEAR(u.uy, 0.0, 1e-12); else EXPECT_NEAR(u.uy, uy, PrintedTolerance(uy));
    if (uz == 0.0) EXPECT_NEAR(u.uz, 0.0, 1e-12); else EXPECT_NEAR(u.uz, uz, PrintedTolerance(uz));
}

void ExpectClose(const OkadaDisplacement& a, const OkadaDisplacement& b, double tolerance) {
    EXPECT_NEAR(a.ux, b.ux, tolerance);
    EXPECT_NEAR(a.uy, b.uy, tolerance);
    EXPECT_NEAR(a.uz, b.uz, tolerance);
}

ModelGrid MakeGrid(int nx, int ny, double xMin, double xMax, double yMin, double yMax) {
    ModelGrid grid;
    grid.nx = nx;
    grid.ny = ny;
    grid.xMin = xMin;
    grid.xMax = xMax;
    grid.yMin = yMin;
    grid.yMax = yMax;
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

// Okada (1985), Table 2, case 2: x = 2, y = 3, d = 4, dip 70, L = 3, W = 2, unit dislocation,
// Poisson solid. Case 3 (x = y = 0, vertical fault) sits on the singular edge q = 0, xi = 0.
TEST(OkadaSolution, MatchesOkadaTable2) {
    ExpectPrinted(OkadaSurfaceDisplacement(2, 3, 4, 70, 3, 2, 1, 0, 0, kPoissonSolid), -8.689e-3, -4.298e-3, -2.747e-3,
                  "case 2 strike slip");
    ExpectPrinted(OkadaSurfaceDisplacement(2, 3, 4, 70, 3, 2, 0, 1, 0, kPoissonSolid), -4.682e-3, -3.527e-2, -3.564e-2,
                  "case 2 dip slip");
    ExpectPrinted(OkadaSurfaceDisplacement(2, 3, 4, 70, 3, 2, 0, 0, 1, kPoissonSolid), -2.660e-4, 1.056e-2, 3.214e-3,
                  "case 2 tensile");
    ExpectPrinted(OkadaSurfaceDisplacement(0, 0, 4, 90, 3, 2, 1, 0, 0, kPoissonSolid), 0.0, 5.253e-3, 0.0,
                  "case 3 strike slip");
    ExpectPrinted(OkadaSurfaceDisplacement(0, 0, 4, 90, 3, 2, 0, 1, 0, kPoissonSolid), 0.0, 0.0, 0.0, "case 3 dip slip");
    ExpectPrinted(OkadaSurfaceDisplacement(0, 0, 4, 90, 3, 2, 0, 0, 1, kPoissonSolid), 1.223e-2, 0.0, -1.606e-2,
                  "case 3 tensile");
    // The three components add linearly.
    const OkadaDisplacement all = OkadaSurfaceDisplacement(2, 3, 4, 70, 3, 2, 0.3, -1.2, 0.7, kPoissonSolid);
    const OkadaDisplacement s = OkadaSurfaceDisplacement(2, 3, 4, 70, 3, 2, 1, 0, 0, kPoissonSolid);
    const OkadaDisplacement d = OkadaSurfaceDisplacement(2, 3, 4, 70, 3, 2, 0, 1, 0, kPoissonSolid);
    const OkadaDisplacement t = OkadaSurfaceDisplacement(2, 3, 4, 70, 3, 2, 0, 0, 1, kPoissonSolid);
    ExpectClose(all, {0.3 * s.ux - 1.2 * d.ux + 0.7 * t.ux, 0.3 * s.uy - 1.2 * d.uy + 0.7 * t.uy,
                      0.3 * s.uz - 1.2 * d.uz + 0.7 * t.uz}, 1e-15);
}

// A vertical fault: the special forms for cos(dip) = 0 join the general ones continuously, and
// the pattern has the symmetries of the source about the fault plane and the fault's centre.
TEST(OkadaSolution, VerticalFaultSymmetry) {
    const double L = 10, W = 5, d = 8, centre = L / 2;
    // Approaching 90 degrees the motion changes smoothly, by at most about its own size per radian
    // of dip; a loss of precision in the 1/cos(dip) terms of the general forms would show here.
    for (int kind = 0; kind < 3; ++kind) {
        for (double x : {-2.0, 0.0, 3.0, 6.5, 14.0}) {
            for (double y : {0.01, 0.7, 2.0, 9.0, -3.0}) {
                const auto at = [&](double dip) {
                    return OkadaSurfaceDisplacement(x, y, d, dip, L, W, kind == 0, kind == 1, kind == 2, kPoissonSolid);
                };
                const OkadaDisplacement vertical = at(90.0);
                for (double dip : {89.9, 89.99, 89.998, 89.9988, 89.9999, 89.99999}) {
                    const double change = 2.0 * (90.0 - dip) * kDeg;
                    ExpectClose(at(dip), vertical, change);
                }
            }
        }
    }
    for (double s : {0.5, 1.5, 7.0}) {
        for (double y : {0.3, 2.0, 6.0}) {
            const auto at = [&](double sx, double sy, double ss, double ds) {
                return OkadaSurfaceDisplacement(centre + sx, sy, d, 90, L, W, ss, ds, 0, kPoissonSolid);
            };
            // Strike slip: uz antisymmetric across the plane and about the centre (four lobes).
            const OkadaDisplacement a = at(s, y, 1, 0), b = at(-s, y, 1, 0), c = at(s, -y, 1, 0);
            EXPECT_NEAR(a.uz, -b.uz, 1e-14);
            EXPECT_NEAR(a.uz, -c.uz, 1e-14);
            EXPECT_NEAR(a.ux, b.ux, 1e-14);
            EXPECT_NEAR(a.ux, -c.ux, 1e-14);
            EXPECT_NEAR(a.uy, -b.uy, 1e-14);
            EXPECT_NEAR(a.uy, c.uy, 1e-14);
            EXPECT_GT(std::abs(a.uz), 1e-5);
            // Dip slip: one side rises (the hanging wall, -y), the other sinks by as much.
            const OkadaDisplacement e = at(s, y, 0, 1), f = at(-s, y, 0, 1), g = at(s, -y, 0, 1);
            EXPECT_NEAR(e.uz, -g.uz, 1e-14);
            EXPECT_NEAR(e.uz, f.uz, 1e-14);
            EXPECT_GT(g.uz, 0.0);
        }
    }
}

// Far from the source the surface motion falls off like a point source's, as 1/r^2.
TEST(OkadaSolution, VanishesFarFromTheFault) {
    for (double dip : {20.0, 70.0, 90.0}) {
        SCOPED_TRACE(dip);
        const double r1 = 5000.0, r2 = 10000.0;  // km from a 10 km x 5 km fault, 1 m slip
        const OkadaDisplacement near = OkadaSurfaceDisplacement(5 + r1 * 0.6, r1 * 0.8, 10, dip, 10, 5, 0.5, 0.8, 0.2, kPoissonSolid);
        const OkadaDisplacement far = OkadaSurfaceDisplacement(5 + r2 * 0.6, r2 * 0.8, 10, dip, 10, 5, 0.5, 0.8, 0.2, kPoissonSolid);
        const double nearSize = std::hypot(near.ux, near.uy, near.uz), farSize = std::hypot(far.ux, far.uy, far.uz);
        EXPECT_LT(nearSize, 1e-6);
        EXPECT_GT(nearSize, 0.0);
        EXPECT_NEAR(nearSize / farSize, 4.0, 0.05);
    }
}

// Two halves of a fault, split along strike or along dip, move the surface as the whole does.
TEST(OkadaSolution, HalfFaultsSumToTheWholeFault) {
    const double L = 30, W = 12, d = 15, dip = 35;
    const double sd = std::sin(dip * kDeg), cd = std::cos(dip * kDeg);
    for (double x : {-20.0, 3.0, 15.0, 29.0, 60.0}) {
        for (double y : {-25.0, 0.0, 4.0, 9.8, 30.0}) {
            const auto whole = OkadaSurfaceDisplacement(x, y, d, dip, L, W, 0.6, 0.9, 0.3, kPoissonSolid);
            const auto first = OkadaSurfaceDisplacement(x, y, d, dip, L / 2, W, 0.6, 0.9, 0.3, kPoissonSolid);
            const auto second = OkadaSurfaceDisplacement(x - L / 2, y, d, dip, L / 2, W, 0.6, 0.9, 0.3, kPoissonSolid);
            ExpectClose(whole, {first.ux + second.ux, first.uy + second.uy, first.uz + second.uz}, 1e-12);
            const auto lower = OkadaSurfaceDisplacement(x, y, d, dip, L, W / 2, 0.6, 0.9, 0.3, kPoissonSolid);
            const auto upper = OkadaSurfaceDisplacement(x, y - W / 2 * cd, d - W / 2 * sd, dip, L, W / 2, 0.6, 0.9, 0.3,
                                                        kPoissonSolid);
            ExpectClose(whole, {lower.ux + upper.ux, lower.uy + upper.uy, lower.uz + upper.uz}, 1e-12);
        }
    }
    // The same holds for rotated faults placed in east/north coordinates.
    const FaultPlane full = PlaneFromReference(FaultReference::TopLeft, 1000, -2000, 4000, 237, 28, 110, 3, 0.5, 40000, 20000);
    const FaultPlane half1 = PlaneFromReference(FaultReference::TopLeft, 1000, -2000, 4000, 237, 28, 110, 3, 0.5, 20000, 20000);
    const double s = std::sin(237 * kDeg), c = std::cos(237 * kDeg);
    const FaultPlane half2 =
        PlaneFromReference(FaultReference::TopLeft, 1000 + 20000 * s, -2000 + 20000 * c, 4000, 237, 28, 110, 3, 0.5, 20000, 20000);
    for (double e : {-30000.0, 0.0, 25000.0}) {
        for (double n : {-40000.0, 5000.0, 12000.0}) {
            const auto w = FaultSurfaceDisplacement(full, e, n, kPoissonSolid);
            const auto a = FaultSurfaceDisplacement(half1, e, n, kPoissonSolid);
            const auto b = FaultSurfaceDisplacement(half2, e, n, kPoissonSolid);
            EXPECT_NEAR(w.east, a.east + b.east, 1e-10);
            EXPECT_NEAR(w.north, a.north + b.north, 1e-10);
            EXPECT_NEAR(w.up, a.up + b.up, 1e-10);
        }
    }
}

// One fault described from its centroid, the middle of its top edge and its top-left corner
// (start of the top edge along strike), worked out by hand for strike 90 (east), dip 30, so the
// fault dips south and the up-dip direction is north.
TEST(FaultGeometry, ReferencePointsDescribeTheSameFault) {
    const double dipCos = std::cos(30 * kDeg);
    const std::string common = "strike = 90\ndip = 30\nrake = 75\nslip = 2.0\nlength = 40\nwidth = 20\n";
    const std::string centroid = "[[faults]]\nx = 0\ny = 0\ndepth = 15\nreference = \"centroid\"\n" + common;
    const std::string topCentre = "[[faults]]\nx = 0\ny = " + std::to_string(10000 * dipCos) +
                                  "\ndepth = 10\nreference = \"top-centre\"\n" + common;
    const std::string topLeft = "[[faults]]\nx = -20000\ny = " + std::to_string(10000 * dipCos) +
                                "\ndepth = 10\nreference = \"top-left\"\n" + common;
    const ModelGrid like = MakeGrid(41, 31, -100000, 100000, -75000, 75000);
    const ModelGrid a = Displacement(Parse(centroid), like);
    const ModelGrid b = Displacement(Parse(topCentre), like);
    const ModelGrid c = Displacement(Parse(topLeft), like);
    const float scale = MaxAbs(a);
    EXPECT_GT(scale, 0.1f);
    for (std::size_t k = 0; k < a.values.size(); ++k) {
        EXPECT_NEAR(a.values[k], b.values[k], 1e-5 * scale);
        EXPECT_NEAR(a.values[k], c.values[k], 1e-5 * scale);
    }
    // The fault's top edge runs east-west at y = 8660 m; a thrust raises the hanging wall south of it.
    int best = 0;
    for (std::size_t k = 0; k < a.values.size(); ++k)
        if (a.values[k] > a.values[best]) best = static_cast<int>(k);
    EXPECT_LT(like.Y(best / like.nx), 10000 * dipCos);
    EXPECT_GT(like.Y(best / like.nx), -10000 * dipCos);
}

// On a spherical grid the fault sees each node at its great-circle distance and azimuth: near
// the reference point that matches a Cartesian grid with x = R cos(lat0) dlon, y = R dlat.
TEST(FaultGeometry, SphericalGridMatchesLocalPlane) {
    for (double lat0 : {0.0, 60.0}) {
        SCOPED_TRACE(lat0);
        const double lon0 = 150.0, half = 0.25;
        const std::string body = "reference = \"centroid\"\ndepth = 12\nstrike = 30\ndip = 40\nrake = 60\nslip = 1.5\n"
                                 "length = 12\nwidth = 8\n";
        const FaultSet geographic =
            Parse("[[faults]]\nlongitude = 150.0\nlatitude = " + std::to_string(lat0) + "\n" + body);
        const FaultSet cartesian = Parse("[[faults]]\nx = 0\ny = 0\n" + body);
        const ModelGrid sphere = MakeGrid(26, 21, lon0 - half, lon0 + half, lat0 - half, lat0 + half);
        const double ex = kRadius * std::cos(lat0 * kDeg) * half * kDeg, ny = kRadius * half * kDeg;
        const ModelGrid plane = MakeGrid(26, 21, -ex, ex, -ny, ny);
        const ModelGrid a = Displacement(geographic, sphere), b = Displacement(cartesian, plane);
        const float scale = MaxAbs(b);
        EXPECT_GT(scale, 0.05f);
        for (std::size_t k = 0; k < a.values.size(); ++k) EXPECT_NEAR(a.values[k], b.values[k], 0.01f * scale);
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
        const double initial = azimuth(c[0], c[1], p0, p, 1.0);
        const double final = azimuth(c[2], c[3], p, p0, -1.0);
        EXPECT_NEAR(std::hypot(local.east, local.north), distance, 1e-6 * distance);
        EXPECT_NEAR(std::atan2(local.east, local.north), initial, 1e-9);
        EXPECT_NEAR(std::remainder(local.convergence - (final - initial), 2 * std::numbers::pi), 0.0, 1e-9);
    }
    const LocalPoint same = ProjectAzimuthalEquidistant(140, 38, 140, 38);
    EXPECT_EQ(same.east, 0.0);
    EXPECT_EQ(same.north, 0.0);
}

// A thrust under a continental slope (deep sea to the west, coast to the east; the trench runs
// north and the fault dips east, under the land): uplift over the fault on the hanging-wall
// side, subsidence landward of it, little motion on the footwall.
TEST(FaultGeometry, ThrustUnderSlopeRaisesHangingWall) {
    ModelGrid like = MakeGrid(81, 61, 139.8, 142.2, 37.1, 38.9);
    for (int row = 0; row < like.ny; ++row)
        for (int col = 0; col < like.nx; ++col) like.At(col, row) = static_cast<float>(200.0 + 1900.0 * (142.0 - like.X(col)));
    const ModelGrid u = Displacement(Parse(kTrenchFault), like);
    int up = 0, down = 0;
    for (int k = 0; k < static_cast<int>(u.values.size()); ++k) {
        if (u.values[k] > u.values[up]) up = k;
        if (u.values[k] < u.values[down]) down = k;
    }
    const double trench = 140.8;
    const double bottomEdge = trench + 50.0 * std::cos(15 * kDeg) / (kRadius / 1000 * kDeg * std::cos(38 * kDeg));
    EXPECT_GT(u.values[up], 1.0f);
    EXPECT_GT(like.X(up % u.nx), trench);
    EXPECT_LT(like.X(up % u.nx), bottomEdge);
    EXPECT_NEAR(like.Y(up / u.nx), 38.0, 0.1);
    EXPECT_LT(u.values[down], -0.2f);
    EXPECT_GT(like.X(down % u.nx), like.X(up % u.nx));
    const int mid = u.ny / 2;
    EXPECT_LT(std::abs(u.At(0, mid)), 0.1f * u.values[up]);

    // The hanging wall also moves seaward, towards deeper water, which lifts the water further.
    FaultSet withSlope = Parse(std::string("horizontal = true\n") + kTrenchFault);
    const ModelGrid h = Displacement(withSlope, like);
    EXPECT_GT(h.values[up], u.values[up]);
}

// The magnitude-8 subduction event of the user guide under the bundled example's slope: the
// trench lies in the eastern basin, the fault dips west under the slope and the shelf.
TEST(FaultGeometry, MagnitudeEightUnderTheBundledExample) {
    ScratchFolder dir;
    std::string error;
    ASSERT_TRUE(WriteRealisticExample(dir / "example", ExampleOptions{}, &error)) << error;
    ModelGrid like;
    ASSERT_TRUE(ReadModelGrid(dir / "example/bathymetry-level0.grd", &like, &error)) << error;
    const std::string fault = R"(
[[faults]]
name = "megathrust"
longitude = 141.6
latitude = 37.5
reference = "top-centre"
depth = 5.0
strike = 180.0
dip = 12.0
rake = 90.0
slip = 2.0
length = 200.0
width = 80.0
)";
    const ModelGrid u = Displacement(Parse(fault), like);
    const ModelGrid h = Displacement(Parse("horizontal = true\n" + fault), like);
    int up = 0, down = 0;
    for (int k = 0; k < static_cast<int>(u.values.size()); ++k) {
        if (u.values[k] > u.values[up]) up = k;
        if (u.values[k] < u.values[down]) down = k;
    }
    const double trench = 141.6;
    const double bottomEdge = trench - 80.0 * std::cos(12 * kDeg) / (kRadius / 1000 * kDeg * std::cos(37.5 * kDeg));
    // Uplift over the fault on the hanging-wall side (west of the trench), under the sea.
    EXPECT_GT(u.values[up], 0.5f);
    EXPECT_LT(u.values[up], 2.0f);
    EXPECT_LT(like.X(up % u.nx), trench);
    EXPECT_GT(like.X(up % u.nx), bottomEdge);
    EXPECT_GT(like.values[up], 150.0f);
    // Subsidence landward, beyond the deep end of the fault.
    EXPECT_LT(u.values[down], -0.1f);
    EXPECT_LT(like.X(down % u.nx), like.X(up % u.nx));
    // The footwall east of the trench hardly moves.
    EXPECT_LT(std::abs(u.At(u.nx - 1, u.ny / 2)), 0.05f * u.values[up]);
    // The hanging wall moves east, towards the deep basin, so the slope adds uplift wherever the
    // sea floor slopes down to the east above the fault; the flat basin gets nothing.
    int slopeNodes = 0;
    for (int col = 0; col < u.nx; ++col) {
        const int row = u.ny / 2;
        const float depth = like.At(col, row);
        if (depth > 500.0f && depth < 3500.0f && u.At(col, row) > 0.0f) {
            ++slopeNodes;
            EXPECT_GT(h.At(col, row), u.At(col, row) + 0.01f) << like.X(col);
        }
        const bool flat = col > 0 && col + 1 < u.nx && depth == 4000.0f && like.At(col - 1, row) == 4000.0f &&
                          like.At(col + 1, row) == 4000.0f;
        if (flat) {
            EXPECT_NEAR(h.At(col, row), u.At(col, row), 1e-6f);
        }
    }
    EXPECT_GT(slopeNodes, 5);
}

// The Tanioka-Satake term on a Cartesian plane slope H = 3000 - 0.02 x: exactly ue * dH/dx at wet
// nodes, nothing on land.
TEST(FaultGeometry, HorizontalTermOnPlaneSlope) {
    ModelGrid like = MakeGrid(41, 21, -100000, 100000, -50000, 50000);
    for (int row = 0; row < like.ny; ++row)
        for (int col = 0; col < like.nx; ++col) like.At(col, row) = static_cast<float>(3000.0 - 0.02 * like.X(col));
    like.At(40, 10) = -5.0f;  // one land node at the east edge
    const std::string fault = "[[faults]]\nx = 0\ny = 0\nreference = \"top-centre\"\ndepth = 3\nstrike = 10\ndip = 20\n"
                              "rake = 95\nslip = 4\nlength = 60\nwidth = 30\n";
    const FaultSet plain = Parse(fault), sloping = Parse("horizontal = true\n" + fault);
    const ModelGrid a = Displacement(plain, like), b = Displacement(sloping, like);
    const FaultPlane plane = PlaneFromReference(FaultReference::TopCentre, 0, 0, 3000, 10, 20, 95, 4, 0, 60000, 30000);
    double largest = 0.0;
    for (int row = 0; row < like.ny; ++row) {
        for (int col = 1; col < like.nx - 2; ++col) {
            const SurfaceDisplacement u = FaultSurfaceDisplacement(plane, like.X(col), like.Y(row), kPoissonSolid);
            EXPECT_NEAR(b.At(col, row) - a.At(col, row), -0.02 * u.east, 2e-6) << col << "," << row;
            largest = std::max(largest, std::abs(0.02 * u.east));
        }
    }
    EXPECT_GT(largest, 0.01);
    EXPECT_EQ(b.At(40, 10), a.At(40, 10));
}

TEST(FaultGeometry, RuptureTimesGroupFaults) {
    const std::string body = "reference = \"centroid\"\ndepth = 20\nstrike = 0\ndip = 20\nrake = 90\nslip = 3\nlength = 50\nwidth = 30\n";
    const FaultSet set = Parse("[[faults]]\nx = -40000\ny = 0\n" + body + "[[faults]]\nx = 0\ny = 50000\nrupture_time = 30\n" +
                               body + "[[faults]]\nx = 40000\ny = 0\n" + body);
    ASSERT_EQ(RuptureTimes(set), (std::vector<double>{0.0, 30.0}));
    const ModelGrid like = MakeGrid(31, 31, -150000, 150000, -150000, 150000);
    const ModelGrid all = Displacement(set, like), first = Displacement(set, like, 0.0), later = Displacement(set, like, 30.0);
    for (std::size_t k = 0; k < all.values.size(); ++k)
        EXPECT_NEAR(all.values[k], first.values[k] + later.values[k], 1e-6f);
    EXPECT_GT(MaxAbs(later), 0.1f);
    ModelGrid none;
    std::string error;
    EXPECT_FALSE(ComputeFaultDisplacement(set, like, 12.0, &none, &error));
    // Coordinates of the faults and of the grid must agree.
    const ModelGrid degrees = MakeGrid(5, 5, 10, 11, 40, 41);
    EXPECT_FALSE(ComputeFaultDisplacement(set, degrees, std::nullopt, &none, &error));
    EXPECT_NE(error.find("degrees"), std::string::npos) << error;
    EXPECT_FALSE(ComputeFaultDisplacement(Parse(kTrenchFault), like, std::nullopt, &none, &error));
    EXPECT_NE(error.find("Cartesian"), std::string::npos) << error;
}

// A fault reaching the sea floor exactly (top edge at depth 0) is accepted; nodes on its corners,
// where Okada's terms are singular, still get finite values.
TEST(FaultGeometry, SurfaceBreakingFaultStaysFinite) {
    for (const char* dip : {"90", "30"}) {
        SCOPED_TRACE(dip);
        const double sine = std::string(dip) == "90" ? 1.0 : 0.5;
        const std::string text = std::string("[[faults]]\nx = 0\ny = 0\nreference = \"centroid\"\ndepth = ") +
                                 std::to_string(5.0 * sine) + "\nstrike = 0\ndip = " + dip +
                                 "\nrake = 45\nslip = 1\nopening = 0.5\nlength = 20\nwidth = 10\n";
        const FaultSet set = Parse(text);
        const ModelGrid like = MakeGrid(21, 21, -20000, 20000, -20000, 20000);
        const ModelGrid u = Displacement(set, like);
        for (float v : u.values) ASSERT_TRUE(std::isfinite(v));
        EXPECT_GT(MaxAbs(u), 0.1f);
    }
}

TEST(FaultGeometry, SameResultWithOneOrTwoThreads) {
    const FaultSet set = Parse(std::string("horizontal = true\n") + kTrenchFault +
                               "[[faults]]\nlongitude = 141.0\nlatitude = 37.5\nreference = \"top-left\"\ndepth = 8\n"
                               "strike = 190\ndip = 60\nrake = -30\nslip = 2\nlength = 40\nwidth = 20\nopening = 0.5\n");
    ModelGrid like = MakeGrid(57, 43, 139.8, 142.2, 37.1, 38.9);
    for (std::size_t k = 0; k < like.values.size(); ++k) like.values[k] = static_cast<float>(100 + (k * 7919) % 4000);
    const int saved = omp_get_max_threads();
    omp_set_num_threads(1);
    const ModelGrid one = Displacement(set, like);
    omp_set_num_threads(2);
    const ModelGrid two = Displacement(set, like);
    omp_set_num_threads(saved);
    ASSERT_EQ(one.values.size(), two.values.size());
    EXPECT_EQ(std::memcmp(one.values.data(), two.values.data(), one.values.size() * sizeof(float)), 0);
}

// Every input check names the file, the fault and the key.
TEST(FaultFileInput, ReadsValuesAndRejectsBadInput) {
    const FaultSet set = Parse("poisson = 0.3\nhorizontal = true\n[[faults]]\nname = \"a\"\nlongitude = 140\nlatitude = -38.5\n"
                               "reference = \"top-left\"\ndepth = 5\nstrike = 195\ndip = 12\nrake = 90\nslip = 10\n"
                               "length = 200\nwidth = 80\nopening = 0.25\nrupture_time = 60\n");
    ASSERT_EQ(set.faults.size(), 1u);
    const Fault& f = set.faults[0];
    EXPECT_TRUE(set.geographic);
    EXPECT_TRUE(set.horizontal);
    EXPECT_EQ(set.poisson, 0.3);
    EXPECT_EQ(f.name, "a");
    EXPECT_EQ(f.reference, FaultReference::TopLeft);
    EXPECT_EQ(f.x, 140.0);
    EXPECT_EQ(f.y, -38.5);
    EXPECT_EQ(f.depthKm, 5.0);
    EXPECT_EQ(f.strike, 195.0);
    EXPECT_EQ(f.dip, 12.0);
    EXPECT_EQ(f.rake, 90.0);
    EXPECT_EQ(f.slip, 10.0);
    EXPECT_EQ(f.lengthKm, 200.0);
    EXPECT_EQ(f.widthKm, 80.0);
    EXPECT_EQ(f.opening, 0.25);
    EXPECT_EQ(f.ruptureTime, 60.0);
    EXPECT_EQ(Parse(kTrenchFault).poisson, 0.25);

    struct Case {
        std::string from, to;
        std::vector<std::string> expected;
    };
    const std::string label = "faults.toml: fault 1 (\"trench\"): ";
    const std::vector<Case> cases = {
        {"dip = 15.0", "dip = 95", {label + "'dip' must lie in (0, 90]", "got 95"}},
        {"dip = 15.0", "dip = 0", {label + "'dip' must lie in (0, 90]"}},
        {"dip = 15.0", "dip = -10", {label + "'dip'"}},
        {"length = 100.0", "length = 0", {label + "'length' must be positive"}},
        {"width = 50.0", "width = -3", {label + "'width' must be positive"}},
        {"depth = 5.0", "depth = 0", {label + "'depth' must be positive"}},
        {"reference = \"top-centre\"", "reference = \"centroid\"", {label + "'depth'", "above the sea floor"}},
        {"slip = 5.0", "slip = 5.0\nrigidity = 3e10", {label + "'rigidity' is not a known key"}},
        {"dip = 15.0", "dip = \"steep\"", {label + "'dip' must be a number, got a string"}},
        {"dip = 15.0", "", {label + "'dip' is missing"}},
        {"reference = \"top-centre\"", "reference = \"top-right\"", {label + "'reference' must be"}},
        {"reference = \"top-centre\"", "reference = 3", {label + "'reference' must be a string"}},
        {"latitude = 38.0", "latitude = 95.0", {label + "'latitude' must lie in [-90, 90]"}},
        {"latitude = 38.0", "latitude = 38.0\nx = 5", {label + "'x' cannot be combined"}},
        {"latitude = 38.0", "", {label + "'latitude' is missing"}},
        {"slip = 5.0", "slip = nan", {label + "'slip' must be finite"}},
        {"slip = 5.0", "slip = -1", {label + "'slip' must not be negative"}},
        {"[[faults]]", "horizontal = 1\n[[faults]]", {"faults.toml: 'horizontal' must be true or false"}},
        {"[[faults]]", "poisson = 0.5\n[[faults]]", {"faults.toml: 'poisson' must lie in (-1, 0.5)"}},
        {"[[faults]]", "poison = 0.3\n[[faults]]", {"faults.toml: 'poison' is not a known key"}},
        {"name = \"trench\"", "name = \"trench\"\nname = \"again\"", {"faults.toml:4:"}},
    };
    for (const Case& c : cases) {
        std::string text = kTrenchFault;
        text.replace(text.find(c.from), c.from.size(), c.to);
        FaultSet out;
        std::string error;
        EXPECT_FALSE(ParseFaultText(text, "faults.toml", &out, &error)) << c.to;
        for (const std::string& e : c.expected) EXPECT_NE(error.find(e), std::string::npos) << error << "\n  wanted: " << e;
    }
    // A second, unnamed fault is named by its position; mixed coordinates are refused.
    FaultSet out;
    std::string error;
    EXPECT_FALSE(ParseFaultText(std::string(kTrenchFault) + "[[faults]]\nlongitude = 141\nlatitude = 38\n", "f.toml", &out, &error));
    EXPECT_NE(error.find("f.toml: fault 2: 'reference' is missing"), std::string::npos) << error;
    EXPECT_FALSE(ParseFaultText(std::string(kTrenchFault) + "[[faults]]\nx = 1\ny = 2\n", "f.toml", &out, &error));
    EXPECT_NE(error.find("fault 2: 'x' cannot be used here"), std::string::npos) << error;
    EXPECT_FALSE(ParseFaultText("faults = 3\n", "f.toml", &out, &error));
    EXPECT_NE(error.find("'faults' must be an array"), std::string::npos) << error;
    EXPECT_FALSE(ParseFaultText("poisson = 0.25\n", "f.toml", &out, &error));
    EXPECT_NE(error.find("'faults' is missing"), std::string::npos) << error;
    EXPECT_FALSE(ReadFaultFile("/nonexistent/faults.toml", &out, &error));
    EXPECT_NE(error.find("/nonexistent/faults.toml: cannot open"), std::string::npos) << error;
}

// Grids written and read back in both formats keep size, extent and every value exactly; the
// files also read correctly through plain text extraction and the netCDF C library.
TEST(ModelGridFiles, RoundTripAndIndependentReaders) {
    ScratchFolder dir;
    for (const auto& shape : std::vector<std::pair<int, int>>{{7, 4}, {1, 5}, {6, 1}}) {
        const int nx = shape.first, ny = shape.second;
        ModelGrid grid = MakeGrid(nx, ny, nx > 1 ? 0.1 : 2.5, 2.5, ny > 1 ? -1.0 / 3.0 : 7.7, 7.7);
        for (int row = 0; row < ny; ++row)
            for (int col = 0; col < nx; ++col)
                grid.At(col, row) = static_cast<float>(100 * row + col) + 1.0f / 3.0f - (row == 1 ? 1e-7f * col : 0.0f);
        grid.values[0] = -1.17549435e-38f;
        for (const std::string name : {"grid.grd", "grid.GRD", "grid.nc", "grid"}) {
            SCOPED_TRACE(name + " " + std::to_string(nx) + "x" + std::to_string(ny));
            const std::string path = dir / name;
            std::string error;
            ASSERT_TRUE(WriteModelGrid(path, grid, &error)) << error;
            ModelGrid back;
            ASSERT_TRUE(ReadModelGrid(path, &back, &error)) << error;
            EXPECT_EQ(back.nx, nx);
            EXPECT_EQ(back.ny, ny);
            EXPECT_EQ(back.xMin, grid.xMin);
            EXPECT_EQ(back.xMax, grid.xMax);
            EXPECT_EQ(back.yMin, grid.yMin);
            EXPECT_EQ(back.yMax, grid.yMax);
            EXPECT_EQ(std::memcmp(back.values.data(), grid.values.data(), grid.values.size() * sizeof(float)), 0);
            for (const auto& entry : fs::directory_iterator(dir / ""))
                EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
        }
        // Plain text extraction of the Surfer file.
        std::ifstream text(dir / "grid.grd");
        std::string keyword;
        int fileNx = 0, fileNy = 0;
        double x0, x1, y0, y1, z0, z1;
        text >> keyword >> fileNx >> fileNy >> x0 >> x1 >> y0 >> y1 >> z0 >> z1;
        EXPECT_EQ(keyword, "DSAA");
        EXPECT_EQ(fileNx, nx);
        EXPECT_EQ(fileNy, ny);
        EXPECT_EQ(x0, grid.xMin);
        EXPECT_EQ(y1, grid.yMax);
        EXPECT_EQ(static_cast<float>(z1), grid.values.back());
        for (std::size_t k = 0; k < grid.values.size(); ++k) {
            double v = 0;
            text >> v;
            EXPECT_EQ(static_cast<float>(v), grid.values[k]) << k;
        }
        // The Surfer file through GDAL, whose rows run from the north.
        GDALAllRegister();
        GDALDatasetH dataset = GDALOpen((dir / "grid.grd").c_str(), GA_ReadOnly);
        ASSERT_NE(dataset, nullptr);
        EXPECT_EQ(GDALGetRasterXSize(dataset), nx);
        EXPECT_EQ(GDALGetRasterYSize(dataset), ny);
        if (nx > 1 && ny > 1) {
            double transform[6];
            ASSERT_EQ(GDALGetGeoTransform(dataset, transform), CE_None);
            EXPECT_NEAR(transform[0], grid.xMin - 0.5 * grid.DeltaX(), 1e-12);
            EXPECT_NEAR(transform[3], grid.yMax + 0.5 * grid.DeltaY(), 1e-12);
        }
        std::vector<float> rows(grid.values.size());
        ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(dataset, 1), GF_Read, 0, 0, nx, ny, rows.data(), nx, ny, GDT_Float32, 0, 0),
                  CE_None);
        for (int row = 0; row < ny; ++row)
            for (int col = 0; col < nx; ++col) EXPECT_EQ(rows[(ny - 1 - row) * nx + col], grid.At(col, row));
        GDALClose(dataset);
        // The netCDF file through the C library.
        int ncid = 0, ha = 0, lat = 0, ndims = 0, dims[3];
        ASSERT_EQ(nc_open((dir / "grid.nc").c_str(), NC_NOWRITE, &ncid), NC_NOERR);
        ASSERT_EQ(nc_inq_varid(ncid, "HA", &ha), NC_NOERR);
        ASSERT_EQ(nc_inq_varid(ncid, "LAT", &lat), NC_NOERR);
        nc_inq_varndims(ncid, ha, &ndims);
        ASSERT_EQ(ndims, 3);
        nc_inq_vardimid(ncid, ha, dims);
        std::size_t lengths[3];
        for (int d = 0; d < 3; ++d) nc_inq_dimlen(ncid, dims[d], &lengths[d]);
        EXPECT_EQ(lengths[0], 1u);
        EXPECT_EQ(lengths[1], static_cast<std::size_t>(ny));
        EXPECT_EQ(lengths[2], static_cast<std::size_t>(nx));
        std::vector<double> lats(ny);
        nc_get_var_double(ncid, lat, lats.data());
        for (int row = 0; row < ny; ++row) EXPECT_NEAR(lats[row], grid.Y(row), 1e-12);
        const std::size_t start[3] = {0, static_cast<std::size_t>(ny - 1), static_cast<std::size_t>(nx - 1)};
        float last = 0;
        nc_get_var1_float(ncid, ha, start, &last);
        EXPECT_EQ(last, grid.At(nx - 1, ny - 1));
        nc_close(ncid);
    }
    // A two-dimensional HA written by another tool is read too.
    {
        int ncid, latDim, lonDim, latVar, lonVar, haVar;
        const std::string path = dir / "plain.nc";
        ASSERT_EQ(nc_create(path.c_str(), NC_CLOBBER, &ncid), NC_NOERR);
        nc_def_dim(ncid, "LAT", 2, &latDim);
        nc_def_dim(ncid, "LON", 3, &lonDim);
        nc_def_var(ncid, "LAT", NC_FLOAT, 1, &latDim, &latVar);
        nc_def_var(ncid, "LON", NC_FLOAT, 1, &lonDim, &lonVar);
        const int haDims[2] = {latDim, lonDim};
        nc_def_var(ncid, "HA", NC_FLOAT, 2, haDims, &haVar);
        nc_enddef(ncid);
        const float lats[2] = {10, 11}, lons[3] = {20, 20.5, 21}, ha[6] = {1, 2, 3, 4, 5, 6};
        nc_put_var_float(ncid, latVar, lats);
        nc_put_var_float(ncid, lonVar, lons);
        nc_put_var_float(ncid, haVar, ha);
        nc_close(ncid);
        ModelGrid back;
        std::string error;
        ASSERT_TRUE(ReadModelGrid(path, &back, &error)) << error;
        EXPECT_EQ(back.nx, 3);
        EXPECT_EQ(back.ny, 2);
        EXPECT_EQ(back.xMax, 21.0);
        EXPECT_EQ(back.yMin, 10.0);
        EXPECT_EQ(back.At(1, 1), 5.0f);
    }
}

TEST(ModelGridFiles, RejectsBadFiles) {
    ScratchFolder dir;
    struct Case {
        std::string name, text, expected;
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
    };
    for (const Case& c : cases) {
        WriteFile(dir / c.name, c.text);
        ModelGrid grid;
        grid.nx = 99;
        std::string error;
        EXPECT_FALSE(ReadModelGrid(dir / c.name, &grid, &error)) << c.name;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(grid.nx, 99) << c.name;
    }
    // HA with two records does not describe one grid.
    int ncid, t, la, lo, v;
    ASSERT_EQ(nc_create((dir / "two.nc").c_str(), NC_CLOBBER, &ncid), NC_NOERR);
    nc_def_dim(ncid, "TIME", 2, &t);
    nc_def_dim(ncid, "LAT", 2, &la);
    nc_def_dim(ncid, "LON", 2, &lo);
    nc_def_var(ncid, "LAT", NC_DOUBLE, 1, &la, &v);
    nc_def_var(ncid, "LON", NC_DOUBLE, 1, &lo, &v);
    const int dims[3] = {t, la, lo};
    nc_def_var(ncid, "HA", NC_FLOAT, 3, dims, &v);
    nc_close(ncid);
    ModelGrid grid;
    std::string error;
    EXPECT_FALSE(ReadModelGrid(dir / "two.nc", &grid, &error));
    EXPECT_NE(error.find("2 records"), std::string::npos) << error;
    // A failed write leaves nothing behind; a bad grid is refused before any file is touched.
    const ModelGrid good = MakeGrid(2, 2, 0, 1, 0, 1);
    EXPECT_FALSE(WriteModelGrid(dir / "missing/out.grd", good, &error));
    EXPECT_FALSE(WriteModelGrid(dir / "missing/out.nc", good, &error));
    ModelGrid wrong = good;
    wrong.values.pop_back();
    WriteFile(dir / "keep.grd", "DSAA\n");
    EXPECT_FALSE(WriteModelGrid(dir / "keep.grd", wrong, &error));
    std::ifstream kept(dir / "keep.grd");
    std::string content((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "DSAA\n");
}

TEST(OkadaCommand, WritesDisplacementOfTheLikeGrid) {
    ScratchFolder dir;
    ModelGrid bathymetry = MakeGrid(49, 37, 139.8, 142.2, 37.1, 38.9);
    for (int row = 0; row < bathymetry.ny; ++row)
        for (int col = 0; col < bathymetry.nx; ++col)
            bathymetry.At(col, row) = static_cast<float>(200.0 + 1900.0 * (142.0 - bathymetry.X(col)));
    std::string error;
    ASSERT_TRUE(WriteModelGrid(dir / "bathymetry.nc", bathymetry, &error)) << error;
    WriteFile(dir / "faults.toml", kTrenchFault);

    testing::internal::CaptureStdout();
    const int status = RunOkadaCommand({dir / "faults.toml", "--like", dir / "bathymetry.nc", "-o", dir / "source.grd"});
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, 0);
    EXPECT_NE(printed.find("source.grd: 1 fault on 49 x 37 nodes, uplift up to"), std::string::npos) << printed;
    ModelGrid written, expected;
    ASSERT_TRUE(ReadModelGrid(dir / "source.grd", &written, &error)) << error;
    FaultSet set;
    ASSERT_TRUE(ReadFaultFile(dir / "faults.toml", &set, &error));
    ASSERT_TRUE(ComputeFaultDisplacement(set, bathymetry, std::nullopt, &expected, &error));
    EXPECT_EQ(written.nx, 49);
    EXPECT_EQ(written.ny, 37);
    EXPECT_EQ(written.xMin, 139.8);
    EXPECT_EQ(written.yMax, 38.9);
    EXPECT_EQ(written.values, expected.values);
    EXPECT_GT(MaxAbs(written), 1.0f);

    // netCDF output by name, and the command-line and input failures.
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunOkadaCommand({dir / "faults.toml", "--like=" + dir / "bathymetry.nc", "--output", dir / "source.nc"}), 0);
    testing::internal::GetCapturedStdout();
    ModelGrid netcdf;
    ASSERT_TRUE(ReadModelGrid(dir / "source.nc", &netcdf, &error)) << error;
    EXPECT_EQ(netcdf.values, expected.values);

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
