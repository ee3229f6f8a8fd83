// The emulated Camera Link serial library, loaded from <build>/lib by
// absolute path and called through the standard's exported names.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <thread>

#include "emulation/clserial/clserial_api.h"
#include "platform/dynamic_library.h"
#include "platform/program_path.h"
#include "tests/support/test_io.h"

namespace {

using clst::testing::Clock;
using clst::testing::OpenRawPort;
using clst::testing::ReadFor;

struct Api {
    decltype(&clSerialInit) init = nullptr;
    decltype(&clSerialClose) close = nullptr;
    decltype(&clSerialRead) read = nullptr;
    decltype(&clSerialWrite) write = nullptr;
    decltype(&clSetBaudRate) setBaud = nullptr;
    decltype(&clGetSupportedBaudRates) supported = nullptr;
    decltype(&clGetNumSerialPorts) numPorts = nullptr;
    decltype(&clGetSerialPortIdentifier) identifier = nullptr;
    decltype(&clGetNumBytesAvail) avail = nullptr;
    decltype(&clFlushPort) flush = nullptr;
    decltype(&clGetErrorText) errorText = nullptr;
    decltype(&clGetManufacturerInfo) manufacturer = nullptr;
    decltype(&clEmuGetOverflowCount) overflow = nullptr;
};

template <typename T>
void Bind(clst::platform::DynamicLibrary& lib, const char* name, T& slot) {
    slot = reinterpret_cast<T>(lib.Symbol(name));
    ASSERT_NE(slot, nullptr) << name << ": " << lib.error();
}

const Api& Library() {
    static Api api = [] {
        Api a;
        clst::platform::DynamicLibrary lib;
        const std::string path = clst::platform::ProgramLibraryDirectory() + "/libclsermro.so";
        if (!lib.Load(path)) {
            ADD_FAILURE() << path << ": " << lib.error();
            return a;
        }
        Bind(lib, "clSerialInit", a.init);
        Bind(lib, "clSerialClose", a.close);
        Bind(lib, "clSerialRead", a.read);
        Bind(lib, "clSerialWrite", a.write);
        Bind(lib, "clSetBaudRate", a.setBaud);
        Bind(lib, "clGetSupportedBaudRates", a.supported);
        Bind(lib, "clGetNumSerialPorts", a.numPorts);
        Bind(lib, "clGetSerialPortIdentifier", a.identifier);
        Bind(lib, "clGetNumBytesAvail", a.avail);
        Bind(lib, "clFlushPort", a.flush);
        Bind(lib, "clGetErrorText", a.errorText);
        Bind(lib, "clGetManufacturerInfo", a.manufacturer);
        Bind(lib, "clEmuGetOverflowCount", a.overflow);
        lib.Leak();
        return a;
    }();
    return api;
}

// Serial indices of the board file below.
enum : uint32_t {
    kDemo = 0,
    kEcho,
    kSilent,
    kInitError,
    kBaudError,
    kReadError,
    kShortWrite,
    kStalled,
    kSmallBuffer,
    kPty,
    kPortCount
};

class ClSerialLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(Library().init, nullptr);
        WriteConfig(
            "[board0]\nname=EmuBoard\nports=4\n"
            "[board2]\nports=6\n"
            "[port1]\ncamera=echo\n"
            "[port2]\ncamera=silent\n"
            "[port3]\ninit_error=1\n"
            "[port4]\ncamera=echo\nbaud_error=1\n"
            "[port5]\ncamera=echo\nread_error_every=3\n"
            "[port6]\ncamera=echo\nshort_write=3\n"
            "[port7]\ncamera=echo\nstalled=1\n"
            "[port8]\ncamera=echo\nrx_buffer=16\n"
            "[port9]\ncamera=pty\nlink=" +
            link_ + "\n");
    }
    void TearDown() override {
        if (ref_ != nullptr)
            Library().close(ref_);
    }
    void WriteConfig(const std::string& text) { std::ofstream(dir_ / "emulation.ini") << text; }
    // Opens `index` at `code` into ref_.
    void Open(uint32_t index, uint32_t code = CL_BAUDRATE_921600) {
        ASSERT_EQ(Library().init(index, &ref_), CL_ERR_NO_ERR);
        ASSERT_EQ(Library().setBaud(ref_, code), CL_ERR_NO_ERR);
    }
    INT32 Write(const std::string& text, UINT32& count, UINT32 timeoutMs = 1000) {
        std::string copy = text;
        count = static_cast<UINT32>(copy.size());
        return Library().write(ref_, copy.data(), &count, timeoutMs);
    }
    // Reads until `size` bytes arrived or `timeoutMs` ran out.
    std::string Read(UINT32 size, UINT32 timeoutMs, INT32* status = nullptr) {
        std::string buffer(size, '\0');
        UINT32 count = size;
        const INT32 s = Library().read(ref_, buffer.data(), &count, timeoutMs);
        if (status != nullptr)
            *status = s;
        buffer.resize(count);
        return buffer;
    }
    // One reply line of the demo camera (up to and with CR LF).
    std::string Ask(const std::string& command) {
        UINT32 count = 0;
        EXPECT_EQ(Write(command + "\r", count), CL_ERR_NO_ERR);
        std::string reply;
        const auto deadline = Clock::now() + std::chrono::seconds(3);
        while (Clock::now() < deadline &&
               (reply.size() < 2 || reply.substr(reply.size() - 2) != "\r\n")) {
            reply += Read(1, 200);
        }
        return reply;
    }

    clst::testing::ScratchDir dir_{"/tmp/clst-clser-XXXXXX"};
    clst::testing::ScopedEnv emulation_{"MARO_EMULATION", dir_ / "emulation.ini"};
    const std::string link_ = dir_ / "cam0";
    hSerRef ref_ = nullptr;
};

