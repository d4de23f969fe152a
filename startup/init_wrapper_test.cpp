// The init wrapper: the first process only waits, and hands on how the worker ended.
#include "startup/init_wrapper.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace installer;

TEST(InitWrapper, OnlyANameWithInitForks) {
    for (const char* name : {"/sbin/init", "init", "/linuxrc-init"})
        EXPECT_TRUE(startedAsInit(name)) << name;
    for (const char* name : {"/sbin/installer", "INIT", ""})
        EXPECT_FALSE(startedAsInit(name)) << name;
    EXPECT_FALSE(startedAsInit(nullptr));
}

TEST(InitWrapper, ParentReturnsTheWorkersRawWaitStatusOfASignalAsOfAnExit) {
    int exitCode = 0;
    if (!forkAndWaitAsInit(exitCode)) { // the worker
        raise(SIGTERM);
        _exit(0);
    }
    EXPECT_TRUE(WIFSIGNALED(exitCode));
    EXPECT_EQ(WTERMSIG(exitCode), SIGTERM);
}

TEST(InitWrapper, WaitingSurvivesSignalsThatInterruptIt) {
    struct sigaction quiet {};
    quiet.sa_handler = [](int) {};
    sigaction(SIGUSR1, &quiet, nullptr); // no SA_RESTART: the wait is cut short
    pid_t parent = getpid();
    int exitCode = 0;
    if (!forkAndWaitAsInit(exitCode)) {
        kill(parent, SIGUSR1);
        usleep(200000);
        kill(parent, SIGUSR1);
        usleep(200000);
        _exit(9);
    }
    signal(SIGUSR1, SIG_DFL);
    EXPECT_TRUE(WIFEXITED(exitCode));
    EXPECT_EQ(WEXITSTATUS(exitCode), 9);
}

// Ctrl-Alt-Delete reaches the first process as the interrupt signal: the worker must get it.
TEST(InitWrapper, InterruptSignalsOfTheFirstProcessGoToTheWorker) {
    int exitCode = 0;
    if (!forkAndWaitAsInit(exitCode)) {
        struct sigaction got {};
        got.sa_handler = [](int) { _exit(7); };
        sigaction(SIGINT, &got, nullptr);
        kill(getppid(), SIGINT);
        for (int i = 0; i < 50; ++i)
            usleep(100000);
        _exit(1);
    }
    EXPECT_TRUE(WIFEXITED(exitCode));
    EXPECT_EQ(WEXITSTATUS(exitCode), 7) << "the worker never saw the interrupt";
    struct sigaction now {};
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL) << "the forwarding outlived the wait";
}
