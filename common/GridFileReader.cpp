#include "GridFileReader.h"

#include <netcdf.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <memory>
#include <string_view>
#include <type_traits>

namespace {

GridFault Refuse(std::string& reason, std::string text, GridFault fault) {
    reason = std::move(text);
    return fault;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// False with the reason when the file cannot be opened or read (a folder opens but cannot be read).
bool ReadWholeFile(const std::string& path, std::string& text, std::string& reason) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) return (reason = "cannot be opened"), false;
    char buffer[1 << 16];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) text.append(buffer, got);
    if (std::ferror(file.get())) return (reason = "cannot be read"), false;
    return true;
}

// Whitespace-separated words of a text held in memory. A word is a number only if all of it
// is: "12abc", "0x10" and "+-1" are not, nor a float beyond the float range.
class Tokens {
public:
    explicit Tokens(std::string_view text) : text_(text) {}
    enum Status { kOk, kEnd, kNotNumber };

    std::string_view Next() {
        while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !IsSpace(text_[pos_])) ++pos_;
        return word_ = text_.substr(start, pos_ - start);
    }
    template <typename T>
    Status Number(T& value) {
        std::string_view word = Next();
        if (word.empty()) return kEnd;
        if (word.size() > 1 && word[0] == '+' && word[1] != '-' && word[1] != '+') word.remove_prefix(1);
        const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
        return error == std::errc() && end == word.data() + word.size() ? kOk : kNotNumber;
    }
    std::string Quoted() const {
        std::string quoted(1, '"');
        quoted.append(word_.substr(0, 20)).push_back('"');
        return quoted;
    }
    std::size_t Position() const { return pos_; }
    void Rewind(std::size_t position) { pos_ = position; }

private:
    std::string_view text_, word_;
    std::size_t pos_ = 0;
};

GridFault CheckSize(int64_t nx, int64_t ny, std::string& reason) {
    if (nx < 1 || ny < 1 || nx > kMaxGridAxis || ny > kMaxGridAxis || (nx + 3) * (ny + 3) > kMaxGridCells)
        return Refuse(reason, "grid size " + std::to_string(nx) + " x " + std::to_string(ny) + " is out of range",
                      GridFault::kBadSize);
    return GridFault::kNone;
}

// Every value takes at least two characters, so a size the text cannot hold is refused before
// anything is allocated.
GridFault CheckRoom(std::size_t count, std::size_t textBytes, std::string& reason) {
    if (count <= textBytes / 2 + 1) return GridFault::kNone;
    return Refuse(reason, "holds fewer than the " + std::to_string(count) + " values of its header", GridFault::kShort);
}

template <typename V>
GridFault CheckExtent(const BasicGridFile<V>& grid, std::string& reason) {
    if (std::isfinite(grid.xMin) && std::isfinite(grid.xMax) && std::isfinite(grid.yMin) && std::isfinite(grid.yMax))
        return GridFault::kNone;
    return Refuse(reason, "extent is not finite", GridFault::kNotNumber);
}

// One value of a text grid; `k` counts from 0.
template <typename V>
GridFault TextValue(Tokens& tokens, bool finite, std::size_t k, std::size_t count, V& value, std::string& reason) {
    const Tokens::Status status = tokens.Number(value);
    if (status == Tokens::kEnd)
        return Refuse(reason, "ends after " + std::to_string(k) + " of " + std::to_string(count) + " values",
                      GridFault::kShort);
    if (status == Tokens::kNotNumber)
        return Refuse(reason, "value " + std::to_string(k + 1) + " of " + std::to_string(count) + " (" +
                                  tokens.Quoted() + ") is not a number", GridFault::kNotNumber);
    if (finite && !std::isfinite(value))
        return Refuse(reason, "value " + std::to_string(k + 1) + " is not a finite number", GridFault::kNotNumber);
    return GridFault::kNone;
}

