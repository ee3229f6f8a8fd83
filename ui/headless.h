// The program without a window: `clsertolvane --headless [--echo] WORDS...`.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "relay/relay_worker.h"

namespace clst {

// The program's usage text, for --help and for a command line that names no
// connection.
void PrintUsage(FILE* out);

// Runs start-up and connection control without a window. `words` are the
// program's arguments (the options included: they match none of the command
// line's word tests); the relay runs with `options`. Returns the exit code: 0 after
// SIGINT or SIGTERM, 1 after a connection error or a failed connection, 2 for
// no connection given. With --list among the words it only prints the port
// lists: 0 when a Camera Link port was listed, else 1.
int RunHeadlessMain(const std::vector<std::string>& words, const RelayOptions& options = {});

}  // namespace clst
