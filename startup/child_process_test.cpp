// Child processes for real: system tools run to completion and the one piped partitioning tool.
// The partitioning tool's path is fixed, so those cases run inside a scratch root whose
// /sbin/sfdisk is a script: nothing here reaches this machine's own disks.
#include "startup/child_process.h"
#include "startup/console.h"
#include "testbed/chroot_runner.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace installer;

namespace {

std::string check(bool condition, const std::string& what) {
    return condition ? "" : what + "; ";
}

// A stand-in partitioning tool: reports its arguments, what it read and its open descriptors.
const char* const fakeSfdisk = R"(#!/bin/bash
echo "args:$*"
echo "args:$*" >&2
if [ "$1" = -g ]; then
    echo "/dev/sda: 1020 cylinders, 16 heads, 63 sectors/track"
    exit 3
fi
cat > /tmp/table
for fd in 3 4 5 6 7 8 9 11 12 13 14 15; do  # bash itself keeps 10 while redirecting
    if { true >&$fd; } 2>/dev/null; then echo "descriptor $fd open" >> /tmp/table; fi
done
)";

// Runs body in a scratch root whose /sbin/sfdisk is `tool`, with the tool log at /tmp/log there.
std::string inToolRoot(const char* tool, std::string (*body)()) {
    std::string root = makeScriptRoot("/sbin/sfdisk", tool);
    if (root.empty())
        return "no scratch root";
    std::string problems = runInRoot(root, [body] {
        toolLog = "/tmp/log";
        std::ofstream(toolLog).flush();
        return body();
    });
    removeRoot(root);
    return problems;
}

class ToolLogFile : public testing::Test {
protected:
    void SetUp() override {
        path_ = testing::TempDir() + "tool-log-" + std::to_string(getpid());
        std::ofstream(path_, std::ios::trunc).flush(); // like /dev/tty9, it exists beforehand
        saved_ = toolLog;
        toolLog = path_.c_str();
    }
    void TearDown() override {
        toolLog = saved_;
        unlink(path_.c_str());
    }
    std::string path_;
    const char* saved_ = nullptr;
};

} // namespace

TEST_F(ToolLogFile, RunToolSendsOutputToTheToolLogAndReturnsTheWaitStatus) {
    int status =
        runTool(nullptr, "/bin/sh", {"-c", "echo to the log; echo errors too >&2; exit 4"});
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4);
    EXPECT_EQ(fileContents(path_), "to the log\nerrors too\n");
    EXPECT_EQ(runTool(nullptr, "/bin/true", {}), 0);
}

TEST_F(ToolLogFile, AProgramThatCannotRunEndsWithStatus127) {
    int status = runTool(nullptr, "/no/such/program", {"-x"});
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 127);
    status = runTool("/no/such/root", "/bin/true", {});
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 127);
}

TEST_F(ToolLogFile, RunToolGivesTheToolNoConsoleInputAndAtMostFifteenArguments) {
    const char* a = "a";
    int status = runTool(
        nullptr, "/bin/sh",
        {"-c", "read x; echo read=$?; echo $#", "sh", a, a, a, a, a, a, a, a, a, a, a, a, a, a, a});
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // 15 arguments reach the program: "-c", the command, "sh" and 12 of the 14 a's.
    EXPECT_EQ(fileContents(path_), "read=1\n12\n");
}

TEST_F(ToolLogFile, RunToolInsideARootReadsEveryPathThere) {
    std::string root = makeScriptRoot("/etc/marker", "inside the new root\n");
    ASSERT_FALSE(root.empty());
    int status = runTool(root.c_str(), "/bin/cat", {"/etc/marker"});
    EXPECT_EQ(status, 0);
    // The tool log was opened before the change of root: the output lands here.
    EXPECT_EQ(fileContents(path_), "inside the new root\n");
    removeRoot(root);
}

TEST(PipedChild, OutputOfThePartitioningToolIsReadThroughAPipeOneChildAtATime) {
    std::string problems = inToolRoot(fakeSfdisk, [] {
        std::string p;
        p += check(closePipedChild(stdin) == -1, "closing without a child");
        FILE* listing = openToolOutput({"-g"});
        if (!listing)
            return std::string("no stream");
        p += check(pipedChildPid > 0, "child id not kept");
        p += check(openToolOutput({"-g"}) == nullptr, "second output child started");
        p += check(openToolInput({"-q"}) == nullptr, "second input child started");
        char line[128] = "";
        fgets(line, sizeof line, listing);
        p += check(std::string(line) == "args:-g\n", std::string("first line ") + line);
        fgets(line, sizeof line, listing);
        p += check(std::strncmp(line, "/dev/sda: 1020 cylinders", 24) == 0, "listing");
        int status = closePipedChild(listing);
        p += check(WIFEXITED(status) && WEXITSTATUS(status) == 3, "status of the tool");
        p += check(pipedChildPid == -1, "slot not freed");
        std::string logged = fileContents("/tmp/log");
        p += check(logged.rfind("args:-g\n", 0) == 0, "standard error to the tool log: " + logged);
        return p;
    });
    EXPECT_EQ(problems, "");
}

