#include "connections/serial_library_ports.h"

#include <cstdio>
#include <cstring>

namespace clst {

namespace {

// The same room the board runtime's entries get.
constexpr size_t kEntrySize = 256;

// A text the library writes into a buffer it is told the size of; "" when it
// fails. Some libraries leave the text without its NUL when it just fits.
template <typename Fill>
std::string LibraryText(Fill fill) {
    char text[kEntrySize] = {};
    uint32_t size = sizeof text;
    if (fill(text, &size) < 0)
        return {};
    return std::string(text, strnlen(text, sizeof text));
}

// The file name without "lib" and ".so", for a library that gives no name.
std::string FileStem(const std::string& path) {
    std::string name = path.substr(path.rfind('/') + 1);
    if (name.starts_with("lib"))
        name.erase(0, 3);
    if (name.ends_with(".so"))
        name.erase(name.size() - 3);
    return name;
}

}  // namespace

SerialLibraryPorts ListSerialLibraryPorts(const std::vector<const ClSerialLibrary*>& libraries) {
    SerialLibraryPorts list;
    int running = 0;
    for (const ClSerialLibrary* library : libraries) {
        if (library == nullptr || library->status != 0)
            continue;
        const std::string& path = library->path;
        if (library->getNumSerialPorts == nullptr || library->getManufacturerInfo == nullptr) {
            list.refused.push_back(path + ": no function " +
                                   (library->getNumSerialPorts == nullptr
                                        ? "clGetNumSerialPorts"
                                        : "clGetManufacturerInfo") +
                                   ", so its ports cannot be listed");
            continue;
        }
        uint32_t ports = 0;
        const int32_t status = library->getNumSerialPorts(&ports);
        if (status < 0) {
            list.refused.push_back(path + ": clGetNumSerialPorts failed with status " +
                                   std::to_string(status));
            continue;
        }
        if (ports > kMaxSerialLibraryPorts) {
            list.refused.push_back(path + ": clGetNumSerialPorts reports " + std::to_string(ports) +
                                   " ports");
            continue;
        }
        std::string maker = LibraryText([&](char* text, uint32_t* size) {
            uint32_t version = 0;
            return library->getManufacturerInfo(text, size, &version);
        });
        if (maker.empty())
            maker = FileStem(path);
        for (uint32_t p = 0; p < ports; ++p) {
            std::string id;
            if (library->getSerialPortIdentifier != nullptr) {
                id = LibraryText([&](char* text, uint32_t* size) {
                    return library->getSerialPortIdentifier(p, text, size);
                });
            }
            char entry[kEntrySize] = {};
            const int n =
                std::snprintf(entry, sizeof entry, "%d. %s_Port%u", running, maker.c_str(), p);
            if (!id.empty() && n >= 0 && static_cast<size_t>(n) < sizeof entry)
                std::snprintf(entry + n, sizeof entry - static_cast<size_t>(n), " (%s)",
                              id.c_str());
            list.names.emplace_back(entry);
            list.routes.push_back({library, p});
            ++running;
        }
    }
    return list;
}

}  // namespace clst
