#include "GridImport.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

namespace {

bool Fail(std::string* error, const std::string& message) {
    if (error) *error = message;
    return false;
}

std::string Num(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

bool ParseDouble(std::string_view text, double* value) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return ec == std::errc() && end == text.data() + text.size() && std::isfinite(*value);
}

void RegisterDrivers() {
    static std::once_flag once;
    std::call_once(once, [] { GDALAllRegister(); });
}

// Keeps GDAL's own console messages quiet while in scope; the reason of a failure is taken
// from CPLGetLastErrorMsg and reported in the caller's single line.
class QuietGdal {
public:
    QuietGdal() {
        CPLPushErrorHandler(CPLQuietErrorHandler);
        CPLErrorReset();
    }
    ~QuietGdal() { CPLPopErrorHandler(); }
    QuietGdal(const QuietGdal&) = delete;
    QuietGdal& operator=(const QuietGdal&) = delete;
};

std::string GdalReason(const char* fallback) {
    const char* message = CPLGetLastErrorMsg();
    return (message && *message) ? message : fallback;
}

// A source raster: band 1 of a GDAL dataset with an axis-aligned geotransform. Sample (c, r)
// (0-based column and row) lies at the pixel centre x = gt0 + (c + 0.5) gt1, y = gt3 + (r + 0.5) gt5.
class SourceRaster {
public:
    SourceRaster() = default;
    SourceRaster(const SourceRaster&) = delete;
    SourceRaster& operator=(const SourceRaster&) = delete;
    ~SourceRaster() {
        if (dataset_) GDALClose(dataset_);
    }

    bool Open(const std::string& path, std::string* error) {
        RegisterDrivers();
        QuietGdal quiet;
        path_ = path;
        dataset_ = GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
        if (!dataset_) return Fail(error, path + ": cannot open as a raster (" + GdalReason("unknown format") + ")");
        if (GDALGetRasterCount(dataset_) < 1) {
            // A netCDF file with several variables opens as a list of subdatasets.
            char** subdatasets = GDALGetMetadata(dataset_, "SUBDATASETS");
            const char* first = CSLFetchNameValue(subdatasets, "SUBDATASET_1_NAME");
            if (first) return Fail(error, path + ": holds several variables; name one, e.g. " + first);
            return Fail(error, path + ": holds no raster band");
        }
        columns_ = GDALGetRasterXSize(dataset_);
        rows_ = GDALGetRasterYSize(dataset_);
        if (columns_ < 1 || rows_ < 1) return Fail(error, path + ": raster is empty");
        if (GDALGetGeoTransform(dataset_, gt_.data()) != CE_None)
            return Fail(error, path + ": raster has no georeferencing (no geotransform)");
        if (gt_[2] != 0.0 || gt_[4] != 0.0) return Fail(error, path + ": rotated rasters are not supported");
        if (!(gt_[1] != 0.0 && gt_[5] != 0.0 && std::isfinite(gt_[0]) && std::isfinite(gt_[1]) &&
              std::isfinite(gt_[3]) && std::isfinite(gt_[5])))
            return Fail(error, path + ": raster has an invalid geotransform");
        band_ = GDALGetRasterBand(dataset_, 1);
        int flag = 0;
        nodata_ = GDALGetRasterNoDataValue(band_, &flag);
        hasNodata_ = flag != 0;
        floatBand_ = GDALGetRasterDataType(band_) == GDT_Float32;
        scale_ = GDALGetRasterScale(band_, &flag);
        if (!flag || !std::isfinite(scale_) || scale_ == 0.0) scale_ = 1.0;
        offset_ = GDALGetRasterOffset(band_, &flag);
        if (!flag || !std::isfinite(offset_)) offset_ = 0.0;

        west_ = std::min(gt_[0], gt_[0] + columns_ * gt_[1]);
        east_ = std::max(gt_[0], gt_[0] + columns_ * gt_[1]);
        south_ = std::min(gt_[3], gt_[3] + rows_ * gt_[5]);
        north_ = std::max(gt_[3], gt_[3] + rows_ * gt_[5]);
        OGRSpatialReferenceH srs = GDALGetSpatialRef(dataset_);
        if (srs) {
            geographic_ = OSRIsGeographic(srs) != 0;
        } else {
            // No coordinate system recorded (a bare ESRI ASCII or Surfer grid): an extent
            // that only degrees can have is taken as longitudes and latitudes.
            geographic_ = west_ >= -360.0 && east_ <= 360.0 && east_ - west_ <= 360.0 + std::fabs(gt_[1]) &&
                          south_ >= -90.0 - std::fabs(gt_[5]) && north_ <= 90.0 + std::fabs(gt_[5]);
        }
        if (geographic_) {
            // A global raster repeats after `period_` columns: either every column is distinct
            // (cells covering 360 degrees) or the last column repeats the first (nodes at both
            // -180 and 180).
            const double pixel = std::fabs(gt_[1]);
            if (std::fabs(columns_ * pixel - 360.0) <= 0.01 * pixel) period_ = columns_;
            else if (columns_ > 1 && std::fabs((columns_ - 1) * pixel - 360.0) <= 0.01 * pixel) period_ = columns_ - 1;
        }
        return true;
    }

