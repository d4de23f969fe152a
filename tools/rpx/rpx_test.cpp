#include "testbed/support/package_drafts.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"
#include "tools/rpx/build.h"
#include "tools/rpx/inspect.h"
#include "tools/rpx/json.h"
#include "tools/rpx/manifest.h"
#include "tools/rpx/signer.h"
#include "tools/rpx/signing.h"

#include "package/format/hex_text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <sys/socket.h>
#include <sys/un.h>
#include <utime.h>

using namespace rpx;
using namespace installer;
using testing::HasSubstr;

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

struct Inspection {
    bool ok;
    std::string out, error;
};
Inspection inspect(const std::string& bytes, bool json, const uint8_t* key = nullptr) {
    std::stringbuf in(bytes, std::ios_base::in);
    std::ostringstream out;
    Inspection result;
    result.ok = inspectPackageStream(&in, "p.rpx", json, key, out, result.error);
    result.out = out.str();
    return result;
}

// "" when the bytes verify, else why not.
std::string verify(const std::string& bytes, const uint8_t* key,
                   const std::vector<Digest>* known = nullptr) {
    std::stringbuf in(bytes, std::ios_base::in);
    unsigned count = 0;
    std::string message;
    bool ok = verifyPackageStream(&in, key, known, count, message);
    return ok ? "" : message.empty() ? "refused" : message;
}

