// A fresh port directory for one test program, made the process's port
// directory (CLSERTOLVANE_PORT_DIR) and removed with what is left in it.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
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
    if (DIR* listing = opendir(dir.c_str())) {
        while (dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                unlink((dir + "/" + name).c_str());
        }
        closedir(listing);
    }
    rmdir(dir.c_str());
    unsetenv("CLSERTOLVANE_PORT_DIR");
}

}  // namespace clst::testing
