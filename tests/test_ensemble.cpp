// `vestra ensemble`: the event table planned into members, hazard sums read back with the netCDF
// library and GDAL against sums done by hand, and reruns that must not run finished members again.
#include <fcntl.h>
#include <gdal_priv.h>
#include <netcdf.h>
#include <sys/file.h>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

// A spherical template of one level (3 x 2 nodes, 0.5 degree apart) and a fault placed by
// longitude and latitude.
void WriteSphericalTemplate(const ScratchFolder& dir) {
    dir.Write("tpl/bathy.grd", "DSAA\n3 2\n140 141\n37 37.5\n100 100\n100 100 100\n100 100 100\n");
    dir.Write("tpl/gauges.txt", "G1 140.5 37\nG2 141 37.5\n");
    dir.Write("tpl/scenario.toml",
              "[parameters]\noutputFormat = 0\ntimeStep = 1.0\n\n[[grids]]\ngridType = 2\ncellSize = 1000.0\n"
              "bathymetryFile = \"bathy.grd\"\noutputFolder = \"out\"\ngaugeFile = \"gauges.txt\"\n\n"
              "[[sources]]\netaFile = \"not-used.grd\"\ninsertionTime = 0.0\n");
    dir.Write("faults/f.toml",
              "[[faults]]\nlongitude = 140.5\nlatitude = 37.2\nreference = \"centroid\"\ndepth = 10.0\n"
              "strike = 0.0\ndip = 20.0\nrake = 90.0\nslip = 1.0\nlength = 20.0\nwidth = 10.0\n");
}

// One member's results as a run would leave them: the highest water level per node (south row
// first, 1.70141e38 a blank node) and the gauge table; `done` marks it finished.
void WriteMemberResults(const std::string& member, const std::string& eta, const std::string& g1,
                        const std::string& g2, bool done) {
    WriteFile(member + "/output/level0/OUT-ETA-MAX.grd", "DSAA\n3 2\n140 141\n37 37.5\n0 2\n" + eta + "\n");
    auto row = [](const std::string& name, const std::string& max) {
        return name + "\t100\t140\t37\t" + (max == "dry" ? "dry\tdry\tdry\tdry" : "1\t2\t" + max + "\t-0.1") + "\n";
    };
    WriteFile(member + "/output/level0/OUT-SUMMARY-RESULT.dat",
              "Name\tDepth\tX\tY\tArrival\tTime of max\tMaximum\tMinimum\n" + row("G1", g1) + row("G2", g2));
    if (done) WriteFile(member + "/done", "0\n");
    else WriteFile(member + "/exit-status", "1\n");
}

std::vector<double> ReadNc(const std::string& path, const char* variable, std::vector<std::string>* dims = nullptr) {
    int id = -1, var = -1, ndims = 0, dimIds[NC_MAX_VAR_DIMS];
    std::vector<double> values;
    if (nc_open(path.c_str(), NC_NOWRITE, &id) != NC_NOERR) return values;
    if (nc_inq_varid(id, variable, &var) == NC_NOERR && nc_inq_varndims(id, var, &ndims) == NC_NOERR &&
        nc_inq_vardimid(id, var, dimIds) == NC_NOERR) {
        size_t count = 1;
        for (int d = 0; d < ndims; ++d) {
            char name[NC_MAX_NAME + 1];
            size_t length = 0;
            nc_inq_dim(id, dimIds[d], name, &length);
            count *= length;
            if (dims) dims->push_back(name);
        }
        values.resize(count);
        if (nc_get_var_double(id, var, values.data()) != NC_NOERR) values.clear();
    }
    nc_close(id);
    return values;
}

