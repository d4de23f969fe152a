// `simulate N`: N installers in one process, each with its own hardware address, speaking the
// protocol with the installer's own packet code (numbering, acceptance rule, time-outs and
// tries) against a server on the network, and checking every byte against the served files.
#pragma once

#include <cstddef>
#include <string>

namespace iserver {

struct SimulateOptions {
    size_t clients = 1;
    std::string directory; // the directory the server serves, to check against
    std::string interface;
    std::string release = "6.1.0-sim";
    std::string label;          // empty: none (the installer's default label)
    unsigned prepareMillis = 0; // time between YACK and STRT
    long vanish = -1;           // this client falls silent in the middle of its first package
    unsigned timeout = 600;     // seconds for the whole run
    std::string reportFile;     // JSON report; empty: none
    bool quiet = false;
    unsigned macBase = 0; // added to every client's address, so that runs side by side differ
};

int simulate(const SimulateOptions& options);

} // namespace iserver
