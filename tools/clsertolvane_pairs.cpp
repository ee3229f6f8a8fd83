// The shell-friendly counterpart of the virtual port management dialog:
//   clsertolvane-pairs list | install [--if-missing] [--wine] N | remove CNCn | --help
// Exit codes: 0 done, 1 the library refused (its text on stderr), 2 usage.
#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/port_directory.h"
#include "platform/run_program.h"
#include "portpairs/port_pair_library.h"
#include "portpairs/wine_dosdevices.h"
#include "portpairs/wine_port_table.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// Wine ends a moment after its last program; longer means Windows programs
// are running in the prefix.
constexpr std::chrono::seconds kWineEndWait(5);

constexpr const char* kUsage =
    "Usage: clsertolvane-pairs list          list the virtual COM port pairs\n"
    "       clsertolvane-pairs install N     install the pair COM<N> <-> ZADURUV<N>\n"
    "         [--if-missing] [--wine]        (N or COM<N>); with --if-missing a pair\n"
    "                                        that exists already is success; with\n"
    "                                        --wine Windows programs under Wine open\n"
    "                                        and list it as COM<N> ($WINEPREFIX, else\n"
    "                                        ~/.wine); start them with clsertolvane-run\n"
    "       clsertolvane-pairs remove CNCn   remove the pair CNCn (and its Wine COM<n>)\n"
    "       clsertolvane-pairs --help        show this text\n";

int Usage(const char* complaint) {
    if (complaint != nullptr) {
        std::fprintf(stderr, "clsertolvane-pairs: %s\n", complaint);
    }
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

int Failure(clst::PortPairLibrary& library) {
    const std::string text = library.LastErrorText();
    std::fprintf(
        stderr, "clsertolvane-pairs: %s\n",
        text.empty() ? "the virtual COM port library failed without a reason" : text.c_str());
    return kExitFailure;
}

// Port number given as 1 to 4 decimal digits, or -1.
int ParsePortNumber(const char* text) {
    // Also as its COM port's name, as a service instance names it.
    if (strncasecmp(text, "COM", 3) == 0) {
        text += 3;
    }
    const size_t length = std::strlen(text);
    if (length == 0 || length > 4) {
        return -1;
    }
    int value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Bytes of the camera side that the pair dropped because no program had its
// COM end open, from the line file its host keeps ("dropped=<n>" in
// <dir>/CNC<n>.lines); 0 when there is none.
unsigned long long DroppedBytes(const std::string& dir, const std::string& pairName) {
    std::ifstream in(dir + "/" + pairName + ".lines");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("dropped=", 0) == 0) {
            return std::strtoull(line.c_str() + 8, nullptr, 10);
        }
    }
    return 0;
}

struct Pair {
    std::string name, first, second;
};

// Lists through the library; false when it is not usable.
bool ListPairs(clst::PortPairLibrary& library, std::string& lines, int& listed,
               const std::string& only) {
    if (library.VcpInitialize() == 0) {
        return false;
    }
    const std::string dir = clst::platform::PortDirectoryPath();
    const std::string winePrefix = clst::WinePrefixPath();
    const int32_t count = library.VcpGetPairCount();
    listed = 0;
    for (int32_t i = 0; i < count; ++i) {
        char name[clst::PortPairLibrary::kNameBufferSize] = {};
        char first[clst::PortPairLibrary::kNameBufferSize] = {};
        char second[clst::PortPairLibrary::kNameBufferSize] = {};
        if (library.VcpGetPair(i, name, first, second) == 0) {
            continue;
        }
        if (!only.empty() && only != name) {
            continue;
        }
        lines +=
            std::string(name) + "  " + first + " <-> " + second + "  (" + dir + "/" + first + ")";
        const int number = ParsePortNumber(name + 3);
        const std::string comPath = dir + "/" + first;
        if (number >= 0 && clst::IsWineComMapped(winePrefix, number, comPath)) {
            lines += "  Wine: " + winePrefix + "/dosdevices/com" + std::to_string(number);
        }
        std::string saved;
        if (number >= 0 && clst::SavedWinePortEntry(winePrefix, number, saved) &&
            saved == comPath) {
            lines += "  (in Wine's port table)";
        }
        if (const unsigned long long dropped = DroppedBytes(dir, name); dropped > 0) {
            lines +=
                "  dropped " + std::to_string(dropped) + " bytes while " + first + " was closed";
        }
        lines += "\n";
        ++listed;
    }
    return true;
}

