// The test peer as a program, for benchmarks and runs by hand: serves the given files on one
// interface of the network namespace it is started in, until it is killed.
//   net_peer INTERFACE [--drivers FILE] FILE...
#include "testbed/net_peer.h"
#include "tools/common/command_line.h"

#include <csignal>
#include <cstdio>

namespace {

PeerFile servedFile(const std::string& path) {
    return {path.substr(path.rfind('/') + 1), {}, path, {}, {}};
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Serves files as a scriptable install server, until it is killed.", "net_peer"};
    std::string interface, drivers;
    std::vector<std::string> files;
    app.add_option("INTERFACE", interface, "Network interface to serve on")->required();
    app.add_option("FILE", files, "Files served, in this order");
    app.add_option("--drivers", drivers, "File served as the drivers disk");
    if (int status = hosttools::parseCommandLine(app, argc, argv); status >= 0)
        return status;
    PeerScript script;
    if (!drivers.empty())
        script.driver = servedFile(drivers);
    for (const std::string& path : files)
        script.files.push_back(servedFile(path));
    TestPeer peer(interface, script);
    if (!peer.valid()) {
        std::fprintf(stderr, "net_peer: cannot open %s\n", interface.c_str());
        return 1;
    }
    peer.start();
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int signal;
    sigwait(&set, &signal);
    peer.stop();
    return 0;
}
