// A scripted discovery backend (device list, board runtime, port-pair
// library), beside the window and dialog stand-ins of connection_view_fakes.h.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "connections/port_discovery.h"
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
    std::vector<std::string> devices;
    uint32_t lastError = 0;
    std::vector<uint32_t> querySizes;

    bool GetVersion(uint32_t& platformId) override {
        platformId = 2;  // the NT family, as on Linux
        return true;
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
        const std::string name = key;
        EXPECT_TRUE(name == "ports/serial" || name == "cl") << name;
        return name == "cl" ? static_cast<FakeBoard*>(device)->clPorts
                            : static_cast<FakeBoard*>(device)->serialPorts;
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
    bool ListSerialLibraryPorts(std::vector<std::string>& names,
                                std::vector<ClSerPortRoute>& routes) override {
        names.insert(names.end(), libraryPorts.begin(), libraryPorts.end());
        routes.resize(names.size());
        return !libraryPorts.empty();
    }

    // Port-pair library.
    std::optional<std::string> vcpError;  // set: the library is not ready, and says this
    std::vector<FakePair> pairs;
    std::vector<std::string> warnings;

    int32_t VcpInitialize() override { return vcpError ? 0 : 1; }
    int32_t VcpGetLastErrorText(char* buffer, int32_t size) override {
        const std::string text = vcpError.value_or("");
        if (buffer != nullptr)
            std::snprintf(buffer, static_cast<size_t>(size), "%s", text.c_str());
        return text.empty() ? 0 : static_cast<int32_t>(text.size() + 1);
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
