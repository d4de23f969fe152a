// `rpx install --root DIR FILE...`: installs package files into DIR exactly as an installation
// flow installs them onto a new disk: DIR is mounted at /flash in a private mount namespace,
// and each file is written through a pipe into an installer child of its own.
#pragma once

namespace rpx {

int installCommand(int argc, char** argv);

} // namespace rpx
