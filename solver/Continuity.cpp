// Mass conservation: d(eta)/dt + div(M, N) = 0 on the staggered grid, with the wet/dry rule and
// the running extremes of the water level.
//
// Staggering: eta at the centre of cell (i, j); fluxM[i][j] on its east face, fluxN[i][j] on its
// north face. Every face flux enters the two cells that share it with the same value, so the
// update moves water between cells and never makes or loses any.
//
// A cell cannot give away more water than it holds: where its outgoing fluxes would take more
// than its total depth in one step, each of them is scaled down by the same share, so that the
// cell just empties. Both cells of a face work that share out from the same inputs (the current
// fluxes and levels, which nobody writes in this phase), so they agree to the last bit whatever
// the thread count. A level is written back into the current field (eta) only after both
// neighbouring columns have read it; see WriteBackAfterNeighbours.
//
// The limited fluxes are what the update delivered, and they become the stored fluxes M, N that
// the next momentum update starts from: a draining film must not keep a flux it could not carry
// (M / D would grow without bound as D shrinks). A face flux is read by the columns up to two
// away (through the shares), so the columns note the limited values in a scratch field and a
// pass after the update copies them in.
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "ContinuityWet.h"
#include "KernelCells.h"
#include "KernelChecks.h"
#include "Kernels.h"

using cells::kEpsilon;

namespace {

// The share of its outgoing face fluxes that a cell can deliver in this step.
template <bool Spherical>
struct OutflowLimit {
    ConstView fluxM, fluxN, eta, depth, metricX;
    const float* cosLatitude = nullptr;
    double factor = 1.0;          // timeStepFactor
    double cartesianScale = 1.0;  // f dt / dx

    // 1, or what cell (i, j) holds over what its outgoing fluxes would take.
    double Share(int i, int j) const {
        const double east = std::max(0.0, static_cast<double>(fluxM[i][j]));
        const double west = std::max(0.0, -static_cast<double>(fluxM[i - 1][j]));
        const double north = std::max(0.0, static_cast<double>(fluxN[i][j]));
        const double south = std::max(0.0, -static_cast<double>(fluxN[i][j - 1]));
        double outgoing;
        if constexpr (Spherical) {
            outgoing = metricX[i][j] * factor *
                       ((east + west) + (static_cast<double>(cosLatitude[j]) * north +
                                         static_cast<double>(cosLatitude[j - 1]) * south));
        } else {
            outgoing = ((east + west) + (north + south)) * cartesianScale;
        }
        const double held = std::max(0.0, static_cast<double>(eta[i][j]) + depth[i][j]);
        return outgoing > held ? held / outgoing : 1.0;
    }

