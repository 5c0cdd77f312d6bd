// Momentum: the x- and y-fluxes of the nonlinear long-wave equations in flux form,
//
//   dM/dt + d(M^2/D)/dx + d(MN/D)/dy + g D d(eta)/dx + tau_x = f N
//   dN/dt + d(MN/D)/dx + d(N^2/D)/dy + g D d(eta)/dy + tau_y = -f M
//
// (on the sphere with the metric factors 1/(R cos phi) and the cos phi weights of the meridional
// terms), leap-frogged against the new water level of the mass update. Manning friction
// tau = g n^2 q |q| / D^(7/3) is treated semi-implicitly, advection by first-order upwinding,
// and faces at a wet/dry front carry the water of the wet cell above the dry cell's bed (with
// frontVelocityHead, while that water runs towards the dry cell, its level plus its velocity head).
// Each column first computes both fluxes of every cell, then, in a second pass, the running
// maxima derived from them. The cells whose stencil is wholly wet get their fluxes from a loop
// without branches (MomentumWet.h) with the same arithmetic; the per-cell
// update below does the rest.
#include <algorithm>
#include <cmath>

#include "Dispersion.h"
#include "KernelCells.h"
#include "KernelChecks.h"
#include "Kernels.h"
#include "MomentumMaxima.h"
#include "MomentumWet.h"

using cells::kEpsilon;

namespace {

// The sweep's settings: those the wet-cell loop takes (its record, so that both read the same
// values; advection and pressure are the Cartesian f dt/dx and g f dt/dx), and the per-cell
// update's own.
struct SweepScalars : wetflux::Scalars {
    int nx = 0, ny = 0;
    bool cellFieldFromFile = false;
    float minutes = 0.0f;             // model time stamped into the time-of-maximum fields
    int wetCellLoop = 0;              // KernelSettings::wetCellLoop, 0 where the loop cannot run
    bool frontVelocityHead = false;   // KernelSettings::frontVelocityHead
    double frontVelocityDepth = 0.0;  // the least depth a front's velocity is taken over, m
};

struct SweepFields {
    ConstView fluxM, fluxN, etaNext, totalDepth, totalDepthNext, depth, manning, cellField;
    ConstView metricX, gravityMetricX, gravityMetricY;
    const float* cosLatitude = nullptr;
    const float* coriolisCentre = nullptr;
    const float* coriolisEdge = nullptr;
    View fluxMNext, fluxNNext, totalDepthM, totalDepthN, rouseNumber;
    View maxFlowDepth, maxCurrent, flowDepthAtMaxCurrent, timeOfMaxCurrent, maxCurrentAngle;
    View maxFroudeSquared, currentAtMaxFroudeSquared, flowDepthAtMaxFroudeSquared, timeOfMaxFroudeSquared;
    View maxFroude, maxDragForce, froudeSquaredU, froudeSquaredV;
    View maxFluxM, maxFluxN, maxDischargeFlux, maxDischargeFluxAngle, maxMomentumFlux;

