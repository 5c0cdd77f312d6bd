#include "ModelGrid.h"

#include <netcdf.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <unistd.h>

namespace {

// Surfer marks nodes without data with this value; non-finite values are written as it.
constexpr float kSurferBlank = 1.70141e38f;

bool Fail(std::string* error, const std::string& message) {
    if (error) *error = message;
    return false;
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
    GridFile file;
    std::string reason;
    if (ReadGridFile(path, IsSurferTextName(path) ? SurferText : NetCdf, {}, file, reason) != GridFault::kNone)
        return Fail(error, path + ": " + reason);
    grid->nx = file.nx;
    grid->ny = file.ny;
    grid->xMin = file.xMin;
    grid->xMax = file.xMax;
    grid->yMin = file.yMin;
    grid->yMax = file.yMax;
    grid->values = std::move(file.values);
    return true;
}

bool WriteModelGrid(const std::string& path, const ModelGrid& grid, std::string* error) {
    if (!CheckShape(path, grid, error)) return false;
    return IsSurferTextName(path) ? WriteSurferText(path, grid, error) : WriteNetcdf(path, grid, error);
}
