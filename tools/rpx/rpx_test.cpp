#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"
#include "tools/rpx/build.h"
#include "tools/rpx/inspect.h"
#include "tools/rpx/json.h"
#include "tools/rpx/manifest.h"
#include "tools/rpx/signer.h"
#include "tools/rpx/signing.h"

#include "package/format/hex_text.h"
#include "package/format/reader.h"
#include "package/format/writer.h"
#include "package/record/version.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <utime.h>
#include <zlib.h>

using namespace rpx;
using namespace installer;

namespace {

Manifest manifestOf(const std::string& text, const std::string& folder) {
    Manifest m;
    std::string error;
    std::istringstream in(text);
    EXPECT_TRUE(parseManifest(in, folder, m, error)) << error;
    if (!m.buildTime)
        m.buildTime = 1700000000;
    return m;
}

std::string inspect(const std::string& bytes, bool json, const uint8_t* key = nullptr,
                    bool* ok = nullptr) {
    std::stringbuf in(bytes, std::ios_base::in);
    std::ostringstream out;
    std::string error;
    bool result = inspectPackageStream(&in, "p.rpx", json, key, out, error);
    if (ok)
        *ok = result;
    return out.str();
}

bool verify(const std::string& bytes, const uint8_t* key, std::string* error = nullptr,
            const std::vector<Digest>* known = nullptr) {
    std::stringbuf in(bytes, std::ios_base::in);
    unsigned count = 0;
    std::string message;
    bool ok = verifyPackageStream(&in, key, known, count, message);
    if (error)
        *error = message;
    return ok;
}

struct Keys {
    Keys() { EXPECT_TRUE(generateKeyPair(secret, publicKey)); }
    uint8_t secret[32], publicKey[32];
};

// A small package: one file, built in `folder`.
std::string smallPackage(const ScratchFolder& folder, const std::string& name,
                         const std::string& version = "1.0") {
    std::string tree = folder / (name + ".tree");
    mkdir(tree.c_str(), 0755);
    writeFile(tree + "/" + name + ".txt", "contents of " + name + "\n");
    std::string output = folder / (name + ".rpx");
    std::string error;
    Manifest m =
        manifestOf("name: " + name + "\nversion: " + version + "\nentry-time: 7\n", folder.path);
    EXPECT_TRUE(buildPackage(m, tree, output, error)) << error;
    return output;
}

} // namespace

class RpxBuild : public ::testing::Test {
protected:
    void SetUp() override {
        tree = folder / "tree";
        mkdir(tree.c_str(), 0755);
        mkdir((tree + "/bin").c_str(), 0750);
        writeFile(tree + "/bin/tool", "#!/bin/sh\necho tool\n");
        chmod((tree + "/bin/tool").c_str(), 0755);
        symlink("tool", (tree + "/bin/alias").c_str());
        mkfifo((tree + "/pipe").c_str(), 0620);
        chmod((tree + "/pipe").c_str(), 0620);
        writeFile(tree + "/zeta", std::string(100000, 'z'));
        writeFile(folder / "in.sh", "echo installed\n");
        writeFile(folder / "payload.bin", "PAYLOAD");
        manifest = "name: tools\nversion: 3.0rc1\nbuild-time: 1234\narchitecture: i386\n"
                   "description: Tools for the router\n"
                   "depends: libc 2.0 -\nprovides: mta 1.0 - -5\nconflicts: sendmail\n"
                   "oninstall: in.sh\npayload: payload.bin\nowner: 0 0\nentry-time: 99\n"
                   "node: dev/console c 5 1 0600 0 5\nattr: bin/tool 4711 0 2\n";
    }
    std::string build(const std::string& output) {
        std::string error;
        EXPECT_TRUE(buildPackage(manifestOf(manifest, folder.path), tree, folder / output, error))
            << error;
        return fileContents(folder / output);
    }
    ScratchFolder folder;
    std::string tree, manifest;
};