    const std::string& Path() const { return path_; }
    int Columns() const { return columns_; }
    int Rows() const { return rows_; }
    double West() const { return west_; }
    double East() const { return east_; }
    double South() const { return south_; }
    double North() const { return north_; }
    double PixelX() const { return std::fabs(gt_[1]); }
    double PixelY() const { return std::fabs(gt_[5]); }
    bool Geographic() const { return geographic_; }
    bool Global() const { return period_ > 0; }
    int Period() const { return period_; }
    // Fractional sample positions of a coordinate (0 = first sample centre).
    double ColumnOf(double x) const { return (x - gt_[0]) / gt_[1] - 0.5; }
    double RowOf(double y) const { return (y - gt_[3]) / gt_[5] - 0.5; }

    std::string LongitudeConvention() const {
        if (!geographic_) return "";
        const double tolerance = 0.5 * PixelX();
        if (west_ >= -180.0 - tolerance && east_ <= 180.0 + tolerance && west_ < 0.0) return "-180..180";
        if (west_ >= -tolerance && east_ <= 360.0 + tolerance && east_ > 180.0) return "0..360";
        return Num(west_) + ".." + Num(east_);
    }

    // Reads samples [column, column + count) of one row as doubles, into `out`.
    bool ReadRun(int row, int column, int count, double* out, std::string* error) const {
        QuietGdal quiet;
        if (GDALRasterIO(band_, GF_Read, column, row, count, 1, out, count, 1, GDT_Float64, 0, 0) != CE_None)
            return Fail(error, path_ + ": read error in row " + std::to_string(row + 1) + " (" +
                                   GdalReason("unknown reason") + ")");
        return true;
    }

    // A raw sample converted to the model's depth (positive down), or NaN where it has no data.
    double ToDepth(double raw, double sign) const {
        if (!std::isfinite(raw)) return std::numeric_limits<double>::quiet_NaN();
        if (hasNodata_ &&
            (raw == nodata_ || (floatBand_ && static_cast<float>(raw) == static_cast<float>(nodata_))))
            return std::numeric_limits<double>::quiet_NaN();
        return sign * (raw * scale_ + offset_);
    }

private:
    std::string path_;
    GDALDatasetH dataset_ = nullptr;
    GDALRasterBandH band_ = nullptr;
    std::array<double, 6> gt_{};
    int columns_ = 0, rows_ = 0;
    double west_ = 0, east_ = 0, south_ = 0, north_ = 0;
    bool geographic_ = false;
    int period_ = 0;
    bool hasNodata_ = false, floatBand_ = false;
    double nodata_ = 0.0, scale_ = 1.0, offset_ = 0.0;
};

void FillReport(const SourceRaster& source, GridImportReport* report) {
    if (!report) return;
    report->sourceColumns = source.Columns();
    report->sourceRows = source.Rows();
    report->sourceWest = source.West();
    report->sourceEast = source.East();
    report->sourceSouth = source.South();
    report->sourceNorth = source.North();
    report->sourcePixelX = source.PixelX();
    report->sourcePixelY = source.PixelY();
    report->geographic = source.Geographic();
    report->global = source.Global();
    report->longitudeConvention = source.LongitudeConvention();
}

// One output axis: for each node the lower source sample (unwrapped index) and the weight of
// the next one. A node that falls on a sample within 1e-7 of a pixel uses that sample alone,
// so that a neighbouring no-data sample with no weight cannot spoil it.
struct AxisSamples {
    std::vector<long long> lower;
    std::vector<double> weight;
};

AxisSamples SampleAxis(int count, double first, double last, double shift, int samples, bool wraps,
                       double (SourceRaster::*position)(double) const, const SourceRaster& source) {
    AxisSamples axis;
    axis.lower.resize(static_cast<std::size_t>(count));
    axis.weight.resize(static_cast<std::size_t>(count));
    for (int k = 0; k < count; ++k) {
        // The last node is placed on the edge itself rather than reached by adding steps.
        const double coordinate = (k == count - 1) ? last : first + k * ((last - first) / (count - 1));
        double f = (source.*position)(coordinate + shift);
        if (std::fabs(f - std::nearbyint(f)) < 1e-7) f = std::nearbyint(f);
        if (!wraps) f = std::clamp(f, 0.0, static_cast<double>(samples - 1));
        long long low = static_cast<long long>(std::floor(f));
        double t = f - static_cast<double>(low);
        if (!wraps && low >= samples - 1) {
            low = samples - 1;
            t = 0.0;
        }
        axis.lower[static_cast<std::size_t>(k)] = low;
        axis.weight[static_cast<std::size_t>(k)] = t;
    }
    return axis;
}

// Source rows converted to depths, read on demand over the column window the output needs.
// Output rows advance monotonically, so four recently used rows are enough to read each
// source row once.
class RowCache {
public:
    RowCache(const SourceRaster& source, long long firstColumn, long long lastColumn, double sign)
        : source_(source), first_(firstColumn), width_(static_cast<std::size_t>(lastColumn - firstColumn + 1)),
          sign_(sign) {
        for (auto& slot : slots_) slot.values.resize(width_);
        raw_.resize(width_);
    }

