// A fresh port directory for one test program, made the process's port
// directory (CLSERTOLVANE_PORT_DIR) and removed with what is left in it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace clst::testing {

// `pattern` ends in XXXXXX, as for mkdtemp; "" when no directory could be made.
inline std::string MakePrivatePortDirectory(std::string pattern) {
    if (mkdtemp(pattern.data()) == nullptr)
        return "";
    setenv("CLSERTOLVANE_PORT_DIR", pattern.c_str(), 1);
    return pattern;
}

inline void RemovePrivatePortDirectory(const std::string& dir) {
    std::error_code ignored;
    if (!dir.empty())
        std::filesystem::remove_all(dir, ignored);
    unsetenv("CLSERTOLVANE_PORT_DIR");
}

}  // namespace clst::testing
