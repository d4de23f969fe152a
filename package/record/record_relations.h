// How packages relate: what one needs from another, which exclude each other, and membership
// of bundles. Names compare exactly; version ranges are tested by satisfies and overlaps.
#pragma once

#include "package/record/package.h"

#include <string>

namespace installer {

// One of the package's provided entries overlaps the requirement.
bool providesFor(const Package& package, const Requirement& requirement);

// `package` needs `other`: directly, through what `other` provides, or through members.
bool dependsOn(const Package& package, const Package& other);

// `package` excludes `other`. A provided name is exclusive in one direction only: the one of
// the higher priority, or of a non-negative priority against the package of that very name.
bool conflictsWith(const Package& package, const Package& other);

// The package or one of its members has that name.
bool isOrContains(const Package& package, const std::string& name);

} // namespace installer
