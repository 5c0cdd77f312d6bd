#include "SourceEvents.h"

#include <netcdf.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// One grid of an event as read from its file, row-major from the south-west corner.
struct EventGrid {
    int32_t nx = 0, ny = 0;
    std::vector<double> values;  // (j - 1) * nx + (i - 1)
    bool additive = false;       // netCDF water levels add to the wave, Surfer text replaces it
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Position of cell (i, j) in a grid's values.
std::size_t FlatIndex(const EventGrid& grid, int32_t i, int32_t j) {
    return static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(grid.nx) + static_cast<std::size_t>(i - 1);
}

// Whitespace-separated words of a text file held in memory.
class WordReader {
public:
    explicit WordReader(std::string text) : text_(std::move(text)) {}

    std::string_view Next() {
        while (position_ < text_.size() && IsSpace(text_[position_])) ++position_;
        const std::size_t start = position_;
        while (position_ < text_.size() && !IsSpace(text_[position_])) ++position_;
        return std::string_view(text_).substr(start, position_ - start);
    }

private:
    std::string text_;
    std::size_t position_ = 0;
};

template <typename T>
bool ParseWhole(std::string_view word, T& value) {
    if (!word.empty() && word.front() == '+') word.remove_prefix(1);
    if (word.empty()) return false;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    return error == std::errc() && end == word.data() + word.size();
}

bool ReadFile(const std::string& path, std::string& text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

std::string SizeText(int64_t nx, int64_t ny) {
    return std::to_string(nx) + " x " + std::to_string(ny);
}

// The grid must have at least one value and fit into the level (exactly, when `exact`).
std::string CheckSize(int64_t nx, int64_t ny, const GridLevel& level, bool exact) {
    if (nx < 1 || ny < 1) return "its size " + SizeText(nx, ny) + " holds no cells";
    // Source grids cover the user's grid; a frame Init added around level 0 is not part of it.
    const GridWindow w = level.UserWindow();
    const bool fits = exact ? (nx == w.nx && ny == w.ny) : (nx <= w.nx && ny <= w.ny);
    if (!fits) return "it has " + SizeText(nx, ny) + " cells, level 0 has " + SizeText(w.nx, w.ny);
    return {};
}

// A Surfer text grid: keyword, nx, ny, six header numbers (ignored), ny rows of nx values.
// The keyword is not compared (flux grids); the caller checks it where it matters.
std::string ReadSurferText(WordReader& words, const GridLevel& level, bool exact, EventGrid& grid) {
    int32_t nx = 0, ny = 0;
    if (!ParseWhole(words.Next(), nx) || !ParseWhole(words.Next(), ny))
        return "its header has no column and row counts";
    if (std::string reason = CheckSize(nx, ny, level, exact); !reason.empty()) return reason;
    for (int header = 0; header < 6; ++header) {
        double ignored = 0.0;
        if (!ParseWhole(words.Next(), ignored)) return "its header lacks the x, y and z ranges";
    }
    const std::size_t count = static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny);
    grid.values.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
        const std::string_view word = words.Next();
        if (word.empty())
            return "it ends after " + std::to_string(k) + " of " + std::to_string(count) + " values";
        if (!ParseWhole(word, grid.values[k]) || !std::isfinite(grid.values[k]))
            return "value " + std::to_string(k + 1) + " (\"" + std::string(word.substr(0, 20)) +
                   "\") is not a finite number";
    }
    grid.nx = nx;
    grid.ny = ny;
    return {};
}

std::string ReadFluxGrid(const std::string& path, const GridLevel& level, bool exact, EventGrid& grid) {
    std::string text;
    if (!ReadFile(path, text)) return "it cannot be opened";
    WordReader words(std::move(text));
    if (words.Next().empty()) return "it is empty";
    return ReadSurferText(words, level, exact, grid);
}