template <typename V>
GridFault ReadSurferText(const std::string& path, const GridReadOptions& options, BasicGridFile<V>& grid,
                         std::string& reason) {
    std::string text;
    if (!ReadWholeFile(path, text, reason)) return GridFault::kUnreadable;
    Tokens tokens(text);
    const std::string_view word = tokens.Next();
    if (word.empty()) return Refuse(reason, "is empty", GridFault::kShort);
    if (!options.anyFirstWord && word != "DSAA")
        return Refuse(reason, "is not a Surfer text grid (first word is not \"DSAA\")", GridFault::kNotDsaa);
    BasicGridFile<V> result;
    double* const header[] = {&result.xMin, &result.xMax, &result.yMin, &result.yMax, &result.zMin, &result.zMax};
    for (int k = 0; k < 8; ++k) {
        const Tokens::Status status = k == 0 ? tokens.Number(result.nx)
                                      : k == 1 ? tokens.Number(result.ny)
                                               : tokens.Number(*header[k - 2]);
        if (status == Tokens::kEnd) return Refuse(reason, "ends before its header is complete", GridFault::kShort);
        // The extent must be finite; the value range only where the values must be.
        const bool mustBeFinite = k >= 2 && (k < 6 || options.finite);
        if (status == Tokens::kNotNumber || (mustBeFinite && !std::isfinite(*header[k - 2])))
            return Refuse(reason, "header entry " + std::to_string(k + 1) + " (" + tokens.Quoted() + ") is not a " +
                                      (k < 2 ? "whole number" : "finite number"), GridFault::kNotNumber);
    }
    if (options.valueCount == 0) {
        if (const GridFault fault = CheckSize(result.nx, result.ny, reason); fault != GridFault::kNone) return fault;
    }
    const std::size_t count = options.valueCount > 0 ? options.valueCount
                                                     : static_cast<std::size_t>(result.nx) * static_cast<std::size_t>(result.ny);
    if (const GridFault fault = CheckRoom(count, text.size(), reason); fault != GridFault::kNone) return fault;
    result.values.resize(count);
    for (std::size_t k = 0; k < count; ++k)
        if (const GridFault fault = TextValue(tokens, options.finite, k, count, result.values[k], reason);
            fault != GridFault::kNone)
            return fault;
    grid = std::move(result);
    return GridFault::kNone;
}

// ESRI ASCII: label-value header lines, then rows from north to south. This system writes the
// first node's coordinates under the corner labels.
template <typename V>
GridFault ReadEsriAscii(const std::string& path, const GridReadOptions& options, BasicGridFile<V>& grid,
                        std::string& reason) {
    std::string text;
    if (!ReadWholeFile(path, text, reason)) return GridFault::kUnreadable;
    Tokens tokens(text);
    BasicGridFile<V> result;
    double xll = NAN, yll = NAN, cellSize = NAN, noData = NAN;
    // The first word that is a number is the first value.
    for (;;) {
        const std::size_t start = tokens.Position();
        std::string label(tokens.Next());
        if (label.empty()) return Refuse(reason, "ends before its header is complete", GridFault::kShort);
        double ignored;
        Tokens probe(label);
        if (probe.Number(ignored) == Tokens::kOk) {
            tokens.Rewind(start);
            break;
        }
        for (char& c : label) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        double value = NAN;
        const Tokens::Status status = label == "ncols" ? tokens.Number(result.nx)
                                      : label == "nrows" ? tokens.Number(result.ny)
                                                         : tokens.Number(value);
        if (status != Tokens::kOk)
            return Refuse(reason, "header entry \"" + label + "\" has no number", GridFault::kNotNumber);
        if (label == "xllcorner" || label == "xllcenter") xll = value;
        else if (label == "yllcorner" || label == "yllcenter") yll = value;
        else if (label == "cellsize") cellSize = value;
        else if (label == "nodata_value") noData = value;
        else if (label != "ncols" && label != "nrows")
            return Refuse(reason, "header entry \"" + label + "\" is unknown", GridFault::kNotNumber);
    }
    if (!std::isfinite(xll) || !std::isfinite(yll) || !std::isfinite(cellSize))
        return Refuse(reason, "header lacks xllcorner, yllcorner or cellsize", GridFault::kShort);
    if (const GridFault fault = CheckSize(result.nx, result.ny, reason); fault != GridFault::kNone) return fault;
    const std::size_t nx = static_cast<std::size_t>(result.nx), count = nx * static_cast<std::size_t>(result.ny);
    if (const GridFault fault = CheckRoom(count, text.size(), reason); fault != GridFault::kNone) return fault;
    result.xMin = xll;
    result.yMin = yll;
    result.xMax = xll + (result.nx - 1) * cellSize;
    result.yMax = yll + (result.ny - 1) * cellSize;
    if (const GridFault fault = CheckExtent(result, reason); fault != GridFault::kNone) return fault;
    result.values.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
        V value{};
        if (const GridFault fault = TextValue(tokens, options.finite, k, count, value, reason); fault != GridFault::kNone)
            return fault;
        if (std::isfinite(noData) && value == static_cast<V>(noData)) value = static_cast<V>(NAN);
        // The file's first row is the northernmost, the grid's first the southernmost.
        result.values[(result.ny - 1 - k / nx) * nx + k % nx] = value;
    }
    grid = std::move(result);
    return GridFault::kNone;
}

