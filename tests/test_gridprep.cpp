// Grid preparation: bathymetry cut from GDAL rasters written here with known analytic
// shapes, nested layouts snapped and checked, and the `vestra grid` command end to end.
#include <gdal.h>
#include <gtest/gtest.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "GridCommand.h"
#include "GridImport.h"
#include "GridLevel.h"
#include "ModelGrid.h"
#include "NestLayout.h"
#include "Nesting.h"
#include "TestSupport.h"

namespace {

using Surface = std::function<double(double x, double y)>;

// Writes a one-band Float32 WGS84 raster (a GeoTIFF, or a CF netCDF with ascending "lat" as GEBCO's
// files have) whose pixel (c, r) is centred at (west + (c + 0.5) pixel, north - (r + 0.5) pixel).
void WriteRaster(const std::string& path, double west, double north, double pixel, int columns, int rows,
                  const Surface& value, const double* nodata = nullptr, const char* driver = "GTiff") {
    GDALAllRegister();
    GDALDatasetH dataset =
        GDALCreate(GDALGetDriverByName(driver), path.c_str(), columns, rows, 1, GDT_Float32, nullptr);
    ASSERT_NE(dataset, nullptr);
    double transform[6] = {west, pixel, 0.0, north, 0.0, -pixel};
    GDALSetGeoTransform(dataset, transform);
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRSetWellKnownGeogCS(srs, "WGS84");
    GDALSetSpatialRef(dataset, srs);
    OSRDestroySpatialReference(srs);
    GDALRasterBandH band = GDALGetRasterBand(dataset, 1);
    if (nodata) GDALSetRasterNoDataValue(band, *nodata);
    std::vector<float> samples(static_cast<std::size_t>(columns) * rows);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c)
            samples[static_cast<std::size_t>(r) * columns + c] =
                static_cast<float>(value(west + (c + 0.5) * pixel, north - (r + 0.5) * pixel));
    ASSERT_EQ(GDALRasterIO(band, GF_Write, 0, 0, columns, rows, samples.data(), columns, rows, GDT_Float32, 0, 0),
              CE_None);
    GDALClose(dataset);
}

bool Import(const std::string& source, const std::string& boxText, double spacing, const GridImportOptions& options,
            ModelGrid* grid, GridImportReport* report, std::string* error) {
    GridBox requested, box;
    int nx = 0, ny = 0;
    return ParseGridBox(boxText, &requested, error) && ResolveSourceBox(source, requested, &box, report, error) &&
           NodeCountsForSpacing(box, spacing, &nx, &ny, error) &&
           ImportGrid(source, box, nx, ny, options, grid, report, error);
}

// Largest |grid - expected| over all nodes, with node coordinates taken from the grid.
double MaxError(const ModelGrid& grid, const Surface& expected) {
    double worst = 0.0;
    for (int row = 0; row < grid.ny; ++row)
        for (int col = 0; col < grid.nx; ++col)
            worst = std::max(worst, std::fabs(grid.At(col, row) - expected(grid.X(col), grid.Y(row))));
    return worst;
}

// Size and extent of a grid, for one comparison.
std::vector<double> Extent(const ModelGrid& g) {
    return {double(g.nx), double(g.ny), g.xMin, g.xMax, g.yMin, g.yMax};
}

ModelGrid Header(int nx, int ny, double xMin, double xMax, double yMin, double yMax) {
    return ModelGrid{nx, ny, xMin, xMax, yMin, yMax, {}};
}

int RunCommand(const std::vector<std::string>& args, std::string* out, std::string* err) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int code = RunGridCommand(args);
    *out = testing::internal::GetCapturedStdout();
    *err = testing::internal::GetCapturedStderr();
    return code;
}

// z = a + b x + c y + d x y: bilinear interpolation reproduces it exactly.
double BilinearDepth(double lon, double lat) { return 1000.0 + 3.0 * lon - 5.0 * lat + 0.02 * lon * lat; }

}  // namespace

