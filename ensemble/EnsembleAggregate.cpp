// `vestra ensemble aggregate`: hazard maps and gauge hazard from the finished members, read one
// member at a time so that memory does not grow with the ensemble.
#include <gdal_priv.h>
#include <netcdf.h>
#include <ogr_spatialref.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "Ensemble.h"
#include "EnsembleFiles.h"
#include "PathJoin.h"
#include "RunSummary.h"

namespace fs = std::filesystem;

namespace {

constexpr float kFill = -9999.0f;

bool Fail(std::string* error, const std::string& message) {
    *error = message;
    return false;
}

struct Axes {
    int nx = 0, ny = 0;
    double xMin = 0, xMax = 0, yMin = 0, yMax = 0;
    bool spherical = true;
    double X(int i) const { return nx > 1 ? xMin + (xMax - xMin) * i / (nx - 1) : xMin; }
    double Y(int j) const { return ny > 1 ? yMin + (yMax - yMin) * j / (ny - 1) : yMin; }
};

bool SameAxes(const Axes& a, const OutputGrid& g) {
    auto close = [](double u, double v) { return std::fabs(u - v) <= 1e-9 * std::max(1.0, std::fabs(u)); };
    return a.nx == g.nx && a.ny == g.ny && close(a.xMin, g.xMin) && close(a.xMax, g.xMax) && close(a.yMin, g.yMin) &&
           close(a.yMax, g.yMax);
}

// netCDF calls: the first failure is kept with the file's name.
struct Nc {
    std::string path;
    std::string* error;
    bool ok = true;
    bool operator()(int status) {
        if (status != NC_NOERR && ok) {
            ok = false;
            *error = path + ": cannot be written: " + nc_strerror(status);
        }
        return ok;
    }
};

// Defines the CF horizontal coordinates and writes them after nc_enddef. Returns the dims.
void DefineAxes(Nc& nc, int id, const Axes& axes, int* dims, int* vars) {
    const char* yName = axes.spherical ? "lat" : "y";
    const char* xName = axes.spherical ? "lon" : "x";
    nc(nc_def_dim(id, yName, axes.ny, &dims[0]));
    nc(nc_def_dim(id, xName, axes.nx, &dims[1]));
    nc(nc_def_var(id, yName, NC_DOUBLE, 1, &dims[0], &vars[0]));
    nc(nc_def_var(id, xName, NC_DOUBLE, 1, &dims[1], &vars[1]));
    auto text = [&](int var, const char* name, const char* value) {
        nc(nc_put_att_text(id, var, name, std::strlen(value), value));
    };
    if (axes.spherical) {
        text(vars[0], "standard_name", "latitude");
        text(vars[0], "units", "degrees_north");
        text(vars[1], "standard_name", "longitude");
        text(vars[1], "units", "degrees_east");
    } else {
        text(vars[0], "standard_name", "projection_y_coordinate");
        text(vars[0], "units", "m");
        text(vars[1], "standard_name", "projection_x_coordinate");
        text(vars[1], "units", "m");
    }
    text(vars[0], "axis", "Y");
    text(vars[1], "axis", "X");
    text(NC_GLOBAL, "Conventions", "CF-1.8");
    text(NC_GLOBAL, "source", "vestra ensemble aggregate");
}

void PutAxes(Nc& nc, int id, const Axes& axes, const int* vars) {
    std::vector<double> y(axes.ny), x(axes.nx);
    for (int j = 0; j < axes.ny; ++j) y[j] = axes.Y(j);
    for (int i = 0; i < axes.nx; ++i) x[i] = axes.X(i);
    nc(nc_put_var_double(id, vars[0], y.data()));
    nc(nc_put_var_double(id, vars[1], x.data()));
}

bool Close(Nc& nc, int id, const std::string& temporary, const std::string& path) {
    const int status = nc_close(id);
    nc(status);
    if (nc.ok && std::rename(temporary.c_str(), path.c_str()) != 0) nc(NC_EPERM);
    if (!nc.ok) std::remove(temporary.c_str());
    return nc.ok;
}

bool WriteMaxNetCdf(const std::string& path, const Axes& axes, const std::vector<float>& values, std::string* error) {
    const std::string temporary = path + ".partial";
    Nc nc{path, error};
    int id = -1, dims[2], vars[2], var = -1;
    if (!nc(nc_create(temporary.c_str(), NC_CLOBBER | NC_64BIT_OFFSET, &id))) return false;
    DefineAxes(nc, id, axes, dims, vars);
    nc(nc_def_var(id, "max_water_level", NC_FLOAT, 2, dims, &var));
    nc(nc_put_att_float(id, var, "_FillValue", NC_FLOAT, 1, &kFill));
    nc(nc_put_att_text(id, var, "units", 1, "m"));
    const char* longName = "highest water level over the ensemble members";
    nc(nc_put_att_text(id, var, "long_name", std::strlen(longName), longName));
    nc(nc_enddef(id));
    PutAxes(nc, id, axes, vars);
    nc(nc_put_var_float(id, var, values.data()));
    return Close(nc, id, temporary, path);
}

bool WriteRateNetCdf(const std::string& path, const Axes& axes, const std::vector<double>& thresholds,
                     const std::vector<double>& rates, double years, std::string* error) {
    const std::string temporary = path + ".partial";
    Nc nc{path, error};
    int id = -1, dims[3], vars[2], tVar = -1, rVar = -1, pVar = -1;
    if (!nc(nc_create(temporary.c_str(), NC_CLOBBER | NC_64BIT_OFFSET, &id))) return false;
    nc(nc_def_dim(id, "threshold", thresholds.size(), &dims[0]));
    DefineAxes(nc, id, axes, dims + 1, vars);
    nc(nc_def_var(id, "threshold", NC_DOUBLE, 1, &dims[0], &tVar));
    nc(nc_put_att_text(id, tVar, "units", 1, "m"));
    const char* tName = "water level exceeded";
    nc(nc_put_att_text(id, tVar, "long_name", std::strlen(tName), tName));
    nc(nc_def_var(id, "exceedance_rate", NC_DOUBLE, 3, dims, &rVar));
    nc(nc_put_att_text(id, rVar, "units", 6, "year-1"));
    const char* rName = "yearly rate of a highest water level above the threshold";
    nc(nc_put_att_text(id, rVar, "long_name", std::strlen(rName), rName));
    if (years > 0) {
        nc(nc_def_var(id, "exceedance_probability", NC_DOUBLE, 3, dims, &pVar));
        nc(nc_put_att_text(id, pVar, "units", 1, "1"));
        nc(nc_put_att_double(id, pVar, "years", NC_DOUBLE, 1, &years));
        const char* pName = "probability of at least one exceedance in 'years' (Poisson)";
        nc(nc_put_att_text(id, pVar, "long_name", std::strlen(pName), pName));
    }
    nc(nc_enddef(id));
    PutAxes(nc, id, axes, vars);
    nc(nc_put_var_double(id, tVar, thresholds.data()));
    nc(nc_put_var_double(id, rVar, rates.data()));
    if (years > 0) {
        std::vector<double> p(rates.size());
        for (size_t i = 0; i < p.size(); ++i) p[i] = -std::expm1(-rates[i] * years);
        nc(nc_put_var_double(id, pVar, p.data()));
    }
    return Close(nc, id, temporary, path);
}

bool WriteMaxGeoTiff(const std::string& path, const Axes& axes, const std::vector<float>& values, std::string* error) {
    GDALAllRegister();
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("GTiff");
    if (driver == nullptr) return Fail(error, path + ": GDAL has no GTiff driver");
    const std::string temporary = path + ".partial";
    GDALDataset* ds = driver->Create(temporary.c_str(), axes.nx, axes.ny, 1, GDT_Float32, nullptr);
    if (ds == nullptr) return Fail(error, path + ": cannot be created: " + CPLGetLastErrorMsg());
    // Node values become pixel centres: the raster's outer edges lie half a spacing beyond the nodes.
    const double dx = axes.nx > 1 ? (axes.xMax - axes.xMin) / (axes.nx - 1) : 1.0;
    const double dy = axes.ny > 1 ? (axes.yMax - axes.yMin) / (axes.ny - 1) : 1.0;
    double transform[6] = {axes.xMin - dx / 2, dx, 0.0, axes.yMax + dy / 2, 0.0, -dy};
    ds->SetGeoTransform(transform);
    if (axes.spherical) {
        OGRSpatialReference srs;
        srs.SetWellKnownGeogCS("WGS84");
        ds->SetSpatialRef(&srs);
    }
    GDALRasterBand* band = ds->GetRasterBand(1);
    band->SetNoDataValue(kFill);
    bool ok = true;
    for (int row = 0; row < axes.ny && ok; ++row) {  // GeoTIFF rows run north to south
        float* line = const_cast<float*>(&values[static_cast<size_t>(axes.ny - 1 - row) * axes.nx]);
        ok = band->RasterIO(GF_Write, 0, row, axes.nx, 1, line, axes.nx, 1, GDT_Float32, 0, 0) == CE_None;
    }
    GDALClose(ds);
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return Fail(error, path + ": cannot be written");
    }
    return true;
}

