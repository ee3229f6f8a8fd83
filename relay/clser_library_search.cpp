#include "relay/clser_library_search.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>

#include "platform/program_path.h"
#include "relay/clser_endpoint.h"

namespace clst {

namespace {

namespace fs = std::filesystem;

constexpr const char* kSearchPathPrefix = "libclser";
constexpr const char* kSearchPathSuffix = ".so";

bool IsSearchPathName(const std::string& name) {
    const std::string prefix = kSearchPathPrefix;
    const std::string suffix = kSearchPathSuffix;
    return name.size() >= prefix.size() + suffix.size() && name.starts_with(prefix) &&
           name.ends_with(suffix);
}

// Why the folder or library file `st` describes must not be loaded from, or
// "": anybody who can write it could plant a library in the program. Root's
// files and the user's own are trusted, as a system's library folders are.
std::string UntrustedBecause(const struct stat& st) {
    if (st.st_uid != ::getuid() && st.st_uid != 0)
        return " belongs to another user";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return " is writable by other users";
    return "";
}

// Why the library file `path` in the folder `realDir` must not be loaded,
// or "". A link may name another file of the folder (libclserX.so beside
// libclserX.so.1), never one elsewhere, whose folder nobody checked.
std::string RefusedLibrary(const std::string& path, const fs::path& realDir, fs::path& real) {
    std::error_code ec;
    real = fs::canonical(path, ec);
    struct stat st {};
    if (ec || ::stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return " is not a library file";
    if (real.parent_path() != realDir)
        return " is a link to " + real.string() + ", outside the folder";
    return UntrustedBecause(st);
}

// The makers' libraries in the directory named by $CLSERIALPATH, checked as
// the port directory is: the folder itself (not a link to one) and each
// library must belong to this user (or root) and be writable by nobody else.
std::vector<ClSerialLibraryCandidate> SearchPathLibraries(const std::string& dir) {
    const std::string what = "CLSERIALPATH \"" + dir + "\"";
    // A relative directory would be taken from wherever the program was
    // started, where anybody may have left a library.
    if (dir.front() != '/')
        return {{dir, what + " must be an absolute path"}};
    std::string bare = dir;
    while (bare.size() > 1 && bare.back() == '/')
        bare.pop_back();
    struct stat st {};
    if (::lstat(bare.c_str(), &st) != 0)
        return {{dir, what + " is not a directory: " + std::strerror(errno)}};
    if (S_ISLNK(st.st_mode))
        return {{dir, what + " is a symbolic link; name the folder itself"}};
    if (!S_ISDIR(st.st_mode))
        return {{dir, what + " is not a directory"}};
    if (const std::string why = UntrustedBecause(st); !why.empty())
        return {{dir, what + why}};

    std::error_code ec;
    std::vector<std::string> names;
    for (fs::directory_iterator it(bare, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (IsSearchPathName(name))
            names.push_back(name);
    }
    if (ec)
        return {{dir, what + " cannot be read: " + ec.message()}};
    // Directory order changes from one file system to the next; the port
    // list must not.
    std::sort(names.begin(), names.end());

    const fs::path realDir = fs::canonical(bare, ec);
    std::vector<ClSerialLibraryCandidate> found;
    std::set<fs::path> seen;  // a link beside its target is one library
    for (const std::string& name : names) {
        const std::string path = (bare == "/" ? "" : bare) + "/" + name;
        fs::path real;
        if (const std::string why = RefusedLibrary(path, realDir, real); !why.empty())
            found.push_back({path, path + why});
        else if (seen.insert(real).second)
            found.push_back({path, ""});
    }
    if (found.empty())
        return {{dir, what + " holds no " + kSearchPathPrefix + "*" + kSearchPathSuffix}};
    return found;
}

}  // namespace

std::vector<ClSerialLibraryCandidate> FindClSerialLibraries(const char* library,
                                                            const char* searchPath,
                                                            const std::string& programLibDir,
                                                            bool installed) {
    if (library != nullptr && library[0] != '\0') {
        // A relative name would be searched for; a planted file must not be
        // able to stand in for the maker's library.
        if (library[0] != '/')
            return {{library, "CLSERIAL_LIBRARY must be an absolute path"}};
        return {{library, ""}};
    }
    if (programLibDir.empty())
        return {{kOwnClSerialLibraryName, "the program's own directory cannot be read"}};
    const std::string own = programLibDir + "/" + kOwnClSerialLibraryName;
    std::error_code ec;
    if (!installed && fs::exists(own, ec))
        return {{own, ""}};
    if (searchPath != nullptr && searchPath[0] != '\0')
        return SearchPathLibraries(searchPath);
    return {{own, ""}};
}

const std::vector<ClSerialLibrary>& ProcessClSerialLibraries() {
    static const std::vector<ClSerialLibrary>* libraries = [] {
        auto* bound = new std::vector<ClSerialLibrary>;
        const bool installed =
            !platform::InstalledLibraryDirectory(platform::ProgramPath()).empty();
        for (const auto& candidate :
             FindClSerialLibraries(std::getenv("CLSERIAL_LIBRARY"), std::getenv("CLSERIALPATH"),
                                   platform::ProgramLibraryDirectory(), installed)) {
            ClSerialLibrary library;
            if (candidate.refusal.empty()) {
                library = BindClSerialLibrary(candidate.path);
            } else {
                library.path = candidate.path;
                library.error = candidate.refusal;
            }
            if (library.status != 0)
                std::fprintf(stderr, "Camera Link serial library: %s\n", library.error.c_str());
            bound->push_back(std::move(library));
        }
        return bound;
    }();
    return *libraries;
}

bool ClSerPortRouteAt(const std::vector<ClSerPortRoute>& routes, uint32_t position,
                      ClSerPortRoute& route) {
    if (routes.empty()) {
        route = {&ProcessClSerialLibrary(), position};
        return true;
    }
    if (position >= routes.size())
        return false;
    route = routes[position];
    return true;
}

}  // namespace clst
