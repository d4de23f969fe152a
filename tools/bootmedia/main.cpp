// bootmedia: makes the boot image and the media the installer is booted from.
#include "tools/bootmedia/boot_image.h"
#include "tools/bootmedia/media.h"
#include "tools/bootmedia/newc.h"
#include "tools/bootmedia/options.h"
#include "tools/common/command_line.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <sys/stat.h>

using namespace bootmedia;

namespace {

const char* const usage =
    "usage: bootmedia COMMAND [OPTIONS]\n"
    "  kernel [--vmlinux FILE] [--vmlinuz FILE]     fetch and unpack the kernel, print it\n"
    "  slots                                        print the module slot table\n"
    "  image  IMAGE-OPTIONS --output FILE [--type TEXT] [--modules all|nic|none]\n"
    "  list   FILE                                  print a boot image's entries\n"
    "  cd     IMAGE-OPTIONS --output ISO [--append ARGS] PACKAGE.rpx...\n"
    "  disk   IMAGE-OPTIONS --output IMG [--size SIZE] (--boot-code FILE | --mbr FILE)\n"
    "         [--autorun FILE] [--choose] [--append ARGS] PACKAGE.rpx...\n"
    "  net    IMAGE-OPTIONS --output DIR --key SECRET [--rpx PROGRAM] [--append ARGS]\n"
    "IMAGE-OPTIONS: --installer FILE --sfdisk FILE [--serial] [--nic MODULE] [--add SRC:DEST]...\n"
    "Every command takes --kernel-cache DIR (default /var/cache/installer-bootmedia) and\n"
    "--kernel-package NAME. bootmedia COMMAND --help describes one command.\n";

const std::map<std::string, std::string> helps = {
    {"kernel", "usage: bootmedia kernel [--vmlinux FILE] [--vmlinuz FILE]\n"
               "Fetches the kernel package into the cache unless it is there, and prints its\n"
               "release, vmlinuz, vmlinux and module directory. --vmlinux and --vmlinuz also\n"
               "copy the uncompressed (for QEMU -kernel) and compressed images to FILE.\n"},
    {"slots", "usage: bootmedia slots\n"
              "Prints, in loading order, each list path the boot image fills and the module\n"
              "it holds (\"own\" when the kernel has that very file, \"moved\" otherwise).\n"},
    {"image", "usage: bootmedia image --installer FILE --sfdisk FILE --output FILE [OPTIONS]\n"
              "Makes a boot image (gzip'd newc initramfs) with the installer as init.\n"
              "  --type TEXT      contents of /TYPE (written as given; no file without it)\n"
              "  --serial         serial-console image: no /dev/tty0 and /dev/tty9\n"
              "  --modules WHICH  all (default: the storage and USB lists and the network\n"
              "                   card), nic (the network card only) or none\n"
              "  --nic MODULE     network card driver for the start-up slot (default e1000)\n"
              "  --add SRC:DEST   also put the host file or directory SRC at DEST (repeatable)\n"},
    {"list", "usage: bootmedia list FILE\nPrints mode, size or device number, and name of every "
             "entry of a boot image.\n"},
    {"cd", "usage: bootmedia cd IMAGE-OPTIONS --output ISO [--append ARGS] PACKAGE.rpx...\n"
           "Makes a bootable ISO 9660 image (also bootable as a USB stick) with /TYPE \"cdrom\"\n"
           "and the packages in its root directory. --append adds kernel arguments.\n"},
    {"disk", "usage: bootmedia disk IMAGE-OPTIONS --output IMG (--boot-code FILE | --mbr FILE)\n"
             "       [--size SIZE] [--autorun FILE] [--choose] [--append ARGS] PACKAGE.rpx...\n"
             "Makes a hard-disk medium: a disk image of SIZE (default 512M; K, M, G) that is one\n"
             "FAT file system over the whole disk, bootable, starting the installer with\n"
             "-hdd-install. It holds the packages, \"mbr\" (--mbr FILE, or the boot code of\n"
             "--boot-code with an empty partition table), \"autorun.scr\" (--autorun, or empty)\n"
             "and, with --choose, \"CHOOSE\". The installer repartitions this same disk.\n"},
    {"net", "usage: bootmedia net IMAGE-OPTIONS --output DIR --key SECRET [--rpx PROGRAM]\n"
            "Makes a network boot set: DIR/tftp (a TFTP root with pxelinux, its configuration,\n"
            "the kernel and a boot image with /TYPE \"net\" and only the network card's module)\n"
            "and DIR/drivers.rpx, the storage and USB modules as a package signed with SECRET.\n"},
};

const std::vector<OptionRule> common = {{"kernel-cache", true}, {"kernel-package", true}};
const std::vector<OptionRule> imageSpecs = {{"installer", true}, {"sfdisk", true},
                                            {"serial", false},   {"nic", true},
                                            {"add", true, true}, {"output", true}};

std::vector<OptionRule> specsFor(const std::string& command) {
    std::vector<OptionRule> rules = common;
    auto add = [&](std::vector<OptionRule> more) {
        rules.insert(rules.end(), more.begin(), more.end());
    };
    if (command == "kernel")
        add({{"vmlinux", true}, {"vmlinuz", true}});
    if (command == "image" || command == "cd" || command == "disk" || command == "net")
        add(imageSpecs);
    if (command == "image")
        add({{"type", true}, {"modules", true}});
    if (command == "cd" || command == "disk" || command == "net")
        add({{"append", true}});
    if (command == "disk")
        add({{"size", true},
             {"boot-code", true},
             {"mbr", true},
             {"autorun", true},
             {"choose", false}});
    if (command == "net")
        add({{"key", true}, {"rpx", true}});
    return rules;
}

int fail(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "bootmedia %s: %s\n", command.c_str(), message.c_str());
    return 1;
}

