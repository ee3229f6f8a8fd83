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
         "baud_error=yes\nread_error_every=3\nshort_write=4\nstalled=true\nrx_buffer=16\n",
         "limit 16\nboard12 ports 1 from 0\nport0 echo |11 3 4 1 rx 16"},
    };
    for (const auto& row : rows) {
        EmulationConfig config;
        std::string error;
        ASSERT_TRUE(ParseEmulationConfig(row.text, config, error)) << row.text << error;
        EXPECT_EQ(Describe(config), row.expected);
    }
}

TEST(EmulationConfigParse, RefusedTextsSayWhyAndLeaveTheOutputAlone) {
    const struct {
        std::string text, reason;
    } rows[] = {
        {"[board0]\nports=1\n[port0]\ncamera=thermal\n", "line 4: unknown camera"},
        {"[board0]\nports=1\n[port0]\ncamera=pty\n", "line 3: port0: camera=pty needs link"},
        {"[board0]\nports=1\n[port0]\nlink=cam0\n", "absolute"},
        {"[board0]\nports=2\n[port2]\ncamera=echo\n", "2 ports"},
        {"[board8]\nports=1\n", "device_limit 8 (the default)"},
        {"[board5]\nports=1\n[emulation]\ndevice_limit=4\n", "device_limit 4 (line 4)"},
        {"[emulation]\ndevice_limit=0\n", "device_limit must be"},
        {"[board0]\n[board0]\n", "line 2: section [board0] appears twice"},
        {"[board0]\nports=1\nports=2\n", "given twice"},
        {"[board0]\nthis is not a key\n", "expected key=value"},
        {"ports=1\n", "outside any section"},
        {"[board0\n", "without ']'"},
        {"[board]\n", "unknown section"},
        {"[board-1]\n", "unknown section"},
        {"[board0]\nports=17\n", "ports must be"},
        {"[board0]\nports=3x\n", "ports must be"},
        {"[board0]\nports=99999999999999999999\n", "ports must be"},
        {"[board0]\nports=1\n[port0]\nrx_buffer=0\n", "rx_buffer must be"},
        {"[board0]\nports=1\n[port0]\nstall=1\n", "unknown key 'stall'"},  // a typo is no default
        {"[board0]\nports=1\n[port0]\nstalled=maybe\n", "stalled must be 0 or 1"},
        {"[board0]\nports=1\n[port0]\nshort_write=-2\n", "short_write must be"},
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

TEST(EmulationConfigFile, EnvironmentNamesTheFileAndTheBuildTreeHasNone) {
    testing::ScratchDir dir{"/tmp/clst-emuconf-XXXXXX"};
    const std::string path = dir / "emu.ini";
    testing::WriteWholeFile(path, "[board2]\nports=1\n[port0]\ncamera=echo\n");
    // No etc/emulation.ini beside the build's lib and tests folders: the
    // built-in board.
    for (const auto& [variable, source, expected] :
         {std::tuple<std::optional<std::string>, std::string, std::string>{
              path, path, "limit 8\nboard2 ports 1 from 0\nport0 echo |00 0 0 0 rx 65536"},
          {std::nullopt, "built-in", Describe(DefaultEmulationConfig())}}) {
        testing::ScopedEnv emulation("MARO_EMULATION", variable);
        EXPECT_EQ(EmulationConfigPath(), variable.value_or(""));
        EmulationConfig config;
        std::string error;
        ASSERT_TRUE(LoadEmulationConfig(config, error)) << error;
        EXPECT_EQ(config.source, source);
        EXPECT_EQ(Describe(config), expected);
    }
    // A named file that cannot be used still gives the built-in board.
    testing::ScopedEnv emulation("MARO_EMULATION", dir / "missing.ini");
    EmulationConfig config;
    std::string error;
    EXPECT_FALSE(LoadEmulationConfig(config, error));
    EXPECT_NE(error.find(dir / "missing.ini"), std::string::npos) << error;
    EXPECT_EQ(config.source, "built-in");
    EXPECT_EQ(Describe(config), Describe(DefaultEmulationConfig()));
}

}  // namespace
}  // namespace clst::emulation
