// The COM port endpoint against real ptys: statuses, exclusivity, time-outs,
// line settings as the kernel sees them, and the error table.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/device_namespace.h"
#include "platform/serial_port.h"
#include "platform/win32_errors.h"
#include "relay/com_port_endpoint.h"
#include "tests/support/test_io.h"

using namespace clst;
using namespace std::chrono_literals;
using clst::testing::Clock;
using clst::testing::Pty;

namespace {

// The slave's settings, read through the master (the endpoint holds the
// slave in exclusive mode).
termios SlaveTermios(const Pty& pty) {
    termios t{};
    EXPECT_EQ(tcgetattr(pty.master, &t), 0);
    return t;
}

}  // namespace

TEST(ComPortEndpointTest, OpenCloseStatuses) {
    ComPortEndpoint port;
    EXPECT_EQ(port.Open("\\\\.\\clst-no-such-port-4711", 9600, 0, 8, 0), -2);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(errno, 2);

    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    EXPECT_EQ(port.Open(pty.path().c_str(), 115200, 0, 8, 0), 0);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.Close(), 0);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Close(), -9) << "closing a closed endpoint fails on the null handle";
    EXPECT_FALSE(port.IsOpen());

    // Settings Linux cannot make fail the open, and leave the port free.
    EXPECT_EQ(port.Open(pty.path().c_str(), 115200, 0, 9, 0), -22);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Open(pty.path().c_str(), 115200, 0, 8, 1), -22)
        << "1.5 stop bits need 5 data bits";
    EXPECT_EQ(port.Open(pty.path().c_str(), 12345, 0, 8, 0), -22);
    EXPECT_EQ(port.Open(pty.path().c_str(), 115200, 5, 8, 0), -22);
    EXPECT_EQ(port.Open(pty.path().c_str(), 9600, 0, 5, 1), 0);
    EXPECT_EQ(port.Close(), 0);
}

TEST(ComPortEndpointTest, OpenIsExclusive) {
    Pty pty;
    ComPortEndpoint first, second;
    ASSERT_EQ(first.Open(pty.path().c_str(), 9600, 0, 8, 0), 0);
    EXPECT_EQ(second.Open(pty.path().c_str(), 9600, 0, 8, 0), -13);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(first.Close(), 0);
    EXPECT_EQ(second.Open(pty.path().c_str(), 9600, 0, 8, 0), 0);
    EXPECT_EQ(second.Close(), 0);

    // Another program holding the device's lock (as pyserial and picocom do).
    int other = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(first.Open(pty.path().c_str(), 9600, 0, 8, 0), -13);
    close(other);
    EXPECT_EQ(first.Open(pty.path().c_str(), 9600, 0, 8, 0), 0);
}

TEST(ComPortEndpointTest, LineSettingsAsTheKernelSeesThem) {
    struct Case {
        uint32_t baud;
        uint8_t parity, bits, stop;
        speed_t speed;
        bool twoStop;
    };
    const Case cases[] = {
        {9600, 0, 8, 0, B9600, false},     {19200, 1, 7, 2, B19200, true},
        {115200, 2, 6, 0, B115200, false}, {460800, 3, 8, 0, B460800, false},
        {921600, 4, 5, 1, B921600, true},
    };
    for (const auto& c : cases) {
        Pty pty;
        ComPortEndpoint port;
        ASSERT_EQ(port.Open(pty.path().c_str(), c.baud, c.parity, c.bits, c.stop), 0) << c.baud;
        const termios t = SlaveTermios(pty);
        EXPECT_EQ(cfgetospeed(&t), c.speed) << c.baud;
        // A pty keeps 8 data bits without parity whatever it is asked for; the
        // stop bits and the rate are kept.
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8)) << c.baud;
        EXPECT_EQ(t.c_cflag & PARENB, 0u) << c.baud;
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStop) << c.baud;
        EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK | ICRNL | ISTRIP), 0u)
            << "no flow control, raw";
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);

        platform::Dcb dcb;
        ASSERT_TRUE(platform::GetCommState(port.handle(), dcb));
        EXPECT_EQ(dcb.BaudRate, c.baud);
        EXPECT_EQ(dcb.ByteSize, c.bits);
        EXPECT_EQ(dcb.Parity, c.parity);
        EXPECT_EQ(dcb.StopBits, c.stop);
        EXPECT_TRUE(dcb.Flags & platform::kDcbBinary);
        EXPECT_EQ(dcb.Flags & (platform::kDcbParity | platform::kDcbOutxCtsFlow |
                               platform::kDcbOutX | platform::kDcbInX |
                               platform::kDcbDtrControlMask | platform::kDcbRtsControlMask),
                  0u)
            << "no flow control; DTR and RTS disabled";
        platform::CommTimeouts timeouts;
        ASSERT_TRUE(platform::GetCommTimeouts(port.handle(), timeouts));
        EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 100u);
        EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 100u);
    }
}

