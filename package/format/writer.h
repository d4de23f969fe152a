// Writing package files: the file header, part headers and the small part bodies. Used by the
// package tool and by tests that need packages of a precise shape; the installer only reads.
#pragma once

#include "package/format/format.h"

#include <cstdint>
#include <string>
#include <vector>

namespace installer {

std::string fileHeaderBytes(uint32_t magic, uint32_t restLength);
std::string partHeaderBytes(int kind, uint32_t length);
// A whole part: header and body.
std::string partBytes(int kind, const std::string& body);
// Body of a kind-1 or kind-18 part; empty when the name does not fit.
std::string headerBodyBytes(const HeaderBody& header);
// Body of a requirement list; empty when a name does not fit or there are over 65535 entries.
std::string requirementListBytes(const std::vector<RequirementRecord>& list);
// One archive entry's header and name (the data follows it); empty when the name is too long.
std::string fileEntryBytes(FileEntryHeader entry, const std::string& name);
// A whole file: the file header in front of parts.
std::string packageFileBytes(const std::string& parts, uint32_t magic = packageMagic);

} // namespace installer
