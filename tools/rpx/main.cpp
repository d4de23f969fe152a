// rpx: makes and examines package files.
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

const std::map<std::string, std::string> helps = {
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

// Options of one command: "--name value" pairs, flags, and the remaining arguments.
struct Arguments {
    std::map<std::string, std::string> values;
    std::vector<std::string> flags, rest;
    bool has(const std::string& flag) const {
        for (const auto& f : flags)
            if (f == flag)
                return true;
        return false;
    }
};

bool parseArguments(int argc, char** argv, const std::vector<std::string>& valued,
                    const std::vector<std::string>& flags, Arguments& out, std::string& error) {
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            for (++i; i < argc; ++i)
                out.rest.push_back(argv[i]);
            break;
        }
        if (a.size() < 2 || a.compare(0, 2, "--") != 0) {
            out.rest.push_back(a);
            continue;
        }
        bool known = false;
        for (const auto& v : valued)
            if (a == v) {
                if (i + 1 >= argc) {
                    error = a + " needs a value";
                    return false;
                }
                if (out.values.count(a)) {
                    error = a + " given twice";
                    return false;
                }
                out.values[a] = argv[++i];
                known = true;
            }
        for (const auto& f : flags)
            if (a == f) {
                out.flags.push_back(a);
                known = true;
            }
        if (!known) {
            error = "unknown option " + a;
            return false;
        }
    }
    return true;
}

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

int commandKeygen(const Arguments& args) {
    if (args.rest.size() != 2)
        return fail("keygen needs SECRET and PUBLIC (see rpx keygen --help)");
    uint8_t secret[32], publicKey[32];
    std::string error;
    if (!generateKeyPair(secret, publicKey))
        return fail("keygen: no random numbers");
    bool ok = writeKeyFile(args.rest[0], secret, true, error) &&
              writeKeyFile(args.rest[1], publicKey, false, error);
    std::memset(secret, 0, sizeof secret);
    return ok ? 0 : fail(error);
}

int commandBuild(const Arguments& args) {
    if (!args.values.count("--manifest") || !args.values.count("--output") || !args.rest.empty())
        return fail("build needs --manifest and --output (see rpx build --help)");
    Manifest manifest;
    std::string error;
    const std::string& output = args.values.at("--output");
    std::string tree = args.values.count("--tree") ? args.values.at("--tree") : "";
    if (!loadManifest(args.values.at("--manifest"), manifest, error) ||
        !buildPackage(manifest, tree, output, error))
        return fail(output + ": " + error);
    return 0;
}

int commandBundle(const Arguments& args) {
    if (!args.values.count("--manifest") || !args.values.count("--output") || args.rest.empty())
        return fail("bundle needs --manifest, --output and member files (see rpx bundle --help)");
    Manifest manifest;
    std::string error;
    const std::string& output = args.values.at("--output");
    if (!loadManifest(args.values.at("--manifest"), manifest, error) ||
        !buildBundle(manifest, args.rest, output, error))
        return fail(output + ": " + error);
    return 0;
}

bool loadKey(const Arguments& args, uint8_t key[32], std::string& error) {
    if (!args.values.count("--key")) {
        error = "--key is required";
        return false;
    }
    return readKeyFile(args.values.at("--key"), key, error);
}

int commandSign(const Arguments& args) {
    uint8_t secret[32];
    std::string error;
    if (args.rest.empty())
        return fail("sign needs package files (see rpx sign --help)");
    if (!loadKey(args, secret, error))
        return fail(error);
    int status = 0;
    for (const auto& file : args.rest) {
        unsigned count = 0;
        if (!signFile(file, secret, args.has("--resign"), count, error))
            status = fail(error);
    }
    std::memset(secret, 0, sizeof secret);
    return status;
}

int commandVerify(const Arguments& args) {
    uint8_t key[32];
    std::string error;
    if (args.rest.empty())
        return fail("verify needs package files (see rpx verify --help)");
    if (!loadKey(args, key, error))
        return fail(error);
    std::vector<Digest> digests;
    bool withDigests = args.values.count("--digests");
    if (withDigests && !readDigestList(args.values.at("--digests"), digests, error))
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

int commandInspect(const Arguments& args) {
    if (args.rest.size() != 1)
        return fail("inspect needs one package file (see rpx inspect --help)");
    uint8_t key[32];
    std::string error;
    bool withKey = args.values.count("--key");
    if (withKey && !loadKey(args, key, error))
        return fail(error);
    const std::string& file = args.rest[0];
    std::filebuf in;
    if (!in.open(file, std::ios_base::in | std::ios_base::binary))
        return fail(file + ": " + std::strerror(errno));
    if (!inspectPackageStream(&in, file, args.has("--json"), withKey ? key : nullptr, std::cout,
                              error))
        return fail(file + ": " + error);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return std::cerr << usage, 2;
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help")
        return std::cout << usage, 0;
    if (command == "install")
        return installCommand(argc, argv);
    if (command == "list")
        return listCommand(argc, argv);
    auto help = helps.find(command);
    if (help == helps.end())
        return fail("unknown command \"" + command + "\"\n" + usage);
    for (int i = 2; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return std::cout << help->second, 0;
    Arguments args;
    std::string error;
    std::vector<std::string> valued = {"--manifest", "--tree", "--output", "--key", "--digests"};
    std::vector<std::string> flags = {"--resign", "--json"};
    if (!parseArguments(argc, argv, valued, flags, args, error))
        return fail(command + ": " + error);
    if (command == "keygen")
        return commandKeygen(args);
    if (command == "build")
        return commandBuild(args);
    if (command == "bundle")
        return commandBundle(args);
    if (command == "sign")
        return commandSign(args);
    if (command == "verify")
        return commandVerify(args);
    return commandInspect(args);
}
