// The fuzz scratch world keeps its promises: this machine's files out of reach and no device
// nodes, and every change outside a target's root seen. Each case runs in a forked child, since
// entering the world changes the whole process for good.
#include "testbed/fuzz_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

namespace {

// The child's exit status: 0, or the number of the first check that failed.
int inScratchWorld(const std::function<int()>& body) {
    pid_t child = fork();
    if (child == 0) {
        char name[] = "fuzz_support_test";
        char* argv[] = {name, nullptr};
        _exit(fuzz::enterScratchWorld(1, argv) ? body() : 100);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

// Whether the file could be made: a refused open leaves the stream failed.
bool makeFile(const char* path, const char* text = "x") {
    return static_cast<bool>(std::ofstream(path) << text);
}

TEST(FuzzScratchWorld, MachineFilesAndDevicesAreOutOfReach) {
    EXPECT_EQ(inScratchWorld([] {
                  if (open("/etc/passwd", O_WRONLY | O_CLOEXEC) >= 0 || errno != EROFS)
                      return 1;
                  if (makeFile("/usr/fuzz-was-here"))
                      return 2;
                  if (mknod("/flash/disk", S_IFBLK | 0600, makedev(8, 0)) == 0)
                      return 3;
                  // What the scratch world itself holds is writable.
                  if (!makeFile("/flash/file") || !makeFile("/scratch/file"))
                      return 4;
                  return 0;
              }),
              0);
}

TEST(FuzzScratchWorld, ChangesOutsideTheRootAreSeenAndInsideAreNot) {
    EXPECT_EQ(inScratchWorld([] {
                  std::string what;
                  if (fuzz::outsideChanged("/flash", what))
                      return 1;
                  mkdir("/flash/etc", 0755);
                  if (!makeFile("/flash/etc/inside") || fuzz::outsideChanged("/flash", what))
                      return 2;
                  if (!fuzz::outsideChanged("/scratch", what) ||
                      what.find("changed: /flash\n") == std::string::npos)
                      return 3;
                  if (!makeFile("/outside/decoy", "other") ||
                      !fuzz::outsideChanged("/flash", what) || what != "changed: /outside/decoy\n")
                      return 4;
                  if (!makeFile("/ram/pdb/new") || !fuzz::outsideChanged("/flash", what) ||
                      what.find("appeared: /ram/pdb/new\n") == std::string::npos)
                      return 5;
                  unlink("/ram/pdb/new");
                  rmdir("/outside/dir");
                  if (!fuzz::outsideChanged("/flash", what) ||
                      what.find("vanished: /outside/dir\n") == std::string::npos)
                      return 6;
                  fuzz::clearDirectory("/flash");
                  struct stat st;
                  if (stat("/flash/etc", &st) == 0 || stat("/flash", &st) != 0)
                      return 7;
                  // After clearing, the world as it is is the new reference.
                  if (fuzz::outsideChanged("/flash", what))
                      return 8;
                  return 0;
              }),
              0);
}

} // namespace