TEST(Ensemble, HazardSumsMatchHandComputedRatesAndRefuseMissingMembers) {
    ScratchFolder dir;
    WriteSphericalTemplate(dir);
    // Effective rates (rate x weight): a 0.01, b 0.004 x 0.5 = 0.002, c 0.001.
    dir.Write("events.csv", "name,rate,faults,weight\na,0.01,faults/f.toml,\nb,0.004,faults/f.toml,0.5\n"
                            "c,1e-3,faults/f.toml,1\n");
    const std::string ens = dir / "ens";
    Outcome plan = RunVestra({"ensemble", "plan", dir / "events.csv", "--template", dir / "tpl/scenario.toml", "-o", ens,
                              "--per-task", "2", "--max-running", "7"}, dir);
    ASSERT_EQ(plan.status, 0) << plan.err;
    EXPECT_NE(ReadFile(ens + "/ensemble.sbatch").find("#SBATCH --array=0-1%7\n"), std::string::npos);
    const std::string member = ReadFile(ens + "/members/b/scenario.toml");
    EXPECT_NE(member.find("faults = 'faults.toml'"), std::string::npos) << member;
    EXPECT_EQ(member.find("not-used.grd"), std::string::npos) << member;
    EXPECT_EQ(ReadFile(ens + "/members/b/faults.toml"), ReadFile(dir / "faults/f.toml"));

    // Nodes c0..c5, south row first. Thresholds 0.5 and 1: a level equal to the threshold does
    // not exceed it; c's blank node counts for nothing.
    WriteMemberResults(ens + "/members/a", "0.2 0.6 1.5\n0.0 0.4 2.0", "0.8", "0.2", true);
    WriteMemberResults(ens + "/members/b", "0.7 0.6 0.9\n1.2 -0.1 0.3", "0.3", "1.5", true);
    WriteMemberResults(ens + "/members/c", "1.1 0.1 0.2\n0.55 1.70141e38 1.0", "dry", "0.6", true);
    Outcome agg = RunVestra({"ensemble", "aggregate", ens, "--thresholds", "0.5,1", "--years", "100", "-o", dir / "hz"}, dir);
    ASSERT_EQ(agg.status, 0) << agg.err;
    std::vector<std::string> dims;
    const std::vector<double> rate = ReadNc(dir / "hz/level0/exceedance-rate.nc", "exceedance_rate", &dims);
    EXPECT_EQ(dims, (std::vector<std::string>{"threshold", "lat", "lon"}));
    const std::vector<double> expectRate = {0.003, 0.012, 0.012, 0.003, 0, 0.011,   // above 0.5
                                            0.001, 0, 0.01, 0.002, 0, 0.01};        // above 1
    ASSERT_EQ(rate.size(), expectRate.size());
    for (size_t i = 0; i < rate.size(); ++i) EXPECT_NEAR(rate[i], expectRate[i], 1e-15) << i;
    const std::vector<double> probability = ReadNc(dir / "hz/level0/exceedance-rate.nc", "exceedance_probability");
    ASSERT_EQ(probability.size(), 12u);
    EXPECT_NEAR(probability[2 + 6], 1 - std::exp(-1.0), 1e-12);  // rate 0.01 over 100 years
    EXPECT_EQ(ReadNc(dir / "hz/level0/exceedance-rate.nc", "threshold"), (std::vector<double>{0.5, 1}));
    EXPECT_EQ(ReadNc(dir / "hz/level0/max-of-max.nc", "lat"), (std::vector<double>{37, 37.5}));
    const std::vector<double> expectMax = {1.1, 0.6, 1.5, 1.2, 0.4, 2.0};
    const std::vector<double> maxima = ReadNc(dir / "hz/level0/max-of-max.nc", "max_water_level");
    ASSERT_EQ(maxima.size(), 6u);
    for (size_t i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(maxima[i], expectMax[i]) << i;

    // GDAL reads both the netCDF and the GeoTIFF north row first, with the nodes at pixel centres.
    GDALAllRegister();
    for (const char* name : {"max-of-max.nc", "max-of-max.tif"}) {
        GDALDataset* ds = static_cast<GDALDataset*>(GDALOpen((dir / "hz/level0/" + name).c_str(), GA_ReadOnly));
        ASSERT_NE(ds, nullptr) << name;
        double t[6];
        ASSERT_EQ(ds->GetGeoTransform(t), CE_None) << name;
        EXPECT_NEAR(t[0], 139.75, 1e-9) << name;
        EXPECT_NEAR(t[3], 37.75, 1e-9) << name;
        float north[3] = {0, 0, 0};
        ASSERT_EQ(ds->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, 3, 1, north, 3, 1, GDT_Float32, 0, 0), CE_None);
        EXPECT_FLOAT_EQ(north[0], 1.2f) << name;
        EXPECT_FLOAT_EQ(north[2], 2.0f) << name;
        GDALClose(ds);
    }
    // G1: 0.8 (a) and 0.3 (b), dry in c; G2: 0.2, 1.5, 0.6.
    EXPECT_EQ(ReadFile(dir / "hz/gauges-hazard.csv"),
              "gauge,level,threshold,rate,probability\n"
              "G1,0,0.5,0.01,0.6321205588\nG1,0,1,0,0\n"
              "G2,0,0.5,0.003,0.2591817793\nG2,0,1,0.002,0.1812692469\n");

    // A finished member without its gauge table is refused rather than counted as below every level.
    fs::rename(ens + "/members/c/output/level0/OUT-SUMMARY-RESULT.dat", dir / "c-gauges.dat");
    agg = RunVestra({"ensemble", "aggregate", ens, "--thresholds", "0.5", "-o", dir / "hz3"}, dir);
    EXPECT_EQ(agg.status, 1);
    EXPECT_NE(agg.err.find("member c: " + ens + "/members/c/output/level0/OUT-SUMMARY-RESULT.dat"), std::string::npos)
        << agg.err;
    fs::rename(dir / "c-gauges.dat", ens + "/members/c/output/level0/OUT-SUMMARY-RESULT.dat");

    // A failed member is named and refused; --skip-missing leaves it out of the sums.
    WriteMemberResults(ens + "/members/b", "0.7 0.6 0.9\n1.2 -0.1 0.3", "0.3", "1.5", false);
    fs::remove(ens + "/members/b/done");
    agg = RunVestra({"ensemble", "aggregate", ens, "--thresholds", "0.5,1", "-o", dir / "hz2"}, dir);
    EXPECT_EQ(agg.status, 1);
    EXPECT_NE(agg.err.find("member b: failed (exit status 1, log " + ens + "/members/b/run.log)"), std::string::npos)
        << agg.err;
    EXPECT_FALSE(fs::exists(dir / "hz2/level0/exceedance-rate.nc"));
    agg = RunVestra({"ensemble", "aggregate", ens, "--thresholds", "0.5,1", "-o", dir / "hz2", "--skip-missing"}, dir);
    ASSERT_EQ(agg.status, 0) << agg.err;
    const std::vector<double> without = ReadNc(dir / "hz2/level0/exceedance-rate.nc", "exceedance_rate");
    ASSERT_EQ(without.size(), 12u);
    EXPECT_NEAR(without[3], 0.001, 1e-15);  // c3: 0.0 (a), 0.55 (c)
    EXPECT_NEAR(without[0 + 6], 0.001, 1e-15);

    // Bad event tables: one line naming the file, the line and the value; no folder left.
    const std::pair<const char*, const char*> bad[] = {
        {"name,rate,faults\nx,-1,faults/f.toml\n", "events.csv:2: rate '-1'"},
        {"name,rate,faults\nx,1,faults/f.toml\nx,1,faults/f.toml\n", "events.csv:3: name 'x' appears twice"},
        {"name,rate,faults\nx,1,faults/none.toml\n", "faults/none.toml"},
        {"name,rate,fault\n", "events.csv:1: unknown column 'fault'"},
    };
    for (const auto& [table, message] : bad) {
        dir.Write("events.csv", table);
        plan = RunVestra({"ensemble", "plan", dir / "events.csv", "--template", dir / "tpl/scenario.toml", "-o", dir / "e2"}, dir);
        EXPECT_EQ(plan.status, 1) << table;
        EXPECT_NE(plan.err.find(message), std::string::npos) << plan.err;
        EXPECT_EQ(CountLines(plan.err), 1u) << plan.err;
        EXPECT_FALSE(fs::exists(dir / "e2")) << table;
    }
}

