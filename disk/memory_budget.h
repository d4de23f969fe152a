#pragma once
// How much the installer may hold in memory at once. Everything it keeps across a
// repartitioning lives only there, and running out half way would let the kernel kill the
// installer with the disk already rewritten; so the amount is decided before the disk changes.
#include <cstdint>
#include <cstdio>

namespace installer {

// Half of what the kernel reports as available (the rest is for the tools, the page cache and
// the installer children), and never more than a 32-bit process can address alongside its code.
uint64_t memoryBudget();
// The same from a /proc/meminfo text; 0 when it names no available memory.
uint64_t memoryBudgetFrom(FILE* meminfo);

} // namespace installer
