#include "portpairs/wine_dosdevices.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace clst {

namespace {

namespace fs = std::filesystem;

// In the order Wine numbers them.
constexpr const char* kWineSerialNames[] = {"ttyS", "ttyUSB", "ttyACM"};

std::string ComLinkPath(const std::string& prefix, int number) {
    return prefix + "/dosdevices/com" + std::to_string(number);
}

// A device name of the kind Wine links, such as <devDir>/ttyUSB3.
bool IsWineSerialDevicePath(const std::string& path, const std::string& devDir) {
    if (!path.starts_with(devDir + "/")) {
        return false;
    }
    const std::string name = path.substr(devDir.size() + 1);
    for (const std::string kind : kWineSerialNames) {
        if (name.size() > kind.size() && name.starts_with(kind) &&
            name.find_first_not_of("0123456789", kind.size()) == std::string::npos) {
            return true;
        }
    }
    return false;
}

// Where the link at `path` points; false when `path` is no link.
bool ReadLink(const std::string& path, std::string& target) {
    std::error_code ec;
    const fs::path read = fs::read_symlink(path, ec);
    if (ec) {
        return false;
    }
    target = read.string();
    return true;
}

}  // namespace

std::string WinePrefixPath() {
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix != nullptr && *prefix != '\0') {
        std::string path = prefix;
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        return path;
    }
    const char* home = std::getenv("HOME");
    return home != nullptr && *home != '\0' ? std::string(home) + "/.wine" : std::string();
}

std::vector<std::string> WineSerialDevices(const std::string& devDir) {
    std::vector<std::string> devices;
    for (const std::string kind : kWineSerialNames) {
        for (int i = 0;; ++i) {
            const std::string path = devDir + "/" + kind + std::to_string(i);
            if (access(path.c_str(), F_OK) != 0) {
                break;
            }
            devices.push_back(path);
        }
    }
    return devices;
}

WineComMapping PlanWineComMapping(const std::string& prefix, int number,
                                  const std::string& pairComPath, const std::string& devDir,
                                  bool inPortTable) {
    WineComMapping plan;
    plan.target = pairComPath;
    const std::string com = "COM" + std::to_string(number);
    if (number < 1) {
        plan.reason = com + " is not a port number that Windows programs can open.";
        return plan;
    }
    if (prefix.empty()) {
        plan.reason = "Neither WINEPREFIX nor HOME is set, so there is no Wine prefix to map " +
                      com + " into.";
        return plan;
    }
    if (prefix.front() != '/') {
        plan.reason = "WINEPREFIX \"" + prefix + "\" is not an absolute path.";
        return plan;
    }
    std::error_code ec;
    if (!fs::is_directory(prefix + "/dosdevices", ec)) {
        plan.reason = "There is no Wine prefix at " + prefix +
                      " (it has no dosdevices folder). Make one with \"wineboot -i\" (or run "
                      "any Windows program with Wine once), or set WINEPREFIX to the prefix "
                      "your Windows programs use.";
        return plan;
    }
    plan.linkPath = ComLinkPath(prefix, number);

    const std::vector<std::string> devices = WineSerialDevices(devDir);
    if (!inPortTable && static_cast<size_t>(number) <= devices.size()) {
        const std::string count = std::to_string(devices.size());
        plan.reason = "Wine gives " + com + " to " + devices[number - 1] +
                      " every time it starts (the first " + count +
                      " COM numbers go to this machine's serial devices), so the mapping would "
                      "not last: install the pair with a number above " +
                      count + " for Windows programs.";
        return plan;
    }

    std::string found;
    if (!ReadLink(plan.linkPath, found)) {
        if (!fs::exists(fs::symlink_status(plan.linkPath, ec))) {
            plan.step = WineComMapping::Step::kCreate;
            return plan;
        }
        plan.reason = plan.linkPath +
                      " exists and is not a link; it was not made by Wine, so it "
                      "is left alone. Remove it if the pair should take its "
                      "place, or choose another number.";
        return plan;
    }
    if (found == pairComPath) {
        plan.step = WineComMapping::Step::kKeep;
        return plan;
    }
    if (IsWineSerialDevicePath(found, devDir) &&
        (inPortTable || !fs::exists(fs::symlink_status(found, ec)))) {
        plan.step = WineComMapping::Step::kReplace;
        plan.replaced = found;
        return plan;
    }
    plan.reason = plan.linkPath + " exists already and points at " + found +
                  "; only Wine's own links to serial devices that are gone are replaced, so it "
                  "is left alone. Remove it if the pair should take its place, or choose "
                  "another number.";
    return plan;
}

bool ApplyWineComMapping(const WineComMapping& mapping, std::string& error) {
    std::error_code ec;
    switch (mapping.step) {
        case WineComMapping::Step::kKeep:
            return true;
        case WineComMapping::Step::kCreate:
            // Fails rather than overwrite what appeared since the plan.
            fs::create_symlink(mapping.target, mapping.linkPath, ec);
            break;
        case WineComMapping::Step::kReplace: {
            // Made beside it and renamed over it, so com<n> never is missing
            // for a Windows program opening it meanwhile.
            const std::string temporary = mapping.linkPath + ".clsertolvane-new";
            fs::remove(temporary, ec);
            fs::create_symlink(mapping.target, temporary, ec);
            if (!ec) {
                fs::rename(temporary, mapping.linkPath, ec);
                if (ec) {
                    std::error_code ignored;
                    fs::remove(temporary, ignored);
                }
            }
            break;
        }
        case WineComMapping::Step::kRefuse:
            error = mapping.reason;
            return false;
    }
    if (ec) {
        error = "Cannot make the link " + mapping.linkPath + ": " + ec.message();
        return false;
    }
    return true;
}

bool IsWineComMapped(const std::string& prefix, int number, const std::string& pairComPath) {
    std::string found;
    return !prefix.empty() && ReadLink(ComLinkPath(prefix, number), found) && found == pairComPath;
}

bool RemoveWineComMapping(const std::string& prefix, int number, const std::string& pairComPath,
                          bool& removed, std::string& error) {
    removed = false;
    if (!IsWineComMapped(prefix, number, pairComPath)) {
        return true;
    }
    std::error_code ec;
    removed = fs::remove(ComLinkPath(prefix, number), ec);
    if (ec) {
        error = "Cannot remove the link " + ComLinkPath(prefix, number) + ": " + ec.message();
        return false;
    }
    return true;
}

}  // namespace clst
