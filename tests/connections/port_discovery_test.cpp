// Port discovery over a scripted backend standing in for the system's device
// list, the board runtime and the port-pair library; and the Camera Link
// port list the emulated makers' serial libraries give by themselves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
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
using clst::testing::FakeBoard;
using clst::testing::FakePair;
using Names = std::vector<std::string>;

TEST(ComPortListTest, SystemPortsPairsAndTheirReplacements) {
    const Names odd = {"COM1", "COM12",   "com3",     "COM",   "COMX1", "COM1234567",
                       "LPT1", "COM9999", "COM10000", "ttyS0", "cOm7x"};
    const char* unusable = "The port directory is not usable.";
    const FakePair cnc0{"CNC0", "COM5", "ZADURUV5"};
    // The system's devices, the pairs, the pair library's text when it is
    // not ready; the list (pair:COM port:device end, or the COM port alone)
    // and the warnings shown.
    const std::tuple<Names, std::vector<FakePair>, const char*, std::string, Names> cases[] = {
        // Only COM and one to four digits, as listed.
        {odd, {}, nullptr, "COM1 COM12 com3 COM9999 ", {}},
        // A pair replaces the system entry; a pair that cannot be read is skipped.
        {{"COM1", "COM5"},
         {cnc0, {"CNC1", "COM6", "ZADURUV6", true}, {"CNC2", "COM7", "ZADURUV7"}},
         nullptr,
         "COM1 CNC0:COM5:ZADURUV5 CNC2:COM7:ZADURUV7 ",
         {}},
        // A later pair removes the one entry it names, by either of its ports.
        {{},
         {cnc0,
          {"CNC1", "COM6", "ZADURUV6"},
          {"CNC2", "COM8", "COM6"},
          {"CNC3", "COM5", "ZADURUV9"}},
         nullptr,
         "CNC2:COM8:COM6 CNC3:COM5:ZADURUV9 ",
         {}},
        // An unready pair library shows its text, if any, and keeps the system ports.
        {{"COM1"}, {cnc0}, unusable, "COM1 ", {unusable}},
        {{"COM1"}, {cnc0}, "", "COM1 ", {}},
    };
    for (const auto& [devices, pairs, vcpError, expected, warnings] : cases) {
        FakeBackend backend;
        backend.devices = devices;
        backend.pairs = pairs;
        if (vcpError != nullptr)
            backend.vcpError = vcpError;
        PortDiscovery d(backend);
        d.RefreshComPortList();
        backend.warnings.clear();
        d.RefreshComPortList();  // a refresh starts from scratch
        std::string listed;
        for (const PortEntry& e : d.m_comPorts)
            listed += (e.pairName.empty() ? "" : e.pairName + ":") + e.comPortName +
                      (e.devicePortName.empty() ? "" : ":" + e.devicePortName) + " ";
        EXPECT_EQ(listed, expected);
        EXPECT_EQ(backend.warnings, warnings) << expected;
    }
}

TEST(ComPortListTest, DoublesTheBufferUntilTheListFitsAndEndsOnAnyOtherFailure) {
    FakeBackend backend;
    for (int i = 0; i < 2000; ++i)
        backend.devices.push_back("DEV" + std::to_string(i));
    backend.devices.push_back("COM42");
    PortDiscovery d(backend);
    ASSERT_TRUE(d.EnumerateComPorts());
    EXPECT_EQ(d.m_comPorts, (std::vector<PortEntry>{{"", "COM42", ""}}));
    EXPECT_EQ(backend.querySizes, (std::vector<uint32_t>{4096, 8192, 16384}));

    // Any other failure of the device list ends the walk at once.
    struct Failing : FakeBackend {
        uint32_t QueryDosDevice(char*, uint32_t size) override {
            querySizes.push_back(size);
            lastError = 5;
            return 0;
        }
    } failing;
    PortDiscovery f(failing);
    EXPECT_FALSE(f.EnumerateComPorts());
    EXPECT_EQ(failing.querySizes.size(), 1u);
    EXPECT_EQ(failing.lastError, 5u);
}

