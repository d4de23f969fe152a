// `check DIR`: the served directory read as `serve` would read it, every problem named.
#pragma once

#include <string>

namespace iserver {

int check(const std::string& directory, const std::string& keyFile);

} // namespace iserver
