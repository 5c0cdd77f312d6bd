#include "ModelRuns.h"

#include <fcntl.h>
#include <netcdf.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "HostRun.h"
#include "PathJoin.h"

NodeGrid SampleGrid(int nx, int ny, double x0, double y0, double dx, double dy,
                    const std::function<double(double, double)>& f) {
    NodeGrid grid{nx, ny, x0, y0, dx, dy, std::vector<double>(static_cast<size_t>(nx) * ny)};
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) grid.at(i, j) = f(grid.X(i), grid.Y(j));
    return grid;
}

bool WriteSurferGrid(const std::string& path, const NodeGrid& grid, std::string* error) {
    const auto [low, high] = std::minmax_element(grid.values.begin(), grid.values.end());
    char text[256];
    std::snprintf(text, sizeof text, "DSAA\n%d %d\n%.12g %.12g\n%.12g %.12g\n%.9g %.9g\n", grid.nx, grid.ny, grid.x0,
                  grid.X(grid.nx - 1), grid.y0, grid.Y(grid.ny - 1), *low, *high);
    std::string out = text;
    for (int j = 0; j < grid.ny; ++j)
        for (int i = 0; i < grid.nx; ++i) {
            std::snprintf(text, sizeof text, i + 1 < grid.nx ? "%.9g " : "%.9g\n", grid.at(i, j));
            out += text;
        }
    return WriteTextFile(path, out, error);
}

bool WriteTextFile(const std::string& path, const std::string& text, std::string* error) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        *error = path + ": cannot be created";
        return false;
    }
    std::fputs(text.c_str(), f);
    const bool ok = std::ferror(f) == 0;
    if (std::fclose(f) != 0 || !ok) {
        *error = path + ": write error";
        return false;
    }
    return true;
}

bool RunModel(const std::string& scenarioPath, const std::string& pluginPath, const std::string& logPath,
              RunDiagnostics* diagnostics, std::string* error) {
    RunOptions options;
    options.scenarioPath = scenarioPath;
    options.pluginPath = pluginPath;
    options.quiet = true;
    options.plots = false;
    // The simulator talks on standard output (a line per grid written): into the log.
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (saved >= 0 && log >= 0) dup2(log, STDOUT_FILENO);
    const int status = RunScenario(options, diagnostics);
    std::fflush(stdout);
    if (saved >= 0) {
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }
    if (log >= 0) close(log);
    if (status != kExitSuccess) {
        *error = scenarioPath + ": the run failed with status " + std::to_string(status) + " (log: " + logPath + ")";
        if (diagnostics != nullptr && diagnostics->unstable) *error += ": " + diagnostics->failureMessage;
        return false;
    }
    return true;
}

bool ReadFrameSeries(const std::string& path, FrameSeries* series, std::string* error) {
    int id = -1;
    auto fail = [&](const char* what, int status) {
        *error = path + ": " + what + ": " + nc_strerror(status);
        if (id >= 0) nc_close(id);
        return false;
    };
    int status = nc_open(path.c_str(), NC_NOWRITE, &id);
    if (status != NC_NOERR) return fail("cannot open", status);
    int timeDim, latDim, lonDim, timeVar, latVar, lonVar, haVar;
    size_t nt, ny, nx;
    if ((status = nc_inq_dimid(id, "TIME", &timeDim)) || (status = nc_inq_dimid(id, "LAT", &latDim)) ||
        (status = nc_inq_dimid(id, "LON", &lonDim)) || (status = nc_inq_dimlen(id, timeDim, &nt)) ||
        (status = nc_inq_dimlen(id, latDim, &ny)) || (status = nc_inq_dimlen(id, lonDim, &nx)) ||
        (status = nc_inq_varid(id, "TIME", &timeVar)) || (status = nc_inq_varid(id, "LAT", &latVar)) ||
        (status = nc_inq_varid(id, "LON", &lonVar)) || (status = nc_inq_varid(id, "HA", &haVar)))
        return fail("not a frame series", status);
    if (nx < 2 || ny < 2) return fail("too small", NC_EINVAL);
    std::vector<double> lat(ny), lon(nx);
    series->times.assign(nt, 0.0);
    if ((status = nc_get_var_double(id, latVar, lat.data())) || (status = nc_get_var_double(id, lonVar, lon.data())) ||
        (nt > 0 && (status = nc_get_var_double(id, timeVar, series->times.data()))))
        return fail("cannot read the coordinates", status);
    series->frames.clear();
    for (size_t r = 0; r < nt; ++r) {
        NodeGrid grid{static_cast<int>(nx), static_cast<int>(ny), lon[0], lat[0], (lon[nx - 1] - lon[0]) / (nx - 1),
                      (lat[ny - 1] - lat[0]) / (ny - 1), std::vector<double>(nx * ny)};
        const size_t start[3] = {r, 0, 0}, count[3] = {1, ny, nx};
        if ((status = nc_get_vara_double(id, haVar, start, count, grid.values.data())))
            return fail("cannot read a frame", status);
        series->frames.push_back(std::move(grid));
    }
    nc_close(id);
    return true;
}