struct GaugeHazard {
    std::vector<double> rates;  // per threshold
};

std::string Number(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
}

// A CSV field, quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

}  // namespace

bool AggregateEnsemble(const AggregateOptions& options, std::string* error) {
    EnsembleSettings settings;
    std::vector<EnsembleMember> members;
    if (!LoadEnsemble(options.dir, &settings, &members, error)) return false;
    const std::vector<double>& thresholds = options.thresholds;
    if (thresholds.empty()) return Fail(error, "--thresholds: at least one level is needed");
    for (size_t t = 0; t < thresholds.size(); ++t)
        if (!std::isfinite(thresholds[t]) || (t > 0 && thresholds[t] <= thresholds[t - 1]))
            return Fail(error, "--thresholds " + Number(thresholds[t]) + ": must be finite and increasing");

    // Which members count: every one must be done unless missing ones may be skipped.
    std::vector<EnsembleMember> used;
    std::vector<std::string> missing;
    for (const EnsembleMember& m : members) {
        const MemberStatus s = ReadMemberStatus(m);
        if (s.state == MemberState::kDone) {
            used.push_back(m);
            continue;
        }
        std::string line = "member " + m.name + ": " + MemberStateName(s.state);
        if (s.state == MemberState::kFailed) line += " (exit status " + std::to_string(s.exitStatus) + ", log " + s.log + ")";
        missing.push_back(line);
    }
    for (const std::string& line : missing)
        std::fprintf(stderr, "vestra: %s%s\n", line.c_str(), options.skipMissing ? "; skipped" : "");
    if (!missing.empty() && !options.skipMissing)
        return Fail(error, std::to_string(missing.size()) + " of " + std::to_string(members.size()) +
                               " members are not done (--skip-missing leaves them out)");
    if (used.empty()) return Fail(error, options.dir + ": no member is done");

    const std::string out = options.out.empty() ? (fs::path(options.dir) / "hazard").string() : options.out;
    std::error_code ec;
    fs::create_directories(out, ec);
    if (!fs::is_directory(out, ec)) return Fail(error, out + ": cannot create the folder");

    // Gauge rates per (level, gauge name), in the order first met.
    std::vector<std::pair<int, std::string>> gaugeOrder;
    std::map<std::pair<int, std::string>, GaugeHazard> gauges;
    const size_t T = thresholds.size();
    for (int k = 0; k < settings.levels; ++k) {
        Axes axes;
        axes.spherical = settings.spherical[k];
        std::vector<float> maxima;
        std::vector<double> rates;
        for (const EnsembleMember& m : used) {
            const double rate = m.rate * m.weight;
            const std::string folder = JoinPath(m.folder, "output/level" + std::to_string(k));
            OutputGrid grid;
            if (!ReadOutputGrid(JoinPath(folder, "OUT-ETA-MAX"), settings.outputFormat, &grid, error))
                return Fail(error, "member " + m.name + ": " + *error);
            if (maxima.empty()) {
                axes.nx = grid.nx;
                axes.ny = grid.ny;
                axes.xMin = grid.xMin;
                axes.xMax = grid.xMax;
                axes.yMin = grid.yMin;
                axes.yMax = grid.yMax;
                maxima.assign(grid.values.size(), kFill);
                rates.assign(T * grid.values.size(), 0.0);
            } else if (!SameAxes(axes, grid)) {
                return Fail(error, grid.path + ": its grid differs from the first member's");
            }
            const size_t cells = grid.values.size();
            for (size_t c = 0; c < cells; ++c) {
                const float v = grid.values[c];
                if (!std::isfinite(v) || std::fabs(v) >= 1e37f) continue;  // blank node
                if (maxima[c] == kFill || v > maxima[c]) maxima[c] = v;
                for (size_t t = 0; t < T && v > thresholds[t]; ++t) rates[t * cells + c] += rate;
            }
            // A level with gauges must have its table in every member: a missing one would lower the rates.
            if (!settings.gauges[k]) continue;
            const std::string gaugeFile = JoinPath(folder, "OUT-SUMMARY-RESULT.dat");
            std::vector<GaugeSummary> rows;
            if (!ReadGaugeSummaryFile(gaugeFile, &rows, error)) return Fail(error, "member " + m.name + ": " + *error);
            for (const GaugeSummary& g : rows) {
                const auto key = std::make_pair(k, g.name);
                auto [it, added] = gauges.try_emplace(key);
                if (added) {
                    gaugeOrder.push_back(key);
                    it->second.rates.assign(T, 0.0);
                }
                for (size_t t = 0; t < T && !g.dry && g.maximum > thresholds[t]; ++t) it->second.rates[t] += rate;
            }
        }
        const fs::path levelDir = fs::path(out) / ("level" + std::to_string(k));
        fs::create_directories(levelDir, ec);
        if (!WriteMaxNetCdf((levelDir / "max-of-max.nc").string(), axes, maxima, error) ||
            !WriteMaxGeoTiff((levelDir / "max-of-max.tif").string(), axes, maxima, error) ||
            !WriteRateNetCdf((levelDir / "exceedance-rate.nc").string(), axes, thresholds, rates, options.years, error))
            return false;
    }
    std::ostringstream csv;
    csv << "gauge,level,threshold,rate" << (options.years > 0 ? ",probability" : "") << "\n";
    for (const auto& key : gaugeOrder) {
        const GaugeHazard& h = gauges[key];
        for (size_t t = 0; t < T; ++t) {
            csv << CsvField(key.second) << "," << key.first << "," << Number(thresholds[t]) << "," << Number(h.rates[t]);
            if (options.years > 0) csv << "," << Number(-std::expm1(-h.rates[t] * options.years));
            csv << "\n";
        }
    }
    if (!WriteFileAtomically((fs::path(out) / "gauges-hazard.csv").string(), csv.str(), error)) return false;
    std::printf("%zu of %zu members aggregated into %s (%d level%s, %zu threshold%s)\n", used.size(), members.size(),
                out.c_str(), settings.levels, settings.levels == 1 ? "" : "s", T, T == 1 ? "" : "s");
    return true;
}
