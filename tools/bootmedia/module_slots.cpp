#include "tools/bootmedia/module_slots.h"
#include "testbed/boot_root.h"

#include <algorithm>
#include <cstring>
#include <elf.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace bootmedia {

std::string moduleKey(const std::string& name) {
    std::string key = name;
    std::replace(key.begin(), key.end(), '-', '_');
    return key;
}

namespace {

std::string nameOfPath(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    if (file.size() > 3 && file.compare(file.size() - 3, 3, ".ko") == 0)
        file.resize(file.size() - 3);
    return moduleKey(file);
}

const KernelModule* findModule(const ModuleSet& modules, const std::string& name) {
    auto found = modules.find(moduleKey(name));
    return found == modules.end() ? nullptr : &found->second;
}

// The module the kernel has at exactly this path, if any.
const KernelModule* atPath(const ModuleSet& modules, const std::string& path) {
    const KernelModule* module = findModule(modules, nameOfPath(path));
    return module && module->path == path ? module : nullptr;
}

} // namespace

bool planSlots(const ModuleSet& modules, const SlotRequest& request, std::vector<Placement>& plan,
               std::string& error) {
    size_t count = request.lists.size();
    std::vector<Placement> slots(count);
    std::map<std::string, size_t> position; // module key -> slot index
    for (size_t i = 0; i < count; ++i) {
        slots[i].slot = request.lists[i];
        if (const KernelModule* own = atPath(modules, request.lists[i])) {
            slots[i].module = nameOfPath(own->path);
            slots[i].source = own->path;
            slots[i].ownPath = true;
            position.emplace(moduleKey(slots[i].module), i);
        }
    }
    for (const std::string& name : request.extras) {
        const KernelModule* module = findModule(modules, name);
        if (!module) {
            error = "the kernel has no module " + name;
            return false;
        }
        if (position.count(moduleKey(name)))
            continue; // a list already loads it from its own path
        size_t first = 0;
        for (const std::string& dependency : module->dependencies) {
            auto at = position.find(moduleKey(dependency));
            if (at == position.end()) {
                error = "module " + name + " needs " + dependency + ", which no slot carries";
                return false;
            }
            first = std::max(first, at->second + 1);
        }
        // A module that merely moved in this kernel goes back to its own name's slot.
        size_t slot = first;
        while (slot < count &&
               (!slots[slot].module.empty() || nameOfPath(slots[slot].slot) != moduleKey(name)))
            ++slot;
        if (slot == count)
            for (slot = first; slot < count && !slots[slot].module.empty();)
                ++slot;
        if (slot == count) {
            error = "no free slot is left for module " + name + " after the modules it needs";
            return false;
        }
        slots[slot].module = name;
        slots[slot].source = module->path;
        position.emplace(moduleKey(name), slot);
    }
    // A list module of this kernel may need something the lists never name or load too late.
    for (size_t i = 0; i < count; ++i) {
        if (slots[i].module.empty())
            continue;
        const KernelModule* module = findModule(modules, slots[i].module);
        for (const std::string& dependency : module->dependencies) {
            auto at = position.find(moduleKey(dependency));
            if (at == position.end() || at->second > i) {
                error = "module " + slots[i].module + " at " + slots[i].slot + " needs " +
                        dependency +
                        (at == position.end()
                             ? ", which no slot carries"
                             : ", which loads after it (" + slots[at->second].slot + ")");
                return false;
            }
        }
    }
    plan.clear();
    for (Placement& placement : slots)
        if (!placement.module.empty())
            plan.push_back(std::move(placement));
    return true;
}

bool planSingle(const ModuleSet& modules, const std::string& slot, const std::string& name,
                Placement& placement, std::string& error) {
    const KernelModule* module = findModule(modules, name);
    if (!module) {
        error = "the kernel has no module " + name;
        return false;
    }
    if (!module->dependencies.empty()) {
        error = "module " + name + " needs " + module->dependencies.front() +
                ", but it is loaded alone before any list";
        return false;
    }
    placement = {slot, name, module->path, module->path == slot};
    return true;
}