TEST_F(ClSerialLibrary, PortsIndicesReferencesAndBaudCodes) {
    const Api& api = Library();
    UINT32 ports = 0;
    ASSERT_EQ(api.numPorts(&ports), CL_ERR_NO_ERR);
    EXPECT_EQ(ports, kPortCount);

    hSerRef ref = reinterpret_cast<hSerRef>(1);
    EXPECT_EQ(api.init(kPortCount, &ref), CL_ERR_INVALID_INDEX);
    EXPECT_EQ(ref, nullptr);
    EXPECT_EQ(api.init(0xFFFFFFFFu, &ref), CL_ERR_INVALID_INDEX);

    ASSERT_EQ(api.init(kEcho, &ref_), CL_ERR_NO_ERR);
    hSerRef second = nullptr;
    EXPECT_EQ(api.init(kEcho, &second), CL_ERR_PORT_IN_USE);
    EXPECT_EQ(second, nullptr);

    for (UINT32 bad : {0u, 3u, 256u, 0x40000000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(api.setBaud(ref_, bad), CL_ERR_BAUD_RATE_NOT_SUPPORTED) << bad;
    }
    for (UINT32 code = 1; code <= 128; code <<= 1)
        EXPECT_EQ(api.setBaud(ref_, code), 0) << code;
    UINT32 rates = 0;
    EXPECT_EQ(api.supported(ref_, &rates), CL_ERR_NO_ERR);
    EXPECT_EQ(rates, 0xFFu);

    // A closed reference, or one never handed out, is refused everywhere
    // and the port is free again.
    hSerRef closed = ref_;
    api.close(ref_);
    ref_ = nullptr;
    char byte = 0;
    UINT32 count = 1;
    EXPECT_EQ(api.read(closed, &byte, &count, 0), CL_ERR_INVALID_REFERENCE);
    EXPECT_EQ(api.write(closed, &byte, &count, 0), CL_ERR_INVALID_REFERENCE);
    EXPECT_EQ(api.setBaud(closed, CL_BAUDRATE_9600), CL_ERR_INVALID_REFERENCE);
    EXPECT_EQ(api.read(nullptr, &byte, &count, 0), CL_ERR_INVALID_REFERENCE);
    EXPECT_EQ(api.flush(reinterpret_cast<hSerRef>(0x1234)), CL_ERR_INVALID_REFERENCE);
    api.close(closed);  // closing twice is harmless
    api.close(nullptr);
    ASSERT_EQ(api.init(kEcho, &ref_), CL_ERR_NO_ERR);
    EXPECT_NE(ref_, closed);  // references are not reused
}

TEST_F(ClSerialLibrary, IdentifiersTextsAndManufacturer) {
    const Api& api = Library();
    char text[64];
    UINT32 size = sizeof text;
    ASSERT_EQ(api.identifier(1, text, &size), CL_ERR_NO_ERR);
    EXPECT_STREQ(text, "EmuBoard_Port1");
    size = sizeof text;
    ASSERT_EQ(api.identifier(5, text, &size), CL_ERR_NO_ERR);
    EXPECT_STREQ(text, "Board2_Port1");  // second port of the unnamed board2
    size = 4;
    EXPECT_EQ(api.identifier(1, text, &size), CL_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, sizeof "EmuBoard_Port1");
    EXPECT_EQ(api.identifier(kPortCount, text, &size), CL_ERR_INVALID_INDEX);
    size = sizeof text;
    ASSERT_EQ(api.errorText(CL_ERR_TIMEOUT, text, &size), CL_ERR_NO_ERR);
    EXPECT_GT(std::string(text).size(), 0u);
    size = sizeof text;
    EXPECT_EQ(api.errorText(-1, text, &size), CL_ERR_ERROR_NOT_FOUND);
    UINT32 version = 0;
    size = sizeof text;
    EXPECT_EQ(api.manufacturer(text, &size, &version), CL_ERR_NO_ERR);
    EXPECT_EQ(version, static_cast<UINT32>(CL_DLL_VERSION_1_1));
}

TEST_F(ClSerialLibrary, TimeOutGivesATruthfulCount) {
    Open(kEcho);
    INT32 status = 0;
    const auto start = Clock::now();
    EXPECT_EQ(Read(10, 100, &status), "");
    EXPECT_EQ(status, CL_ERR_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90));

    UINT32 count = 0;
    ASSERT_EQ(Write("abc", count), CL_ERR_NO_ERR);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(Read(10, 300, &status), "abc");
    EXPECT_EQ(status, CL_ERR_TIMEOUT);

    // The full count returns as soon as it is there, not at the time-out.
    ASSERT_EQ(Write("defg", count), CL_ERR_NO_ERR);
    const auto again = Clock::now();
    EXPECT_EQ(Read(4, 5000, &status), "defg");
    EXPECT_EQ(status, CL_ERR_NO_ERR);
    EXPECT_LT(Clock::now() - again, std::chrono::seconds(2));
    EXPECT_EQ(Read(0, 0, &status), "");
    EXPECT_EQ(status, CL_ERR_NO_ERR);
}

