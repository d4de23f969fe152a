// Signing packages with the development key, whose public half is the key built into the
// installer, as `rpx build` and `rpx sign` do it.
#pragma once

#include "testbed/support/package_drafts.h"

#include <string>

namespace testsign {

// The parts of one package (header through its last part) followed by its signature part.
std::string signParts(const std::string& parts);

} // namespace testsign