// Surfer binary: the 56-byte "DSBB" header, then nx * ny little-endian floats. The header keeps
// only the low 16 bits of each count; the file length gives the rest.
GridFault ReadSurferBinary(const std::string& path, GridFile& grid, std::string& reason) {
    std::string bytes;
    if (!ReadWholeFile(path, bytes, reason)) return GridFault::kUnreadable;
    if (bytes.size() < kSurferBinaryHeaderBytes || bytes.compare(0, 4, "DSBB") != 0)
        return Refuse(reason, "is not a Surfer binary grid (no \"DSBB\" header)", GridFault::kNotDsaa);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const int64_t nxLow = data[4] | (data[5] << 8), nyLow = data[6] | (data[7] << 8);
    const std::size_t payload = bytes.size() - kSurferBinaryHeaderBytes;
    const int64_t count = static_cast<int64_t>(payload / 4);
    int64_t nx = 0, ny = 0;
    for (int64_t candidate = nxLow; payload % 4 == 0 && candidate > 0 && candidate <= count; candidate += 65536) {
        if (count % candidate == 0 && (count / candidate) % 65536 == nyLow) {
            nx = candidate;
            ny = count / candidate;
            break;
        }
    }
    if (nx == 0)
        return Refuse(reason, "header's size " + std::to_string(nxLow) + " x " + std::to_string(nyLow) +
                                  " does not match its " + std::to_string(payload) + " bytes of values",
                      GridFault::kShort);
    if (const GridFault fault = CheckSize(nx, ny, reason); fault != GridFault::kNone) return fault;
    GridFile result;
    result.nx = static_cast<int32_t>(nx);
    result.ny = static_cast<int32_t>(ny);
    double* const header[] = {&result.xMin, &result.xMax, &result.yMin, &result.yMax, &result.zMin, &result.zMax};
    for (int k = 0; k < 6; ++k) std::memcpy(header[k], data + 8 + 8 * k, 8);  // little-endian hosts only
    if (const GridFault fault = CheckExtent(result, reason); fault != GridFault::kNone) return fault;
    result.values.resize(static_cast<std::size_t>(count));
    std::memcpy(result.values.data(), data + kSurferBinaryHeaderBytes, payload);
    grid = std::move(result);
    return GridFault::kNone;
}

std::string NetCdfText(const std::string& what, int status) { return what + ": " + nc_strerror(status); }

