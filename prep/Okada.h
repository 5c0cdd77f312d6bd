#pragma once
// Surface displacement of a rectangular dislocation in a homogeneous elastic half-space, in the
// closed form of Okada (1985), "Surface deformation due to shear and tensile faults in a
// half-space", BSSA 75(4).

// Displacement in Okada's own frame: x along strike, y 90 degrees anticlockwise from x (so the
// fault dips towards -y), z up. Same unit as the dislocation.
struct OkadaDisplacement {
    double ux = 0.0, uy = 0.0, uz = 0.0;
};

// Displacement at the surface point (x, y) of Okada's frame, whose origin lies above the start
// (along strike) of the fault's bottom edge. The fault spans 0 <= x <= length along strike and
// rises `width` up-dip from the bottom edge at depth `depth`, so its top edge lies at depth
// depth - width*sin(dip) and horizontally at y = width*cos(dip). Lengths in any one unit.
// strikeSlip, dipSlip and opening are the motion of the hanging wall relative to the footwall
// (Okada's U1, U2, U3): dipSlip > 0 is thrust, strikeSlip > 0 left-lateral.
// mediumConstant is mu/(lambda+mu) = 1 - 2*nu (0.5 for a Poisson solid, nu = 0.25).
OkadaDisplacement OkadaSurfaceDisplacement(double x, double y, double depth, double dipDegrees, double length,
                                           double width, double strikeSlip, double dipSlip, double opening,
                                           double mediumConstant);

// Which point of the fault a reference position and depth describe.
enum class FaultReference {
    Centroid,   // the centre of the rectangle
    TopCentre,  // the middle of the top (shallowest) edge
    TopLeft,    // the start of the top edge along strike: looking along strike, with the fault
                // dipping away to the right, the upper-left corner of the near end
};

// A fault placed in a local horizontal frame (east, north) in metres, depths in metres below the
// sea floor, angles in degrees, slip and opening in metres.
struct FaultPlane {
    double originEast = 0.0, originNorth = 0.0;  // above the start of the bottom edge
    double bottomDepth = 0.0;
    double strike = 0.0, dip = 90.0;
    double length = 0.0, width = 0.0;
    double strikeSlip = 0.0, dipSlip = 0.0, opening = 0.0;
};

// Builds the plane from a reference point (east, north, depth) and the usual seismological
// parameters: strike clockwise from north, dip to the right of the strike direction, rake
// anticlockwise from strike as seen on the hanging wall (90 = thrust), slip >= 0.
FaultPlane PlaneFromReference(FaultReference reference, double east, double north, double depth, double strike,
                              double dip, double rake, double slip, double opening, double length, double width);

// Depth of the top edge of a fault whose reference point lies at `depth`.
double TopEdgeDepth(FaultReference reference, double depth, double dip, double width);

// Surface displacement (east, north, up) at a point of the plane's local frame.
struct SurfaceDisplacement {
    double east = 0.0, north = 0.0, up = 0.0;
};
SurfaceDisplacement FaultSurfaceDisplacement(const FaultPlane& plane, double east, double north,
                                             double mediumConstant);

// A plane with the sines and cosines of its angles worked out once, for evaluation at the many
// nodes of a grid. At() gives exactly what FaultSurfaceDisplacement gives.
class PreparedFault {
public:
    PreparedFault(const FaultPlane& plane, double mediumConstant);
    SurfaceDisplacement At(double east, double north) const;

private:
    FaultPlane plane_;
    double mediumConstant_;
    double strikeEast_, strikeNorth_;
    double dipSine_, dipCosine_;
    bool vertical_;
};
