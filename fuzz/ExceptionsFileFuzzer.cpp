// Bytes as the exceptions file, read the way the agent reads it when its folder changes. The result is
// a list of strings bounded in count and size by the property-list budgets, whatever the bytes.
#include "AgentFakes.hpp"
#include "PropertyListGuard.hpp"

#include <cstdint>
#include <cstdlib>
#include <fstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static agent_test::AgentWorld world;
    static const auto monitor = world.make();
    {
        std::ofstream out(world.exceptionsFolder / "Exceptions.plist", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    monitor->readExceptions();
    std::size_t bytes = 0;
    const auto labels = monitor->exceptions();
    for (const auto& label : labels) {
        bytes += label.size();
    }
    // UTF-16 text grows by half as UTF-8; a shared string counts once per reference in the budget.
    if (labels.size() > agent::PropertyListLimits::maxNodes ||
        bytes > agent::PropertyListLimits::maxReachedBytes / 2 * 3) {
        std::abort();
    }
    return 0;
}
