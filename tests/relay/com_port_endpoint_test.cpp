// The COM port endpoint against real ptys: statuses, exclusivity, time-outs,
// line settings as the kernel sees them; and the device names it opens.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <string>
#include <tuple>
#include <utility>

#include "platform/device_namespace.h"
#include "platform/serial_port.h"
#include "platform/win32_errors.h"
#include "relay/com_port_endpoint.h"
#include "tests/support/test_io.h"

using namespace clst;
using namespace std::chrono_literals;
using clst::testing::Clock;
using clst::testing::Pty;
using clst::testing::ReadFor;

TEST(ComPortEndpointTest, OpenStatusesAndTheLineSettingsAsTheKernelSeesThem) {
    ComPortEndpoint port;
    EXPECT_EQ(port.Open("\\\\.\\clst-no-such-port-4711", 9600, 0, 8, 0), -2);
    Pty pty;
    // Settings Linux cannot make fail the open and leave the port closed (1.5
    // stop bits need 5 data bits). A pty keeps 8 data bits without parity
    // whatever it is asked for; the stop bits and the rate are kept.
    const struct {
        uint32_t baud;
        uint8_t parity, bits, stop;
        int32_t status;
        speed_t speed;
        tcflag_t stopFlag;
    } cases[] = {{115200, 0, 9, 0, -22, 0, 0},         {115200, 0, 8, 1, -22, 0, 0},
                 {12345, 0, 8, 0, -22, 0, 0},          {115200, 5, 8, 0, -22, 0, 0},
                 {9600, 0, 8, 0, 0, B9600, 0},         {19200, 1, 7, 2, 0, B19200, CSTOPB},
                 {921600, 4, 5, 1, 0, B921600, CSTOPB}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.baud) + " " + std::to_string(c.bits));
        // The port as another program may have left it: cooked, with flow control.
        termios t{};
        ASSERT_EQ(tcgetattr(pty.master, &t), 0);
        t.c_iflag |= IXON | IXOFF | ICRNL;
        t.c_lflag |= ICANON | ECHO | ISIG;
        t.c_oflag |= OPOST;
        ASSERT_EQ(tcsetattr(pty.master, TCSANOW, &t), 0);
        EXPECT_EQ(port.Open(pty.path().c_str(), c.baud, c.parity, c.bits, c.stop), c.status);
        EXPECT_EQ(port.IsOpen(), c.status == 0);
        if (c.status != 0)
            continue;
        // The slave's settings, read through the master: raw, no flow control.
        ASSERT_EQ(tcgetattr(pty.master, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), CS8 | c.stopFlag);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK | ICRNL | ISTRIP), 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        platform::Dcb dcb;
        ASSERT_TRUE(platform::GetCommState(port.handle(), dcb));
        EXPECT_EQ(std::tuple(dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits),
                  std::tuple(c.baud, c.bits, c.parity, c.stop));
        // Binary; no flow control; DTR and RTS disabled.
        EXPECT_EQ(dcb.Flags & (platform::kDcbBinary | platform::kDcbParity |
                               platform::kDcbOutxCtsFlow | platform::kDcbOutX | platform::kDcbInX |
                               platform::kDcbDtrControlMask | platform::kDcbRtsControlMask),
                  platform::kDcbBinary);
        EXPECT_EQ(port.Close(), 0);
    }
    EXPECT_EQ(port.Close(), -9) << "closing a closed endpoint fails on the null handle";
}

TEST(ComPortEndpointTest, OpenIsExclusive) {
    Pty pty;
    ComPortEndpoint first, second;
    ASSERT_EQ(first.Open(pty.path().c_str(), 9600, 0, 8, 0), 0);
    EXPECT_EQ(second.Open(pty.path().c_str(), 9600, 0, 8, 0), -13);
    EXPECT_EQ(first.Close(), 0);
    // Another program holding the device's lock (as pyserial and picocom do).
    int other = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(first.Open(pty.path().c_str(), 9600, 0, 8, 0), -13);
    close(other);
    EXPECT_EQ(first.Open(pty.path().c_str(), 9600, 0, 8, 0), 0);
}

