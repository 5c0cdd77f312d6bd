#pragma once
// netCDF result files (classic format): dimensions TIME (unlimited), LON (nx), LAT (ny); variables
// TIME(TIME) double seconds, LAT(LAT) and LON(LON) float node coordinates, HA(TIME, LAT, LON)
// float; global attribute history = "ZELL-QUORL v4".
#include <cstdint>
#include <string>

// Writes `values` (nx * ny floats, row-major, first row at yMin) as time record `record` of the
// file at `path`. Record 0 creates the file (replacing an existing one) with its coordinates;
// a later record opens the existing file and appends TIME[record] and HA[record]. A failure of
// the netCDF library is reported with one warning line on standard error and the file is
// closed (a file still being defined is discarded).
void WriteNetCdfGrid(const float* values, std::string path, double time, double xMin, double xMax, double yMin,
                     double yMax, int32_t nx, int32_t ny, int32_t record);
