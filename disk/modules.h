#pragma once

namespace installer {
// Kernel driver modules, loaded from fixed lists without any module tool.

extern const char* const storageModules[]; // 75 entries, null-terminated
extern const char* const usbModules[];     // 7 entries, null-terminated

// Loads /lib/modules/<release>/<path>; the init_module result, or -1.
int loadModule(const char* path);
void loadModuleList(const char* const* list);

} // namespace installer
