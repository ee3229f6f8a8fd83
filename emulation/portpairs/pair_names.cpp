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

namespace {

// A whole decimal number below `limit`, nothing else.
bool ParseCount(const std::string& text, uint64_t limit, uint64_t& value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    uint64_t parsed = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        const auto digit = static_cast<uint64_t>(c - '0');
        if (digit > limit || parsed > (limit - digit) / 10) {
            return false;
        }
        parsed = parsed * 10 + digit;
    }
    value = parsed;
    return true;
}

}  // namespace

std::string FormatLines(const PairLines& lines) {
    std::ostringstream out;
    out << "device_open=" << (lines.deviceOpen ? 1 : 0) << "\n"
        << "com_open=" << (lines.comOpen ? 1 : 0) << "\n"
        << "changes=" << lines.changes << "\n"
        << "com_rate=" << lines.comRate << "\n"
        << "dropped=" << lines.dropped << "\n";
    return out.str();
}

bool ParseLines(const std::string& text, PairLines& lines) {
    constexpr uint64_t kAny = std::numeric_limits<uint64_t>::max();
    enum : unsigned { kDevice = 1, kCom = 2, kChanges = 4, kRate = 8, kDropped = 16, kAll = 31 };
    PairLines parsed;
    unsigned seen = 0;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        uint64_t number = 0;
        if (key == "device_open" || key == "com_open") {
            if (!ParseCount(value, 1, number)) {
                return false;
            }
            (key == "device_open" ? parsed.deviceOpen : parsed.comOpen) = number == 1;
            seen |= key == "device_open" ? kDevice : kCom;
        } else if (key == "changes" || key == "dropped") {
            if (!ParseCount(value, kAny, number)) {
                return false;
            }
            (key == "changes" ? parsed.changes : parsed.dropped) = number;
            seen |= key == "changes" ? kChanges : kDropped;
        } else if (key == "com_rate") {
            if (!ParseCount(value, std::numeric_limits<uint32_t>::max(), number)) {
                return false;
            }
            parsed.comRate = static_cast<uint32_t>(number);
            seen |= kRate;
        }
    }
    if (seen != kAll) {
        return false;
    }
    lines = parsed;
    return true;
}

}  // namespace maro_vcp
