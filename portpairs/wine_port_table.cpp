#include "portpairs/wine_port_table.h"

#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/run_program.h"

namespace clst {

namespace {

constexpr const char* kKey = "HKLM\\Software\\Wine\\Ports";
// A reg command may have to start Wine first, which can take a while on a
// slow disk or the first time after an update of Wine.
constexpr std::chrono::seconds kRegLimit(120);

std::string ValueName(int number) {
    return "COM" + std::to_string(number);
}

}  // namespace

bool WinePortTableTakes(int number, const std::string& path, std::string& reason) {
    if (number < 1 || number > kWinePortTableMax) {
        reason =
            "Wine's port table takes COM1 to COM" + std::to_string(kWinePortTableMax) + " only";
        return false;
    }
    for (const char c : path) {
        if (c < 0x20 || c > 0x7E) {
            reason = "the path " + path +
                     " has characters other than printable ASCII, which Wine's reg command "
                     "does not carry unchanged";
            return false;
        }
    }
    return true;
}

bool ParseRegQueryValue(const std::string& output, int number, std::string& value) {
    // "    COM7    REG_SZ    /run/user/1000/clsertolvane/COM7", lines ending in CR LF.
    const std::string head = ValueName(number) + "    REG_SZ    ";
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const size_t start = line.find_first_not_of(' ');
        if (start != std::string::npos && line.compare(start, head.size(), head) == 0) {
            value = line.substr(start + head.size());
            return true;
        }
    }
    return false;
}

bool SavedWinePortEntry(const std::string& prefix, int number, std::string& value) {
    std::ifstream in(prefix + "/system.reg");
    const std::string name = "\"" + ValueName(number) + "\"=\"";
    std::string line;
    bool inPorts = false;
    while (std::getline(in, line)) {
        if (line.starts_with("[")) {
            inPorts = line.starts_with("[Software\\\\Wine\\\\Ports]");
        } else if (inPorts && line.starts_with(name) && line.ends_with("\"")) {
            // Backslashes and quotes come escaped; other escapes (\x..) mean
            // bytes that the table never gets from here.
            std::string text;
            for (size_t i = name.size(); i + 1 < line.size(); ++i) {
                if (line[i] == '\\' && i + 2 < line.size()) {
                    ++i;
                    if (line[i] != '\\' && line[i] != '"') {
                        return false;
                    }
                }
                text += line[i];
            }
            value = text;
            return true;
        }
    }
    return false;
}

WinePortTable::WinePortTable(std::string wine, std::string wineserver, std::string prefix)
    : wine_(std::move(wine)), wineserver_(std::move(wineserver)), prefix_(std::move(prefix)) {}

bool WinePortTable::Reg(const std::string& verb, int number, const std::string& data,
                        std::string& output, std::string& error) const {
    std::vector<std::string> argv = {wine_, "reg", verb, kKey};
    if (verb != "query") {
        argv.insert(argv.end(), {"/v", ValueName(number)});
    }
    if (verb == "add") {
        argv.insert(argv.end(), {"/t", "REG_SZ", "/d", data});
    }
    if (verb != "query") {
        argv.push_back("/f");
    }
    const platform::ProgramResult result =
        platform::RunProgram(argv, {{"WINEPREFIX", prefix_}, {"WINEDEBUG", "-all"}}, kRegLimit);
    output = result.output;
    if (!result.started || !result.finished) {
        error = result.started ? "\"wine reg " + verb + "\" did not finish within " +
                                     std::to_string(kRegLimit.count()) + " seconds"
                               : result.error;
        return false;
    }
    error = result.error.empty() ? result.output : result.error;
    while (!error.empty() && (error.back() == '\n' || error.back() == '\r')) {
        error.pop_back();
    }
    return result.exitCode == 0;
}

bool WinePortTable::Set(int number, const std::string& path, std::string& error) {
    std::string output;
    return Reg("add", number, path, output, error);
}

bool WinePortTable::Query(int number, bool& present, std::string& value, std::string& error) {
    // The whole key: reg fails alike for a missing value and for a failure
    // (and says which only in the user's language). Wine makes the key at
    // every start.
    std::string output;
    present = false;
    if (!Reg("query", number, "", output, error)) {
        return false;
    }
    present = ParseRegQueryValue(output, number, value);
    return true;
}

bool WinePortTable::Delete(int number, std::string& error) {
    std::string output;
    return Reg("delete", number, "", output, error);
}

bool WinePortTable::WaitForWineToEnd(std::chrono::milliseconds limit) const {
    if (wineserver_.empty()) {
        return false;
    }
    const platform::ProgramResult result =
        platform::RunProgram({wineserver_, "-w"}, {{"WINEPREFIX", prefix_}}, limit);
    return result.finished && result.exitCode == 0;
}

}  // namespace clst
