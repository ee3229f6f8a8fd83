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

TEST_F(ClSerEndpointTest, OpenStatusesAndAPortRefusedItsRateIsClosedAgain) {
    // Index, baud code, status; a refused baud code closes the port again.
    const std::tuple<uint32_t, uint32_t, int32_t> opens[] = {
        {kPorts, 16, -10005}, {kInitError, 16, -10009}, {kBaudError, 16, -10008},
        {kEcho, 3, -10008},   {kEcho, 128, 0},
    };
    for (const auto& [index, code, status] : opens) {
        EXPECT_EQ(endpoint_.Open(index, code), status) << index;
        EXPECT_EQ(endpoint_.IsOpen(), status == 0) << index;
    }
    EXPECT_EQ(endpoint_.Close(), 0);
    EXPECT_EQ(endpoint_.Close(), 0) << "closing again is fine";
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
    const std::string lib = dir / "lib", outside = dir / "libclserout.so";
    const std::string makers = dir / "makers", open = dir / "open", group = dir / "group";
    const std::string linked = dir / "linked", in = "CLSERIALPATH \"";
    const std::string a = makers + "/libclsera.so", d = makers + "/libclserdir.so";
    const std::string away = makers + "/libclseraway.so", w = makers + "/libclserw.so";
    for (const std::string& made : {lib, makers, d, open, group})
        ASSERT_TRUE(fs::create_directory(made));
    fs::permissions(makers, fs::perms(0755));
    fs::permissions(open, fs::perms(0757));
    fs::permissions(group, fs::perms(0775));
    for (const std::string& file : {a, w, outside})
        testing::WriteWholeFile(file, "");
    fs::permissions(a, fs::perms(0644));
    fs::permissions(w, fs::perms(0666));
    // A link to a library beside it is that library; one to elsewhere and a
    // linked folder are refused, whatever they point at.
    fs::create_symlink(a, makers + "/libclserb.so");
    fs::create_symlink(outside, away);
    fs::create_symlink(makers, linked);
    // CLSERIALPATH where the program has no library of its own, and what is
    // found; CLSERIAL_LIBRARY, and CLSERIALPATH beside the program's own
    // library, are met in faults_end_to_end.
    const std::pair<std::string, std::vector<ClSerialLibraryCandidate>> cases[] = {
        {"", {{dir / "none/libclsermro.so", ""}}},
        {makers,
         {{a, ""},
          {away, away + " is a link to " + outside + ", outside the folder"},
          {d, d + " is not a library file"},
          {w, w + " is writable by other users"}}},
        {".", {{".", in + ".\" must be an absolute path"}}},
        {open, {{open, in + open + "\" is writable by other users"}}},
        {group, {{group, in + group + "\" is writable by other users"}}},
        {linked, {{linked, in + linked + "\" is a symbolic link; name the folder itself"}}},
        {lib, {{lib, in + lib + "\" holds no libclser*.so"}}},
    };
    for (const auto& [searchPath, found] : cases) {
        EXPECT_EQ(FindClSerialLibraries(nullptr, searchPath.c_str(), dir / "none"), found)
            << searchPath;
    }

    // Beside the program, its own library comes first; an installed program's
    // (its package's emulated one) only after CLSERIALPATH.
    const std::string own = lib + "/libclsermro.so";
    testing::WriteWholeFile(own, "");
    for (const auto& [installed, searchPath, first] :
         {std::tuple{false, makers, own}, {true, makers, a}, {true, std::string(), own}})
        EXPECT_EQ(FindClSerialLibraries(nullptr, searchPath.c_str(), lib, installed).at(0).path,
                  first)
            << installed << searchPath;
}

}  // namespace
}  // namespace clst
