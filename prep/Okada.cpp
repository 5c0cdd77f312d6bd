#include "Okada.h"

#include <cmath>
#include <numbers>

namespace {

constexpr double kDegree = std::numbers::pi / 180.0;
// Below this |cos(dip)| (dip within 0.0011 degrees of 90) the fault is treated as vertical and the
// closed-form limits of the I-terms for cos(dip) = 0 are used. The general forms lose about
// 1e-16/cos^2(dip) to cancellation of their 1/cos(dip) terms while the limit forms err by about
// cos(dip) times the displacement; both are near 1e-7 of the slip at this threshold.
constexpr double kVerticalCosine = 2e-5;

struct DipAngle {
    double sine, cosine;
    bool vertical;
};

// Sine and cosine of an angle in degrees, exact at multiples of 90 degrees so that a strike of
// 90 or a rake of 90 leaves no spurious 6e-17 component behind.
void SinCosDegrees(double degrees, double* sine, double* cosine) {
    const double reduced = std::remainder(degrees, 360.0);  // [-180, 180]
    if (reduced == 0.0) { *sine = 0.0; *cosine = 1.0; return; }
    if (reduced == 90.0) { *sine = 1.0; *cosine = 0.0; return; }
    if (reduced == -90.0) { *sine = -1.0; *cosine = 0.0; return; }
    if (reduced == 180.0 || reduced == -180.0) { *sine = 0.0; *cosine = -1.0; return; }
    *sine = std::sin(reduced * kDegree);
    *cosine = std::cos(reduced * kDegree);
}

DipAngle MakeDip(double dipDegrees) {
    double sine = 0.0, cosine = 0.0;
    SinCosDegrees(dipDegrees, &sine, &cosine);
    return {sine, cosine, std::abs(cosine) < kVerticalCosine};
}

// One corner f(xi, eta) of Chinnery's sum: Okada's equations (25)-(27) for the three dislocations.
// Singular cases follow Okada (1985): atan(xi*eta/(q*R)) = 0 when q = 0, I5 = 0 when xi = 0, and
// terms with R + eta (R + xi) in the denominator vanish when that sum is zero, ln(R + eta) then
// becoming -ln(R - eta); the dropped parts are the same at both corners of a pair and cancel.
OkadaDisplacement Corner(double xi, double eta, double q, const DipAngle& dip, double strikeSlip, double dipSlip,
                         double opening, double alpha) {
    const double sd = dip.sine, cd = dip.cosine;
    const double xi2 = xi * xi, eta2 = eta * eta, q2 = q * q;
    const double R = std::sqrt(xi2 + eta2 + q2);
    // A surface point on a corner of a fault that breaks the surface: every term is singular and
    // the motion there is undefined; the corner adds nothing rather than a NaN.
    if (R == 0.0) return {};
    const double yTilde = eta * cd + q * sd;
    const double dTilde = eta * sd - q * cd;  // depth of the fault point, >= 0 below the surface
    const double X = std::sqrt(xi2 + q2);

    // R + eta and R + xi without cancellation when eta (xi) is negative.
    double inverseReta = 0.0, logReta = 0.0;
    if (eta >= 0.0) {
        inverseReta = 1.0 / (R + eta);
        logReta = std::log(R + eta);
    } else if (xi2 + q2 > 0.0) {
        const double reta = (xi2 + q2) / (R - eta);
        inverseReta = 1.0 / reta;
        logReta = std::log(reta);
    } else {
        logReta = -std::log(R - eta);
    }
    double inverseRxi = 0.0;
    if (xi >= 0.0) {
        if (R + xi > 0.0) inverseRxi = 1.0 / (R + xi);
    } else if (eta2 + q2 > 0.0) {
        inverseRxi = (R - xi) / (eta2 + q2);
    }
    const double theta = q != 0.0 ? std::atan(xi * eta / (q * R)) : 0.0;
    const double Rd = R + dTilde;

    double I1, I2, I3, I4, I5;
    if (dip.vertical) {
        I1 = -0.5 * alpha * xi * q / (Rd * Rd);
        I3 = 0.5 * alpha * (eta / Rd + yTilde * q / (Rd * Rd) - logReta);
        I4 = -alpha * q / Rd;
        I5 = -alpha * xi * sd / Rd;
    } else {
        I4 = alpha / cd * (std::log(Rd) - sd * logReta);
        I5 = xi != 0.0
                 ? alpha * 2.0 / cd * std::atan((eta * (X + q * cd) + X * (R + X) * sd) / (xi * (R + X) * cd))
                 : 0.0;
        I3 = alpha * (yTilde / (cd * Rd) - logReta) + sd / cd * I4;
        I1 = alpha * (-xi / (cd * Rd)) - sd / cd * I5;
    }
    I2 = alpha * (-logReta) - I3;

    const double qRReta = q / R * inverseReta;  // q / (R (R + eta))
    const double qRRxi = q / R * inverseRxi;    // q / (R (R + xi))
    OkadaDisplacement u;
    if (strikeSlip != 0.0) {
        const double f = -strikeSlip / (2.0 * std::numbers::pi);
        u.ux += f * (xi * qRReta + theta + I1 * sd);
        u.uy += f * (yTilde * qRReta + q * cd * inverseReta + I2 * sd);
        u.uz += f * (dTilde * qRReta + q * sd * inverseReta + I4 * sd);
    }
    if (dipSlip != 0.0) {
        const double f = -dipSlip / (2.0 * std::numbers::pi);
        u.ux += f * (q / R - I3 * sd * cd);
        u.uy += f * (yTilde * qRRxi + cd * theta - I1 * sd * cd);
        u.uz += f * (dTilde * qRRxi + sd * theta - I5 * sd * cd);
    }
    if (opening != 0.0) {
        const double f = opening / (2.0 * std::numbers::pi);
        const double xiTerm = xi * qRReta - theta;
        u.ux += f * (q * qRReta - I3 * sd * sd);
        u.uy += f * (-dTilde * qRRxi - sd * xiTerm - I1 * sd * sd);
        u.uz += f * (yTilde * qRRxi + cd * xiTerm - I5 * sd * sd);
    }
    return u;
}

// Chinnery's notation: f(x, p) - f(x, p - W) - f(x - L, p) + f(x - L, p - W).
OkadaDisplacement ChinnerySum(double x, double y, double depth, const DipAngle& dip, double length, double width,
                              double strikeSlip, double dipSlip, double opening, double mediumConstant) {
    const double p = y * dip.cosine + depth * dip.sine;
    const double q = y * dip.sine - depth * dip.cosine;
    const OkadaDisplacement a = Corner(x, p, q, dip, strikeSlip, dipSlip, opening, mediumConstant);
    const OkadaDisplacement b = Corner(x, p - width, q, dip, strikeSlip, dipSlip, opening, mediumConstant);
    const OkadaDisplacement c = Corner(x - length, p, q, dip, strikeSlip, dipSlip, opening, mediumConstant);
    const OkadaDisplacement d = Corner(x - length, p - width, q, dip, strikeSlip, dipSlip, opening, mediumConstant);
    return {a.ux - b.ux - c.ux + d.ux, a.uy - b.uy - c.uy + d.uy, a.uz - b.uz - c.uz + d.uz};
}

}  // namespace

