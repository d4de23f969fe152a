#include "disk/post_install.h"

#include "package/record/record_root.h"
#include "startup/child_process.h"
#include "startup/console.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace installer {

void finishInstall(const DiskRecord& target) {
    // The installed system finishes itself; its own script, when it has one, replaces the
    // loader installer. Neither outcome is looked at.
    struct stat script;
    if (stat(installer::TargetPath("/etc/rc.d/rc.postinstall"), &script) == 0)
        runTool(installer::targetDirectory, "/bin/bash", {"-c", "/etc/rc.d/rc.postinstall"});
    else
        runTool(installer::targetDirectory, "/bin/tavo", {"tavo"});
    sync();
    umount(installer::TargetPath("/boot"));
    if (!target.separateBoot) {
        // Remounting ignores source and type: the mount at /flash is the one changed.
        if (mount("/dev/hda1", installer::targetDirectory, "ext3", MS_RDONLY | MS_REMOUNT,
                  nullptr) == 0) {
            startProgress("Checking disk integrity...");
            runTool(installer::targetDirectory, "/sbin/fsck", {"-d", "-v"});
            stopProgress();
        }
    }
    umount(installer::targetDirectory);
}

} // namespace installer
