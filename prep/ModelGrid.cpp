#include "ModelGrid.h"

#include <netcdf.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <unistd.h>

namespace {

// Surfer marks nodes without data with this value; non-finite values are written as it.
constexpr float kSurferBlank = 1.70141e38f;
// Largest node count accepted: the model addresses a level's nodes with 32-bit integers.
constexpr long long kMaxNodes = std::numeric_limits<int>::max();

bool Fail(std::string* error, const std::string& message) {
    if (error) *error = message;
    return false;
}

// Whitespace tokenizer over a whole text file held in memory.
class TokenReader {
public:
    explicit TokenReader(const std::string& text) : text_(text) {}

    bool Next(std::string_view* token) {
        while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
        if (pos_ >= text_.size()) return false;
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !IsSpace(text_[pos_])) ++pos_;
        *token = std::string_view(text_).substr(start, pos_ - start);
        return true;
    }

    template <typename T>
    bool Number(T* value) {
        std::string_view token;
        if (!Next(&token)) return false;
        if (token.size() > 1 && token.front() == '+') token.remove_prefix(1);
        const char* end = token.data() + token.size();
        const auto [ptr, ec] = std::from_chars(token.data(), end, *value);
        // Out-of-range magnitudes (a blank of 1e39 in a float grid) are not accepted silently.
        return ec == std::errc() && ptr == end;
    }

private:
    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
    const std::string& text_;
    std::size_t pos_ = 0;
};

bool ReadWholeFile(const std::string& path, std::string* text, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail(error, path + ": cannot open file");
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return Fail(error, path + ": read error");
    *text = std::move(buffer).str();
    return true;
}

bool ReadSurferText(const std::string& path, ModelGrid* grid, std::string* error) {
    std::string text;
    if (!ReadWholeFile(path, &text, error)) return false;
    TokenReader reader(text);
    std::string_view keyword;
    if (!reader.Next(&keyword) || keyword != "DSAA")
        return Fail(error, path + ": not a Surfer text grid (first word is not DSAA)");
    long long nx = 0, ny = 0;
    if (!reader.Number(&nx) || !reader.Number(&ny))
        return Fail(error, path + ": bad grid size in the header");
    if (nx < 1 || ny < 1 || nx > kMaxNodes / ny)
        return Fail(error, path + ": grid size " + std::to_string(nx) + " x " + std::to_string(ny) +
                               " is out of range");
    ModelGrid result;
    double zMin = 0.0, zMax = 0.0;
    if (!reader.Number(&result.xMin) || !reader.Number(&result.xMax) || !reader.Number(&result.yMin) ||
        !reader.Number(&result.yMax) || !reader.Number(&zMin) || !reader.Number(&zMax))
        return Fail(error, path + ": bad extent in the header");
    if (!std::isfinite(result.xMin) || !std::isfinite(result.xMax) || !std::isfinite(result.yMin) ||
        !std::isfinite(result.yMax))
        return Fail(error, path + ": extent is not finite");
    result.nx = static_cast<int>(nx);
    result.ny = static_cast<int>(ny);
    const std::size_t count = static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny);
    // Each value takes at least two characters, so a size the text cannot hold is refused
    // before anything is allocated.
    if (count > text.size() / 2 + 1)
        return Fail(error, path + ": file holds fewer than the " + std::to_string(count) + " values of its header");
    result.values.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
        if (!reader.Number(&result.values[k]))
            return Fail(error, path + ": value " + std::to_string(k + 1) + " of " + std::to_string(count) +
                                   " is missing or not a number");
    }
    *grid = std::move(result);
    return true;
}

// Reads the first and last values of a 1-D coordinate variable of the given length.
bool ReadCoordinateEnds(int ncid, const char* name, std::size_t length, double* first, double* last,
                        const std::string& path, std::string* error) {
    int varid = 0;
    if (nc_inq_varid(ncid, name, &varid) != NC_NOERR) return Fail(error, path + ": no variable " + name);
    int ndims = 0;
    nc_inq_varndims(ncid, varid, &ndims);
    if (ndims != 1) return Fail(error, path + ": variable " + name + " is not one-dimensional");
    int dimid = 0;
    std::size_t dimLength = 0;
    nc_inq_vardimid(ncid, varid, &dimid);
    nc_inq_dimlen(ncid, dimid, &dimLength);
    if (dimLength != length)
        return Fail(error, path + ": variable " + name + " has " + std::to_string(dimLength) +
                               " values, HA needs " + std::to_string(length));
    const std::size_t firstIndex = 0, lastIndex = length - 1;
    if (nc_get_var1_double(ncid, varid, &firstIndex, first) != NC_NOERR ||
        nc_get_var1_double(ncid, varid, &lastIndex, last) != NC_NOERR)
        return Fail(error, path + ": cannot read variable " + name);
    if (!std::isfinite(*first) || !std::isfinite(*last))
        return Fail(error, path + ": variable " + name + " is not finite");
    return true;
}

