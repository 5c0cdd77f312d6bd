#include "SourceEvents.h"

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>

#include "GridFileReader.h"

namespace {

// One grid of an event as read from its file, row-major from the south-west corner.
struct EventGrid : BasicGridFile<double> {
    bool additive = false;  // netCDF water levels add to the wave, Surfer text replaces it
};

// Position of cell (i, j) in a grid's values.
std::size_t FlatIndex(const EventGrid& grid, int32_t i, int32_t j) {
    return static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(grid.nx) + static_cast<std::size_t>(i - 1);
}

std::string SizeText(int64_t nx, int64_t ny) { return std::to_string(nx) + " x " + std::to_string(ny); }

// Reads one grid of an event and checks that it fits into level 0 (exactly, when `exact`).
// The water level is Surfer text when its first word is "DSAA", otherwise netCDF whose "HA"
// is (record, rows, columns) with a single record; the flux grids are Surfer text whose first
// word is not compared. Values are read as doubles.
std::string ReadEventGrid(const std::string& path, bool waterLevel, const GridLevel& level, bool exact,
                          EventGrid& grid) {
    GridReadOptions options;
    options.anyFirstWord = !waterLevel;
    options.coordinates = false;
    options.recordDimension = true;
    const GridFileFormat format = waterLevel ? FormatFromFirstWord(path) : SurferText;
    std::string reason;
    if (ReadGridFile(path, format, options, grid, reason) != GridFault::kNone) return reason;
    grid.additive = format == NetCdf;
    // Source grids cover the user's grid; a frame Init added around level 0 is not part of it.
    const GridWindow w = level.UserWindow();
    const bool fits = exact ? (grid.nx == w.nx && grid.ny == w.ny) : (grid.nx <= w.nx && grid.ny <= w.ny);
    if (!fits) return "has " + SizeText(grid.nx, grid.ny) + " cells, level 0 has " + SizeText(w.nx, w.ny);
    return {};
}

bool FieldsReady(const GridLevel& level, std::initializer_list<const Field*> fields) {
    for (const Field* field : fields)
        if (field->Columns() != level.nx + 3 || field->Stride() != level.ny + 3) return false;
    return true;
}

void Warn(const std::string& path, const std::string& reason) {
    std::fprintf(stderr, "vestra: warning: source grid %s not applied: %s\n", path.c_str(), reason.c_str());
}

void ApplyWaterLevel(GridLevel& level, const EventGrid& grid) {
    const GridWindow w = level.UserWindow();
    View eta = w.Crop(level.eta.view());
    View etaNext = w.Crop(level.etaNext.view());
    for (int32_t i = 1; i <= grid.nx; ++i) {
        for (int32_t j = 1; j <= grid.ny; ++j) {
            const double value = grid.values[FlatIndex(grid, i, j)];
            if (grid.additive)
                eta(i, j) = eta(i, j) + static_cast<float>(value);  // single-precision sum
            else
                eta(i, j) = static_cast<float>(value);
            etaNext(i, j) = eta(i, j);
        }
    }
}

// Adds the grid to `flux` on every face whose two cells lie at sea (still-water depth above 0):
// the east face of (i, j) for the x-flux (cells (i, j) and (i + 1, j)), its north face for the
// y-flux (cells (i, j) and (i, j + 1)). A face touching land keeps its flux (water would flow
// into or out of land), and so does a face on the user's outer edge. A cell beside land or the
// edge still gets the flux of its faces between sea cells. `fluxNext` follows `flux` in every
// cell the grid covers. Indices count on the user's grid (a frame around level 0 is skipped).
void ApplyFlux(const GridLevel& level, const EventGrid& grid, bool east, View flux, View fluxNext) {
    const GridWindow w = level.UserWindow();
    ConstView depth = w.Crop(level.depth.view());
    flux = w.Crop(flux);
    fluxNext = w.Crop(fluxNext);
    const int32_t di = east ? 1 : 0;
    const int32_t dj = east ? 0 : 1;
    for (int32_t i = 1; i <= grid.nx; ++i) {
        for (int32_t j = 1; j <= grid.ny; ++j) {
            const bool inside = i + di <= w.nx && j + dj <= w.ny;
            if (inside && depth(i, j) > 0.0f && depth(i + di, j + dj) > 0.0f) {
                const double value = grid.values[FlatIndex(grid, i, j)];
                flux(i, j) = static_cast<float>(static_cast<double>(flux(i, j)) + value);
            }
            fluxNext(i, j) = flux(i, j);
        }
    }
}

}  // namespace

void ApplySourceEvent(GridLevel& level0, const SourceEvent& event) {
    if (!FieldsReady(level0, {&level0.depth, &level0.eta, &level0.etaNext, &level0.fluxM, &level0.fluxMNext,
                              &level0.fluxN, &level0.fluxNNext}))
        return;
    if (!event.etaFile.empty()) {
        EventGrid grid;
        if (std::string reason = ReadEventGrid(event.etaFile, true, level0, false, grid); reason.empty())
            ApplyWaterLevel(level0, grid);
        else
            Warn(event.etaFile, reason);
    }
    if (!event.fluxMFile.empty()) {
        EventGrid grid;
        if (std::string reason = ReadEventGrid(event.fluxMFile, false, level0, false, grid); reason.empty())
            ApplyFlux(level0, grid, true, level0.fluxM.view(), level0.fluxMNext.view());
        else
            Warn(event.fluxMFile, reason);
    }
    if (!event.fluxNFile.empty()) {
        EventGrid grid;
        if (std::string reason = ReadEventGrid(event.fluxNFile, false, level0, false, grid); reason.empty())
            ApplyFlux(level0, grid, false, level0.fluxN.view(), level0.fluxNNext.view());
        else
            Warn(event.fluxNFile, reason);
    }
}

std::string CheckSourceEvent(const SourceEvent& event, const GridLevel& level0) {
    if (event.etaFile.empty()) return "the event names no water-level file";
    EventGrid grid;
    if (std::string reason = ReadEventGrid(event.etaFile, true, level0, true, grid); !reason.empty())
        return "water-level file " + event.etaFile + ": " + reason;
    if (!event.fluxMFile.empty()) {
        if (std::string reason = ReadEventGrid(event.fluxMFile, false, level0, true, grid); !reason.empty())
            return "x-flux file " + event.fluxMFile + ": " + reason;
    }
    if (!event.fluxNFile.empty()) {
        if (std::string reason = ReadEventGrid(event.fluxNFile, false, level0, true, grid); !reason.empty())
            return "y-flux file " + event.fluxNFile + ": " + reason;
    }
    return {};
}