// netCDF: "HA" of (rows, columns) or (record, rows, columns), with 1-D "LAT" and "LON" whose
// first and last values are the extent.
GridFault ReadNetCdf(const std::string& path, const GridReadOptions& options, GridFile& grid, std::string& reason) {
    int ncid = -1;
    int status = nc_open(path.c_str(), NC_NOWRITE, &ncid);
    if (status != NC_NOERR) return Refuse(reason, NetCdfText("cannot be opened as netCDF", status), GridFault::kUnreadable);
    std::unique_ptr<int, void (*)(int*)> closer(&ncid, [](int* id) { nc_close(*id); });
    const GridFault malformed = GridFault::kMalformed;

    int latId = -1, lonId = -1, haId = -1;
    for (auto [name, id] : {std::pair{"LAT", &latId}, std::pair{"LON", &lonId}, std::pair{"HA", &haId}}) {
        if (id != &haId && !options.coordinates) continue;
        if (nc_inq_varid(ncid, name, id) != NC_NOERR)
            return Refuse(reason, std::string("has no variable \"") + name + "\"", malformed);
    }
    int ndims = 0;
    nc_inq_varndims(ncid, haId, &ndims);
    if (ndims < (options.recordDimension ? 3 : 2) || ndims > 3)
        return Refuse(reason, "\"HA\" has " + std::to_string(ndims) + " dimensions, not (record, rows, columns)" +
                                  (options.recordDimension ? "" : " or (rows, columns)"), malformed);
    int dimIds[3] = {};
    std::size_t lengths[3] = {1, 0, 0};
    status = nc_inq_vardimid(ncid, haId, dimIds);
    for (int d = 0; d < ndims && status == NC_NOERR; ++d) status = nc_inq_dimlen(ncid, dimIds[d], &lengths[3 - ndims + d]);
    if (status != NC_NOERR) return Refuse(reason, NetCdfText("\"HA\" dimensions cannot be read", status), malformed);
    // Several records are several grids: which one is meant is unknown unless the caller says.
    const std::size_t records = lengths[0], rows = lengths[1], columns = lengths[2];
    if (options.lastRecord ? records < 1 : records != 1)
        return Refuse(reason, "\"HA\" holds " + std::to_string(records) + " records, not 1", GridFault::kRecords);
    if (const GridFault fault = CheckSize(static_cast<int64_t>(columns), static_cast<int64_t>(rows), reason);
        fault != GridFault::kNone)
        return fault;

    GridFile result;
    result.nx = static_cast<int32_t>(columns);
    result.ny = static_cast<int32_t>(rows);
    auto readAxis = [&](int varId, const char* name, std::size_t length, double& first, double& last) {
        int dims = 0, dimId = -1;
        std::size_t found = 0;
        if (nc_inq_varndims(ncid, varId, &dims) != NC_NOERR || dims != 1 ||
            nc_inq_vardimid(ncid, varId, &dimId) != NC_NOERR || nc_inq_dimlen(ncid, dimId, &found) != NC_NOERR ||
            found != length)
            return Refuse(reason, std::string("\"") + name + "\" is not a coordinate of " + std::to_string(length) +
                                      " values", malformed);
        std::vector<double> axis(length);
        if ((status = nc_get_var_double(ncid, varId, axis.data())) != NC_NOERR)
            return Refuse(reason, NetCdfText(std::string("\"") + name + "\" cannot be read", status), malformed);
        first = axis.front();
        last = axis.back();
        if (!std::isfinite(first) || !std::isfinite(last))
            return Refuse(reason, std::string("\"") + name + "\" ends are not finite", malformed);
        return GridFault::kNone;
    };
    if (options.coordinates) {
        if (const GridFault fault = readAxis(latId, "LAT", rows, result.yMin, result.yMax); fault != GridFault::kNone)
            return fault;
        if (const GridFault fault = readAxis(lonId, "LON", columns, result.xMin, result.xMax); fault != GridFault::kNone)
            return fault;
    }
    // Stored order is row after row from the first latitude, the order of the grid's values.
    result.values.resize(rows * columns);
    const std::size_t start[3] = {records - 1, 0, 0}, count[3] = {1, rows, columns};
    status = nc_get_vara_float(ncid, haId, start + 3 - ndims, count + 3 - ndims, result.values.data());
    if (status != NC_NOERR) return Refuse(reason, NetCdfText("\"HA\" cannot be read", status), malformed);
    grid = std::move(result);
    return GridFault::kNone;
}

}  // namespace

bool IsSurferTextName(const std::string& path) {
    return !path.empty() && (path.back() == 'd' || path.back() == 'D');
}

GridFileFormat FormatFromFirstWord(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string word;
    file >> std::setw(5) >> word;  // enough to tell "DSAA" from a longer word, without reading a large file
    return word == "DSAA" ? SurferText : NetCdf;
}

template <typename Value>
GridFault ReadGridFile(const std::string& path, GridFileFormat format, const GridReadOptions& options,
                       BasicGridFile<Value>& grid, std::string& reason) {
    if (format == SurferText) return ReadSurferText(path, options, grid, reason);
    if (format == EsriAscii) return ReadEsriAscii(path, options, grid, reason);
    GridFile read;
    const GridFault fault = format == SurferBinary ? ReadSurferBinary(path, read, reason)
                                                   : ReadNetCdf(path, options, read, reason);
    if (fault != GridFault::kNone) return fault;
    for (std::size_t k = 0; options.finite && k < read.values.size(); ++k)
        if (!std::isfinite(read.values[k]))
            return Refuse(reason, "value " + std::to_string(k + 1) + " is not a finite number", GridFault::kNotNumber);
    if constexpr (std::is_same_v<Value, float>) {
        grid = std::move(read);
    } else {
        grid = {read.nx, read.ny, read.xMin, read.xMax, read.yMin, read.yMax, read.zMin, read.zMax,
                std::vector<Value>(read.values.begin(), read.values.end())};
    }
    return GridFault::kNone;
}

template GridFault ReadGridFile(const std::string&, GridFileFormat, const GridReadOptions&, BasicGridFile<float>&,
                                std::string&);
template GridFault ReadGridFile(const std::string&, GridFileFormat, const GridReadOptions&, BasicGridFile<double>&,
                                std::string&);
