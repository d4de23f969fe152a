#include "tools/bootmedia/media.h"

#include "tools/bootmedia/run.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace bootmedia {

namespace {

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool copyTo(const std::string& from, const std::string& to, std::string& error) {
    // An empty file (an empty configuration script, say) is copied as well: a stream copy
    // would report it as a failed write.
    std::error_code failure;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing,
                               failure);
    if (failure) {
        error = from + ": " + failure.message();
        return false;
    }
    return true;
}

bool writeFile(const std::string& path, const std::string& contents, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    out.close();
    if (!out) {
        error = path + ": cannot be written";
        return false;
    }
    return true;
}

// A scratch directory beside the output, removed again whatever happens.
class Staging {
public:
    explicit Staging(const std::string& output) : path_(output + ".staging") { remove(); }
    ~Staging() { remove(); }
    bool make(std::string& error) {
        if (mkdir(path_.c_str(), 0755) != 0) {
            error = path_ + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    const std::string& path() const { return path_; }

private:
    void remove() {
        std::string ignored;
        runProgram({"rm", "-rf", "--", path_}, ignored);
    }
    std::string path_;
};

bool checkPackages(const std::vector<std::string>& packages, std::string& error) {
    for (const std::string& package : packages) {
        std::string name = baseName(package);
        if (name.size() < 5 || name.compare(name.size() - 4, 4, ".rpx") != 0) {
            error = package + ": package files end in .rpx (the installer passes over others)";
            return false;
        }
        if (access(package.c_str(), R_OK) != 0) {
            error = package + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool buildImageFile(const Kernel& kernel, const ImageOptions& options, const std::string& output,
                    std::string& error) {
    RootPlan root;
    std::vector<Placement> placed;
    return planBootImage(kernel, options, root, placed, error) &&
           writeBootImage(root, output, error);
}

std::string serialArguments(bool serial, const std::string& extra) {
    std::string arguments = serial ? "console=ttyS0,115200" : "";
    if (!extra.empty())
        arguments += (arguments.empty() ? "" : " ") + extra;
    return arguments;
}

} // namespace

std::string loaderConfiguration(const std::string& kernelPath, const std::string& initrdPath,
                                bool serial, const std::string& arguments) {
    std::string text;
    if (serial)
        text += "SERIAL 0 115200\n";
    text += "DEFAULT install\nPROMPT 0\nTIMEOUT 0\n\nLABEL install\n";
    text += "  KERNEL " + kernelPath + "\n";
    text += "  INITRD " + initrdPath + "\n";
    std::string line = serialArguments(serial, arguments);
    if (!line.empty())
        text += "  APPEND " + line + "\n";
    return text;
}

bool bootRecordImage(const std::string& bootCodeFile, std::string& record, std::string& error) {
    std::ifstream in(bootCodeFile, std::ios::binary);
    std::string code;
    if (in)
        code.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (code.empty()) {
        error = bootCodeFile + ": cannot be read";
        return false;
    }
    if (code.size() > 446) {
        error = bootCodeFile + ": " + std::to_string(code.size()) +
                " bytes of boot code do not fit in front of the partition table";
        return false;
    }
    record.assign(512, '\0');
    record.replace(0, code.size(), code);
    record[510] = '\x55';
    record[511] = '\xAA';
    return true;
}

bool makeCdrom(const Kernel& kernel, const MediumOptions& options, std::string& error) {
    if (!checkPackages(options.packages, error))
        return false;
    Staging staging(options.output);
    if (!staging.make(error))
        return false;
    const std::string& dir = staging.path();
    ImageOptions image = options.image;
    image.type = "cdrom";
    if (mkdir((dir + "/isolinux").c_str(), 0755) != 0) {
        error = dir + "/isolinux: " + std::strerror(errno);
        return false;
    }
    if (!buildImageFile(kernel, image, dir + "/initrd.gz", error) ||
        !copyTo(kernel.vmlinuz, dir + "/vmlinuz", error) ||
        !copyTo(options.loader.isolinux, dir + "/isolinux/isolinux.bin", error) ||
        !copyTo(options.loader.ldlinux, dir + "/isolinux/ldlinux.c32", error) ||
        !writeFile(
            dir + "/isolinux/isolinux.cfg",
            loaderConfiguration("/vmlinuz", "/initrd.gz", image.serial, options.kernelArguments),
            error))
        return false;
    for (const std::string& package : options.packages)
        if (!copyTo(package, dir + "/" + baseName(package), error))
            return false;
    unlink(options.output.c_str());
    // Rock Ridge keeps the names as written; the hybrid boot record lets the same image boot
    // from a USB stick.
    return runProgram({"xorriso",
                       "-as",
                       "mkisofs",
                       "-quiet",
                       "-o",
                       options.output,
                       "-R",
                       "-J",
                       "-V",
                       "INSTALLER",
                       "-b",
                       "isolinux/isolinux.bin",
                       "-c",
                       "isolinux/boot.cat",
                       "-no-emul-boot",
                       "-boot-load-size",
                       "4",
                       "-boot-info-table",
                       "-isohybrid-mbr",
                       options.loader.isohybridMbr,
                       dir},
                      error);
}

bool makeHardDisk(const Kernel& kernel, const DiskOptions& options, std::string& error) {
    const MediumOptions& medium = options.medium;
    if (!checkPackages(medium.packages, error))
        return false;
    if (options.size < (64ull << 20) || options.size > (2047ull << 30)) {
        error = "the disk size must be between 64M and 2047G";
        return false;
    }
    Staging staging(medium.output);
    if (!staging.make(error))
        return false;
    const std::string& dir = staging.path();
    std::string record;
    if (!options.mbr.empty()) {
        std::ifstream in(options.mbr, std::ios::binary);
        record.assign(512, '\0');
        in.read(record.data(), 512);
        if (in.gcount() != 512) {
            error = options.mbr + ": shorter than 512 bytes";
            return false;
        }
    } else if (!bootRecordImage(options.bootCode, record, error)) {
        return false;
    }
    ImageOptions image = medium.image;
    std::string arguments = "-hdd-install";
    if (!medium.kernelArguments.empty())
        arguments += " " + medium.kernelArguments;
    if (!buildImageFile(kernel, image, dir + "/initrd.gz", error) ||
        !copyTo(kernel.vmlinuz, dir + "/vmlinuz", error) ||
        !writeFile(dir + "/mbr", record, error) ||
        !writeFile(dir + "/syslinux.cfg",
                   loaderConfiguration("/vmlinuz", "/initrd.gz", image.serial, arguments), error))
        return false;
    if (options.autorun.empty() ? !writeFile(dir + "/autorun.scr", "", error)
                                : !copyTo(options.autorun, dir + "/autorun.scr", error))
        return false;
    if (options.choose && !writeFile(dir + "/CHOOSE", "", error))
        return false;
    std::vector<std::string> files = {dir + "/vmlinuz", dir + "/initrd.gz", dir + "/syslinux.cfg",
                                      dir + "/mbr", dir + "/autorun.scr"};
    if (options.choose)
        files.push_back(dir + "/CHOOSE");
    files.insert(files.end(), medium.packages.begin(), medium.packages.end());

    unlink(medium.output.c_str());
    int fd = open(medium.output.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(options.size)) != 0) {
        error = medium.output + ": " + std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    close(fd);
    std::vector<std::string> copy = {"mcopy", "-i", medium.output, "-o"};
    copy.insert(copy.end(), files.begin(), files.end());
    copy.push_back("::/");
    // The whole device is the file system: no partition table, the loader in its boot sector.
    bool ok =
        runProgram({"mkfs.vfat", "-I", "-n", "INSTALL", medium.output}, error, "", "/dev/null") &&
        runProgram(copy, error) && runProgram({"syslinux", "--install", medium.output}, error);
    if (!ok)
        unlink(medium.output.c_str());
    return ok;
}

bool makeNetworkSet(const Kernel& kernel, const NetOptions& options, std::string& error) {
    const MediumOptions& medium = options.medium;
    if (options.key.empty() || access(options.key.c_str(), R_OK) != 0) {
        error = "the driver package needs a signing key (--key): " +
                (options.key.empty() ? std::string("none given") : options.key);
        return false;
    }
    std::string tftp = medium.output + "/tftp";
    if (!runProgram({"rm", "-rf", "--", tftp, medium.output + "/drivers.rpx"}, error) ||
        !runProgram({"mkdir", "-p", "--", tftp + "/pxelinux.cfg"}, error))
        return false;
    ImageOptions image = medium.image;
    image.type = "net";
    image.modules = ModuleSelection::nicOnly;
    if (!buildImageFile(kernel, image, tftp + "/initrd.gz", error) ||
        !copyTo(kernel.vmlinuz, tftp + "/vmlinuz", error) ||
        !copyTo(medium.loader.pxelinux, tftp + "/pxelinux.0", error) ||
        !copyTo(medium.loader.ldlinux, tftp + "/ldlinux.c32", error) ||
        !writeFile(
            tftp + "/pxelinux.cfg/default",
            loaderConfiguration("vmlinuz", "initrd.gz", image.serial, medium.kernelArguments),
            error))
        return false;

    // The driver package carries the list modules at the paths the installer loads them from;
    // a driver-mode install unpacks it below the running root.
    ModuleSet modules;
    std::vector<Placement> plan;
    if (!scanModules(kernel.moduleDir, modules, error, mediaModuleNames(medium.image.nic)) ||
        !planListModules(modules, plan, error))
        return false;
    Staging staging(medium.output + "/drivers");
    if (!staging.make(error))
        return false;
    std::string tree = staging.path() + "/tree";
    std::string moduleRoot = tree + "/lib/modules/" + kernel.release + "/";
    for (const Placement& placement : plan) {
        std::string target = moduleRoot + placement.slot;
        if (!runProgram({"mkdir", "-p", "--", target.substr(0, target.find_last_of('/'))}, error) ||
            !copyTo(kernel.moduleDir + "/" + placement.source, target, error))
            return false;
    }
    std::string manifest = "name: drivers\nversion: " + options.driverVersion +
                           "\ndescription: storage and USB drivers for Linux " + kernel.release +
                           "\nowner: 0 0\nentry-time: 0\n";
    std::string output = medium.output + "/drivers.rpx";
    return writeFile(staging.path() + "/manifest", manifest, error) &&
           runProgram({options.rpx, "build", "--manifest", staging.path() + "/manifest", "--tree",
                       tree, "--output", output},
                      error) &&
           runProgram({options.rpx, "sign", "--key", options.key, output}, error);
}

} // namespace bootmedia
