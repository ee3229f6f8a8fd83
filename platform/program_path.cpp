#include "platform/program_path.h"

#include <sys/stat.h>
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

namespace {

// "<prefix>/lib" for a program in <prefix>/bin ("" when `programPath` has no
// directory).
std::string LibFolderBeside(const std::string& programPath) {
    const std::string dir = ParentDirectory(programPath);
    if (dir.empty()) {
        return {};
    }
    const std::string parent = ParentDirectory(dir);
    return (parent == "/" ? "" : parent) + "/lib";
}

}  // namespace

std::string InstalledLibraryDirectory(const std::string& programPath) {
    const std::string lib = LibFolderBeside(programPath);
    if (lib.empty()) {
        return {};
    }
    const std::string folder = lib + "/clsertolvane";
    struct stat st {};
    return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? folder : std::string();
}

std::string ProgramLibraryDirectory() {
    const std::string program = ProgramPath();
    std::string installed = InstalledLibraryDirectory(program);
    return installed.empty() ? LibFolderBeside(program) : installed;
}

}  // namespace clst::platform