OkadaDisplacement OkadaSurfaceDisplacement(double x, double y, double depth, double dipDegrees, double length,
                                           double width, double strikeSlip, double dipSlip, double opening,
                                           double mediumConstant) {
    return ChinnerySum(x, y, depth, MakeDip(dipDegrees), length, width, strikeSlip, dipSlip, opening, mediumConstant);
}

double TopEdgeDepth(FaultReference reference, double depth, double dip, double width) {
    return reference == FaultReference::Centroid ? depth - 0.5 * width * MakeDip(dip).sine : depth;
}

FaultPlane PlaneFromReference(FaultReference reference, double east, double north, double depth, double strike,
                              double dip, double rake, double slip, double opening, double length, double width) {
    const DipAngle angle = MakeDip(dip);
    double strikeEast = 0.0, strikeNorth = 0.0, rakeSine = 0.0, rakeCosine = 0.0;
    SinCosDegrees(strike, &strikeEast, &strikeNorth);
    SinCosDegrees(rake, &rakeSine, &rakeCosine);
    // Okada's y axis (the strike direction turned 90 degrees anticlockwise) points up-dip.
    const double upDipEast = -strikeNorth, upDipNorth = strikeEast;
    // Distance along strike and up-dip from the start of the bottom edge to the reference point.
    double alongStrike = 0.0, upDip = 0.0;
    switch (reference) {
        case FaultReference::Centroid: alongStrike = 0.5 * length; upDip = 0.5 * width; break;
        case FaultReference::TopCentre: alongStrike = 0.5 * length; upDip = width; break;
        case FaultReference::TopLeft: alongStrike = 0.0; upDip = width; break;
    }
    FaultPlane plane;
    const double horizontalUpDip = upDip * angle.cosine;
    plane.originEast = east - alongStrike * strikeEast - horizontalUpDip * upDipEast;
    plane.originNorth = north - alongStrike * strikeNorth - horizontalUpDip * upDipNorth;
    plane.bottomDepth = depth + upDip * angle.sine;
    plane.strike = strike;
    plane.dip = dip;
    plane.length = length;
    plane.width = width;
    plane.strikeSlip = slip * rakeCosine;
    plane.dipSlip = slip * rakeSine;
    plane.opening = opening;
    return plane;
}

PreparedFault::PreparedFault(const FaultPlane& plane, double mediumConstant)
    : plane_(plane), mediumConstant_(mediumConstant) {
    SinCosDegrees(plane.strike, &strikeEast_, &strikeNorth_);
    const DipAngle dip = MakeDip(plane.dip);
    dipSine_ = dip.sine;
    dipCosine_ = dip.cosine;
    vertical_ = dip.vertical;
}

SurfaceDisplacement PreparedFault::At(double east, double north) const {
    const double de = east - plane_.originEast, dn = north - plane_.originNorth;
    const double x = de * strikeEast_ + dn * strikeNorth_;
    const double y = -de * strikeNorth_ + dn * strikeEast_;
    const OkadaDisplacement u =
        ChinnerySum(x, y, plane_.bottomDepth, DipAngle{dipSine_, dipCosine_, vertical_}, plane_.length, plane_.width,
                    plane_.strikeSlip, plane_.dipSlip, plane_.opening, mediumConstant_);
    // Back from (strike, up-dip normal) to (east, north).
    return {u.ux * strikeEast_ - u.uy * strikeNorth_, u.ux * strikeNorth_ + u.uy * strikeEast_, u.uz};
}

SurfaceDisplacement FaultSurfaceDisplacement(const FaultPlane& plane, double east, double north,
                                             double mediumConstant) {
    return PreparedFault(plane, mediumConstant).At(east, north);
}