TEST(Ensemble, RerunSkipsFinishedMembersAndReportsFailedOnes) {
    ScratchFolder dir;
    ASSERT_EQ(RunVestra({"example", "--beach", dir / "tpl"}, dir).status, 0);
    dir.Write("f.toml", "[[faults]]\nx = 10000.0\ny = 10000.0\nreference = \"centroid\"\ndepth = 6.0\nstrike = 0.0\n"
                        "dip = 20.0\nrake = 90.0\nslip = 2.0\nlength = 10.0\nwidth = 6.0\n");
    dir.Write("events.csv", "name,rate,faults\nm1,0.01,f.toml\nm2,0.02,f.toml\nbad,0.03,f.toml\nheld,0.04,f.toml\n");
    const std::string ens = dir / "ens";
    ASSERT_EQ(RunVestra({"ensemble", "plan", dir / "events.csv", "--template", dir / "tpl/scenario.toml", "-o", ens}, dir).status, 0);
    // A member whose fault file turns bad fails; one locked by another runner is left alone.
    WriteFile(ens + "/members/bad/faults.toml", "[[faults]]\nrigidity = 3\n");
    const int held = ::open((ens + "/members/held/lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);

    Outcome run = RunVestra({"ensemble", "run", ens, "--local", "2"}, dir);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(fs::exists(ens + "/members/m1/output/level0/OUT-ETA-MAX.grd"));
    EXPECT_NE(ReadFile(ens + "/members/bad/run.log").find("rigidity"), std::string::npos);
    Outcome status = RunVestra({"ensemble", "status", ens}, dir);
    EXPECT_EQ(status.out, "failed: bad (exit status 1), log " + ens + "/members/bad/run.log\n"
                          "4 members: 2 done, 1 running, 0 interrupted, 1 failed, 0 pending\n");

    // The rerun starts nothing: finished members keep their logs, the failed one is only reported.
    const std::string log1 = ReadFile(ens + "/members/m1/run.log"), logBad = ReadFile(ens + "/members/bad/run.log");
    run = RunVestra({"ensemble", "run", ens, "--local", "2"}, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("member bad failed before (exit status 1, log " + ens + "/members/bad/run.log)"),
              std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(ens + "/members/m1/run.log"), log1);
    EXPECT_EQ(ReadFile(ens + "/members/bad/run.log"), logBad);
    EXPECT_FALSE(fs::exists(ens + "/members/held/run.log"));

    // SIGTERM, as Slurm sends it before the time limit, reaches each running member once: they
    // end as interrupted (resumable), not as failed, and no new member starts.
    std::string slow = ReadFile(dir / "tpl/scenario.toml");
    slow.replace(slow.find("endTime = 5.0"), 13, "endTime = 1000.0");
    dir.Write("tpl/slow.toml", slow);
    dir.Write("slow.csv", "name,rate,faults\ns1,1,f.toml\ns2,1,f.toml\ns3,1,f.toml\n");
    const std::string slowEns = dir / "slow";
    ASSERT_EQ(RunVestra({"ensemble", "plan", dir / "slow.csv", "--template", dir / "tpl/slow.toml", "-o", slowEns}, dir).status, 0);
    const std::string script = "'" VESTRA_BINARY_DIR "/vestra' ensemble run '" + slowEns + "' --local 2 2>/dev/null & pid=$!\n"
        "until [ \"$(cat '" + slowEns + "'/members/s[12]/run.log 2>/dev/null | grep -c Starting)\" = 2 ]; do sleep 0.05; done\n"
        "kill -TERM $pid; wait $pid; echo $?\n";
    EXPECT_EQ(RunShell("timeout -s KILL 60 sh '" + dir.Write("term.sh", script) + "'"), "143\n");
    EXPECT_EQ(RunVestra({"ensemble", "status", slowEns}, dir).out,
              "3 members: 0 done, 0 running, 2 interrupted, 0 failed, 1 pending\n");

    // Once released, a member with a checkpoint is run with --resume.
    ::close(held);
    WriteFile(ens + "/members/held/scenario.checkpoint", "");
    const bool resumeExists = RunVestra({"run", "--help"}, dir).out.find("--resume") != std::string::npos;
    run = RunVestra({"ensemble", "run", ens, "--task", "3"}, dir);
    const std::string heldLog = ReadFile(ens + "/members/held/run.log");
    EXPECT_NE(heldLog.find("==== vestra ensemble: resuming held"), std::string::npos) << heldLog;
    // Until `vestra run` knows the option its refusal shows that it was passed; once it does, a
    // real checkpoint's resumption belongs to the tests of `vestra run --resume`.
    if (!resumeExists) {
        EXPECT_NE(heldLog.find("--resume"), std::string::npos) << heldLog;
        EXPECT_EQ(run.status, 1);
    }
}

}  // namespace