bool ReadNetcdf(const std::string& path, ModelGrid* grid, std::string* error) {
    int ncid = 0;
    int status = nc_open(path.c_str(), NC_NOWRITE, &ncid);
    if (status != NC_NOERR) return Fail(error, path + ": " + nc_strerror(status));
    auto failClosed = [&](const std::string& message) {
        nc_close(ncid);
        return Fail(error, message);
    };
    int haId = 0;
    if (nc_inq_varid(ncid, "HA", &haId) != NC_NOERR) return failClosed(path + ": no variable HA");
    int ndims = 0;
    nc_inq_varndims(ncid, haId, &ndims);
    if (ndims != 2 && ndims != 3) return failClosed(path + ": HA must have two or three dimensions");
    int dimIds[NC_MAX_VAR_DIMS] = {};
    std::size_t lengths[3] = {};
    nc_inq_vardimid(ncid, haId, dimIds);
    for (int d = 0; d < ndims; ++d) nc_inq_dimlen(ncid, dimIds[d], &lengths[d]);
    if (ndims == 3 && lengths[0] != 1)
        return failClosed(path + ": HA holds " + std::to_string(lengths[0]) + " records, one is expected");
    const std::size_t ny = lengths[ndims - 2], nx = lengths[ndims - 1];
    if (nx < 1 || ny < 1 || nx > static_cast<std::size_t>(kMaxNodes) / ny)
        return failClosed(path + ": HA size is out of range");
    ModelGrid result;
    result.nx = static_cast<int>(nx);
    result.ny = static_cast<int>(ny);
    if (!ReadCoordinateEnds(ncid, "LON", nx, &result.xMin, &result.xMax, path, error) ||
        !ReadCoordinateEnds(ncid, "LAT", ny, &result.yMin, &result.yMax, path, error)) {
        nc_close(ncid);
        return false;
    }
    result.values.resize(nx * ny);
    status = nc_get_var_float(ncid, haId, result.values.data());
    if (status != NC_NOERR) return failClosed(path + ": cannot read HA: " + nc_strerror(status));
    nc_close(ncid);
    *grid = std::move(result);
    return true;
}

template <typename T>
void AppendNumber(std::string* out, T value) {
    char buffer[64];
    // Shortest text that reads back to the same binary value.
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out->append(buffer, result.ptr);
}

// Temporary sibling of the final file, unique per process.
std::string TemporaryName(const std::string& path) {
    return path + ".tmp" + std::to_string(static_cast<long long>(getpid()));
}

bool MoveIntoPlace(const std::string& temporary, const std::string& path, std::string* error) {
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return Fail(error, path + ": cannot replace the file");
    }
    return true;
}

bool CheckShape(const std::string& path, const ModelGrid& grid, std::string* error) {
    if (grid.nx < 1 || grid.ny < 1 ||
        grid.values.size() != static_cast<std::size_t>(grid.nx) * static_cast<std::size_t>(grid.ny))
        return Fail(error, path + ": grid has " + std::to_string(grid.values.size()) + " values for " +
                               std::to_string(grid.nx) + " x " + std::to_string(grid.ny) + " nodes");
    if (!std::isfinite(grid.xMin) || !std::isfinite(grid.xMax) || !std::isfinite(grid.yMin) ||
        !std::isfinite(grid.yMax))
        return Fail(error, path + ": extent is not finite");
    return true;
}

