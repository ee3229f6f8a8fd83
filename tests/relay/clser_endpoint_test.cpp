// ClSerEndpoint against the emulated Camera Link serial library in
// <build>/lib, with the faults of the emulation file.
#include "relay/clser_endpoint.h"

#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "relay/clser_library_search.h"
#include "tests/support/test_io.h"

namespace clst {
namespace {

using Clock = std::chrono::steady_clock;

enum : uint32_t { kEcho = 0, kInitError, kBaudError, kReadError, kShortWrite, kStalled, kPorts };

class ClSerEndpointTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::ofstream(dir_ / "emulation.ini") << "[board0]\nname=EmuBoard\nports=6\n"
                                                 "[port0]\ncamera=echo\n"
                                                 "[port1]\ninit_error=1\n"
                                                 "[port2]\nbaud_error=1\n"
                                                 "[port3]\ncamera=echo\nread_error_every=1\n"
                                                 "[port4]\ncamera=echo\nshort_write=3\n"
                                                 "[port5]\ncamera=echo\nstalled=1\n";
        ASSERT_EQ(ProcessClSerialLibrary().status, 0) << ProcessClSerialLibrary().error;
    }
    void TearDown() override { endpoint_.Close(); }

    testing::ScratchDir dir_{"/tmp/clst-endpoint-XXXXXX"};
    testing::ScopedEnv emulation_{"MARO_EMULATION", dir_ / "emulation.ini"};
    ClSerEndpoint endpoint_;
};

TEST_F(ClSerEndpointTest, OpenStatusesAndThePortIsFreedOnFailure) {
    EXPECT_FALSE(endpoint_.IsOpen());
    EXPECT_EQ(endpoint_.Open(kPorts, 16), -10005);  // no such index
    EXPECT_FALSE(endpoint_.IsOpen());

    EXPECT_EQ(endpoint_.Open(kInitError, 16), -10009);
    EXPECT_FALSE(endpoint_.IsOpen());
    EXPECT_EQ(endpoint_.Open(kBaudError, 16), -10008);
    EXPECT_FALSE(endpoint_.IsOpen());

    // A baud code the library refuses closes the port again, so the same
    // index opens at once with a good code.
    EXPECT_EQ(endpoint_.Open(kEcho, 3), -10008);
    EXPECT_FALSE(endpoint_.IsOpen());
    ASSERT_EQ(endpoint_.Open(kEcho, 128), 0);
    EXPECT_TRUE(endpoint_.IsOpen());

    ClSerEndpoint other;
    EXPECT_EQ(other.Open(kEcho, 128), -10003);  // in use
    EXPECT_FALSE(other.IsOpen());
    EXPECT_EQ(other.Close(), 0);  // closing what never opened is fine

    EXPECT_EQ(endpoint_.Close(), 0);
    EXPECT_FALSE(endpoint_.IsOpen());
    EXPECT_EQ(endpoint_.Close(), 0);
    EXPECT_EQ(other.Open(kEcho, 128), 0);
    other.Close();
}

