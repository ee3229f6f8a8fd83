// The emulated Camera Link serial library, loaded from <build>/lib and bound
// as the relay binds a maker's library: what the relay, the end-to-end suites
// and the benchmarks rely on. Open statuses and the faults the relay meets
// (init, baud, short and stalled writes, read errors) are checked through
// its endpoint in the relay suite; a broken emulation file falling back to
// the built-in board in faults_end_to_end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "emulation/clserial/clserial_api.h"
#include "platform/program_path.h"
#include "relay/clser_endpoint.h"
#include "tests/support/test_io.h"

namespace {

using clst::testing::Clock;
using std::chrono::milliseconds;

const clst::ClSerialLibrary& api = *new clst::ClSerialLibrary(
    clst::BindClSerialLibrary(clst::platform::ProgramLibraryDirectory() + "/libclsermro.so"));

// Serial indices of the board file below.
enum : uint32_t { kDemo = 0, kEcho, kPty, kCopiesNothing, kPortCount };

class ClSerialLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(api.status, 0) << api.error;
        WriteConfig(
            "[board0]\nname=EmuBoard\nports=2\n[board2]\nports=1\n[port1]\ncamera=echo\n"
            "[port2]\ncamera=pty\nlink=" +
            link_ + "\n[board3]\nports=1\n[port3]\ncamera=echo\ntimeout_copies_nothing=1\n");
    }
    void TearDown() override { Close(); }
    void WriteConfig(const std::string& text) {
        clst::testing::WriteWholeFile(dir_ / "emulation.ini", text);
    }
    void Open(uint32_t index, uint32_t code = CL_BAUDRATE_921600) {
        ASSERT_EQ(api.init(index, &ref_), CL_ERR_NO_ERR);
        ASSERT_EQ(api.setBaudRate(ref_, code), CL_ERR_NO_ERR);
    }
    void Close() {
        api.close(ref_);
        ref_ = nullptr;
    }
    // Writes all of `text`; the count the library took.
    uint32_t Write(std::string text) {
        uint32_t count = static_cast<uint32_t>(text.size());
        EXPECT_EQ(api.write(ref_, text.data(), &count, 1000), CL_ERR_NO_ERR);
        return count;
    }
    std::string Read(uint32_t size, uint32_t timeoutMs, int32_t* status = nullptr) {
        std::string buffer(size, '\0');
        const int32_t s = api.read(ref_, buffer.data(), &size, timeoutMs);
        if (status != nullptr)
            *status = s;
        buffer.resize(size);
        return buffer;
    }

    clst::testing::ScratchDir dir_{"/tmp/clst-clser-XXXXXX"};
    clst::testing::ScopedEnv emulation_{"MARO_EMULATION", dir_ / "emulation.ini"};
    const std::string link_ = dir_ / "cam0";
    void* ref_ = nullptr;
};

TEST_F(ClSerialLibrary, ReadsReturnAtTheFullCountOrTheTimeOutWithBytesPacedAtTheLineRate) {
    Open(kEcho, CL_BAUDRATE_115200);
    int32_t status = 0;
    const auto start = Clock::now();
    EXPECT_EQ(Read(10, 100, &status), "");
    EXPECT_EQ(status, CL_ERR_TIMEOUT);
    EXPECT_GE(Clock::now() - start, milliseconds(90));

    EXPECT_EQ(Write("abc"), 3u);
    EXPECT_EQ(Read(10, 300, &status), "abc");
    EXPECT_EQ(status, CL_ERR_TIMEOUT);
    // The full count returns as soon as it is there, long before the time-out.
    EXPECT_EQ(Write("defg"), 4u);
    const auto again = Clock::now();
    EXPECT_EQ(Read(4, 30000, &status), "defg");
    EXPECT_EQ(status, CL_ERR_NO_ERR);
    EXPECT_LT(Clock::now() - again, std::chrono::seconds(15));

    std::string payload;
    for (int i = 0; i < 1000; ++i)
        payload.push_back(static_cast<char>(i * 7));
    const auto paced = Clock::now();
    EXPECT_EQ(Write(payload), 1000u);
    EXPECT_EQ(Read(1000, 10000), payload);
    // 1000 bytes of 10 bits at 115200 bit/s are 87 ms on the line.
    EXPECT_GE(Clock::now() - paced, milliseconds(80));

    // As some makers' libraries: a read that times out copies nothing and
    // leaves the count alone; the bytes wait for a read of no more than came.
    Close();
    Open(kCopiesNothing, CL_BAUDRATE_115200);
    EXPECT_EQ(Write("hij"), 3u);
    std::string untouched(10, '*');
    uint32_t count = 10;
    EXPECT_EQ(api.read(ref_, untouched.data(), &count, 100), CL_ERR_TIMEOUT);
    EXPECT_EQ(std::pair(count, untouched), std::pair(10u, std::string(10, '*')));
    EXPECT_EQ(Read(3, 0), "hij");
}

