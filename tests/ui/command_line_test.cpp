// Command-line words, the argument choice and the instance slots. The
// start-up order is the end-to-end tests' (an unusable port directory ends
// the program with the library's text, arguments reach the connection).
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
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
        {{"COM5", "4294967296"}, com5(INT32_MAX)},
        {{"COM5", "/00004294967297"}, com5(INT32_MAX)},
    };
    for (const auto& c : cases) {
        CMyCommandLineInfo info;
        ParseCommandLine(c.words, info);
        EXPECT_EQ(ChooseMainWindowArguments(info), c.expected) << ::testing::PrintToString(c.words);
    }
}

// Instance slots across real processes.
TEST(InstanceSlotTest, SlotsStayTakenWhileAnyInstanceHoldsThem) {
    const clst::testing::ScratchDir scratch("/tmp/clst-slots-XXXXXX");
    const clst::testing::ScopedEnv portDir("CLSERTOLVANE_PORT_DIR", scratch / "ports");
    // Starts an instance that claims a slot and holds it until it is killed;
    // returns the slot's name as the instance printed it.
    std::vector<pid_t> instances;
    const auto start = [&] {
        int out[2];
        if (pipe(out) != 0)
            return std::string("no pipe");
        const pid_t pid = fork();
        if (pid < 0)
            return std::string("no fork");  // and nothing to kill
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            ClaimInstanceSlot();
            close(1);  // the name is complete: the parent reads to the end
            pause();
            _exit(0);
        }
        close(out[1]);
        instances.push_back(pid);
        std::string name;
        char buf[64];
        for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
            name.append(buf, static_cast<size_t>(n));
        close(out[0]);
        return name;
    };
    const auto stop = [&](size_t instance) {
        kill(instances.at(instance), SIGKILL);
        waitpid(instances[instance], nullptr, 0);
    };

    for (const char* name : {"clsertolvanemutex0", "clsertolvanemutex1", "clsertolvanemutex2"})
        EXPECT_EQ(start(), name);
    stop(0);
    EXPECT_EQ(start(), "clsertolvanemutex3") << "slot 0 is still held by the later instances";
    for (size_t i = 1; i < 4; ++i)
        stop(i);
    // Every holder is gone, so are the names.
    EXPECT_EQ(start(), "clsertolvanemutex0");
    stop(4);
}