// Signs the file in place (replacing its signatures when `resign`): how many packages it
// signed, or why it failed.
std::string sign(const std::string& path, const uint8_t* secret, bool resign = false) {
    unsigned count = 0;
    std::string error;
    return signFile(path, secret, resign, count, error) ? std::to_string(count) + " signed" : error;
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

// A signed bundle of two small packages; "" when it cannot be made.
std::string signedSuite(ScratchFolder& folder, const Keys& keys) {
    std::string first = smallPackage(folder, "one"), second = smallPackage(folder, "two");
    Manifest m = manifestOf("name: suite\nversion: 1.0\nmember: one\n", folder.path);
    std::string error;
    bool made = buildBundle(m, {first, second}, folder / "suite.rpx", error) &&
                (error = sign(folder / "suite.rpx", keys.secret)) == "2 signed";
    EXPECT_TRUE(made) << error;
    return made ? fileContents(folder / "suite.rpx") : "";
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
    // Why a build from this manifest text (and the tree, or `from`) fails; it leaves no output.
    std::string refusal(const std::string& text, const std::string& from = "") {
        std::string error, output = folder / "refused.rpx";
        unlink(output.c_str());
        EXPECT_FALSE(
            buildPackage(manifestOf(text, folder.path), from.empty() ? tree : from, output, error));
        EXPECT_NE(access(output.c_str(), F_OK), 0) << "no half-written output is left";
        return error;
    }
    // The manifest with its first `from` replaced by `to`.
    std::string edited(const std::string& from, const std::string& to) {
        return std::string(manifest).replace(manifest.find(from), from.size(), to);
    }
    ScratchFolder folder;
    std::string tree, manifest;
};

TEST_F(RpxBuild, PackageHoldsItsPartsInOrderAndTheTreeWithModesOwnersAndTimesAlwaysTheSame) {
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
    // The same inputs give the same bytes.
    utime((tree + "/zeta").c_str(), nullptr); // entry-time overrides the tree's times
    EXPECT_EQ(build("b.rpx"), bytes);
    manifest += "description: more\n";
    EXPECT_NE(build("c.rpx"), bytes);
}

TEST_F(RpxBuild, InspectShowsHeaderRequirementsScriptsAndEntries) {
    std::string bytes = build("tools.rpx");
    Inspection json = inspect(bytes, true);
    EXPECT_TRUE(json.ok) << json.out;
    for (const char* expected :
         {"\"name\":\"tools\",\"version\":\"3.0rc1\"", "\"buildTime\":1234",
          "\"architecture\":\"i386\"", "\"description\":\"Tools for the router\"",
          "{\"name\":\"libc\",\"minVersion\":\"2.0\",\"maxVersion\":\"\",\"priority\":0}",
          "\"priority\":-5", "\"script\":\"echo installed\\n\"",
          "\"name\":\"bin/alias\",\"type\":\"symlink\"", "\"target\":\"tool\"",
          "\"type\":\"char-device\",\"mode\":\"0600\"", "\"device\":1281", "\"type\":\"fifo\"",
          "\"signature\":\"unsigned\"", "\"ok\":true"})
        EXPECT_THAT(json.out, HasSubstr(expected));
    std::string text = inspect(bytes, false).out;
    EXPECT_THAT(text, HasSubstr("part 1 header at 14, 32 bytes: tools 3.0rc1, built 1234"));
    EXPECT_THAT(text, HasSubstr("120777 0/0 99 4 bin/alias -> tool"));
    EXPECT_THAT(text, HasSubstr("package tools-3.0rc1: digest "));
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
    std::string socketPath = tree + "/control";
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_THAT(refusal(manifest), HasSubstr(socketPath));
    close(s);
    unlink(socketPath.c_str());
    // A name the package database could not list.
    writeFile(tree + "/two\nlines", "x");
    EXPECT_THAT(refusal(manifest), HasSubstr("a newline in a name"));
    unlink((tree + "/two\nlines").c_str());
    // A declared node where the tree has an object, attributes for what is not there.
    EXPECT_THAT(refusal(manifest + "node: zeta p 0600 0 0\n"), HasSubstr("zeta"));
    EXPECT_THAT(refusal(manifest + "attr: nothing 0600 0 0\n"), HasSubstr("nothing"));
    // Ids that do not fit in 16 bits, unless the manifest names the owner.
    if (getuid() == 0) {
        ASSERT_EQ(lchown((tree + "/zeta").c_str(), 70000, 0), 0);
        EXPECT_THAT(refusal(edited("owner: 0 0\n", "")),
                    HasSubstr("zeta: owner or group id above 65535"));
        build("owned.rpx");
    }
    // A missing tree or script.
    EXPECT_THAT(refusal(manifest, folder / "none"), HasSubstr("none"));
    EXPECT_THAT(refusal(edited("in.sh", "missing.sh")), HasSubstr("missing.sh"));
}

TEST(RpxSign, SignedPackageVerifiesOnlyUnderItsOwnKey) {
    ScratchFolder folder;
    Keys keys, other;
    std::string path = smallPackage(folder, "alpha");
    std::string unsignedBytes = fileContents(path);
    EXPECT_THAT(verify(unsignedBytes, keys.publicKey),
                HasSubstr("package 1 (alpha) is not signed"));
    ASSERT_EQ(sign(path, keys.secret), "1 signed");
    std::string signedBytes = fileContents(path);
    EXPECT_EQ(signedBytes.size(), unsignedBytes.size() + 6 + 68);
    EXPECT_EQ(signedBytes.substr(8, unsignedBytes.size() - 8), unsignedBytes.substr(8));
    EXPECT_EQ(verify(signedBytes, keys.publicKey), "");
    EXPECT_THAT(verify(signedBytes, other.publicKey), HasSubstr("signature does not verify"));
    std::string json = inspect(signedBytes, true, keys.publicKey).out;
    EXPECT_THAT(json, HasSubstr("\"verdict\":\"valid\""));
    std::string signedDigest = installer::hexText(
        reinterpret_cast<const uint8_t*>(signedBytes.data()) + signedBytes.size() - 68, 20);
    EXPECT_THAT(json, HasSubstr("\"digest\":\"" + signedDigest + "\",\"signature\":\"valid\""));
    EXPECT_THAT(inspect(signedBytes, true, other.publicKey).out,
                HasSubstr("\"verdict\":\"invalid\""));

    // Signing twice is refused and leaves the file alone; --resign replaces the signature.
    EXPECT_THAT(sign(path, other.secret), HasSubstr("already signed"));
    EXPECT_EQ(fileContents(path), signedBytes);
    ASSERT_EQ(sign(path, other.secret, true), "1 signed");
    EXPECT_EQ(fileContents(path).size(), signedBytes.size());
    EXPECT_EQ(verify(fileContents(path), other.publicKey), "");
    EXPECT_NE(verify(fileContents(path), keys.publicKey), "");
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
    EXPECT_EQ(verify(bytes, keys.publicKey, &known), "");
    known.pop_back();
    EXPECT_THAT(verify(bytes, keys.publicKey, &known), HasSubstr("is not known"));
}

TEST(RpxSign, EveryByteBetweenHeaderAndSignatureIsCovered) {
    ScratchFolder folder;
    Keys keys;
    std::string path = smallPackage(folder, "gamma");
    ASSERT_EQ(sign(path, keys.secret), "1 signed");
    std::string bytes = fileContents(path);
    // From the kind-1 part header through the kind-9 part header, and the signature body.
    for (size_t i = 8; i < bytes.size(); ++i) {
        std::string changed = bytes;
        changed[i] = char(changed[i] ^ 0x01);
        EXPECT_NE(verify(changed, keys.publicKey), "") << "byte " << i;
    }
}

TEST(RpxBundle, BundleOfSignedMembersVerifiesMemberByMember) {
    ScratchFolder folder;
    Keys keys;
    std::string first = smallPackage(folder, "one", "1.0"),
                second = smallPackage(folder, "two", "2.0beta1"), error;
    for (const std::string& member : {first, second})
        ASSERT_EQ(sign(member, keys.secret), "1 signed");
    Manifest m =
        manifestOf("name: suite\nversion: 4.1\nmember: two\ndescription: both\n", folder.path);
    ASSERT_TRUE(buildBundle(m, {first, second}, folder / "suite.rpx", error)) << error;
    std::string bundle = fileContents(folder / "suite.rpx");
    EXPECT_EQ(verify(bundle, keys.publicKey), "");
    std::string json = inspect(bundle, true, keys.publicKey).out;
    EXPECT_THAT(json, HasSubstr("\"type\":\"bundle-header\",\"offset\":14,\"length\":32,"
                                "\"name\":\"suite\",\"version\":\"4.1\""));
    EXPECT_THAT(json, HasSubstr("\"type\":\"members\""));
    EXPECT_THAT(json, HasSubstr("{\"name\":\"two\",\"version\":\"2.0beta1\",\"digest\":"));
    EXPECT_THAT(json, testing::Not(HasSubstr("\"signature\":\"invalid\"")));

    // Signing the bundle again is refused; an unsigned bundle is signed member by member.
    EXPECT_THAT(sign(folder / "suite.rpx", keys.secret), HasSubstr("already signed"));
    Manifest plain = manifestOf("name: suite\nversion: 4.1\n", folder.path);
    std::string a = smallPackage(folder, "three"), b = smallPackage(folder, "four");
    ASSERT_TRUE(buildBundle(plain, {a, b}, folder / "plain.rpx", error)) << error;
    ASSERT_EQ(sign(folder / "plain.rpx", keys.secret), "2 signed");
    EXPECT_EQ(verify(fileContents(folder / "plain.rpx"), keys.publicKey), "");
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
        EXPECT_THAT(error, HasSubstr(c.message));
    }
    EXPECT_FALSE(buildBundle(m, {}, folder / "out.rpx", error));
}

