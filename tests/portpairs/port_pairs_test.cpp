// Port pairs for real: the port-pair library from the program's library
// directory starts pair hosts, each test in a private port directory. Bytes
// through pairs, hosts that end or die, second instances and the
// command-line tool, occupied numbers and unusable set-ups.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <sstream>
#include <vector>

#include "emulation/portpairs/pair_names.h"
#include "platform/device_namespace.h"
#include "platform/program_path.h"
#include "portpairs/port_pair_library.h"
#include "tests/support/private_port_directory.h"
#include "tests/support/test_io.h"

namespace clst::testing {
namespace {

namespace fs = std::filesystem;
constexpr milliseconds kHangGuard{10000};

// Gone, or a zombie whose threads have all ended (a zombie leader whose
// other threads are still exiting keeps the process's files and locks).
bool ProcessGone(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    const std::string stat = ReadWholeFile(proc + "/stat");
    const size_t paren = stat.rfind(')');
    if (kill(pid, 0) != 0 || paren == std::string::npos)
        return true;
    if (stat.compare(paren, 3, ") Z") != 0)
        return false;
    int threads = 0;
    std::error_code ignored;
    for (auto it = fs::directory_iterator(proc + "/task", ignored); it != fs::directory_iterator();
         it.increment(ignored))
        ++threads;
    return threads <= 1;
}

// What arrives at `to` when `bytes` are written into `from`.
std::string Through(int from, int to, const std::string& bytes) {
    if (!WriteAll(from, bytes.data(), bytes.size(), kHangGuard))
        return "(write failed)";
    return ReadFor(to, bytes.size(), kHangGuard);
}

class PortPairTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.empty());
        ASSERT_NE(library_.VcpInitialize(), 0) << library_.LastErrorText();
    }
    void TearDown() override {
        // Every host goes with its pair.
        std::istringstream names(List());
        for (std::string name; names >> name;) {
            const pid_t host = HostPid(std::atoi(name.c_str() + 3));
            library_.VcpRemovePair(name.c_str());
            if (!WaitUntilGone(host)) {
                ADD_FAILURE() << "pair host " << host << " was still running at the end";
                kill(host, SIGKILL);
            }
        }
        library_.VcpRelease();
        chmod(dir_.c_str(), 0700);
        RemovePrivatePortDirectory(dir_);
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    bool Exists(const std::string& name) const {
        return fs::exists(fs::symlink_status(Path(name)));
    }
    // The pairs' names as a caller lists them: count, then every index.
    std::string List() {
        std::string names;
        const int32_t count = library_.VcpGetPairCount();
        for (int32_t i = 0; i < count; ++i) {
            char name[PortPairLibrary::kNameBufferSize] = {}, first[sizeof name] = {},
                 second[sizeof name] = {};
            if (library_.VcpGetPair(i, name, first, second) != 0)
                names += (names.empty() ? "" : " ") + std::string(name);
        }
        return names;
    }
    pid_t HostPid(int number) const {
        maro_vcp::PairState state;
        maro_vcp::ParseState(ReadWholeFile(Path(maro_vcp::StateFileName(number))), state);
        return state.pid;
    }
    bool WaitUntilGone(pid_t pid) {
        return WaitFor([pid] { return ProcessGone(pid); }, kHangGuard);
    }
    // An end opened as a serial program does; what a test leaves open goes
    // with the process.
    int Open(const std::string& name) const { return OpenRawPort(Path(name)); }
    // Runs the tool as a second instance: its exit code (-1 when it did not
    // exit normally) and its output, stderr included.
    static int RunTool(const std::string& arguments, std::string& output) {
        output.clear();
        const std::string command =
            platform::ProgramDirectory() + "/../bin/clsertolvane-pairs " + arguments + " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr)
            return -1;
        char buffer[512];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            output.append(buffer, n);
        const int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string dir_ = MakePrivatePortDirectory("/tmp/clst-pairs-XXXXXX");
    // From its default place, the program's library directory: SetUp fails
    // when that is wrong.
    PortPairLibrary library_;
};

TEST_F(PortPairTest, PairCarriesEveryByteValueBothWaysWhileItsEndsComeAndGo) {
    ASSERT_EQ(library_.VcpIsPortNumberInUse(101), 0);
    ASSERT_NE(library_.VcpInstallPair(101), 0) << library_.LastErrorText();
    EXPECT_NE(library_.VcpIsPortNumberInUse(101), 0);
    EXPECT_EQ(List(), "CNC101");
    // The start-up name reaches the same device end.
    EXPECT_EQ(fs::read_symlink(Path("MAROCOM101")), fs::read_symlink(Path("ZADURUV101")));
    const pid_t host = HostPid(101);
    ASSERT_GT(host, 1);

    // Every byte value, also those a cooked line discipline would eat or
    // change (CR, LF, ^C, ^S/^Q, ^D, DEL), on a pair whose ends are opened
    // anew: both, then only the client's while the device end stays open.
    std::string bytes;
    for (int i = 0; i < 4096; ++i)
        bytes.push_back(static_cast<char>(i * 7 % 256));
    int com = Open("COM101");
    int dev = Open("ZADURUV101");
    for (int round = 0; round < 3; ++round) {
        ASSERT_GE(com, 0);
        ASSERT_GE(dev, 0);
        EXPECT_TRUE(Through(com, dev, bytes) == bytes) << round;
        EXPECT_TRUE(Through(dev, com, bytes.substr(round)) == bytes.substr(round)) << round;
        EXPECT_EQ(ReadFor(com, 1, milliseconds(100)), "");  // nothing echoed to the writer
        close(com);
        if (round == 0) {
            close(dev);
            // With no client at all the host must neither end nor spin on the
            // hung-up masters.
            auto cpuTicks = [host] {
                const std::string stat = ReadWholeFile("/proc/" + std::to_string(host) + "/stat");
                unsigned long user = 0, system = 0;
                std::sscanf(stat.c_str() + stat.rfind(')') + 2,
                            "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system);
                return static_cast<long>(user + system);
            };
            const long before = cpuTicks();
            std::this_thread::sleep_for(milliseconds(400));
            EXPECT_LT(cpuTicks() - before, sysconf(_SC_CLK_TCK) / 5) << "the idle host spins";
            EXPECT_FALSE(ProcessGone(host));
            dev = Open("ZADURUV101");
        }
        com = Open("COM101");
    }
}

TEST_F(PortPairTest, StalledReaderStopsTheWriterAndLosesNothing) {
    ASSERT_NE(library_.VcpInstallPair(101), 0) << library_.LastErrorText();
    const int com = Open("COM101");
    const int dev = Open("ZADURUV101");
    ASSERT_GE(com, 0);
    ASSERT_GE(dev, 0);
    // The COM side does not read: the device end takes bytes until it has
    // accepted nothing for a while.
    std::string pattern;
    for (int i = 0; i < (1 << 20); ++i)
        pattern.push_back(static_cast<char>(i * 131 / 7));
    size_t accepted = 0;
    for (auto lastProgress = Clock::now(); Clock::now() - lastProgress < milliseconds(300);) {
        const ssize_t n = write(dev, pattern.data() + accepted, 1024);
        if (n > 0) {
            accepted += static_cast<size_t>(n);
            lastProgress = Clock::now();
        } else {
            ASSERT_TRUE(errno == EAGAIN || errno == EINTR) << std::strerror(errno);
            std::this_thread::sleep_for(milliseconds(20));
        }
    }
    // Bounded: a few kernel buffers plus the host's own, never the megabyte.
    EXPECT_GE(accepted, 4u * 1024);
    EXPECT_LE(accepted, 128u * 1024);
    // Once the reader reads, every accepted byte arrives in order, and the
    // writer may go on.
    EXPECT_TRUE(ReadFor(com, accepted, kHangGuard) == pattern.substr(0, accepted));
    EXPECT_EQ(Through(dev, com, "after"), "after");
}

TEST_F(PortPairTest, RemoveStopsTheHostAndRemovesOnlyItsPair) {
    ASSERT_NE(library_.VcpInstallPair(7), 0) << library_.LastErrorText();
    ASSERT_NE(library_.VcpInstallPair(12), 0) << library_.LastErrorText();
    const pid_t host = HostPid(7);
    ASSERT_GT(host, 1);
    ASSERT_GE(Open("COM7"), 0);  // an open client must not keep the pair alive

    ASSERT_NE(library_.VcpRemovePair("CNC7"), 0) << library_.LastErrorText();
    EXPECT_TRUE(WaitUntilGone(host));
    for (const char* name : {"COM7", "ZADURUV7", "MAROCOM7", "CNC7.pair"})
        EXPECT_FALSE(Exists(name)) << name;
    EXPECT_EQ(List(), "CNC12");
    EXPECT_FALSE(ProcessGone(HostPid(12)));

    for (const char* bad : {"CNC7", "COM12", "CNC", "CNC12x", "cnc12", ""}) {
        EXPECT_EQ(library_.VcpRemovePair(bad), 0) << bad;
        EXPECT_FALSE(library_.LastErrorText().empty()) << bad;
    }
    EXPECT_EQ(library_.VcpRemovePair(nullptr), 0);
    // Indices outside the listing, or no buffer, give nothing.
    char name[PortPairLibrary::kNameBufferSize] = {};
    for (const int32_t index : {-1, 1})
        EXPECT_EQ(library_.VcpGetPair(index, name, name, name), 0) << index;
    EXPECT_EQ(library_.VcpGetPair(0, nullptr, name, name), 0);
    EXPECT_EQ(List(), "CNC12");
    // The number is free again.
    EXPECT_EQ(library_.VcpIsPortNumberInUse(7), 0);
    EXPECT_NE(library_.VcpInstallPair(7), 0) << library_.LastErrorText();
}

TEST_F(PortPairTest, KilledHostsAreNoticedByListingInUseAndInstall) {
    for (int number : {21, 22, 23})
        ASSERT_NE(library_.VcpInstallPair(number), 0) << library_.LastErrorText();
    const pid_t host21 = HostPid(21), host23 = HostPid(23);
    for (pid_t host : {host21, host23}) {
        ASSERT_GT(host, 1);
        ASSERT_EQ(kill(host, SIGKILL), 0);
        ASSERT_TRUE(WaitUntilGone(host));
    }
    // Before any listing: the number reads as free and installs anew.
    EXPECT_EQ(library_.VcpIsPortNumberInUse(23), 0);
    ASSERT_NE(library_.VcpInstallPair(23), 0) << library_.LastErrorText();
    EXPECT_NE(HostPid(23), host23);
    EXPECT_EQ(List(), "CNC22 CNC23");
    for (const char* name : {"COM21", "ZADURUV21", "MAROCOM21", "CNC21.pair"})
        EXPECT_FALSE(Exists(name)) << name;
    ASSERT_NE(library_.VcpInstallPair(21), 0) << library_.LastErrorText();
    EXPECT_EQ(List(), "CNC21 CNC22 CNC23");
}

TEST_F(PortPairTest, ToolSharesThePairsAndAnswersByExitCode) {
    ASSERT_NE(library_.VcpInstallPair(3), 0) << library_.LastErrorText();
    ASSERT_NE(library_.VcpInstallPair(14), 0) << library_.LastErrorText();
    const std::string pair9 = "CNC9  COM9 <-> ZADURUV9  (" + Path("COM9") + ")\n";
    const struct {
        std::string arguments;
        int exitCode;
        std::string output;  // exact when it ends in a line end, else a part
    } rows[] = {
        {"list", 0,
         "CNC3  COM3 <-> ZADURUV3  (" + Path("COM3") + ")\nCNC14  COM14 <-> ZADURUV14  (" +
             Path("COM14") + ")\n"},
        {"install 9", 0, "A new virtual COM port pair was installed successfully.\n" + pair9},
        {"install COM9", 1, "This port number is occupied, please input another number."},
        {"install --if-missing 9", 0, pair9},
        {"remove CNC3", 0, "The virtual COM port pair CNC3 was removed successfully.\n"},
        {"remove CNC5", 1, "There is no virtual port pair CNC5."},
        {"install 0", 1, "not valid"},
        {"--help", 0, "Usage:"},
        {"frobnicate", 2, "unknown command"},
        {"", 2, "Usage:"},
        {"install five", 2, "Usage:"},
        {"remove COM5", 2, "Usage:"},
    };
    for (const auto& row : rows) {
        std::string output;
        EXPECT_EQ(RunTool(row.arguments, output), row.exitCode) << row.arguments << "\n" << output;
        if (row.output.back() == '\n')
            EXPECT_EQ(output, row.output) << row.arguments;
        else
            EXPECT_NE(output.find(row.output), std::string::npos) << row.arguments << "\n"
                                                                  << output;
    }
    EXPECT_EQ(List(), "CNC9 CNC14");  // the other process's pair outlived it
}

TEST_F(PortPairTest, ConcurrentInstallsOfOneNumberLetExactlyOneWin) {
    auto install = [](std::string number) {
        std::string output;
        return RunTool("install " + number, output);
    };
    auto a = std::async(std::launch::async, install, "60");
    auto b = std::async(std::launch::async, install, "60");
    auto c = std::async(std::launch::async, install, "61");
    const int ra = a.get(), rb = b.get();
    EXPECT_EQ(c.get(), 0);
    EXPECT_TRUE((ra == 0) != (rb == 0)) << ra << " " << rb;
    EXPECT_EQ(List(), "CNC60 CNC61");
    // No host of the losing install is left behind.
    std::string hosts;
    FILE* ps = popen(("pgrep -f 'pairhost " + dir_ + " 60$'").c_str(), "r");
    ASSERT_NE(ps, nullptr);
    for (int c; (c = fgetc(ps)) != EOF;)
        hosts.push_back(static_cast<char>(c));
    pclose(ps);
    EXPECT_EQ(hosts, std::to_string(HostPid(60)) + "\n");
}

TEST_F(PortPairTest, NumberInUseCoversPairsFilesAndSystemPorts) {
    ASSERT_NE(library_.VcpInstallPair(50), 0) << library_.LastErrorText();
    EXPECT_EQ(library_.VcpInstallPair(50), 0);
    EXPECT_NE(library_.LastErrorText().find("CNC50"), std::string::npos);
    // Any of the three names taken by something else blocks the number, and
    // a refused install leaves that file alone.
    for (const auto& [name, number] :
         {std::pair{"COM51", 51}, {"ZADURUV52", 52}, {"MAROCOM53", 53}}) {
        WriteWholeFile(Path(name), "");
        EXPECT_NE(library_.VcpIsPortNumberInUse(number), 0) << name;
        EXPECT_EQ(library_.VcpInstallPair(number), 0) << name;
        EXPECT_NE(library_.LastErrorText().find(name), std::string::npos);
        EXPECT_TRUE(fs::is_regular_file(Path(name)));
    }
    // The system's own ports are taken exactly when the program lists them.
    const auto listed = platform::ListDosDevices();
    for (int number = 1; number <= 8; ++number) {
        const std::string name = "COM" + std::to_string(number);
        const bool system = std::any_of(listed.begin(), listed.end(),
                                        [&](const auto& device) { return device.first == name; });
        EXPECT_EQ(library_.VcpIsPortNumberInUse(number) != 0, system) << name;
    }
    // Out of range is not "in use": the install then says why it cannot be.
    EXPECT_EQ(library_.VcpIsPortNumberInUse(0), 0);
    for (const int32_t number : {0, 10000}) {
        EXPECT_EQ(library_.VcpInstallPair(number), 0);
        EXPECT_NE(library_.LastErrorText().find("not valid"), std::string::npos);
    }
    EXPECT_EQ(List(), "CNC50");
}

TEST_F(PortPairTest, UnusablePortDirectoryFailsInitializeWithAText) {
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    EXPECT_EQ(library_.VcpInitialize(), 0);
    const int32_t needed = library_.VcpGetLastErrorText(nullptr);
    ASSERT_GT(needed, 1);
    ASSERT_LE(needed, PortPairLibrary::kErrorTextSize);
    std::vector<char> text(static_cast<size_t>(needed) + 1, 'x');
    EXPECT_EQ(library_.VcpGetLastErrorText(text.data()), needed);
    EXPECT_EQ(text[static_cast<size_t>(needed) - 1], '\0');
    EXPECT_NE(std::string(text.data()).find(dir_ + "\" is writable by other users"),
              std::string::npos)
        << text.data();
    EXPECT_EQ(library_.VcpInstallPair(70), 0);
    EXPECT_FALSE(Exists("COM70"));
    ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
    EXPECT_NE(library_.VcpInitialize(), 0);

    // A path too long for any message still gives a text that fits the
    // callers' buffer.
    ScopedEnv longPath("CLSERTOLVANE_PORT_DIR", "/nonexistent/" + std::string(700, 'd'));
    EXPECT_EQ(library_.VcpInitialize(), 0);
    EXPECT_EQ(library_.VcpGetLastErrorText(nullptr), PortPairLibrary::kErrorTextSize);
}

// A pid that is not a process id of this system refuses the state file
// instead of naming some other process.
TEST(PairStateFileTest, PidsOutsideTheSystemsRangeAreRefused) {
    const std::string rest = "\npair=CNC9999\ncom_tty=/dev/pts/1\ndevice_tty=/dev/pts/2\n";
    for (const char* pid : {"2147483647", "4294967298", "2147483648", "-4294967295",
                            "99999999999999999999", "1", "0", "12x", ""}) {
        maro_vcp::PairState read;
        const bool valid = std::string(pid) == "2147483647";
        EXPECT_EQ(maro_vcp::ParseState("pid=" + std::string(pid) + rest, read), valid) << pid;
        EXPECT_EQ(read.number, valid ? 9999 : -1) << pid;
        EXPECT_EQ(read.pid, valid ? 2147483647 : 0) << pid;
    }
}

TEST(PortPairLibraryLoadTest, MissingLibraryFailsEveryCallWithAText) {
    PortPairLibrary library("/nonexistent/lib/libMaroVirtualComPort.so");
    EXPECT_EQ(library.VcpInitialize(), 0);
    EXPECT_LT(library.VcpGetPairCount(), 1);
    char name[PortPairLibrary::kNameBufferSize] = {};
    EXPECT_EQ(library.VcpGetPair(0, name, name, name), 0);
    EXPECT_EQ(library.VcpInstallPair(5), 0);
    EXPECT_EQ(library.VcpRemovePair("CNC5"), 0);
    EXPECT_EQ(library.VcpIsPortNumberInUse(5), 0);
    const std::string text = library.LastErrorText();
    EXPECT_NE(text.find("/nonexistent/lib/libMaroVirtualComPort.so"), std::string::npos) << text;
    EXPECT_EQ(library.VcpGetLastErrorText(nullptr), static_cast<int32_t>(text.size() + 1));
}

}  // namespace
}  // namespace clst::testing
