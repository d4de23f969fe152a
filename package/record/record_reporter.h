// Where package records send their failure reports. Records sit below the repository, which owns
// the console; the repository implements this interface and is passed in by the caller, so the
// record code never reaches up a layer.
#pragma once

#include <cerrno>
#include <string>

namespace installer {

struct InstalledPackage;

class RecordReporter {
public:
    // One error line (the receiver adds its "ERROR: " prefix and handles the status line).
    virtual void reportError(const std::string& text) = 0;

protected:
    ~RecordReporter() = default;
};

// "installation of %s failed: ..." naming what could not be created. The error number decides
// the wording, so callers pass the one of the failed call (errno right after it, the default).
void reportCreateFailure(RecordReporter& reporter, const InstalledPackage& package,
                         const std::string& item, int error = errno);

// "installation of %s failed: broken package".
void reportBrokenPackage(RecordReporter& reporter, const InstalledPackage& package);

} // namespace installer