TEST_F(RpxBuild, PackageHoldsItsPartsInOrderAndTheTreeWithModesOwnersAndTimes) {
    std::string bytes = build("tools.rpx");
    std::istringstream in(bytes);
    PackageReader reader(in, true);
    for (int kind = 0; kind < 64; ++kind)
        reader.want(kind);
    std::vector<int> kinds;
    std::vector<std::string> entries;
    while (reader.next() >= 0) {
        kinds.push_back(reader.kind());
        if (reader.kind() != partArchive)
            continue;
        InflatingStream archive(reader);
        uint8_t head[fileEntryHeaderSize];
        while (archive.read(reinterpret_cast<char*>(head), sizeof head)) {
            FileEntryHeader e = decodeFileEntry(head);
            std::string name(e.nameLength, '\0');
            archive.read(name.data(), e.nameLength);
            std::string data(e.dataSize, '\0');
            archive.read(data.data(), e.dataSize);
            char line[200];
            std::snprintf(line, sizeof line, "%s %06o %u/%u %u %s", name.c_str(), e.mode, e.uid,
                          e.gid, e.mtime, e.dataSize > 40 ? "..." : data.c_str());
            entries.push_back(line);
        }
        EXPECT_TRUE(archive.inflater().complete());
    }
    EXPECT_FALSE(reader.truncated());
    EXPECT_EQ(kinds, (std::vector<int>{1, 16, 2, 3, 19, 17, 21, 7, 4}));
    EXPECT_EQ(entries, (std::vector<std::string>{
                           "bin 040750 0/0 99 ",
                           "bin/alias 120777 0/0 99 tool",
                           "bin/tool 104711 0/2 99 #!/bin/sh\necho tool\n",
                           "dev/console 020600 0/5 99 \x01\x05",
                           "pipe 010620 0/0 99 ",
                           "zeta 100644 0/0 99 ...",
                       }));
}

TEST_F(RpxBuild, SameInputsGiveTheSameBytes) {
    std::string first = build("a.rpx");
    utime((tree + "/zeta").c_str(), nullptr); // entry-time overrides the tree's times
    EXPECT_EQ(build("b.rpx"), first);
    manifest += "description: more\n";
    EXPECT_NE(build("c.rpx"), first);
}

TEST_F(RpxBuild, InspectShowsHeaderRequirementsScriptsAndEntries) {
    std::string bytes = build("tools.rpx");
    bool ok = false;
    std::string json = inspect(bytes, true, nullptr, &ok);
    EXPECT_TRUE(ok) << json;
    for (const char* expected :
         {"\"name\":\"tools\",\"version\":\"3.0rc1\"", "\"buildTime\":1234",
          "\"architecture\":\"i386\"", "\"description\":\"Tools for the router\"",
          "{\"name\":\"libc\",\"minVersion\":\"2.0\",\"maxVersion\":\"\",\"priority\":0}",
          "\"priority\":-5", "\"script\":\"echo installed\\n\"",
          "\"name\":\"bin/alias\",\"type\":\"symlink\"", "\"target\":\"tool\"",
          "\"type\":\"char-device\",\"mode\":\"0600\"", "\"device\":1281", "\"type\":\"fifo\"",
          "\"signature\":\"unsigned\"", "\"ok\":true"})
        EXPECT_TRUE(contains(json, expected)) << expected << "\n" << json;
    std::string text = inspect(bytes, false);
    EXPECT_TRUE(contains(text, "part 1 header at 14, 32 bytes: tools 3.0rc1, built 1234")) << text;
    EXPECT_TRUE(contains(text, "120777 0/0 99 4 bin/alias -> tool")) << text;
    EXPECT_TRUE(contains(text, "package tools-3.0rc1: digest ")) << text;
}

TEST(RpxJson, AnyBytesGiveOneLineOfAsciiJsonFromWhichTheyCanBeRecovered) {
    // Names and scripts are bytes, not text: each is the code point of its own value.
    std::string bytes = "\x08\x0c\x7f\xe9\xff\"\\b\\f\n\t\r\x01/ok";
    std::ostringstream out;
    writeJson(out, Json{{"s", byteString(bytes)}, {"n", nullptr}, {"i", -5}, {"b", true}});
    EXPECT_EQ(out.str(), "{\"s\":\"\\u0008\\u000c\\u007f\\u00e9\\u00ff\\\"\\\\b\\\\f\\n\\t\\r"
                         "\\u0001/ok\",\"n\":null,\"i\":-5,\"b\":true}\n");
    std::string decoded = nlohmann::json::parse(out.str())["s"].get<std::string>();
    std::string recovered;
    for (size_t i = 0; i < decoded.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(decoded[i]);
        recovered += c < 0x80 ? char(c) : char(((c & 0x03) << 6) | (decoded[++i] & 0x3F));
    }
    EXPECT_EQ(recovered, bytes);
}

