#include "tools/rpx/manifest.h"

#include "package/record/version.h"

#include <sstream>

namespace rpx {

namespace {

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

bool parseNumber(const std::string& text, uint64_t limit, uint64_t& value, int base = 10) {
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        int digit = c >= '0' && c <= '9' ? c - '0' : 99;
        if (digit >= base)
            return false;
        v = v * unsigned(base) + unsigned(digit);
        if (v > limit)
            return false;
    }
    value = v;
    return true;
}

bool parseBound(const std::string& text, uint32_t& version) {
    if (text == "-") {
        version = 0;
        return true;
    }
    return installer::parseVersion(text, version);
}

std::string joinPath(const std::string& folder, const std::string& path) {
    if (path.empty() || path[0] == '/' || folder.empty())
        return path;
    return folder + "/" + path;
}

class Parser {
public:
    Parser(const std::string& folder, Manifest& m, std::string& error)
        : folder(folder), m(m), error(error) {}

    bool line(const std::string& key, const std::string& value);
    bool done();

private:
    bool fail(const std::string& what) {
        error = what;
        return false;
    }
    bool once(const std::string& key) {
        for (const auto& k : seen)
            if (k == key)
                return fail("\"" + key + "\" given twice");
        seen.push_back(key);
        return true;
    }
    bool requirement(const std::vector<std::string>& w, bool withPriority,
                     std::vector<installer::RequirementRecord>& list);
    bool node(const std::vector<std::string>& w, bool attributesOnly);

    const std::string& folder;
    Manifest& m;
    std::string& error;
    std::vector<std::string> seen;
};

bool Parser::requirement(const std::vector<std::string>& w, bool withPriority,
                         std::vector<installer::RequirementRecord>& list) {
    if (w.empty() || w.size() > (withPriority ? 4u : 3u))
        return fail(withPriority ? "expected NAME [MIN [MAX [PRIORITY]]]"
                                 : "expected NAME [MIN [MAX]]");
    installer::RequirementRecord r;
    r.name = w[0];
    if (!isValidPackageName(r.name))
        return fail("bad package name \"" + r.name + "\"");
    if (w.size() > 1 && !parseBound(w[1], r.minVersion))
        return fail("bad version \"" + w[1] + "\"");
    if (w.size() > 2 && !parseBound(w[2], r.maxVersion))
        return fail("bad version \"" + w[2] + "\"");
    if (r.minVersion && r.maxVersion && r.minVersion > r.maxVersion)
        return fail("minimum version above maximum");
    if (w.size() > 3) {
        std::string p = w[3];
        bool negative = !p.empty() && p[0] == '-';
        uint64_t magnitude = 0;
        if (!parseNumber(negative ? p.substr(1) : p, negative ? 0x80000000u : 0x7fffffffu,
                         magnitude))
            return fail("bad priority \"" + p + "\"");
        r.priority = negative ? int32_t(-int64_t(magnitude)) : int32_t(magnitude);
    }
    if (list.size() >= 0xffff)
        return fail("too many entries");
    list.push_back(r);
    return true;
}

bool Parser::node(const std::vector<std::string>& w, bool attributesOnly) {
    DeclaredNode n;
    size_t at = 1;
    if (w.empty())
        return fail("expected a path");
    auto path = normalEntryPath(w[0]);
    if (!path)
        return fail("bad path \"" + w[0] + "\"");
    n.path = *path;
    if (attributesOnly) {
        n.type = 'a';
    } else {
        if (w.size() < 2 || w[1].size() != 1 ||
            std::string("cbpd").find(w[1][0]) == std::string::npos)
            return fail("expected a node type c, b, p or d after the path");
        n.type = w[1][0];
        at = 2;
        if (n.type == 'c' || n.type == 'b') {
            uint64_t major = 0, minor = 0;
            if (w.size() < 4 || !parseNumber(w[2], 0xfff, major) ||
                !parseNumber(w[3], 0xfffff, minor))
                return fail("expected MAJOR (0-4095) and MINOR (0-1048575) of the device");
            n.device = uint32_t((minor & 0xff) | (major << 8) | ((minor & ~0xffull) << 12));
            at = 4;
        }
    }
    uint64_t mode = 0, uid = 0, gid = 0;
    if (w.size() != at + 3 || !parseNumber(w[at], 07777, mode, 8) ||
        !parseNumber(w[at + 1], 0xffff, uid) || !parseNumber(w[at + 2], 0xffff, gid))
        return fail("expected MODE (octal, at most 7777) UID GID (0-65535)");
    n.mode = uint16_t(mode);
    n.uid = uint16_t(uid);
    n.gid = uint16_t(gid);
    for (const auto& other : m.nodes)
        if (other.path == n.path)
            return fail("\"" + n.path + "\" declared twice");
    m.nodes.push_back(n);
    return true;
}

bool Parser::line(const std::string& key, const std::string& value) {
    static const char* const singles[] = {"name",         "version",   "build-time",  "entry-time",
                                          "architecture", "oninstall", "onuninstall", "payload",
                                          "unregistered", "owner"};
    for (const char* single : singles)
        if (key == single && !once(key))
            return false;
    std::vector<std::string> w = words(value);
    uint64_t number = 0;
    if (key == "name") {
        if (w.size() != 1 || !isValidPackageName(w[0]))
            return fail("bad package name (1 to 16 bytes, no \"/\", blank or control character)");
        m.name = w[0];
    } else if (key == "version") {
        if (w.size() != 1 || !installer::parseVersion(w[0], m.version))
            return fail("bad version (such as 3.0, 2.9.27, 3.0rc1, 3.0beta)");
    } else if (key == "build-time") {
        if (w.size() != 1 || !parseNumber(w[0], 0xffffffff, number))
            return fail("bad build time (seconds since 1970, at most 4294967295)");
        m.buildTime = uint32_t(number);
    } else if (key == "entry-time") {
        if (w.size() != 1 || !parseNumber(w[0], 0xffffffff, number))
            return fail("bad entry time (seconds since 1970, at most 4294967295)");
        m.entryTime = uint32_t(number);
    } else if (key == "architecture") {
        if (w.size() != 1)
            return fail("expected one architecture word");
        m.architecture = w[0];
    } else if (key == "description") {
        // Repeated lines make a text of several lines; leading blanks after the colon go.
        size_t start = value.find_first_not_of(" \t");
        std::string text = start == std::string::npos ? "" : value.substr(start);
        m.description = m.description ? *m.description + "\n" + text : text;
    } else if (key == "depends") {
        return requirement(w, false, m.depends);
    } else if (key == "provides") {
        return requirement(w, true, m.provides);
    } else if (key == "conflicts") {
        return requirement(w, false, m.conflicts);
    } else if (key == "member") {
        return requirement(w, false, m.members);
    } else if (key == "oninstall" || key == "onuninstall" || key == "payload") {
        if (w.size() != 1)
            return fail("expected one file name");
        std::string& target = key == "oninstall"     ? m.onInstall
                              : key == "onuninstall" ? m.onUninstall
                                                     : m.payload;
        target = joinPath(folder, w[0]);
    } else if (key == "unregistered") {
        if (w.size() != 1 || (w[0] != "yes" && w[0] != "no"))
            return fail("expected yes or no");
        m.unregistered = w[0] == "yes";
    } else if (key == "owner") {
        uint64_t uid = 0, gid = 0;
        if (w.size() != 2 || !parseNumber(w[0], 0xffff, uid) || !parseNumber(w[1], 0xffff, gid))
            return fail("expected UID GID (0-65535)");
        m.ownerUid = uint16_t(uid);
        m.ownerGid = uint16_t(gid);
    } else if (key == "node") {
        return node(w, false);
    } else if (key == "attr") {
        return node(w, true);
    } else {
        return fail("unknown key \"" + key + "\"");
    }
    return true;
}

bool Parser::done() {
    if (m.name.empty())
        return fail("no name");
    if (m.version == 0)
        return fail("no version");
    return true;
}

} // namespace

