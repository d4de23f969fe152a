#include "tools/sfdisk/cylinder_table.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

namespace sfdisk {

namespace {

std::string trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return "";
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields;
    size_t from = 0;
    for (;;) {
        size_t comma = line.find(',', from);
        fields.push_back(trim(line.substr(from, comma - from)));
        if (comma == std::string::npos)
            return fields;
        from = comma + 1;
    }
}

bool parseNumber(const std::string& text, int base, uint64_t limit, uint64_t& value) {
    if (text.empty() || !std::isxdigit(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || parsed > limit)
        return false;
    value = parsed;
    return true;
}

bool readLine(FILE* input, std::string& line) {
    line.clear();
    int c;
    while ((c = std::fgetc(input)) != EOF && c != '\n')
        line.push_back(static_cast<char>(c));
    return c != EOF || !line.empty();
}

// The sector-based tool's "key=value" field from a dump line; empty when absent.
std::string dumpField(const std::string& line, const char* key) {
    size_t at = line.find(key);
    if (at == std::string::npos)
        return "";
    at += std::strlen(key);
    size_t end = line.find(',', at);
    return trim(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
}

} // namespace

bool readCylinderTable(FILE* input, const Geometry& geometry, TableEntry (&entries)[4],
                       std::string& error) {
    for (TableEntry& entry : entries)
        entry = TableEntry{};
    uint64_t perCylinder = geometry.sectorsPerCylinder();
    if (perCylinder == 0) {
        error = "the disk has no cylinders: 0 heads or 0 sectors per track";
        return false;
    }
    std::string line;
    int slot = 0;
    for (int number = 1; readLine(input, line); ++number) {
        if (trim(line).empty())
            continue;
        std::vector<std::string> fields = splitFields(line);
        uint64_t start = 0, size = 0, type = 0;
        bool valid = fields.size() >= 3 && fields.size() <= 4 &&
                     parseNumber(fields[0], 10, UINT32_MAX, start) &&
                     parseNumber(fields[1], 10, UINT32_MAX, size) &&
                     parseNumber(fields[2], 16, 0xff, type);
        std::string mark = fields.size() == 4 ? fields[3] : "-";
        if (!valid || (mark != "*" && mark != "-")) {
            error = "line " + std::to_string(number) + ": expected start,size,type[,*|-]";
            return false;
        }
        if (size == 0) { // an empty entry, wherever it stands
            ++slot;
            continue;
        }
        if (slot >= 4) {
            error = "line " + std::to_string(number) + ": only four primary entries exist";
            return false;
        }
        if (start + size > geometry.cylinders()) {
            error = "line " + std::to_string(number) + ": partition ends beyond cylinder " +
                    std::to_string(geometry.cylinders());
            return false;
        }
        TableEntry& entry = entries[slot++];
        // The first track holds the boot record: a partition at cylinder 0 starts after it.
        uint64_t skip = start == 0 ? geometry.sectorsPerTrack : 0;
        entry.start = start * perCylinder + skip;
        entry.size = size * perCylinder - skip;
        entry.type = static_cast<unsigned>(type);
        entry.bootable = mark == "*";
        if (entry.start + entry.size > UINT32_MAX) {
            error = "line " + std::to_string(number) + ": partition ends beyond 2 TiB";
            return false;
        }
        if (entry.size == 0 || entry.type == 0) {
            error = "line " + std::to_string(number) + ": partition has no room or no type";
            return false;
        }
    }
    return true;
}

std::string sectorScript(const std::string& device, const TableEntry (&entries)[4]) {
    std::string script = "label: dos\nunit: sectors\n\n";
    for (int i = 0; i < 4; ++i) {
        if (entries[i].size == 0)
            continue;
        char line[160];
        std::snprintf(line, sizeof line, " : start=%" PRIu64 ", size=%" PRIu64 ", type=%x%s\n",
                      entries[i].start, entries[i].size, entries[i].type,
                      entries[i].bootable ? ", bootable" : "");
        script += partitionName(device, i + 1) + line;
    }
    return script;
}

bool dumpLineInCylinders(const std::string& line, const Geometry& geometry, std::string& out) {
    size_t colon = line.find(" : ");
    if (line.compare(0, 5, "/dev/") != 0 || colon == std::string::npos)
        return false;
    uint64_t start = 0, size = 0, perCylinder = geometry.sectorsPerCylinder();
    if (perCylinder == 0 || !parseNumber(dumpField(line, "start="), 10, UINT64_MAX / 2, start) ||
        !parseNumber(dumpField(line, "size="), 10, UINT64_MAX / 2, size))
        return false;
    std::string type = dumpField(line, "type=");
    // A partition placed after the first track is the one that was asked for at cylinder 0.
    uint64_t firstCylinder = start == geometry.sectorsPerTrack ? 0 : start / perCylinder;
    uint64_t endCylinder = (start + size + perCylinder - 1) / perCylinder;
    // Built as a string: a fixed buffer would cut a long device name's line before its end of
    // line, and the cut line would run into the next one.
    char numbers[80];
    std::snprintf(numbers, sizeof numbers,
                  ": start=%6" PRIu64 ", size=%6" PRIu64 ", Id=", firstCylinder,
                  endCylinder - firstCylinder);
    std::string id = type.empty() ? "0" : type.c_str();
    if (id.size() < 2)
        id.insert(0, 2 - id.size(), ' ');
    out = line.substr(0, colon + 1).c_str() + std::string(numbers) + id +
          (line.find("bootable") != std::string::npos ? ", bootable" : "") + "\n";
    return true;
}

void encodeChs(uint64_t sector, const Geometry& geometry, unsigned char (&chs)[3]) {
    uint64_t perCylinder = geometry.sectorsPerCylinder();
    uint64_t cylinder = perCylinder ? sector / perCylinder : 1024;
    unsigned head = 0, sectorInTrack = 1;
    if (cylinder > 1023) {
        cylinder = 1023;
        head = geometry.heads ? geometry.heads - 1 : 0;
        sectorInTrack = geometry.sectorsPerTrack ? geometry.sectorsPerTrack : 1;
    } else {
        head = static_cast<unsigned>((sector / geometry.sectorsPerTrack) % geometry.heads);
        sectorInTrack = static_cast<unsigned>(sector % geometry.sectorsPerTrack) + 1;
    }
    chs[0] = static_cast<unsigned char>(head);
    chs[1] = static_cast<unsigned char>((sectorInTrack & 0x3f) | ((cylinder >> 2) & 0xc0));
    chs[2] = static_cast<unsigned char>(cylinder & 0xff);
}

std::string partitionName(const std::string& device, int number) {
    bool endsInDigit = !device.empty() && std::isdigit(static_cast<unsigned char>(device.back()));
    return device + (endsInDigit ? "p" : "") + std::to_string(number);
}

} // namespace sfdisk
