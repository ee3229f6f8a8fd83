#include "platform/program_path.h"

#include <unistd.h>

#include <climits>
#include <vector>

namespace clst::platform {

std::string ProgramPath() {
    std::vector<char> buffer(PATH_MAX);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            return {};
        }
        if (static_cast<size_t>(n) < buffer.size()) {
            return std::string(buffer.data(), static_cast<size_t>(n));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string ParentDirectory(const std::string& path) {
    std::string::size_type end = path.size();
    while (end > 1 && path[end - 1] == '/') {
        --end;
    }
    std::string::size_type slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) {
        return {};
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

std::string ProgramDirectory() {
    return ParentDirectory(ProgramPath());
}

std::string ProgramLibraryDirectory() {
    std::string dir = ProgramDirectory();
    if (dir.empty()) {
        return {};
    }
    std::string parent = ParentDirectory(dir);
    if (parent == "/") {
        return "/lib";
    }
    return parent + "/lib";
}

}  // namespace clst::platform