    SweepFields(GridLevel& l, bool spherical)
        : fluxM(l.fluxM.cview()),
          fluxN(l.fluxN.cview()),
          etaNext(l.etaNext.cview()),
          totalDepth(l.totalDepth.cview()),
          totalDepthNext(l.totalDepthNext.cview()),
          depth(l.depth.cview()),
          manning(l.manning.cview()),
          cellField(l.cellField.cview()),
          fluxMNext(l.fluxMNext.view()),
          fluxNNext(l.fluxNNext.view()),
          totalDepthM(l.totalDepthM.view()),
          totalDepthN(l.totalDepthN.view()),
          rouseNumber(l.rouseNumber.view()),
          maxFlowDepth(l.maxFlowDepth.view()),
          maxCurrent(l.maxCurrent.view()),
          flowDepthAtMaxCurrent(l.flowDepthAtMaxCurrent.view()),
          timeOfMaxCurrent(l.timeOfMaxCurrent.view()),
          maxCurrentAngle(l.maxCurrentAngle.view()),
          maxFroudeSquared(l.maxFroudeSquared.view()),
          currentAtMaxFroudeSquared(l.currentAtMaxFroudeSquared.view()),
          flowDepthAtMaxFroudeSquared(l.flowDepthAtMaxFroudeSquared.view()),
          timeOfMaxFroudeSquared(l.timeOfMaxFroudeSquared.view()),
          maxFroude(l.maxFroude.view()),
          maxDragForce(l.maxDragForce.view()),
          froudeSquaredU(l.froudeSquaredU.view()),
          froudeSquaredV(l.froudeSquaredV.view()),
          maxFluxM(l.maxFluxM.view()),
          maxFluxN(l.maxFluxN.view()),
          maxDischargeFlux(l.maxDischargeFlux.view()),
          maxDischargeFluxAngle(l.maxDischargeFluxAngle.view()),
          maxMomentumFlux(l.maxMomentumFlux.view()) {
        if (spherical) {
            metricX = l.metricX.cview();
            gravityMetricX = l.gravityMetricX.cview();
            gravityMetricY = l.gravityMetricY.cview();
            cosLatitude = l.cosLatitude.data();
            coriolisCentre = l.coriolisCentre.data();
            coriolisEdge = l.coriolisEdge.data();
        }
    }
};

// Column pointers around column i, so that the inner loop over j indexes plain arrays.
// Offsets are relative to i: at(-2) .. at(+2).
struct Stencil {
    const float* p[5];
    const float* at(int offset) const { return p[offset + 2]; }
};

inline Stencil Columns(ConstView field, int i, int from, int to) {
    Stencil s{};
    for (int k = from; k <= to; ++k) s.p[k + 2] = field[i + k];
    return s;
}

inline double Square(double x) { return x * x; }

// Column pointers of everything the sweep writes or reads only at the cell itself.
struct ColumnOutput : maxima::Column {
    ColumnOutput(const SweepFields& f, int i) {
        fluxMNext = f.fluxMNext[i];
        fluxNNext = f.fluxNNext[i];
        totalDepthM = f.totalDepthM[i];
        totalDepthN = f.totalDepthN[i];
        rouseNumber = f.rouseNumber[i];
        maxFlowDepth = f.maxFlowDepth[i];
        maxCurrent = f.maxCurrent[i];
        flowDepthAtMaxCurrent = f.flowDepthAtMaxCurrent[i];
        timeOfMaxCurrent = f.timeOfMaxCurrent[i];
        maxCurrentAngle = f.maxCurrentAngle[i];
        maxFroudeSquared = f.maxFroudeSquared[i];
        currentAtMaxFroudeSquared = f.currentAtMaxFroudeSquared[i];
        flowDepthAtMaxFroudeSquared = f.flowDepthAtMaxFroudeSquared[i];
        timeOfMaxFroudeSquared = f.timeOfMaxFroudeSquared[i];
        maxFroude = f.maxFroude[i];
        maxDragForce = f.maxDragForce[i];
        froudeSquaredU = f.froudeSquaredU[i];
        froudeSquaredV = f.froudeSquaredV[i];
        maxFluxM = f.maxFluxM[i];
        maxFluxN = f.maxFluxN[i];
        maxDischargeFlux = f.maxDischargeFlux[i];
        maxDischargeFluxAngle = f.maxDischargeFluxAngle[i];
        maxMomentumFlux = f.maxMomentumFlux[i];
        cellField = f.cellField[i];
        depth = f.depth[i];
        centreDepth = f.totalDepthNext[i];
    }
};

// One column of the flux sweep.
//
// Race-free rule. Threads own contiguous blocks of columns, and a cell writes only its own
// entries: fluxMNext, fluxNNext, its own face depths totalDepthM/N and its maxima. Every value it
// reads of a neighbour comes from a field that no cell of the sweep writes:
//  - current fluxes fluxM, fluxN as they stood before the sweep (the land cut-off zeroes its
//    cells in a pass before the sweep, so every neighbour sees those zeros);
//  - a neighbour's face depth, wherever the sweep may rewrite it (columns 2..nx, rows 2..ny), is
//    the four-point average of totalDepth and totalDepthNext around that face, recomputed here
//    exactly as AverageFaceDepths stored it; faces the sweep never writes (the first row and
//    column, the halo, and totalDepthM on Cartesian levels) are read as stored.
// The cell's own face depths are read before it overwrites them with the flux depths it used, so
// the derived fields, the snapshots and the gauges see the flux depths. The result is therefore
// the same for any number of threads and any split of the columns.
template <bool Spherical>
class MomentumColumn {
public:
    MomentumColumn(const SweepFields& f, const SweepScalars& s, int i)
        : f_(f),
          s_(s),
          i_(i),
          fluxM_(Columns(f.fluxM, i, -2, 1)),
          fluxN_(Columns(f.fluxN, i, -1, 1)),
          total_(Columns(f.totalDepth, i, -1, 2)),
          totalNext_(Columns(f.totalDepthNext, i, -2, 2)),
          faceM_(Columns(f.totalDepthM, i, -1, 1)),
          faceN_(Columns(f.totalDepthN, i, -1, 1)),
          depth_(Columns(f.depth, i, 0, 1)),
          eta_(Columns(f.etaNext, i, 0, 1)),
          manning_(f.manning[i]),
          out_(f, i),
          advectionInside_(!Spherical || (i >= 3 && i <= s.nx - 3)) {
        if constexpr (Spherical) {
            metricX_ = f.metricX[i];
            gravityMetricX_ = f.gravityMetricX[i];
            gravityMetricY_ = f.gravityMetricY[i];
        }
    }

