#include "connections/port_discovery.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace clst {

namespace {

constexpr uint32_t kPlatformNt = 2;
constexpr uint32_t kFirstDeviceBufferSize = 4096;
constexpr size_t kPairTextSize = 20;
constexpr size_t kClSerEntrySize = 256;

}  // namespace

bool IsComPortName(const char* name, size_t length) {
    if (length < 4 || length > 7) {
        return false;
    }
    if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') {
        return false;
    }
    for (size_t i = 3; i < length; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return false;
        }
    }
    return true;
}

bool PortDiscovery::EnumerateComPorts() {
    uint32_t platformId = 0;
    if (!backend_.GetVersion(platformId) || platformId != kPlatformNt) {
        backend_.SetLastError(kErrorCallNotImplemented);
        return false;
    }
    uint32_t size = kFirstDeviceBufferSize;
    std::unique_ptr<char[]> buffer;
    for (;;) {
        buffer.reset(new (std::nothrow) char[size]);
        if (!buffer) {
            backend_.SetLastError(kErrorOutOfMemory);
            return false;
        }
        if (backend_.QueryDosDevice(buffer.get(), size) != 0) {
            break;
        }
        if (backend_.LastError() != kErrorInsufficientBuffer || size > 0x7FFFFFFFu) {
            return false;
        }
        size *= 2;
    }
    // Walk the names up to the empty text closing the list, never past the
    // buffer even when the list is not closed properly.
    const char* p = buffer.get();
    const char* end = buffer.get() + size;
    while (p < end && *p != '\0') {
        const size_t length = strnlen(p, static_cast<size_t>(end - p));
        if (IsComPortName(p, length)) {
            m_comPorts.push_back(PortEntry{"", std::string(p, length), ""});
        }
        p += length + 1;
    }
    return true;
}

void PortDiscovery::MergeVirtualPortPairs() {
    if (backend_.VcpInitialize() == 0) {
        const int32_t needed = backend_.VcpGetLastErrorText(nullptr, 0);
        if (needed > 0) {
            std::string text(static_cast<size_t>(needed), '\0');
            backend_.VcpGetLastErrorText(text.data(), needed);
            text.resize(strnlen(text.c_str(), text.size()));
            backend_.ShowWarning(text);
        }
        return;
    }
    const int32_t count = backend_.VcpGetPairCount();
    for (int32_t i = 0; i < count; ++i) {
        char pairName[kPairTextSize] = {};
        char firstPort[kPairTextSize] = {};
        char secondPort[kPairTextSize] = {};
        if (backend_.VcpGetPair(i, pairName, firstPort, secondPort) == 0) {
            continue;
        }
        PortEntry entry{std::string(pairName, strnlen(pairName, kPairTextSize)),
                        std::string(firstPort, strnlen(firstPort, kPairTextSize)),
                        std::string(secondPort, strnlen(secondPort, kPairTextSize))};
        for (auto it = m_comPorts.begin(); it != m_comPorts.end(); ++it) {
            if (it->comPortName == entry.comPortName || it->comPortName == entry.devicePortName) {
                m_comPorts.erase(it);
                break;
            }
        }
        m_comPorts.push_back(std::move(entry));
    }
}

void PortDiscovery::RefreshComPortList() {
    m_comPorts.clear();
    EnumerateComPorts();
    MergeVirtualPortPairs();
}

bool PortDiscovery::EnumerateClSerPorts() {
    const int32_t limit = backend_.DeviceLimit();
    char text[256] = {};
    uint32_t length = sizeof text;
    if (backend_.QuerySystemInfo(kSelectorBoardCount, text, length) != 0) {
        return false;
    }
    text[sizeof text - 1] = '\0';
    const long boards = std::strtol(text, nullptr, 10);
    if (boards < 1) {
        return false;
    }
    long found = 0;
    int running = 0;
    bool result = false;
    for (int32_t b = 0; b < limit; ++b) {
        void* device = backend_.OpenDevice(b);
        if (device == nullptr) {
            continue;
        }
        ++found;
        int32_t ports = backend_.QueryBoardInt(device, "ports/serial");
        if (ports < 1) {
            ports = backend_.QueryBoardInt(device, "cl");
        }
        const char* name = backend_.QueryBoardText(device, "board/name");
        if (name != nullptr && ports > 0) {
            result = true;
            for (int32_t p = 0; p < ports; ++p) {
                char entry[kClSerEntrySize];
                std::snprintf(entry, sizeof entry, "%d. %s_Port%d", running, name, p);
                m_clserPorts.emplace_back(entry);
                ++running;
            }
        }
        backend_.CloseDevice(device);
        if (found >= boards) {
            break;
        }
    }
    return result;
}

bool PortDiscovery::ListClSerPorts() {
    if (EnumerateClSerPorts())
        return true;
    // A runtime that loads but finds no board keeps the no-boards answer.
    if (backend_.BoardRuntimeLoaded())
        return false;
    return backend_.ListSerialLibraryPorts(m_clserPorts, m_clserRoutes);
}

}  // namespace clst
