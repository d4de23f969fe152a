#pragma once
// Runs a piece of a test inside a root directory of its own, in a forked process: for code that
// starts fixed paths such as /sbin/sfdisk, which must never be this machine's own tools.
#include <functional>
#include <string>

// The body returns "" when all is well, or what went wrong; so does this function (also when
// the child could not enter the root or died).
std::string runInRoot(const std::string& root, const std::function<std::string()>& body);

// A scratch root with bash and the libraries it loads, and a shell script at scriptPath.
// Returns the root directory ("" on failure); removeRoot() deletes it.
std::string makeScriptRoot(const std::string& scriptPath, const std::string& script);
void removeRoot(const std::string& root);
