// The text of the package database's files: numbers in decimal, fields separated by single
// spaces, every line ended by "\n". Reading is by words, as the files were always read, so
// extra blanks are tolerated; a missing number marks a damaged record.
#pragma once

#include "package/record/package.h"

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace installer {

// Reads whitespace-separated words from a text.
class WordReader {
public:
    explicit WordReader(std::string_view text) : text(text) {}
    bool word(std::string& out);
    bool unsignedNumber(uint32_t& out);
    bool signedNumber(int32_t& out);

private:
    std::string_view text;
    size_t at = 0;
};

std::string formatVersionLine(uint32_t version, uint32_t buildTime);
bool parseVersionLine(std::string_view text, uint32_t& version, uint32_t& buildTime);

// One line per requirement: name, minimum, maximum and, with `withPriority`, the priority.
std::string formatRequirementLines(const std::vector<Requirement>& list, bool withPriority);
// Appends the requirements read; false when a name is not followed by its numbers.
bool parseRequirementLines(std::string_view text, bool withPriority,
                           std::vector<Requirement>& list);

// One owned path per line, its leading "/" removed; empty paths are left out.
std::string formatFileLines(const std::set<std::string>& files);
// Every non-empty line, with a "/" in front unless it has one.
void parseFileLines(std::string_view text, std::set<std::string>& files);

std::string firstWord(std::string_view text);
// The text up to the first line end.
std::string firstLine(std::string_view text);

} // namespace installer
