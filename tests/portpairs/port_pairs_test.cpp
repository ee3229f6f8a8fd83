// Port pairs for real: the port-pair library from the program's library
// directory starts pair hosts, each test in a private port directory. Bytes
// through pairs, hosts that end or die, second instances and the
// command-line tool, occupied numbers and unusable set-ups. The hosts' state
// files (pids that wrap, out of range) are the pair_names fuzz target's.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
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
#include "tests/support/test_io.h"

namespace clst::testing {
namespace {

namespace fs = std::filesystem;
constexpr milliseconds kHangGuard{10000};

// Gone, or a zombie (which a container's first process may never reap).
bool ProcessGone(pid_t pid) {
    const std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
    return kill(pid, 0) != 0 || stat.find(") Z ") != std::string::npos;
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
            if (host > 1 && !WaitUntilGone(host)) {
                ADD_FAILURE() << "pair host " << host << " was still running at the end";
                kill(host, SIGKILL);
            }
        }
        library_.VcpRelease();
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
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
    maro_vcp::PairLines Lines(int number) const {
        maro_vcp::PairLines lines;
        maro_vcp::ParseLines(ReadWholeFile(Path(maro_vcp::LinesFileName(number))), lines);
        return lines;
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
    // Another program's open and close of `path`: 0, or why it was refused.
    static int Touch(const std::string& path) {
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        return fd >= 0 ? close(fd) : errno;
    }
    bool Refused(const std::string& name) const { return Touch(Path(name)) == EBUSY; }
    // Runs a command (stderr into the output too): its exit code, -1 when it
    // did not exit normally.
    static int Run(const std::string& command, std::string& output) {
        output.clear();
        FILE* pipe = popen((command + " 2>&1").c_str(), "r");
        if (pipe == nullptr)
            return -1;
        char buffer[512];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            output.append(buffer, n);
        const int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // The command-line tool, run as a second instance.
    const std::string tool_ = platform::ProgramDirectory() + "/../bin/clsertolvane-pairs ";
    const ScratchDir scratch_{"/tmp/clst-pairs-XXXXXX"};
    const std::string dir_ = scratch_.path();
    const ScopedEnv portDir_{"CLSERTOLVANE_PORT_DIR", dir_};
    // From its default place, the program's library directory: SetUp fails
    // when that is wrong.
    PortPairLibrary library_;
};

TEST_F(PortPairTest, PairCarriesEveryByteUnchangedBoundedAndWhileItsEndsComeAndGo) {
    ASSERT_NE(library_.VcpInstallPair(101), 0) << library_.LastErrorText();
    EXPECT_NE(library_.VcpIsPortNumberInUse(101), 0);
    // The start-up name reaches the same device end.
    EXPECT_EQ(fs::read_symlink(Path("MAROCOM101")), fs::read_symlink(Path("ZADURUV101")));
    const pid_t host = HostPid(101);
    ASSERT_GT(host, 1);

    // Every byte value, also those a cooked line discipline would eat or
    // change (CR, LF, ^C, ^S/^Q, ^D, DEL), on a pair whose ends are opened
    // anew: both, then only the client's while the device end stays open.
    std::string bytes;
    for (int i = 0; i < (1 << 20); ++i)
        bytes.push_back(static_cast<char>(i * 7 % 256));
    const std::string block = bytes.substr(0, 4096);
    int com = Open("COM101");
    int dev = Open("ZADURUV101");
    for (int round = 0; round < 3; ++round) {
        ASSERT_GE(com, 0);
        ASSERT_GE(dev, 0);
        EXPECT_TRUE(Through(com, dev, block) == block) << round;
        EXPECT_TRUE(Through(dev, com, block.substr(round)) == block.substr(round)) << round;
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

    // A client that does not read stops the writer: the device end takes
    // bytes until it has accepted nothing for a while, a few kernel buffers
    // plus the host's own, never the megabyte. Then every one arrives in order.
    size_t accepted = 0;
    for (auto progress = Clock::now(); Clock::now() - progress < milliseconds(300);) {
        const ssize_t n = write(dev, bytes.data() + accepted, 1024);
        if (n > 0) {
            accepted += static_cast<size_t>(n);
            progress = Clock::now();
        } else {
            std::this_thread::sleep_for(milliseconds(20));
        }
    }
    EXPECT_GE(accepted, 4u * 1024);
    EXPECT_LE(accepted, 128u * 1024);
    EXPECT_TRUE(ReadFor(com, accepted, kHangGuard) == bytes.substr(0, accepted));
    EXPECT_EQ(Through(dev, com, "after"), "after");
}

// A camera that talks while no program has the COM end open (a real line
// loses those bytes): the device end never stalls, the bytes are counted, and
// the next program on the COM end reads only what was sent after its open,
// also when the program before it left bytes unread.
TEST_F(PortPairTest, BytesForAClosedComEndAreDroppedAndCountedNeverQueued) {
    ASSERT_NE(library_.VcpInstallPair(102), 0) << library_.LastErrorText();
    const int dev = Open("ZADURUV102");
    ASSERT_GE(dev, 0);
    const std::string chunk(4096, 'x');
    size_t sent = 0;
    while (sent < 64 * chunk.size() && WriteAll(dev, chunk.data(), chunk.size(), kHangGuard))
        sent += chunk.size();
    ASSERT_EQ(sent, 64 * chunk.size()) << "the device end stalled";
    EXPECT_TRUE(WaitFor([&] { return Lines(102).dropped == sent; }, kHangGuard))
        << Lines(102).dropped;
    EXPECT_TRUE(Lines(102).deviceOpen && !Lines(102).comOpen);
    std::string listed;
    Run(tool_ + "list", listed);
    EXPECT_NE(listed.find("dropped " + std::to_string(sent) + " bytes"), std::string::npos)
        << listed;
    int com = Open("COM102");
    EXPECT_TRUE(WaitFor([&] { return Lines(102).comOpen && Refused("COM102"); }, kHangGuard));
    ASSERT_TRUE(WriteAll(dev, "unread"));
    EXPECT_EQ(ReadFor(com, 1, kHangGuard), "u");  // the rest waits unread in the port
    close(com);
    com = Open("COM102");
    EXPECT_EQ(ReadFor(com, 1, milliseconds(100)), "");
    EXPECT_EQ(Through(dev, com, "fresh"), "fresh");
    EXPECT_EQ(Lines(102).dropped, sent);
}

// The host's other duties go on while bytes flow without a pause: a line
// rate that a client sets and at once writes after reaches the device end
// before those bytes, and a wiped port directory ends the host.
TEST_F(PortPairTest, BusyHostCarriesRatesInOrderAndEndsWithItsDirectory) {
    ASSERT_NE(library_.VcpInstallPair(103), 0) << library_.LastErrorText();
    const int com = Open("COM103"), dev = Open("ZADURUV103");
    ASSERT_TRUE(com >= 0 && dev >= 0);
    const speed_t rates[] = {B9600, B19200, B38400, B57600, B230400};
    for (int round = 0; round < 200; ++round) {
        const speed_t before = rates[(2 * round) % 5], after = rates[(2 * round + 1) % 5];
        ASSERT_TRUE(SetSpeed(com, before) && WriteAll(com, "a") && SetSpeed(com, after) &&
                    WriteAll(com, "b"));
        ASSERT_EQ(ReadFor(dev, 2, kHangGuard), "ab");
        termios tio{};
        ASSERT_EQ(tcgetattr(dev, &tio), 0);
        ASSERT_EQ(cfgetospeed(&tio), after) << "round " << round;
    }

    const pid_t host = HostPid(103);
    std::atomic<bool> done{false};
    std::thread traffic([&] {
        char buffer[256] = {};
        while (!done) {
            ssize_t ignored = write(dev, buffer, sizeof buffer);
            ignored = read(com, buffer, sizeof buffer);
            (void)ignored;
        }
    });
    std::this_thread::sleep_for(milliseconds(300));
    for (const auto& entry : fs::directory_iterator(dir_))
        fs::remove_all(entry.path());
    EXPECT_TRUE(WaitUntilGone(host)) << "the busy host outlived its port directory";
    done = true;
    traffic.join();
}

// Which programs hold an end is the kernel's own count, so a holder the host
// cannot see in /proc (another user's, or one that is not dumpable) keeps
// the end also when the host lost events; and an open that ends at once
// (stty setting the line) leaves the end free for the next program.
TEST_F(PortPairTest, EndsAreClaimedForEveryHolderAndOnlyForHolders) {
    ASSERT_NE(library_.VcpInstallPair(104), 0) << library_.LastErrorText();
    const std::string com = Path("COM104");
    for (int round = 0; round < 50; ++round) {
        const auto opened = Clock::now();
        const int fd = open(com.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0) << round;
        usleep(1000);  // the host sees the open
        close(fd);
        const bool brief = Clock::now() - opened < milliseconds(3);  // well within the claim delay
        EXPECT_TRUE(Touch(com) == 0 || !brief) << "round " << round << ": " << std::strerror(errno);
        ASSERT_TRUE(WaitFor([&] { return !Lines(104).comOpen; }, kHangGuard));
    }

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    struct Reaped {
        pid_t pid;
        ~Reaped() {
            if (pid > 0 && kill(pid, SIGKILL) == 0)
                waitpid(pid, nullptr, 0);
        }
    } hidden{fork()};
    ASSERT_GE(hidden.pid, 0);
    if (hidden.pid == 0) {
        prctl(PR_SET_DUMPABLE, 0);
        const char byte = open(com.c_str(), O_RDWR | O_NOCTTY) >= 0 ? '1' : '0';
        if (write(ready[1], &byte, 1) == 1)
            pause();
        _exit(0);
    }
    char byte = 0;
    EXPECT_TRUE(read(ready[0], &byte, 1) == 1 && byte == '1');
    close(ready[0]);
    close(ready[1]);
    EXPECT_TRUE(WaitFor([this] { return Refused("COM104"); }, kHangGuard));
    // More opens and closes than the host's event queue holds, while it is
    // stopped: the queue overflows and the host must look again.
    const pid_t host = HostPid(104);
    const int queue = std::atoi(ReadWholeFile("/proc/sys/fs/inotify/max_queued_events").c_str());
    ASSERT_EQ(kill(host, SIGSTOP), 0);
    for (int i = 0; i < queue / 2 + 100; ++i)
        Touch(Path("ZADURUV104"));
    ASSERT_EQ(kill(host, SIGCONT), 0);
    // The host reads its whole queue in one turn: once it shows this open, it
    // has looked again after the overflow.
    const int marker = Open("ZADURUV104");
    EXPECT_TRUE(WaitFor([this] { return Lines(104).deviceOpen; }, kHangGuard));
    for (const auto end = Clock::now() + milliseconds(300); Clock::now() < end;)
        ASSERT_TRUE(Refused("COM104")) << "a second program got the end of a hidden holder";
    close(marker);
    kill(hidden.pid, SIGKILL);
    EXPECT_TRUE(WaitFor([this] { return !Refused("COM104"); }, kHangGuard));
}

// What the program meets when a pair goes while it is connected is in
// faults_end_to_end; here: only that pair goes, and its number is free again.
TEST_F(PortPairTest, RemovedOrKilledPairsFreeTheirNumberAndNothingElse) {
    for (int number : {7, 12, 23, 31})
        ASSERT_NE(library_.VcpInstallPair(number), 0) << library_.LastErrorText();
    const pid_t host7 = HostPid(7), host23 = HostPid(23), host31 = HostPid(31);
    ASSERT_TRUE(host7 > 1 && host23 > 1 && host31 > 1);
    // A host ended from outside (at logout, say) takes its own files along.
    ASSERT_EQ(kill(host31, SIGTERM), 0);
    ASSERT_TRUE(WaitUntilGone(host31));
    ASSERT_GE(Open("COM7"), 0);  // an open client must not keep the pair alive
    ASSERT_NE(library_.VcpRemovePair("CNC7"), 0) << library_.LastErrorText();
    ASSERT_EQ(kill(host23, SIGKILL), 0);
    EXPECT_TRUE(WaitUntilGone(host7));
    for (const char* name : {"COM7", "ZADURUV7", "MAROCOM7", "CNC7.pair", "COM31", "ZADURUV31",
                             "MAROCOM31", "CNC31.pair"})
        EXPECT_FALSE(fs::exists(fs::symlink_status(Path(name)))) << name;
    // Before any listing the killed host's number comes free (once its last
    // thread has let go of the state file) and installs anew.
    ASSERT_TRUE(WaitFor([&] { return library_.VcpIsPortNumberInUse(23) == 0; }, kHangGuard));
    ASSERT_NE(library_.VcpInstallPair(23), 0) << library_.LastErrorText();
    EXPECT_NE(HostPid(23), host23);
    // Temporary files of a host that died while writing go with a listing;
    // the live host's stay.
    const std::string dead = std::to_string(host31), live = std::to_string(HostPid(12));
    for (const std::string& name : {".CNC12.lines." + dead, ".CNC12.lines." + live})
        WriteWholeFile(Path(name), "");
    fs::create_symlink("/dev/null", Path(".ZADURUV23." + dead));
    EXPECT_EQ(List(), "CNC12 CNC23");
    EXPECT_TRUE(fs::exists(Path(".CNC12.lines." + live)));
    for (const std::string& name : {".CNC12.lines." + dead, ".ZADURUV23." + dead})
        EXPECT_FALSE(fs::exists(fs::symlink_status(Path(name)))) << name;
    EXPECT_FALSE(ProcessGone(HostPid(12)));

    for (const char* bad : {"CNC7", "COM12", "CNC", "CNC12x", "cnc12", ""}) {
        EXPECT_EQ(library_.VcpRemovePair(bad), 0) << bad;
        EXPECT_FALSE(library_.LastErrorText().empty()) << bad;
    }
    // Indices outside the listing, or no buffer, give nothing.
    char name[PortPairLibrary::kNameBufferSize] = {};
    for (const int32_t index : {-1, 2})
        EXPECT_EQ(library_.VcpGetPair(index, name, name, name), 0) << index;
    EXPECT_EQ(library_.VcpGetPair(0, nullptr, name, name), 0);
    EXPECT_EQ(List(), "CNC12 CNC23");
    EXPECT_EQ(library_.VcpIsPortNumberInUse(7), 0);
    EXPECT_NE(library_.VcpInstallPair(7), 0) << library_.LastErrorText();
}

TEST_F(PortPairTest, ToolSharesThePairsAndAnswersByExitCode) {
    ASSERT_NE(library_.VcpInstallPair(3), 0) << library_.LastErrorText();
    ASSERT_NE(library_.VcpInstallPair(14), 0) << library_.LastErrorText();
    const std::string pair9 = "CNC9  COM9 <-> ZADURUV9  (" + Path("COM9") + ")\n";
    const struct {
        std::string arguments;
        int exitCode;
        std::string output;  // a part of it
    } rows[] = {
        {"list", 0,
         "CNC3  COM3 <-> ZADURUV3  (" + Path("COM3") + ")\nCNC14  COM14 <-> ZADURUV14  (" +
             Path("COM14") + ")\n"},
        {"install 9", 0, "A new virtual COM port pair was installed successfully.\n" + pair9},
        {"install COM9", 1, "This port number is occupied, please input another number."},
        {"install --if-missing 9", 0, pair9},
        {"remove CNC3", 0, "The virtual COM port pair CNC3 was removed successfully.\n"},
        {"remove CNC5", 1, "There is no virtual port pair CNC5."},
        {"--help", 0, "Usage:"},
        {"frobnicate", 2, "unknown command"},
        {"install five", 2, "Usage:"},
        {"remove COM5", 2, "Usage:"},
    };
    for (const auto& row : rows) {
        std::string output;
        EXPECT_EQ(Run(tool_ + row.arguments, output), row.exitCode) << row.arguments;
        EXPECT_NE(output.find(row.output), std::string::npos) << row.arguments << "\n" << output;
    }
    EXPECT_EQ(List(), "CNC9 CNC14");  // the other process's pair outlived it
}

TEST_F(PortPairTest, ConcurrentInstallsOfOneNumberLetExactlyOneWin) {
    auto install = [this](std::string number) {
        std::string output;
        return Run(tool_ + "install " + number, output);
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
    EXPECT_EQ(Run("pgrep -f 'pairhost " + dir_ + " 60$'", hosts), 0);
    EXPECT_EQ(hosts, std::to_string(HostPid(60)) + "\n");
}

TEST_F(PortPairTest, NumberInUseCoversFilesOfItsNamesAndSystemPorts) {
    // A pair's own number is in use (see above); any of its three names taken by something else
    // blocks the number, and a refused install leaves that file alone.
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
    EXPECT_EQ(library_.VcpInstallPair(10000), 0);
    EXPECT_NE(library_.LastErrorText().find("not valid"), std::string::npos);
    EXPECT_EQ(List(), "");
}

// Unusable port directories are refused end to end (faults_end_to_end);
// here: the text fits the callers' buffers even when the path does not.
TEST_F(PortPairTest, UnusablePortDirectoryFailsWithATextThatFits) {
    ScopedEnv longPath("CLSERTOLVANE_PORT_DIR", "/nonexistent/" + std::string(700, 'd'));
    EXPECT_EQ(library_.VcpInitialize(), 0);
    std::vector<char> text(PortPairLibrary::kErrorTextSize, 'x');
    EXPECT_EQ(library_.VcpGetLastErrorText(nullptr), PortPairLibrary::kErrorTextSize);
    EXPECT_EQ(library_.VcpGetLastErrorText(text.data()), PortPairLibrary::kErrorTextSize);
    EXPECT_EQ(text.back(), '\0');
    EXPECT_NE(std::string(text.data()).find("/nonexistent/dd"), std::string::npos) << text.data();
}

TEST(PortPairLibraryLoadTest, MissingOrIncompleteLibraryFailsEveryCallWithAText) {
    // A library that is not there, and one without the entries (the Camera
    // Link serial library).
    const std::string serial = platform::ProgramLibraryDirectory() + "/libclsermro.so";
    for (const auto& [path, text] :
         {std::pair<std::string, std::string>{"/nonexistent/lib/libMaroVirtualComPort.so",
                                              "Cannot load the virtual COM port library "
                                              "\"/nonexistent/lib/libMaroVirtualComPort.so\""},
          {serial, "library \"" + serial + "\" has no entry VcpInitialize"}}) {
        PortPairLibrary library(path);
        char name[PortPairLibrary::kNameBufferSize] = {};
        EXPECT_TRUE(library.VcpInitialize() == 0 && library.VcpGetPairCount() < 1 &&
                    library.VcpGetPair(0, name, name, name) == 0 &&
                    library.VcpInstallPair(5) == 0 && library.VcpRemovePair("CNC5") == 0 &&
                    library.VcpIsPortNumberInUse(5) == 0)
            << path;
        const std::string error = library.LastErrorText();
        EXPECT_NE(error.find(text), std::string::npos) << error;
        EXPECT_EQ(library.VcpGetLastErrorText(nullptr), static_cast<int32_t>(error.size() + 1));
    }
}

}  // namespace
}  // namespace clst::testing