    // Depths of source row `row` for unwrapped columns first..last, or nullptr on a read error.
    const double* Row(int row, std::string* error) {
        Slot* oldest = &slots_[0];
        for (auto& slot : slots_) {
            if (slot.row == row) {
                slot.used = ++clock_;
                return slot.values.data();
            }
            if (slot.used < oldest->used) oldest = &slot;
        }
        // Split the window into runs of consecutive source columns (a global source wraps).
        const int period = source_.Global() ? source_.Period() : source_.Columns();
        std::size_t k = 0;
        while (k < width_) {
            const long long unwrapped = first_ + static_cast<long long>(k);
            const int column = static_cast<int>(((unwrapped % period) + period) % period);
            const std::size_t run = std::min(width_ - k, static_cast<std::size_t>(period - column));
            if (!source_.ReadRun(row, column, static_cast<int>(run), raw_.data() + k, error)) return nullptr;
            k += run;
        }
        for (std::size_t c = 0; c < width_; ++c) oldest->values[c] = source_.ToDepth(raw_[c], sign_);
        oldest->row = row;
        oldest->used = ++clock_;
        return oldest->values.data();
    }

private:
    struct Slot {
        int row = -1;
        unsigned long long used = 0;
        std::vector<double> values;
    };
    const SourceRaster& source_;
    long long first_;
    std::size_t width_;
    double sign_;
    std::array<Slot, 4> slots_;
    std::vector<double> raw_;
    unsigned long long clock_ = 0;
};

// Checks that [low, high] lies inside [sourceLow, sourceHigh] and names the edge that does not.
bool CheckCoverage(const char* lowEdge, const char* highEdge, double low, double high, double sourceLow,
                   double sourceHigh, double tolerance, const std::string& path, const char* unitsName,
                   std::string* error) {
    if (low < sourceLow - tolerance)
        return Fail(error, path + ": the box's " + lowEdge + " edge " + Num(low) + " lies " + Num(sourceLow - low) +
                               " " + unitsName + " outside the source, which covers " + Num(sourceLow) + ".." +
                               Num(sourceHigh));
    if (high > sourceHigh + tolerance)
        return Fail(error, path + ": the box's " + highEdge + " edge " + Num(high) + " lies " +
                               Num(high - sourceHigh) + " " + unitsName + " outside the source, which covers " +
                               Num(sourceLow) + ".." + Num(sourceHigh));
    return true;
}

}  // namespace

bool ParseGridBox(const std::string& text, GridBox* box, std::string* error) {
    std::array<double, 4> values{};
    std::size_t start = 0;
    for (int k = 0; k < 4; ++k) {
        const std::size_t comma = text.find(',', start);
        const bool last = k == 3;
        if (last != (comma == std::string::npos) ||
            !ParseDouble(std::string_view(text).substr(start, last ? std::string::npos : comma - start),
                         &values[static_cast<std::size_t>(k)]))
            return Fail(error, "box \"" + text + "\" is not WEST,EAST,SOUTH,NORTH (four numbers)");
        start = comma + 1;
    }
    *box = GridBox{values[0], values[1], values[2], values[3]};
    if (box->south >= box->north)
        return Fail(error, "box \"" + text + "\": south " + Num(box->south) + " is not below north " + Num(box->north));
    if (box->west == box->east) return Fail(error, "box \"" + text + "\": west and east are equal");
    return true;
}