    // Both fluxes of cell (i, j).
    void Fluxes(int j) const {
        if (Spherical && out_.depth[j] < s_.landCutoff) {
            // High land: no flux (the current fluxes were zeroed before the sweep).
            out_.fluxMNext[j] = 0.0f;
            out_.fluxNNext[j] = 0.0f;
        } else {
            FluxM(j, FluxDepthM(j));
            FluxN(j, FluxDepthN(j));
        }
    }

    // Both fluxes of cells (i, lo..hi). Inside the advection region the rows go in chunks through
    // the wet-cell loop, which computes every cell whose stencil is wholly wet and leaves the
    // others to Fluxes; the cut-off of small fluxes must be above 0 there (see MomentumWet.cpp).
    void AllFluxes(int lo, int hi) const {
        const int wetLo = std::max(lo, 3), wetHi = std::min(hi, s_.ny - 3);
        // Spherical levels advect inside columns 3..nx-3 only; on Cartesian ones the neighbours'
        // y-faces there are recomputed as in the loop.
        const bool columnInside = i_ >= 3 && i_ <= s_.nx - 3;
        // Below a few dozen rows the loop's set-up outweighs what it saves (narrow channels).
        constexpr int kFewestRows = 32;
        if (s_.wetCellLoop > 0 && columnInside && wetHi - wetLo + 1 >= kFewestRows) {
            FluxesOf(lo, wetLo - 1);
            const wetflux::Column c = WetColumn();
            wetflux::Scratch scratch;
            for (int from = wetLo; from <= wetHi; from += wetflux::kChunk) {
                const int count = std::min(wetflux::kChunk, wetHi - from + 1);
                wetflux::Fluxes(c, s_, from, count, scratch, s_.wetCellLoop > 1);
                for (int k = 0; k < count; ++k) {
                    if (scratch.general[k] != 0) FluxesOf(from + k, from + k);
                }
            }
            FluxesOf(wetHi + 1, hi);
            return;
        }
        FluxesOf(lo, hi);
    }

    // The per-cell update of cells (i, lo..hi): its one caller, so that the compiler inlines it.
    void FluxesOf(int lo, int hi) const {
        for (int j = lo; j <= hi; ++j) Fluxes(j);
    }

