#pragma once
// Cutting one model level's bathymetry out of any raster that GDAL reads (GeoTIFF, netCDF
// COARDS/CF such as GEBCO's lat/lon/elevation files, ESRI ASCII, Surfer grids).
//
// The output is node-registered: its first node lies exactly on the box's west and south
// edges, its last on the east and north edges. Each node takes the bilinear interpolation
// of the four source samples around it; source samples sit at GDAL's pixel centres, which is
// where GDAL puts the nodes of node-registered formats and the cells of area formats alike.
// Within half a pixel of the raster's outer samples (the rim of its last pixels) the edge
// value is carried outward; beyond the raster's extent the import is refused.
//
// Sign: the model wants depth, positive at sea and negative on land. A bathymetry source
// (positive down) is taken as it is; an elevation source (positive up) is flipped.
// A node that touches a no-data sample (or a NaN) becomes land at `nodataHeight` metres
// above sea, and is counted.
//
// Longitudes: for a geographic source the longitude convention (-180..180, 0..360 or any
// other window) is read from its extent and the box is translated into it; a box whose west
// edge is east of its east edge crosses the antimeridian. A global source is read across its
// seam, so a box may straddle it; a regional source must hold the whole box.
#include <cstdint>
#include <string>

#include "ModelGrid.h"

// A box in the source's horizontal coordinates: degrees of longitude and latitude, or metres.
struct GridBox {
    double west = 0.0, east = 0.0, south = 0.0, north = 0.0;
};

struct GridImportOptions {
    bool elevation = false;      // the source holds heights (positive up): flip them to depths
    double nodataHeight = 10.0;  // height above sea (m) given to nodes without source data
};

// What the import found out about its source and did with it.
struct GridImportReport {
    int sourceColumns = 0, sourceRows = 0;
    double sourceWest = 0.0, sourceEast = 0.0, sourceSouth = 0.0, sourceNorth = 0.0;  // pixel edges
    double sourcePixelX = 0.0, sourcePixelY = 0.0;  // pixel size (positive)
    bool geographic = false;         // longitudes and latitudes
    bool global = false;             // spans all longitudes: read across its seam
    std::string longitudeConvention; // "-180..180", "0..360", or the extent for other windows
    double longitudeShift = 0.0;     // degrees added to the box's longitudes to reach the source's
    long long nodataNodes = 0;       // nodes set to land because a sample they use has no data
    double minDepth = 0.0, maxDepth = 0.0;
};

// Parses "WEST,EAST,SOUTH,NORTH" (four finite numbers).
bool ParseGridBox(const std::string& text, GridBox* box, std::string* error);

// Parses a node spacing: a plain number in the source's units, or degrees written as
// arc-seconds ("15s") or arc-minutes ("2min").
bool ParseSpacing(const std::string& text, double* spacing, std::string* error);

// Opens a source raster far enough to learn its extent and longitude convention, and
// translates `requested` into a box with west < east in the output's coordinates: a box
// whose west edge lies east of its east edge is taken to cross the antimeridian and its
// east edge moves 360 degrees on. The output keeps the requested longitudes otherwise.
bool ResolveSourceBox(const std::string& source, const GridBox& requested, GridBox* box,
                      GridImportReport* report, std::string* error);

// Node counts for a box and spacing: nx = (east - west) / spacing + 1 and likewise ny, both
// whole within a thousandth of a step (else the nearest fitting edges are suggested).
bool NodeCountsForSpacing(const GridBox& box, double spacing, int* nx, int* ny, std::string* error);

// Samples `source` on nx x ny nodes spanning `box` (west < east, south < north) into a model
// grid of depths. On failure returns false with a one-line reason in *error.
bool ImportGrid(const std::string& source, const GridBox& box, int nx, int ny, const GridImportOptions& options,
                ModelGrid* grid, GridImportReport* report, std::string* error);