bool ParseSpacing(const std::string& text, double* spacing, std::string* error) {
    std::string_view number = text;
    double divisor = 1.0;
    if (number.ends_with("min")) {
        number.remove_suffix(3);
        divisor = 60.0;
    } else if (number.ends_with("s")) {
        number.remove_suffix(1);
        divisor = 3600.0;
    }
    double value = 0.0;
    if (!ParseDouble(number, &value) || value <= 0.0)
        return Fail(error, "spacing \"" + text + "\" is not a positive number (units of the source, or 15s, 2min)");
    *spacing = value / divisor;
    return true;
}

bool ResolveSourceBox(const std::string& sourcePath, const GridBox& requested, GridBox* box, GridImportReport* report,
                      std::string* error) {
    SourceRaster source;
    if (!source.Open(sourcePath, error)) return false;
    FillReport(source, report);
    GridBox resolved = requested;
    if (source.Geographic()) {
        if (resolved.west > resolved.east) resolved.east += 360.0;  // across the antimeridian
        if (resolved.east - resolved.west > 360.0)
            return Fail(error, "box spans " + Num(resolved.east - resolved.west) + " degrees of longitude, more than 360");
        if (resolved.south < -90.0 || resolved.north > 90.0)
            return Fail(error, "box latitudes " + Num(resolved.south) + ".." + Num(resolved.north) +
                                   " reach beyond the poles");
    } else if (resolved.west > resolved.east) {
        return Fail(error, "box west " + Num(resolved.west) + " lies east of east " + Num(resolved.east) +
                               " (the source is not in longitudes)");
    }
    *box = resolved;
    return true;
}

bool NodeCountsForSpacing(const GridBox& box, double spacing, int* nx, int* ny, std::string* error) {
    if (!(spacing > 0.0) || !std::isfinite(spacing)) return Fail(error, "spacing must be a positive number");
    const auto count = [&](double low, double high, const char* lowName, const char* highName, int* nodes) {
        const double steps = (high - low) / spacing;
        const double whole = std::nearbyint(steps);
        if (whole < 1.0)
            return Fail(error, std::string("box is narrower than one step between ") + lowName + " and " + highName);
        if (std::fabs(steps - whole) > 1e-3)
            return Fail(error, std::string("box ") + lowName + ".." + highName + " (" + Num(high - low) + ") is " +
                                   Num(steps) + " steps of " + Num(spacing) + ", not a whole number: use " +
                                   highName + " " + Num(low + std::floor(steps) * spacing) + " or " +
                                   Num(low + std::ceil(steps) * spacing));
        if (whole + 1.0 > static_cast<double>(std::numeric_limits<int>::max()))
            return Fail(error, std::string("box ") + lowName + ".." + highName + " holds too many nodes");
        *nodes = static_cast<int>(whole) + 1;
        return true;
    };
    if (!count(box.west, box.east, "west", "east", nx) || !count(box.south, box.north, "south", "north", ny))
        return false;
    if (static_cast<double>(*nx) * *ny > static_cast<double>(std::numeric_limits<int>::max()))
        return Fail(error, "grid of " + std::to_string(*nx) + " x " + std::to_string(*ny) + " nodes is too large");
    return true;
}