TEST_F(ClSerEndpointTest, ReadTurnsTheTimeOutIntoAPartialRead) {
    ASSERT_EQ(endpoint_.Open(kEcho, 128), 0);
    char buffer[4096];
    uint64_t count = 1024;
    EXPECT_EQ(endpoint_.Read(buffer, count, 10), 0);
    EXPECT_EQ(count, 0u);

    uint64_t written = 0;
    ASSERT_EQ(endpoint_.Write("hello", 5, written), 0);
    EXPECT_EQ(written, 5u);
    count = 1024;
    EXPECT_EQ(endpoint_.Read(buffer, count, 500), 0);
    ASSERT_EQ(count, 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");

    // Only the low 32 bits of the count are asked for.
    ASSERT_EQ(endpoint_.Write("xy", 2, written), 0);
    count = (uint64_t{1} << 32) | 2;
    EXPECT_EQ(endpoint_.Read(buffer, count, 1000), 0);
    EXPECT_EQ(count, 2u);
}

TEST_F(ClSerEndpointTest, BytesAvailableCountsWhatArrivedAndIsOptional) {
    ASSERT_EQ(endpoint_.Open(kEcho, 128), 0);
    ASSERT_TRUE(endpoint_.CanCountBytes());
    uint64_t written = 0;
    ASSERT_EQ(endpoint_.Write("hello", 5, written), 0);
    uint64_t available = 0;
    EXPECT_TRUE(
        testing::WaitFor([&] { return endpoint_.BytesAvailable(available) == 0 && available == 5; },
                         std::chrono::seconds(2)));
    char buffer[8];
    uint64_t count = available;
    ASSERT_EQ(endpoint_.Read(buffer, count, 0), 0);
    EXPECT_EQ(std::string(buffer, count), "hello");

    // A library without clGetNumBytesAvail still binds; the count is refused.
    ClSerialLibrary fiveFunctions = ProcessClSerialLibrary();
    fiveFunctions.numBytesAvail = nullptr;
    ClSerEndpoint other(&fiveFunctions);
    EXPECT_FALSE(other.CanCountBytes());
    available = 9;
    EXPECT_EQ(other.BytesAvailable(available), -10099);
    EXPECT_EQ(available, 9u);
}

TEST_F(ClSerEndpointTest, ReadFailurePassesThroughAndKeepsTheCount) {
    ASSERT_EQ(endpoint_.Open(kReadError, 128), 0);
    char buffer[16];
    uint64_t count = 77;
    EXPECT_EQ(endpoint_.Read(buffer, count, 10), -10009);
    EXPECT_EQ(count, 77u);
}

TEST_F(ClSerEndpointTest, ShortAndFailedWrites) {
    ASSERT_EQ(endpoint_.Open(kShortWrite, 128), 0);
    uint64_t written = 99;
    EXPECT_EQ(endpoint_.Write("12345", 5, written), -5);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(endpoint_.Write("ab", 2, written), 0);
    EXPECT_EQ(written, 2u);
    endpoint_.Close();

    // A camera that takes nothing: the library's time-out comes back after
    // the fixed write time-out and `written` keeps its value.
    ASSERT_EQ(endpoint_.Open(kStalled, 128), 0);
    written = 99;
    const auto start = Clock::now();
    EXPECT_EQ(endpoint_.Write("12345", 5, written), -10004);
    EXPECT_EQ(written, 99u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(180));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

TEST(ClSerialLibraryBinding, MissingLibraryOrFunctionIsAStatus) {
    const ClSerialLibrary missing = BindClSerialLibrary("/nonexistent/libclsermro.so");
    EXPECT_EQ(missing.status, -10098);
    EXPECT_FALSE(missing.error.empty());
    ClSerEndpoint endpoint(&missing);
    EXPECT_EQ(endpoint.Open(0, 16), -10098);
    EXPECT_FALSE(endpoint.IsOpen());
    char buffer[8];
    uint64_t count = 5;
    EXPECT_EQ(endpoint.Read(buffer, count, 0), -10098);
    EXPECT_EQ(count, 5u);
    uint64_t written = 7;
    EXPECT_EQ(endpoint.Write("x", 1, written), -10098);
    EXPECT_EQ(written, 7u);
    EXPECT_EQ(endpoint.Close(), 0);

    EXPECT_EQ(BindClSerialLibrary("libclsermro.so").status, -10098);  // relative

    // A real library that is not a Camera Link serial library.
    Dl_info info{};
    ASSERT_NE(::dladdr(reinterpret_cast<void*>(&::gnu_get_libc_version), &info), 0);
    ASSERT_EQ(info.dli_fname[0], '/');
    const ClSerialLibrary wrong = BindClSerialLibrary(info.dli_fname);
    EXPECT_EQ(wrong.status, -10099);
    EXPECT_NE(wrong.error.find("clSerialInit"), std::string::npos);
    ClSerEndpoint other(&wrong);
    EXPECT_EQ(other.Open(0, 16), -10099);
}

TEST(ClSerialLibraryBinding, SearchOrderAndRefusals) {
    namespace fs = std::filesystem;
    testing::ScratchDir dir;
    const std::string lib = dir / "lib", own = lib + "/libclsermro.so";
    const std::string makers = dir / "makers", open = dir / "open", in = "CLSERIALPATH \"";
    for (const std::string& d : {lib, makers, makers + "/libclserdir.so", open})
        ASSERT_TRUE(fs::create_directory(d));
    fs::permissions(open, fs::perms::others_write, fs::perm_options::add);
    testing::WriteWholeFile(makers + "/libclsera.so", "");
    // CLSERIAL_LIBRARY, CLSERIALPATH, whether the own library exists, what is found.
    const std::tuple<const char*, std::string, bool, std::vector<ClSerialLibraryCandidate>>
        cases[] = {
            {"/opt/libclser.so", makers, true, {{"/opt/libclser.so", ""}}},
            {"libclser.so",
             makers,
             true,
             {{"libclser.so", "CLSERIAL_LIBRARY must be an absolute path"}}},
            {nullptr, makers, true, {{own, ""}}},
            {nullptr, "", false, {{own, ""}}},
            {nullptr,
             makers,
             false,
             {{makers + "/libclsera.so", ""},
              {makers + "/libclserdir.so", makers + "/libclserdir.so is not a library file"}}},
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

// The process binds its library once, so the refusals are run in a fresh
// copy of this test program.
TEST(ClSerialLibraryBindingDeathTest, ProcessLibraryRefusalReachesOpen) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ::setenv("CLSERIAL_LIBRARY", "libclsermro.so", 1);
            ClSerEndpoint endpoint;
            std::_Exit(endpoint.Open(0, 16) == -10098 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "absolute path");
    EXPECT_EXIT(
        {
            ::setenv("CLSERIAL_LIBRARY", "/nonexistent/libclsermro.so", 1);
            ClSerEndpoint endpoint;
            std::_Exit(endpoint.Open(0, 16) == -10098 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "nonexistent");
}

}  // namespace
}  // namespace clst
