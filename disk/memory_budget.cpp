#include "disk/memory_budget.h"

#include "package/owned_handles.h"

#include <sys/sysinfo.h>

#include <cinttypes>
#include <cstring>

namespace installer {

namespace {

// A 32-bit process has 3-4 GiB of address space, shared with its code, stack and mappings.
constexpr uint64_t addressCeiling = sizeof(void*) == 4 ? uint64_t(1) << 30 : UINT64_MAX;

uint64_t budgetOf(uint64_t available) {
    uint64_t half = available / 2;
    return half < addressCeiling ? half : addressCeiling;
}

} // namespace

uint64_t memoryBudgetFrom(FILE* meminfo) {
    char line[128];
    while (std::fgets(line, sizeof line, meminfo)) {
        uint64_t kilobytes = 0;
        if (std::sscanf(line, "MemAvailable: %" SCNu64 " kB", &kilobytes) == 1)
            return budgetOf(kilobytes * 1024);
    }
    return 0;
}

uint64_t memoryBudget() {
    if (OwnedFile meminfo{std::fopen("/proc/meminfo", "re")}) {
        uint64_t budget = memoryBudgetFrom(meminfo.get());
        if (budget)
            return budget;
    }
    // Without /proc: free memory alone, which leaves out what the page cache would give back.
    struct sysinfo info {};
    if (sysinfo(&info) != 0)
        return 0;
    return budgetOf((uint64_t(info.freeram) + info.bufferram) * info.mem_unit);
}

} // namespace installer