LevelSummary ReadLevelSummary(const std::string& folder, bool spherical, const RunupWindow& w,
                              const std::vector<Transect>& transects) {
    RunSummary summary = CollectRunSummary("", {{folder, spherical, w.xMin, w.xMax, w.yMin, w.yMax, transects}}, 2,
                                           kNoValue, kNoValue);
    return summary.levels.front();
}

bool ReadGaugeHistories(const std::string& path, GaugeHistories* histories, std::string* error) {
    std::ifstream in(path);
    std::string line, word;
    if (!std::getline(in, line)) {
        *error = path + ": missing or empty";
        return false;
    }
    // Header: "Time " then NAME_DEPTH per gauge.
    std::istringstream header(line);
    header >> word;
    *histories = GaugeHistories();
    while (header >> word) histories->names.push_back(word.substr(0, word.rfind('_')));
    histories->values.resize(histories->names.size());
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        double minutes;
        if (!(fields >> minutes)) continue;
        std::vector<double> row(histories->names.size());
        for (double& v : row)
            if (!(fields >> v)) {
                *error = path + ": a record at " + Num(minutes) + " min is incomplete";
                return false;
            }
        histories->times.push_back(minutes * 60.0);
        for (size_t g = 0; g < row.size(); ++g) histories->values[g].push_back(row[g]);
    }
    return true;
}

double NormalisedRms(const std::vector<double>& model, const std::vector<double>& reference) {
    double sum = 0.0, peak = 0.0;
    const size_t n = std::min(model.size(), reference.size());
    for (size_t k = 0; k < n; ++k) {
        sum += (model[k] - reference[k]) * (model[k] - reference[k]);
        peak = std::max(peak, std::fabs(reference[k]));
    }
    return n == 0 || peak == 0.0 ? NAN : std::sqrt(sum / n) / peak;
}

double ArrivalTime(const std::vector<double>& times, const std::vector<double>& values, double level) {
    const size_t n = std::min(times.size(), values.size());
    for (size_t k = 0; k < n; ++k) {
        if (values[k] < level) continue;
        if (k == 0) return times[0];
        const double share = (level - values[k - 1]) / (values[k] - values[k - 1]);
        return times[k - 1] + share * (times[k] - times[k - 1]);
    }
    return NAN;
}

std::vector<std::vector<double>> ReadNumberRows(const std::string& path, size_t columns) {
    std::vector<std::vector<double>> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::replace(line.begin(), line.end(), ',', ' ');
        std::istringstream fields(line);
        std::vector<double> row;
        double v;
        while (fields >> v) row.push_back(v);
        if (row.empty() || !fields.eof() || row.size() < columns) continue;
        if (columns > 0) row.resize(columns);
        rows.push_back(row);
    }
    return rows;
}

double MaxWithin(const std::vector<double>& times, const std::vector<double>& values, double t0, double t1) {
    double best = -HUGE_VAL;
    for (size_t k = 0; k < times.size() && k < values.size(); ++k)
        if (times[k] >= t0 && times[k] <= t1) best = std::max(best, values[k]);
    return best;
}

double Interpolate(const std::vector<double>& xs, const std::vector<double>& ys, double x) {
    if (xs.empty()) return NAN;
    if (x <= xs.front()) return ys.front();
    if (x >= xs.back()) return ys.back();
    const size_t k = static_cast<size_t>(std::upper_bound(xs.begin(), xs.end(), x) - xs.begin());
    const double w = (x - xs[k - 1]) / (xs[k] - xs[k - 1]);
    return ys[k - 1] + w * (ys[k] - ys[k - 1]);
}

std::string Num(double value, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    return text;
}
