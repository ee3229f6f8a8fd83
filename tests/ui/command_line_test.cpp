// Command-line words, the argument choice, the start-up order and the
// instance slots.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/test_io.h"
#include "ui/command_line.h"

using namespace clst;

TEST(CommandLineTest, WordsGiveTheMainWindowArguments) {
    const MainWindowArguments none;
    const auto com5 = [](int32_t index) { return MainWindowArguments{"COM5", index, "", false}; };
    const struct {
        std::vector<std::string> words;
        MainWindowArguments expected;
    } cases[] = {
        {{}, none},
        {{"com7", "2"}, {"COM7", 2, "", false}},
        {{"AUTORUN"}, none},
        {{"COM7", "/AUTORUN"}, none},              // no index: the whole line is ignored
        {{"COM7", "-1"}, {"COM7", 1, "", false}},  // the marker goes, the digits stay
        {{"COM5", "0", "115200,n,8,1", "-autorun"}, {"COM5", 0, "115200,N,8,1", true}},
        {{"autorunx", "COM5", "0"}, {"COM5", 0, "", true}},
        {{"AUTORU", "COM5", "0"}, com5(0)},
        // Each word test stands alone: one word may be port and parameters.
        {{"007", "7a", "XCOM3", "COM5,9600"}, {"COM5,9600", 7, "COM5,9600", false}},
        // Later words of the same kind win; "CO" is too short for a port.
        {{"COM1", "3", "COM2", "4", "9600,E", "19200,O", "CO", ""}, {"COM2", 4, "19200,O", false}},
        // Only one marker goes: "--headless" is "-headless", no word of ours.
        {{"--headless", "--echo", "--low-latency", "COM5", "0"}, com5(0)},
        // An index beyond the range is the largest one, never a wrapped-around
        // small one (4294967296 is not port 0).
        {{"COM5", "2147483646"}, com5(INT32_MAX - 1)},
        {{"COM5", "2147483647"}, com5(INT32_MAX)},
        {{"COM5", "2147483648"}, com5(INT32_MAX)},
        {{"COM5", "4294967296"}, com5(INT32_MAX)},
        {{"COM5", "/00004294967297"}, com5(INT32_MAX)},
    };
    for (const auto& c : cases) {
        CMyCommandLineInfo info;
        ParseCommandLine(c.words, info);
        EXPECT_EQ(ChooseMainWindowArguments(info), c.expected) << ::testing::PrintToString(c.words);
    }
}

TEST(StartupTest, UnusablePortPairLibraryEndsBeforeTheWindow) {
    std::vector<std::string> calls;
    std::string errorText = "no port directory";
    StartupHooks hooks;
    hooks.claimInstanceSlot = [&] { return calls.push_back("slot"), 0; };
    hooks.vcpInitialize = [&] { return calls.push_back("vcp"), 0; };
    hooks.vcpGetLastErrorText = [&](char* buffer) -> int32_t {
        if (buffer)
            std::snprintf(buffer, errorText.size() + 1, "%s", errorText.c_str());
        return static_cast<int32_t>(errorText.size());
    };
    hooks.showMessage = [&](const std::string& text, unsigned flags) {
        calls.push_back(text + ":" + std::to_string(flags));
    };
    hooks.runMainWindow = [&](const MainWindowArguments&) { calls.push_back("window"); };

    CMyCommandLineInfo info;
    EXPECT_FALSE(RunStartup({"COM5", "0"}, info, hooks));
    EXPECT_EQ(calls, (std::vector<std::string>{"slot", "vcp", "no port directory:48"}));
    EXPECT_TRUE(info.m_strComPort.empty()) << "the command line is not read";

    calls.clear();
    errorText.clear();
    EXPECT_FALSE(RunStartup({}, info, hooks));
    EXPECT_EQ(calls, (std::vector<std::string>{"slot", "vcp"})) << "empty text: nothing shown";

    MainWindowArguments got;
    hooks.vcpInitialize = [] { return 1; };
    hooks.runMainWindow = [&](const MainWindowArguments& a) { got = a; };
    EXPECT_TRUE(RunStartup({"com9", "1", "/autorun"}, info, hooks));
    EXPECT_EQ(got, (MainWindowArguments{"COM9", 1, "", true}));
}

// Instance slots across real processes: each child claims a slot, prints its
// name and holds the slot until the parent closes the child's pipe.
TEST(InstanceSlotTest, SlotsStayTakenWhileAnyInstanceHoldsThem) {
    const clst::testing::ScratchDir scratch("/tmp/clst-slots-XXXXXX");
    const clst::testing::ScopedEnv portDir("CLSERTOLVANE_PORT_DIR", scratch / "ports");
    struct Child {
        pid_t pid;
        int hold;
        std::string name;
    };
    const auto start = []() -> Child {
        int out[2], hold[2];
        if (pipe(out) != 0 || pipe(hold) != 0)
            return {-1, -1, "no pipe"};
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            // Only stdout and the own pipe: an inherited write end of a
            // sibling's pipe would keep that sibling alive.
            for (int fd = 3; fd < 1024; ++fd) {
                if (fd != hold[0])
                    close(fd);
            }
            ClaimInstanceSlot();
            close(1);  // the name is complete: the parent reads to the end
            char c;
            (void)!read(hold[0], &c, 1);
            _exit(0);
        }
        close(out[1]);
        close(hold[0]);
        std::string name;
        char buf[64];
        for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
            name.append(buf, static_cast<size_t>(n));
        close(out[0]);
        return {pid, hold[1], name};
    };
    const auto stop = [](const Child& c) {
        close(c.hold);
        waitpid(c.pid, nullptr, 0);
    };

    const Child a = start(), b = start(), c = start();
    EXPECT_EQ(a.name + " " + b.name + " " + c.name,
              "clsertolvanemutex0 clsertolvanemutex1 clsertolvanemutex2");
    stop(a);
    const Child d = start();
    EXPECT_EQ(d.name, "clsertolvanemutex3") << "slot 0 is still held by the later instances";
    for (const Child& held : {b, c, d})
        stop(held);
    // Every holder is gone, so are the names.
    const Child e = start();
    EXPECT_EQ(e.name, "clsertolvanemutex0");
    stop(e);
}