    // The flux a face between cells a (west or south) and b delivers: scaled by the share of the
    // cell it leaves.
    double Delivered(float flux, int ia, int ja, int ib, int jb) const {
        if (flux == 0.0f) return 0.0;
        return static_cast<double>(flux) * (flux > 0.0f ? Share(ia, ja) : Share(ib, jb));
    }
};

// Runs body(i) for the columns first..last in the blocks of a static schedule, and
// writeBack(i) for each column once body has run for it and for both of its neighbours: the
// columns inside a thread's block right behind it, the two ends of each block after all
// threads have finished their blocks.
template <class Body, class WriteBack>
void WriteBackAfterNeighbours(int first, int last, int team, const Body& body, const WriteBack& writeBack) {
    if (last < first) return;
#pragma omp parallel num_threads(team)
    {
        const int threads = omp_get_num_threads();
        const int t = omp_get_thread_num();
        const int count = last - first + 1;
        const int base = count / threads;
        const int extra = count % threads;
        const int lo = first + t * base + std::min(t, extra);
        const int hi = lo + base + (t < extra ? 1 : 0) - 1;
        for (int i = lo; i <= hi; ++i) {
            body(i);
            if (i - 1 > lo) writeBack(i - 1);
        }
#pragma omp barrier
        if (hi >= lo) {
            writeBack(lo);
            if (hi > lo) writeBack(hi);
        }
    }
}

// Moves a noted limited flux of face (i, j) into the stored field and returns the scratch entry
// to NaN; a face whose flux changed widens iLo..iHi, jLo..jHi over its two cells (the second is
// (i + di, j + dj)). The bounds are passed in, so that inside a parallel loop each thread widens
// its own reduction copies.
inline void DeliverNoted(const View& stored, const View& scratch, int i, int j, int di, int dj, int& iLo, int& iHi,
                         int& jLo, int& jHi) {
    const float value = scratch[i][j];
    if (std::isnan(value)) return;
    scratch[i][j] = std::numeric_limits<float>::quiet_NaN();
    if (value == stored[i][j]) return;
    stored[i][j] = value;
    iLo = std::min(iLo, i);
    iHi = std::max(iHi, i + di);
    jLo = std::min(jLo, j);
    jHi = std::max(jHi, j + dj);
}

// A nested level's two outer rings hold the parent's level, and the update leaves them alone: no
// update delivers the flux of a face between two of their cells. Such a face is limited here as
// the update limits its own, by the share of the ring cell it leaves, so that a film in the rings
// cannot keep a flux it could never carry either. Left alone, that flux runs away: the momentum
// update's advection divides it by the film's depth, flips and grows it from one sub-step to the
// next up to the velocity clamp, and the rings' neighbours take it up. The shares are those of
// the fluxes and levels the update started from (nothing here is stored before all are known);
// faces between a ring cell and a computed one are the update's own. Widens iLo..iHi, jLo..jHi
// over the cells beside a face whose flux changed.
template <bool Spherical>
void LimitRingFluxes(GridLevel& level, const OutflowLimit<Spherical>& limit, int& iLo, int& iHi, int& jLo, int& jHi) {
    const int nx = level.nx;
    const int ny = level.ny;
    // Visits every x-face (visitM) and y-face (visitN) whose two cells both lie in the rings.
    auto forEachRingFace = [nx, ny](auto&& visitM, auto&& visitN) {
        for (int j = 1; j <= ny; ++j) {
            if (j <= 2 || j >= ny - 1) {
                for (int i = 1; i <= nx - 1; ++i) visitM(i, j);
            } else {
                visitM(1, j);
                visitM(nx - 1, j);
            }
        }
        for (int i = 1; i <= nx; ++i) {
            if (i <= 2 || i >= nx - 1) {
                for (int j = 1; j <= ny - 1; ++j) visitN(i, j);
            } else {
                visitN(i, 1);
                visitN(i, ny - 1);
            }
        }
    };
    const View limitedM = level.limitedFluxM.view();
    const View limitedN = level.limitedFluxN.view();
    const ConstView fluxM = limit.fluxM;
    const ConstView fluxN = limit.fluxN;
    bool any = false;
    auto note = [&](const View& scratch, float flux, int i, int j, int ib, int jb) {
        const double value = limit.Delivered(flux, i, j, ib, jb);
        if (value == static_cast<double>(flux)) return;
        scratch[i][j] = static_cast<float>(value);
        any = true;
    };
    forEachRingFace([&](int i, int j) { note(limitedM, fluxM[i][j], i, j, i + 1, j); },
                    [&](int i, int j) { note(limitedN, fluxN[i][j], i, j, i, j + 1); });
    if (!any) return;
    const View storedM = level.fluxM.view();
    const View storedN = level.fluxN.view();
    forEachRingFace([&](int i, int j) { DeliverNoted(storedM, limitedM, i, j, 1, 0, iLo, iHi, jLo, jHi); },
                    [&](int i, int j) { DeliverNoted(storedN, limitedN, i, j, 0, 1, iLo, iHi, jLo, jHi); });
}

template <bool Spherical>
void ContinuityInterior(GridLevel& level, double ratio, double tMinutes, const KernelSettings& settings) {
    // The update runs up to column nx - 1 and row ny - 1 of the extent left once the rings that
    // the parent owns beyond the first are taken off.
    const int inset = std::max(settings.parentRing - 1, 0);
    const int nx = level.nx - inset;
    const int ny = level.ny - inset;
    const ConstView fluxM = level.fluxM.cview();
    const ConstView fluxN = level.fluxN.cview();
    const ConstView depth = level.depth.cview();
    const View eta = level.eta.view();
    const View etaNext = level.etaNext.view();
    const View totalDepth = level.totalDepth.view();
    const View totalDepthNext = level.totalDepthNext.view();
    const View etaMax = level.etaMax.view();
    const View etaMin = level.etaMin.view();
    const View timeOfMaxWave = level.timeOfMaxWave.view();
    const View firstWaveArrival = level.firstWaveArrival.view();
    const View maxFlowDepth = level.maxFlowDepth.view();
    const ConstView metricX = Spherical ? level.metricX.cview() : ConstView{};
    const float* cosLatitude = Spherical ? level.cosLatitude.data() : nullptr;

    const double factor = settings.timeStepFactor;
    const double cartesianScale = factor * ratio;  // dt / dx
    OutflowLimit<Spherical> limit{fluxM, fluxN, level.eta.cview(), depth, metricX, cosLatitude, factor, cartesianScale};
    const float stamp = static_cast<float>(tMinutes);
    const double arrivalThreshold = cells::ArrivalThreshold(Spherical);
    // The spherical radiation condition owns columns 1, 2 and rows 1, 2; the Cartesian one only 1.
    // On a nested level the parent owns the two outer rings on every side.
    const int first = std::max(Spherical ? 3 : 2, settings.parentRing + 1);
    // Cells outside the active window would keep their values: they are left alone. The cells of
    // an absorbing layer are updated every step whatever the window: the layer's own update
    // overwrites their levels afterwards, but the total depth this update leaves in them is what
    // their neighbours' momentum reads.
    const kernels::Span windowColumns = kernels::ColumnsInWindow(level, first, nx - 1);
    const kernels::Span windowRows = kernels::RowsInWindow(level, first, ny - 1);
    const int band = level.absorbingLayer ? level.layerCells : 0;
    const kernels::Span columns = band > 0 ? kernels::Span{first, nx - 1} : windowColumns;
    // The rows of column i to update, as up to three disjoint ascending spans.
    struct RowSpans {
        int count = 0;
        kernels::Span span[3];
        void Add(int lo, int hi) {
            if (hi < lo) return;
            if (count > 0 && lo <= span[count - 1].hi + 1) {
                span[count - 1].hi = std::max(span[count - 1].hi, hi);
                return;
            }
            span[count++] = {lo, hi};
        }
    };
    auto rowsOf = [&](int i) {
        RowSpans r;
        const bool inWindow = i >= windowColumns.lo && i <= windowColumns.hi;
        if (band == 0) {
            if (inWindow) r.Add(windowRows.lo, windowRows.hi);
        } else if (i <= band || i > level.nx - band) {
            r.Add(first, ny - 1);
        } else {
            r.Add(first, std::min(band, ny - 1));
            if (inWindow) r.Add(std::max(windowRows.lo, band + 1), windowRows.hi);
            r.Add(std::max(level.ny - band + 1, first), ny - 1);
        }
        return r;
    };

    // Scratch of the limited fluxes (NaN where none) and the rows each column wrote into it.
    const View limitedM = level.limitedFluxM.view();
    const View limitedN = level.limitedFluxN.view();
    int32_t* const limitedRows = level.limitedRows.data();
    constexpr int32_t noRow = std::numeric_limits<int32_t>::max();

    // Cells where no outflow limit can act go through the branch-free loop (same bits), in
    // spans of at least kFewestRows rows: on shorter ones its set-up costs more than it saves.
    constexpr int kFewestRows = 32;
    const int massLoop = settings.wetMassLoop;
    wetmass::Scalars wetScalars;
    wetScalars.spherical = Spherical;
    wetScalars.factor = factor;
    wetScalars.cartesianScale = cartesianScale;
    wetScalars.arrivalThreshold = arrivalThreshold;
    wetScalars.stamp = stamp;
    const ConstView etaNow = level.eta.cview();
    const FieldView<std::uint8_t> outflowFits = level.outflowFits.view();
    // The inputs of column i's own cells (all that MarkFits reads).
    auto FitsColumn = [&](int i) {
        wetmass::Column c;
        c.fluxM[0] = fluxM[i - 1];
        c.fluxM[1] = fluxM[i];
        c.fluxN = fluxN[i];
        c.eta = etaNow[i];
        c.depth = depth[i];
        if constexpr (Spherical) c.metricX = metricX[i];
        c.cosLatitude = cosLatitude;
        return c;
    };
    auto WetColumn = [&](int i) {
        wetmass::Column c = FitsColumn(i);
        for (int o = 0; o < 3; ++o) c.fits[o] = outflowFits[i - 1 + o];
        c.etaNext = etaNext[i];
        c.totalDepthNext = totalDepthNext[i];
        c.totalDepth = totalDepth[i];
        c.maxFlowDepth = maxFlowDepth[i];
        c.etaMax = etaMax[i];
        c.etaMin = etaMin[i];
        c.timeOfMaxWave = timeOfMaxWave[i];
        c.firstWaveArrival = firstWaveArrival[i];
        return c;
    };

    auto column = [&](int i) {
        wetmass::Scratch scratch;
        const wetmass::Column wetColumn = massLoop > 0 ? WetColumn(i) : wetmass::Column{};
        const float* h = depth[i];
        const float* e = eta[i];
        float* eNext = etaNext[i];
        float* d = totalDepth[i];
        float* dNext = totalDepthNext[i];
        // Every face flux is scaled by the share of the cell it leaves. The shares of this
        // column's cells roll along j and are worked out once, and only where a flux leaves the
        // cell, so that still water costs none (NaN: not worked out yet; Share never returns
        // NaN); those of the neighbouring columns only where water comes from there.
        constexpr double unknown = std::numeric_limits<double>::quiet_NaN();
        const RowSpans spans = rowsOf(i);
        // Set when a share below 1 was used in this column: its limited fluxes are noted below.
        bool limited = false;
        const auto share = [&](int a, int b) {
            const double value = limit.Share(a, b);
            limited |= value < 1.0;
            return value;
        };
        for (int k = 0; k < spans.count; ++k) {
        double shareSouth = unknown;
        double shareHere = unknown;
        const int spanLo = spans.span[k].lo, spanHi = spans.span[k].hi;
        const bool loop = massLoop > 0 && spanHi - spanLo + 1 >= kFewestRows;
        for (int from = spanLo; from <= spanHi; from += wetmass::kChunk) {
        const int to = std::min(spanHi, from + wetmass::kChunk - 1);
        if (loop) wetmass::Update(wetColumn, wetScalars, from, to - from + 1, scratch, massLoop > 1);
        for (int j = from; j <= to; ++j) {
            if (loop && scratch.general[j - from] == 0) {
                // Taken by the loop; the shares it skipped are worked out again where needed.
                shareSouth = unknown;
                shareHere = unknown;
                continue;
            }
            double shareNorth = unknown;
            const auto own = [&] {
                if (std::isnan(shareHere)) shareHere = share(i, j);
                return shareHere;
            };
            const float fluxEast = fluxM[i][j];
            const float fluxWest = fluxM[i - 1][j];
            const float fluxNorth = fluxN[i][j];
            const float fluxSouth = fluxN[i][j - 1];
            double east = 0.0, west = 0.0, north = 0.0, south = 0.0;
            if (fluxEast != 0.0f) {
                east = static_cast<double>(fluxEast) * (fluxEast > 0.0f ? own() : share(i + 1, j));
            }
            if (fluxWest != 0.0f) {
                west = static_cast<double>(fluxWest) * (fluxWest > 0.0f ? share(i - 1, j) : own());
            }
            if (fluxNorth != 0.0f) {
                if (!(fluxNorth > 0.0f)) shareNorth = share(i, j + 1);
                north = static_cast<double>(fluxNorth) * (fluxNorth > 0.0f ? own() : shareNorth);
            }
            if (fluxSouth != 0.0f) {
                if (fluxSouth > 0.0f && std::isnan(shareSouth)) shareSouth = share(i, j - 1);
                south = static_cast<double>(fluxSouth) * (fluxSouth > 0.0f ? shareSouth : own());
            }
            shareSouth = shareHere;
            shareHere = shareNorth;
            if constexpr (Spherical) {
                // On the sphere the meridional flux is weighted by the cosine of the latitude; each
                // face carries the same weight seen from both sides.
                north *= cosLatitude[j];
                south *= cosLatitude[j - 1];
            }
            // Inflow equals outflow in both directions: the level cannot change.
            if (east == west && north == south) {
                eNext[j] = e[j];
                const float still = static_cast<float>(static_cast<double>(e[j]) + h[j]);
                dNext[j] = still;
                d[j] = still;
                continue;
            }
            // Water reaching a dry cell whose level lies below its bed (land starts at level 0)
            // is added on the bed, not used up to lift the level up to it.
            const double level0 = std::max(static_cast<double>(e[j]), -static_cast<double>(h[j]));
            double level1;
            if constexpr (Spherical) {
                level1 = level0 - metricX[i][j] * factor * ((east - west) + (north - south));
            } else {
                level1 = level0 - (((east - west) + north) - south) * cartesianScale;
            }
            const double total1 = h[j] + level1;
            // The cell's own water column. Cartesian levels also keep the mean depth of the
            // cell's east and north faces (the momentum update): a wet cell at a runup front,
            // whose faces towards dry land carry no water, still counts as flooded.
            if (total1 > maxFlowDepth[i][j]) maxFlowDepth[i][j] = static_cast<float>(total1);
            if (total1 <= kEpsilon) {
                // Dry: no water column. What little water the cell still holds stays in its level
                // (so that none is lost); a level below the bed (rounding only) rests on the bed.
                dNext[j] = 0.0f;
                d[j] = 0.0f;
                eNext[j] = total1 > 0.0 ? static_cast<float>(level1) : -h[j];
                continue;
            }
            const float newLevel = static_cast<float>(level1);
            dNext[j] = static_cast<float>(total1);
            eNext[j] = newLevel;
            if constexpr (!Spherical) d[j] = static_cast<float>(total1);
            if (newLevel > etaMax[i][j]) timeOfMaxWave[i][j] = stamp;
            if (std::fabs(static_cast<double>(newLevel)) > arrivalThreshold && firstWaveArrival[i][j] == 0.0f) {
                firstWaveArrival[i][j] = stamp;
            }
            if (newLevel < etaMin[i][j]) etaMin[i][j] = newLevel;
            if (newLevel > etaMax[i][j]) etaMax[i][j] = newLevel;
        }
        }
        }
        // The limited fluxes of the column, worked out again from the same inputs (nothing this
        // column reads has been written yet): column i notes its east and north faces, the south
        // face of each span's first row and the west faces of the rows that column i - 1 does
        // not update.
        int32_t ownLo = noRow, ownHi = -noRow, westLo = noRow, westHi = -noRow;
        if (limited) [[unlikely]] {
            const RowSpans westSpans = i > columns.lo ? rowsOf(i - 1) : RowSpans{};
            auto westOwned = [&](int j) {
                for (int k = 0; k < westSpans.count; ++k)
                    if (j >= westSpans.span[k].lo && j <= westSpans.span[k].hi) return false;
                return true;
            };
            auto note = [](const View& field, int a, int b, float flux, double value, int32_t& lo, int32_t& hi) {
                if (value == static_cast<double>(flux)) return;
                field[a][b] = static_cast<float>(value);
                lo = std::min(lo, static_cast<int32_t>(b));
                hi = std::max(hi, static_cast<int32_t>(b));
            };
            for (int k = 0; k < spans.count; ++k) {
                for (int j = spans.span[k].lo; j <= spans.span[k].hi; ++j) {
                    const float east = fluxM[i][j], north = fluxN[i][j];
                    note(limitedM, i, j, east, limit.Delivered(east, i, j, i + 1, j), ownLo, ownHi);
                    note(limitedN, i, j, north, limit.Delivered(north, i, j, i, j + 1), ownLo, ownHi);
                    if (westOwned(j)) {
                        const float west = fluxM[i - 1][j];
                        note(limitedM, i - 1, j, west, limit.Delivered(west, i - 1, j, i, j), westLo, westHi);
                    }
                    if (j == spans.span[k].lo) {
                        const float south = fluxN[i][j - 1];
                        note(limitedN, i, j - 1, south, limit.Delivered(south, i, j - 1, i, j), ownLo, ownHi);
                    }
                }
            }
        }
        limitedRows[4 * i] = ownLo;
        limitedRows[4 * i + 1] = ownHi;
        limitedRows[4 * (i - 1) + 2] = westLo;
        limitedRows[4 * (i - 1) + 3] = westHi;
    };
    // The current level takes the new one: on Cartesian levels everywhere, on spherical ones
    // where the cell fell dry (its surface now rests on the bed).
    auto writeBack = [&](int i) {
        float* e = eta[i];
        const float* eNext = etaNext[i];
        const float* dNext = totalDepthNext[i];
        const RowSpans spans = rowsOf(i);
        for (int k = 0; k < spans.count; ++k) {
            for (int j = spans.span[k].lo; j <= spans.span[k].hi; ++j) {
                if (!Spherical || dNext[j] == 0.0f) e[j] = eNext[j];
            }
        }
    };
    // Which cells hold their outflow, once per cell for the branch-free loop, which reads it for a
    // cell's own column and both neighbours: every row any of the three columns updates, and one
    // more on either side. Nothing it reads changes before the update has read it.
    if (massLoop > 0 && columns.hi >= columns.lo) {
#pragma omp parallel for schedule(static) num_threads(KernelTeamSize(settings))
        for (int i = columns.lo - 1; i <= columns.hi + 1; ++i) {
            int lo = ny, hi = 0;
            for (int n = std::max(i - 1, columns.lo); n <= std::min(i + 1, columns.hi); ++n) {
                const RowSpans spans = rowsOf(n);
                for (int k = 0; k < spans.count; ++k) {
                    lo = std::min(lo, spans.span[k].lo);
                    hi = std::max(hi, spans.span[k].hi);
                }
            }
            if (lo <= hi) wetmass::MarkFits(FitsColumn(i), wetScalars, lo - 1, hi + 1, outflowFits[i], massLoop > 1);
        }
    }
    WriteBackAfterNeighbours(columns.lo, columns.hi, KernelTeamSize(settings), column, writeBack);

    // The limited fluxes become the stored ones; the scratch returns to NaN. The cells beside a
    // face whose flux changed count as changed for the still-water window. The rings of a nested
    // level go first: their shares read the fluxes as the update found them.
    int iLo = noRow, iHi = -noRow, jLo = noRow, jHi = -noRow;
    if (settings.parentRing > 0) LimitRingFluxes(level, limit, iLo, iHi, jLo, jHi);
    const View fluxMOut = level.fluxM.view();
    const View fluxNOut = level.fluxN.view();
    if (columns.hi >= columns.lo) {
#pragma omp parallel for schedule(static) num_threads(KernelTeamSize(settings)) \
    reduction(min : iLo, jLo) reduction(max : iHi, jHi)
        for (int i = columns.lo - 1; i <= columns.hi; ++i) {
            if (i >= columns.lo) {
                for (int j = limitedRows[4 * i]; j <= limitedRows[4 * i + 1]; ++j) {
                    DeliverNoted(fluxMOut, limitedM, i, j, 1, 0, iLo, iHi, jLo, jHi);
                    DeliverNoted(fluxNOut, limitedN, i, j, 0, 1, iLo, iHi, jLo, jHi);
                }
            }
            if (i < columns.hi) {
                for (int j = limitedRows[4 * i + 2]; j <= limitedRows[4 * i + 3]; ++j)
                    DeliverNoted(fluxMOut, limitedM, i, j, 1, 0, iLo, iHi, jLo, jHi);
            }
        }
    }
    ActiveWindow& window = level.activeWindow;
    window.limitedIMin = std::min(window.limitedIMin, iLo);
    window.limitedIMax = std::max(window.limitedIMax, iHi);
    window.limitedJMin = std::min(window.limitedJMin, jLo);
    window.limitedJMax = std::max(window.limitedJMax, jHi);
}

}  // namespace

void ContinuitySpherical(GridLevel& level, double tMinutes, const KernelSettings& settings) {
    if (!kernels::HasSphericalFields(level) || !kernels::HasLimitScratch(level)) return;
    ContinuityInterior<true>(level, 0.0, tMinutes, settings);
    if (settings.parentRing == 0) RadiateOpenBoundariesSpherical(level, settings);
}

void ContinuityCartesian(GridLevel& level, double ratio, double tMinutes, const KernelSettings& settings) {
    if (!kernels::HasLevelFields(level) || !kernels::HasLimitScratch(level)) return;
    ContinuityInterior<false>(level, ratio, tMinutes, settings);
    if (settings.parentRing == 0) RadiateOpenBoundariesCartesian(level, ratio, settings);
}
