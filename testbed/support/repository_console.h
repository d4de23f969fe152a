// The repository's console kept in memory byte for byte, and package installation as the
// stream installation drives it.
#pragma once

#include "package/record/record_header.h"
#include "repository/repository.h"
#include "testbed/support/memory_stream.h"
#include "testbed/support/package_drafts.h"

#include <string>

namespace testconsole {

// Console text as the screen ends up showing it: status-line updates (ended by a carriage
// return, the cursor shown again) are dropped, message lines kept.
inline std::string messageLines(const std::string& all) {
    std::string out;
    for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = all.substr(at, end - at);
        line.erase(0, line.rfind('\r') + 1);
        if (line.starts_with("\033[?25h"))
            line.erase(0, 6);
        out += line + "\n";
    }
    return out;
}

// The repository's console in memory, given back to standard output at the end.
struct CapturedConsole : MemoryStream {
    explicit CapturedConsole(installer::Repository& repository) : repository(repository) {
        repository.setConsole(stream);
    }
    ~CapturedConsole() { repository.setConsole(stdout); }
    // The message lines only, without the status line's updates and blanking.
    std::string messages() { return messageLines(text()); }

    installer::Repository& repository;
};

// Reads the header parts and installs the contents into `package` (whose disabled flag and
// bundle reference the caller may have set).
inline bool install(installer::Repository& repository, installer::InstalledPackage& package,
                    const std::string& bytes, bool relative = false) {
    testpkg::MemoryReader in(bytes);
    bool disabled = package.disabled, read = installer::readHeader(package, in.reader);
    package.disabled = disabled;
    using installer::InstallationRoot;
    return read && repository.installContents(package, in.reader,
                                              relative ? InstallationRoot::currentDirectory()
                                                       : InstallationRoot::target());
}

} // namespace testconsole
