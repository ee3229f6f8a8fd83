#include "emulation/common/emulation_config.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace clst::emulation {
namespace {

constexpr size_t kMaxLineLength = 4096;

std::string Trim(const std::string& s) {
    size_t begin = 0;
    size_t end = s.size();
    while (begin < end && (s[begin] == ' ' || s[begin] == '\t'))
        ++begin;
    while (end > begin && (s[end - 1] == ' ' || s[end - 1] == '\t' || s[end - 1] == '\r'))
        --end;
    return s.substr(begin, end - begin);
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// A comment starts at ';' or '#' at the start of a line or after a blank, so
// "link=/tmp/cam#1" keeps its '#'.
std::string StripComment(const std::string& line) {
    for (size_t i = 0; i < line.size(); ++i) {
        if ((line[i] == ';' || line[i] == '#') &&
            (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
            return line.substr(0, i);
        }
    }
    return line;
}

// Whole-string decimal number in [lo, hi].
bool ParseInt(const std::string& text, long long lo, long long hi, long long& value) {
    if (text.empty() || text.size() > 18)
        return false;
    size_t i = 0;
    bool negative = false;
    if (text[0] == '-' || text[0] == '+') {
        negative = text[0] == '-';
        i = 1;
        if (text.size() == 1)
            return false;
    }
    long long v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        v = v * 10 + (text[i] - '0');
    }
    if (negative)
        v = -v;
    if (v < lo || v > hi)
        return false;
    value = v;
    return true;
}

bool ParseBool(const std::string& text, bool& value) {
    const std::string t = Lower(text);
    if (t == "1" || t == "yes" || t == "true" || t == "on") {
        value = true;
        return true;
    }
    if (t == "0" || t == "no" || t == "false" || t == "off") {
        value = false;
        return true;
    }
    return false;
}

// "board12" -> 12 when `name` is `prefix` followed by a plain number.
bool SectionNumber(const std::string& name, const std::string& prefix, long long& number) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    const std::string digits = name.substr(prefix.size());
    if (digits[0] == '+' || digits[0] == '-')
        return false;
    return ParseInt(digits, 0, 1000000, number);
}

struct RawBoard {
    std::string name;
    bool hasName = false;
    int ports = 0;
    int line = 0;
};

struct RawPort {
    PortConfig config;
    int line = 0;
};

std::string LineError(int line, const std::string& what) {
    return "line " + std::to_string(line) + ": " + what;
}

void LibraryAnchor() {}

}  // namespace

EmulationConfig DefaultEmulationConfig() {
    EmulationConfig config;
    BoardConfig board;
    board.deviceIndex = 0;
    board.name = "EmuBoard";
    board.hasName = true;
    board.ports = 2;
    board.firstSerialIndex = 0;
    config.boards.push_back(board);
    for (int i = 0; i < 2; ++i) {
        PortConfig port;
        port.index = i;
        port.camera = "demo";
        config.ports.push_back(port);
    }
    config.source = "built-in";
    return config;
}