TEST(PipedChild, InputToThePartitioningToolWithNullLeavesTheArgumentOutAndLogsTheOutput) {
    std::string problems = inToolRoot(fakeSfdisk, [] {
        std::string p;
        FILE* table = openToolInput({"-q", "-uC", ">null", "/dev/hda"});
        if (!table)
            return std::string("no stream");
        fputs("0,100,83,*\n", table);
        fputs("100,900,83,-\n0,0,0\n0,0,0\n", table);
        int status = closePipedChild(table);
        p += check(status == 0, "status");
        std::string read = fileContents("/tmp/table");
        p += check(read == "0,100,83,*\n100,900,83,-\n0,0,0\n0,0,0\n", "table read: " + read);
        std::string logged = fileContents("/tmp/log");
        p += check(logged == "args:-q -uC /dev/hda\nargs:-q -uC /dev/hda\n", "logged: " + logged);
        return p;
    });
    EXPECT_EQ(problems, "");
}

TEST(PipedChild, WithoutNullTheToolSpeaksOnTheConsoleAndAMissingToolShowsAs127) {
    std::string problems = inToolRoot(fakeSfdisk, [] {
        std::string p;
        FILE* console = fopen("/tmp/console", "w");
        dup2(fileno(console), 1);
        dup2(fileno(console), 2);
        FILE* table = openToolInput({"-q", "/dev/sda"});
        if (!table)
            return std::string("no stream");
        int status = closePipedChild(table);
        p += check(status == 0, "status");
        std::string shown = fileContents("/tmp/console");
        p += check(shown == "args:-q /dev/sda\nargs:-q /dev/sda\n", "console: " + shown);
        unlink("/sbin/sfdisk");
        FILE* gone = openToolOutput({"-g"});
        p += check(gone != nullptr, "a start that cannot exec still gives a stream");
        if (gone) {
            status = closePipedChild(gone);
            p += check(WIFEXITED(status) && WEXITSTATUS(status) == 127, "127 for a missing tool");
        }
        return p;
    });
    EXPECT_EQ(problems, "");
}

TEST(PipedChild, AToolThatDiesEarlyFailsTheCloseButIsStillCollected) {
    std::string problems = inToolRoot("#!/bin/bash\nexit 0\n", [] {
        std::string p;
        signal(SIGPIPE, SIG_IGN);
        toolLog = "/dev/null";
        FILE* table = openToolInput({"-q", ">null", "/dev/sda"});
        if (!table)
            return std::string("no stream");
        pid_t child = pipedChildPid;
        usleep(300000); // the tool is gone before anything is written
        fputs("0,100,83,*\n", table);
        p += check(closePipedChild(table) == -1, "a lost table must not look written");
        p += check(waitpid(child, nullptr, WNOHANG) < 0, "the dead tool was left behind");
        return p;
    });
    EXPECT_EQ(problems, "");
}

// An interrupt that lands between fork and exec must not run a second abort in the child.
TEST(ForkChild, TheChildStartsWithTheDefaultInterruptActionAndAnInterruptSignalLetThrough) {
    struct sigaction abortLike {
    }, saved{};
    abortLike.sa_handler = [](int) { _exit(3); };
    sigemptyset(&abortLike.sa_mask);
    sigaction(SIGINT, &abortLike, &saved);
    pid_t child = forkChild();
    if (child == 0) {
        struct sigaction now {};
        sigaction(SIGINT, nullptr, &now);
        sigset_t mask;
        sigprocmask(SIG_SETMASK, nullptr, &mask);
        _exit(now.sa_handler == SIG_DFL && !sigismember(&mask, SIGINT) ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct sigaction mine {};
    sigaction(SIGINT, nullptr, &mine);
    EXPECT_EQ(mine.sa_handler, abortLike.sa_handler) << "the parent keeps its handler";
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGINT)) << "the parent lets interrupts through again";
    sigaction(SIGINT, &saved, nullptr);
}
