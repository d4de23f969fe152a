#include "testbed/console_script.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char* const scriptOptions[] = {"--expect", "--send", "--key", "--sleep"};

} // namespace

std::string unescapeKeys(const std::string& text) {
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
        else if (c == 'x' && i + 1 < text.size()) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

void addConsoleScriptOptions(CLI::App& app, bool keys, int expectSeconds) {
    const std::string help[] = {
        "Wait up to " + std::to_string(expectSeconds) + " s for TEXT on the console",
        "Type KEYS on the console (C escapes: \\r is ENTER, \\x03 is Ctrl-C)",
        "Press KEYS on the PC keyboard (monitor names: ctrl-alt-delete)", "Pause SECONDS"};
    const char* const types[] = {"TEXT", "KEYS", "KEYS", "SECONDS"};
    for (size_t i = 0; i < std::size(scriptOptions); ++i)
        if (keys || std::string(scriptOptions[i]) != "--key")
            app.add_option(scriptOptions[i], help[i])
                ->type_name(types[i])
                ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
                ->group("Script, run in order (without one this terminal is the console)");
}

std::vector<ConsoleStep> consoleScript(const CLI::App& app) {
    // Each option keeps its own values in order; the parse order interleaves them.
    std::map<const CLI::Option*, size_t> taken;
    std::vector<ConsoleStep> steps;
    for (const CLI::Option* option : app.parse_order()) {
        std::string name = option->get_name();
        bool isStep = false;
        for (const char* step : scriptOptions)
            isStep = isStep || name == step;
        if (!isStep)
            continue;
        const std::vector<std::string>& values = option->results();
        size_t index = taken[option]++;
        if (index < values.size())
            steps.push_back({name.substr(2), unescapeKeys(values[index])});
    }
    return steps;
}

bool runConsoleScript(const std::vector<ConsoleStep>& steps, const ConsoleDriver& run,
                      double expectSeconds, const char* program) {
    for (const ConsoleStep& step : steps) {
        if (step.kind == "expect" && !run.waitFor(step.value, expectSeconds)) {
            std::fprintf(stderr, "\n[%s: \"%s\" did not appear]\n", program, step.value.c_str());
            return false;
        }
        if (step.kind == "send")
            run.send(step.value);
        if (step.kind == "key" && !run.sendKey(step.value))
            std::fprintf(stderr, "\n[%s: the monitor did not take %s]\n", program,
                         step.value.c_str());
        if (step.kind == "sleep")
            usleep(static_cast<useconds_t>(std::atof(step.value.c_str()) * 1e6));
    }
    return true;
}

void relayTerminal(const ConsoleDriver& run, double seconds, const char* banner, char leaveKey,
                   const volatile sig_atomic_t* interrupted) {
    termios saved{};
    bool isTerminal = tcgetattr(0, &saved) == 0;
    if (isTerminal) {
        termios raw = saved;
        cfmakeraw(&raw);
        tcsetattr(0, TCSANOW, &raw);
        std::fprintf(stderr, "%s\r\n", banner);
    }
    for (double waited = 0; run.running() && waited < seconds && !(interrupted && *interrupted);
         waited += 0.1) {
        pollfd in{0, POLLIN, 0};
        if (poll(&in, 1, 100) > 0 && (in.revents & POLLIN)) {
            char keys[256];
            ssize_t n = read(0, keys, sizeof keys);
            if (n <= 0)
                break;
            std::string typed(keys, static_cast<size_t>(n));
            if (leaveKey && typed.find(leaveKey) != std::string::npos)
                break;
            run.send(typed);
        }
    }
    if (isTerminal)
        tcsetattr(0, TCSANOW, &saved);
}
