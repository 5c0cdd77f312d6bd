#include "ZellUtility.h"

#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <utility>

static_assert(std::endian::native == std::endian::little,
              "the Surfer binary payload is written straight from memory and must be little-endian");

namespace {

// Output buffers are written out once they hold this many bytes.
constexpr std::size_t kFlushBytes = std::size_t{1} << 20;

void PutLittleEndian(unsigned char* at, uint64_t bits, int bytes) {
    for (int b = 0; b < bytes; ++b) at[b] = static_cast<unsigned char>((bits >> (8 * b)) & 0xffu);
}

void AppendUnsigned(std::string& out, uint64_t value) {
    char text[24];
    const auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
}

// x spacing of the nodes; a single column has none, so the y spacing stands in for it
// (0 for a single cell) instead of dividing by zero.
double EsriCellSize(const GridFileHeader& header) {
    if (header.nx > 1) return (header.xMax - header.xMin) / (static_cast<double>(header.nx) - 1.0);
    if (header.ny > 1) return (header.yMax - header.yMin) / (static_cast<double>(header.ny) - 1.0);
    return 0.0;
}

bool ValuesMissing(const float* values, const GridFileHeader& header, const std::string& path) {
    if (values != nullptr || header.nx == 0 || header.ny == 0) return false;
    WarnFileNotWritten(path, "no values were supplied");
    return true;
}

}  // namespace

void WarnFileNotWritten(const std::string& path, const char* reason) {
    std::fprintf(stderr, "vestra: warning: cannot write %s: %s\n", path.c_str(), reason);
}

void AppendFixed(std::string& out, double value, int precision) {
    char text[400];  // the widest double (1.8e308) in fixed notation with up to 60 decimals
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, precision);
    if (result.ec == std::errc()) {
        out.append(text, result.ptr);
    } else {
        const int length = std::snprintf(text, sizeof text, "%.*f", precision, value);
        out.append(text, static_cast<std::size_t>(length > 0 ? length : 0));
    }
}

void AppendGeneral(std::string& out, double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 6);
    out.append(text, result.ptr);
}

int SurferUtilityPadding(float value) {
    const double whole = std::trunc(static_cast<double>(value));
    int digits = 11;  // NaN, infinities and values beyond 32 bits are at least as wide as any int32
    if (std::fabs(whole) < 2147483648.0) {
        const int64_t integer = static_cast<int64_t>(whole);
        uint64_t magnitude = static_cast<uint64_t>(integer < 0 ? -integer : integer);
        digits = integer < 0 ? 1 : 0;
        do {
            ++digits;
            magnitude /= 10;
        } while (magnitude != 0);
    }
    return digits < 5 ? 6 - digits : 1;
}

void AppendSurferTextHeader(std::string& out, uint32_t nx, uint32_t ny, double xMin, double xMax, double yMin,
                            double yMax, double zMin, double zMax) {
    out += "DSAA\n";
    AppendUnsigned(out, nx);
    out += "   ";
    AppendUnsigned(out, ny);
    out += '\n';
    AppendFixed(out, xMin, 7);
    out += "   ";
    AppendFixed(out, xMax, 7);
    out += '\n';
    AppendFixed(out, yMin, 7);
    out += "   ";
    AppendFixed(out, yMax, 7);
    out += '\n';
    AppendFixed(out, zMin, 7);
    out += "  ";
    AppendFixed(out, zMax, 7);
    out += '\n';
}

std::array<unsigned char, kSurferBinaryHeaderBytes> SurferBinaryHeader(uint32_t nx, uint32_t ny, double xMin,
                                                                      double xMax, double yMin, double yMax,
                                                                      double zMin, double zMax) {
    std::array<unsigned char, kSurferBinaryHeaderBytes> bytes{};
    std::memcpy(bytes.data(), "DSBB", 4);
    PutLittleEndian(bytes.data() + 4, nx & 0xffffu, 2);  // the count's low 16 bits
    PutLittleEndian(bytes.data() + 6, ny & 0xffffu, 2);
    const double doubles[6] = {xMin, xMax, yMin, yMax, zMin, zMax};
    for (int k = 0; k < 6; ++k) PutLittleEndian(bytes.data() + 8 + 8 * k, std::bit_cast<uint64_t>(doubles[k]), 8);
    return bytes;
}

void ColumnLayoutText::Value(double value) {
    scratch_.clear();
    AppendFixed(scratch_, value, precision_);
    Text(scratch_);
}

void ColumnLayoutText::Text(std::string_view text) {
    if (onLine_ == 10) {
        out_ += '\n';
        onLine_ = 0;
    }
    if (onLine_ > 0) {
        const int pad = width_ - static_cast<int>(text.size());
        out_.append(static_cast<std::size_t>(pad >= 1 ? pad : 1), ' ');
    }
    out_ += text;
    ++onLine_;
}

void ColumnLayoutText::EndRow() {
    if (onLine_ == 0) return;  // a row without values leaves no text
    out_ += "\n\n";
    onLine_ = 0;
}

OutputFile::OutputFile(std::string path, bool binary) : path_(std::move(path)) {
    file_ = std::fopen(path_.c_str(), binary ? "wb" : "w");
    if (file_ == nullptr) Fail(errno);
}

void OutputFile::Fail(int error) {
    if (failed_) return;
    failed_ = true;
    WarnFileNotWritten(path_, std::strerror(error != 0 ? error : EIO));
}

