// The emulation file: what an accepted text describes, why a text is
// refused, and which file the emulated libraries read. Bad files met end to
// end (a directory, a fifo, binary or huge files) are in faults_end_to_end.
#include "emulation/common/emulation_config.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

#include "tests/emulation/describe_emulation_config.h"
#include "tests/support/test_io.h"

namespace clst::emulation {
namespace {

TEST(EmulationConfigParse, AcceptedTextsDescribeBoardsAndPortsInDeviceOrder) {
    const struct {
        std::string text, expected;
    } rows[] = {
        {"\n; nothing here\n", "limit 8"},
        // Comments, CR LF, a '#' inside a value, a port without a section.
        {"; emulated board\r\n[board0]   ; at device index 0\r\nname=EmuBoard\r\nports=2\r\n\r\n"
         "[port0]   # first port\r\ncamera=pty ; demo | echo | silent | pty\r\n"
         "link=/tmp/cam#0  ; kept\r\n",
         "limit 8\nboard0 'EmuBoard' ports 2 from 0\nport0 pty /tmp/cam#0|00 0 0 0 rx 65536\n"
         "port1 demo |00 0 0 0 rx 65536"},
        // Sections out of order, a gap in the device indices, a board with an
        // empty name and one without ports.
        {"[board5]\nports=1\n[port2]\ncamera=echo\n[board1]\nname=Left\nports=2\n[board3]\nname=\n",
         "limit 8\nboard1 'Left' ports 2 from 0\nboard3 '' ports 0 from 2\nboard5 ports 1 from 2\n"
         "port0 demo |00 0 0 0 rx 65536\nport1 demo |00 0 0 0 rx 65536\nport2 echo |00 0 0 0 rx "
         "65536"},
        // Every fault key, in any case, with the words a user may write.
        {"[emulation]\ndevice_limit=16\n[board12]\nports=1\n[port0]\nCamera=ECHO\ninit_error=1\n"
         "baud_error=yes\nread_error_every=3\nshort_write=4\nstalled=true\nrx_buffer=16\n"
         "timeout_copies_nothing=on\n",
         "limit 16\nboard12 ports 1 from 0\nport0 echo |11 3 4 1 rx 16 copies nothing on a "
         "time-out"},
    };
    for (const auto& row : rows) {
        EmulationConfig config;
        std::string error;
        ASSERT_TRUE(ParseEmulationConfig(row.text, config, error)) << row.text << error;
        EXPECT_EQ(Describe(config), row.expected);
    }
}

// Values out of range (a camera, a relative link, ports or a board beyond
// the limits) are the fuzz target's: it refuses any result outside them.
TEST(EmulationConfigParse, RefusedTextsSayWhereAndWhyAndLeaveTheOutputAlone) {
    const struct {
        std::string text, reason;
    } rows[] = {
        {"[board0]\nports=2\n[port2]\ncamera=echo\n", "line 3: port2 but the boards have 2 ports"},
        {"[board0]\n[board0]\n", "line 2: section [board0] appears twice"},
        {"[board0]\nports=1\nports=2\n", "line 3: key 'ports' given twice"},
        {"[board0]\nthis is not a key\n", "line 2: expected key=value"},
        {"ports=1\n", "line 1: key 'ports' outside any section"},
        {"[board0\n", "line 1: section header without ']'"},
        {"[board-1]\n", "line 1: unknown section [board-1]"},
        {"[board0]\nports=99999999999999999999\n", "line 2: ports must be"},
        {"[board0]\nports=1\n[port0]\nstall=1\n",
         "line 4: unknown key 'stall'"},  // a typo is no default
        {"[board0]\nports=1\n[port0]\nstalled=maybe\n", "line 4: stalled must be 0 or 1"},
        {std::string("[board0]\nna\0me=x\n", 17), "binary"},
        {"[board0]\nname=" + std::string(5000, 'x') + "\n", "line 2: line longer"},
    };
    for (const auto& row : rows) {
        EmulationConfig config = DefaultEmulationConfig();
        std::string error;
        EXPECT_FALSE(ParseEmulationConfig(row.text, config, error)) << row.text;
        EXPECT_NE(error.find(row.reason), std::string::npos) << row.text << "\n" << error;
        EXPECT_EQ(Describe(config), Describe(DefaultEmulationConfig())) << row.text;
    }
}

TEST(EmulationConfigFile, EnvironmentNamesTheFileAndWithoutOneTheBoardIsBuiltIn) {
    testing::ScratchDir dir{"/tmp/clst-emuconf-XXXXXX"};
    const std::string path = dir / "emu.ini", missing = dir / "missing.ini";
    testing::WriteWholeFile(path, "[board2]\nports=1\n[port0]\ncamera=echo\n");
    const std::string builtIn = Describe(DefaultEmulationConfig());
    // Unset: no etc/emulation.ini beside the build's lib and tests folders.
    for (const auto& [variable, loads, expected] :
         {std::tuple<std::optional<std::string>, bool, std::string>{
              path, true, "limit 8\nboard2 ports 1 from 0\nport0 echo |00 0 0 0 rx 65536"},
          {std::nullopt, true, builtIn},
          {missing, false, builtIn}}) {
        testing::ScopedEnv emulation("MARO_EMULATION", variable);
        EXPECT_EQ(EmulationConfigPath(), variable.value_or(""));
        EmulationConfig config;
        std::string error;
        EXPECT_EQ(LoadEmulationConfig(config, error), loads) << error;
        EXPECT_EQ(config.source, loads && variable ? *variable : "built-in");
        EXPECT_EQ(Describe(config), expected);
        EXPECT_EQ(error.find(missing) != std::string::npos, !loads) << error;
    }
}

}  // namespace
}  // namespace clst::emulation
