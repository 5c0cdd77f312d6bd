#include "NetCdfWriter.h"

#include <netcdf.h>

#include <cstring>
#include <vector>

#include "ZellUtility.h"

namespace {

// Node coordinates from the first to the last value; a single node lies at the first one.
std::vector<float> NodeCoordinates(double first, double last, int32_t count) {
    std::vector<float> nodes(static_cast<std::size_t>(count));
    for (int32_t k = 0; k < count; ++k) {
        const double value = count == 1 ? first : first + k * (last - first) / (count - 1);
        nodes[static_cast<std::size_t>(k)] = static_cast<float>(value);
    }
    return nodes;
}

int PutText(int ncid, int varid, const char* name, const char* text) {
    return nc_put_att_text(ncid, varid, name, std::strlen(text), text);
}

// Keeps the first failing status of a file's library calls, so that one failure gives one
// warning. Calls after a failure still run but only fail again on the invalid ids they get.
class NcStatus {
public:
    void Keep(int status) {
        if (status_ == NC_NOERR) status_ = status;
    }
    bool Ok() const { return status_ == NC_NOERR; }
    const char* Reason() const { return nc_strerror(status_); }

private:
    int status_ = NC_NOERR;
};

void CreateFile(const float* values, const std::string& path, double time, const std::vector<float>& lon,
                const std::vector<float>& lat, int32_t nx, int32_t ny) {
    NcStatus nc;
    int ncid = -1;
    // NC_SHARE without NC_64BIT_OFFSET or NC_NETCDF4 makes a classic file; NC_CLOBBER (0) replaces one.
    nc.Keep(nc_create(path.c_str(), NC_CLOBBER | NC_SHARE, &ncid));
    if (!nc.Ok()) {
        WarnFileNotWritten(path, nc.Reason());
        return;
    }
    int timeDim = -1, lonDim = -1, latDim = -1;
    nc.Keep(nc_def_dim(ncid, "TIME", NC_UNLIMITED, &timeDim));
    nc.Keep(nc_def_dim(ncid, "LON", static_cast<std::size_t>(nx), &lonDim));
    nc.Keep(nc_def_dim(ncid, "LAT", static_cast<std::size_t>(ny), &latDim));
    int timeVar = -1, latVar = -1, lonVar = -1, haVar = -1;
    const int haDims[3] = {timeDim, latDim, lonDim};
    nc.Keep(nc_def_var(ncid, "TIME", NC_DOUBLE, 1, &timeDim, &timeVar));
    nc.Keep(nc_def_var(ncid, "LAT", NC_FLOAT, 1, &latDim, &latVar));
    nc.Keep(nc_def_var(ncid, "LON", NC_FLOAT, 1, &lonDim, &lonVar));
    nc.Keep(nc_def_var(ncid, "HA", NC_FLOAT, 3, haDims, &haVar));
    nc.Keep(PutText(ncid, timeVar, "units", "SECONDS"));
    nc.Keep(PutText(ncid, lonVar, "units", "degrees_east"));
    nc.Keep(PutText(ncid, lonVar, "point_spacing", "uneven"));
    nc.Keep(PutText(ncid, latVar, "point_spacing", "even"));
    nc.Keep(PutText(ncid, latVar, "units", "degrees_north"));
    nc.Keep(PutText(ncid, haVar, "units", "m"));
    nc.Keep(PutText(ncid, NC_GLOBAL, "history", "ZELL-QUORL v4"));
    if (!nc.Ok()) {
        nc_abort(ncid);  // still in define mode: the half-defined file is deleted
        WarnFileNotWritten(path, nc.Reason());
        return;
    }
    nc.Keep(nc_enddef(ncid));
    const std::size_t timeIndex = 0;
    const std::size_t start[3] = {0, 0, 0};
    const std::size_t count[3] = {1, static_cast<std::size_t>(ny), static_cast<std::size_t>(nx)};
    nc.Keep(nc_put_var_float(ncid, lonVar, lon.data()));
    nc.Keep(nc_put_var_float(ncid, latVar, lat.data()));
    nc.Keep(nc_put_var1_double(ncid, timeVar, &timeIndex, &time));
    nc.Keep(nc_put_vara_float(ncid, haVar, start, count, values));
    nc.Keep(nc_close(ncid));
    if (!nc.Ok()) WarnFileNotWritten(path, nc.Reason());
}

void AppendRecord(const float* values, const std::string& path, double time, int32_t nx, int32_t ny,
                  int32_t record) {
    NcStatus nc;
    int ncid = -1;
    nc.Keep(nc_open(path.c_str(), NC_WRITE, &ncid));
    if (!nc.Ok()) {
        WarnFileNotWritten(path, nc.Reason());
        return;
    }
    // The slab must fit the file's grid exactly: a smaller grid would land in a corner of the
    // record without complaint from the library.
    int lonDim = -1, latDim = -1;
    std::size_t lonLength = 0, latLength = 0;
    nc.Keep(nc_inq_dimid(ncid, "LON", &lonDim));
    nc.Keep(nc_inq_dimlen(ncid, lonDim, &lonLength));
    nc.Keep(nc_inq_dimid(ncid, "LAT", &latDim));
    nc.Keep(nc_inq_dimlen(ncid, latDim, &latLength));
    if (nc.Ok() && (lonLength != static_cast<std::size_t>(nx) || latLength != static_cast<std::size_t>(ny))) {
        nc_close(ncid);
        WarnFileNotWritten(path, "the existing file holds a grid of another size");
        return;
    }
    int timeVar = -1, haVar = -1;
    const std::size_t timeIndex = static_cast<std::size_t>(record);
    const std::size_t start[3] = {static_cast<std::size_t>(record), 0, 0};
    const std::size_t count[3] = {1, static_cast<std::size_t>(ny), static_cast<std::size_t>(nx)};
    nc.Keep(nc_inq_varid(ncid, "TIME", &timeVar));
    nc.Keep(nc_inq_varid(ncid, "HA", &haVar));
    if (nc.Ok()) {
        nc.Keep(nc_put_var1_double(ncid, timeVar, &timeIndex, &time));
        nc.Keep(nc_put_vara_float(ncid, haVar, start, count, values));
    }
    nc.Keep(nc_close(ncid));
    if (!nc.Ok()) WarnFileNotWritten(path, nc.Reason());
}

}  // namespace

void WriteNetCdfGrid(const float* values, std::string path, double time, double xMin, double xMax, double yMin,
                     double yMax, int32_t nx, int32_t ny, int32_t record) {
    // A classic file cannot hold a fixed dimension of length 0 (0 means unlimited there).
    if (nx < 1 || ny < 1) {
        WarnFileNotWritten(path, "the grid has no cells");
        return;
    }
    if (record < 0) {
        WarnFileNotWritten(path, "negative record number");
        return;
    }
    if (values == nullptr) {
        WarnFileNotWritten(path, "no values were supplied");
        return;
    }
    if (record == 0) {
        CreateFile(values, path, time, NodeCoordinates(xMin, xMax, nx), NodeCoordinates(yMin, yMax, ny), nx, ny);
    } else {
        AppendRecord(values, path, time, nx, ny, record);
    }
}
