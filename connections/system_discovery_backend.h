// Port discovery on the running system: the device namespace, the board
// runtime and the port-pair library.
#pragma once

#include "connections/message_sink.h"
#include "connections/port_discovery.h"
#include "portpairs/port_pair_library.h"

namespace clst {

class SystemDiscoveryBackend : public DiscoveryBackend {
  public:
    SystemDiscoveryBackend(PortPairLibrary& pairs, MessageSink& messages)
        : pairs_(pairs), messages_(messages) {}

    bool GetVersion(uint32_t& platformId) override;
    uint32_t QueryDosDevice(char* buffer, uint32_t size) override;
    uint32_t LastError() override;
    void SetLastError(uint32_t code) override;

    int32_t DeviceLimit() override;
    int32_t QuerySystemInfo(uint32_t selector, char* buffer, uint32_t& length) override;
    void* OpenDevice(int32_t index) override;
    int32_t QueryBoardInt(void* device, const char* key) override;
    const char* QueryBoardText(void* device, const char* key) override;
    void CloseDevice(void* device) override;
    bool BoardRuntimeLoaded() override;
    // Lists through ProcessClSerialLibraries() and prints each refusal to
    // standard error.
    bool ListSerialLibraryPorts(std::vector<std::string>& names,
                                std::vector<ClSerPortRoute>& routes) override;

    int32_t VcpInitialize() override;
    int32_t VcpGetLastErrorText(char* buffer, int32_t size) override;
    int32_t VcpGetPairCount() override;
    int32_t VcpGetPair(int32_t index, char* pairName, char* firstPort, char* secondPort) override;

    void ShowWarning(const std::string& text) override;

  private:
    PortPairLibrary& pairs_;
    MessageSink& messages_;
};

}  // namespace clst
