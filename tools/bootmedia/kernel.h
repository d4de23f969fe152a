#pragma once
// The kernel of every medium: Debian's packaged kernel, fetched once into a cache and unpacked
// there (never installed on this machine).
#include <string>

namespace bootmedia {

// The one place that names the kernel release the media carry.
inline constexpr const char* kernelPackage = "linux-image-6.1.0-50-amd64";
inline constexpr const char* defaultKernelCache = "/var/cache/installer-bootmedia";

struct Kernel {
    std::string release;   // the module directory's name, what uname reports
    std::string moduleDir; // .../lib/modules/RELEASE
    std::string vmlinuz;   // the compressed image boot loaders load
    std::string vmlinux;   // the uncompressed image QEMU starts directly
};

// Fetches (apt-get download) and unpacks (dpkg-deb) package into cache/package unless a
// complete copy is there; unpacks compressed modules and extracts vmlinux. Safe against another
// run filling the same cache at the same time.
bool prepareKernel(const std::string& cache, const std::string& package, Kernel& kernel,
                   std::string& error);

// Finds the compressed kernel inside a boot image (vmlinuz) and writes it out uncompressed.
bool extractVmlinux(const std::string& vmlinuz, const std::string& vmlinux, std::string& error);

} // namespace bootmedia