bool WriteSurferText(const std::string& path, const ModelGrid& grid, std::string* error) {
    double zMin = std::numeric_limits<double>::infinity(), zMax = -zMin;
    for (float v : grid.values) {
        if (!std::isfinite(v) || v >= kSurferBlank) continue;
        zMin = std::min(zMin, static_cast<double>(v));
        zMax = std::max(zMax, static_cast<double>(v));
    }
    if (zMin > zMax) zMin = zMax = 0.0;

    std::string text = "DSAA\n";
    text.reserve(text.size() + grid.values.size() * 12 + 256);
    AppendNumber(&text, grid.nx);
    text += ' ';
    AppendNumber(&text, grid.ny);
    text += '\n';
    const double header[3][2] = {{grid.xMin, grid.xMax}, {grid.yMin, grid.yMax}, {zMin, zMax}};
    for (const auto& pair : header) {
        AppendNumber(&text, pair[0]);
        text += ' ';
        AppendNumber(&text, pair[1]);
        text += '\n';
    }
    for (int row = 0; row < grid.ny; ++row) {
        for (int col = 0; col < grid.nx; ++col) {
            const float v = grid.At(col, row);
            if (col > 0) text += ' ';
            AppendNumber(&text, std::isfinite(v) ? v : kSurferBlank);
        }
        text += '\n';
    }

    const std::string temporary = TemporaryName(path);
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return Fail(error, path + ": cannot create file");
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            return Fail(error, path + ": write error");
        }
    }
    return MoveIntoPlace(temporary, path, error);
}

bool WriteNetcdf(const std::string& path, const ModelGrid& grid, std::string* error) {
    const std::string temporary = TemporaryName(path);
    int ncid = 0;
    int status = nc_create(temporary.c_str(), NC_CLOBBER, &ncid);
    if (status != NC_NOERR) return Fail(error, path + ": " + nc_strerror(status));

    const bool spherical = grid.LooksSpherical();
    const char* lonUnits = spherical ? "degrees_east" : "m";
    const char* latUnits = spherical ? "degrees_north" : "m";
    int timeDim = 0, latDim = 0, lonDim = 0, latVar = 0, lonVar = 0, haVar = 0;
    auto ok = [&status](int code) {
        if (status == NC_NOERR) status = code;
        return status == NC_NOERR;
    };
    ok(nc_def_dim(ncid, "TIME", 1, &timeDim));
    ok(nc_def_dim(ncid, "LAT", static_cast<std::size_t>(grid.ny), &latDim));
    ok(nc_def_dim(ncid, "LON", static_cast<std::size_t>(grid.nx), &lonDim));
    ok(nc_def_var(ncid, "LAT", NC_DOUBLE, 1, &latDim, &latVar));
    ok(nc_def_var(ncid, "LON", NC_DOUBLE, 1, &lonDim, &lonVar));
    const int haDims[3] = {timeDim, latDim, lonDim};
    ok(nc_def_var(ncid, "HA", NC_FLOAT, 3, haDims, &haVar));
    ok(nc_put_att_text(ncid, latVar, "units", std::char_traits<char>::length(latUnits), latUnits));
    ok(nc_put_att_text(ncid, lonVar, "units", std::char_traits<char>::length(lonUnits), lonUnits));
    ok(nc_put_att_text(ncid, haVar, "units", 1, "m"));
    ok(nc_enddef(ncid));

    std::vector<double> lat(static_cast<std::size_t>(grid.ny)), lon(static_cast<std::size_t>(grid.nx));
    for (int row = 0; row < grid.ny; ++row) lat[row] = grid.Y(row);
    for (int col = 0; col < grid.nx; ++col) lon[col] = grid.X(col);
    // The ends carry the extent exactly, free of the rounding of xMin + k*dx.
    lat.back() = grid.yMax;
    lon.back() = grid.xMax;
    ok(nc_put_var_double(ncid, latVar, lat.data()));
    ok(nc_put_var_double(ncid, lonVar, lon.data()));
    ok(nc_put_var_float(ncid, haVar, grid.values.data()));
    const int closeStatus = nc_close(ncid);
    ok(closeStatus);
    if (status != NC_NOERR) {
        std::remove(temporary.c_str());
        return Fail(error, path + ": " + nc_strerror(status));
    }
    return MoveIntoPlace(temporary, path, error);
}

}  // namespace

bool ModelGrid::LooksSpherical() const {
    const double lowX = std::min(xMin, xMax), highX = std::max(xMin, xMax);
    const double lowY = std::min(yMin, yMax), highY = std::max(yMin, yMax);
    return lowX >= -360.0 && highX <= 360.0 && highX - lowX <= 360.0 && lowY >= -90.0 && highY <= 90.0;
}

bool ReadModelGrid(const std::string& path, ModelGrid* grid, std::string* error) {
    if (!grid) return Fail(error, path + ": no grid to read into");
    return IsSurferTextName(path) ? ReadSurferText(path, grid, error) : ReadNetcdf(path, grid, error);
}

bool WriteModelGrid(const std::string& path, const ModelGrid& grid, std::string* error) {
    if (!CheckShape(path, grid, error)) return false;
    return IsSurferTextName(path) ? WriteSurferText(path, grid, error) : WriteNetcdf(path, grid, error);
}
