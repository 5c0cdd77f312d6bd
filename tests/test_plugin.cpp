// The built plug-in loads with dlopen and exports exactly its two entry points.
#include <dlfcn.h>

#include "TestSupport.h"
#include "VestraExports.h"

TEST(Plugin, ExportsOnlyItsTwoEntryPointsAndTheyWork) {
    const std::string library = std::string(VESTRA_BINARY_DIR) + "/libvestra.so";
    std::set<std::string> functions;  // defined text symbols, as nm sees them
    std::istringstream symbols(RunShell("nm -D --defined-only " + library + " 2>/dev/null"));
    for (std::string address, type, name; symbols >> address >> type >> name;)
        if (type == "T") functions.insert(name);
    EXPECT_EQ(functions, (std::set<std::string>{"CreateVestraSimulator", "DeleteVestraSimulator"}));

    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto create = reinterpret_cast<CreateVestraSimulatorFn>(dlsym(handle, "CreateVestraSimulator"));
    auto destroy = reinterpret_cast<DeleteVestraSimulatorFn>(dlsym(handle, "DeleteVestraSimulator"));
    ASSERT_TRUE(create != nullptr && destroy != nullptr);
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