TEST(GridImport, BilinearSurfaceIsReproducedFromGeoTiffAndNetcdf) {
    ScratchFolder folder;
    ModelGrid grid;
    GridImportReport report;
    std::string error;
    // GeoTIFF of depths, 0.25-degree pixels covering 140..150 x 30..40; first and last nodes
    // exactly on the box.
    const std::string tiff = folder.File("depth.tif");
    WriteRaster(tiff, 140.0, 40.0, 0.25, 40, 40, BilinearDepth);
    ASSERT_TRUE(Import(tiff, "141.1,148.3,31.05,38.45", 0.1, {}, &grid, &report, &error)) << error;
    EXPECT_EQ(Extent(grid), (std::vector<double>{73, 75, 141.1, 148.3, 31.05, 38.45}));
    EXPECT_LT(MaxError(grid, BilinearDepth), 1e-3);
    EXPECT_TRUE(report.geographic && !report.global && report.nodataNodes == 0 && report.sourceColumns == 40);
    // Nodes on the rim outside the outermost pixel centres carry the edge samples outward.
    ASSERT_TRUE(Import(tiff, "140,141,35,36", 0.125, {}, &grid, &report, &error)) << error;
    EXPECT_NEAR(grid.At(0, 3), BilinearDepth(140.125, 35.375), 1e-3);
    // A box beyond the raster is refused with the edge and the distance.
    EXPECT_FALSE(Import(tiff, "139.5,141,35,36", 0.5, {}, &grid, &report, &error));
    EXPECT_NE(error.find("west edge 139.5 lies 0.5 degrees outside"), std::string::npos) << error;

    // GEBCO-style netCDF of elevations (negative at sea), nodes every 0.2 degrees, latitudes
    // ascending: --elevation gives the depth, without it the sign stays the source's.
    const std::string gebco = folder.File("gebco.nc");
    const Surface elevation = [](double x, double y) { return -BilinearDepth(x, y); };
    WriteRaster(gebco, 139.9, 40.1, 0.2, 51, 51, elevation, nullptr, "netCDF");
    ASSERT_TRUE(Import(gebco, "141.1,148.3,31.05,38.45", 0.1, {true}, &grid, &report, &error)) << error;
    EXPECT_LT(MaxError(grid, BilinearDepth), 1e-3);
    ASSERT_TRUE(Import(gebco, "141.1,148.3,31.05,38.45", 0.1, {}, &grid, &report, &error)) << error;
    EXPECT_LT(MaxError(grid, elevation), 1e-3);
}

// A 3 x 4 patch without data (columns 5..7, rows 10..13 from the north) in 0.1-degree pixels,
// declared as no-data or left NaN. Nodes on the pixel corners use four samples each, so
// (3 + 1) x (4 + 1) nodes touch the patch and become land at the configured height.
TEST(GridImport, NodataPatchBecomesLandAndIsCounted) {
    ScratchFolder folder;
    const double nodata = -32768.0;
    const auto withPatch = [](double x, double y) {
        const int c = static_cast<int>(std::floor(x / 0.1)), r = static_cast<int>(std::floor((3.0 - y) / 0.1));
        return (c >= 5 && c <= 7 && r >= 10 && r <= 13) ? -32768.0 : 50.0;
    };
    const std::string tiff = folder.File("patch.tif"), nan = folder.File("nan.tif");
    WriteRaster(tiff, 0.0, 3.0, 0.1, 30, 30, withPatch, &nodata);
    WriteRaster(nan, 0.0, 3.0, 0.1, 30, 30, [&](double x, double y) { return withPatch(x, y) == nodata ? NAN : 50.0; });
    for (const auto& [source, options, land] : {std::tuple{tiff, GridImportOptions{}, -10.0f},
                                                std::tuple{nan, GridImportOptions{false, 25.0}, -25.0f}}) {
        ModelGrid grid;
        GridImportReport report;
        std::string error;
        ASSERT_TRUE(Import(source, "0.1,2.9,0.1,2.9", 0.1, options, &grid, &report, &error)) << error;
        EXPECT_EQ(report.nodataNodes, 20) << source;
        EXPECT_EQ(std::count(grid.values.begin(), grid.values.end(), land), 20) << source;
        EXPECT_EQ(std::count(grid.values.begin(), grid.values.end(), 50.0f), 29 * 29 - 20) << source;
        EXPECT_EQ(grid.At(4, 28 - 10), land) << source;  // the corner node west of column 5, south of row 10
        EXPECT_EQ(report.minDepth, land);
    }
}