int List(clst::PortPairLibrary& library) {
    std::string lines;
    int listed = 0;
    if (!ListPairs(library, lines, listed, std::string())) {
        return Failure(library);
    }
    if (listed == 0) {
        std::puts("No virtual COM port pairs are installed.");
    } else {
        std::fputs(lines.c_str(), stdout);
    }
    return kExitOk;
}

// What Wine has for Windows programs: the link, and the entry of Wine's port
// table when `wine` is found and the number and path fit.
struct WinePlan {
    clst::WineComMapping link;
    std::string wine;        // "" when not found
    bool portTable = false;  // COM<n> goes into the table
    std::string noTable;     // why it does not
};

WinePlan PlanWine(int number) {
    WinePlan plan;
    const std::string comPath =
        clst::platform::PortDirectoryPath() + "/COM" + std::to_string(number);
    plan.wine = clst::platform::FindProgram("wine");
    if (plan.wine.empty()) {
        plan.noTable = "Wine (the wine command) was not found";
    } else {
        plan.portTable = clst::WinePortTableTakes(number, comPath, plan.noTable);
    }
    plan.link =
        clst::PlanWineComMapping(clst::WinePrefixPath(), number, comPath, "/dev", plan.portTable);
    return plan;
}

// Makes the pair's COM end COM<number> of Windows programs as planned; says
// what was done and what was not.
int MapIntoWine(const WinePlan& plan, int number) {
    const std::string com = "COM" + std::to_string(number);
    std::string error;
    if (!clst::ApplyWineComMapping(plan.link, error)) {
        std::fprintf(stderr, "clsertolvane-pairs: %s\n", error.c_str());
        return kExitFailure;
    }
    std::string line = "Windows programs under Wine open this pair as " + com + ": " +
                       plan.link.linkPath + " -> " + plan.link.target;
    if (plan.link.step == clst::WineComMapping::Step::kReplace) {
        line += " (replaced Wine's link to " + plan.link.replaced + ")";
    }
    std::puts(line.c_str());
    if (!plan.portTable) {
        std::printf(
            "%s is not in Wine's port table: %s. Windows programs open it through the "
            "link, but their port lists do not show it.\n",
            com.c_str(), plan.noTable.c_str());
        return kExitOk;
    }
    const std::string prefix = clst::WinePrefixPath();
    clst::WinePortTable table(plan.wine, clst::platform::FindProgram("wineserver"), prefix);
    if (!table.Set(number, plan.link.target, error)) {
        std::fprintf(stderr,
                     "clsertolvane-pairs: the pair and the link are in place, but %s could not "
                     "be written into Wine's port table (HKLM\\Software\\Wine\\Ports): %s\n",
                     com.c_str(), error.c_str());
        return kExitFailure;
    }
    std::printf(
        "Wine's port table (HKLM\\Software\\Wine\\Ports) has %s = %s: port lists of "
        "Windows programs show it.\n",
        com.c_str(), plan.link.target.c_str());
    if (!table.WaitForWineToEnd(kWineEndWait)) {
        std::printf(
            "Windows programs running in %s now list it once Wine has restarted (when "
            "they have all ended, or after \"wineserver -k\").\n",
            prefix.c_str());
    }
    return kExitOk;
}

int Install(clst::PortPairLibrary& library, const char* numberText, bool ifMissing, bool wine) {
    const int number = ParsePortNumber(numberText);
    if (number < 0) {
        return Usage("install needs a port number (1 to 4 decimal digits, or COM<N>)");
    }
    if (library.VcpInitialize() == 0) {
        return Failure(library);
    }
    // Decided first: a mapping that cannot be made leaves no pair behind.
    WinePlan winePlan;
    if (wine) {
        winePlan = PlanWine(number);
        if (winePlan.link.step == clst::WineComMapping::Step::kRefuse) {
            std::string text = winePlan.link.reason;
            if (!winePlan.portTable) {
                text += " (" + winePlan.noTable + ".)";
            }
            std::fprintf(stderr, "clsertolvane-pairs: %s Nothing was installed.\n", text.c_str());
            return kExitFailure;
        }
    }
    const std::string pairName = "CNC" + std::to_string(number);
    std::string lines;
    int listed = 0;
    if (ifMissing && ListPairs(library, lines, listed, pairName) && listed > 0) {
        const int mapped = wine ? MapIntoWine(winePlan, number) : kExitOk;
        lines.clear();
        ListPairs(library, lines, listed, pairName);
        std::fputs(lines.c_str(), stdout);
        return mapped;
    }
    if (library.VcpIsPortNumberInUse(number) != 0) {
        std::fputs(
            "clsertolvane-pairs: This port number is occupied, please input another number.\n",
            stderr);
        return kExitFailure;
    }
    if (library.VcpInstallPair(number) == 0) {
        return Failure(library);
    }
    std::puts("A new virtual COM port pair was installed successfully.");
    const int mapped = wine ? MapIntoWine(winePlan, number) : kExitOk;
    lines.clear();
    ListPairs(library, lines, listed, pairName);
    std::fputs(lines.c_str(), stdout);
    return mapped;
}

