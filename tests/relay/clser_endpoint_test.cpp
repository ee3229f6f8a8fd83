// ClSerEndpoint against the emulated Camera Link serial library in
// <build>/lib, with the faults of the emulation file; and how the library is
// found and bound.
#include "relay/clser_endpoint.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "relay/clser_library_search.h"
#include "tests/support/test_io.h"

namespace clst {
namespace {

using namespace std::chrono_literals;

enum : uint32_t { kEcho = 0, kInitError, kBaudError, kShortWrite, kStalled, kPorts };

class ClSerEndpointTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::ofstream(dir_ / "emulation.ini") << "[board0]\nname=EmuBoard\nports=5\n"
                                                 "[port0]\ncamera=echo\n"
                                                 "[port1]\ninit_error=1\n"
                                                 "[port2]\nbaud_error=1\n"
                                                 "[port3]\ncamera=echo\nshort_write=3\n"
                                                 "[port4]\ncamera=echo\nstalled=1\n";
        ASSERT_EQ(ProcessClSerialLibrary().status, 0) << ProcessClSerialLibrary().error;
    }
    void TearDown() override { endpoint_.Close(); }

    testing::ScratchDir dir_{"/tmp/clst-endpoint-XXXXXX"};
    testing::ScopedEnv emulation_{"MARO_EMULATION", dir_ / "emulation.ini"};
    ClSerEndpoint endpoint_;
};

TEST_F(ClSerEndpointTest, OpenStatusesAndThePortIsFreedOnFailure) {
    // Index, baud code, status; a refused baud code closes the port again.
    const std::tuple<uint32_t, uint32_t, int32_t> opens[] = {
        {kPorts, 16, -10005}, {kInitError, 16, -10009}, {kBaudError, 16, -10008},
        {kEcho, 3, -10008},   {kEcho, 128, 0},
    };
    for (const auto& [index, code, status] : opens) {
        EXPECT_EQ(endpoint_.Open(index, code), status) << index;
        EXPECT_EQ(endpoint_.IsOpen(), status == 0) << index;
    }
    ClSerEndpoint other;
    EXPECT_EQ(other.Open(kEcho, 128), -10003);  // in use
    EXPECT_EQ(other.Close(), 0);                // closing what never opened is fine
    EXPECT_EQ(endpoint_.Close(), 0);
    EXPECT_EQ(other.Open(kEcho, 128), 0);
    other.Close();
}

// Reads, and the byte count low-latency reads use, are checked through the
// relay workers (relay_worker_test.cpp).
TEST_F(ClSerEndpointTest, ShortAndStalledWritesKeepTheCounts) {
    ASSERT_EQ(endpoint_.Open(kShortWrite, 128), 0);
    uint64_t written = 99;
    EXPECT_EQ(endpoint_.Write("12345", 5, written), -5);
    EXPECT_EQ(written, 3u);
    endpoint_.Close();

    // A camera that takes nothing: the library's time-out comes back after
    // the fixed write time-out and `written` keeps its value.
    ASSERT_EQ(endpoint_.Open(kStalled, 128), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(endpoint_.Write("12345", 5, written), -10004);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 180ms);
    EXPECT_EQ(written, 3u);
}

TEST(ClSerialLibraryBinding, SearchOrderAndRefusals) {
    namespace fs = std::filesystem;
    testing::ScratchDir dir;
    const std::string lib = dir / "lib", own = lib + "/libclsermro.so";
    const std::string makers = dir / "makers", open = dir / "open", in = "CLSERIALPATH \"";
    const std::string a = makers + "/libclsera.so", d = makers + "/libclserdir.so";
    for (const std::string& made : {lib, makers, d, open})
        ASSERT_TRUE(fs::create_directory(made));
    fs::permissions(open, fs::perms::others_write, fs::perm_options::add);
    testing::WriteWholeFile(a, "");
    const std::string absolute = "CLSERIAL_LIBRARY must be an absolute path";
    // CLSERIAL_LIBRARY, CLSERIALPATH, whether the own library exists, what is found.
    using Found = std::vector<ClSerialLibraryCandidate>;
    const std::tuple<const char*, std::string, bool, Found> cases[] = {
        {"/opt/libclser.so", makers, true, {{"/opt/libclser.so", ""}}},
        {"libclser.so", makers, true, {{"libclser.so", absolute}}},
        {nullptr, makers, true, {{own, ""}}},
        {nullptr, "", false, {{own, ""}}},
        {nullptr, makers, false, {{a, ""}, {d, d + " is not a library file"}}},
        {nullptr, ".", false, {{".", in + ".\" must be an absolute path"}}},
        {nullptr, open, false, {{open, in + open + "\" is writable by other users"}}},
        {nullptr, lib, false, {{lib, in + lib + "\" holds no libclser*.so"}}},
    };
    for (const auto& [library, searchPath, ownExists, found] : cases) {
        if (ownExists)
            testing::WriteWholeFile(own, "");
        else
            fs::remove(own);
        EXPECT_EQ(FindClSerialLibraries(library, searchPath.c_str(), lib), found) << searchPath;
    }
}

}  // namespace
}  // namespace clst