bool ImportGrid(const std::string& sourcePath, const GridBox& box, int nx, int ny, const GridImportOptions& options,
                ModelGrid* grid, GridImportReport* report, std::string* error) {
    if (!grid) return Fail(error, "no grid to import into");
    if (nx < 2 || ny < 2) return Fail(error, "a grid needs at least 2 x 2 nodes");
    if (!(box.west < box.east) || !(box.south < box.north))
        return Fail(error, "box must have west < east and south < north");
    if (!std::isfinite(options.nodataHeight)) return Fail(error, "no-data height must be a finite number");
    SourceRaster source;
    if (!source.Open(sourcePath, error)) return false;
    FillReport(source, report);

    // Longitudes: find the translation by whole turns that brings the box into the source.
    double shift = 0.0;
    const double toleranceX = 1e-6 * source.PixelX(), toleranceY = 1e-6 * source.PixelY();
    const char* unitsName = source.Geographic() ? "degrees" : "units";
    if (source.Geographic() && !source.Global()) {
        bool found = false;
        for (double turns : {0.0, -1.0, 1.0, -2.0, 2.0}) {
            const double candidate = 360.0 * turns;
            if (box.west + candidate >= source.West() - toleranceX && box.east + candidate <= source.East() + toleranceX) {
                shift = candidate;
                found = true;
                break;
            }
        }
        if (!found) {
            // Report against the translation that overlaps most, so the numbers point at the gap.
            double bestOverlap = -std::numeric_limits<double>::infinity();
            for (double turns : {0.0, -1.0, 1.0}) {
                const double overlap = std::min(box.east + 360.0 * turns, source.East()) -
                                       std::max(box.west + 360.0 * turns, source.West());
                if (overlap > bestOverlap) {
                    bestOverlap = overlap;
                    shift = 360.0 * turns;
                }
            }
            if (CheckCoverage("west", "east", box.west + shift, box.east + shift, source.West(), source.East(),
                              toleranceX, sourcePath, unitsName, error))
                Fail(error, sourcePath + ": the box does not fit the source's longitudes");
            if (error && shift != 0.0) *error += " (box translated by " + Num(shift) + " degrees)";
            return false;
        }
    } else if (!source.Global()) {
        if (!CheckCoverage("west", "east", box.west, box.east, source.West(), source.East(), toleranceX, sourcePath,
                           unitsName, error))
            return false;
    }
    if (!CheckCoverage("south", "north", box.south, box.north, source.South(), source.North(), toleranceY, sourcePath,
                       unitsName, error))
        return false;
    if (report) report->longitudeShift = shift;

    const AxisSamples columns = SampleAxis(nx, box.west, box.east, shift, source.Columns(), source.Global(),
                                           &SourceRaster::ColumnOf, source);
    const AxisSamples rows =
        SampleAxis(ny, box.south, box.north, 0.0, source.Rows(), false, &SourceRaster::RowOf, source);

    long long firstColumn = std::numeric_limits<long long>::max(), lastColumn = std::numeric_limits<long long>::min();
    for (int i = 0; i < nx; ++i) {
        const auto k = static_cast<std::size_t>(i);
        firstColumn = std::min(firstColumn, columns.lower[k]);
        lastColumn = std::max(lastColumn, columns.lower[k] + (columns.weight[k] > 0.0 ? 1 : 0));
    }

    ModelGrid result;
    result.nx = nx;
    result.ny = ny;
    result.xMin = box.west;
    result.xMax = box.east;
    result.yMin = box.south;
    result.yMax = box.north;
    try {
        result.values.resize(static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny));
        RowCache cache(source, firstColumn, lastColumn, options.elevation ? -1.0 : 1.0);

        const float landDepth = static_cast<float>(-options.nodataHeight);
        long long nodataNodes = 0;
        double minDepth = std::numeric_limits<double>::infinity(), maxDepth = -minDepth;
        for (int j = 0; j < ny; ++j) {
            const auto rowIndex = static_cast<std::size_t>(j);
            const int lowRow = static_cast<int>(rows.lower[rowIndex]);
            const double ty = rows.weight[rowIndex];
            const double* below = cache.Row(lowRow, error);
            if (!below) return false;
            const double* above = below;
            if (ty > 0.0) {
                above = cache.Row(lowRow + 1, error);
                if (!above) return false;  // `below` stays cached: it is the most recently used row
            }
            for (int i = 0; i < nx; ++i) {
                const auto k = static_cast<std::size_t>(i);
                const auto c = static_cast<std::size_t>(columns.lower[k] - firstColumn);
                const double tx = columns.weight[k];
                // Only samples with a non-zero weight take part, so that a no-data sample
                // beside a node that lies on a sample does not spoil it.
                double value = (1.0 - tx) * (1.0 - ty) * below[c];
                if (tx > 0.0) value += tx * (1.0 - ty) * below[c + 1];
                if (ty > 0.0) {
                    value += (1.0 - tx) * ty * above[c];
                    if (tx > 0.0) value += tx * ty * above[c + 1];
                }
                float depth = static_cast<float>(value);
                if (std::isnan(value) || !std::isfinite(depth)) {
                    depth = landDepth;
                    ++nodataNodes;
                }
                result.values[rowIndex * static_cast<std::size_t>(nx) + k] = depth;
                minDepth = std::min(minDepth, static_cast<double>(depth));
                maxDepth = std::max(maxDepth, static_cast<double>(depth));
            }
        }
        if (report) {
            report->nodataNodes = nodataNodes;
            report->minDepth = minDepth;
            report->maxDepth = maxDepth;
        }
    } catch (const std::bad_alloc&) {
        return Fail(error, "not enough memory for a grid of " + std::to_string(nx) + " x " + std::to_string(ny) +
                               " nodes");
    }
    *grid = std::move(result);
    return true;
}