TEST(RpxTruncation, EveryCutOfASignedBundleFailsCleanly) {
    ScratchFolder folder;
    Keys keys;
    std::string bytes = signedSuite(folder, keys);
    ASSERT_FALSE(bytes.empty());
    ASSERT_EQ(verify(bytes, keys.publicKey), "");
    for (size_t n = 0; n < bytes.size(); ++n) {
        std::string cut = bytes.substr(0, n);
        EXPECT_NE(verify(cut, keys.publicKey), "") << "cut at " << n;
        EXPECT_FALSE(inspect(cut, true, keys.publicKey).ok) << "cut at " << n;
    }
}

TEST(RpxInspect, HostileLengthsAreReportedNotTrusted) {
    auto header = partBytes(partHeader, headerBodyBytes({"evil", 0x01006600, 1}));
    uint8_t count[2] = {0xff, 0xff};
    std::string hugeList = partBytes(partDepends, std::string(reinterpret_cast<char*>(count), 2));
    FileEntryHeader link;
    link.mode = 0xA1FF;
    link.dataSize = 0xFFFFFFF0;
    std::string deflated = testpkg::compressed(fileEntryBytes(link, "bin/sh"));
    const struct {
        std::string bytes, message;
    } cases[] = {
        {packageFileBytes(header + hugeList), "shorter than its count"},
        {packageFileBytes(header + partBytes(partArchive, deflated)), "with a target of"},
        {packageFileBytes(header + partHeaderBytes(partDescription, 0xFFFFFFFF) + "abc"),
         "cut short"},
        {packageFileBytes(header) + partBytes(partDescription, "more"),
         "declared length 46 ends before the file does"},
        {packageFileBytes(header + partBytes(partArchive, "not zlib")), "damaged"},
        {fileHeaderBytes(packageMagic, 1000) + header, "differs from the length read"},
        {packageFileBytes(partBytes(partHeader, "short")), "header shorter than 32 bytes"},
    };
    for (const auto& c : cases) {
        Inspection r = inspect(c.bytes, true);
        EXPECT_FALSE(r.ok) << c.message;
        EXPECT_THAT(r.error, HasSubstr(c.message));
        EXPECT_THAT(r.out, HasSubstr("\"ok\":false"));
    }
}

TEST(RpxInspect, RandomDamageNeverCrashesAndNeverVerifies) {
    ScratchFolder folder;
    Keys keys;
    std::string bytes = signedSuite(folder, keys);
    ASSERT_FALSE(bytes.empty());
    std::mt19937 random(9);
    // The bundle's own header parts are not signed; damage there may still verify.
    size_t firstMember = bytes.find(std::string("\x01\x00\x20\x00\x00\x00", 6));
    for (int round = 0; round < 400; ++round) {
        std::string damaged = bytes;
        for (int n = 1 + int(random() % 4); n > 0; --n)
            damaged[random() % damaged.size()] = char(random());
        if (damaged == bytes)
            continue;
        inspect(damaged, round % 2 == 0, keys.publicKey);
        if (verify(damaged, keys.publicKey).empty()) {
            EXPECT_EQ(damaged.substr(firstMember), bytes.substr(firstMember)) << round;
        }
    }
}