bool require(const Options& options, const std::vector<std::string>& names, std::string& error) {
    for (const std::string& name : names)
        if (!options.has(name) || options.get(name).empty()) {
            error = "--" + name + " is required";
            return false;
        }
    return true;
}

bool imageOptions(const Options& options, ImageOptions& image, std::string& error) {
    if (!require(options, {"installer", "sfdisk", "output"}, error))
        return false;
    image.installer = options.get("installer");
    image.sfdisk = options.get("sfdisk");
    image.serial = options.has("serial");
    image.nic = options.get("nic", image.nic);
    auto found = options.values.find("add");
    if (found != options.values.end())
        for (const std::string& addition : found->second) {
            size_t colon = addition.find(':');
            if (colon == std::string::npos || colon == 0 || colon + 1 == addition.size()) {
                error = "--add needs SRC:DEST, not " + addition;
                return false;
            }
            image.additions.emplace_back(addition.substr(0, colon), addition.substr(colon + 1));
        }
    return true;
}

bool copyOut(const std::string& from, const std::string& to, std::string& error) {
    std::string ignored;
    FILE* in = std::fopen(from.c_str(), "rb");
    FILE* out = in ? std::fopen(to.c_str(), "wb") : nullptr;
    bool ok = in && out;
    char buffer[65536];
    while (ok) {
        size_t n = std::fread(buffer, 1, sizeof buffer, in);
        if (n == 0)
            break;
        ok = std::fwrite(buffer, 1, n, out) == n;
    }
    if (in)
        std::fclose(in);
    if (out && std::fclose(out) != 0)
        ok = false;
    if (!ok)
        error = "copying " + from + " to " + to + " failed";
    return ok;
}

std::string describe(const NewcEntry& entry) {
    char text[64];
    unsigned type = entry.mode & S_IFMT;
    if (type == S_IFCHR || type == S_IFBLK)
        std::snprintf(text, sizeof text, "%c %06o %u,%u", type == S_IFCHR ? 'c' : 'b',
                      entry.mode & 07777, entry.rdevMajor, entry.rdevMinor);
    else
        std::snprintf(text, sizeof text, "%c %06o %zu",
                      type == S_IFDIR   ? 'd'
                      : type == S_IFLNK ? 'l'
                                        : '-',
                      entry.mode & 07777, type == S_IFDIR ? size_t{0} : entry.data.size());
    std::string line = std::string(text) + " /" + entry.name;
    if (type == S_IFLNK)
        line += " -> " + entry.data;
    return line;
}