    // Running maxima of the flow at cells (i, lo..hi), from the new fluxes and the face depths as
    // they stand after the update (u = M / D~, v = N / D^). They read only each cell's own
    // entries, so they run as a second pass over the column, without branches (every maximum is
    // kept or replaced by a select, still cells change none of them; MomentumMaxima.h).
    void DerivedFields(int lo, int hi) const {
        const ColumnOutput& o = out_;
        const maxima::Scalars scalars{s_.flowDepthLimit, s_.minutes, s_.cellFieldFromFile};
        if constexpr (Spherical) maxima::UpdateSpherical(o, scalars, lo, hi);
        else maxima::UpdateCartesian(o, scalars, lo, hi);
    }

private:
    wetflux::Column WetColumn() const {
        wetflux::Column c;
        for (int k = 0; k < 5; ++k) {
            c.totalNext[k] = totalNext_.p[k];
            c.total[k] = total_.p[k];
            c.fluxM[k] = fluxM_.p[k];
            c.fluxN[k] = fluxN_.p[k];
        }
        c.depth = depth_.at(0);
        c.eta0 = eta_.at(0);
        c.eta1 = eta_.at(1);
        c.manning = manning_;
        c.metricX = metricX_;
        c.gravityMetricX = gravityMetricX_;
        c.gravityMetricY = gravityMetricY_;
        c.cosLatitude = f_.cosLatitude;
        c.coriolisCentre = f_.coriolisCentre;
        c.coriolisEdge = f_.coriolisEdge;
        c.fluxMNext = out_.fluxMNext;
        c.fluxNNext = out_.fluxNNext;
        c.totalDepthM = out_.totalDepthM;
        c.totalDepthN = out_.totalDepthN;
        c.faceMWest = faceM_.at(-1);
        c.faceMEast = faceM_.at(1);
        return c;
    }

    double Cos(int j) const {
        if constexpr (Spherical) return f_.cosLatitude[j];
        return 1.0;
    }
    double Advection(int j) const {
        if constexpr (Spherical) return s_.factor * metricX_[j];
        return s_.advection;
    }
    bool NonlinearAllowed(double h) const { return !s_.optionEnabled || std::fabs(h) < s_.optionValue; }
    bool InsideAdvectionRegion(int j) const {
        return advectionInside_ && (!Spherical || (j >= 3 && j <= s_.ny - 3));
    }
    bool SweptFace(int offset, int j) const {
        const int a = i_ + offset;
        return a >= 2 && a <= s_.nx && j >= 2 && j <= s_.ny;
    }

    // Face depth of the east face of cell (i + offset, j) as a neighbour sees it.
    double NeighbourDepthM(int offset, int j) const {
        if (!Spherical || !SweptFace(offset, j)) return faceM_.at(offset)[j];
        return cells::FaceAverageDepth(total_.at(offset)[j], totalNext_.at(offset)[j], totalNext_.at(offset + 1)[j],
                                       total_.at(offset + 1)[j]);
    }
    // Face depth of the north face of cell (i + offset, j) as a neighbour sees it.
    double NeighbourDepthN(int offset, int j) const {
        if (!SweptFace(offset, j)) return faceN_.at(offset)[j];
        const float* d = total_.at(offset);
        const float* dNext = totalNext_.at(offset);
        return cells::FaceAverageDepth(d[j], dNext[j], dNext[j + 1], d[j + 1]);
    }

    double FrictionK(int j) const {
        const double n = manning_[j];
        return s_.frictionBase * n * n;
    }

