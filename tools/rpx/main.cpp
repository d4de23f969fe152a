// rpx: makes and examines package files.
#include "tools/common/command_line.h"
#include "tools/rpx/build.h"
#include "tools/rpx/inspect.h"
#include "tools/rpx/install_command.h"
#include "tools/rpx/list_command.h"
#include "tools/rpx/manifest.h"
#include "tools/rpx/signer.h"
#include "tools/rpx/signing.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

using namespace rpx;
using namespace installer;

namespace {

const char* const usage = "usage: rpx COMMAND [OPTIONS]\n"
                          "  keygen SECRET PUBLIC\n"
                          "  build --manifest M [--tree DIR] --output FILE\n"
                          "  bundle --manifest M --output FILE MEMBER...\n"
                          "  sign --key SECRET [--resign] FILE...\n"
                          "  verify --key PUBLIC [--digests FILE] FILE...\n"
                          "  inspect [--json] [--key PUBLIC] FILE\n"
                          "  install --root DIR FILE...        (root)\n"
                          "  list --root DIR [--json]\n"
                          "rpx COMMAND --help describes one command.\n";

const std::vector<std::pair<std::string, std::string>> helps = {
    {"keygen", "usage: rpx keygen SECRET PUBLIC\n"
               "Makes a new key pair: SECRET and PUBLIC each get 64 hex digits and a newline.\n"
               "SECRET is created readable by its owner only; neither file may exist.\n"},
    {"build", "usage: rpx build --manifest M [--tree DIR] --output FILE\n"
              "Makes a package from the manifest M and the objects below DIR (mode, owner,\n"
              "group and time kept; symbolic links, device nodes and FIFOs included; the walk\n"
              "is sorted). The same inputs give the same bytes; set build-time in the manifest\n"
              "(or SOURCE_DATE_EPOCH) for that, otherwise the build time is now.\n"
              "Manifest lines are \"key: value\"; # starts a comment. Keys:\n"
              "  name: NAME                  1 to 16 bytes (required)\n"
              "  version: TEXT               3.0, 2.9.27, 3.0rc1, 3.0beta2 ... (required)\n"
              "  build-time: SECONDS         default now\n"
              "  architecture: WORD          no part when absent (read as i386)\n"
              "  description: TEXT           repeat for more lines\n"
              "  depends: NAME [MIN [MAX]]   versions as text, - for an open end\n"
              "  provides: NAME [MIN [MAX [PRIORITY]]]\n"
              "  conflicts: NAME [MIN [MAX]]\n"
              "  oninstall: FILE  onuninstall: FILE  payload: FILE\n"
              "                              relative to the manifest's folder\n"
              "  unregistered: yes|no        installed without a database record\n"
              "  owner: UID GID              owner and group of every tree entry\n"
              "  entry-time: SECONDS         modification time of every entry\n"
              "  node: PATH c|b MAJOR MINOR MODE UID GID   a device node\n"
              "  node: PATH p|d MODE UID GID               a FIFO or directory\n"
              "  attr: PATH MODE UID GID     mode and owner of a tree entry\n"},
    {"bundle", "usage: rpx bundle --manifest M --output FILE MEMBER...\n"
               "Makes a bundle from the manifest's header data (name, version, build-time,\n"
               "architecture, description, depends, provides, conflicts, payload,\n"
               "unregistered), its member list (lines \"member: NAME [MIN [MAX]]\") and the\n"
               "member package files, in the order given.\n"},
    {"sign", "usage: rpx sign --key SECRET [--resign] FILE...\n"
             "Signs every package in each FILE in place, each member of a bundle on its own.\n"
             "A package that is already signed is refused unless --resign is given.\n"},
    {"verify", "usage: rpx verify --key PUBLIC [--digests FILE] FILE...\n"
               "Exits 0 only if every package of every FILE verifies by its signature, or,\n"
               "when unsigned, by its digest being listed in the --digests file (hex SHA-1\n"
               "digests, one per line).\n"},
    {"inspect", "usage: rpx inspect [--json] [--key PUBLIC] FILE\n"
                "Shows the parts, header fields, requirement lists, scripts, file entries,\n"
                "each package's digest and its signature verdict (under PUBLIC, or the key\n"
                "built in). --json writes one JSON object for scripts.\n"},
};

int fail(const std::string& message) {
    std::cerr << "rpx: " << message << "\n";
    return 1;
}

// What the commands take; each command is given only the options it knows.
struct Arguments {
    std::string manifest, tree, output, key, digests;
    bool resign = false, json = false;
    std::vector<std::string> rest;
};

bool loadManifest(const std::string& path, Manifest& manifest, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    if (!parseManifest(in, folder, manifest, error)) {
        error = path + ": " + error;
        return false;
    }
    if (!manifest.buildTime) {
        const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
        char* end = nullptr;
        unsigned long long value = epoch ? std::strtoull(epoch, &end, 10) : 0;
        if (epoch && (*epoch == '\0' || *end != '\0' || value > 0xffffffffull)) {
            error = "SOURCE_DATE_EPOCH is not a time in seconds";
            return false;
        }
        manifest.buildTime = epoch ? uint32_t(value) : uint32_t(std::time(nullptr));
    }
    return true;
}

int commandKeygen(const CLI::App& command, const Arguments& args) {
    if (args.rest.size() != 2)
        return hosttools::usageError(command, "needs SECRET and PUBLIC");
    uint8_t secret[32], publicKey[32];
    std::string error;
    if (!generateKeyPair(secret, publicKey))
        return fail("keygen: no random numbers");
    bool ok = writeKeyFile(args.rest[0], secret, true, error) &&
              writeKeyFile(args.rest[1], publicKey, false, error);
    std::memset(secret, 0, sizeof secret);
    return ok ? 0 : fail(error);
}

int commandBuild(const CLI::App& command, const Arguments& args) {
    if (args.manifest.empty() || args.output.empty() || !args.rest.empty())
        return hosttools::usageError(command, "needs --manifest and --output");
    Manifest manifest;
    std::string error;
    const std::string& output = args.output;
    if (!loadManifest(args.manifest, manifest, error) ||
        !buildPackage(manifest, args.tree, output, error))
        return fail(output + ": " + error);
    return 0;
}

int commandBundle(const CLI::App& command, const Arguments& args) {
    if (args.manifest.empty() || args.output.empty() || args.rest.empty())
        return hosttools::usageError(command, "needs --manifest, --output and member files");
    Manifest manifest;
    std::string error;
    const std::string& output = args.output;
    if (!loadManifest(args.manifest, manifest, error) ||
        !buildBundle(manifest, args.rest, output, error))
        return fail(output + ": " + error);
    return 0;
}

bool loadKey(const Arguments& args, uint8_t key[32], std::string& error) {
    return readKeyFile(args.key, key, error);
}

int commandSign(const CLI::App& command, const Arguments& args) {
    uint8_t secret[32];
    std::string error;
    if (args.rest.empty() || args.key.empty())
        return hosttools::usageError(command, "needs --key and package files");
    if (!loadKey(args, secret, error))
        return fail(error);
    int status = 0;
    for (const auto& file : args.rest) {
        unsigned count = 0;
        if (!signFile(file, secret, args.resign, count, error))
            status = fail(error);
    }
    std::memset(secret, 0, sizeof secret);
    return status;
}

int commandVerify(const CLI::App& command, const Arguments& args) {
    uint8_t key[32];
    std::string error;
    if (args.rest.empty() || args.key.empty())
        return hosttools::usageError(command, "needs --key and package files");
    if (!loadKey(args, key, error))
        return fail(error);
    std::vector<Digest> digests;
    bool withDigests = !args.digests.empty();
    if (withDigests && !readDigestList(args.digests, digests, error))
        return fail(error);
    int status = 0;
    for (const auto& file : args.rest) {
        std::filebuf in;
        unsigned count = 0;
        if (!in.open(file, std::ios_base::in | std::ios_base::binary))
            status = fail(file + ": " + std::strerror(errno));
        else if (!verifyPackageStream(&in, key, withDigests ? &digests : nullptr, count, error))
            status = fail(file + ": " + error);
        else
            std::cout << file << ": " << count << (count == 1 ? " package" : " packages")
                      << " verified\n";
    }
    return status;
}

int commandInspect(const CLI::App& command, const Arguments& args) {
    if (args.rest.size() != 1)
        return hosttools::usageError(command, "needs one package file");
    uint8_t key[32];
    std::string error;
    bool withKey = !args.key.empty();
    if (withKey && !loadKey(args, key, error))
        return fail(error);
    const std::string& file = args.rest[0];
    std::filebuf in;
    if (!in.open(file, std::ios_base::in | std::ios_base::binary))
        return fail(file + ": " + std::strerror(errno));
    if (!inspectPackageStream(&in, file, args.json, withKey ? key : nullptr, std::cout, error))
        return fail(file + ": " + error);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Makes and examines package files.", "rpx"};
    hosttools::useHelpText(app, usage);
    Arguments args;
    std::string root;
    std::map<std::string, CLI::App*> commands;
    for (const auto& [name, help] : helps) {
        CLI::App* command = app.add_subcommand(name);
        hosttools::useHelpText(*command, help);
        commands[name] = command;
    }
    for (const char* name : {"build", "bundle"})
        commands[name]->add_option("--manifest", args.manifest);
    commands["build"]->add_option("--tree", args.tree);
    for (const char* name : {"build", "bundle"})
        commands[name]->add_option("--output", args.output);
    for (const char* name : {"sign", "verify", "inspect"})
        commands[name]->add_option("--key", args.key);
    commands["sign"]->add_flag("--resign", args.resign);
    commands["verify"]->add_option("--digests", args.digests);
    commands["inspect"]->add_flag("--json", args.json);
    for (const auto& [name, command] : commands)
        command->add_option("FILE", args.rest);

    CLI::App* install = app.add_subcommand("install");
    hosttools::useHelpText(*install, installUsage);
    install->add_option("--root", root);
    install->add_option("FILE", args.rest);
    CLI::App* list = app.add_subcommand("list");
    hosttools::useHelpText(*list, listUsage);
    list->add_option("--root", root);
    list->add_flag("--json", args.json);

    app.require_subcommand(1);
    if (int status = hosttools::parseCommandLine(app, argc, argv); status >= 0)
        return status;
    if (install->parsed()) {
        if (root.empty() || args.rest.empty())
            return hosttools::usageError(*install, "needs --root and package files");
        return installCommand(root, args.rest);
    }
    if (list->parsed()) {
        if (root.empty())
            return hosttools::usageError(*list, "needs --root DIR");
        return listCommand(root, args.json);
    }
    for (const auto& [name, command] : commands) {
        if (!command->parsed())
            continue;
        if (name == "keygen")
            return commandKeygen(*command, args);
        if (name == "build")
            return commandBuild(*command, args);
        if (name == "bundle")
            return commandBundle(*command, args);
        if (name == "sign")
            return commandSign(*command, args);
        if (name == "verify")
            return commandVerify(*command, args);
        return commandInspect(*command, args);
    }
    return hosttools::exitUsage;
}
