// Write-back of the serial parameters into TolvaneConfig.ini.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "connections/connection_settings.h"
#include "tests/support/message_recorder.h"
#include "tests/support/test_io.h"

using namespace clst;

namespace {

class ConfigFileTest : public ::testing::Test {
  protected:
    void Put(const std::string& content) { clst::testing::WriteWholeFile(path_, content); }
    std::string Get() const { return clst::testing::ReadWholeFile(path_); }
    static ConnectionSettings Com5() {
        ConnectionSettings s;
        s.devicePortName = "MAROCOM5";
        s.comPortName = "COM5";
        s.clserPortIndex = 0;
        return s;
    }

    const clst::testing::ScratchDir scratch_{"/tmp/clst-config-XXXXXX"};
    const std::string& dir_ = scratch_.path();
    const std::string path_ = dir_ + "/TolvaneConfig.ini";
    clst::testing::RecordingSink sink_;
};

TEST_F(ConfigFileTest, UnchangedPortsWriteIntoTheLowerCaseMatchingSection) {
    Put("[connection1]\ncom=com5\nclser=0\n");
    ConnectionSettings s = Com5();
    s.comBaudRate = 921600;
    s.parity = 1;
    s.dataBits = 7;
    s.stopBits = 1;
    SaveToConfigFile(s, "COM5", 0, 2, sink_, dir_);
    EXPECT_TRUE(sink_.messages.empty());
    EXPECT_EQ(Get(),
              "[connection1]\ncom=com5\nclser=0\nbaudrate=921600\nparity=o\ndatabit=7\n"
              "stopbit=1.5\n");

    s.parity = 2;
    s.stopBits = 2;
    s.comBaudRate = 9600;
    SaveToConfigFile(s, "COM5", 0, 2, sink_, dir_);  // replaced in place, not added twice
    EXPECT_EQ(Get(),
              "[connection1]\ncom=com5\nclser=0\nbaudrate=9600\nparity=e\ndatabit=7\nstopbit=2\n");
}

TEST_F(ConfigFileTest, PortChangeIsAnnouncedAndTheOldSectionStillGetsTheValues) {
    Put("[connection1]\ncom=COM3\nclser=1\n[connection2]\ncom=COM5\nclser=0\n");
    ConnectionSettings s = Com5();
    s.comPortName = "COM7";
    s.comBaudRate = 115200;
    SaveToConfigFile(s, "COM5", 0, 2, sink_, dir_);
    ASSERT_EQ(sink_.messages.size(), 1u);
    EXPECT_EQ(sink_.messages[0].text,
              "You changed the COM port or ClSer Port, this change will be confirmed but not saved "
              "to config file.");
    EXPECT_EQ(sink_.messages[0].caption, "Port configuration");
    EXPECT_EQ(sink_.messages[0].flags, kMbOk | kMbIconExclamation);
    EXPECT_EQ(Get(),
              "[connection1]\ncom=COM3\nclser=1\n[connection2]\ncom=COM5\nclser=0\n"
              "baudrate=115200\nparity=n\ndatabit=8\nstopbit=1\n");

    // A changed Camera Link port alone is announced too.
    sink_.messages.clear();
    s = Com5();
    s.clserPortIndex = 1;
    SaveToConfigFile(s, "COM5", 0, 2, sink_, dir_);
    EXPECT_EQ(sink_.messages.size(), 1u);
}

TEST_F(ConfigFileTest, FirstOfTwoMatchingSectionsWinsAndTheCountBoundsTheSearch) {
    Put("[connection1]\ncom=COM9\nclser=2\n[connection2]\ncom=COM5\nclser=0\n"
        "[connection3]\ncom=COM5\nclser=0\n");
    SaveToConfigFile(Com5(), "COM5", 0, 3, sink_, dir_);
    EXPECT_EQ(Get(),
              "[connection1]\ncom=COM9\nclser=2\n[connection2]\ncom=COM5\nclser=0\n"
              "baudrate=9600\nparity=n\ndatabit=8\nstopbit=1\n"
              "[connection3]\ncom=COM5\nclser=0\n");

    // With three ports, connection4 is never examined; nothing else matches,
    // so the file stays as it was.
    const std::string beyond =
        "[connection1]\ncom=COM1\nclser=0\n[connection2]\ncom=COM2\nclser=1\n"
        "[connection3]\ncom=COM3\nclser=2\n[connection4]\ncom=COM5\nclser=0\n";
    Put(beyond);
    SaveToConfigFile(Com5(), "COM5", 0, 3, sink_, dir_);
    EXPECT_EQ(Get(), beyond);
    SaveToConfigFile(Com5(), "COM5", 0, 0, sink_, dir_);
    EXPECT_EQ(Get(), beyond);
}

TEST_F(ConfigFileTest, ComValueIsReadIntoEightBytesAndClserMustMatch) {
    // "COM12345" is cut to "COM1234" and cannot match the longer name.
    Put("[connection1]\ncom=COM12345\nclser=0\n[connection2]\ncom=COM5\nclser=1\n");
    const std::string before = Get();
    ConnectionSettings s = Com5();
    s.comPortName = "COM12345";
    SaveToConfigFile(s, "COM12345", 0, 2, sink_, dir_);
    SaveToConfigFile(Com5(), "COM5", 0, 2, sink_, dir_);  // clser differs
    EXPECT_EQ(Get(), before);

    // A section without the keys matches only "no port chosen".
    Put("[connection1]\nnote=empty\n");
    ConnectionSettings none;
    none.clserPortIndex = -1;
    SaveToConfigFile(none, "", -1, 1, sink_, dir_);
    EXPECT_EQ(Get(), "[connection1]\nnote=empty\nbaudrate=9600\nparity=n\ndatabit=8\nstopbit=1\n");
}

TEST_F(ConfigFileTest, UnrelatedContentAndCrlfLineEndsSurviveByteForByte) {
    const std::string head =
        "; kept by the installer\r\n[General]\r\nLanguage=de\r\n\r\n[CONNECTION1]\r\n"
        "Com = com5\r\nClser=0\r\nBaudRate=19200\r\nextra=keep me\r\n";
    const std::string tail = "\r\n[connection2]\r\ncom=COM6\r\nclser=1\r\nbaudrate=57600\r\n";
    Put(head + tail);
    ConnectionSettings s = Com5();
    s.comBaudRate = 460800;
    SaveToConfigFile(s, "COM5", 0, 2, sink_, dir_);
    std::string expected = head;
    expected.replace(expected.find("BaudRate=19200"), 14, "BaudRate=460800");
    expected += "parity=n\r\ndatabit=8\r\nstopbit=1\r\n" + tail;
    EXPECT_EQ(Get(), expected);
}

TEST_F(ConfigFileTest, UnwritableLocationIsQuietAndHarmless) {
    // The parent of the directory is a regular file, so even root cannot
    // create anything there.
    Put("[connection1]\ncom=COM5\nclser=0\n");
    SaveToConfigFile(Com5(), "COM5", 0, 1, sink_, path_);
    EXPECT_TRUE(sink_.messages.empty());
    EXPECT_EQ(Get(), "[connection1]\ncom=COM5\nclser=0\n");

    // A directory where the file should be is left alone.
    std::filesystem::remove(path_);
    std::filesystem::create_directory(path_);
    SaveToConfigFile(Com5(), "", -1, 1, sink_, dir_);
    EXPECT_TRUE(std::filesystem::is_directory(path_));
}

}  // namespace