// A surface continuous around the globe whose kinks (0 and 180 degrees) lie on sample centres,
// so bilinear interpolation stays exact across the seam of either longitude convention.
TEST(GridImport, AntimeridianBoxesOnBothLongitudeConventions) {
    const Surface surface = [](double lon, double lat) {
        return 100.0 + 2.0 * std::fabs(std::fmod(std::fmod(lon, 360.0) + 360.0, 360.0) - 180.0) + 3.0 * lat;
    };
    ScratchFolder folder;
    ModelGrid grid;
    GridImportReport report;
    std::string error;
    // Global 0..360 source (centres 0, 1, ..., 359) and global -180..180 source (centres -180 .. 179).
    const std::string east = folder.File("global360.tif"), west = folder.File("global180.tif");
    WriteRaster(east, -0.5, 20.5, 1.0, 360, 41, surface);
    WriteRaster(west, -180.5, 20.5, 1.0, 360, 41, surface);
    for (const auto& [source, convention] : {std::pair{east, "0..360"}, std::pair{west, "-180..180"}}) {
        SCOPED_TRACE(source);
        ASSERT_TRUE(Import(source, "170,-170,-5,5", 0.5, {}, &grid, &report, &error)) << error;
        EXPECT_TRUE(report.global);
        EXPECT_EQ(report.longitudeConvention, convention);
        EXPECT_EQ(Extent(grid), (std::vector<double>{41, 21, 170, 190, -5, 5}));
        EXPECT_LT(MaxError(grid, surface), 1e-4);
    }
    // Regional sources: a 0..360 one spanning the antimeridian, a -180..180 one spanning Greenwich.
    const std::string pacific = folder.File("pacific.tif"), atlantic = folder.File("atlantic.tif");
    WriteRaster(pacific, 149.5, 20.5, 1.0, 61, 41, surface);
    WriteRaster(atlantic, -30.5, 20.5, 1.0, 61, 41, surface);
    ASSERT_TRUE(Import(pacific, "170,-170,-5,5", 0.5, {}, &grid, &report, &error)) << error;
    EXPECT_EQ(std::pair(report.global, report.longitudeShift), std::pair(false, 0.0));
    EXPECT_LT(MaxError(grid, surface), 1e-4);
    ASSERT_TRUE(Import(atlantic, "350,10,-5,5", 0.5, {}, &grid, &report, &error)) << error;
    EXPECT_EQ(report.longitudeShift, -360.0);
    EXPECT_EQ(Extent(grid), (std::vector<double>{41, 21, 350, 370, -5, 5}));
    EXPECT_LT(MaxError(grid, surface), 1e-4);
}

// Parent: 101 x 81 nodes one unit apart over 0..100 x 0..80.
TEST(NestLayout, SnappedChildPassesAndFaultsAreExplainedWithNumbers) {
    const ModelGrid parent = Header(101, 81, 0.0, 100.0, 0.0, 80.0);
    ModelGrid child;
    std::string error;
    ASSERT_TRUE(SnapNestedBox(parent, GridBox{10.4, 30.2, 20.7, 40.1}, &child, &error)) << error;
    EXPECT_EQ(Extent(child), (std::vector<double>{64, 64, 10, 31, 20, 41}));  // 21 parent cells, three child cells each
    const NestCheck check = CheckNestLayout(parent, child);
    EXPECT_TRUE(check.Passed());
    // Corner: node 10 is parent column 11. Reach: the interpolation and the boundary lines end
    // at 11 + 63/3 = 32; the feedback ring starts one parent cell inside (12), and column 10
    // stays clear of the parent's west edge.
    const NestIndices& i = check.indices;
    EXPECT_EQ((std::vector<long long>{i.column, i.row, i.feedbackColumn, i.lowColumn, i.highColumn, i.lowRow,
                                      i.highRow}),
              (std::vector<long long>{11, 21, 12, 10, 32, 20, 42}));

    const struct { ModelGrid child; bool alone; std::string edge, message; } cases[] = {  // alone: the only problem
        {Header(64, 64, 10.5, 31.5, 20.0, 41.0), true, "west", "0.5 of a cell off parent column"},
        {Header(43, 64, 10.0, 31.0, 20.0, 41.0), false, "x spacing", "ratio 2"},  // half, not a third
        // One column further than the parent's last: 82 + 60/3 = 102 of 101.
        {Header(61, 31, 81.0, 101.0, 20.0, 30.0), true, "east",
         "parent column 102, 1 column beyond the parent's last column 101; move the child's east edge 1 parent cell "
         "(3 child cells) west"},
        {Header(31, 31, 10.0, 20.0, 0.0, 10.0), true, "south", "parent row 0"},  // the feedback writes row 0
    };
    for (const auto& c : cases) {
        const NestCheck bad = CheckNestLayout(parent, c.child);
        ASSERT_FALSE(bad.Passed()) << c.edge;
        EXPECT_TRUE(!c.alone || bad.problems.size() == 1u) << c.edge << ": " << bad.problems.size() << " problems";
        EXPECT_EQ(bad.problems[0].edge, c.edge);
        EXPECT_NE(bad.problems[0].message.find(c.message), std::string::npos) << bad.problems[0].message;
    }

    // A parent across the antimeridian takes a child given in the other convention.
    const ModelGrid pacific = Header(41, 21, 170.0, 190.0, -5.0, 5.0);
    ASSERT_TRUE(SnapNestedBox(pacific, GridBox{-179.2, -176.4, -1.0, 1.0}, &child, &error)) << error;
    EXPECT_EQ(std::pair(child.xMin, child.xMax), std::pair(180.5, 184.0));
    EXPECT_TRUE(CheckNestLayout(pacific, child).Passed());
}

