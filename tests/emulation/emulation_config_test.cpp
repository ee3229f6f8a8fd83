#include "emulation/common/emulation_config.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>

#include "tests/support/test_io.h"

namespace clst::emulation {
namespace {

EmulationConfig MustParse(const std::string& text) {
    EmulationConfig config;
    std::string error;
    EXPECT_TRUE(ParseEmulationConfig(text, config, error)) << error;
    return config;
}

std::string ParseError(const std::string& text) {
    EmulationConfig config;
    std::string error;
    EXPECT_FALSE(ParseEmulationConfig(text, config, error)) << "accepted:\n" << text;
    EXPECT_FALSE(error.empty());
    return error;
}

TEST(EmulationConfigParse, FileShapeWithCommentsAndCrlf) {
    const auto config = MustParse(
        "; emulated board\r\n"
        "[board0]        ; a board at device index 0\r\n"
        "name=EmuBoard\r\n"
        "ports=2\r\n"
        "\r\n"
        "[port0]         # first port\r\n"
        "camera=pty      ; demo | echo | silent | pty\r\n"
        "link=/tmp/cam#0  ; a '#' inside a value is kept\r\n");
    ASSERT_EQ(config.boards.size(), 1u);
    EXPECT_EQ(config.boards[0].name, "EmuBoard");
    EXPECT_TRUE(config.boards[0].hasName);
    EXPECT_EQ(config.boards[0].ports, 2);
    ASSERT_EQ(config.ports.size(), 2u);
    EXPECT_EQ(config.ports[0].camera, "pty");
    EXPECT_EQ(config.ports[0].link, "/tmp/cam#0");
    // A port without a section gets the defaults.
    EXPECT_EQ(config.ports[1].camera, "demo");
    EXPECT_EQ(config.ports[1].index, 1);
    EXPECT_EQ(config.ports[1].rxBuffer, 65536u);
    EXPECT_EQ(config.deviceLimit, 8);
}

TEST(EmulationConfigParse, PortsAreNumberedOverBoardsInDeviceOrder) {
    // Sections out of order, a gap in the device indices, a board without
    // a name and one without ports.
    const auto config = MustParse(
        "[board5]\nports=1\n"
        "[port2]\ncamera=echo\n"
        "[board1]\nname=Left\nports=2\n"
        "[board3]\nname=\n");
    ASSERT_EQ(config.boards.size(), 3u);
    EXPECT_EQ(config.boards[0].deviceIndex, 1);
    EXPECT_EQ(config.boards[0].firstSerialIndex, 0);
    EXPECT_EQ(config.boards[1].deviceIndex, 3);
    EXPECT_TRUE(config.boards[1].hasName);
    EXPECT_EQ(config.boards[1].name, "");
    EXPECT_EQ(config.boards[1].ports, 0);
    EXPECT_EQ(config.boards[2].deviceIndex, 5);
    EXPECT_FALSE(config.boards[2].hasName);
    EXPECT_EQ(config.boards[2].firstSerialIndex, 2);
    ASSERT_EQ(config.ports.size(), 3u);
    EXPECT_EQ(config.ports[2].camera, "echo");  // the port of board5
    EXPECT_EQ(config.ports[2].index, 2);
}

TEST(EmulationConfigParse, FaultKeysAndLimits) {
    const auto config = MustParse(
        "[emulation]\ndevice_limit=16\n"
        "[board12]\nports=1\n"
        "[port0]\nCamera=ECHO\ninit_error=1\nbaud_error=yes\nread_error_every=3\n"
        "short_write=4\nstalled=true\nrx_buffer=16\n");
    EXPECT_EQ(config.deviceLimit, 16);
    const PortConfig& port = config.ports.at(0);
    EXPECT_EQ(port.camera, "echo");
    EXPECT_TRUE(port.initError);
    EXPECT_TRUE(port.baudError);
    EXPECT_EQ(port.readErrorEvery, 3);
    EXPECT_EQ(port.shortWrite, 4);
    EXPECT_TRUE(port.stalledReceiver);
    EXPECT_EQ(port.rxBuffer, 16u);
}

TEST(EmulationConfigParse, EmptyTextMeansNoBoards) {
    const auto config = MustParse("\n; nothing here\n");
    EXPECT_TRUE(config.boards.empty());
    EXPECT_TRUE(config.ports.empty());
}

TEST(EmulationConfigParse, BadInputIsRefusedWithTheLine) {
    EXPECT_NE(ParseError("[board0]\nports=1\n[port0]\ncamera=thermal\n").find("line 4"),
              std::string::npos);
    EXPECT_NE(ParseError("[board0]\nports=1\n[port0]\ncamera=pty\n").find("link"),
              std::string::npos);
    ParseError("[board0]\nports=1\n[port0]\ncamera=pty\nlink=cam0\n");  // relative
    EXPECT_NE(ParseError("[board0]\nports=2\n[port2]\ncamera=echo\n").find("2 ports"),
              std::string::npos);
    ParseError("[board8]\nports=1\n");                               // at the default limit
    ParseError("[board5]\nports=1\n[emulation]\ndevice_limit=4\n");  // limit given later
    ParseError("[emulation]\ndevice_limit=0\n");
    ParseError("[board0]\n[board0]\n");
    ParseError("[board0]\nports=1\nports=2\n");
    ParseError("[board0]\nthis is not a key\n");
    ParseError("ports=1\n");
    ParseError("[board0\n");
    ParseError("[board]\n");
    ParseError("[board-1]\n");
    ParseError("[camera0]\n");
    ParseError("[board0]\nports=17\n");
    ParseError("[board0]\nports=-1\n");
    ParseError("[board0]\nports=3x\n");
    ParseError("[board0]\nports=\n");
    ParseError("[board0]\nports=99999999999999999999\n");
    ParseError("[board0]\nports=1\n[port0]\nrx_buffer=0\n");
    ParseError("[board0]\nports=1\n[port0]\nstall=1\n");  // a typo is not ignored
    ParseError("[board0]\nports=1\n[port0]\nstalled=maybe\n");
    ParseError("[board0]\nports=1\n[port0]\nshort_write=-2\n");
    EXPECT_NE(ParseError(std::string("[board0]\nna\0me=x\n", 17)).find("binary"),
              std::string::npos);
    EXPECT_NE(ParseError("[board0]\nname=" + std::string(5000, 'x') + "\n").find("longer"),
              std::string::npos);
}

TEST(EmulationConfigParse, RefusedTextLeavesTheOutputAlone) {
    EmulationConfig config = DefaultEmulationConfig();
    std::string error;
    EXPECT_FALSE(ParseEmulationConfig("[board0]\nports=1\n[port0]\ncamera=x\n", config, error));
    EXPECT_EQ(config.ports.size(), 2u);
    EXPECT_EQ(config.boards.at(0).name, "EmuBoard");
}

TEST(EmulationConfigParse, MangledInputNeverCrashes) {
    const std::string base =
        "[emulation]\ndevice_limit=8\n[board0]\nname=EmuBoard\nports=2\n[port0]\ncamera=pty\n"
        "link=/tmp/cam0\n[port1]\nread_error_every=2\n";
    std::mt19937 random(1234);
    for (int round = 0; round < 500; ++round) {
        std::string text = base;
        const int edits = 1 + static_cast<int>(random() % 6);
        for (int e = 0; e < edits; ++e) {
            const size_t at = random() % text.size();
            switch (random() % 3) {
                case 0:
                    text[at] = static_cast<char>(random() % 256);
                    break;
                case 1:
                    text.erase(at, 1 + random() % 8);
                    break;
                default:
                    text.insert(at, 1, "[]=;#\r\n0"[random() % 8]);
                    break;
            }
            if (text.empty())
                text = "x";
        }
        EmulationConfig config;
        std::string error;
        if (ParseEmulationConfig(text, config, error)) {
            EXPECT_LE(config.ports.size(),
                      static_cast<size_t>(kMaxDeviceLimit) * kMaxPortsPerBoard);
            for (const auto& port : config.ports) {
                if (port.camera == "pty") {
                    EXPECT_FALSE(port.link.empty());
                }
            }
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

class EmulationConfigFile : public ::testing::Test {
  protected:
    std::string Write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name) << text;
        return dir_ / name;
    }
    testing::ScratchDir dir_{"/tmp/clst-emuconf-XXXXXX"};
    testing::ScopedEnv emulation_{"MARO_EMULATION", std::nullopt};
};

TEST_F(EmulationConfigFile, EnvironmentNamesTheFile) {
    const std::string path =
        Write("emu.ini", "[board2]\nname=Cam\nports=1\n[port0]\ncamera=echo\n");
    emulation_.Set(path);
    EXPECT_EQ(EmulationConfigPath(), path);
    EmulationConfig config;
    std::string error;
    ASSERT_TRUE(LoadEmulationConfig(config, error)) << error;
    EXPECT_EQ(config.source, path);
    EXPECT_EQ(config.boards.at(0).deviceIndex, 2);
    EXPECT_EQ(config.ports.at(0).camera, "echo");
}

TEST_F(EmulationConfigFile, BadFilesFallBackToTheBuiltInBoard) {
    const std::string bad = Write("bad.ini", "[board0]\nports=1\n[port0]\ncamera=pty\n");
    const std::string big = Write("big.ini", std::string(kMaxConfigFileSize + 1, '\n'));
    for (const std::string& path : {bad, big, dir_.path(), dir_ / "missing.ini"}) {
        emulation_.Set(path);
        EmulationConfig config;
        std::string error;
        EXPECT_FALSE(LoadEmulationConfig(config, error)) << path;
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_EQ(config.source, "built-in");
        EXPECT_EQ(config.ports.size(), 2u);
    }
}

TEST_F(EmulationConfigFile, BuildTreeDefaultsToTheBuiltInBoard) {
    // No etc/emulation.ini beside the build's lib and tests folders.
    EXPECT_EQ(EmulationConfigPath(), "");
    EmulationConfig config;
    std::string error;
    ASSERT_TRUE(LoadEmulationConfig(config, error)) << error;
    EXPECT_EQ(config.source, "built-in");
    ASSERT_EQ(config.boards.size(), 1u);
    EXPECT_EQ(config.boards[0].name, "EmuBoard");
    EXPECT_EQ(config.boards[0].deviceIndex, 0);
    ASSERT_EQ(config.ports.size(), 2u);
    EXPECT_EQ(config.ports[0].camera, "demo");
    EXPECT_EQ(config.ports[1].camera, "demo");
}

}  // namespace
}  // namespace clst::emulation
