// sandbox: runs the installer (or another program) as process 1 of a sandbox, for a person who
// wants to watch it or a script that wants to drive it. See README.md.
#include "testbed/isolation.h"
#include "testbed/sandbox.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

volatile pid_t runPid = -1;

// Ended from outside: end the run, and let the normal path tear everything down.
void endRun(int) {
    if (runPid > 0)
        kill(runPid, SIGKILL);
}

void usage() {
    std::fprintf(stderr,
                 "usage: sandbox [options] [-- installer arguments]\n"
                 "  --program PATH     binary run as process 1 (default: the static installer)\n"
                 "  --argv0 NAME       its argv[0] (default /sbin/init)\n"
                 "  --type TEXT        contents of /TYPE (C escapes such as \\n allowed)\n"
                 "  --serial           console only as /dev/ttyS0\n"
                 "  --disk NAME=IMAGE  image attached to a loop device, shown as /dev/NAME\n"
                 "  --copy HOST:PATH   file or directory copied into the root\n"
                 "  --bind HOST:PATH   file or directory bind-mounted into the root\n"
                 "  --tool PATH        host program copied in with its libraries\n"
                 "  --tool-log FILE    save what tools wrote to /dev/tty9\n"
                 "  --netns PATH       join this network namespace instead of an empty one\n"
                 "  --timeout SECONDS  kill the run after this long (default 600)\n"
                 "script, run in order (otherwise a terminal on stdin is connected):\n"
                 "  --expect TEXT      wait up to 60 s for TEXT on the console\n"
                 "  --send KEYS        type KEYS (C escapes: \\r is ENTER, \\x03 is Ctrl-C)\n"
                 "  --sleep SECONDS    pause\n");
}

std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'n')
            out += '\n';
        else if (c == 'r')
            out += '\r';
        else if (c == 't')
            out += '\t';
        else if (c == 'e')
            out += '\x1b';
        else if (c == 'x' && i + 2 < text.size() + 1) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

bool splitPair(const std::string& text, char separator, std::string& left, std::string& right) {
    size_t at = text.find(separator);
    if (at == std::string::npos || at == 0 || at + 1 == text.size())
        return false;
    left = text.substr(0, at);
    right = text.substr(at + 1);
    return true;
}

struct Action {
    std::string kind, value;
};

// Connects this terminal to the console until the run ends or the time is up.
void relayTerminal(Sandbox& sandbox, double seconds) {
    termios saved{};
    bool isTerminal = tcgetattr(0, &saved) == 0;
    if (isTerminal) {
        termios raw = saved;
        cfmakeraw(&raw);
        tcsetattr(0, TCSANOW, &raw);
        std::fprintf(stderr,
                     "[sandbox: your keys go to the installer; the run ends by itself]\r\n");
    }
    for (double waited = 0; sandbox.running() && waited < seconds; waited += 0.1) {
        pollfd in{0, POLLIN, 0};
        if (poll(&in, 1, 100) > 0 && (in.revents & POLLIN)) {
            char keys[256];
            ssize_t n = read(0, keys, sizeof keys);
            if (n > 0)
                sandbox.send(std::string(keys, static_cast<size_t>(n)));
        }
    }
    if (isTerminal)
        tcsetattr(0, TCSANOW, &saved);
}

} // namespace

int main(int argc, char** argv) {
    if (!dropRestartAndModuleCapabilities()) {
        std::fprintf(stderr, "sandbox: cannot give up CAP_SYS_BOOT and CAP_SYS_MODULE\n");
        return 2;
    }
    SandboxOptions options;
    std::vector<Action> script;
    std::string toolLogFile;
    double timeout = 600;
    int i = 1;
    for (; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--") {
            ++i;
            break;
        }
        if (option == "--serial") {
            options.serialConsole = true;
            continue;
        }
        if (option == "--help" || i + 1 >= argc) {
            usage();
            return option == "--help" ? 0 : 2;
        }
        std::string value = argv[++i], left, right;
        if (option == "--program")
            options.program = value;
        else if (option == "--argv0")
            options.argv0 = value;
        else if (option == "--type")
            options.type = unescape(value);
        else if (option == "--disk" && splitPair(value, '=', left, right))
            options.disks.push_back({left, right});
        else if (option == "--copy" && splitPair(value, ':', left, right))
            options.copies.push_back({left, right});
        else if (option == "--bind" && splitPair(value, ':', left, right))
            options.binds.push_back({left, right});
        else if (option == "--tool")
            options.hostPrograms.push_back(value);
        else if (option == "--netns")
            options.networkNamespace = value;
        else if (option == "--tool-log")
            toolLogFile = value;
        else if (option == "--timeout")
            timeout = std::atof(value.c_str());
        else if (option == "--expect" || option == "--send" || option == "--sleep")
            script.push_back({option.substr(2), unescape(value)});
        else {
            usage();
            return 2;
        }
    }
    for (; i < argc; ++i)
        options.args.push_back(argv[i]);
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
    bool scriptOk = true;
    for (const Action& action : script) {
        if (action.kind == "expect" && !sandbox.waitFor(action.value, 60)) {
            std::fprintf(stderr, "\n[sandbox: \"%s\" did not appear]\n", action.value.c_str());
            scriptOk = false;
            break;
        }
        if (action.kind == "send")
            sandbox.send(action.value);
        if (action.kind == "sleep")
            usleep(static_cast<useconds_t>(std::atof(action.value.c_str()) * 1e6));
    }
    if (script.empty())
        relayTerminal(sandbox, timeout);
    bool ended = sandbox.wait(scriptOk ? timeout : 1);
    std::fprintf(stderr, "\n[sandbox: %s]\n",
                 ended ? sandbox.endDescription().c_str() : "time is up, killing the run");
    if (!toolLogFile.empty()) {
        if (FILE* file = std::fopen(toolLogFile.c_str(), "w")) {
            std::string log = sandbox.toolLog();
            std::fwrite(log.data(), 1, log.size(), file);
            std::fclose(file);
        }
    }
    if (!sandbox.stop()) {
        std::fprintf(stderr, "sandbox: teardown: %s\n", sandbox.error().c_str());
        return 2;
    }
    return ended && scriptOk ? 0 : 1;
}
