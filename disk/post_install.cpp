#include "disk/post_install.h"

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
    if (stat("/flash/etc/rc.d/rc.postinstall", &script) == 0)
        runTool("/flash", "/bin/bash", {"-c", "/etc/rc.d/rc.postinstall"});
    else
        runTool("/flash", "/bin/tavo", {"tavo"});
    sync();
    umount("/flash/boot");
    if (!target.separateBoot) {
        // Remounting ignores source and type: the mount at /flash is the one changed.
        if (mount("/dev/hda1", "/flash", "ext3", MS_RDONLY | MS_REMOUNT, nullptr) == 0) {
            startProgress("Checking disk integrity...");
            runTool("/flash", "/sbin/fsck", {"-d", "-v"});
            stopProgress();
        }
    }
    umount("/flash");
}

} // namespace installer