TEST_F(ClSerialLibrary, DemoCameraAnswersItsCommandsByteForByte) {
    Open(kDemo, CL_BAUDRATE_115200);
    // CR ends a command, a LF after it is ignored, an empty command gets no
    // reply and a refused value changes nothing.
    const std::string script =
        "id?\rgain?\rgain=42\rgain=101\rgain=abc\rgain?\rmode=trigger\r"
        "mode?\rbaud?\r\r\n\r\nexposure?\r\nmake coffee\r" +
        std::string(300, 'x') + "\r";
    const std::string replies =
        "EMUCAM-2000 SN00000\r\ngain=5\r\nOK\r\nERR bad value\r\nERR bad value\r\ngain=42\r\n"
        "OK\r\nmode=trigger\r\nbaud=115200\r\nexposure=1000\r\nERR unknown command\r\n"
        "ERR command too long\r\n";
    EXPECT_EQ(Write(script), script.size());
    EXPECT_EQ(Read(static_cast<uint32_t>(replies.size()), 10000), replies);
    EXPECT_EQ(Read(1, 50), "");
}

TEST_F(ClSerialLibrary, PortsComeFromTheFileReadAgainOnlyWhenNoPortIsOpen) {
    // Numbered over the boards; an unnamed board is called by its device index.
    char text[64];
    uint32_t size = sizeof text;
    ASSERT_EQ(api.getSerialPortIdentifier(kPty, text, &size), CL_ERR_NO_ERR);
    EXPECT_STREQ(text, "Board2_Port0");
    Open(kEcho);
    void* second = nullptr;
    EXPECT_EQ(api.init(kEcho, &second), CL_ERR_PORT_IN_USE);  // one user at a time
    WriteConfig("[board0]\nports=1\n");
    uint32_t ports = 0;
    ASSERT_EQ(api.getNumSerialPorts(&ports), CL_ERR_NO_ERR);
    EXPECT_EQ(ports, kPortCount);  // a port is open: the numbering stays
    Close();
    ASSERT_EQ(api.getNumSerialPorts(&ports), CL_ERR_NO_ERR);
    EXPECT_EQ(ports, 1u);
}

TEST_F(ClSerialLibrary, PtyCameraTalksToClientsThatComeAndGo) {
    // A link left by a process that died is taken over.
    ASSERT_EQ(::symlink("/dev/pts/does-not-exist", link_.c_str()), 0);
    Open(kPty);
    for (int client = 0; client < 2; ++client) {
        const int fd = clst::testing::OpenRawPort(link_);
        ASSERT_GE(fd, 0) << link_;
        const std::string command = "cmd" + std::to_string(client) + "\r";
        EXPECT_EQ(Write(command), command.size());
        EXPECT_EQ(clst::testing::ReadFor(fd, command.size(), milliseconds(5000)), command);
        const std::string reply = "reply" + std::to_string(client) + "\r\n";
        ASSERT_TRUE(clst::testing::WriteAll(fd, reply));
        EXPECT_EQ(Read(static_cast<uint32_t>(reply.size()), 5000), reply);
        ::close(fd);
        EXPECT_EQ(Read(1, 30), "");  // no client: quiet, still usable
    }
    Close();
    EXPECT_FALSE(std::filesystem::is_symlink(link_));  // the link goes with the port

    // Someone else's file is left alone and the port does not open; nor
    // over a link to a live pty, which another process has open.
    clst::testing::WriteWholeFile(link_, "keep me");
    EXPECT_EQ(api.init(kPty, &ref_), CL_ERR_PORT_IN_USE);
    EXPECT_EQ(clst::testing::ReadWholeFile(link_), "keep me");
    const clst::testing::Pty live;
    ASSERT_EQ(::unlink(link_.c_str()), 0);
    ASSERT_EQ(::symlink(live.slave.c_str(), link_.c_str()), 0);
    EXPECT_EQ(api.init(kPty, &ref_), CL_ERR_PORT_IN_USE);
    EXPECT_EQ(std::filesystem::read_symlink(link_), live.slave);
}

}  // namespace