TEST_F(RpxBuild, TreesAPackageCannotHoldAreRefusedNamingThePath) {
    std::string error;
    // A socket.
    std::string socketPath = tree + "/control";
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_FALSE(buildPackage(manifestOf(manifest, folder.path), tree, folder / "x.rpx", error));
    EXPECT_TRUE(contains(error, socketPath)) << error;
    close(s);
    unlink(socketPath.c_str());

    // A name the package database could not list.
    writeFile(tree + "/two\nlines", "x");
    EXPECT_FALSE(buildPackage(manifestOf(manifest, folder.path), tree, folder / "x.rpx", error));
    EXPECT_TRUE(contains(error, "a newline in a name")) << error;
    unlink((tree + "/two\nlines").c_str());

    // A declared node where the tree has an object, attributes for what is not there.
    for (const char* line : {"node: zeta p 0600 0 0\n", "attr: nothing 0600 0 0\n"}) {
        Manifest m = manifestOf(manifest + line, folder.path);
        EXPECT_FALSE(buildPackage(m, tree, folder / "x.rpx", error));
        EXPECT_TRUE(contains(error, "zeta") || contains(error, "nothing")) << error;
    }
    // Ids that do not fit in 16 bits, unless the manifest names the owner.
    if (getuid() == 0) {
        ASSERT_EQ(lchown((tree + "/zeta").c_str(), 70000, 0), 0);
        std::string withoutOwner = manifest;
        withoutOwner.replace(withoutOwner.find("owner: 0 0\n"), 11, "");
        EXPECT_FALSE(
            buildPackage(manifestOf(withoutOwner, folder.path), tree, folder / "x.rpx", error));
        EXPECT_TRUE(contains(error, "zeta: owner or group id above 65535")) << error;
        EXPECT_TRUE(buildPackage(manifestOf(manifest, folder.path), tree, folder / "x.rpx", error))
            << error;
    }
    // A missing tree or script, and no half-written output left behind.
    EXPECT_FALSE(
        buildPackage(manifestOf(manifest, folder.path), folder / "none", folder / "y.rpx", error));
    EXPECT_TRUE(contains(error, "none")) << error;
    Manifest m = manifestOf(manifest, folder.path);
    m.onInstall = folder / "missing.sh";
    EXPECT_FALSE(buildPackage(m, tree, folder / "y.rpx", error));
    EXPECT_TRUE(contains(error, "missing.sh")) << error;
    EXPECT_NE(access((folder / "y.rpx").c_str(), F_OK), 0);
}

TEST(RpxSign, SignedPackageVerifiesOnlyUnderItsOwnKey) {
    ScratchFolder folder;
    Keys keys, other;
    std::string path = smallPackage(folder, "alpha");
    std::string unsignedBytes = fileContents(path);
    std::string error;
    EXPECT_FALSE(verify(unsignedBytes, keys.publicKey, &error));
    EXPECT_TRUE(contains(error, "package 1 (alpha) is not signed")) << error;

    unsigned count = 0;
    ASSERT_TRUE(signFile(path, keys.secret, false, count, error)) << error;
    EXPECT_EQ(count, 1u);
    std::string signedBytes = fileContents(path);
    EXPECT_EQ(signedBytes.size(), unsignedBytes.size() + 6 + 68);
    EXPECT_EQ(signedBytes.substr(8, unsignedBytes.size() - 8), unsignedBytes.substr(8));
    EXPECT_TRUE(verify(signedBytes, keys.publicKey, &error)) << error;
    EXPECT_FALSE(verify(signedBytes, other.publicKey, &error));
    EXPECT_TRUE(contains(error, "signature does not verify")) << error;
    std::string json = inspect(signedBytes, true, keys.publicKey);
    EXPECT_TRUE(contains(json, "\"verdict\":\"valid\"")) << json;
    std::string signedDigest = installer::hexText(
        reinterpret_cast<const uint8_t*>(signedBytes.data()) + signedBytes.size() - 68, 20);
    EXPECT_TRUE(contains(json, "\"digest\":\"" + signedDigest + "\",\"signature\":\"valid\""))
        << json;
    EXPECT_TRUE(contains(inspect(signedBytes, true, other.publicKey), "\"verdict\":\"invalid\""));

    // Signing twice is refused and leaves the file alone; --resign replaces the signature.
    EXPECT_FALSE(signFile(path, other.secret, false, count, error));
    EXPECT_TRUE(contains(error, "already signed")) << error;
    EXPECT_EQ(fileContents(path), signedBytes);
    ASSERT_TRUE(signFile(path, other.secret, true, count, error)) << error;
    EXPECT_EQ(fileContents(path).size(), signedBytes.size());
    EXPECT_TRUE(verify(fileContents(path), other.publicKey, &error)) << error;
    EXPECT_FALSE(verify(fileContents(path), keys.publicKey));
}