int run(const std::string& command, const Options& options) {
    std::string error;
    if (command == "list") {
        if (options.arguments.size() != 1)
            return fail(command, "needs exactly one boot image");
        std::vector<NewcEntry> entries;
        if (!readNewc(options.arguments[0], entries, error))
            return fail(command, error);
        for (const NewcEntry& entry : entries)
            std::printf("%s\n", describe(entry).c_str());
        return 0;
    }
    if (command != "cd" && command != "disk" && !options.arguments.empty())
        return fail(command, "unexpected argument " + options.arguments[0]);

    ImageOptions image;
    if ((command == "image" || command == "cd" || command == "disk" || command == "net") &&
        !imageOptions(options, image, error))
        return fail(command, error);
    unsigned long long size = 512ull << 20;
    if (command == "image") {
        std::string which = options.get("modules", "all");
        if (which != "all" && which != "nic" && which != "none")
            return fail(command, "--modules takes all, nic or none, not " + which);
        image.modules = which == "all"   ? ModuleSelection::all
                        : which == "nic" ? ModuleSelection::nicOnly
                                         : ModuleSelection::none;
        if (options.has("type"))
            image.type = options.get("type");
    }
    if (command == "disk") {
        if (options.has("size") && !parseSize(options.get("size"), size))
            return fail(command, "--size takes a number with an optional K, M or G, not " +
                                     options.get("size"));
        if (options.has("boot-code") == options.has("mbr"))
            return fail(command, "give either --boot-code or --mbr");
    }
    if (command == "net" && !require(options, {"key"}, error))
        return fail(command, error);
    if ((command == "cd" || command == "disk") && options.arguments.empty())
        return fail(command, "no package files given");

    Kernel kernel;
    std::string cache = options.get("kernel-cache", defaultKernelCache);
    std::string package = options.get("kernel-package", kernelPackage);
    if (!prepareKernel(cache, package, kernel, error))
        return fail(command, error);

    if (command == "kernel") {
        if (options.has("vmlinux") && !copyOut(kernel.vmlinux, options.get("vmlinux"), error))
            return fail(command, error);
        if (options.has("vmlinuz") && !copyOut(kernel.vmlinuz, options.get("vmlinuz"), error))
            return fail(command, error);
        std::printf("release %s\nvmlinuz %s\nvmlinux %s\nmodules %s\n", kernel.release.c_str(),
                    kernel.vmlinuz.c_str(), kernel.vmlinux.c_str(), kernel.moduleDir.c_str());
        return 0;
    }
    if (command == "slots") {
        ModuleSet modules;
        std::vector<Placement> plan;
        Placement nic;
        if (!scanModules(kernel.moduleDir, modules, error, mediaModuleNames("e1000")) ||
            !planListModules(modules, plan, error) ||
            !planSingle(modules, nicSlot, "e1000", nic, error))
            return fail(command, error);
        plan.insert(plan.begin(), nic);
        for (const Placement& placement : plan)
            std::printf("%-44s %-5s %s\n", placement.slot.c_str(),
                        placement.ownPath ? "own" : "moved", placement.module.c_str());
        return 0;
    }
    if (command == "image") {
        RootPlan root;
        std::vector<Placement> placed;
        if (!planBootImage(kernel, image, root, placed, error) ||
            !writeBootImage(root, options.get("output"), error))
            return fail(command, error);
        return 0;
    }
    MediumOptions medium;
    medium.image = image;
    medium.output = options.get("output");
    medium.kernelArguments = options.get("append");
    medium.packages = options.arguments;
    bool ok = false;
    if (command == "cd") {
        ok = makeCdrom(kernel, medium, error);
    } else if (command == "disk") {
        DiskOptions disk;
        disk.medium = medium;
        disk.size = size;
        disk.autorun = options.get("autorun");
        disk.mbr = options.get("mbr");
        disk.bootCode = options.get("boot-code");
        disk.choose = options.has("choose");
        ok = makeHardDisk(kernel, disk, error);
    } else {
        NetOptions net;
        net.medium = medium;
        net.key = options.get("key");
        net.rpx = options.get("rpx", net.rpx);
        ok = makeNetworkSet(kernel, net, error);
    }
    return ok ? 0 : fail(command, error);
}

} // namespace

// One command of the command line, its options made from its rules; what is parsed lands in
// `options`.
struct Command {
    CLI::App* app = nullptr;
    std::map<std::string, std::vector<std::string>> values;
    std::map<std::string, bool> flags;
    std::vector<std::string> arguments;

    void define(const std::vector<OptionRule>& rules) {
        for (const OptionRule& rule : rules) {
            if (!rule.takesValue) {
                app->add_flag("--" + rule.name, flags[rule.name]);
                continue;
            }
            CLI::Option* option = app->add_option("--" + rule.name, values[rule.name]);
            option->allow_extra_args(false);
            if (!rule.repeatable)
                option->multi_option_policy(CLI::MultiOptionPolicy::Throw)->expected(1);
        }
        app->add_option("ARGUMENTS", arguments);
    }
    Options options() const {
        Options parsed;
        for (const auto& [name, given] : values)
            if (!given.empty())
                parsed.values[name] = given;
        for (const auto& [name, set] : flags)
            if (set)
                parsed.values[name] = {""};
        parsed.arguments = arguments;
        return parsed;
    }
};

int main(int argc, char** argv) {
    CLI::App app{"Builds the installer's boot media.", "bootmedia"};
    hosttools::useHelpText(app, usage);
    app.require_subcommand(1);
    std::map<std::string, Command> commands;
    for (const auto& [name, help] : helps) {
        Command& command = commands[name];
        command.app = app.add_subcommand(name);
        hosttools::useHelpText(*command.app, help);
        command.define(specsFor(name));
    }
    if (int status = hosttools::parseCommandLine(app, argc, argv); status >= 0)
        return status;
    for (const auto& [name, command] : commands)
        if (command.app->parsed())
            return run(name, command.options());
    return hosttools::exitUsage;
}
