#include "BathymetryReader.h"

#include <netcdf.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

#include "InitResult.h"

namespace {

// Whole-file read; false (with the system's reason) when the file cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& text, std::string& reason) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) {
        reason = "cannot be opened";
        return false;
    }
    text.clear();
    char buffer[1 << 16];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) text.append(buffer, got);
    if (std::ferror(file.get())) {
        reason = "cannot be read";
        return false;
    }
    return true;
}

// Whitespace-separated tokens of a text grid, parsed strictly: a token is a number only if
// all of it is (so "12abc" and "nan" are not depths).
class TokenReader {
public:
    explicit TokenReader(std::string_view text) : text_(text) {}

    // Next token, or an empty view at the end of the text.
    std::string_view Next() {
        while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !IsSpace(text_[pos_])) ++pos_;
        return text_.substr(start, pos_ - start);
    }

    enum class Status { kOk, kEnd, kNotNumber };

    template <typename T>
    Status NextNumber(T& value) {
        std::string_view token = Next();
        if (token.empty()) return Status::kEnd;
        if (token.size() > 1 && token[0] == '+' && token[1] != '-') token.remove_prefix(1);
        const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
        if (error != std::errc() || end != token.data() + token.size()) return Status::kNotNumber;
        if constexpr (std::is_floating_point_v<T>) {
            if (!std::isfinite(value)) return Status::kNotNumber;
        }
        return Status::kOk;
    }

private:
    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
    std::string_view text_;
    std::size_t pos_ = 0;
};

int32_t NumberFailure(TokenReader::Status status, const char* what, std::string& reason) {
    if (status == TokenReader::Status::kEnd) {
        reason = std::string("ends before ") + what;
        return InitResult::kBathymetryShort;
    }
    reason = std::string(what) + " is not a number";
    return InitResult::kBathymetryNotNumber;
}

std::string NetCdfReason(const char* what, int status) { return std::string(what) + ": " + nc_strerror(status); }

}  // namespace

bool IsSurferTextName(const std::string& path) {
    return !path.empty() && (path.back() == 'd' || path.back() == 'D');
}

int32_t CheckGridShape(const BathymetryGrid& grid, bool spherical, std::string& reason) {
    const int32_t least = spherical ? 2 : 1;
    if (grid.nx < least || grid.ny < least || grid.nx > kMaxGridAxis || grid.ny > kMaxGridAxis ||
        static_cast<int64_t>(grid.nx + 3) * static_cast<int64_t>(grid.ny + 3) > kMaxGridCells) {
        reason = "grid of " + std::to_string(grid.nx) + " x " + std::to_string(grid.ny) + " cells cannot be modelled" +
                 (spherical ? " (a spherical grid needs at least 2 x 2)" : "");
        return InitResult::kBadGridSize;
    }
    if (spherical && grid.xMax == grid.xMin) {
        reason = "spherical grid has the same first and last longitude";
        return InitResult::kSphericalZeroWidth;
    }
    return InitResult::kSuccess;
}