TEST(RpxSign, UnsignedPackageVerifiesByAListedDigest) {
    ScratchFolder folder;
    Keys keys;
    std::string bytes = fileContents(smallPackage(folder, "beta"));
    std::istringstream in(bytes);
    PackageReader reader(in, true);
    while (reader.next() >= 0) {
    }
    Digest digest;
    ASSERT_TRUE(reader.takeDigest(digest.data()));
    std::vector<Digest> known = {Digest{}, digest};
    EXPECT_TRUE(verify(bytes, keys.publicKey, nullptr, &known));
    known.pop_back();
    std::string error;
    EXPECT_FALSE(verify(bytes, keys.publicKey, &error, &known));
    EXPECT_TRUE(contains(error, "is not known")) << error;
}

TEST(RpxSign, EveryByteBetweenHeaderAndSignatureIsCovered) {
    ScratchFolder folder;
    Keys keys;
    std::string path = smallPackage(folder, "gamma");
    unsigned count = 0;
    std::string error;
    ASSERT_TRUE(signFile(path, keys.secret, false, count, error)) << error;
    std::string bytes = fileContents(path);
    // From the kind-1 part header through the kind-9 part header, and the signature body.
    for (size_t i = 8; i < bytes.size(); ++i) {
        std::string changed = bytes;
        changed[i] = char(changed[i] ^ 0x01);
        EXPECT_FALSE(verify(changed, keys.publicKey)) << "byte " << i;
    }
}

TEST(RpxBundle, BundleOfSignedMembersVerifiesMemberByMember) {
    ScratchFolder folder;
    Keys keys;
    std::string first = smallPackage(folder, "one", "1.0"),
                second = smallPackage(folder, "two", "2.0beta1");
    unsigned count = 0;
    std::string error;
    ASSERT_TRUE(signFile(first, keys.secret, false, count, error)) << error;
    ASSERT_TRUE(signFile(second, keys.secret, false, count, error)) << error;
    Manifest m =
        manifestOf("name: suite\nversion: 4.1\nmember: two\ndescription: both\n", folder.path);
    ASSERT_TRUE(buildBundle(m, {first, second}, folder / "suite.rpx", error)) << error;
    std::string bundle = fileContents(folder / "suite.rpx");
    EXPECT_TRUE(verify(bundle, keys.publicKey, &error)) << error;
    std::string json = inspect(bundle, true, keys.publicKey);
    EXPECT_TRUE(contains(json, "\"type\":\"bundle-header\",\"offset\":14,\"length\":32,"
                               "\"name\":\"suite\",\"version\":\"4.1\""))
        << json;
    EXPECT_TRUE(contains(json, "\"type\":\"members\"")) << json;
    EXPECT_TRUE(contains(json, "{\"name\":\"two\",\"version\":\"2.0beta1\",\"digest\":")) << json;
    EXPECT_FALSE(contains(json, "\"signature\":\"invalid\"")) << json;

    // Signing the bundle again is refused; an unsigned bundle is signed member by member.
    EXPECT_FALSE(signFile(folder / "suite.rpx", keys.secret, false, count, error));
    Manifest plain = manifestOf("name: suite\nversion: 4.1\n", folder.path);
    std::string a = smallPackage(folder, "three"), b = smallPackage(folder, "four");
    ASSERT_TRUE(buildBundle(plain, {a, b}, folder / "plain.rpx", error)) << error;
    ASSERT_TRUE(signFile(folder / "plain.rpx", keys.secret, false, count, error)) << error;
    EXPECT_EQ(count, 2u);
    EXPECT_TRUE(verify(fileContents(folder / "plain.rpx"), keys.publicKey, &error)) << error;
}

TEST(RpxBundle, MembersMustBeWholePackages) {
    ScratchFolder folder;
    std::string good = smallPackage(folder, "one");
    Manifest m = manifestOf("name: suite\nversion: 1.0\n", folder.path);
    std::string error;
    ASSERT_TRUE(buildBundle(m, {good}, folder / "suite.rpx", error)) << error;
    std::string bytes = fileContents(good);
    writeFile(folder / "short.rpx", bytes.substr(0, bytes.size() - 1));
    writeFile(folder / "text.rpx", "hello, this is not a package");
    std::string lying = bytes;
    lying[4] = char(lying[4] + 1);
    writeFile(folder / "lying.rpx", lying);
    const struct {
        std::string member, message;
    } cases[] = {{folder / "suite.rpx", "bundles do not nest"},
                 {folder / "short.rpx", "differs from its size"},
                 {folder / "text.rpx", "not a package file"},
                 {folder / "lying.rpx", "differs from its size"},
                 {folder / "absent.rpx", "absent.rpx: No such file"}};
    for (const auto& c : cases) {
        EXPECT_FALSE(buildBundle(m, {good, c.member}, folder / "out.rpx", error)) << c.member;
        EXPECT_TRUE(contains(error, c.message)) << c.message << " / " << error;
    }
    EXPECT_FALSE(buildBundle(m, {}, folder / "out.rpx", error));
}