TEST(ComPortEndpointTest, OpenDiscardsWhatArrivedBefore) {
    Pty pty;
    // Bytes written while the slave is open elsewhere reach its input queue.
    int early = open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(early, 0);
    ASSERT_EQ(write(pty.master, "stale", 5), 5);
    std::this_thread::sleep_for(20ms);
    ComPortEndpoint port;
    ASSERT_EQ(port.Open(pty.path().c_str(), 115200, 0, 8, 0), 0);
    close(early);
    char buf[16];
    uint64_t n = 99;
    EXPECT_EQ(port.Read(buf, sizeof buf, n, 50), 0);
    EXPECT_EQ(n, 0u);
}

TEST(ComPortEndpointTest, ReadWaitsAtMostTheTimeOutAndReturnsEarlyWithData) {
    Pty pty;
    ComPortEndpoint port;
    ASSERT_EQ(port.Open(pty.path().c_str(), 921600, 0, 8, 0), 0);
    char buf[64];
    uint64_t n = 99;
    auto start = Clock::now();
    EXPECT_EQ(port.Read(buf, sizeof buf, n, 150), 0);
    auto took = Clock::now() - start;
    EXPECT_EQ(n, 0u);
    EXPECT_GE(took, 140ms);
    EXPECT_LT(took, 1000ms);

    // Data present: the read ends after a short quiet gap, long before the time-out.
    ASSERT_EQ(write(pty.master, "hello", 5), 5);
    start = Clock::now();
    EXPECT_EQ(port.Read(buf, sizeof buf, n, 2000), 0);
    took = Clock::now() - start;
    EXPECT_EQ(std::string(buf, n), "hello");
    EXPECT_LT(took, 1000ms);

    // The requested size ends the read at once; the rest stays for the next one.
    ASSERT_EQ(write(pty.master, "0123456789", 10), 10);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(port.Read(buf, 4, n, 2000), 0);
    EXPECT_EQ(std::string(buf, n), "0123");
    EXPECT_EQ(port.Read(buf, sizeof buf, n, 2000), 0);
    EXPECT_EQ(std::string(buf, n), "456789");

    // Oversize: refused after the time-out was set, count untouched.
    n = 7;
    EXPECT_EQ(port.Read(buf, 0x80000000ull, n, 100), -2);
    EXPECT_EQ(n, 7u);
}

TEST(ComPortEndpointTest, WritesAndTheShortWriteLine) {
    Pty pty;
    ComPortEndpoint port;
    ASSERT_EQ(port.Open(pty.path().c_str(), 115200, 0, 8, 0), 0);
    uint64_t written = 0;
    EXPECT_EQ(port.Write("abc", 3, written), 0);
    EXPECT_EQ(written, 3u);
    char buf[8] = {};
    pollfd p{pty.master, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_EQ(read(pty.master, buf, sizeof buf), 3);
    EXPECT_STREQ(buf, "abc");

    written = 5;
    EXPECT_EQ(port.Write("x", 0x80000000ull, written), -1);
    EXPECT_EQ(written, 0u);

    // A peer that never drains: fill the pty until writes stop being taken.
    std::vector<char> block(4096, 'z');
    uint64_t total = 0;
    for (int i = 0; i < 200; ++i) {
        EXPECT_GE(port.Write(block.data(), block.size(), written), 0);
        total += written;
        if (written == 0)
            break;
    }
    EXPECT_GT(total, 0u);
    ASSERT_EQ(written, 0u) << "the pty never filled up after " << total << " bytes";
    // Top it up byte by byte, so that not even a short write finds room.
    for (int i = 0; i < 100000; ++i) {
        EXPECT_GE(port.Write("y", 1, written), 0);
        if (written == 0)
            break;
    }

    platform::SetLastError(0);
    ::testing::internal::CaptureStdout();
    const auto start = Clock::now();
    EXPECT_EQ(port.Write("12345", 5, written), 0) << "a short write with last error 0 reports 0";
    const auto took = Clock::now() - start;
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "dataCount (5)<> len (0), rc: 0\n");
    EXPECT_EQ(written, 0u);
    EXPECT_GE(took, 90ms) << "the write waits out its 100 ms time-out";
}

