#include "emulation/portpairs/pair_names.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <sstream>

namespace maro_vcp {

int ParseNumberedName(const std::string& text, const std::string& prefix) {
    if (text.size() <= prefix.size() || text.size() > prefix.size() + 4 ||
        text.compare(0, prefix.size(), prefix) != 0) {
        return -1;
    }
    int value = 0;
    for (size_t i = prefix.size(); i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

std::string FormatState(const PairState& state) {
    std::ostringstream out;
    out << "pid=" << state.pid << "\n"
        << "pair=" << PairName(state.number) << "\n"
        << "com=" << ComPortName(state.number) << "\n"
        << "device=" << DevicePortName(state.number) << "\n"
        << "alias=" << AliasPortName(state.number) << "\n"
        << "com_tty=" << state.comTty << "\n"
        << "device_tty=" << state.deviceTty << "\n";
    return out.str();
}

bool ParseState(const std::string& text, PairState& state) {
    PairState parsed;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "pid") {
            char* end = nullptr;
            errno = 0;
            const long pid = std::strtol(value.c_str(), &end, 10);
            if (end == value.c_str() || *end != '\0' || errno == ERANGE || pid <= 1 ||
                pid > std::numeric_limits<pid_t>::max()) {
                return false;
            }
            parsed.pid = static_cast<pid_t>(pid);
        } else if (key == "pair") {
            parsed.number = ParseNumberedName(value, "CNC");
        } else if (key == "com_tty") {
            parsed.comTty = value;
        } else if (key == "device_tty") {
            parsed.deviceTty = value;
        }
    }
    if (parsed.pid <= 1 || parsed.number < 0 || parsed.comTty.empty() || parsed.deviceTty.empty()) {
        return false;
    }
    state = parsed;
    return true;
}

}  // namespace maro_vcp