TEST_F(ClSerialLibrary, DemoCameraDialogue) {
    Open(kDemo, CL_BAUDRATE_115200);
    EXPECT_EQ(Ask("id?"), "EMUCAM-2000 SN00000\r\n");
    EXPECT_EQ(Ask("gain?"), "gain=5\r\n");
    EXPECT_EQ(Ask("gain=42"), "OK\r\n");
    EXPECT_EQ(Ask("gain?"), "gain=42\r\n");
    EXPECT_EQ(Ask("gain=101"), "ERR bad value\r\n");
    EXPECT_EQ(Ask("gain=abc"), "ERR bad value\r\n");
    EXPECT_EQ(Ask("gain?"), "gain=42\r\n");
    EXPECT_EQ(Ask("mode=trigger"), "OK\r\n");
    EXPECT_EQ(Ask("mode?"), "mode=trigger\r\n");
    EXPECT_EQ(Ask("baud?"), "baud=115200\r\n");
    EXPECT_EQ(Ask("make coffee"), "ERR unknown command\r\n");
    EXPECT_EQ(Ask(std::string(300, 'x')), "ERR command too long\r\n");
    // LF after CR is ignored, so CR LF ended commands work too; an empty
    // command gets no reply.
    UINT32 count = 0;
    ASSERT_EQ(Write("\r\n\r\nexposure?\r\n", count), CL_ERR_NO_ERR);
    EXPECT_EQ(Read(15, 1000), "exposure=1000\r\n");
    EXPECT_EQ(Read(1, 50), "");
}

TEST_F(ClSerialLibrary, SilentCameraSwallowsAndFlushDropsBuffered) {
    Open(kSilent);
    UINT32 count = 0;
    ASSERT_EQ(Write("hello\r", count), CL_ERR_NO_ERR);
    EXPECT_EQ(Read(1, 100), "");
    Library().close(ref_);
    Open(kEcho);
    ASSERT_EQ(Write("xyz", count), CL_ERR_NO_ERR);
    UINT32 avail = 0;
    clst::testing::WaitFor([&] { return Library().avail(ref_, &avail) == 0 && avail >= 3; },
                           std::chrono::seconds(2));
    EXPECT_EQ(avail, 3u);
    EXPECT_EQ(Library().flush(ref_), CL_ERR_NO_ERR);
    EXPECT_EQ(Read(3, 50), "");
}

