#include "platform/device_namespace.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/port_directory.h"
#include "platform/win32_errors.h"

namespace clst::platform {

namespace {

constexpr const char* kDevicePrefix = "\\\\.\\";

struct ComRange {
    int first;  // first COM number of the range
    const char* device;
};
constexpr ComRange kComRanges[] = {{1, "/dev/ttyS"}, {33, "/dev/ttyUSB"}, {65, "/dev/ttyACM"}};
constexpr int kPerRange = 32;

// The number n of "<prefix>n" (1..9999), or 0.
int NumberAfter(const std::string& name, const char* prefix) {
    const size_t len = std::strlen(prefix);
    if (name.size() <= len || name.size() > len + 4 ||
        strncasecmp(name.c_str(), prefix, len) != 0) {
        return 0;
    }
    int n = 0;
    for (size_t i = len; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string ComDevice(int n) {
    for (const auto& range : kComRanges) {
        if (n >= range.first && n < range.first + kPerRange) {
            return range.device + std::to_string(n - range.first);
        }
    }
    return {};
}

// A /dev/ttyS<n> node exists for every possible UART; only those with a
// real port behind them count. sysfs tells without opening the device, which
// would raise DTR and RTS on a real port.
bool IsRealSerialDevice(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    if (path.compare(0, 9, "/dev/ttyS") != 0) {
        return true;
    }
    std::ifstream type("/sys/class/tty/" + path.substr(5) + "/type");
    int uart = 0;
    return static_cast<bool>(type >> uart) && uart != 0;  // 0 is PORT_UNKNOWN: no UART
}

}  // namespace

std::string ResolveDevicePath(const std::string& input) {
    std::string name = input;
    if (name.compare(0, 4, kDevicePrefix) == 0) {
        name.erase(0, 4);
    }
    if (name.empty()) {
        return {};
    }
    if (name.front() == '/') {
        return name;
    }
    const std::string dir = PortDirectoryPath();
    std::string refused;
    const bool usable = CheckPortDirectory(dir, refused);
    if (name.find('/') == std::string::npos) {
        if (usable && Exists(dir + "/" + name)) {
            return dir + "/" + name;
        }
        if (int n = usable ? NumberAfter(name, "MAROCOM") : 0) {
            std::string deviceEnd = dir + "/ZADURUV" + std::to_string(n);
            if (Exists(deviceEnd)) {
                return deviceEnd;
            }
        }
        if (int n = NumberAfter(name, "COM")) {
            std::string device = ComDevice(n);
            if (!device.empty()) {
                return device;
            }
        }
    }
    return "/dev/" + name;
}

std::string SystemComPortDevice(int number) {
    const std::string device = ComDevice(number);
    return !device.empty() && IsRealSerialDevice(device) ? device : std::string();
}

std::vector<std::pair<std::string, std::string>> ListDosDevices() {
    std::vector<std::pair<std::string, std::string>> devices;
    const std::string dir = PortDirectoryPath();
    std::string refused;
    if (DIR* d = CheckPortDirectory(dir, refused) ? opendir(dir.c_str()) : nullptr) {
        std::vector<std::string> names;
        while (dirent* e = readdir(d)) {
            if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
                names.emplace_back(e->d_name);
            }
        }
        closedir(d);
        std::sort(names.begin(), names.end());
        for (const auto& name : names) {
            if (name.empty() || name[0] == '.')
                continue;
            char target[4096];
            ssize_t n = readlink((dir + "/" + name).c_str(), target, sizeof target - 1);
            if (n <= 0)
                continue;
            devices.emplace_back(name, std::string(target, static_cast<size_t>(n)));
        }
    }
    for (const auto& range : kComRanges) {
        for (int i = 0; i < kPerRange; ++i) {
            const std::string device = SystemComPortDevice(range.first + i);
            if (device.empty())
                continue;
            const std::string name = "COM" + std::to_string(range.first + i);
            const bool taken = std::any_of(devices.begin(), devices.end(),
                                           [&](const auto& p) { return p.first == name; });
            if (!taken)
                devices.emplace_back(name, device);
        }
    }
    return devices;
}

uint32_t QueryDosDevice(char* buffer, uint32_t size) {
    std::string all;
    for (const auto& device : ListDosDevices()) {
        all += device.first;
        all.push_back('\0');
    }
    all.push_back('\0');
    if (buffer == nullptr || all.size() > size) {
        SetLastError(kErrorInsufficientBuffer);
        return 0;
    }
    // `all` ends in its own double NUL.
    std::memcpy(buffer, all.data(), all.size());  // NOLINT(bugprone-not-null-terminated-result)
    SetLastError(kErrorSuccess);
    return static_cast<uint32_t>(all.size());
}

}  // namespace clst::platform
