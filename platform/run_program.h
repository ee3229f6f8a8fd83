// Runs another program to its end and keeps what it printed: for the few
// helpers the tools call (Wine's reg and wineserver).
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace clst::platform {

struct ProgramResult {
    bool started = false;   // false: `error` says why it could not be started
    bool finished = false;  // false: still running at the time limit, and killed
    int exitCode = -1;      // when it finished by exiting (-1 for a signal)
    std::string output;     // standard output
    std::string error;      // standard error, or why it did not start
};

// The full path of `name` found on PATH (or `name` itself when it holds a
// '/' and is executable); "" when there is none.
std::string FindProgram(const std::string& name);

// Runs `argv` (argv[0] a path) with the environment of this program plus
// `setEnv`, standard input from /dev/null, for at most `limit`. It is done
// when the program exits: helpers it leaves behind (a daemon that keeps the
// output pipes open) do not hold up the caller.
ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& setEnv,
                         std::chrono::milliseconds limit);

}  // namespace clst::platform