void OutputFile::WriteBuffer() {
    if (file_ != nullptr && !failed_ && !buffer_.empty()) {
        errno = 0;
        if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) Fail(errno);
    }
    buffer_.clear();
}

void OutputFile::Append(const void* bytes, std::size_t count) {
    if (count < kFlushBytes) {
        buffer_.append(static_cast<const char*>(bytes), count);
        FlushIfLarge();
        return;
    }
    // A large block goes to the file as it is: copying it into the buffer would touch as much
    // fresh memory again.
    WriteBuffer();
    if (file_ != nullptr && !failed_) {
        errno = 0;
        if (std::fwrite(bytes, 1, count, file_) != count) Fail(errno);
    }
}

void OutputFile::FlushIfLarge() {
    if (buffer_.size() >= kFlushBytes) WriteBuffer();
}

bool OutputFile::Close() {
    if (file_ != nullptr) {
        WriteBuffer();
        errno = 0;
        if (std::fclose(file_) != 0) Fail(errno);
        file_ = nullptr;
    }
    buffer_.clear();
    buffer_.shrink_to_fit();
    return !failed_;
}

int32_t WriteSurferTextGrid(const float* values, const GridFileHeader& header, const std::string& path) {
    if (ValuesMissing(values, header, path)) return 0;
    OutputFile file(path);
    if (!file.IsOpen()) return 0;
    std::string& out = file.Buffer();
    AppendSurferTextHeader(out, header.nx, header.ny, header.xMin, header.xMax, header.yMin, header.yMax,
                           header.zMin, header.zMax);
    // p is the position in the buffer, k counts the values of the current text line. A row end
    // breaks the line and resets k; p mod ny = ny - 1 breaks it again (so a row end gives an
    // empty line); otherwise every tenth value ends the line.
    const uint64_t nx = header.nx;
    const uint64_t ny = header.ny;
    const uint64_t count = nx * ny;
    uint64_t k = 1;
    for (uint64_t p = 0; p < count; ++p) {
        AppendFixed(out, values[p], 7);
        if (p % nx == nx - 1) {
            out += '\n';
            k = 0;
        }
        if (p % ny == ny - 1) {
            out += '\n';
            k = 0;
        } else if (k % 10 == 0) {
            out += '\n';
        } else {
            out.append(static_cast<std::size_t>(SurferUtilityPadding(values[p])), ' ');
        }
        ++k;
        file.FlushIfLarge();
    }
    file.Close();
    return 0;
}

int32_t WriteEsriAsciiGrid(const float* values, const GridFileHeader& header, const std::string& path) {
    if (ValuesMissing(values, header, path)) return 0;
    OutputFile file(path);
    if (!file.IsOpen()) return 0;
    std::string& out = file.Buffer();
    out += "ncols ";
    AppendUnsigned(out, header.nx);
    out += "\nnrows ";
    AppendUnsigned(out, header.ny);
    out += "\nxllcorner ";
    AppendGeneral(out, header.xMin);
    out += "\nyllcorner ";
    AppendGeneral(out, header.yMin);
    out += "\ncellsize ";
    AppendGeneral(out, EsriCellSize(header));
    out += "\nNODATA_value -9999\n";
    // The raster starts with its northernmost row, the last row of the buffer.
    const std::size_t nx = header.nx;
    for (std::size_t row = header.ny; row-- > 0;) {
        const float* rowValues = values + row * nx;
        for (std::size_t i = 0; i < nx; ++i) {
            AppendGeneral(out, rowValues[i]);
            out += ' ';
        }
        out += '\n';
        file.FlushIfLarge();
    }
    file.Close();
    return 0;
}

bool WriteSurferBinaryGrid(const float* values, const GridFileHeader& header, const std::string& path) {
    if (ValuesMissing(values, header, path)) return false;
    OutputFile file(path, true);
    if (!file.IsOpen()) return false;
    const auto head = SurferBinaryHeader(header.nx, header.ny, header.xMin, header.xMax, header.yMin, header.yMax,
                                         header.zMin, header.zMax);
    file.Append(head.data(), head.size());
    const std::size_t count = static_cast<std::size_t>(header.nx) * header.ny;
    if (count > 0) file.Append(values, count * sizeof(float));
    return file.Close();
}

int32_t WriteGridFile(const float* values, const GridFileHeader& header, const std::string& baseName,
                      uint32_t format) {
    int32_t result = 0;
    switch (format) {
    case SurferText:
        result = WriteSurferTextGrid(values, header, baseName + ".grd");
        break;
    case SurferBinary:
        WriteSurferBinaryGrid(values, header, baseName + "_bin.grd");
        break;
    case NetCdf:
        std::printf("Stub Write File %s MM(%f, %f)\n", (baseName + ".nc").c_str(), static_cast<double>(header.zMax),
                    static_cast<double>(header.zMin));
        break;
    case EsriAscii:
        WriteEsriAsciiGrid(values, header, baseName + ".asc");
        break;
    default:
        std::fprintf(stderr,
                     "vestra: internal error in ZellCommon/ZellUtility: \"false\" (unknown grid file format %u "
                     "for %s; nothing written)\n",
                     format, baseName.c_str());
        return 1;
    }
    std::printf("%s MM(%f, %f)\n", baseName.c_str(), static_cast<double>(header.zMax),
                static_cast<double>(header.zMin));
    return result;
}
