// `rpx install --root DIR FILE...`: installs package files into DIR exactly as an installation
// flow installs them onto a new disk: DIR is mounted at /flash in a private mount namespace,
// and each file is written through a pipe into an installer child of its own.
#pragma once

#include <string>
#include <vector>

namespace rpx {

extern const char installUsage[];
// The exit status: 0 when every package went in.
int installCommand(const std::string& root, const std::vector<std::string>& files);

} // namespace rpx
