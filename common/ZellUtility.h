#pragma once
// Grid files of the results: the Surfer text ("DSAA") and binary ("DSBB") grids and the ESRI
// ASCII raster, written from a flat buffer of nx * ny floats (row-major, first row at yMin,
// first value of a row at xMin), plus the small text and file helpers the other writers share.
//
// Coordinates are node coordinates: the first and last column lie exactly at xMin and xMax.
// Every writer reports a file it cannot create or write with one warning line on standard
// error naming the file and the reason, and carries on; standard output gets only the
// "<base name> MM(zMax, zMin)" line of WriteGridFile.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

struct GridFileHeader {
    uint32_t nx = 0;  // columns (x)
    uint32_t ny = 0;  // rows (y)
    float zMax = 0.0f;
    float zMin = 0.0f;
    double yMin = 0.0, yMax = 0.0;  // y of the first and last row
    double xMin = 0.0, xMax = 0.0;  // x of the first and last column
};

// The values of the run setting outputFormat.
enum GridFileFormat : uint32_t {
    SurferText = 0,    // base name + ".grd"
    SurferBinary = 1,  // base name + "_bin.grd"
    NetCdf = 2,        // written by WriteNetCdfGrid, not here
    EsriAscii = 3,     // base name + ".asc"
};

// Writes one grid in `format` under `baseName` plus the format's extension and prints
// "<baseName> MM(zMax, zMin)" on standard output. Returns 0 for the four known formats (also
// when the file could not be written: that is reported on standard error), 1 for an unknown one.
int32_t WriteGridFile(const float* values, const GridFileHeader& header, const std::string& baseName,
                      uint32_t format);

// Surfer text grid in the utility layout (at most ten values per line, an empty line after
// each row, extra line breaks where p mod ny = ny - 1). Returns 0.
int32_t WriteSurferTextGrid(const float* values, const GridFileHeader& header, const std::string& path);

// ESRI ASCII raster, rows from north (yMax) to south. Returns 0.
int32_t WriteEsriAsciiGrid(const float* values, const GridFileHeader& header, const std::string& path);

// Surfer binary grid: the 56-byte header and the values. Returns true when written.
bool WriteSurferBinaryGrid(const float* values, const GridFileHeader& header, const std::string& path);

// The 56 bytes of a "DSBB" header, little-endian: nx and ny as 16-bit integers (low 16 bits),
// then xMin, xMax, yMin, yMax, zMin, zMax as doubles.
inline constexpr std::size_t kSurferBinaryHeaderBytes = 56;
std::array<unsigned char, kSurferBinaryHeaderBytes> SurferBinaryHeader(uint32_t nx, uint32_t ny, double xMin,
                                                                      double xMax, double yMin, double yMax,
                                                                      double zMin, double zMax);

// The five header lines of a Surfer text grid with coordinates and range in 7-decimal fixed notation.
void AppendSurferTextHeader(std::string& out, uint32_t nx, uint32_t ny, double xMin, double xMax, double yMin,
                            double yMax, double zMin, double zMax);

// Number formatting independent of the C locale: fixed notation with `precision` decimals
// (printf "%.Nf") and the general notation of printf "%g" (6 significant digits).
void AppendFixed(std::string& out, double value, int precision);
void AppendGeneral(std::string& out, double value);

// Padding after a value in the utility layout: max(1, 6 - d) spaces, d being the characters of
// the value's integer part truncated to a 32-bit integer (a minus sign counts when that part
// is nonzero and negative).
int SurferUtilityPadding(float value);

// The column layout of Surfer text grids: every row starts on a new line, ten values to a line,
// the first value of a line bare and each following one right-aligned in `width` characters,
// and an empty line after each row. A value as wide as the field or wider is still separated
// from the one before it by one space.
class ColumnLayoutText {
public:
    ColumnLayoutText(std::string& out, int width, int precision) : out_(out), width_(width), precision_(precision) {}
    void Value(double value);
    void Text(std::string_view text);  // a literal entry such as "0" for a dry cell
    void EndRow();

private:
    std::string& out_;
    int width_;
    int precision_;
    int onLine_ = 0;
    std::string scratch_;
};

// One line on standard error: "vestra: warning: cannot write <path>: <reason>".
void WarnFileNotWritten(const std::string& path, const char* reason);

// An output file written through an in-memory buffer that is flushed in large pieces.
// Opening, writing and closing failures are reported once with WarnFileNotWritten; after a
// failure the rest of the writes are dropped.
class OutputFile {
public:
    // Created or truncated; `binary` keeps the bytes as they are on platforms with a text mode.
    explicit OutputFile(std::string path, bool binary = false);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { Close(); }

    bool IsOpen() const { return file_ != nullptr; }
    std::string& Buffer() { return buffer_; }  // append here; FlushIfLarge or Close writes it
    void Append(const void* bytes, std::size_t count);
    void FlushIfLarge();
    bool Close();  // true when every byte reached the file

private:
    void Fail(int error);
    void WriteBuffer();

    std::string path_;
    std::FILE* file_ = nullptr;
    std::string buffer_;
    bool failed_ = false;
};
