// What the about box shows: the program file's own version data, with the
// box's placeholders where the file has none.
#pragma once

#include <string>

namespace clst {

inline constexpr const char* kAboutCaption = "About ClserTolvane";
inline constexpr const char* kAboutNotice =
    "com0com: The Null-modem emulator com0com is an open source kernel-mode virtual serial "
    "port driver for Windows, available freely under GPL license.";

struct AboutTexts {
    std::string description = "ClSerTolvane";
    std::string version = "-";
    std::string legal = "-";
    std::string notice = "(notice)";
};

// Reads the description, file version and legal text of the program file at
// `programPath`. A file without version data leaves every placeholder, the
// notice's included; otherwise the notice is set and a missing value keeps
// its placeholder.
AboutTexts LoadAboutTexts(const std::string& programPath);

}  // namespace clst
