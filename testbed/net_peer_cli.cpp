// The test peer as a program, for benchmarks and runs by hand: serves the given files on one
// interface of the network namespace it is started in, until it is killed.
//   net_peer INTERFACE [--drivers FILE] FILE...
#include "testbed/net_peer.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: net_peer INTERFACE [--drivers FILE] FILE...\n");
        return 2;
    }
    PeerScript script;
    for (int n = 2; n < argc; ++n) {
        std::string path = argv[n];
        bool driver = path == "--drivers" && n + 1 < argc;
        if (driver)
            path = argv[++n];
        std::string name = path.substr(path.rfind('/') + 1);
        PeerFile file{name, {}, path, {}, {}};
        if (driver)
            script.driver = file;
        else
            script.files.push_back(file);
    }
    TestPeer peer(argv[1], script);
    if (!peer.valid()) {
        std::fprintf(stderr, "net_peer: cannot open %s\n", argv[1]);
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
