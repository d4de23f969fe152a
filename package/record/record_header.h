// Filling a Package from the header parts of a package stream: the header (kind 1, or 18 for a
// bundle), then optionally architecture, description, dependencies, provides and conflicts, in
// that order, and the note that a payload part follows.
#pragma once

#include "package/format/reader.h"
#include "package/record/package.h"

#include <string>
#include <vector>

namespace installer {

// False unless the reader stands on a package or bundle header whose parts read completely
// and whose names are usable (see below). Leaves the reader on the first part after the
// header parts.
bool readHeader(Package& package, PackageReader& reader);

// A requirement list body (2-byte count, 32-byte records) of the current part, appended to
// `list`; false on a short body or an unusable name.
bool readRequirementList(PackageReader& reader, std::vector<Requirement>& list);

// A package name becomes a directory name of the database and a word of its files: it must
// not be empty, ".", "..", hold a "/", a blank or a control character.
bool isUsablePackageName(const std::string& name);
// A requirement's name becomes a word of the database files: not empty, no blank or control
// character.
bool isUsableRequirementName(const std::string& name);

} // namespace installer