// "HA" of a netCDF file: dimensions (record, rows, columns) with a single record.
std::string ReadNetCdfLevel(const std::string& path, const GridLevel& level, bool exact, EventGrid& grid) {
    int ncid = 0;
    if (nc_open(path.c_str(), NC_NOWRITE, &ncid) != NC_NOERR)
        return "it is neither a Surfer text grid (\"DSAA\") nor a readable netCDF file";
    auto fail = [ncid](std::string reason) {
        nc_close(ncid);
        return reason;
    };
    int varid = 0, ndims = 0;
    nc_type type = NC_NAT;
    if (nc_inq_varid(ncid, "HA", &varid) != NC_NOERR) return fail("it has no variable \"HA\"");
    if (nc_inq_varndims(ncid, varid, &ndims) != NC_NOERR || ndims != 3)
        return fail("its \"HA\" has " + std::to_string(ndims) + " dimensions, not (record, rows, columns)");
    const bool numeric = nc_inq_vartype(ncid, varid, &type) == NC_NOERR && type >= NC_BYTE && type <= NC_UINT64 &&
                         type != NC_CHAR;
    if (!numeric) return fail("its \"HA\" is not numeric");
    int dimids[3] = {0, 0, 0};
    std::size_t lengths[3] = {0, 0, 0};
    if (nc_inq_vardimid(ncid, varid, dimids) != NC_NOERR) return fail("its \"HA\" dimensions cannot be read");
    for (int d = 0; d < 3; ++d)
        if (nc_inq_dimlen(ncid, dimids[d], &lengths[d]) != NC_NOERR) return fail("its \"HA\" dimensions cannot be read");
    if (lengths[0] != 1) return fail("its \"HA\" holds " + std::to_string(lengths[0]) + " records, not 1");
    const int64_t ny = static_cast<int64_t>(lengths[1]), nx = static_cast<int64_t>(lengths[2]);
    if (std::string reason = CheckSize(nx, ny, level, exact); !reason.empty()) return fail(reason);

    std::vector<float> buffer(static_cast<std::size_t>(nx * ny));
    const std::size_t start[3] = {0, 0, 0};
    const std::size_t count[3] = {1, lengths[1], lengths[2]};
    if (nc_get_vara_float(ncid, varid, start, count, buffer.data()) != NC_NOERR)
        return fail("its \"HA\" values cannot be read as numbers");
    nc_close(ncid);
    for (std::size_t k = 0; k < buffer.size(); ++k)
        if (!std::isfinite(buffer[k])) return "its \"HA\" value " + std::to_string(k + 1) + " is not a finite number";
    grid.values.assign(buffer.begin(), buffer.end());
    grid.nx = static_cast<int32_t>(nx);
    grid.ny = static_cast<int32_t>(ny);
    grid.additive = true;
    return {};
}

// Looks at the first word only, so that a large netCDF file is not read as text.
bool FirstWordIsDsaa(std::ifstream& file) {
    char c = 0;
    while (file.get(c) && IsSpace(c)) {
    }
    if (!file) return false;
    std::string word(1, c);
    while (word.size() <= 4 && file.get(c) && !IsSpace(c))
        word += c;
    return word == "DSAA";
}

// The water-level grid: Surfer text when its first word is exactly "DSAA", netCDF otherwise.
std::string ReadWaterLevelGrid(const std::string& path, const GridLevel& level, bool exact, EventGrid& grid) {
    bool surfer = false;
    {
        std::ifstream file(path, std::ios::binary);
        if (!file) return "it cannot be opened";
        surfer = FirstWordIsDsaa(file);
    }
    if (!surfer) return ReadNetCdfLevel(path, level, exact, grid);
    std::string text;
    if (!ReadFile(path, text)) return "it cannot be opened";
    WordReader words(std::move(text));
    words.Next();
    return ReadSurferText(words, level, exact, grid);
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

// Adds the grid to `flux` where the cell and its four neighbours are wet; elsewhere the value
// is dropped (a flux into or out of land would create or lose water). `fluxNext` follows `flux`
// in every cell the grid covers.
void ApplyFlux(const GridLevel& level, const EventGrid& grid, View flux, View fluxNext) {
    const GridWindow w = level.UserWindow();
    ConstView depth = w.Crop(level.depth.view());
    flux = w.Crop(flux);
    fluxNext = w.Crop(fluxNext);
    for (int32_t i = 1; i <= grid.nx; ++i) {
        for (int32_t j = 1; j <= grid.ny; ++j) {
            const bool wet = depth(i, j) > 0.0f && depth(i - 1, j) > 0.0f && depth(i + 1, j) > 0.0f &&
                             depth(i, j - 1) > 0.0f && depth(i, j + 1) > 0.0f;
            if (wet) {
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
        if (std::string reason = ReadWaterLevelGrid(event.etaFile, level0, false, grid); reason.empty())
            ApplyWaterLevel(level0, grid);
        else
            Warn(event.etaFile, reason);
    }
    if (!event.fluxMFile.empty()) {
        EventGrid grid;
        if (std::string reason = ReadFluxGrid(event.fluxMFile, level0, false, grid); reason.empty())
            ApplyFlux(level0, grid, level0.fluxM.view(), level0.fluxMNext.view());
        else
            Warn(event.fluxMFile, reason);
    }
    if (!event.fluxNFile.empty()) {
        EventGrid grid;
        if (std::string reason = ReadFluxGrid(event.fluxNFile, level0, false, grid); reason.empty())
            ApplyFlux(level0, grid, level0.fluxN.view(), level0.fluxNNext.view());
        else
            Warn(event.fluxNFile, reason);
    }
}

std::string CheckSourceEvent(const SourceEvent& event, const GridLevel& level0) {
    if (event.etaFile.empty()) return "the event names no water-level file";
    EventGrid grid;
    if (std::string reason = ReadWaterLevelGrid(event.etaFile, level0, true, grid); !reason.empty())
        return "water-level file " + event.etaFile + ": " + reason;
    if (!event.fluxMFile.empty()) {
        if (std::string reason = ReadFluxGrid(event.fluxMFile, level0, true, grid); !reason.empty())
            return "x-flux file " + event.fluxMFile + ": " + reason;
    }
    if (!event.fluxNFile.empty()) {
        if (std::string reason = ReadFluxGrid(event.fluxNFile, level0, true, grid); !reason.empty())
            return "y-flux file " + event.fluxNFile + ": " + reason;
    }
    return {};
}
