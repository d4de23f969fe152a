#include "package/record/record_text.h"

#include <cstdio>

namespace installer {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool parseDigits(std::string_view digits, uint64_t limit, uint64_t& value) {
    if (digits.empty())
        return false;
    value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + uint64_t(c - '0');
        if (value > limit)
            return false;
    }
    return true;
}

} // namespace

bool WordReader::word(std::string& out) {
    while (at < text.size() && isBlank(text[at]))
        ++at;
    size_t start = at;
    while (at < text.size() && !isBlank(text[at]))
        ++at;
    if (at == start)
        return false;
    out.assign(text.substr(start, at - start));
    return true;
}

bool WordReader::unsignedNumber(uint32_t& out) {
    std::string token;
    uint64_t value;
    if (!word(token) || !parseDigits(token, UINT32_MAX, value))
        return false;
    out = uint32_t(value);
    return true;
}

bool WordReader::signedNumber(int32_t& out) {
    std::string token;
    if (!word(token))
        return false;
    bool negative = token[0] == '-';
    std::string_view digits(token);
    if (token[0] == '-' || token[0] == '+')
        digits.remove_prefix(1);
    uint64_t value;
    if (!parseDigits(digits, negative ? uint64_t(INT32_MAX) + 1 : INT32_MAX, value))
        return false;
    out = negative ? int32_t(-int64_t(value)) : int32_t(value);
    return true;
}

std::string formatVersionLine(uint32_t version, uint32_t buildTime) {
    return std::to_string(version) + " " + std::to_string(buildTime) + "\n";
}

bool parseVersionLine(std::string_view text, uint32_t& version, uint32_t& buildTime) {
    WordReader words(text);
    return words.unsignedNumber(version) && words.unsignedNumber(buildTime);
}

std::string formatRequirementLines(const std::vector<Requirement>& list, bool withPriority) {
    std::string text;
    for (const Requirement& entry : list) {
        text += entry.name + " " + std::to_string(entry.minVersion) + " " +
                std::to_string(entry.maxVersion);
        if (withPriority)
            text += " " + std::to_string(entry.priority);
        text += "\n";
    }
    return text;
}

bool parseRequirementLines(std::string_view text, bool withPriority,
                           std::vector<Requirement>& list) {
    WordReader words(text);
    Requirement entry;
    while (words.word(entry.name)) {
        if (!words.unsignedNumber(entry.minVersion) || !words.unsignedNumber(entry.maxVersion))
            return false;
        entry.priority = 0;
        if (withPriority && !words.signedNumber(entry.priority))
            return false;
        list.push_back(entry);
    }
    return true;
}

std::string formatFileLines(const std::set<std::string>& files) {
    std::string text;
    for (const std::string& path : files) {
        std::string_view line(path);
        if (line.starts_with('/'))
            line.remove_prefix(1);
        if (line.empty())
            continue;
        text.append(line);
        text += '\n';
    }
    return text;
}

void parseFileLines(std::string_view text, std::set<std::string>& files) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty())
            files.insert(line.starts_with('/') ? std::string(line) : "/" + std::string(line));
        start = end + 1;
    }
}

std::string firstWord(std::string_view text) {
    std::string word;
    WordReader(text).word(word);
    return word;
}

std::string firstLine(std::string_view text) {
    return std::string(text.substr(0, text.find('\n')));
}

} // namespace installer
