// A scripted discovery backend (device list, board runtime, port-pair
// library), beside the window and dialog stand-ins of connection_view_fakes.h.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "connections/connection_control.h"
#include "connections/port_discovery.h"
#include "relay/relay_state.h"
#include "tests/support/connection_view_fakes.h"

namespace clst::testing {

struct FakeBoard {
    const char* name;  // null: the board reports no name
    int32_t serialPorts;
    int32_t clPorts;
};

struct FakePair {
    std::string pair, first, second;
    bool fails = false;
};

class FakeBackend : public DiscoveryBackend {
  public:
    // System side.
    bool versionOk = true;
    uint32_t platform = 2;
    std::vector<std::string> devices;
    uint32_t lastError = 0;
    std::vector<uint32_t> querySizes;

    bool GetVersion(uint32_t& platformId) override {
        platformId = platform;
        return versionOk;
    }
    uint32_t QueryDosDevice(char* buffer, uint32_t size) override {
        querySizes.push_back(size);
        std::string all;
        for (const auto& d : devices)
            all += d + '\0';
        all += '\0';
        if (all.size() > size) {
            lastError = kErrorInsufficientBuffer;
            return 0;
        }
        std::memcpy(buffer, all.data(), all.size());
        return static_cast<uint32_t>(all.size());
    }
    uint32_t LastError() override { return lastError; }
    void SetLastError(uint32_t code) override { lastError = code; }

    // Board runtime.
    int32_t limit = 8;
    int32_t boardCountStatus = 0;
    std::string boardCountText = "0";
    std::map<int32_t, FakeBoard> boards;
    std::vector<int32_t> opened;
    int openHandles = 0;

    int32_t DeviceLimit() override { return limit; }
    int32_t QuerySystemInfo(uint32_t selector, char* buffer, uint32_t& length) override {
        EXPECT_EQ(selector, kSelectorBoardCount);
        EXPECT_EQ(length, 256u);
        EXPECT_EQ(buffer[0], '\0');
        std::snprintf(buffer, length, "%s", boardCountText.c_str());
        return boardCountStatus;
    }
    void* OpenDevice(int32_t index) override {
        opened.push_back(index);
        auto it = boards.find(index);
        if (it == boards.end())
            return nullptr;
        ++openHandles;
        return &it->second;
    }
    int32_t QueryBoardInt(void* device, const char* key) override {
        auto* b = static_cast<FakeBoard*>(device);
        if (std::strcmp(key, "ports/serial") == 0)
            return b->serialPorts;
        if (std::strcmp(key, "cl") == 0)
            return b->clPorts;
        ADD_FAILURE() << "unexpected key " << key;
        return 0;
    }
    const char* QueryBoardText(void* device, const char* key) override {
        EXPECT_STREQ(key, "board/name");
        return static_cast<FakeBoard*>(device)->name;
    }
    void CloseDevice(void* /*device*/) override { --openHandles; }

    // What the serial libraries list by themselves.
    bool runtimeLoaded = true;
    std::vector<std::string> libraryPorts;

    bool BoardRuntimeLoaded() override { return runtimeLoaded; }
    bool ListSerialLibraryPorts(std::vector<std::string>& names) override {
        names.insert(names.end(), libraryPorts.begin(), libraryPorts.end());
        return !libraryPorts.empty();
    }

    // Port-pair library.
    bool vcpReady = true;
    std::string vcpError;
    std::vector<FakePair> pairs;
    std::vector<std::string> warnings;

    int32_t VcpInitialize() override { return vcpReady ? 1 : 0; }
    int32_t VcpGetLastErrorText(char* buffer, int32_t size) override {
        const int32_t needed = static_cast<int32_t>(vcpError.size() + 1);
        if (buffer == nullptr)
            return vcpError.empty() ? 0 : needed;
        std::snprintf(buffer, static_cast<size_t>(size), "%s", vcpError.c_str());
        return needed;
    }
    int32_t VcpGetPairCount() override { return static_cast<int32_t>(pairs.size()); }
    int32_t VcpGetPair(int32_t index, char* pairName, char* firstPort, char* secondPort) override {
        const auto& p = pairs.at(static_cast<size_t>(index));
        if (p.fails)
            return 0;
        std::snprintf(pairName, 20, "%s", p.pair.c_str());
        std::snprintf(firstPort, 20, "%s", p.first.c_str());
        std::snprintf(secondPort, 20, "%s", p.second.c_str());
        return 1;
    }
    void ShowWarning(const std::string& text) override { warnings.push_back(text); }
};

}  // namespace clst::testing