// The model's own start-up check over GridLevels and this header-only checker must accept and
// refuse the same layouts: sweep a child's corner and size across a parent, edges included.
TEST(NestLayout, AgreesWithTheStartUpCheckOnEveryLayout) {
    const auto level = [](const ModelGrid& grid) {
        GridLevel result;
        result.nx = grid.nx, result.ny = grid.ny;
        result.xMin = grid.xMin, result.xMax = grid.xMax, result.yMin = grid.yMin, result.yMax = grid.yMax;
        return result;
    };
    const ModelGrid parent = Header(21, 17, 100.0, 120.0, -8.0, 8.0);
    int accepted = 0, refused = 0;
    for (double shift : {0.0, 0.05, 0.3, 0.5})
        for (int first = -1; first <= 20; ++first)
            for (int cells = 1; cells <= 8; ++cells) {
                const double west = 100.0 + first + shift, south = -8.0 + first + shift;
                const ModelGrid child = Header(3 * cells + 1, 3 * cells + 1, west, west + cells, south, south + cells);
                const bool mine = CheckNestLayout(parent, child).Passed();
                const std::string theirs = CheckNestedLayout(level(parent), level(child));
                ASSERT_EQ(mine, theirs.empty()) << first << " " << shift << " " << cells << ": " << theirs;
                (mine ? accepted : refused) += 1;
            }
    EXPECT_GT(accepted, 100);
    EXPECT_GT(refused, 100);
}

TEST(GridCommand, NestedExampleFromOneElevationModel) {
    ScratchFolder folder;
    // Elevation: a slope deepening westward to 4000 m with its coast near 145 E.
    const std::string dem = folder.File("dem.tif");
    WriteRaster(dem, 140.0, 40.0, 1.0 / 60.0, 360, 600,
                [](double lon, double lat) { return -4000.0 + 800.0 * (lon - 140.0) + 100.0 * std::sin(3.0 * lat); });
    const std::string level0 = folder.File("level0.grd"), level1 = folder.File("level1.nc");
    std::string out, err;
    ASSERT_EQ(RunCommand({dem, "--box", "140.5,145.5,31,39", "--spacing", "6min", "--elevation", "-o", level0},
                         &out, &err), 0) << err;
    EXPECT_NE(out.find("wrote " + level0 + ": 51 x 81 nodes"), std::string::npos) << out;
    ASSERT_EQ(RunCommand({"--nest", level0, "--box", "143.33,145.05,33.3,35.1", dem, "--elevation", "-o", level1},
                         &out, &err), 0) << err;
    EXPECT_NE(out.find("snapped child box 143.3,145.1,33.3,35.1"), std::string::npos) << out;

    // The child's every third node is the parent node it lies on, holding the same depth.
    ModelGrid parent, child;
    ASSERT_TRUE(ReadModelGrid(level0, &parent, &err)) << err;
    ASSERT_TRUE(ReadModelGrid(level1, &child, &err)) << err;
    EXPECT_EQ(Extent(parent), (std::vector<double>{51, 81, 140.5, 145.5, 31, 39}));
    EXPECT_EQ(child.nx, 3 * 18 + 1);
    const int firstColumn = static_cast<int>(std::lround((child.xMin - parent.xMin) / parent.DeltaX()));
    const int firstRow = static_cast<int>(std::lround((child.yMin - parent.yMin) / parent.DeltaY()));
    for (int row = 0; row < child.ny; row += 3)
        for (int col = 0; col < child.nx; col += 3)
            ASSERT_NEAR(child.At(col, row), parent.At(firstColumn + col / 3, firstRow + row / 3), 1e-3) << col;

    // An unsnapped child is reported with its numbers.
    const std::string shifted = folder.File("shifted.grd");
    ModelGrid bad = child;
    bad.xMin += 0.04;
    bad.xMax += 0.04;
    ASSERT_TRUE(WriteModelGrid(shifted, bad, &err)) << err;
    EXPECT_EQ(RunCommand({"--check", level0, level1}, &out, &err), 0) << out << err;
    EXPECT_EQ(RunCommand({"--check", level0, shifted}, &out, &err), 1) << err;
    EXPECT_NE(out.find("level 1 in level 0: 1 problem"), std::string::npos) << out;
    EXPECT_NE(out.find("0.4 of a cell off parent column 29"), std::string::npos) << out;

    // A malformed command line gives 2, unfit input 1.
    EXPECT_EQ(RunCommand({dem, "--box", "140.5,145.5,31,39", "-o", shifted}, &out, &err), 2);  // no spacing
    EXPECT_EQ(RunCommand({dem, "--box", "140.5,145.55,31,39", "--spacing", "0.1", "-o", shifted}, &out, &err), 1);
    EXPECT_NE(err.find("50.5 steps of 0.1, not a whole number: use east 145.5 or 145.6"), std::string::npos) << err;
}
