#include "relay/clser_library_search.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

// The makers' libraries in the directory named by $CLSERIALPATH.
std::vector<ClSerialLibraryCandidate> SearchPathLibraries(const std::string& dir) {
    const std::string what = "CLSERIALPATH \"" + dir + "\"";
    // A relative directory would be taken from wherever the program was
    // started, where anybody may have left a library.
    if (dir.front() != '/')
        return {{dir, what + " must be an absolute path"}};
    std::error_code ec;
    const fs::file_status status = fs::status(dir, ec);
    if (ec || !fs::is_directory(status))
        return {{dir, what + " is not a directory" + (ec ? ": " + ec.message() : "")}};
    // Anybody could plant a library there.
    if ((status.permissions() & fs::perms::others_write) != fs::perms::none)
        return {{dir, what + " is writable by other users"}};

    std::vector<std::string> names;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (IsSearchPathName(name))
            names.push_back(name);
    }
    if (ec)
        return {{dir, what + " cannot be read: " + ec.message()}};
    // Directory order changes from one file system to the next; the port
    // list must not.
    std::sort(names.begin(), names.end());

    std::vector<ClSerialLibraryCandidate> found;
    std::set<fs::path> seen;  // a link beside its target is one library
    for (const std::string& name : names) {
        const std::string path = (dir.back() == '/' ? dir : dir + "/") + name;
        const fs::path real = fs::canonical(path, ec);
        if (ec || !fs::is_regular_file(real, ec)) {
            found.push_back({path, path + " is not a library file"});
            continue;
        }
        if (seen.insert(real).second)
            found.push_back({path, ""});
    }
    if (found.empty())
        return {{dir, what + " holds no " + kSearchPathPrefix + "*" + kSearchPathSuffix}};
    return found;
}

}  // namespace

std::vector<ClSerialLibraryCandidate> FindClSerialLibraries(const char* library,
                                                            const char* searchPath,
                                                            const std::string& programLibDir) {
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
    if (fs::exists(own, ec))
        return {{own, ""}};
    if (searchPath != nullptr && searchPath[0] != '\0')
        return SearchPathLibraries(searchPath);
    return {{own, ""}};
}

const std::vector<ClSerialLibrary>& ProcessClSerialLibraries() {
    static const std::vector<ClSerialLibrary>* libraries = [] {
        auto* bound = new std::vector<ClSerialLibrary>;
        for (const auto& candidate :
             FindClSerialLibraries(std::getenv("CLSERIAL_LIBRARY"), std::getenv("CLSERIALPATH"),
                                   platform::ProgramLibraryDirectory())) {
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
