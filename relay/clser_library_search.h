// Which Camera Link serial libraries the process uses, and which library
// serves which port of the Camera Link port list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace clst {

struct ClSerialLibrary;

// The file name of this maker's library, beside the program.
inline constexpr const char* kOwnClSerialLibraryName = "libclsermro.so";

// One library the search came upon. A candidate with a refusal is not
// loaded; the refusal says why, for the user.
struct ClSerialLibraryCandidate {
    std::string path;
    std::string refusal;

    bool operator==(const ClSerialLibraryCandidate&) const = default;
};

// The search, from its inputs: `library` and `searchPath` are the values of
// $CLSERIAL_LIBRARY and $CLSERIALPATH (null when unset), `programLibDir` the
// program's library directory ("" when unknown). In this order:
//   1. $CLSERIAL_LIBRARY, which must be an absolute path;
//   2. <programLibDir>/libclsermro.so when it exists, unless `installed`;
//   3. every libclser*.so in the directory $CLSERIALPATH, by file name, a
//      file reached twice taken once; the directory (absolute, not a link)
//      and each library (a link only to a file beside it) must belong to
//      this user or root and be writable by nobody else, or are refused
//      with the reason;
//   4. else <programLibDir>/libclsermro.so all the same, so that the loader
//      says what is missing.
// An `installed` program's own library is the emulated one its package
// ships, so the makers' libraries named in the environment come first.
std::vector<ClSerialLibraryCandidate> FindClSerialLibraries(const char* library,
                                                            const char* searchPath,
                                                            const std::string& programLibDir,
                                                            bool installed = false);

// The libraries of this process: the search above over the environment and
// the program's path, each candidate bound (a refused one with status
// kClErrUnableToLoadDll and its refusal as the error). Done on first use and
// kept; every failure is printed once to standard error.
const std::vector<ClSerialLibrary>& ProcessClSerialLibraries();

// Where one entry of the Camera Link port list is served: the library and
// that library's own serial index.
struct ClSerPortRoute {
    const ClSerialLibrary* library = nullptr;
    uint32_t serialIndex = 0;

    bool operator==(const ClSerPortRoute&) const = default;
};

// The route of position `position` of the Camera Link port list. Without the
// maker's board runtime the list is made from the serial libraries
// themselves, one route a port, and a position is no longer one library's
// serial index; with the runtime there are no routes and a position is the
// serial index of ProcessClSerialLibrary(). False when routes are given and
// the position is beyond them.
bool ClSerPortRouteAt(const std::vector<ClSerPortRoute>& routes, uint32_t position,
                      ClSerPortRoute& route);

}  // namespace clst