// The statuses the relay reports: the system errors met on Linux land on the
// ones a Windows port gives, anything unknown on EFAULT.
TEST(ComPortEndpointTest, ErrorStatusesOfTheErrorsMet) {
    const std::pair<int, int> met[] = {{ENOENT, 2},  {EACCES, 13}, {EWOULDBLOCK, 13}, {EBADF, 9},
                                       {EINVAL, 22}, {EIO, 5},     {ENXIO, 19},       {ENODEV, 19}};
    for (const auto& [linuxError, status] : met)
        EXPECT_EQ(Win32ErrorToErrno(platform::Win32ErrorFromErrno(linuxError)), status)
            << linuxError;
    for (uint32_t code : {0u, 6u, 87u, 1117u})
        EXPECT_NE(Win32ErrorToErrno(code), 14) << code;
    EXPECT_EQ(Win32ErrorToErrno(0), 0);
    EXPECT_EQ(Win32ErrorToErrno(0xFFFFFFFFu), 14);
    platform::SetLastError(1167);
    SetErrnoFromLastError();
    EXPECT_EQ(errno, 14);
}

TEST(DeviceNamespaceTest, PortLinksComNamesAndTheStartUpAlias) {
    const clst::testing::ScratchDir scratch("/tmp/clst-ns-XXXXXX");
    const std::string& dir = scratch.path();
    const clst::testing::ScopedEnv portDir("CLSERTOLVANE_PORT_DIR", dir);
    Pty a, b;
    ASSERT_EQ(symlink(a.slave.c_str(), (dir + "/COM5").c_str()), 0);
    ASSERT_EQ(symlink(b.slave.c_str(), (dir + "/ZADURUV5").c_str()), 0);

    EXPECT_EQ(platform::ResolveDevicePath("\\\\.\\COM5"), dir + "/COM5");
    EXPECT_EQ(platform::ResolveDevicePath("ZADURUV5"), dir + "/ZADURUV5");
    EXPECT_EQ(platform::ResolveDevicePath("\\\\.\\MAROCOM5"), dir + "/ZADURUV5");
    EXPECT_EQ(platform::ResolveDevicePath("MAROCOM6"), "/dev/MAROCOM6") << "no pair 6";
    EXPECT_EQ(platform::ResolveDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(platform::ResolveDevicePath("com32"), "/dev/ttyS31");
    EXPECT_EQ(platform::ResolveDevicePath("COM33"), "/dev/ttyUSB0");
    EXPECT_EQ(platform::ResolveDevicePath("COM65"), "/dev/ttyACM0");
    EXPECT_EQ(platform::ResolveDevicePath("COM200"), "/dev/COM200");
    EXPECT_EQ(platform::ResolveDevicePath("\\\\.\\pts/3"), "/dev/pts/3");
    EXPECT_EQ(platform::ResolveDevicePath("\\\\.\\"), "");

    // The endpoint opens a pair's device end through the alias.
    ComPortEndpoint port;
    ASSERT_EQ(port.Open("\\\\.\\MAROCOM5", 115200, 0, 8, 0), 0);
    uint64_t written = 0;
    EXPECT_EQ(port.Write("ok", 2, written), 0);
    char buf[4] = {};
    pollfd p{b.master, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_EQ(read(b.master, buf, sizeof buf), 2);
    EXPECT_EQ(port.Close(), 0);

    // The device list names the links, and fits or asks for more room.
    const auto devices = platform::ListDosDevices();
    ASSERT_GE(devices.size(), 2u);
    EXPECT_EQ(devices[0].first, "COM5");
    EXPECT_EQ(devices[1].first, "ZADURUV5");
    char small[4];
    EXPECT_EQ(platform::QueryDosDevice(small, sizeof small), 0u);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInsufficientBuffer);
    char big[65536];
    const uint32_t used = platform::QueryDosDevice(big, sizeof big);
    ASSERT_GT(used, 0u);
    EXPECT_STREQ(big, "COM5");
    EXPECT_EQ(big[used - 1], '\0');
    EXPECT_EQ(big[used - 2], '\0');
}