    // Depth of water carried by the east face of cell (i, j), and whether it carries a flux.
    // At a front, with frontVelocityHead, the water comes in through the wet cell's far face: the
    // west face of cell i when cell i + 1 is dry, the east face of cell i + 1 when cell i is.
    double FluxDepthM(int j) const {
        const double a = totalNext_.at(0)[j], b = totalNext_.at(1)[j];
        const double level =
            cells::FaceFluxDepth(a, b, depth_.at(0)[j], depth_.at(1)[j], eta_.at(0)[j], eta_.at(1)[j]);
        if (!s_.frontVelocityHead || (a > 0.0) == (b > 0.0)) return level;
        if (a > 0.0) return FrontDepth(level, eta_.at(0)[j], depth_.at(1)[j], fluxM_.at(-1)[j], totalNext_.at(-1)[j], a,
                                       s_.velocityLimitM);
        return FrontDepth(level, eta_.at(1)[j], depth_.at(0)[j], -static_cast<double>(fluxM_.at(1)[j]),
                          totalNext_.at(2)[j], b, s_.velocityLimitM);
    }
    // cells::FrontHeadDepth of a front face whose wet cell holds `wet` and the cell behind it
    // (across the far face) `behind`; the far face's depth is their mean where both are wet.
    double FrontDepth(double level, double etaWet, double depthDry, double farFlux, double behind, double wet,
                      double velocityLimit) const {
        if (!(behind > 0.0)) return level;
        return cells::FrontHeadDepth(level, etaWet, depthDry, farFlux, 0.5 * (behind + wet), s_.frontVelocityDepth,
                                     velocityLimit);
    }
    bool CarriesM(double fluxDepth) const {
        const bool tooShallow = Spherical ? fluxDepth < s_.flowDepthLimit : fluxDepth <= kEpsilon;
        return !(fluxDepth < 0.0 || tooShallow);
    }
    // The mean y-flux around the east face.
    double NBar(int j) const {
        const float* n0 = fluxN_.at(0);
        const float* n1 = fluxN_.at(1);
        return 0.25 * (static_cast<double>(n1[j]) + n0[j] + n0[j - 1] + n1[j - 1]);
    }

    // x-flux on the east face of cell (i, j), from its flux depth.
    void FluxM(int j, double fluxDepth) const {
        const float* dNext0 = totalNext_.at(0);
        const float* dNext1 = totalNext_.at(1);
        const double h = depth_.at(0)[j];
        const double etaWest = eta_.at(0)[j];
        const double etaEast = eta_.at(1)[j];
        float* next = out_.fluxMNext;
        if (!CarriesM(fluxDepth)) {
            next[j] = 0.0f;
            return;
        }
        const float* m0 = fluxM_.at(0);
        const float* n0 = fluxN_.at(0);
        const float* n1 = fluxN_.at(1);
        const double m = m0[j];
        const double nBar = NBar(j);
        const double friction = cells::FrictionFactor(FrictionK(j), m, nBar, fluxDepth, s_.frictionFloor);
        const double pressure = Spherical ? s_.factor * gravityMetricX_[j] : s_.pressure;

        double flux = (1.0 - friction) * m - pressure * fluxDepth * (etaEast - etaWest);
        // Where every flux that the advection and Coriolis terms multiply is zero, the terms are
        // exactly zero: skip them (most of a sea the wave has not reached yet).
        const float* m1 = fluxM_.at(1);
        const bool still = m == 0.0 && m1[j] == 0.0f && m0[j + 1] == 0.0f && n0[j] == 0.0f && n1[j] == 0.0f &&
                           n0[j - 1] == 0.0f && n1[j - 1] == 0.0f;
        if (!still && NonlinearAllowed(h)) {
            const double own = faceM_.at(0)[j];
            if (InsideAdvectionRegion(j) && own >= kEpsilon) {
                const double a = Advection(j);
                // d(M^2/D)/dx, upwind on M.
                double x;
                if (m <= 0.0) {
                    const double east = NeighbourDepthM(1, j);
                    if (east >= kEpsilon && totalNext_.at(2)[j] >= kEpsilon && dNext1[j] >= kEpsilon) {
                        x = Square(m1[j]) / east - m * m / own;
                    } else {
                        x = -m * m / own;
                    }
                } else {
                    const double west = NeighbourDepthM(-1, j);
                    if (west >= kEpsilon && totalNext_.at(-1)[j] >= kEpsilon && dNext0[j] >= kEpsilon) {
                        x = m * m / own - Square(fluxM_.at(-1)[j]) / west;
                    } else {
                        x = m * m / own;
                    }
                }
                flux -= a * x;
                // d(M N/D)/dy, upwind on the mean N around the face.
                if (nBar > 0.0) {
                    if (dNext0[j - 2] >= kEpsilon && dNext0[j - 1] >= kEpsilon && dNext1[j - 1] >= kEpsilon &&
                        dNext1[j - 2] >= kEpsilon) {
                        const double nUp = 0.25 * (static_cast<double>(n1[j - 1]) + n0[j - 1] + n0[j - 2] + n1[j - 2]);
                        const double south = NeighbourDepthM(0, j - 1);
                        const double y = south >= kEpsilon
                                             ? Cos(j) * m * nBar / own - Cos(j - 1) * m0[j - 1] * nUp / south
                                             : Cos(j) * m * nBar / own;
                        flux -= a * y;
                    }
                } else if (dNext0[j + 1] >= kEpsilon && dNext0[j + 2] >= kEpsilon && dNext1[j + 1] >= kEpsilon &&
                           dNext1[j + 2] >= kEpsilon) {
                    const double nUp = 0.25 * (static_cast<double>(n1[j + 1]) + n0[j + 1] + n0[j] + n1[j]);
                    const double north = NeighbourDepthM(0, j + 1);
                    const double y = north >= kEpsilon
                                         ? Cos(j + 1) * m0[j + 1] * nUp / north - Cos(j) * m * nBar / own
                                         : -Cos(j) * m * nBar / own;
                    flux -= a * y;
                }
            }
            if constexpr (Spherical) {
                // f dt N: coriolisCentre holds Omega dt/2 sin(phi), so the sum of the four
                // surrounding N (four times their mean) gives 2 Omega sin(phi) dt N.
                if (s_.coriolis) {
                    flux += s_.factor * f_.coriolisCentre[j] *
                            (static_cast<double>(n0[j]) + n1[j] + n0[j - 1] + n1[j - 1]);
                }
            }
        }
        if (friction != 0.0) flux /= 1.0 + friction;
        if (std::fabs(flux) < s_.fluxCutM) flux = 0.0;
        if constexpr (Spherical) out_.totalDepthM[j] = static_cast<float>(fluxDepth);
        next[j] = static_cast<float>(cells::ClampFlux(flux, s_.velocityLimitM * fluxDepth));
    }