TEST(ComPortEndpointTest, ReadsAndWritesWithTheirTimeOutsAndLimits) {
    Pty pty;
    // Opened before the endpoint holds the port in exclusive mode; bytes
    // written meanwhile reach the slave's input queue.
    int control = open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(control, 0);
    ASSERT_EQ(write(pty.master, "stale", 5), 5);
    std::this_thread::sleep_for(20ms);
    ComPortEndpoint port;
    ASSERT_EQ(port.Open(pty.path().c_str(), 921600, 0, 8, 0), 0);
    char buf[64];
    uint64_t n = 99, written = 0;
    auto start = Clock::now();
    EXPECT_EQ(port.Read(buf, sizeof buf, n, 150), 0);
    EXPECT_GE(Clock::now() - start, 140ms);
    EXPECT_EQ(n, 0u) << "what came before the open is discarded";

    // Data present: the read ends after a short quiet gap, long before the
    // time-out.
    ASSERT_EQ(write(pty.master, "hello", 5), 5);
    start = Clock::now();
    EXPECT_EQ(port.Read(buf, sizeof buf, n, 20000), 0);
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_EQ(std::string(buf, n), "hello");

    EXPECT_EQ(port.Write("abc", 3, written), 0);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(ReadFor(pty.master, 3, 1s), "abc");
    // Oversize: refused, the read's count untouched, the write's zero.
    EXPECT_EQ(port.Read(buf, 0x80000000ull, n, 100), -2);
    EXPECT_EQ(port.Write("x", 0x80000000ull, written), -1);
    EXPECT_EQ(std::pair(n, written), std::pair(uint64_t{5}, uint64_t{0}));

    // Output suspended: the write waits out its time-out and delivers nothing.
    ASSERT_EQ(tcflow(control, TCOOFF), 0);
    platform::SetLastError(0);
    ::testing::internal::CaptureStdout();
    start = Clock::now();
    EXPECT_EQ(port.Write("12345", 5, written), 0) << "a short write with last error 0 reports 0";
    EXPECT_GE(Clock::now() - start, 90ms);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "dataCount (5)<> len (0), rc: 0\n");
    EXPECT_EQ(written, 0u);
    tcflow(control, TCOON);
    close(control);
}

TEST(DeviceNamespaceTest, PortLinksComNamesAndTheStartUpAlias) {
    const clst::testing::ScratchDir scratch("/tmp/clst-ns-XXXXXX");
    const std::string& dir = scratch.path();
    const clst::testing::ScopedEnv portDir("CLSERTOLVANE_PORT_DIR", dir);
    Pty a, b;
    ASSERT_EQ(symlink(a.slave.c_str(), (dir + "/COM5").c_str()), 0);
    ASSERT_EQ(symlink(b.slave.c_str(), (dir + "/ZADURUV5").c_str()), 0);
    // A pair's start-up alias, a system port by number, a device path; no pair 6.
    std::string resolved;
    for (const char* name : {"\\\\.\\COM5", "ZADURUV5", "\\\\.\\MAROCOM5", "MAROCOM6", "COM1",
                             "com32", "COM33", "COM65", "COM200", "\\\\.\\pts/3", "\\\\.\\"})
        resolved += platform::ResolveDevicePath(name) + " ";
    EXPECT_EQ(resolved, dir + "/COM5 " + dir + "/ZADURUV5 " + dir +
                            "/ZADURUV5 /dev/MAROCOM6 /dev/ttyS0 /dev/ttyS31 /dev/ttyUSB0 "
                            "/dev/ttyACM0 /dev/COM200 /dev/pts/3  ");

    // The device list names the links, and fits or asks for more room.
    char small[4], big[65536];
    EXPECT_EQ(platform::QueryDosDevice(small, sizeof small), 0u);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInsufficientBuffer);
    const uint32_t used = platform::QueryDosDevice(big, sizeof big);
    // The links first, then the system's own ports; closed by an empty name.
    ASSERT_GE(used, 16u);
    EXPECT_EQ(std::string(big, 14) + std::string(big + used - 2, 2),
              std::string("COM5\0ZADURUV5\0\0\0", 16));
}
