// Port discovery over a scripted backend standing in for the system's device
// list, the board runtime and the port-pair library; and the Camera Link
// port list the emulated makers' serial libraries give by themselves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "connections/port_discovery.h"
#include "connections/serial_library_ports.h"
#include "platform/program_path.h"
#include "tests/support/connection_fakes.h"
#include "tests/support/test_io.h"

using namespace clst;
using clst::testing::FakeBackend;
using ::testing::HasSubstr;

namespace {

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

TEST(ClSerPortListTest, SerialLibrariesListOnlyWhenTheRuntimeDidNotLoad) {
    // Runtime loaded, its board count, the list.
    const std::tuple<bool, const char*, std::vector<std::string>> cases[] = {
        {true, "1", {"0. A_Port0"}}, {true, "0", {}}, {false, "0", {"0. X_Port0"}}};
    for (const auto& [loaded, boards, ports] : cases) {
        FakeBackend backend;
        backend.runtimeLoaded = loaded;
        backend.boardCountText = boards;
        backend.boards = {{0, {"A", 1, 0}}};
        backend.libraryPorts = {"0. X_Port0"};
        PortDiscovery d(backend);
        EXPECT_EQ(d.ListClSerPorts(), !ports.empty()) << loaded << boards;
        EXPECT_EQ(d.m_clserPorts, ports) << loaded << boards;
    }
}

// The emulated makers' libraries found through CLSERIALPATH alone.
TEST(SerialLibraryPortListTest, EachMakersPortsThroughItsOwnLibrary) {
    clst::testing::ScopedEnv emulation("MARO_EMULATION", std::nullopt);
    const std::string mro = platform::ProgramLibraryDirectory() + "/libclsermro.so";
    const std::string xyz = platform::ProgramLibraryDirectory() + "/libclserxyz.so";
    const std::string noCount =
        platform::ProgramDirectory() + "/fake_clserial/lib/libclsernocount.so";
    const std::vector<std::string> xyzPorts = {"0. XyzEmu_Port0 (EmuBoard_Port0)",
                                               "1. XyzEmu_Port1 (EmuBoard_Port1)"};
    struct Case {
        std::map<std::string, std::string> links;  // name in CLSERIALPATH -> library
        std::vector<std::string> ports;
        std::string refused;
    } cases[] = {
        {{{"libclserxyz.so", xyz}, {"libother.so", mro}, {"clsermro.so", mro}}, xyzPorts, ""},
        // File-name order; a library reached twice counts once.
        {{{"libclserxyz.so", xyz}, {"libclsermro.so", mro}, {"libclserxyz-again.so", xyz}},
         {"0. MaroEmu_Port0 (EmuBoard_Port0)", "1. MaroEmu_Port1 (EmuBoard_Port1)",
          "2. XyzEmu_Port0 (EmuBoard_Port0)", "3. XyzEmu_Port1 (EmuBoard_Port1)"},
         ""},
        {{{"libclserbad.so", noCount}, {"libclserxyz.so", xyz}},
         xyzPorts,
         "libclserbad.so: no function clGetNumSerialPorts"},
    };
    for (const Case& c : cases) {
        clst::testing::ScratchDir dir;
        for (const auto& [name, target] : c.links)
            ASSERT_EQ(symlink(target.c_str(), (dir / name).c_str()), 0);
        std::vector<ClSerialLibrary> bound;
        for (const auto& found : FindClSerialLibraries(nullptr, dir.path().c_str(), dir / "x"))
            bound.push_back(BindClSerialLibrary(found.path));
        std::vector<const ClSerialLibrary*> libraries;
        for (const auto& library : bound)
            libraries.push_back(&library);
        const SerialLibraryPorts list = ListSerialLibraryPorts(libraries);
        EXPECT_EQ(list.names, c.ports);
        EXPECT_EQ(list.refused.size(), c.refused.empty() ? 0u : 1u);
        for (const std::string& reason : list.refused)
            EXPECT_THAT(reason, HasSubstr(c.refused));

        // Every port open at once: a position sent to another library, or
        // as its own index, finds its port in use or out of range.
        SetClSerPortRoutes(list.routes);
        std::vector<ClSerEndpoint> endpoints(list.names.size());
        for (uint32_t i = 0; i < endpoints.size(); ++i)
            EXPECT_EQ(endpoints[i].Open(i, 128), 0) << list.names[i];
        EXPECT_EQ(ClSerEndpoint().Open(static_cast<uint32_t>(endpoints.size()), 128),
                  kClErrInvalidIndex);
        for (auto& endpoint : endpoints)
            endpoint.Close();
        SetClSerPortRoutes({});
    }
}
