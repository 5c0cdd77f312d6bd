#include "OkadaCommand.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>

namespace {

constexpr double kDegree = std::numbers::pi / 180.0;
constexpr double kEarthRadius = 6371008.0;  // m, mean radius as in the model's spherical metrics
constexpr double kMetresPerKm = 1000.0;
// Values at or above this are Surfer blanks (no data), not depths.
constexpr float kBlankThreshold = 1.0e30f;

bool Fail(std::string* error, const std::string& message) {
    if (error) *error = message;
    return false;
}

// Still-water depth gradient (dH/dx, dH/dy) at a node, in m per m: central differences, one-sided
// next to blanks or the grid's edge, zero where no neighbour has data.
void DepthGradient(const ModelGrid& grid, int col, int row, double metresX, double metresY, double* gx, double* gy) {
    auto valid = [&grid](int c, int r) {
        if (c < 0 || c >= grid.nx || r < 0 || r >= grid.ny) return false;
        const float v = grid.At(c, r);
        return std::isfinite(v) && v < kBlankThreshold;
    };
    auto difference = [&](int dc, int dr, double spacing) {
        const bool before = valid(col - dc, row - dr), after = valid(col + dc, row + dr);
        if (spacing == 0.0) return 0.0;
        if (before && after)
            return (static_cast<double>(grid.At(col + dc, row + dr)) - grid.At(col - dc, row - dr)) / (2.0 * spacing);
        if (after) return (static_cast<double>(grid.At(col + dc, row + dr)) - grid.At(col, row)) / spacing;
        if (before) return (static_cast<double>(grid.At(col, row)) - grid.At(col - dc, row - dr)) / spacing;
        return 0.0;
    };
    *gx = difference(1, 0, metresX);
    *gy = difference(0, 1, metresY);
}

// Trigonometry of one latitude, shared by every node of a grid row.
struct NodeLatitude {
    explicit NodeLatitude(double lat) : phi(lat * kDegree), sine(std::sin(phi)), cosine(std::cos(phi)) {}
    double phi, sine, cosine;
};

// The centre of an azimuthal equidistant projection with its trigonometry worked out once.
class ProjectionCentre {
public:
    ProjectionCentre(double lon0, double lat0) : lon0_(lon0), centre_(lat0) {}

    LocalPoint Project(double lon, const NodeLatitude& node, bool withConvergence) const {
        const double dLambda = std::remainder(lon - lon0_, 360.0) * kDegree;
        const double sinHalfPhi = std::sin(0.5 * (node.phi - centre_.phi)), sinHalfLambda = std::sin(0.5 * dLambda);
        const double haversine = sinHalfPhi * sinHalfPhi + centre_.cosine * node.cosine * sinHalfLambda * sinHalfLambda;
        const double angle = 2.0 * std::atan2(std::sqrt(haversine), std::sqrt(std::max(0.0, 1.0 - haversine)));
        if (angle == 0.0) return {0.0, 0.0, 0.0};
        const double sinL = std::sin(dLambda), cosL = std::cos(dLambda);
        // Azimuth at the centre (towards the node) and at the node (away from the centre).
        const double towardsEast = sinL * node.cosine;
        const double towardsNorth = centre_.cosine * node.sine - centre_.sine * node.cosine * cosL;
        const double length = std::hypot(towardsEast, towardsNorth);
        const double distance = kEarthRadius * angle;
        LocalPoint point{0.0, distance, 0.0};  // a node at the antipode: any direction will do
        if (length > 0.0) {
            point.east = distance * towardsEast / length;
            point.north = distance * towardsNorth / length;
        }
        if (withConvergence) {
            const double initial = std::atan2(towardsEast, towardsNorth);
            const double finalAzimuth =
                std::atan2(sinL * centre_.cosine, -centre_.sine * node.cosine + centre_.cosine * node.sine * cosL);
            point.convergence = finalAzimuth - initial;
        }
        return point;
    }

private:
    double lon0_;
    NodeLatitude centre_;
};

struct PlacedFault {
    PreparedFault plane;          // in metres, in the fault's own local frame
    ProjectionCentre centre;      // the reference point, on spherical grids
};

}  // namespace

LocalPoint ProjectAzimuthalEquidistant(double lon0, double lat0, double lon, double lat) {
    return ProjectionCentre(lon0, lat0).Project(lon, NodeLatitude(lat), true);
}

