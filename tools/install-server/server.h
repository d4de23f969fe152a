// `serve`: the event loop around the engine. One non-blocking socket, one thread; signals come
// in through a descriptor like the datagrams do.
#pragma once

#include "tools/install-server/engine.h"

#include <string>

namespace iserver {

struct ServeOptions {
    std::string directory;
    std::string publicKey; // key file; empty: the key built into the installer
    std::string interface;
    std::string logFile, reportFile, metricsFile;
    size_t expect = 0;
    bool exitWhenDone = false;
    std::string table = "auto"; // "auto", "live", "plain", "none"
    EngineSettings engine;
};

// Serves until told to stop (or until the expected machines are settled); the exit status.
int serve(const ServeOptions& options);

// Loads the directory, printing every problem to standard error; null when there were any.
std::shared_ptr<Content> loadChecked(const std::string& directory, const std::string& keyFile,
                                     bool verify, int& status);

} // namespace iserver
