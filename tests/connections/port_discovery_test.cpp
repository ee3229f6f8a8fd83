// Port discovery over a scripted backend standing in for the system's device
// list, the board runtime and the port-pair library.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "connections/port_discovery.h"

using namespace clst;

namespace {

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

std::vector<std::string> ComNames(const PortDiscovery& d) {
    std::vector<std::string> names;
    for (const auto& e : d.m_comPorts)
        names.push_back(e.comPortName);
    return names;
}

}  // namespace

TEST(ComPortListTest, TakesOnlyComNamesWithOneToFourDigitsAsListed) {
    FakeBackend backend;
    backend.devices = {"COM1", "COM12",   "com3",     "COM",   "COMX1", "COM1234567",
                       "LPT1", "COM9999", "COM10000", "ttyS0", "cOm7x"};
    PortDiscovery d(backend);
    ASSERT_TRUE(d.EnumerateComPorts());
    EXPECT_EQ(ComNames(d), (std::vector<std::string>{"COM1", "COM12", "com3", "COM9999"}));
    for (const auto& e : d.m_comPorts) {
        EXPECT_TRUE(e.pairName.empty());
        EXPECT_TRUE(e.devicePortName.empty());
    }
}

TEST(ComPortListTest, DoublesTheBufferUntilTheListFits) {
    FakeBackend backend;
    for (int i = 0; i < 2000; ++i)
        backend.devices.push_back("DEV" + std::to_string(i));
    backend.devices.push_back("COM42");
    PortDiscovery d(backend);
    ASSERT_TRUE(d.EnumerateComPorts());
    EXPECT_EQ(ComNames(d), std::vector<std::string>{"COM42"});
    ASSERT_GE(backend.querySizes.size(), 2u);
    EXPECT_EQ(backend.querySizes[0], 4096u);
    for (size_t i = 1; i < backend.querySizes.size(); ++i) {
        EXPECT_EQ(backend.querySizes[i], backend.querySizes[i - 1] * 2);
    }
}

TEST(ComPortListTest, FailuresListNothingAndSayWhy) {
    FakeBackend backend;
    backend.devices = {"COM1"};
    backend.platform = 1;
    PortDiscovery d(backend);
    EXPECT_FALSE(d.EnumerateComPorts());
    EXPECT_EQ(backend.lastError, kErrorCallNotImplemented);
    EXPECT_TRUE(d.m_comPorts.empty());

    backend.platform = 2;
    backend.versionOk = false;
    EXPECT_FALSE(d.EnumerateComPorts());
    EXPECT_EQ(backend.lastError, kErrorCallNotImplemented);

    // Any other failure of the device list ends the walk at once.
    struct Failing : FakeBackend {
        uint32_t QueryDosDevice(char*, uint32_t) override {
            ++calls;
            lastError = 5;
            return 0;
        }
        int calls = 0;
    } failing;
    PortDiscovery f(failing);
    EXPECT_FALSE(f.EnumerateComPorts());
    EXPECT_EQ(failing.calls, 1);
    EXPECT_EQ(failing.lastError, 5u);
}

TEST(ComPortListTest, PairsReplaceSystemEntriesAndFailedPairsAreSkipped) {
    FakeBackend backend;
    backend.devices = {"COM1", "COM5"};
    backend.pairs = {{"CNC0", "COM5", "ZADURUV5"},
                     {"CNC1", "COM6", "ZADURUV6", true},
                     {"CNC2", "COM7", "ZADURUV7"}};
    PortDiscovery d(backend);
    d.RefreshComPortList();
    EXPECT_EQ(d.m_comPorts,
              (std::vector<PortEntry>{
                  {"", "COM1", ""}, {"CNC0", "COM5", "ZADURUV5"}, {"CNC2", "COM7", "ZADURUV7"}}));
    // A refresh starts from scratch.
    d.RefreshComPortList();
    EXPECT_EQ(d.m_comPorts.size(), 3u);
}

TEST(ComPortListTest, ASecondPairRemovesOnlyWhatItNames) {
    FakeBackend backend;
    backend.pairs = {{"CNC0", "COM5", "ZADURUV5"},
                     {"CNC1", "COM6", "ZADURUV6"},
                     {"CNC2", "COM8", "COM6"},       // names CNC1's COM port as its device end
                     {"CNC3", "COM5", "ZADURUV9"}};  // lists COM5 again: the last listing wins
    PortDiscovery d(backend);
    d.RefreshComPortList();
    EXPECT_EQ(d.m_comPorts,
              (std::vector<PortEntry>{{"CNC2", "COM8", "COM6"}, {"CNC3", "COM5", "ZADURUV9"}}));
}