int32_t ReadSurferTextGrid(const std::string& path, BathymetryGrid& grid, std::string& reason) {
    std::string text;
    if (!ReadWholeFile(path, text, reason)) return InitResult::kBathymetryUnreadable;
    TokenReader tokens(text);
    const std::string_view keyword = tokens.Next();
    if (keyword.empty()) {
        reason = "is empty";
        return InitResult::kBathymetryShort;
    }
    if (keyword != "DSAA") {
        reason = "is not a Surfer text grid (first word is not \"DSAA\")";
        return InitResult::kSurferTokenNotDsaa;
    }
    TokenReader::Status status = tokens.NextNumber(grid.nx);
    if (status != TokenReader::Status::kOk) return NumberFailure(status, "the column count", reason);
    status = tokens.NextNumber(grid.ny);
    if (status != TokenReader::Status::kOk) return NumberFailure(status, "the row count", reason);
    double* const header[] = {&grid.xMin, &grid.xMax, &grid.yMin, &grid.yMax, &grid.zMin, &grid.zMax};
    for (double* value : header) {
        status = tokens.NextNumber(*value);
        if (status != TokenReader::Status::kOk) return NumberFailure(status, "the header", reason);
    }
    // Size limits before the value buffer is allocated (the caller checks the spherical rules).
    if (const int32_t code = CheckGridShape(grid, false, reason); code != InitResult::kSuccess) return code;

    const std::size_t count = static_cast<std::size_t>(grid.nx) * static_cast<std::size_t>(grid.ny);
    grid.values.assign(count, 0.0f);
    for (std::size_t k = 0; k < count; ++k) {
        status = tokens.NextNumber(grid.values[k]);
        if (status == TokenReader::Status::kEnd) {
            reason = "ends after " + std::to_string(k) + " of " + std::to_string(count) + " depth values";
            grid.values.clear();
            return InitResult::kBathymetryShort;
        }
        if (status == TokenReader::Status::kNotNumber) {
            reason = "depth value " + std::to_string(k + 1) + " is not a number";
            grid.values.clear();
            return InitResult::kBathymetryNotNumber;
        }
    }
    return InitResult::kSuccess;
}

int32_t ReadNetCdfGrid(const std::string& path, BathymetryGrid& grid, std::string& reason) {
    int ncid = -1;
    int status = nc_open(path.c_str(), NC_NOWRITE, &ncid);
    if (status != NC_NOERR) {
        reason = NetCdfReason("cannot be opened as netCDF", status);
        return InitResult::kBathymetryUnreadable;
    }
    // Closes the file on every way out.
    std::unique_ptr<int, void (*)(int*)> closer(&ncid, [](int* id) { nc_close(*id); });

    int latId = -1, lonId = -1, haId = -1;
    for (auto [name, id] : {std::pair{"LAT", &latId}, std::pair{"LON", &lonId}, std::pair{"HA", &haId}}) {
        if ((status = nc_inq_varid(ncid, name, id)) != NC_NOERR) {
            reason = NetCdfReason((std::string("has no variable \"") + name + "\"").c_str(), status);
            return InitResult::kNetCdfMissingVariable;
        }
    }

    int haDims = 0;
    if ((status = nc_inq_varndims(ncid, haId, &haDims)) != NC_NOERR || haDims < 2 || haDims > 3) {
        reason = "\"HA\" must have 3 dimensions (1, rows, columns) or 2 (rows, columns)";
        return InitResult::kNetCdfMissingVariable;
    }
    int dimIds[3] = {-1, -1, -1};
    std::size_t lengths[3] = {0, 0, 0};
    if ((status = nc_inq_vardimid(ncid, haId, dimIds)) != NC_NOERR) {
        reason = NetCdfReason("\"HA\" dimensions cannot be read", status);
        return InitResult::kNetCdfMissingVariable;
    }
    for (int d = 0; d < haDims; ++d) {
        if ((status = nc_inq_dimlen(ncid, dimIds[d], &lengths[d])) != NC_NOERR) {
            reason = NetCdfReason("\"HA\" dimensions cannot be read", status);
            return InitResult::kNetCdfMissingVariable;
        }
    }
    // A leading record dimension longer than 1 would hold several grids: which one is meant
    // is unknown, so the file is refused rather than read past one grid's buffer.
    if (haDims == 3 && lengths[0] != 1) {
        reason = "\"HA\" first dimension has length " + std::to_string(lengths[0]) + ", not 1";
        return InitResult::kNetCdfBadRecordDim;
    }
    const std::size_t rows = lengths[haDims - 2];
    const std::size_t columns = lengths[haDims - 1];
    if (rows > static_cast<std::size_t>(kMaxGridAxis) || columns > static_cast<std::size_t>(kMaxGridAxis)) {
        reason = "\"HA\" of " + std::to_string(columns) + " x " + std::to_string(rows) + " cells cannot be modelled";
        return InitResult::kBadGridSize;
    }
    grid.nx = static_cast<int32_t>(columns);
    grid.ny = static_cast<int32_t>(rows);
    if (const int32_t code = CheckGridShape(grid, false, reason); code != InitResult::kSuccess) return code;

    // The coordinate variables must be one-dimensional and as long as the matching axis of
    // "HA": otherwise their first and last values are not the grid's corners.
    auto readEnds = [&](int varId, const char* name, std::size_t expected, double& first, double& last) {
        int dims = 0;
        int dimId = -1;
        std::size_t length = 0;
        if (nc_inq_varndims(ncid, varId, &dims) != NC_NOERR || dims != 1 ||
            nc_inq_vardimid(ncid, varId, &dimId) != NC_NOERR || nc_inq_dimlen(ncid, dimId, &length) != NC_NOERR ||
            length != expected) {
            reason = std::string("\"") + name + "\" is not a coordinate of " + std::to_string(expected) + " values";
            return false;
        }
        const std::size_t firstIndex = 0, lastIndex = length - 1;
        if ((status = nc_get_var1_double(ncid, varId, &firstIndex, &first)) != NC_NOERR ||
            (status = nc_get_var1_double(ncid, varId, &lastIndex, &last)) != NC_NOERR) {
            reason = NetCdfReason((std::string("\"") + name + "\" cannot be read").c_str(), status);
            return false;
        }
        if (!std::isfinite(first) || !std::isfinite(last)) {
            reason = std::string("\"") + name + "\" holds a value that is not a number";
            return false;
        }
        return true;
    };
    if (!readEnds(latId, "LAT", rows, grid.yMin, grid.yMax) || !readEnds(lonId, "LON", columns, grid.xMin, grid.xMax))
        return InitResult::kNetCdfMissingVariable;
    grid.zMin = grid.zMax = 0.0;

    // Stored order is row after row from the first latitude, each row from the first longitude,
    // which is the order of BathymetryGrid::values.
    grid.values.assign(rows * columns, 0.0f);
    if ((status = nc_get_var_float(ncid, haId, grid.values.data())) != NC_NOERR) {
        reason = NetCdfReason("\"HA\" cannot be read", status);
        grid.values.clear();
        return InitResult::kNetCdfMissingVariable;
    }
    for (std::size_t k = 0; k < grid.values.size(); ++k) {
        if (!std::isfinite(grid.values[k])) {
            reason = "\"HA\" value " + std::to_string(k + 1) + " is not a number";
            grid.values.clear();
            return InitResult::kBathymetryNotNumber;
        }
    }
    return InitResult::kSuccess;
}

