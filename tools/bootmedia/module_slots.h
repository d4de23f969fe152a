#pragma once
// Which kernel module goes to which file of the boot image. The installer loads fixed lists of
// module paths in order and resolves nothing; a kernel other than the one the lists were written
// for lacks some of those paths and has modules the lists never name (the SCSI helpers, the
// checksum modules, ext4 instead of ext2/ext3, the FAT and ISO file systems). The media put
// such modules into list paths this kernel has no file for ("free slots"), each into the first
// free slot after every module it needs, so that the lists load them in a working order.
#include <map>
#include <string>
#include <vector>

namespace bootmedia {

struct KernelModule {
    std::string path;                      // below the module directory, "kernel/..."
    std::vector<std::string> dependencies; // module names as the kernel writes them
};

// The loadable modules of one kernel by name; names compare with '-' and '_' alike.
using ModuleSet = std::map<std::string, KernelModule>;
std::string moduleKey(const std::string& name);

struct Placement {
    std::string slot;     // path inside the module directory, as the installer opens it
    std::string module;   // module name
    std::string source;   // path of the module's file below the module directory
    bool ownPath = false; // the kernel has this very file: nothing moved
};

struct SlotRequest {
    std::vector<std::string>
        lists; // the list paths in loading order (all lists, one after another)
    std::vector<std::string> extras; // modules to place into free slots, in this order
};

// Works out every slot's module: the list paths this kernel has keep their own file, the extras
// go into free slots. Fails, naming the module, when a module is missing from the kernel, finds
// no free slot late enough, or any placed module would load before one it needs.
bool planSlots(const ModuleSet& modules, const SlotRequest& request, std::vector<Placement>& plan,
               std::string& error);

// The module loaded alone at start-up, from a path outside the lists: it must need nothing.
bool planSingle(const ModuleSet& modules, const std::string& slot, const std::string& name,
                Placement& placement, std::string& error);

// The dependency names of a module file, read from its ".modinfo" section. False when the file
// is not a 64-bit ELF object with such a section.
bool readModuleDependencies(const std::string& file, std::vector<std::string>& dependencies,
                            std::string& error);

// Every "*.ko" below moduleDir/kernel, with its dependencies.
bool scanModules(const std::string& moduleDir, ModuleSet& modules, std::string& error);

} // namespace bootmedia
