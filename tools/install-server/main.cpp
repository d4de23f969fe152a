// install-server: serves the network installation to the machines of a LAN, checks a served
// directory, and simulates installers to test a network.
#include "tools/common/command_line.h"
#include "tools/install-server/check.h"
#include "tools/install-server/exit_codes.h"
#include "tools/install-server/server.h"
#include "tools/install-server/simulator.h"

#include <unistd.h>

using namespace iserver;

static_assert(iserver::exitUsage == hosttools::exitUsage, "one status for a bad command line");

int main(int argc, char** argv) {
    CLI::App app{"Serves the network installation to the machines of a LAN.", "install-server"};
    app.require_subcommand(1);
    app.footer("Exit status: 0 success, 1 machines unfinished, 2 usage, 3 configuration,\n"
               "4 network, 5 content check failed.");

    std::string directory, key;
    auto* checkCommand = app.add_subcommand("check", "Reads and verifies a served directory");
    checkCommand->add_option("DIR", directory, "The served directory")->required();
    checkCommand->add_option("--key", key, "Public key file (default: the installer's key)");

    ServeOptions serveOptions;
    double lostAfter = 120, busyAfter = 3600;
    auto* serveCommand = app.add_subcommand("serve", "Serves a directory to the installers");
    serveCommand->add_option("DIR", serveOptions.directory, "The served directory")->required();
    serveCommand->add_option("--key", serveOptions.publicKey, "Public key file");
    serveCommand->add_option("--interface", serveOptions.interface, "Serve on this interface only");
    serveCommand->add_option("--expect", serveOptions.expect, "Number of machines expected");
    serveCommand->add_flag("--exit-when-done", serveOptions.exitWhenDone,
                           "End once the expected machines are done, failed or lost");
    serveCommand->add_option("--log", serveOptions.logFile, "JSON-lines log file (- for stdout)");
    serveCommand->add_option("--report", serveOptions.reportFile, "JSON report file at the end");
    serveCommand->add_option("--metrics", serveOptions.metricsFile,
                             "Prometheus text file, rewritten every 5 seconds");
    serveCommand->add_option("--table", serveOptions.table, "auto, live, plain or none")
        ->check(CLI::IsMember({"auto", "live", "plain", "none"}));
    serveCommand->add_option("--name", serveOptions.engine.serverName, "Name sent in offers");
    serveCommand->add_option("--lost-after", lostAfter,
                             "Seconds of silence during a transfer before a machine is lost");
    serveCommand->add_option("--busy-after", busyAfter,
                             "Seconds of silence while a machine prepares its disk or finishes");

    SimulateOptions simulateOptions;
    auto* simulateCommand =
        app.add_subcommand("simulate", "Runs N virtual installers against the server");
    simulateCommand->add_option("N", simulateOptions.clients, "Number of clients")->required();
    simulateCommand
        ->add_option("--dir", simulateOptions.directory,
                     "The directory the server serves, to check every byte")
        ->required();
    simulateCommand->add_option("--interface", simulateOptions.interface, "Interface to use");
    simulateCommand->add_option("--release", simulateOptions.release, "Kernel release in DRVR");
    simulateCommand->add_option("--label", simulateOptions.label, "Disk label in DSCV");
    simulateCommand->add_option("--prepare-ms", simulateOptions.prepareMillis,
                                "Milliseconds between YACK and STRT");
    simulateCommand->add_option("--vanish", simulateOptions.vanish,
                                "Client (from 0) that falls silent in its first package");
    simulateCommand->add_option("--timeout", simulateOptions.timeout, "Seconds for the whole run");
    simulateCommand->add_option("--report", simulateOptions.reportFile, "JSON report file");
    simulateCommand->add_option("--mac-base", simulateOptions.macBase,
                                "Added to the clients' addresses");
    simulateCommand->add_flag("--quiet", simulateOptions.quiet, "Only the total line");

    if (int status = hosttools::parseCommandLine(app, argc, argv); status >= 0)
        return status;
    if (*checkCommand)
        return check(directory, key);
    if (*serveCommand) {
        serveOptions.engine.lostAfter = int64_t(lostAfter * 1e6);
        serveOptions.engine.busyAfter = int64_t(busyAfter * 1e6);
        if (serveOptions.engine.serverName.size() > 512 ||
            serveOptions.engine.serverName.find('\n') != std::string::npos)
            return hosttools::usageError(*serveCommand, "--name: at most 512 characters, one line");
        return serve(serveOptions);
    }
    return simulate(simulateOptions);
}
