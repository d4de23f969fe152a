// Making package files and bundles from a manifest, a tree and member packages.
#pragma once

#include "tools/rpx/manifest.h"

#include <string>
#include <vector>

namespace rpx {

// Writes the package of `manifest` to `output`. `tree` is the directory whose objects make the
// file archive; empty for a package without one (unless the manifest declares nodes). The
// manifest's build time must be set.
bool buildPackage(const Manifest& manifest, const std::string& tree, const std::string& output,
                  std::string& error);

// Writes a bundle: the manifest's header parts and member list, then every member package
// file's parts in the given order. Members must be complete package files, not bundles.
bool buildBundle(const Manifest& manifest, const std::vector<std::string>& members,
                 const std::string& output, std::string& error);

} // namespace rpx
