// The serial-lines library's own judgement, beside the program's: the same
// reading of the pair host's line file, the same port directory and trust
// rule, and COM ends recognised by the device behind their link only.
#include "platform/serial_lines/pair_end_lines.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <tuple>

#include "emulation/portpairs/pair_names.h"
#include "platform/port_directory.h"
#include "tests/support/test_io.h"

namespace clst::testing {
namespace {

dev_t DeviceOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_rdev : 0;
}

TEST(SerialLinesTest, ReadsTheLineFileAsThePairHostWritesIt) {
    maro_vcp::PairLines on;
    on.deviceOpen = on.comOpen = true;
    on.changes = 18446744073709551615u;
    on.comRate = 4294967295u;
    on.dropped = 12;
    const std::string good = maro_vcp::FormatLines(on);
    for (const std::string& text :
         {good, maro_vcp::FormatLines({}), "junk\nfuture=1\n" + good,
          good.substr(0, good.size() - 1), good + "changes=18446744073709551616\n",
          good + "com_rate=4294967296\n", good + "device_open=2\n", good + "com_open=\n",
          good + "dropped=-1\n", good + "changes=1\r\n", good.substr(good.find('\n') + 1),
          std::string()}) {
        SCOPED_TRACE(text);
        maro_vcp::PairLines expected;
        clst_pair_lines parsed{};
        const bool ok = maro_vcp::ParseLines(text, expected);
        ASSERT_EQ(clst_parse_pair_lines(text.data(), text.size(), &parsed), ok);
        if (ok) {
            EXPECT_EQ(std::tie(parsed.device_open, parsed.com_open, parsed.changes, parsed.com_rate,
                               parsed.dropped),
                      std::tie(expected.deviceOpen, expected.comOpen, expected.changes,
                               expected.comRate, expected.dropped));
        }
    }
}

TEST(SerialLinesTest, TrustsThePortDirectoryAndLineFileOnlyAsTheProgramDoes) {
    const ScratchDir base("/tmp/clst-lines-XXXXXX");
    ASSERT_EQ(mkdir((base / "ports").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((base / "open").c_str(), 0770), 0);
    ASSERT_EQ(chmod((base / "open").c_str(), 0770), 0);
    ASSERT_EQ(symlink((base / "ports").c_str(), (base / "link").c_str()), 0);
    using Value = std::optional<std::string>;
    for (const auto& [variable, runtime] :
         {std::tuple<Value, Value>{base / "ports//", "/run/user/1"},
          {base / "open", std::nullopt},
          {base / "link", std::nullopt},
          {"relative/ports", std::nullopt},
          {std::nullopt, base.path()},
          {std::nullopt, "relative"}}) {
        ScopedEnv a("CLSERTOLVANE_PORT_DIR", variable);
        ScopedEnv b("XDG_RUNTIME_DIR", runtime);
        char path[4096];
        ASSERT_TRUE(clst_port_directory_path(path, sizeof path));
        EXPECT_EQ(path, platform::PortDirectoryPath());
        std::string error;
        EXPECT_EQ(clst_port_directory_trusted(path), platform::CheckPortDirectory(path, error))
            << path << ": " << error;
    }

    const std::string dir = base / "ports";
    const std::string file = dir + "/CNC7.lines";
    const std::string text = maro_vcp::FormatLines({.deviceOpen = true});
    WriteWholeFile(base / "elsewhere", text);
    for (const auto& [shape, trusted] : {std::pair{"file", true},
                                         {"link", false},
                                         {"writable", false},
                                         {"long", false},
                                         {"directory", false}}) {
        std::filesystem::remove_all(file);
        const std::string kind = shape;
        if (kind == "link") {
            ASSERT_EQ(symlink((base / "elsewhere").c_str(), file.c_str()), 0);
        } else if (kind == "directory") {
            ASSERT_EQ(mkdir(file.c_str(), 0700), 0);
        } else {
            WriteWholeFile(file, kind == "long" ? text + std::string(1024, '#') : text);
            ASSERT_EQ(chmod(file.c_str(), kind == "writable" ? 0620 : 0600), 0);
        }
        clst_pair_lines lines{};
        EXPECT_EQ(clst_read_pair_lines(dir.c_str(), 7, &lines), trusted) << shape;
        EXPECT_EQ(lines.device_open, trusted) << shape;
    }
}

TEST(SerialLinesTest, KnowsAComEndByTheDeviceBehindItsLink) {
    const ScratchDir dir("/tmp/clst-lines-XXXXXX");
    Pty com, device;
    ASSERT_FALSE(com.slave.empty() || device.slave.empty());
    for (const auto& [name, target] : {std::pair{"COM7", com.slave},
                                       {"ZADURUV7", device.slave},
                                       {"COM12", std::string("/dev/null")},
                                       {"COM8x", device.slave}}) {
        ASSERT_EQ(symlink(target.c_str(), (dir / name).c_str()), 0);
    }
    const dev_t comDevice = DeviceOf(com.slave);
    EXPECT_EQ(clst_find_com_end(dir.path().c_str(), comDevice), 7);
    EXPECT_EQ(clst_find_com_end(dir.path().c_str(), DeviceOf(device.slave)), -1);
    EXPECT_TRUE(clst_is_com_end(dir.path().c_str(), 7, comDevice));
    EXPECT_FALSE(clst_is_com_end(dir.path().c_str(), 12, comDevice));
    // Installed again, COM7 leads to another pty: the old one is no COM end.
    ASSERT_EQ(unlink((dir / "COM7").c_str()), 0);
    ASSERT_EQ(symlink(device.slave.c_str(), (dir / "COM7").c_str()), 0);
    EXPECT_FALSE(clst_is_com_end(dir.path().c_str(), 7, comDevice));
    EXPECT_EQ(clst_find_com_end(dir.path().c_str(), comDevice), -1);
}

}  // namespace
}  // namespace clst::testing
