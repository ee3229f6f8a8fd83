// The program with its window: Qt first, then the start-up steps, then the
// main window until Exit.
#pragma once

#include <string>
#include <vector>

#include "relay/relay_worker.h"

namespace clst {

// True when a Qt platform can be expected to start: a display (X11 or
// Wayland) or an explicitly chosen platform (QT_QPA_PLATFORM).
bool DisplayAvailable();

// Runs the window program; `words` are the arguments after the program name,
// and the window's connections relay with `options`. Without a display it says so,
// points at --headless and returns 2.
int RunGuiApplication(int argc, char** argv, const std::vector<std::string>& words,
                      const RelayOptions& options = {});

}  // namespace clst