TEST(ComPortListTest, UnreadyPairLibraryShowsItsTextAndKeepsSystemPorts) {
    FakeBackend backend;
    backend.devices = {"COM1"};
    backend.vcpReady = false;
    backend.vcpError = "The port directory is not usable.";
    backend.pairs = {{"CNC0", "COM5", "ZADURUV5"}};
    PortDiscovery d(backend);
    d.RefreshComPortList();
    EXPECT_EQ(ComNames(d), std::vector<std::string>{"COM1"});
    EXPECT_EQ(backend.warnings, std::vector<std::string>{"The port directory is not usable."});

    // No text: no message at all.
    backend.vcpError.clear();
    backend.warnings.clear();
    d.RefreshComPortList();
    EXPECT_TRUE(backend.warnings.empty());
}

TEST(ClSerPortListTest, NumbersPortsOverAllBoards) {
    FakeBackend backend;
    backend.boardCountText = "2";
    backend.boards = {{0, {"A", 2, 0}}, {1, {"B", 1, 0}}};
    PortDiscovery d(backend);
    ASSERT_TRUE(d.EnumerateClSerPorts());
    EXPECT_EQ(d.m_clserPorts, (std::vector<std::string>{"0. A_Port0", "1. A_Port1", "2. B_Port0"}));
    EXPECT_EQ(backend.openHandles, 0);
}

TEST(ClSerPortListTest, FallsBackToTheClPropertyAndSkipsUnnamedBoards) {
    FakeBackend backend;
    backend.boardCountText = "3";
    backend.boards = {{0, {"A", 0, 2}}, {1, {nullptr, 4, 0}}, {2, {"C", 1, 0}}};
    PortDiscovery d(backend);
    ASSERT_TRUE(d.EnumerateClSerPorts());
    EXPECT_EQ(d.m_clserPorts, (std::vector<std::string>{"0. A_Port0", "1. A_Port1", "2. C_Port0"}));
    EXPECT_EQ(backend.openHandles, 0) << "every opened board is closed, named or not";
}

TEST(ClSerPortListTest, SparseBoardsStopWhenAllAreFoundOrAtTheLimit) {
    FakeBackend backend;
    backend.boardCountText = "2";
    backend.limit = 4;
    backend.boards = {{1, {"B1", 1, 0}}, {2, {"B2", 1, 0}}, {3, {"B3", 1, 0}}};
    PortDiscovery d(backend);
    ASSERT_TRUE(d.EnumerateClSerPorts());
    EXPECT_EQ(d.m_clserPorts, (std::vector<std::string>{"0. B1_Port0", "1. B2_Port0"}));
    EXPECT_EQ(backend.opened, (std::vector<int32_t>{0, 1, 2}));

    FakeBackend limited;
    limited.boardCountText = "3";
    limited.limit = 2;
    limited.boards = {{0, {"X", 1, 0}}, {1, {"Y", 1, 0}}, {2, {"Z", 1, 0}}};
    PortDiscovery l(limited);
    ASSERT_TRUE(l.EnumerateClSerPorts());
    EXPECT_EQ(l.m_clserPorts, (std::vector<std::string>{"0. X_Port0", "1. Y_Port0"}));
    EXPECT_EQ(limited.opened, (std::vector<int32_t>{0, 1}));
}

TEST(ClSerPortListTest, NoBoardsOrNoUsableBoardGivesFalse) {
    FakeBackend failing;
    failing.boardCountStatus = -2130;
    failing.boardCountText = "2";
    failing.boards = {{0, {"A", 1, 0}}};
    PortDiscovery f(failing);
    EXPECT_FALSE(f.EnumerateClSerPorts());
    EXPECT_TRUE(failing.opened.empty());

    FakeBackend zero;
    zero.boardCountText = "0";
    zero.boards = {{0, {"A", 1, 0}}};
    PortDiscovery z(zero);
    EXPECT_FALSE(z.EnumerateClSerPorts());

    FakeBackend unusable;
    unusable.boardCountText = "2";
    unusable.boards = {{0, {nullptr, 2, 0}}, {1, {"B", 0, 0}}};
    PortDiscovery u(unusable);
    EXPECT_FALSE(u.EnumerateClSerPorts());
    EXPECT_TRUE(u.m_clserPorts.empty());
}
