#pragma once
// The boot image: the initial root the kernel unpacks, with the static installer as its init,
// the system tools, device nodes, /TYPE and the kernel modules in the installer's list slots.
#include "testbed/boot_root.h"
#include "tools/bootmedia/kernel.h"
#include "tools/bootmedia/module_slots.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace bootmedia {

// The module start-up loads alone, outside the lists; it holds the network card's driver.
inline constexpr const char* nicSlot = "drivers/net/atl1c.ko";

// The modules the lists need that this kernel does not have at a list path, in the order they
// must load (each after what it needs); see README.md for where they end up.
extern const std::vector<std::string> slotExtras;

enum class ModuleSelection { all, nicOnly, none };

struct ImageOptions {
    std::string installer;           // the static installer, becomes /sbin/init and /init
    std::string sfdisk;              // the boot image's partitioning tool
    std::optional<std::string> type; // contents of /TYPE; none: no file
    bool serial = false;             // a serial-console image: no virtual-console nodes
    ModuleSelection modules = ModuleSelection::all;
    std::string nic = "e1000";
    std::vector<std::pair<std::string, std::string>> additions; // host path, image path
};

// The storage and USB lists' slots filled for this kernel.
bool planListModules(const ModuleSet& modules, std::vector<Placement>& plan, std::string& error);

// The whole contents, worked out before anything is written.
bool planBootImage(const Kernel& kernel, const ImageOptions& options, RootPlan& root,
                   std::vector<Placement>& placed, std::string& error);

// Writes a plan as a gzip'd newc archive.
bool writeBootImage(const RootPlan& root, const std::string& output, std::string& error);

} // namespace bootmedia
