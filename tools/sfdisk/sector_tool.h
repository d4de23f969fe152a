#pragma once
// The sector-based partitioning tool this one stands on, run as a child.
#include <string>

namespace sfdisk {

// Where the boot image keeps it.
inline constexpr const char* sectorToolPath = "/usr/lib/bootimage/sfdisk";

// Runs it with args; input (if not null) is written to its standard input, its standard output
// is collected into output (if not null). The exit status, or -1 when it could not be run.
int runSectorTool(std::initializer_list<const char*> args, const std::string* input,
                  std::string* output);

} // namespace sfdisk
