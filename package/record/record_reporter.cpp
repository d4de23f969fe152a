#include "package/record/record_reporter.h"

#include "package/record/installed_package.h"
#include "package/record/version.h"

#include <cstring>

namespace installer {

bool isTargetError(int error) {
    return error == ENOSPC || error == EIO;
}

void reportCreateFailure(RecordReporter& reporter, const InstalledPackage& package,
                         const std::string& item, int error) {
    std::string label = displayLabel(package, package.bundle);
    if (isTargetError(error))
        reporter.noteTargetFailure();
    if (error == ENOSPC)
        reporter.reportError("installation of " + label + " failed: disk is too small");
    else if (error == EIO)
        reporter.reportError("installation of " + label + " failed: disk error");
    else
        reporter.reportError("installation of " + label + " failed: could not create " + item +
                             ": " + std::strerror(error));
}

void reportBrokenPackage(RecordReporter& reporter, const InstalledPackage& package) {
    reporter.reportError("installation of " + displayLabel(package, package.bundle) +
                         " failed: broken package");
}

} // namespace installer
