#include "tools/common/command_line.h"

#include <iostream>
#include <memory>

namespace hosttools {

namespace {

class FixedHelp : public CLI::FormatterBase {
public:
    explicit FixedHelp(std::string text) : text(std::move(text)) {}
    std::string make_help(const CLI::App*, std::string, CLI::AppFormatMode) const override {
        return text;
    }

private:
    std::string text;
};

// "install-server serve": the program's name and the commands down to app.
std::string commandName(const CLI::App& app) {
    const CLI::App* parent = app.get_parent();
    return parent ? commandName(*parent) + ' ' + app.get_name() : app.get_name();
}

// The command that was being read when parsing stopped.
const CLI::App& deepestCommand(const CLI::App& app) {
    std::vector<CLI::App*> selected = app.get_subcommands();
    return selected.empty() ? app : deepestCommand(*selected.front());
}

bool isCommandOf(const CLI::App& app, const std::string& name) {
    for (const CLI::App* command : app.get_subcommands({}))
        if (command->get_name() == name)
            return true;
    return false;
}

} // namespace

void useHelpText(CLI::App& app, std::string text) {
    app.formatter(std::make_shared<FixedHelp>(std::move(text)));
}

int usageError(const CLI::App& app, const std::string& what) {
    std::string name = commandName(app);
    std::string program = name.substr(0, name.find(' '));
    std::string prefix = app.get_parent() ? app.get_name() + ": " : "";
    std::cerr << program << ": " << prefix << what << " (see " << name << " --help)\n";
    return exitUsage;
}

int parseCommandLine(CLI::App& app, int argc, char** argv) {
    bool hasCommands = !app.get_subcommands({}).empty();
    if (hasCommands && argc < 2) {
        std::cerr << app.help();
        return exitUsage;
    }
    if (hasCommands && std::string(argv[1]) == "help") {
        std::cout << app.help();
        return 0;
    }
    if (hasCommands && argv[1][0] != '-' && !isCommandOf(app, argv[1]))
        return usageError(app, std::string("unknown command \"") + argv[1] + '"');
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        std::cout << app.help("", CLI::AppFormatMode::All);
        return 0;
    } catch (const CLI::ParseError& error) {
        return usageError(deepestCommand(app), error.what());
    }
    return -1;
}

} // namespace hosttools