// Deletes COM<number> from Wine's port table while it is this pair's, and
// waits for Wine to end. Wine is asked only where the pair is mapped (its
// link is there, or the saved table has it), so that removing a pair never
// starts Wine for nothing.
int RemoveFromWinePortTable(const std::string& prefix, int number, const std::string& comPath,
                            bool linkIsThere) {
    std::string saved;
    const std::string wine = clst::platform::FindProgram("wine");
    std::string error;
    // A prefix Wine never started (no saved registry) has no table either.
    if (prefix.empty() || number > clst::kWinePortTableMax ||
        access((prefix + "/system.reg").c_str(), F_OK) != 0 ||
        !(linkIsThere || clst::SavedWinePortEntry(prefix, number, saved))) {
        return kExitOk;
    }
    if (wine.empty()) {
        std::printf(
            "Wine (the wine command) was not found: Wine's port table of %s was not "
            "looked at.\n",
            prefix.c_str());
        return kExitOk;
    }
    clst::WinePortTable table(wine, clst::platform::FindProgram("wineserver"), prefix);
    bool present = false;
    std::string value;
    if (!table.Query(number, present, value, error) ||
        (present && value == comPath && !table.Delete(number, error))) {
        std::fprintf(stderr,
                     "clsertolvane-pairs: Wine's port table of %s could not be changed: %s\n",
                     prefix.c_str(), error.c_str());
        return kExitFailure;
    }
    if (present && value == comPath) {
        std::printf("Wine's port table no longer has COM%d.\n", number);
        table.WaitForWineToEnd(kWineEndWait);
    }
    return kExitOk;
}

int Remove(clst::PortPairLibrary& library, const char* pairName) {
    if (std::strncmp(pairName, "CNC", 3) != 0 || ParsePortNumber(pairName + 3) < 0) {
        return Usage("remove needs a pair name such as CNC5");
    }
    if (library.VcpInitialize() == 0) {
        return Failure(library);
    }
    if (library.VcpRemovePair(pairName) == 0) {
        return Failure(library);
    }
    std::printf("The virtual COM port pair %s was removed successfully.\n", pairName);
    const int number = ParsePortNumber(pairName + 3);
    const std::string prefix = clst::WinePrefixPath();
    const std::string comPath =
        clst::platform::PortDirectoryPath() + "/COM" + std::to_string(number);
    // The table first: Wine, started to change it, remakes the link of every
    // COM<n> still in the table.
    const int tableResult = RemoveFromWinePortTable(
        prefix, number, comPath, clst::IsWineComMapped(prefix, number, comPath));
    bool removed = false;
    std::string error;
    if (!clst::RemoveWineComMapping(prefix, number, comPath, removed, error)) {
        std::fprintf(stderr, "clsertolvane-pairs: %s\n", error.c_str());
        return kExitFailure;
    }
    if (removed) {
        std::printf("Windows programs under Wine no longer have it as COM%d (%s/dosdevices).\n",
                    number, prefix.c_str());
    }
    return tableResult;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (argc < 2) {
        return Usage(nullptr);
    }
    const std::string command = argv[1];
    clst::PortPairLibrary library;
    if (command == "list" && argc == 2) {
        return List(library);
    }
    if (command == "install") {
        bool ifMissing = false;
        bool wine = false;
        const char* number = nullptr;
        int words = 0;
        for (int i = 2; i < argc; ++i) {
            if (std::strcmp(argv[i], "--if-missing") == 0) {
                ifMissing = true;
            } else if (std::strcmp(argv[i], "--wine") == 0) {
                wine = true;
            } else if (argv[i][0] == '-') {
                return Usage(("unknown option \"" + std::string(argv[i]) + "\"").c_str());
            } else {
                number = argv[i];
                ++words;
            }
        }
        if (words == 1) {
            return Install(library, number, ifMissing, wine);
        }
    }
    if (command == "remove" && argc == 3) {
        return Remove(library, argv[2]);
    }
    if (command == "list" || command == "install" || command == "remove") {
        return Usage(("wrong number of arguments for " + command).c_str());
    }
    return Usage(("unknown command \"" + command + "\"").c_str());
}