std::vector<double> RuptureTimes(const FaultSet& set) {
    std::vector<double> times;
    for (const Fault& fault : set.faults) times.push_back(fault.ruptureTime);
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    return times;
}

bool ComputeFaultDisplacement(const FaultSet& set, const ModelGrid& like, std::optional<double> ruptureTime,
                              ModelGrid* out, std::string* error, GridCoordinates coordinates) {
    if (!out) return Fail(error, "no output grid");
    if (like.nx < 1 || like.ny < 1 ||
        like.values.size() != static_cast<std::size_t>(like.nx) * static_cast<std::size_t>(like.ny))
        return Fail(error, "target grid has no nodes or a wrong number of values");
    const bool spherical = coordinates == GridCoordinates::Guess ? like.LooksSpherical()
                                                                 : coordinates == GridCoordinates::Spherical;
    if (set.geographic && !spherical)
        return Fail(error, "the faults are placed by longitude/latitude but the grid is Cartesian (metres)");
    if (!set.geographic && spherical)
        return Fail(error, "the faults are placed by x/y in metres but the grid is in degrees");

    const double mediumConstant = 1.0 - 2.0 * set.poisson;  // mu / (lambda + mu)
    std::vector<PlacedFault> placed;
    for (const Fault& fault : set.faults) {
        if (ruptureTime && fault.ruptureTime != *ruptureTime) continue;
        // Spherical: the reference point is the origin of its own tangent plane.
        const double east = spherical ? 0.0 : fault.x, north = spherical ? 0.0 : fault.y;
        const FaultPlane plane =
            PlaneFromReference(fault.reference, east, north, fault.depthKm * kMetresPerKm, fault.strike, fault.dip,
                               fault.rake, fault.slip, fault.opening, fault.lengthKm * kMetresPerKm,
                               fault.widthKm * kMetresPerKm);
        placed.push_back({PreparedFault(plane, mediumConstant), ProjectionCentre(fault.x, fault.y)});
    }
    if (placed.empty()) return Fail(error, "no fault has rupture_time " + std::to_string(ruptureTime.value_or(0.0)));

    ModelGrid result;
    result.nx = like.nx;
    result.ny = like.ny;
    result.xMin = like.xMin;
    result.xMax = like.xMax;
    result.yMin = like.yMin;
    result.yMax = like.yMax;
    result.values.assign(like.values.size(), 0.0f);
    const bool horizontal = set.horizontal;
    const int faultCount = static_cast<int>(placed.size());

    // Rows are independent and each node sums its faults in file order, so the result does not
    // depend on the thread count.
#pragma omp parallel for schedule(static)
    for (int row = 0; row < like.ny; ++row) {
        const double y = like.Y(row);
        const NodeLatitude latitude(y);
        const double metresX = spherical ? kEarthRadius * std::cos(y * kDegree) * like.DeltaX() * kDegree : like.DeltaX();
        const double metresY = spherical ? kEarthRadius * like.DeltaY() * kDegree : like.DeltaY();
        for (int col = 0; col < like.nx; ++col) {
            const double x = like.X(col);
            double up = 0.0, east = 0.0, north = 0.0;
            for (int f = 0; f < faultCount; ++f) {
                const PlacedFault& p = placed[f];
                if (spherical) {
                    const LocalPoint local = p.centre.Project(x, latitude, horizontal);
                    const SurfaceDisplacement u = p.plane.At(local.east, local.north);
                    up += u.up;
                    if (horizontal) {
                        // Turn the plane's (east, north) into the node's own east and north.
                        const double c = std::cos(local.convergence), s = std::sin(local.convergence);
                        east += u.east * c + u.north * s;
                        north += -u.east * s + u.north * c;
                    }
                } else {
                    const SurfaceDisplacement u = p.plane.At(x, y);
                    up += u.up;
                    east += u.east;
                    north += u.north;
                }
            }
            if (horizontal) {
                // Tanioka and Satake (1996): a sloping sea floor moved sideways by (ue, un) raises
                // the bed under a fixed point by ue*dH/dx + un*dH/dy (H depth, positive down): the
                // floor moving towards deeper water brings shallower bed to the point.
                const float depth = like.At(col, row);
                if (std::isfinite(depth) && depth > 0.0f && depth < kBlankThreshold) {
                    double gx = 0.0, gy = 0.0;
                    DepthGradient(like, col, row, metresX, metresY, &gx, &gy);
                    up += east * gx + north * gy;
                }
            }
            result.At(col, row) = static_cast<float>(up);
        }
    }
    for (int row = 0; row < result.ny; ++row)
        for (int col = 0; col < result.nx; ++col)
            if (!std::isfinite(result.At(col, row)))
                return Fail(error, "the displacement is not finite at node (" + std::to_string(like.X(col)) + ", " +
                                       std::to_string(like.Y(row)) + ")");
    *out = std::move(result);
    return true;
}

