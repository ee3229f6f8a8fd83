// Bytes through installed pairs: both directions, reopened ends, bounded
// buffering, and a real serial client.
#include <sys/wait.h>

#include "tests/portpairs/port_pair_fixture.h"

namespace clst::testing {
namespace {

using PairTrafficTest = PortPairTest;

constexpr int kPort = 101;

TEST_F(PairTrafficTest, InstalledPairCarries64KiBEachWayByteExact) {
    ASSERT_EQ(library_.VcpIsPortNumberInUse(kPort), 0);
    ASSERT_NE(library_.VcpInstallPair(kPort), 0) << library_.LastErrorText();

    const std::vector<ListedPair> pairs = List();
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_EQ(pairs[0].name, "CNC101");
    EXPECT_EQ(pairs[0].first, "COM101");
    EXPECT_EQ(pairs[0].second, "ZADURUV101");
    // The start-up name reaches the same device end.
    char device[64] = {};
    char alias[64] = {};
    ASSERT_GT(readlink(Path("ZADURUV101").c_str(), device, sizeof(device) - 1), 0);
    ASSERT_GT(readlink(Path("MAROCOM101").c_str(), alias, sizeof(alias) - 1), 0);
    EXPECT_STREQ(device, alias);

    const int com = Open("COM101");
    const int dev = Open("ZADURUV101");
    ASSERT_GE(com, 0);
    ASSERT_GE(dev, 0);
    // Every byte value, including the ones a cooked line discipline would
    // eat or change (CR, LF, ^C, ^S/^Q, ^D, DEL).
    const std::string toDevice =
        RandomBytes(64 * 1024, 1) + std::string("\r\n\x03\x11\x13\x04\x7f", 7);
    const std::string toCom = RandomBytes(64 * 1024, 2);
    std::string atDevice;
    std::string atCom;
    Exchange(com, dev, toDevice, toCom, atDevice, atCom);
    ASSERT_EQ(atDevice.size(), toDevice.size());
    ASSERT_EQ(atCom.size(), toCom.size());
    EXPECT_TRUE(atDevice == toDevice);
    EXPECT_TRUE(atCom == toCom);

    // Nothing is echoed back to the writer.
    EXPECT_EQ(ReadAvailable(com, 1, milliseconds(100)), "");
}

TEST_F(PairTrafficTest, ClosingAndReopeningEitherEndKeepsThePair) {
    ASSERT_NE(library_.VcpInstallPair(kPort), 0) << library_.LastErrorText();
    const pid_t host = HostPid(kPort);
    ASSERT_GT(host, 1);

    int com = Open("COM101");
    int dev = Open("ZADURUV101");
    std::string atDevice, atCom;
    Exchange(com, dev, "first", "reply", atDevice, atCom);
    EXPECT_EQ(atDevice, "first");
    EXPECT_EQ(atCom, "reply");

    // Both clients gone: the host must neither end nor spin on the hung-up
    // masters.
    Close(com);
    Close(dev);
    auto cpuTicks = [host] {
        const std::string stat = ReadWholeFile("/proc/" + std::to_string(host) + "/stat");
        std::istringstream in(stat.substr(stat.rfind(')') + 2));
        std::string field;
        long ticks = 0;
        for (int i = 3; i <= 15 && in >> field; ++i) {
            if (i == 14 || i == 15) {
                ticks += std::atol(field.c_str());
            }
        }
        return ticks;
    };
    const long before = cpuTicks();
    std::this_thread::sleep_for(milliseconds(400));
    const long spent = cpuTicks() - before;
    EXPECT_LT(spent, sysconf(_SC_CLK_TCK) / 5) << "the idle pair host keeps the CPU busy";
    EXPECT_FALSE(ProcessGone(host));

    com = Open("COM101");
    ASSERT_GE(com, 0);
    dev = Open("ZADURUV101");
    ASSERT_GE(dev, 0);
    atDevice.clear();
    atCom.clear();
    Exchange(com, dev, "second", "again", atDevice, atCom);
    EXPECT_EQ(atDevice, "second");
    EXPECT_EQ(atCom, "again");

    // Only the client end comes and goes while the device end stays open.
    Close(com);
    com = Open("COM101");
    atDevice.clear();
    atCom.clear();
    Exchange(com, dev, "third", "still", atDevice, atCom);
    EXPECT_EQ(atDevice, "third");
    EXPECT_EQ(atCom, "still");
    EXPECT_EQ(List().size(), 1u);
}

TEST_F(PairTrafficTest, StalledReaderStopsTheWriterAndLosesNothing) {
    ASSERT_NE(library_.VcpInstallPair(kPort), 0) << library_.LastErrorText();
    const int com = Open("COM101");
    const int dev = Open("ZADURUV101");
    ASSERT_GE(com, 0);
    ASSERT_GE(dev, 0);

    // The COM side does not read; write into the device end until it has
    // accepted nothing for a while.
    const std::string pattern = RandomBytes(1 << 20, 3);
    size_t accepted = 0;
    Clock::time_point lastProgress = Clock::now();
    while (accepted < pattern.size() && Clock::now() - lastProgress < milliseconds(300)) {
        const ssize_t n = write(dev, pattern.data() + accepted, 1024);
        if (n > 0) {
            accepted += static_cast<size_t>(n);
            lastProgress = Clock::now();
        } else {
            ASSERT_TRUE(errno == EAGAIN || errno == EINTR) << std::strerror(errno);
            pollfd pfd{dev, POLLOUT, 0};
            poll(&pfd, 1, 20);
        }
    }
    // Bounded: a few kernel buffers plus the host's own, never the megabyte.
    EXPECT_GE(accepted, 4u * 1024);
    EXPECT_LE(accepted, 128u * 1024);

    // Once the reader reads, every accepted byte arrives, in order, and the
    // writer may go on.
    const std::string got = ReadAvailable(com, accepted);
    ASSERT_EQ(got.size(), accepted);
    EXPECT_TRUE(got == pattern.substr(0, accepted));
    std::string atDevice, atCom;
    Exchange(com, dev, "", "after", atDevice, atCom);
    EXPECT_EQ(atCom, "after");
}

TEST_F(PairTrafficTest, PyserialClientTalksThroughTheComEnd) {
    if (std::system("/usr/bin/python3 -c 'import serial' >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "pyserial is not installed for /usr/bin/python3";
    }
    ASSERT_NE(library_.VcpInstallPair(kPort), 0) << library_.LastErrorText();
    const int dev = Open("ZADURUV101");
    ASSERT_GE(dev, 0);

    // The client sets its own baud rate and framing, which the pair accepts.
    const std::string script =
        "import serial, sys\n"
        "p = serial.Serial(sys.argv[1], 9600, parity='E', stopbits=2, timeout=5)\n"
        "p.write(b'ping\\r\\n')\n"
        "reply = p.read(6)\n"
        "sys.stdout.write(repr(reply))\n";
    const std::string command = "/usr/bin/python3 -c \"" + script + "\" " + Path("COM101");
    FILE* client = popen(command.c_str(), "r");
    ASSERT_NE(client, nullptr);

    const std::string request = ReadAvailable(dev, 6, milliseconds(5000));
    EXPECT_EQ(request, "ping\r\n");
    ASSERT_EQ(write(dev, "pong\r\n", 6), 6);

    std::string output;
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), client)) > 0) {
        output.append(buffer, n);
    }
    const int status = pclose(client);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(output, "b'pong\\r\\n'");
}

}  // namespace
}  // namespace clst::testing
