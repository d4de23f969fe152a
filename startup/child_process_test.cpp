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

// What a body run in the tool root found wrong.
std::string problems;
void check(bool condition, const std::string& what) {
    if (!condition)
        problems += what + "; ";
}

int exitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
std::string inToolRoot(const char* tool, void (*body)()) {
    std::string root = makeScriptRoot("/sbin/sfdisk", tool);
    if (root.empty())
        return "no scratch root";
    std::string found = runInRoot(root, [body] {
        toolLog = "/tmp/log";
        std::ofstream(toolLog).flush();
        body();
        return problems;
    });
    removeRoot(root);
    return found;
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

TEST_F(ToolLogFile, RunToolSendsOutputToTheToolLogAndReturnsTheWaitStatus127IfItCannotRun) {
    const char* script = "echo to the log; echo errors too >&2; exit 4";
    EXPECT_EQ(exitCode(runTool(nullptr, "/bin/sh", {"-c", script})), 4);
    EXPECT_EQ(fileContents(path_), "to the log\nerrors too\n");
    EXPECT_EQ(runTool(nullptr, "/bin/true", {}), 0);
    EXPECT_EQ(exitCode(runTool(nullptr, "/no/such/program", {"-x"})), 127);
    EXPECT_EQ(exitCode(runTool("/no/such/root", "/bin/true", {})), 127);
}

TEST_F(ToolLogFile, RunToolGivesTheToolNoConsoleInputAndAtMostFifteenArguments) {
    const char* a = "a";
    const char* script = "read x; echo read=$?; echo $#";
    EXPECT_EQ(runTool(nullptr, "/bin/sh",
                      {"-c", script, "sh", a, a, a, a, a, a, a, a, a, a, a, a, a, a, a}),
              0);
    // 15 arguments reach the program: "-c", the command, "sh" and 12 of the 14 a's.
    EXPECT_EQ(fileContents(path_), "read=1\n12\n");
}

TEST_F(ToolLogFile, RunToolInsideARootReadsEveryPathThere) {
    std::string root = makeScriptRoot("/etc/marker", "inside the new root\n");
    ASSERT_FALSE(root.empty());
    EXPECT_EQ(runTool(root.c_str(), "/bin/cat", {"/etc/marker"}), 0);
    // The tool log was opened before the change of root: the output lands here.
    EXPECT_EQ(fileContents(path_), "inside the new root\n");
    removeRoot(root);
}

TEST(PipedChild, OutputOfThePartitioningToolIsReadThroughAPipeOneChildAtATime) {
    auto body = [] {
        check(closePipedChild(stdin) == -1, "closing without a child");
        FILE* listing = openToolOutput({"-g"});
        if (!listing)
            return check(false, "no stream");
        check(pipedChildPid > 0, "child id not kept");
        check(openToolOutput({"-g"}) == nullptr, "second output child started");
        check(openToolInput({"-q"}) == nullptr, "second input child started");
        char line[128] = "";
        fgets(line, sizeof line, listing);
        check(std::string(line) == "args:-g\n", std::string("first line ") + line);
        fgets(line, sizeof line, listing);
        check(std::strncmp(line, "/dev/sda: 1020 cylinders", 24) == 0, "listing");
        int status = closePipedChild(listing);
        check(exitCode(status) == 3, "status of the tool");
        check(pipedChildPid == -1, "slot not freed");
        std::string logged = fileContents("/tmp/log");
        check(logged.rfind("args:-g\n", 0) == 0, "standard error to the tool log: " + logged);
    };
    EXPECT_EQ(inToolRoot(fakeSfdisk, body), "");
}

TEST(PipedChild, InputToThePartitioningToolWithNullLeavesTheArgumentOutAndLogsTheOutput) {
    auto body = [] {
        FILE* table = openToolInput({"-q", "-uC", ">null", "/dev/hda"});
        if (!table)
            return check(false, "no stream");
        fputs("0,100,83,*\n", table);
        fputs("100,900,83,-\n0,0,0\n0,0,0\n", table);
        int status = closePipedChild(table);
        check(status == 0, "status");
        std::string read = fileContents("/tmp/table");
        check(read == "0,100,83,*\n100,900,83,-\n0,0,0\n0,0,0\n", "table read: " + read);
        std::string logged = fileContents("/tmp/log");
        check(logged == "args:-q -uC /dev/hda\nargs:-q -uC /dev/hda\n", "logged: " + logged);
    };
    EXPECT_EQ(inToolRoot(fakeSfdisk, body), "");
}

TEST(PipedChild, WithoutNullTheToolSpeaksOnTheConsoleAndAMissingToolShowsAs127) {
    auto body = [] {
        FILE* console = fopen("/tmp/console", "w");
        dup2(fileno(console), 1);
        dup2(fileno(console), 2);
        FILE* table = openToolInput({"-q", "/dev/sda"});
        if (!table)
            return check(false, "no stream");
        int status = closePipedChild(table);
        check(status == 0, "status");
        std::string shown = fileContents("/tmp/console");
        check(shown == "args:-q /dev/sda\nargs:-q /dev/sda\n", "console: " + shown);
        unlink("/sbin/sfdisk");
        FILE* gone = openToolOutput({"-g"});
        check(gone != nullptr, "a start that cannot exec still gives a stream");
        if (gone) {
            status = closePipedChild(gone);
            check(exitCode(status) == 127, "127 for a missing tool");
        }
    };
    EXPECT_EQ(inToolRoot(fakeSfdisk, body), "");
}

TEST(PipedChild, AToolThatDiesEarlyFailsTheCloseButIsStillCollected) {
    auto body = [] {
        signal(SIGPIPE, SIG_IGN);
        toolLog = "/dev/null";
        FILE* table = openToolInput({"-q", ">null", "/dev/sda"});
        if (!table)
            return check(false, "no stream");
        pid_t child = pipedChildPid;
        // The tool is gone before anything is written; seen without collecting it.
        siginfo_t ended{};
        check(waitid(P_PID, child, &ended, WEXITED | WNOWAIT) == 0, "the tool never ended");
        fputs("0,100,83,*\n", table);
        check(closePipedChild(table) == -1, "a lost table must not look written");
        check(waitpid(child, nullptr, WNOHANG) < 0, "the dead tool was left behind");
    };
    EXPECT_EQ(inToolRoot("#!/bin/bash\nexit 0\n", body), "");
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
