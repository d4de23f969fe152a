#include "network/installer_child.h"

#include "network/image_store.h"
#include "package/record/record_header.h"
#include "repository/install_stream.h"
#include "startup/child_process.h"

#include <cerrno>
#include <csignal>
#include <istream>
#include <streambuf>
#include <sys/wait.h>
#include <unistd.h>

namespace installer {

namespace {

// Standard input as a stream buffer that never seeks: a pipe is read once, forward.
class InputBuffer : public std::streambuf {
public:
    explicit InputBuffer(int fd) : fd(fd) {}

protected:
    int_type underflow() override {
        if (gptr() < egptr())
            return traits_type::to_int_type(*gptr());
        ssize_t got;
        do
            got = ::read(fd, buffer, sizeof buffer);
        while (got < 0 && errno == EINTR);
        if (got <= 0)
            return traits_type::eof();
        setg(buffer, buffer, buffer + got);
        return traits_type::to_int_type(*gptr());
    }

private:
    int fd;
    char buffer[65536];
};

void installWithImage(Repository& repository, std::istream& in) {
    ImageFile image;
    if (!image.open()) {
        if (isTargetError(errno))
            repository.noteTargetFailure();
        std::printf("ERROR: could not open image\n");
        return;
    }
    std::string directory;
    int result = installPackageStream(repository, in, olderInstalled, &image, &directory);
    bool whole = image.close();
    if (isTargetError(image.failure()))
        repository.noteTargetFailure();
    if (result == streamInstalled && !directory.empty() && (!whole || !keepImage(directory)))
        std::printf("ERROR: could not save package image\n");
    discardImage();
}

void installDriver(Repository& repository, std::istream& in) {
    PackageReader reader(in, true);
    for (int kind : {partHeader, partArchive, partSignature})
        reader.want(kind);
    reader.next();
    InstalledPackage package;
    if (readHeader(package, reader))
        repository.installContents(package, reader, InstallationRoot::currentDirectory());
}

// The child's side of the pipe: it becomes standard input, and no other descriptor of the
// parent's stays open (a write end kept here would keep the child from seeing the end).
[[noreturn]] void runChild(int readEnd, int writeEnd, InstallerMode mode) {
    if (readEnd != 0) {
        dup2(readEnd, 0);
        ::close(readEnd);
    }
    ::close(writeEnd);
    for (int fd = 3; fd <= 15; ++fd)
        ::close(fd);
    int status = installFromStream(mode == InstallerMode::softwarePackage,
                                   mode == InstallerMode::driverPackage);
    std::fflush(nullptr);
    _exit(status);
}

} // namespace

std::FILE* openInstallerPipe(InstallerMode mode) {
    if (pipedChildPid != -1)
        return nullptr;
    int ends[2];
    if (pipe(ends) != 0)
        return nullptr;
    std::fflush(nullptr);      // nothing buffered is written twice
    pid_t child = forkChild(); // Ctrl-C ends it: the flow holds the abort dialogue
    if (child < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        return nullptr;
    }
    if (child == 0)
        runChild(ends[0], ends[1], mode);
    ::close(ends[0]);
    std::FILE* stream = fdopen(ends[1], "w");
    if (!stream) {
        ::close(ends[1]); // the child reads the end and finishes
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        return nullptr;
    }
    pipedChildPid = child;
    return stream;
}

int installFromStream(bool imageWanted, bool quiet) {
    if (chdir("/") != 0)
        return installerDone;
    Repository& repository = Repository::instance();
    // Each child reads the database afresh: whatever the parent held is not the disk's.
    repository.packages.clear();
    repository.targetFailed = false;
    repository.loadDatabase(quiet);
    InputBuffer buffer(0);
    std::istream in(&buffer);
    if (!imageWanted) {
        installDriver(repository, in);
        return installerDone;
    }
    installWithImage(repository, in);
    return repository.targetFailed ? installerTargetFailed : installerDone;
}

bool targetFailed(int waitStatus) {
    return waitStatus != -1 && WIFEXITED(waitStatus) &&
           WEXITSTATUS(waitStatus) == installerTargetFailed;
}

} // namespace installer
