// Command-line words, the argument choice and the start-up order.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/test_io.h"
#include "ui/command_line.h"

using namespace clst;

namespace {

MainWindowArguments Parse(const std::vector<std::string>& words) {
    CMyCommandLineInfo info;
    ParseCommandLine(words, info);
    return ChooseMainWindowArguments(info);
}

}  // namespace

TEST(CommandLineTest, WordsAndTheArgumentChoice) {
    EXPECT_EQ(Parse({}), (MainWindowArguments{"", -1, "", false}));
    EXPECT_EQ(Parse({"com7", "2"}), (MainWindowArguments{"COM7", 2, "", false}));
    EXPECT_EQ(Parse({"AUTORUN"}), (MainWindowArguments{}));
    EXPECT_EQ(Parse({"COM7", "/AUTORUN"}), (MainWindowArguments{})) << "no index: all ignored";
    EXPECT_EQ(Parse({"COM7", "-1"}), (MainWindowArguments{"COM7", 1, "", false}));
    EXPECT_EQ(Parse({"COM5", "0", "115200,n,8,1", "-autorun"}),
              (MainWindowArguments{"COM5", 0, "115200,N,8,1", true}));
    EXPECT_EQ(Parse({"autorunx", "COM5", "0"}), (MainWindowArguments{"COM5", 0, "", true}));
    EXPECT_EQ(Parse({"AUTORU", "COM5", "0"}).autorun, false) << "shorter than AUTORUN";
}

TEST(CommandLineTest, EachWordTestStandsAlone) {
    CMyCommandLineInfo info;
    ParseCommandLine({"007", "7a", "XCOM3", "COM5,9600"}, info);
    EXPECT_EQ(info.m_nIndex, 7);
    EXPECT_EQ(info.m_strComPort, "COM5,9600");
    EXPECT_EQ(info.m_strSerialParams, "COM5,9600");

    // An index too large for the range is the largest index, never the
    // wrapped-around remainder (4294967296 is not port 0).
    for (const char* word : {"2147483648", "4294967296", "99999999999", "/00004294967297"}) {
        EXPECT_EQ(Parse({"COM5", word}), (MainWindowArguments{"COM5", INT32_MAX, "", false}))
            << word;
    }
    EXPECT_EQ(Parse({"COM5", "2147483647"}).index, INT32_MAX);
    EXPECT_EQ(Parse({"COM5", "2147483646"}).index, INT32_MAX - 1);

    // Later words of the same kind win; "CO" is too short for a COM word.
    CMyCommandLineInfo later;
    ParseCommandLine({"COM1", "3", "COM2", "4", "9600,E", "19200,O", "CO", ""}, later);
    EXPECT_EQ(later.m_strComPort, "COM2");
    EXPECT_EQ(later.m_nIndex, 4);
    EXPECT_EQ(later.m_strSerialParams, "19200,O");
    EXPECT_EQ(later.m_bAutorun, 0);

    // Only one leading marker is removed; "--headless" reaches ParseParam as
    // "-headless" and matches none of the tests, nor do the other options.
    CMyCommandLineInfo flags;
    ParseCommandLine({"--headless", "--echo", "--low-latency", "COM5", "0"}, flags);
    EXPECT_EQ(ChooseMainWindowArguments(flags), (MainWindowArguments{"COM5", 0, "", false}));
}

TEST(StartupTest, UnusablePortPairLibraryEndsBeforeTheWindow) {
    std::vector<std::string> calls;
    StartupHooks hooks;
    hooks.claimInstanceSlot = [&] {
        calls.push_back("slot");
        return 0;
    };
    std::string errorText = "no port directory";
    hooks.vcpInitialize = [&] {
        calls.push_back("vcp");
        return 0;
    };
    hooks.vcpGetLastErrorText = [&](char* buffer) -> int32_t {
        if (buffer)
            std::snprintf(buffer, errorText.size() + 1, "%s", errorText.c_str());
        return static_cast<int32_t>(errorText.size());
    };
    hooks.showMessage = [&](const std::string& text, unsigned flags) {
        calls.push_back("message:" + text + ":" + std::to_string(flags));
    };
    hooks.runMainWindow = [&](const MainWindowArguments&) { calls.push_back("window"); };

    CMyCommandLineInfo info;
    EXPECT_FALSE(RunStartup({"COM5", "0"}, info, hooks));
    EXPECT_EQ(calls, (std::vector<std::string>{"slot", "vcp", "message:no port directory:48"}));
    EXPECT_TRUE(info.m_strComPort.empty()) << "the command line is not read";

    calls.clear();
    errorText.clear();
    EXPECT_FALSE(RunStartup({}, info, hooks));
    EXPECT_EQ(calls, (std::vector<std::string>{"slot", "vcp"})) << "empty text: nothing shown";

    calls.clear();
    MainWindowArguments got;
    hooks.vcpInitialize = [] { return 1; };
    hooks.runMainWindow = [&](const MainWindowArguments& a) { got = a; };
    EXPECT_TRUE(RunStartup({"com9", "1", "/autorun"}, info, hooks));
    EXPECT_EQ(got, (MainWindowArguments{"COM9", 1, "", true}));
}

// Instance slots across real processes: each child claims a slot and prints
// its name, then waits until told to end.
TEST(InstanceSlotTest, SlotsStayTakenWhileAnyInstanceHoldsThem) {
    const clst::testing::ScratchDir scratch("/tmp/clst-slots-XXXXXX");
    const clst::testing::ScopedEnv portDir("CLSERTOLVANE_PORT_DIR", scratch / "ports");

    struct Child {
        pid_t pid;
        int toChild;
        std::string name;
    };
    auto start = [](void) -> Child {
        int out[2], in[2];
        EXPECT_EQ(pipe(out), 0);
        EXPECT_EQ(pipe(in), 0);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            // Keep only stdout and this child's own pipe: an inherited write
            // end of a sibling's pipe would keep that sibling alive.
            for (int fd = 3; fd < 1024; ++fd) {
                if (fd != in[0])
                    close(fd);
            }
            ClaimInstanceSlot();
            char c;
            (void)!read(in[0], &c, 1);  // until the parent closes its end
            _exit(0);
        }
        close(out[1]);
        close(in[0]);
        std::string name;
        char buf[64];
        // The name has no line end: read until the child has written it.
        for (int i = 0; i < 200 && name.find("mutex") == std::string::npos; ++i) {
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n > 0)
                name.append(buf, static_cast<size_t>(n));
        }
        // The whole name is written with one call; a short pause covers a
        // split read all the same.
        usleep(20000);
        fcntl(out[0], F_SETFL, O_NONBLOCK);
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n > 0)
            name.append(buf, static_cast<size_t>(n));
        close(out[0]);
        return {pid, in[1], name};
    };
    auto stop = [](Child& c) {
        close(c.toChild);
        int status = 0;
        waitpid(c.pid, &status, 0);
    };

    Child a = start();
    Child b = start();
    Child c = start();
    EXPECT_EQ(a.name, "clsertolvanemutex0");
    EXPECT_EQ(b.name, "clsertolvanemutex1");
    EXPECT_EQ(c.name, "clsertolvanemutex2");
    stop(a);
    Child d = start();
    EXPECT_EQ(d.name, "clsertolvanemutex3") << "slot 0 is still held by the later instances";
    stop(b);
    stop(c);
    stop(d);
    // Every holder is gone, so are the names.
    Child e = start();
    EXPECT_EQ(e.name, "clsertolvanemutex0");
    stop(e);
}
