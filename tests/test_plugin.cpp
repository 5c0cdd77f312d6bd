// The built plug-in loads with dlopen and exports exactly its two entry points.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>

#include "VestraExports.h"

namespace {
const std::string kLibrary = std::string(VESTRA_BINARY_DIR) + "/libvestra.so";
}

TEST(Plugin, LoadsAndResolvesBothExports) {
    void* handle = dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto create = reinterpret_cast<CreateVestraSimulatorFn>(dlsym(handle, "CreateVestraSimulator"));
    auto destroy = reinterpret_cast<DeleteVestraSimulatorFn>(dlsym(handle, "DeleteVestraSimulator"));
    ASSERT_NE(create, nullptr);
    ASSERT_NE(destroy, nullptr);

    std::vector<HostGridRecord> grids;
    std::vector<SourceEvent> sources;
    ZellSimulatorI* sim = create(&grids, &sources);
    ASSERT_NE(sim, nullptr);
    EXPECT_FALSE(sim->IsRunning());
    sim->Stop();  // never started: returns at once
    destroy(sim);
    destroy(nullptr);  // ignored
    dlclose(handle);
}

TEST(Plugin, ExportsNothingElse) {
    const std::string command = "nm -D --defined-only " + kLibrary + " 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> functions;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
        char address[64], type[8], name[900];
        if (std::sscanf(line, "%63s %7s %899s", address, type, name) != 3) continue;
        if (std::string(type) == "T") functions.insert(name);
    }
    EXPECT_EQ(functions, (std::set<std::string>{"CreateVestraSimulator", "DeleteVestraSimulator"}));
}
