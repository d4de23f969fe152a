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
    // The target itself failed (full, or failing to read or write): whatever comes next would
    // fail the same way, so the installation as a whole must not count as done.
    virtual void noteTargetFailure() {}

protected:
    ~RecordReporter() = default;
};

// Errors that belong to the disk rather than to a package: no space left, input/output error.
bool isTargetError(int error);

// "installation of %s failed: ..." naming what could not be created. The error number decides
// the wording, so callers pass the one of the failed call (errno right after it, the default).
void reportCreateFailure(RecordReporter& reporter, const InstalledPackage& package,
                         const std::string& item, int error = errno);

// "installation of %s failed: broken package".
void reportBrokenPackage(RecordReporter& reporter, const InstalledPackage& package);

} // namespace installer