namespace {

constexpr const char* kUsage =
    "usage: vestra okada FAULTS.toml --like GRID -o OUT\n"
    "  Vertical sea-floor displacement of the rectangular faults in FAULTS.toml (Okada, 1985),\n"
    "  summed over the faults, on the nodes of GRID (a Surfer text grid or netCDF bathymetry,\n"
    "  in degrees or metres). OUT is written as a Surfer text grid when its name ends in 'd'\n"
    "  (as in .grd), as a netCDF \"HA\" grid otherwise, the same rule by which the model\n"
    "  reads grids; a scenario source can use it as its etaFile.\n"
    "  --like GRID       target grid (size, extent, coordinates; depths for horizontal = true)\n"
    "  -o, --output OUT  output grid\n"
    "  -h, --help        this text\n";

int UsageError(const std::string& message) {
    std::fprintf(stderr, "vestra okada: %s\n%s", message.c_str(), kUsage);
    return 2;
}

}  // namespace

int RunOkadaCommand(const std::vector<std::string>& args) {
    std::string faultPath, likePath, outPath;
    for (std::size_t k = 0; k < args.size(); ++k) {
        const std::string& arg = args[k];
        auto takeValue = [&](std::string* value) {
            if (k + 1 >= args.size()) return false;
            *value = args[++k];
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--like") {
            if (!takeValue(&likePath)) return UsageError("--like needs a grid file");
        } else if (arg.rfind("--like=", 0) == 0) {
            likePath = arg.substr(7);
        } else if (arg == "-o" || arg == "--output") {
            if (!takeValue(&outPath)) return UsageError(arg + " needs a file name");
        } else if (arg.rfind("--output=", 0) == 0) {
            outPath = arg.substr(9);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option " + arg);
        } else if (faultPath.empty()) {
            faultPath = arg;
        } else {
            return UsageError("more than one fault file (" + faultPath + ", " + arg + ")");
        }
    }
    if (faultPath.empty()) return UsageError("no fault file given");
    if (likePath.empty()) return UsageError("no target grid given (--like GRID)");
    if (outPath.empty()) return UsageError("no output file given (-o OUT)");

    std::string error;
    FaultSet set;
    ModelGrid like, displacement;
    if (!ReadFaultFile(faultPath, &set, &error) || !ReadModelGrid(likePath, &like, &error)) {
        std::fprintf(stderr, "vestra okada: %s\n", error.c_str());
        return 1;
    }
    if (!ComputeFaultDisplacement(set, like, std::nullopt, &displacement, &error)) {
        std::fprintf(stderr, "vestra okada: %s: %s\n", likePath.c_str(), error.c_str());
        return 1;
    }
    if (!WriteModelGrid(outPath, displacement, &error)) {
        std::fprintf(stderr, "vestra okada: %s\n", error.c_str());
        return 1;
    }
    const std::size_t times = RuptureTimes(set).size();
    if (times > 1)
        std::fprintf(stderr,
                     "vestra okada: note: the faults have %zu rupture times; %s holds their sum "
                     "(a scenario's faults key applies them at their times)\n",
                     times, outPath.c_str());

    float highest = -std::numeric_limits<float>::infinity(), lowest = std::numeric_limits<float>::infinity();
    for (float v : displacement.values) {
        highest = std::max(highest, v);
        lowest = std::min(lowest, v);
    }
    std::printf("%s: %zu fault%s on %d x %d nodes, uplift up to %.3f m, subsidence down to %.3f m\n", outPath.c_str(),
                set.faults.size(), set.faults.size() == 1 ? "" : "s", displacement.nx, displacement.ny, highest, lowest);
    return 0;
}
