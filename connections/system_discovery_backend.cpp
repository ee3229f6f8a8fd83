#include "connections/system_discovery_backend.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "connections/frame_grabber_runtime.h"
#include "connections/serial_library_ports.h"
#include "platform/device_namespace.h"
#include "platform/win32_errors.h"

namespace clst {

namespace {
constexpr uint32_t kPlatformNt = 2;
constexpr size_t kVcpTextSize = 512;
}  // namespace

// Linux plays the part of the NT family: the device namespace is there.
bool SystemDiscoveryBackend::GetVersion(uint32_t& platformId) {
    platformId = kPlatformNt;
    return true;
}

uint32_t SystemDiscoveryBackend::QueryDosDevice(char* buffer, uint32_t size) {
    return platform::QueryDosDevice(buffer, size);
}

uint32_t SystemDiscoveryBackend::LastError() {
    return platform::GetLastError();
}

void SystemDiscoveryBackend::SetLastError(uint32_t code) {
    platform::SetLastError(code);
}

int32_t SystemDiscoveryBackend::DeviceLimit() {
    return FrameGrabberRuntime::MHalDeviceLimit();
}

int32_t SystemDiscoveryBackend::QuerySystemInfo(uint32_t selector, char* buffer, uint32_t& length) {
    return FrameGrabberRuntime::Acq_QuerySystemInfo(nullptr, static_cast<int32_t>(selector), 0, 0,
                                                    buffer, &length);
}

void* SystemDiscoveryBackend::OpenDevice(int32_t index) {
    return FrameGrabberRuntime::MHalOpenDevice(static_cast<uint32_t>(index));
}

int32_t SystemDiscoveryBackend::QueryBoardInt(void* device, const char* key) {
    return FrameGrabberRuntime::MHalQueryBoardInt(device, key);
}

const char* SystemDiscoveryBackend::QueryBoardText(void* device, const char* key) {
    return FrameGrabberRuntime::MHalQueryBoardText(device, key);
}

void SystemDiscoveryBackend::CloseDevice(void* device) {
    FrameGrabberRuntime::MHalCloseDevice(device);
}

bool SystemDiscoveryBackend::BoardRuntimeLoaded() {
    return FrameGrabberRuntime::Loaded();
}

bool SystemDiscoveryBackend::ListSerialLibraryPorts(std::vector<std::string>& names,
                                                    std::vector<ClSerPortRoute>& routes) {
    std::vector<const ClSerialLibrary*> libraries;
    for (const ClSerialLibrary& library : ProcessClSerialLibraries())
        libraries.push_back(&library);
    SerialLibraryPorts ports = clst::ListSerialLibraryPorts(libraries);
    for (const std::string& reason : ports.refused)
        std::fprintf(stderr, "Camera Link serial library: %s\n", reason.c_str());
    names.insert(names.end(), ports.names.begin(), ports.names.end());
    routes.insert(routes.end(), ports.routes.begin(), ports.routes.end());
    return !ports.names.empty();
}

int32_t SystemDiscoveryBackend::VcpInitialize() {
    return pairs_.VcpInitialize();
}

int32_t SystemDiscoveryBackend::VcpGetLastErrorText(char* buffer, int32_t size) {
    if (buffer == nullptr) {
        return pairs_.VcpGetLastErrorText(nullptr);
    }
    // The library writes up to its own limit; copy no more than the caller has.
    char text[kVcpTextSize + 1] = {};
    const int32_t needed = pairs_.VcpGetLastErrorText(text);
    if (size > 0) {
        const size_t n = std::min(strnlen(text, kVcpTextSize), static_cast<size_t>(size) - 1);
        std::memcpy(buffer, text, n);
        buffer[n] = '\0';
    }
    return needed;
}

int32_t SystemDiscoveryBackend::VcpGetPairCount() {
    return pairs_.VcpGetPairCount();
}

int32_t SystemDiscoveryBackend::VcpGetPair(int32_t index, char* pairName, char* firstPort,
                                           char* secondPort) {
    return pairs_.VcpGetPair(index, pairName, firstPort, secondPort);
}

void SystemDiscoveryBackend::ShowWarning(const std::string& text) {
    messages_.ShowMessage(text, "", kMbOk | kMbIconExclamation);
}

}  // namespace clst
