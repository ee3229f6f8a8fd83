// Installing, listing and removing pairs: hosts that die, second instances,
// the command-line tool, occupied numbers and unusable set-ups.
#include <sys/wait.h>

#include <cstring>
#include <future>

#include "emulation/portpairs/pair_names.h"
#include "platform/device_namespace.h"
#include "tests/portpairs/port_pair_fixture.h"

namespace clst::testing {
namespace {

using PairLifecycleTest = PortPairTest;

TEST_F(PairLifecycleTest, RemoveStopsTheHostAndRemovesItsLinks) {
    ASSERT_NE(library_.VcpInstallPair(7), 0) << library_.LastErrorText();
    ASSERT_NE(library_.VcpInstallPair(12), 0) << library_.LastErrorText();
    const pid_t host = HostPid(7);
    ASSERT_GT(host, 1);
    // An open client must not keep the pair alive.
    ASSERT_GE(Open("COM7"), 0);

    ASSERT_NE(library_.VcpRemovePair("CNC7"), 0) << library_.LastErrorText();
    EXPECT_TRUE(WaitUntilGone(host));
    for (const char* name : {"COM7", "ZADURUV7", "MAROCOM7", "CNC7.pair"}) {
        EXPECT_FALSE(Exists(name)) << name;
    }
    // The other pair is untouched.
    const std::vector<ListedPair> pairs = List();
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_EQ(pairs[0].name, "CNC12");
    EXPECT_FALSE(ProcessGone(HostPid(12)));

    EXPECT_EQ(library_.VcpRemovePair("CNC7"), 0);
    EXPECT_NE(library_.LastErrorText().find("CNC7"), std::string::npos);
    for (const char* bad : {"COM12", "CNC", "CNC12x", "cnc12", ""}) {
        EXPECT_EQ(library_.VcpRemovePair(bad), 0) << bad;
        EXPECT_FALSE(library_.LastErrorText().empty()) << bad;
    }
    EXPECT_EQ(library_.VcpRemovePair(nullptr), 0);
    EXPECT_EQ(List().size(), 1u);

    // The number is free again.
    EXPECT_EQ(library_.VcpIsPortNumberInUse(7), 0);
    EXPECT_NE(library_.VcpInstallPair(7), 0) << library_.LastErrorText();
}

TEST_F(PairLifecycleTest, KilledHostsAreNoticedByListingInUseAndInstall) {
    for (int number : {21, 22, 23})
        ASSERT_NE(library_.VcpInstallPair(number), 0) << library_.LastErrorText();
    const pid_t host21 = HostPid(21), host23 = HostPid(23);
    ASSERT_GT(host21, 1);
    ASSERT_GT(host23, 1);
    for (pid_t host : {host21, host23}) {
        ASSERT_EQ(kill(host, SIGKILL), 0);
        ASSERT_TRUE(WaitUntilGone(host));
    }
    // Before any listing: the number reads as free and installs anew.
    EXPECT_EQ(library_.VcpIsPortNumberInUse(23), 0);
    ASSERT_NE(library_.VcpInstallPair(23), 0) << library_.LastErrorText();
    EXPECT_NE(HostPid(23), host23);

    const std::vector<ListedPair> pairs = List();
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[0].name, "CNC22");
    EXPECT_EQ(pairs[1].name, "CNC23");
    for (const char* name : {"COM21", "ZADURUV21", "MAROCOM21", "CNC21.pair"}) {
        EXPECT_FALSE(Exists(name)) << name;
    }
    // Reinstalling the dead pair's number works at once.
    ASSERT_NE(library_.VcpInstallPair(21), 0) << library_.LastErrorText();
    EXPECT_EQ(List().size(), 3u);
}

TEST_F(PairLifecycleTest, ListingIndexOutsideTheSnapshotFails) {
    ASSERT_NE(library_.VcpInstallPair(40), 0) << library_.LastErrorText();
    ASSERT_EQ(library_.VcpGetPairCount(), 1);
    char name[PortPairLibrary::kNameBufferSize] = {};
    char first[PortPairLibrary::kNameBufferSize] = {};
    char second[PortPairLibrary::kNameBufferSize] = {};
    EXPECT_EQ(library_.VcpGetPair(1, name, first, second), 0);
    EXPECT_EQ(library_.VcpGetPair(-1, name, first, second), 0);
    EXPECT_EQ(library_.VcpGetPair(0, nullptr, first, second), 0);
    EXPECT_STREQ(name, "");
    ASSERT_NE(library_.VcpGetPair(0, name, first, second), 0);
    EXPECT_STREQ(name, "CNC40");
}

TEST_F(PairLifecycleTest, SecondInstanceSeesAndChangesTheSamePairs) {
    ASSERT_NE(library_.VcpInstallPair(3), 0) << library_.LastErrorText();
    ASSERT_NE(library_.VcpInstallPair(14), 0) << library_.LastErrorText();

    std::string output;
    ASSERT_EQ(RunTool("list", output), 0) << output;
    EXPECT_EQ(output, "CNC3  COM3 <-> ZADURUV3  (" + Path("COM3") +
                          ")\nCNC14  COM14 <-> ZADURUV14  (" + Path("COM14") + ")\n");

    ASSERT_EQ(RunTool("install 9", output), 0) << output;
    EXPECT_NE(output.find("CNC9  COM9 <-> ZADURUV9"), std::string::npos) << output;
    std::vector<ListedPair> pairs = List();
    ASSERT_EQ(pairs.size(), 3u);
    EXPECT_EQ(pairs[0].name, "CNC3");
    EXPECT_EQ(pairs[1].name, "CNC9");
    EXPECT_EQ(pairs[2].name, "CNC14");

    // The pair installed by the other process outlived it and carries data.
    const int com = Open("COM9");
    const int dev = Open("ZADURUV9");
    std::string atDevice, atCom;
    Exchange(com, dev, "hello", "world", atDevice, atCom);
    EXPECT_EQ(atDevice, "hello");
    EXPECT_EQ(atCom, "world");

    ASSERT_EQ(RunTool("remove CNC3", output), 0) << output;
    EXPECT_EQ(output, "The virtual COM port pair CNC3 was removed successfully.\n");
    pairs = List();
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[0].name, "CNC9");
}