bool ParseEmulationConfig(const std::string& text, EmulationConfig& out, std::string& error) {
    if (text.find('\0') != std::string::npos) {
        error = "the file holds binary data (a zero byte)";
        return false;
    }
    std::map<int, RawBoard> boards;
    std::map<int, RawPort> ports;
    int deviceLimit = 8;
    bool sawEmulation = false;
    int deviceLimitLine = 0;

    enum class Section { kNone, kEmulation, kBoard, kPort } section = Section::kNone;
    int current = -1;
    std::set<std::string> keysSeen;

    size_t pos = 0;
    int lineNumber = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        ++lineNumber;
        if (end - pos > kMaxLineLength) {
            error = LineError(lineNumber,
                              "line longer than " + std::to_string(kMaxLineLength) + " characters");
            return false;
        }
        const std::string line = Trim(StripComment(text.substr(pos, end - pos)));
        pos = end + 1;
        if (line.empty())
            continue;

        if (line.front() == '[') {
            if (line.back() != ']') {
                error = LineError(lineNumber, "section header without ']'");
                return false;
            }
            const std::string name = Lower(Trim(line.substr(1, line.size() - 2)));
            long long number = 0;
            keysSeen.clear();
            if (name == "emulation") {
                if (sawEmulation) {
                    error = LineError(lineNumber, "section [emulation] appears twice");
                    return false;
                }
                sawEmulation = true;
                section = Section::kEmulation;
            } else if (SectionNumber(name, "board", number)) {
                if (number >= kMaxDeviceLimit) {
                    error = LineError(lineNumber, "board index " + std::to_string(number) +
                                                      " is not below " +
                                                      std::to_string(kMaxDeviceLimit));
                    return false;
                }
                current = static_cast<int>(number);
                if (boards.count(current) != 0) {
                    error = LineError(lineNumber, "section [" + name + "] appears twice");
                    return false;
                }
                boards[current].line = lineNumber;
                section = Section::kBoard;
            } else if (SectionNumber(name, "port", number)) {
                if (number >= kMaxDeviceLimit * kMaxPortsPerBoard) {
                    error = LineError(lineNumber,
                                      "port index " + std::to_string(number) + " is too large");
                    return false;
                }
                current = static_cast<int>(number);
                if (ports.count(current) != 0) {
                    error = LineError(lineNumber, "section [" + name + "] appears twice");
                    return false;
                }
                ports[current].line = lineNumber;
                ports[current].config.index = current;
                section = Section::kPort;
            } else {
                error = LineError(lineNumber, "unknown section [" + name +
                                                  "] (expected emulation, board<N> or port<N>)");
                return false;
            }
            continue;
        }

        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            error = LineError(lineNumber, "expected key=value or [section]");
            return false;
        }
        const std::string key = Lower(Trim(line.substr(0, eq)));
        const std::string value = Trim(line.substr(eq + 1));
        if (key.empty()) {
            error = LineError(lineNumber, "empty key");
            return false;
        }
        if (section == Section::kNone) {
            error = LineError(lineNumber, "key '" + key + "' outside any section");
            return false;
        }
        if (!keysSeen.insert(key).second) {
            error = LineError(lineNumber, "key '" + key + "' given twice in one section");
            return false;
        }
        long long number = 0;
        bool flag = false;
        if (section == Section::kEmulation) {
            if (key == "device_limit") {
                if (!ParseInt(value, 1, kMaxDeviceLimit, number)) {
                    error = LineError(lineNumber, "device_limit must be a number from 1 to " +
                                                      std::to_string(kMaxDeviceLimit));
                    return false;
                }
                deviceLimit = static_cast<int>(number);
                deviceLimitLine = lineNumber;
            } else {
                error = LineError(lineNumber, "unknown key '" + key + "' in [emulation]");
                return false;
            }
        } else if (section == Section::kBoard) {
            RawBoard& board = boards[current];
            if (key == "name") {
                board.name = value;
                board.hasName = true;
            } else if (key == "ports") {
                if (!ParseInt(value, 0, kMaxPortsPerBoard, number)) {
                    error = LineError(lineNumber, "ports must be a number from 0 to " +
                                                      std::to_string(kMaxPortsPerBoard));
                    return false;
                }
                board.ports = static_cast<int>(number);
            } else {
                error = LineError(lineNumber, "unknown key '" + key + "' in a board section");
                return false;
            }
        } else {
            PortConfig& port = ports[current].config;
            if (key == "camera") {
                const std::string camera = Lower(value);
                if (camera != "demo" && camera != "echo" && camera != "silent" && camera != "pty") {
                    error = LineError(lineNumber, "unknown camera '" + value +
                                                      "' (expected demo, echo, silent or pty)");
                    return false;
                }
                port.camera = camera;
            } else if (key == "link") {
                if (value.empty() || value[0] != '/') {
                    error = LineError(lineNumber, "link must be an absolute path");
                    return false;
                }
                port.link = value;
            } else if (key == "init_error" || key == "baud_error" || key == "stalled" ||
                       key == "timeout_copies_nothing") {
                if (!ParseBool(value, flag)) {
                    error = LineError(lineNumber, key + " must be 0 or 1");
                    return false;
                }
                if (key == "init_error")
                    port.initError = flag;
                if (key == "baud_error")
                    port.baudError = flag;
                if (key == "stalled")
                    port.stalledReceiver = flag;
                if (key == "timeout_copies_nothing")
                    port.timeoutCopiesNothing = flag;
            } else if (key == "read_error_every") {
                if (!ParseInt(value, 0, 1000000000, number)) {
                    error = LineError(lineNumber, "read_error_every must be a number >= 0");
                    return false;
                }
                port.readErrorEvery = static_cast<int>(number);
            } else if (key == "short_write") {
                if (!ParseInt(value, 0, 1000000000, number)) {
                    error = LineError(lineNumber, "short_write must be a number >= 0");
                    return false;
                }
                port.shortWrite = static_cast<int>(number);
            } else if (key == "rx_buffer") {
                if (!ParseInt(value, 1, static_cast<long long>(kMaxRxBuffer), number)) {
                    error = LineError(lineNumber, "rx_buffer must be a number from 1 to " +
                                                      std::to_string(kMaxRxBuffer));
                    return false;
                }
                port.rxBuffer = static_cast<size_t>(number);
            } else {
                error = LineError(lineNumber, "unknown key '" + key + "' in a port section");
                return false;
            }
        }
    }

    EmulationConfig result;
    result.deviceLimit = deviceLimit;
    int serial = 0;
    for (const auto& [index, raw] : boards) {
        if (index >= deviceLimit) {
            error = LineError(
                raw.line, "board" + std::to_string(index) + " is not below device_limit " +
                              std::to_string(deviceLimit) +
                              (deviceLimitLine ? " (line " + std::to_string(deviceLimitLine) + ")"
                                               : std::string(" (the default)")));
            return false;
        }
        BoardConfig board;
        board.deviceIndex = index;
        board.name = raw.name;
        board.hasName = raw.hasName;
        board.ports = raw.ports;
        board.firstSerialIndex = serial;
        serial += raw.ports;
        result.boards.push_back(board);
    }
    for (int i = 0; i < serial; ++i) {
        PortConfig port;
        port.index = i;
        result.ports.push_back(port);
    }
    for (const auto& [index, raw] : ports) {
        if (index >= serial) {
            error = LineError(raw.line, "port" + std::to_string(index) + " but the boards have " +
                                            std::to_string(serial) + " ports");
            return false;
        }
        if (raw.config.camera == "pty" && raw.config.link.empty()) {
            error = LineError(raw.line,
                              "port" + std::to_string(index) + ": camera=pty needs link=PATH");
            return false;
        }
        result.ports[static_cast<size_t>(index)] = raw.config;
    }
    result.source = out.source;
    out = std::move(result);
    return true;
}