int32_t ReadBathymetry(const std::string& path, BathymetryGrid& grid, std::string& reason) {
    grid = BathymetryGrid{};
    return IsSurferTextName(path) ? ReadSurferTextGrid(path, grid, reason) : ReadNetCdfGrid(path, grid, reason);
}

int32_t ReadCellFieldValues(const std::string& path, std::size_t count, std::vector<float>& values,
                            std::string& reason) {
    std::string text;
    if (!ReadWholeFile(path, text, reason)) return InitResult::kCellFieldUnreadable;
    TokenReader tokens(text);
    tokens.Next();  // header keyword, not checked
    for (int k = 0; k < 8; ++k) {
        double ignored = 0.0;
        if (tokens.NextNumber(ignored) != TokenReader::Status::kOk) {
            reason = "has no complete Surfer grid header";
            return InitResult::kCellFieldShort;
        }
    }
    values.assign(count, 0.0f);
    for (std::size_t k = 0; k < count; ++k) {
        const TokenReader::Status status = tokens.NextNumber(values[k]);
        if (status != TokenReader::Status::kOk) {
            reason = status == TokenReader::Status::kEnd
                         ? "ends after " + std::to_string(k) + " of the " + std::to_string(count) + " values the grid needs"
                         : "value " + std::to_string(k + 1) + " is not a number";
            values.clear();
            return InitResult::kCellFieldShort;
        }
    }
    return InitResult::kSuccess;
}