TEST_F(ClSerialLibrary, BytesArePacedAtTheLineRate) {
    Open(kEcho, CL_BAUDRATE_115200);
    std::string payload;
    for (int i = 0; i < 1000; ++i)
        payload.push_back(static_cast<char>(i * 7));
    const auto start = Clock::now();
    UINT32 count = 0;
    ASSERT_EQ(Write(payload, count), CL_ERR_NO_ERR);
    EXPECT_EQ(count, 1000u);
    INT32 status = 0;
    EXPECT_EQ(Read(1000, 5000, &status), payload);
    EXPECT_EQ(status, CL_ERR_NO_ERR);
    // 1000 bytes of 10 bits at 115200 bit/s are 87 ms on the line.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(80));

    // A slower rate set on the open port applies to the next bytes.
    ASSERT_EQ(Library().setBaud(ref_, CL_BAUDRATE_9600), CL_ERR_NO_ERR);
    const auto slow = Clock::now();
    ASSERT_EQ(Write(std::string(48, 'z'), count), CL_ERR_NO_ERR);
    EXPECT_EQ(Read(48, 5000, &status), std::string(48, 'z'));
    EXPECT_GE(Clock::now() - slow, std::chrono::milliseconds(45));  // 50 ms on the line
}

TEST_F(ClSerialLibrary, FullReceiveBufferCountsWhatWasLost) {
    Open(kSmallBuffer);
    std::string payload;
    for (int i = 0; i < 100; ++i)
        payload.push_back(static_cast<char>('A' + i % 26));
    UINT32 count = 0;
    ASSERT_EQ(Write(payload, count), CL_ERR_NO_ERR);
    UINT32 lost = 0;
    clst::testing::WaitFor([&] { return Library().overflow(ref_, &lost) == 0 && lost >= 84; },
                           std::chrono::seconds(3));
    EXPECT_EQ(lost, 84u);
    UINT32 avail = 0;
    ASSERT_EQ(Library().avail(ref_, &avail), CL_ERR_NO_ERR);
    EXPECT_EQ(avail, 16u);
    EXPECT_EQ(Read(100, 50), payload.substr(0, 16));  // the oldest bytes are kept
}

TEST_F(ClSerialLibrary, InitAndBaudFaults) {
    const Api& api = Library();
    hSerRef ref = nullptr;
    const INT32 init = api.init(kInitError, &ref);
    EXPECT_LT(init, 0);
    EXPECT_NE(init, CL_ERR_TIMEOUT);
    EXPECT_EQ(ref, nullptr);
    EXPECT_EQ(api.init(kInitError, &ref), init);  // not left "in use"

    ASSERT_EQ(api.init(kBaudError, &ref_), CL_ERR_NO_ERR);
    EXPECT_EQ(api.setBaud(ref_, CL_BAUDRATE_9600), CL_ERR_BAUD_RATE_NOT_SUPPORTED);
}

TEST_F(ClSerialLibrary, EveryThirdReadFails) {
    Open(kReadError);
    for (int round = 0; round < 2; ++round) {
        INT32 status = 0;
        Read(1, 0, &status);
        EXPECT_EQ(status, CL_ERR_TIMEOUT);
        Read(1, 0, &status);
        EXPECT_EQ(status, CL_ERR_TIMEOUT);
        Read(1, 0, &status);
        EXPECT_LT(status, 0);
        EXPECT_NE(status, CL_ERR_TIMEOUT);
    }
    // A failed read takes nothing from the line.
    UINT32 count = 0;
    ASSERT_EQ(Write("ok", count), CL_ERR_NO_ERR);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    INT32 status = 0;
    EXPECT_EQ(Read(2, 1000, &status), "ok");
    EXPECT_EQ(status, CL_ERR_NO_ERR);
}