    // The same for the north face.
    double FluxDepthN(int j) const {
        const float* dNext0 = totalNext_.at(0);
        const float* h = depth_.at(0);
        const float* e = eta_.at(0);
        const double a = dNext0[j], b = dNext0[j + 1];
        const double level = cells::FaceFluxDepth(a, b, h[j], h[j + 1], e[j], e[j + 1]);
        if (!s_.frontVelocityHead || (a > 0.0) == (b > 0.0)) return level;
        const float* n0 = fluxN_.at(0);
        if (a > 0.0) return FrontDepth(level, e[j], h[j + 1], n0[j - 1], dNext0[j - 1], a, s_.velocityLimit);
        return FrontDepth(level, e[j + 1], h[j], -static_cast<double>(n0[j + 1]), dNext0[j + 2], b, s_.velocityLimit);
    }
    bool CarriesN(double fluxDepth) const { return !(fluxDepth < 0.0 || fluxDepth < s_.flowDepthLimit); }
    double MBar(int j) const {
        const float* m0 = fluxM_.at(0);
        const float* mWest = fluxM_.at(-1);
        return 0.25 * (static_cast<double>(m0[j]) + m0[j + 1] + mWest[j] + mWest[j + 1]);
    }

    // y-flux on the north face of cell (i, j), from its flux depth.
    void FluxN(int j, double fluxDepth) const {
        const float* dNext0 = totalNext_.at(0);
        const float* h = depth_.at(0);
        const float* e = eta_.at(0);
        float* next = out_.fluxNNext;
        if (!CarriesN(fluxDepth)) {
            next[j] = 0.0f;
            return;
        }
        const float* n0 = fluxN_.at(0);
        const float* m0 = fluxM_.at(0);
        const float* mWest = fluxM_.at(-1);
        const double n = n0[j];
        const double mBar = MBar(j);
        const double friction = cells::FrictionFactor(FrictionK(j), n, mBar, fluxDepth, s_.frictionFloor);
        const double pressure = Spherical ? s_.factor * gravityMetricY_[j] : s_.pressure;

        double flux = (1.0 - friction) * n - pressure * fluxDepth * (static_cast<double>(e[j + 1]) - e[j]);
        // As in FluxM: no flux that the advection and Coriolis terms multiply, no terms.
        const bool still = n == 0.0 && n0[j + 1] == 0.0f && fluxN_.at(1)[j] == 0.0f && m0[j] == 0.0f &&
                           m0[j + 1] == 0.0f && mWest[j] == 0.0f && mWest[j + 1] == 0.0f;
        if (!still && NonlinearAllowed(h[j])) {
            const double own = faceN_.at(0)[j];
            if (InsideAdvectionRegion(j) && own >= kEpsilon) {
                const double a = Advection(j);
                // d(N^2/D)/dy, upwind on N.
                double y;
                if (n <= 0.0) {
                    const double north = NeighbourDepthN(0, j + 1);
                    if (north >= kEpsilon && dNext0[j + 2] >= kEpsilon && dNext0[j + 1] >= kEpsilon) {
                        y = Cos(j + 1) * Square(n0[j + 1]) / north - Cos(j) * n * n / own;
                    } else {
                        y = -Cos(j) * n * n / own;
                    }
                } else {
                    const double south = NeighbourDepthN(0, j - 1);
                    if (south >= kEpsilon && dNext0[j - 1] >= kEpsilon && dNext0[j] >= kEpsilon) {
                        y = Cos(j) * n * n / own - Cos(j - 1) * Square(n0[j - 1]) / south;
                    } else {
                        y = Cos(j) * n * n / own;
                    }
                }
                flux -= a * y;
                // d(M N/D)/dx, upwind on the mean M around the face.
                if (mBar <= 0.0) {
                    const float* d1 = totalNext_.at(1);
                    const float* d2 = totalNext_.at(2);
                    if (d1[j] >= kEpsilon && d2[j] >= kEpsilon && d1[j + 1] >= kEpsilon && d2[j + 1] >= kEpsilon) {
                        const float* m1 = fluxM_.at(1);
                        const double mUp = 0.25 * (static_cast<double>(m1[j]) + m1[j + 1] + m0[j] + m0[j + 1]);
                        const double east = NeighbourDepthN(1, j);
                        const double x = east >= kEpsilon ? fluxN_.at(1)[j] * mUp / east - n * mBar / own
                                                          : -n * mBar / own;
                        flux -= a * x;
                    }
                } else {
                    const float* d1 = totalNext_.at(-1);
                    const float* d2 = totalNext_.at(-2);
                    if (d2[j] >= kEpsilon && d2[j + 1] >= kEpsilon && d1[j] >= kEpsilon && d1[j + 1] >= kEpsilon) {
                        const float* m2 = fluxM_.at(-2);
                        const double mUp =
                            0.25 * (static_cast<double>(mWest[j + 1]) + mWest[j] + m2[j] + m2[j + 1]);
                        const double west = NeighbourDepthN(-1, j);
                        const double x = west >= kEpsilon ? n * mBar / own - fluxN_.at(-1)[j] * mUp / west
                                                          : n * mBar / own;
                        flux -= a * x;
                    }
                }
            }
            if constexpr (Spherical) {
                // -f dt M, from the four surrounding M (see FluxM).
                if (s_.coriolis) {
                    flux -= s_.factor * f_.coriolisEdge[j] *
                            (static_cast<double>(m0[j]) + m0[j + 1] + mWest[j] + mWest[j + 1]);
                }
            }
        }
        if (friction != 0.0) flux /= 1.0 + friction;
        if (std::fabs(flux) < s_.fluxCutN) flux = 0.0;
        out_.totalDepthN[j] = static_cast<float>(fluxDepth);
        next[j] = static_cast<float>(cells::ClampFlux(flux, s_.velocityLimit * fluxDepth));
    }

