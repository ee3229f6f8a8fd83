// clsertolvane: the program. With --headless it runs without a window;
// otherwise it opens its window on the Qt platform of the session. Options
// go before the words; they match none of the word tests, so they are handed
// on with the words.
#include <cstdio>
#include <string>
#include <vector>

#include "relay/relay_worker.h"
#include "ui/headless.h"
#include "ui/qt/gui_application.h"

#ifndef CLST_VERSION
#define CLST_VERSION "0.0.0"
#endif

int main(int argc, char** argv) {
    bool headless = false;
    clst::RelayOptions options;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            clst::PrintUsage(stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("clsertolvane %s\n", CLST_VERSION);
            return 0;
        }
        // Listing the ports needs no window either.
        if (arg == "--headless" || arg == "--list")
            headless = true;
        if (arg == "--low-latency")
            options.mode = clst::RelayMode::kLowLatency;
        if (arg == "--follow-baud")
            options.followLineRate = true;
        words.push_back(arg);
    }
    if (headless)
        return clst::RunHeadlessMain(words, options);
    return clst::RunGuiApplication(argc, argv, words, options);
}