TEST_F(ClSerialLibrary, ShortWritesAndStalledReceiver) {
    Open(kShortWrite);
    UINT32 count = 0;
    EXPECT_EQ(Write("12345", count), CL_ERR_NO_ERR);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(Read(5, 300), "123");
    EXPECT_EQ(Write("ab", count), CL_ERR_NO_ERR);
    EXPECT_EQ(count, 2u);
    Library().close(ref_);
    ref_ = nullptr;

    Open(kStalled);
    const auto start = Clock::now();
    EXPECT_EQ(Write("12345", count, 100), CL_ERR_TIMEOUT);
    EXPECT_EQ(count, 0u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

TEST_F(ClSerialLibrary, CloseWakesABlockedReader) {
    Open(kSilent);
    INT32 status = 0;
    Clock::duration took{};
    std::thread reader([&] {
        char buffer[8];
        UINT32 count = sizeof buffer;
        const auto start = Clock::now();
        status = Library().read(ref_, buffer, &count, 5000);
        took = Clock::now() - start;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Library().close(ref_);
    reader.join();
    ref_ = nullptr;
    EXPECT_EQ(status, CL_ERR_INVALID_REFERENCE);
    EXPECT_LT(took, std::chrono::seconds(3));
}

TEST_F(ClSerialLibrary, FileIsReadAgainWhenNoPortIsOpen) {
    Open(kEcho);
    WriteConfig("[board0]\nports=1\n");
    UINT32 ports = 0;
    ASSERT_EQ(Library().numPorts(&ports), CL_ERR_NO_ERR);
    EXPECT_EQ(ports, kPortCount);  // a port is open: the numbering stays
    Library().close(ref_);
    ref_ = nullptr;
    ASSERT_EQ(Library().numPorts(&ports), CL_ERR_NO_ERR);
    EXPECT_EQ(ports, 1u);
    // A broken file gives the built-in board, not a dead library.
    WriteConfig("[board0]\nports=1\n[port0]\ncamera=laser\n");
    ASSERT_EQ(Library().numPorts(&ports), CL_ERR_NO_ERR);
    EXPECT_EQ(ports, 2u);
}

TEST_F(ClSerialLibrary, PtyCameraTalksAcrossReopenedClients) {
    struct stat st {};
    EXPECT_NE(::lstat(link_.c_str(), &st), 0);  // no link before the port opens
    Open(kPty);
    ASSERT_EQ(::lstat(link_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    for (int client = 0; client < 3; ++client) {
        const int fd = OpenRawPort(link_);
        ASSERT_GE(fd, 0) << link_;
        UINT32 count = 0;
        const std::string command = "cmd" + std::to_string(client) + "\r";
        ASSERT_EQ(Write(command, count), CL_ERR_NO_ERR);
        EXPECT_EQ(ReadFor(fd, command.size(), std::chrono::milliseconds(2000)), command);
        const std::string reply = "reply" + std::to_string(client) + "\r\n";
        ASSERT_EQ(::write(fd, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
        INT32 status = 0;
        EXPECT_EQ(Read(static_cast<UINT32>(reply.size()), 2000, &status), reply);
        EXPECT_EQ(status, CL_ERR_NO_ERR);
        ::close(fd);
        // With no client the port stays usable and quiet.
        EXPECT_EQ(Read(1, 30, &status), "");
        EXPECT_EQ(status, CL_ERR_TIMEOUT);
    }

    Library().close(ref_);
    ref_ = nullptr;
    EXPECT_NE(::lstat(link_.c_str(), &st), 0);  // the link goes with the port
}

TEST_F(ClSerialLibrary, PtyLinkPathTakenOrStale) {
    // A link left by a process that died is taken over.
    ASSERT_EQ(::symlink("/dev/pts/does-not-exist", link_.c_str()), 0);
    Open(kPty);
    const int fd = OpenRawPort(link_);
    EXPECT_GE(fd, 0);
    if (fd >= 0)
        ::close(fd);
    Library().close(ref_);
    ref_ = nullptr;

    // Someone else's file is left alone and the port does not open.
    std::ofstream(link_) << "keep me";
    hSerRef ref = nullptr;
    EXPECT_EQ(Library().init(kPty, &ref), CL_ERR_PORT_IN_USE);
    EXPECT_EQ(ref, nullptr);
    std::ifstream in(link_);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "keep me");

    // Nor is a link to a live pty: another process has the port open.
    ASSERT_EQ(::unlink(link_.c_str()), 0);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    ASSERT_EQ(::symlink(::ptsname(master), link_.c_str()), 0);
    EXPECT_EQ(Library().init(kPty, &ref), CL_ERR_PORT_IN_USE);
    struct stat st {};
    EXPECT_EQ(::lstat(link_.c_str(), &st), 0);
    ::close(master);
}

}  // namespace
