// clsertolvane-run: runs a program with the serial behaviour of the pair COM
// ends completed (modem lines, line-change waits, a reopen that does not
// meet the pair's busy moment), through the preloaded serial-lines library:
//
//   clsertolvane-run COMMAND [ARGS...]
//
// Exit codes: those of COMMAND; 127 COMMAND not found, 126 not runnable,
// 1 the library is missing, 2 usage.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/program_path.h"

namespace {

constexpr const char* kLibraryName = "libclsertolvane-run.so";

constexpr const char* kUsage =
    "Usage: clsertolvane-run COMMAND [ARGS...]\n"
    "Runs COMMAND so that the COM ends of this user's virtual port pairs behave\n"
    "like serial ports with a null-modem cable to the relay: DTR and RTS keep\n"
    "what the program sets, CTS, DSR and CD are on while a relay holds the\n"
    "pair's device end. Other files and terminals are untouched. Example:\n"
    "  clsertolvane-run wine camera-tool.exe\n";

bool Exists(const std::string& path) {
    return access(path.c_str(), R_OK) == 0;
}

std::string Environment(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

// "<entry>" put in front of the ':'-separated `list`, unless it is there.
std::string Prepended(const std::string& entry, const std::string& list) {
    if ((":" + list + ":").find(":" + entry + ":") != std::string::npos) {
        return list;
    }
    return list.empty() ? entry : entry + ":" + list;
}

// The folders that hold the library, one per word size, in the installed
// layout (<bin>/../lib/clsertolvane/<arch>) or the build tree's
// (<bin>/../lib/<arch>); the host's must be there.
std::vector<std::string> LibraryFolders(std::string& looked) {
    const std::string lib = clst::platform::ProgramLibraryDirectory();
    for (const std::string& root : {lib + "/clsertolvane", lib}) {
        const std::string host = root + "/" CLST_RUN_HOST_DIR;
        looked += (looked.empty() ? "" : " and ") + host + "/" + kLibraryName;
        if (!lib.empty() && Exists(host + "/" + kLibraryName)) {
            std::vector<std::string> folders{host};
            const std::string i386 = root + "/" CLST_RUN_I386_DIR;
            if (i386 != host && Exists(i386 + "/" + kLibraryName)) {
                folders.push_back(i386);
            }
            return folders;
        }
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--") == 0) {
        first = 2;
    }
    if (first >= argc || (argv[first][0] == '-' && first == 1)) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    std::string looked;
    const std::vector<std::string> folders = LibraryFolders(looked);
    if (folders.empty()) {
        std::fprintf(stderr,
                     "clsertolvane-run: the serial-lines library is missing (looked for %s)\n",
                     looked.c_str());
        return 1;
    }
    // Both word sizes on the search path and the bare name on the preload
    // list: the loader takes the library of its own class and passes over
    // the other one quietly. (Both paths on the preload list would make
    // every program of the other class print "wrong ELF class"; the $LIB
    // token names different folders for Debian's two i386 loaders.)
    std::string search = Environment("LD_LIBRARY_PATH");
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
        if (folder->find_first_of(":; ") != std::string::npos) {
            std::fprintf(stderr,
                         "clsertolvane-run: the library's folder %s has a ':', ';' or space in "
                         "its path, which the loader cannot take; install it elsewhere\n",
                         folder->c_str());
            return 1;
        }
        search = Prepended(*folder, search);
    }
    // The loader splits the preload list at spaces as well as colons.
    std::string preload = Environment("LD_PRELOAD");
    std::replace(preload.begin(), preload.end(), ' ', ':');
    preload = Prepended(kLibraryName, preload);
    if (setenv("LD_LIBRARY_PATH", search.c_str(), 1) != 0 ||
        setenv("LD_PRELOAD", preload.c_str(), 1) != 0) {
        std::perror("clsertolvane-run: setenv");
        return 1;
    }
    execvp(argv[first], argv + first);
    const int error = errno;
    std::fprintf(stderr, "clsertolvane-run: cannot run %s: %s\n", argv[first],
                 std::strerror(error));
    return error == ENOENT ? 127 : 126;
}