TEST_F(PairLifecycleTest, ToolReportsUsageAndFailuresByExitCode) {
    std::string output;
    EXPECT_EQ(RunTool("--help", output), 0);
    EXPECT_NE(output.find("Usage:"), std::string::npos);
    EXPECT_EQ(RunTool("frobnicate", output), 2);
    EXPECT_NE(output.find("unknown command"), std::string::npos);
    for (const char* usage :
         {"", "install", "install five", "install -3", "remove", "remove COM5", "list extra"})
        EXPECT_EQ(RunTool(usage, output), 2) << usage;

    EXPECT_EQ(RunTool("list", output), 0);
    EXPECT_EQ(output, "No virtual COM port pairs are installed.\n");
    EXPECT_EQ(RunTool("remove CNC5", output), 1);
    EXPECT_NE(output.find("There is no virtual port pair CNC5."), std::string::npos) << output;
    EXPECT_EQ(RunTool("install 0", output), 1);
    EXPECT_NE(output.find("not valid"), std::string::npos) << output;

    ASSERT_NE(library_.VcpInstallPair(5), 0) << library_.LastErrorText();
    EXPECT_EQ(RunTool("install 5", output), 1);
    EXPECT_NE(output.find("This port number is occupied, please input another number."),
              std::string::npos)
        << output;
    EXPECT_EQ(List().size(), 1u);

    // An unusable port directory is reported, not crashed on.
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    EXPECT_EQ(RunTool("list", output), 1);
    EXPECT_NE(output.find("writable by other users"), std::string::npos) << output;
    ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
}

TEST_F(PairLifecycleTest, ConcurrentInstallsOfOneNumberLetExactlyOneWin) {
    auto install = [](const std::string& number) {
        std::string output;
        return RunTool("install " + number, output);
    };
    auto a = std::async(std::launch::async, install, "60");
    auto b = std::async(std::launch::async, install, "60");
    auto c = std::async(std::launch::async, install, "61");
    const int ra = a.get();
    const int rb = b.get();
    EXPECT_EQ(c.get(), 0);
    EXPECT_TRUE((ra == 0) != (rb == 0)) << ra << " " << rb;
    const std::vector<ListedPair> pairs = List();
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[0].name, "CNC60");
    EXPECT_EQ(pairs[1].name, "CNC61");
    // No stray host of the losing install is left behind.
    std::string ps;
    FILE* pipe = popen("ps -eo args", "r");
    ASSERT_NE(pipe, nullptr);
    char line[512];
    int hosts = 0;
    while (fgets(line, sizeof(line), pipe) != nullptr) {
        if (std::strstr(line, "clsertolvane-pairhost") != nullptr &&
            std::strstr(line, dir_.c_str()) != nullptr && std::strstr(line, " 60") != nullptr) {
            ++hosts;
        }
    }
    pclose(pipe);
    EXPECT_EQ(hosts, 1);
}

