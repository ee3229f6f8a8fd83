// Port discovery: the COM port list (system ports merged with the virtual
// port pairs) and the Camera Link serial port list (every serial port of
// every board).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "relay/clser_library_search.h"

namespace clst {

// Only this program's own ends of the virtual pairs carry this in their name.
inline constexpr const char* kVirtualPortMarker = "ZADURUV";

struct PortEntry {
    std::string pairName;        // empty for a port that belongs to no pair
    std::string comPortName;     // what other programs open, e.g. COM5
    std::string devicePortName;  // the pair's other end, the port this program opens

    bool operator==(const PortEntry&) const = default;
};

// What discovery asks of the system, the board runtime and the port-pair
// library. The production implementation forwards to the platform layer,
// the frame-grabber runtime and the port-pair library; tests give their own.
class DiscoveryBackend {
  public:
    virtual ~DiscoveryBackend() = default;

    // System version: false when it cannot be read; else the platform id
    // (2 for the NT family, which this program needs).
    virtual bool GetVersion(uint32_t& platformId) = 0;
    // All device names as consecutive NUL-terminated texts closed by an
    // empty text; the number of bytes stored, 0 on failure (LastError says
    // why: 122 when the buffer is too small).
    virtual uint32_t QueryDosDevice(char* buffer, uint32_t size) = 0;
    virtual uint32_t LastError() = 0;
    virtual void SetLastError(uint32_t code) = 0;

    virtual int32_t DeviceLimit() = 0;
    virtual int32_t QuerySystemInfo(uint32_t selector, char* buffer, uint32_t& length) = 0;
    virtual void* OpenDevice(int32_t index) = 0;
    virtual int32_t QueryBoardInt(void* device, const char* key) = 0;
    virtual const char* QueryBoardText(void* device, const char* key) = 0;
    virtual void CloseDevice(void* device) = 0;
    // Whether the board runtime and the hardware-abstraction library loaded.
    virtual bool BoardRuntimeLoaded() = 0;
    // Appends the Camera Link ports the serial libraries report themselves,
    // with the route to each; false when none was listed.
    virtual bool ListSerialLibraryPorts(std::vector<std::string>& names,
                                        std::vector<ClSerPortRoute>& routes) = 0;

    virtual int32_t VcpInitialize() = 0;
    // Text of the last port-pair error; with a null buffer the size needed.
    virtual int32_t VcpGetLastErrorText(char* buffer, int32_t size) = 0;
    virtual int32_t VcpGetPairCount() = 0;
    virtual int32_t VcpGetPair(int32_t index, char* pairName, char* firstPort,
                               char* secondPort) = 0;

    // Shows a warning (exclamation icon, default caption) to the user.
    virtual void ShowWarning(const std::string& text) = 0;
};

inline constexpr uint32_t kErrorCallNotImplemented = 120;
inline constexpr uint32_t kErrorOutOfMemory = 14;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kSelectorBoardCount = 1000;

class PortDiscovery {
  public:
    explicit PortDiscovery(DiscoveryBackend& backend) : backend_(backend) {}

    // Lists the Camera Link serial ports of all boards; true when at least one
    // was listed. Meant to run once.
    bool EnumerateClSerPorts();
    // The Camera Link port list at start: the boards of the maker's runtime,
    // or, only when that runtime cannot be loaded, the ports the serial
    // libraries report. True when at least one port was listed.
    bool ListClSerPorts();
    // Rebuilds the COM port list: system ports, then the virtual pairs.
    void RefreshComPortList();
    // Appends the system's COM ports; false (LastError says why) when the
    // device list could not be read.
    bool EnumerateComPorts();
    // Merges the virtual port pairs into the COM port list.
    void MergeVirtualPortPairs();

    std::vector<PortEntry> m_comPorts;
    std::vector<std::string> m_clserPorts;
    // Where each of m_clserPorts is served (ClSerPortRouteAt); none when the
    // board runtime listed them.
    std::vector<ClSerPortRoute> m_clserRoutes;

  private:
    DiscoveryBackend& backend_;
};

// True for "COM" (any case) followed by 1 to 4 decimal digits.
bool IsComPortName(const char* name, size_t length);

}  // namespace clst