TEST(ClSerPortListTest, BoardsPortsAndTheSerialLibrariesInstead) {
    // Devices 1 to 5: a board without a name, one with two serial ports, one
    // without any port, one with a port only as its cl property, and one more.
    const std::map<int32_t, FakeBoard> boards = {{1, {nullptr, 4, 0}},
                                                 {2, {"A", 2, 0}},
                                                 {3, {"E", 0, 0}},
                                                 {4, {"C", 0, 1}},
                                                 {5, {"D", 1, 0}}};
    // The board count (null: the query fails), the device limit, whether the
    // runtime loaded; which devices were opened and what is listed.
    const std::tuple<const char*, int32_t, bool, std::string> cases[] = {
        {"4", 8, true, "0 1 2 3 4 : 0. A_Port0 1. A_Port1 2. C_Port0"},  // all found: the end
        {"5", 3, true, "0 1 2 : 0. A_Port0 1. A_Port1"},                 // the limit
        {"1", 8, true, "0 1 :"},                                         // none usable
        {nullptr, 8, true, ":"},
        {"0", 8, true, ":"},
        {"0", 8, false, ": 0. X_Port0"},  // the serial libraries list only without a runtime
    };
    for (const auto& [count, limit, runtimeLoaded, expected] : cases) {
        FakeBackend backend;
        backend.boardCountStatus = count != nullptr ? 0 : -2130;
        backend.boardCountText = count != nullptr ? count : "2";
        backend.limit = limit;
        backend.boards = boards;
        backend.runtimeLoaded = runtimeLoaded;
        backend.libraryPorts = {"0. X_Port0"};
        PortDiscovery d(backend);
        const bool listed = d.ListClSerPorts();
        std::string seen;
        for (const int32_t device : backend.opened)
            seen += std::to_string(device) + " ";
        seen += ":";
        for (const auto& name : d.m_clserPorts)
            seen += " " + name;
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(listed, !d.m_clserPorts.empty()) << expected;
        EXPECT_EQ(backend.openHandles, 0) << expected << ": every opened board is closed";
    }
}

// The emulated makers' libraries found through CLSERIALPATH alone.
TEST(SerialLibraryPortListTest, EachMakersPortsThroughItsOwnLibrary) {
    clst::testing::ScopedEnv emulation("MARO_EMULATION", std::nullopt);
    const std::string mro = platform::ProgramLibraryDirectory() + "/libclsermro.so";
    const std::string xyz = platform::ProgramLibraryDirectory() + "/libclserxyz.so";
    clst::testing::ScratchDir dir;
    // Only libclser*.so, in file-name order; a library reached twice (a link
    // beside it) counts once.
    for (const auto& [name, source] :
         {std::pair("libclserxyz.so", xyz), std::pair("libclsermro.so", mro),
          std::pair("libother.so", mro), std::pair("clsermro.so", mro),
          std::pair("libclserbad.so",
                    platform::ProgramDirectory() + "/fake_clserial/lib/libclsernocount.so")})
        std::filesystem::copy_file(source, dir / name);
    ASSERT_EQ(symlink((dir / "libclserxyz.so").c_str(), (dir / "libclserxyz-again.so").c_str()), 0);
    std::vector<ClSerialLibrary> bound;
    for (const auto& found : FindClSerialLibraries(nullptr, dir.path().c_str(), dir / "x")) {
        EXPECT_EQ(found.refusal, "");
        bound.push_back(BindClSerialLibrary(found.path));
    }
    std::vector<const ClSerialLibrary*> libraries;
    for (const auto& library : bound)
        libraries.push_back(&library);
    const SerialLibraryPorts list = ListSerialLibraryPorts(libraries);
    EXPECT_EQ(list.names,
              (Names{"0. MaroEmu_Port0 (EmuBoard_Port0)", "1. MaroEmu_Port1 (EmuBoard_Port1)",
                     "2. XyzEmu_Port0 (EmuBoard_Port0)", "3. XyzEmu_Port1 (EmuBoard_Port1)"}));
    EXPECT_THAT(list.refused, ::testing::ElementsAre(::testing::HasSubstr(
                                  "libclserbad.so: no function clGetNumSerialPorts")));

    // Every port open at once: a position sent to another library, or as its
    // own index, finds its port in use or out of range.
    std::vector<ClSerEndpoint> endpoints(list.names.size());
    ClSerPortRoute route;
    for (uint32_t i = 0; i < endpoints.size(); ++i) {
        ASSERT_TRUE(ClSerPortRouteAt(list.routes, i, route));
        EXPECT_EQ(endpoints[i].Open(route, 128), 0) << list.names[i];
    }
    EXPECT_FALSE(ClSerPortRouteAt(list.routes, 4, route));
    for (auto& endpoint : endpoints)
        endpoint.Close();
}