TEST_F(PairLifecycleTest, PortNumberInUseCoversPairsFilesAndSystemPorts) {
    EXPECT_EQ(library_.VcpIsPortNumberInUse(50), 0);
    ASSERT_NE(library_.VcpInstallPair(50), 0) << library_.LastErrorText();
    EXPECT_NE(library_.VcpIsPortNumberInUse(50), 0);
    EXPECT_EQ(library_.VcpInstallPair(50), 0);
    EXPECT_NE(library_.LastErrorText().find("CNC50"), std::string::npos);

    // Any of the three names taken by something else blocks the number, and
    // a refused install leaves that file alone.
    for (const char* name : {"COM51", "ZADURUV52", "MAROCOM53"}) {
        const int number = std::atoi(std::strpbrk(name, "0123456789"));
        const int fd = open(Path(name).c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        close(fd);
        EXPECT_NE(library_.VcpIsPortNumberInUse(number), 0) << name;
        EXPECT_EQ(library_.VcpInstallPair(number), 0) << name;
        EXPECT_NE(library_.LastErrorText().find(name), std::string::npos);
        EXPECT_TRUE(Exists(name));
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
    EXPECT_EQ(library_.VcpInstallPair(0), 0);
    EXPECT_EQ(library_.VcpInstallPair(10000), 0);
    EXPECT_NE(library_.LastErrorText().find("not valid"), std::string::npos);
    EXPECT_EQ(List().size(), 1u);
}

TEST_F(PairLifecycleTest, UnusablePortDirectoryFailsInitializeWithAText) {
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    EXPECT_EQ(library_.VcpInitialize(), 0);
    const int32_t needed = library_.VcpGetLastErrorText(nullptr);
    ASSERT_GT(needed, 1);
    ASSERT_LE(needed, PortPairLibrary::kErrorTextSize);
    std::vector<char> text(static_cast<size_t>(needed) + 1, 'x');
    EXPECT_EQ(library_.VcpGetLastErrorText(text.data()), needed);
    EXPECT_EQ(text[static_cast<size_t>(needed) - 1], '\0');
    EXPECT_NE(std::string(text.data()).find(dir_), std::string::npos);
    EXPECT_EQ(library_.VcpInstallPair(70), 0);
    EXPECT_FALSE(Exists("COM70"));

    ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
    EXPECT_NE(library_.VcpInitialize(), 0);

    // A directory path too long for any message still gives a text that
    // fits the callers' 512 bytes.
    const std::string longPath = "/nonexistent/" + std::string(700, 'd');
    setenv("CLSERTOLVANE_PORT_DIR", longPath.c_str(), 1);
    EXPECT_EQ(library_.VcpInitialize(), 0);
    EXPECT_EQ(library_.VcpGetLastErrorText(nullptr), PortPairLibrary::kErrorTextSize);
    setenv("CLSERTOLVANE_PORT_DIR", dir_.c_str(), 1);
    EXPECT_NE(library_.VcpInitialize(), 0);
}

// The state file a host writes reads back; a pid that is not a process id
// of this system refuses the file instead of naming some other process.
TEST(PairStateFileTest, FormattedStateReadsBackAndBadPidsAreRefused) {
    maro_vcp::PairState state{5, 4242, "/dev/pts/3", "/dev/pts/4"};
    maro_vcp::PairState read;
    ASSERT_TRUE(maro_vcp::ParseState(maro_vcp::FormatState(state), read));
    EXPECT_EQ(read.number, 5);
    EXPECT_EQ(read.pid, 4242);
    EXPECT_EQ(read.comTty, "/dev/pts/3");
    EXPECT_EQ(read.deviceTty, "/dev/pts/4");

    const std::string rest = "\npair=CNC9999\ncom_tty=/dev/pts/1\ndevice_tty=/dev/pts/2\n";
    for (const char* pid :
         {"4294967298", "2147483648", "-4294967295", "99999999999999999999", "1", "0", "12x", ""}) {
        read = maro_vcp::PairState{};
        EXPECT_FALSE(maro_vcp::ParseState("pid=" + std::string(pid) + rest, read)) << pid;
        EXPECT_EQ(read.number, -1) << pid;
    }
    ASSERT_TRUE(maro_vcp::ParseState("pid=2147483647" + rest, read));
    EXPECT_EQ(read.pid, 2147483647);
}

TEST(PortPairLibraryLoadTest, MissingLibraryFailsEveryCallWithAText) {
    PortPairLibrary library("/nonexistent/lib/libMaroVirtualComPort.so");
    EXPECT_EQ(library.VcpInitialize(), 0);
    EXPECT_FALSE(library.IsLoaded());
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

TEST(PortPairLibraryLoadTest, LibraryWithoutAnEntryIsRefusedWithItsName) {
    PortPairLibrary library(platform::ProgramDirectory() + "/libportpairs_incomplete_vcp.so");
    EXPECT_FALSE(library.Load());
    EXPECT_EQ(library.VcpInitialize(), 0);
    EXPECT_NE(library.LastErrorText().find("VcpGetPairCount"), std::string::npos)
        << library.LastErrorText();
}

}  // namespace
}  // namespace clst::testing
