// The exit statuses of every subcommand, as the README documents them.
#pragma once

namespace iserver {

enum ExitCode {
    exitSuccess = 0,
    exitUnfinished = 1,    // some machine did not finish (failed, lost, or never came)
    exitUsage = 2,         // bad command line
    exitConfiguration = 3, // the served directory or a key cannot be used at all
    exitNetwork = 4,       // the socket cannot be opened or used
    exitContent = 5,       // the content check found problems
};

} // namespace iserver