bool isValidPackageName(const std::string& name) {
    if (name.empty() || name.size() > installer::nameFieldSize || name == "." || name == "..")
        return false;
    for (unsigned char c : name)
        if (c <= ' ' || c == '/' || c == 0x7f)
            return false;
    return true;
}

std::optional<std::string> normalEntryPath(const std::string& path) {
    std::string out;
    size_t i = 0;
    while (i < path.size()) {
        size_t end = path.find('/', i);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(i, end - i);
        i = end + 1;
        if (part.empty())
            continue;
        if (part == "." || part == ".." || part.find('\0') != std::string::npos ||
            part.find('\n') != std::string::npos)
            return std::nullopt;
        if (!out.empty())
            out += '/';
        out += part;
    }
    if (out.empty() || out.size() > 0xffff)
        return std::nullopt;
    return out;
}

bool parseManifest(std::istream& in, const std::string& folder, Manifest& manifest,
                   std::string& error) {
    Parser parser(folder, manifest, error);
    std::string text;
    for (unsigned number = 1; std::getline(in, text); ++number) {
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        size_t start = text.find_first_not_of(" \t");
        if (start == std::string::npos || text[start] == '#')
            continue;
        size_t colon = text.find(':');
        std::string key = colon == std::string::npos ? "" : text.substr(start, colon - start);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
            key.pop_back();
        if (colon == std::string::npos || key.empty()) {
            error = "line " + std::to_string(number) + ": expected \"key: value\"";
            return false;
        }
        if (!parser.line(key, text.substr(colon + 1))) {
            error = "line " + std::to_string(number) + ": " + key + ": " + error;
            return false;
        }
    }
    if (in.bad()) {
        error = "read error";
        return false;
    }
    return parser.done();
}

} // namespace rpx