    const SweepFields& f_;
    const SweepScalars& s_;
    const int i_;
    const Stencil fluxM_, fluxN_, total_, totalNext_, faceM_, faceN_, depth_, eta_;
    const float* manning_;
    const ColumnOutput out_;
    const float* metricX_ = nullptr;
    const float* gravityMetricX_ = nullptr;
    const float* gravityMetricY_ = nullptr;
    const bool advectionInside_;
};

template <bool Spherical>
void FluxSweep(GridLevel& level, double ratio, double tWhole, const KernelSettings& settings) {
    SweepScalars s;
    s.nx = level.nx;
    s.ny = level.ny;
    s.factor = settings.timeStepFactor;
    s.frictionBase = 0.5 * cells::kGravity * settings.timeStep * s.factor;
    s.frictionFloor = Spherical ? 1e-5 : 0.01;
    s.spherical = Spherical;
    s.advection = s.factor * ratio;
    s.pressure = cells::kGravity * s.factor * ratio;
    s.flowDepthLimit = settings.flowDepthLimit;
    s.velocityLimit = settings.velocityLimit;
    // The Cartesian x-flux is held to 30 m/s times its depth, or to velocityLimit where that is
    // lower (laboratory scales).
    s.velocityLimitM = Spherical ? s.velocityLimit : std::min(30.0, s.velocityLimit);
    s.fluxCutM = settings.smallFluxCut >= 0.0f ? settings.smallFluxCut : 1e-4;
    s.fluxCutN = settings.smallFluxCut >= 0.0f ? settings.smallFluxCut : (Spherical ? 1e-4 : 1e-3);
    s.landCutoff = settings.landCutoffDepth;
    s.coriolis = Spherical && level.coriolisEnabled != 0;
    s.optionEnabled = level.optionEnabled != 0;
    s.optionValue = level.optionValue;
    s.cellFieldFromFile = settings.cellFieldFromFile;
    s.minutes = static_cast<float>(tWhole / 60.0);
    s.wetCellLoop = s.fluxCutM > 0.0 && s.fluxCutN > 0.0 ? settings.wetCellLoop : 0;
    // Only faces with a dry cell change, and the wet-cell loop takes no cell beside one.
    s.frontVelocityHead = settings.frontVelocityHead;
    s.frontVelocityDepth = std::max(cells::kFrontVelocityDepth, s.flowDepthLimit);
    const SweepFields fields(level, Spherical);

    // Faces outside the active window would keep their fluxes and maxima: they are left alone.
    const kernels::Span columns = kernels::ColumnsInWindow(level, 2, level.nx);
    const kernels::Span rows = kernels::RowsInWindow(level, 2, level.ny);
#pragma omp parallel for schedule(static) num_threads(KernelTeamSize(settings))
    for (int i = columns.lo; i <= columns.hi; ++i) {
        const MomentumColumn<Spherical> column(fields, s, i);
        column.AllFluxes(rows.lo, rows.hi);
        if (!settings.dispersion) column.DerivedFields(rows.lo, rows.hi);
    }
    if (!settings.dispersion) return;
    // The dispersive correction needs every long-wave flux of the level; the maxima then see the
    // corrected fluxes.
    ApplyDispersion(level, ratio, settings);
#pragma omp parallel for schedule(static) num_threads(KernelTeamSize(settings))
    for (int i = columns.lo; i <= columns.hi; ++i)
        MomentumColumn<Spherical>(fields, s, i).DerivedFields(rows.lo, rows.hi);
}

}  // namespace

float MomentumSpherical(GridLevel& level, double tWhole, const KernelSettings& settings) {
    if (!kernels::HasSphericalFields(level)) return 0.0f;
    const float reached = AverageFaceDepthsWithLandCutoff(level, settings);
    FluxSweep<true>(level, 0.0, tWhole, settings);
    SmoothEdgeFluxesSpherical(level, settings);
    return reached;
}

float MomentumCartesian(GridLevel& level, double ratio, double tWhole, const KernelSettings& settings) {
    if (!kernels::HasLevelFields(level)) return 0.0f;
    const float reached = AverageFaceDepths(level, settings);
    FluxSweep<false>(level, ratio, tWhole, settings);
    SmoothEdgeFluxesCartesian(level, settings);
    return reached;
}