bool LoadEmulationConfigFile(const std::string& path, EmulationConfig& out, std::string& error) {
    // O_NONBLOCK so that a FIFO named by mistake does not hang the caller.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = path + ": not a regular file";
        return false;
    }
    if (static_cast<unsigned long long>(st.st_size) > kMaxConfigFileSize) {
        ::close(fd);
        error = path + ": larger than " + std::to_string(kMaxConfigFileSize) + " bytes";
        return false;
    }
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        text.append(chunk, static_cast<size_t>(n));
        if (text.size() > kMaxConfigFileSize) {
            ::close(fd);
            error = path + ": larger than " + std::to_string(kMaxConfigFileSize) + " bytes";
            return false;
        }
    }
    ::close(fd);
    EmulationConfig parsed;
    std::string parseError;
    if (!ParseEmulationConfig(text, parsed, parseError)) {
        error = path + ": " + parseError;
        return false;
    }
    parsed.source = path;
    out = std::move(parsed);
    return true;
}

std::string EmulationConfigPath() {
    const char* env = std::getenv("MARO_EMULATION");
    if (env != nullptr && env[0] != '\0')
        return env;
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&LibraryAnchor), &info) == 0 ||
        info.dli_fname == nullptr) {
        return "";
    }
    char* resolved = ::realpath(info.dli_fname, nullptr);
    if (resolved == nullptr)
        return "";
    std::string dir = resolved;
    std::free(resolved);
    // <install dir>/lib/<library>, or <install dir>/lib/clsertolvane/<library>
    // in an installed tree's private folder.
    const auto up = [&dir] {
        const size_t slash = dir.rfind('/');
        if (slash != std::string::npos)
            dir.resize(slash);
        return slash != std::string::npos;
    };
    if (!up() || (dir.ends_with("/lib/clsertolvane") && !up()) || !up())
        return "";
    std::string candidate = dir + "/etc/emulation.ini";
    if (::access(candidate.c_str(), F_OK) != 0)
        return "";
    return candidate;
}

bool LoadEmulationConfig(EmulationConfig& out, std::string& error) {
    const std::string path = EmulationConfigPath();
    if (path.empty()) {
        out = DefaultEmulationConfig();
        return true;
    }
    if (LoadEmulationConfigFile(path, out, error))
        return true;
    out = DefaultEmulationConfig();
    return false;
}

}  // namespace clst::emulation