namespace {

// A signed bundle of two small packages; "" when it cannot be made.
std::string signedSuite(ScratchFolder& folder, const Keys& keys) {
    std::string first = smallPackage(folder, "one"), second = smallPackage(folder, "two");
    Manifest m = manifestOf("name: suite\nversion: 1.0\nmember: one\n", folder.path);
    std::string error;
    unsigned count = 0;
    bool made = buildBundle(m, {first, second}, folder / "suite.rpx", error) &&
                signFile(folder / "suite.rpx", keys.secret, false, count, error);
    EXPECT_TRUE(made) << error;
    return made ? fileContents(folder / "suite.rpx") : "";
}

} // namespace

TEST(RpxTruncation, EveryCutOfASignedBundleFailsCleanly) {
    ScratchFolder folder;
    Keys keys;
    std::string bytes = signedSuite(folder, keys);
    ASSERT_FALSE(bytes.empty());
    ASSERT_TRUE(verify(bytes, keys.publicKey));
    for (size_t n = 0; n < bytes.size(); ++n) {
        std::string cut = bytes.substr(0, n);
        EXPECT_FALSE(verify(cut, keys.publicKey)) << "cut at " << n;
        bool ok = true;
        inspect(cut, true, keys.publicKey, &ok);
        EXPECT_FALSE(ok) << "cut at " << n;
    }
}

TEST(RpxInspect, HostileLengthsAreReportedNotTrusted) {
    auto header = partBytes(partHeader, headerBodyBytes({"evil", 0x01006600, 1}));
    uint8_t count[2] = {0xff, 0xff};
    std::string hugeList = partBytes(partDepends, std::string(reinterpret_cast<char*>(count), 2));
    FileEntryHeader link;
    link.mode = 0xA1FF;
    link.dataSize = 0xFFFFFFF0;
    std::string entries = fileEntryBytes(link, "bin/sh");
    std::string deflated(entries.size() + 64, '\0');
    uLongf size = uLongf(deflated.size());
    compress2(reinterpret_cast<Bytef*>(deflated.data()), &size,
              reinterpret_cast<const Bytef*>(entries.data()), uLong(entries.size()), 6);
    deflated.resize(size);
    const struct {
        std::string bytes, message;
    } cases[] = {
        {packageFileBytes(header + hugeList), "shorter than its count"},
        {packageFileBytes(header + partBytes(partArchive, deflated)), "with a target of"},
        {fileHeaderBytes(packageMagic, 0xFFFFFFFF) + header +
             partHeaderBytes(partDescription, 0xFFFFFF00) + "abc",
         "cut short"},
        {packageFileBytes(header + partHeaderBytes(partDescription, 0xFFFFFFFF) + "abc"),
         "declared length 55 ends before its parts do"},
        {packageFileBytes(header) + partBytes(partDescription, "more"), "ends before its parts do"},
        {packageFileBytes(header + partBytes(partArchive, "not zlib")), "damaged"},
        {fileHeaderBytes(packageMagic, 1000) + header, "differs from the length read"},
        {packageFileBytes(partBytes(partHeader, "short")), "header shorter than 32 bytes"},
    };
    for (const auto& c : cases) {
        std::stringbuf in(c.bytes, std::ios_base::in);
        std::ostringstream out;
        std::string error;
        EXPECT_FALSE(inspectPackageStream(&in, "evil.rpx", true, nullptr, out, error));
        EXPECT_TRUE(contains(error, c.message)) << error;
        EXPECT_TRUE(contains(out.str(), "\"ok\":false")) << out.str();
    }
}

TEST(RpxInspect, RandomDamageNeverCrashesAndNeverVerifies) {
    ScratchFolder folder;
    Keys keys;
    std::string bytes = signedSuite(folder, keys);
    ASSERT_FALSE(bytes.empty());
    std::mt19937 random(9);
    for (int round = 0; round < 400; ++round) {
        std::string damaged = bytes;
        for (int n = 1 + int(random() % 4); n > 0; --n)
            damaged[random() % damaged.size()] = char(random());
        if (damaged == bytes)
            continue;
        inspect(damaged, round % 2 == 0, keys.publicKey);
        // The bundle's own header parts are not signed; damage there may still verify.
        bool verified = verify(damaged, keys.publicKey);
        size_t firstMember = bytes.find(std::string("\x01\x00\x20\x00\x00\x00", 6));
        if (verified) {
            EXPECT_EQ(damaged.substr(firstMember), bytes.substr(firstMember)) << round;
        }
    }
}
