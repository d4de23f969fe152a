// sandbox: runs the installer (or another program) as process 1 of a sandbox, for a person who
// wants to watch it or a script that wants to drive it. See README.md.
#include "testbed/console_script.h"
#include "testbed/isolation.h"
#include "testbed/sandbox.h"
#include "testbed/support/text_files.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

volatile pid_t runPid = -1;

// Ended from outside: end the run, and let the normal path tear everything down.
void endRun(int) {
    if (runPid > 0)
        kill(runPid, SIGKILL);
}

// "NAME=IMAGE", "HOST:PATH": both sides must be there.
template <class Pair>
bool splitEach(const std::vector<std::string>& given, char separator, std::vector<Pair>& into,
               std::string& bad) {
    for (const std::string& text : given) {
        size_t at = text.find(separator);
        if (at == std::string::npos || at == 0 || at + 1 == text.size()) {
            bad = text;
            return false;
        }
        into.push_back({text.substr(0, at), text.substr(at + 1)});
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (!dropRestartAndModuleCapabilities()) {
        std::fprintf(stderr, "sandbox: cannot give up CAP_SYS_BOOT and CAP_SYS_MODULE\n");
        return 2;
    }
    CLI::App app{"Runs the installer (or another program) as process 1 of a sandbox.", "sandbox"};
    SandboxOptions options;
    std::string type, toolLogFile;
    std::vector<std::string> disks, copies, binds;
    double timeout = 600;
    app.add_option("--program", options.program,
                   "Binary run as process 1 (default: the static installer)");
    app.add_option("--argv0", options.argv0, "Its argv[0]")->capture_default_str();
    app.add_option("--type", type, "Contents of /TYPE (C escapes such as \\n allowed)");
    app.add_flag("--serial", options.serialConsole, "Console only as /dev/ttyS0");
    app.add_option("--disk", disks, "Image attached to a loop device, shown as /dev/NAME")
        ->type_name("NAME=IMAGE");
    app.add_option("--copy", copies, "File or directory copied into the root")
        ->type_name("HOST:PATH");
    app.add_option("--bind", binds, "File or directory bind-mounted into the root")
        ->type_name("HOST:PATH");
    app.add_option("--tool", options.hostPrograms, "Host program copied in with its libraries");
    app.add_option("--tool-log", toolLogFile, "Save what tools wrote to /dev/tty9");
    app.add_option("--netns", options.networkNamespace,
                   "Join this network namespace instead of an empty one");
    app.add_option("--timeout", timeout, "Kill the run after this long")->capture_default_str();
    app.add_option("ARGS", options.args, "Arguments of the installer, after --");
    addConsoleScriptOptions(app, false, 60);
    if (int status = hosttools::parseCommandLine(app, argc, argv); status >= 0)
        return status;
    if (app.count("--type"))
        options.type = unescapeKeys(type);
    std::string bad;
    if (!splitEach(disks, '=', options.disks, bad))
        return hosttools::usageError(app, "--disk: NAME=IMAGE expected, not \"" + bad + '"');
    if (!splitEach(copies, ':', options.copies, bad) || !splitEach(binds, ':', options.binds, bad))
        return hosttools::usageError(app, "HOST:PATH expected, not \"" + bad + '"');
    std::vector<ConsoleStep> script = consoleScript(app);
    options.consoleObserver = [](const char* data, size_t size) {
        if (write(1, data, size) < 0) {
        }
    };

    Sandbox sandbox(options);
    if (!sandbox.start()) {
        std::fprintf(stderr, "sandbox: %s\n", sandbox.error().c_str());
        return 2;
    }
    runPid = sandbox.hostPid();
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        std::signal(sig, endRun);
    ConsoleDriver run{
        [&](const std::string& text, double seconds) { return sandbox.waitFor(text, seconds); },
        [&](const std::string& keys) { sandbox.send(keys); },
        {},
        [&] { return sandbox.running(); }};
    bool scriptOk = runConsoleScript(script, run, 60, "sandbox");
    if (script.empty())
        relayTerminal(run, timeout,
                      "[sandbox: your keys go to the installer; the run ends by itself]");
    bool ended = sandbox.wait(scriptOk ? timeout : 1);
    std::fprintf(stderr, "\n[sandbox: %s]\n",
                 ended ? sandbox.endDescription().c_str() : "time is up, killing the run");
    if (!toolLogFile.empty())
        writeFile(toolLogFile, sandbox.toolLog());
    if (!sandbox.stop()) {
        std::fprintf(stderr, "sandbox: teardown: %s\n", sandbox.error().c_str());
        return 2;
    }
    return ended && scriptOk ? 0 : 1;
}