bool readModuleDependencies(const std::string& file, std::vector<std::string>& dependencies,
                            std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = file + ": cannot be read";
        return false;
    }
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Elf64_Ehdr header;
    if (image.size() < sizeof header || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0 ||
        image[EI_CLASS] != ELFCLASS64) {
        error = file + ": not a 64-bit ELF module (a compressed module must be unpacked first)";
        return false;
    }
    std::memcpy(&header, image.data(), sizeof header);
    auto section = [&](size_t index, Elf64_Shdr& out) {
        uint64_t at = header.e_shoff + index * uint64_t{sizeof out};
        if (header.e_shentsize != sizeof out || index >= header.e_shnum ||
            at + sizeof out > image.size())
            return false;
        std::memcpy(&out, image.data() + at, sizeof out);
        return out.sh_type == SHT_NOBITS || out.sh_offset + out.sh_size <= image.size();
    };
    Elf64_Shdr names;
    if (!section(header.e_shstrndx, names)) {
        error = file + ": damaged section table";
        return false;
    }
    for (size_t i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr candidate;
        if (!section(i, candidate) || candidate.sh_name >= names.sh_size)
            continue;
        const char* sectionName = image.data() + names.sh_offset + candidate.sh_name;
        size_t room = names.sh_size - candidate.sh_name;
        if (strnlen(sectionName, room) == room || std::strcmp(sectionName, ".modinfo") != 0)
            continue;
        std::string info = image.substr(candidate.sh_offset, candidate.sh_size);
        dependencies.clear();
        for (size_t at = 0; at < info.size();) {
            size_t end = info.find('\0', at);
            std::string field = info.substr(at, end == std::string::npos ? end : end - at);
            at = end == std::string::npos ? info.size() : end + 1;
            if (field.rfind("depends=", 0) != 0)
                continue;
            std::string list = field.substr(8);
            for (size_t from = 0; from < list.size();) {
                size_t comma = list.find(',', from);
                std::string name =
                    list.substr(from, comma == std::string::npos ? comma : comma - from);
                if (!name.empty())
                    dependencies.push_back(name);
                from = comma == std::string::npos ? list.size() : comma + 1;
            }
        }
        return true;
    }
    error = file + ": no .modinfo section";
    return false;
}

namespace {

bool scanDirectory(const std::string& moduleDir, const std::string& relative, ModuleSet& modules,
                   std::string& error, const std::vector<std::string>& wanted) {
    std::vector<std::string> names;
    if (!sortedEntries(moduleDir + "/" + relative, names, error))
        return false;
    for (const std::string& name : names) {
        std::string path = relative + "/" + name;
        struct stat st {};
        if (lstat((moduleDir + "/" + path).c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (!scanDirectory(moduleDir, path, modules, error, wanted))
                return false;
        } else if (S_ISREG(st.st_mode) && name.size() > 3 &&
                   name.compare(name.size() - 3, 3, ".ko") == 0) {
            KernelModule module{path, {}};
            bool read = wanted.empty() ||
                        std::find(wanted.begin(), wanted.end(), nameOfPath(path)) != wanted.end();
            if (read && !readModuleDependencies(moduleDir + "/" + path, module.dependencies, error))
                return false;
            modules[nameOfPath(path)] = std::move(module);
        }
    }
    return true;
}

} // namespace

bool scanModules(const std::string& moduleDir, ModuleSet& modules, std::string& error,
                 const std::vector<std::string>& wanted) {
    modules.clear();
    std::vector<std::string> keys;
    for (const std::string& name : wanted)
        keys.push_back(nameOfPath(name));
    return scanDirectory(moduleDir, "kernel", modules, error, keys);
}

} // namespace bootmedia
