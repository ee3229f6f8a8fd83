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

ConnectionSettings Settings(const char* com, int32_t index, int32_t rate = 9600, int32_t parity = 0,
                            int32_t bits = 8, int32_t stop = 0) {
    ConnectionSettings s;
    s.comPortName = com;
    s.clserPortIndex = index;
    s.comBaudRate = rate;
    s.parity = parity;
    s.dataBits = bits;
    s.stopBits = stop;
    return s;
}

const char* const kOurs = "[connection1]\ncom=COM5\nclser=0\n";
const char* const kDefaults = "baudrate=9600\nparity=n\ndatabit=8\nstopbit=1\n";
using Messages = std::vector<clst::testing::RecordedMessage>;
const clst::testing::RecordedMessage kAnnounced{
    "You changed the COM port or ClSer Port, this change will be confirmed but not saved to config "
    "file.",
    "Port configuration", kMbOk | kMbIconExclamation};

TEST(ConfigFileTest, TheSectionOfTheServedConnectionGetsTheValues) {
    const std::string two = "[connection1]\ncom=COM3\nclser=1\n[connection2]\ncom=COM5\nclser=0\n";
    const std::string four =
        "[connection1]\ncom=COM1\nclser=0\n[connection2]\ncom=COM2\nclser=1\n"
        "[connection3]\ncom=COM3\nclser=2\n[connection4]\ncom=COM5\nclser=0\n";
    const std::string cut =
        "[connection1]\ncom=COM12345\nclser=0\n[connection2]\ncom=COM5\nclser=1\n";
    const std::string crlfHead =
        "; kept by the installer\r\n[General]\r\nLanguage=de\r\n\r\n[CONNECTION1]\r\n"
        "Com = com5\r\nClser=0\r\nBaudRate=19200\r\nextra=keep me\r\n";
    const std::string crlfTail = "\r\n[connection2]\r\ncom=COM6\r\nclser=1\r\nbaudrate=57600\r\n";
    struct Case {
        const char* what;
        std::string before;
        ConnectionSettings settings;
        const char* oldCom;
        int32_t oldIndex, count;
        std::string after;
    } cases[] = {
        {"the com value in any case", "[connection1]\ncom=com5\nclser=0\n",
         Settings("COM5", 0, 921600, 1, 7, 1), "COM5", 0, 2,
         "[connection1]\ncom=com5\nclser=0\nbaudrate=921600\nparity=o\ndatabit=7\nstopbit=1.5\n"},
        {"replaced in place", std::string(kOurs) + "baudrate=1\nparity=n\ndatabit=8\nstopbit=1\n",
         Settings("COM5", 0, 9600, 2, 7, 2), "COM5", 0, 1,
         std::string(kOurs) + "baudrate=9600\nparity=e\ndatabit=7\nstopbit=2\n"},
        {"the last section counted; a changed port: the old one", two, Settings("COM7", 0), "COM5",
         0, 2, two + kDefaults},
        {"a changed Camera Link port alone", kOurs, Settings("COM5", 1), "COM5", 0, 1,
         kOurs + std::string(kDefaults)},
        {"the first of two", two + "[connection3]\ncom=COM5\nclser=0\n", Settings("COM5", 0),
         "COM5", 0, 3, two + kDefaults + "[connection3]\ncom=COM5\nclser=0\n"},
        {"only as many sections as ports", four, Settings("COM5", 0), "COM5", 0, 3, four},
        {"no ports: no section", kOurs, Settings("COM5", 0), "COM5", 0, 0, kOurs},
        {"com read into eight bytes", cut, Settings("COM12345", 0), "COM12345", 0, 2, cut},
        {"clser must match too", cut, Settings("COM5", 0), "COM5", 0, 2, cut},
        {"no keys: only no port chosen", "[connection1]\nnote=empty\n", Settings("", -1), "", -1, 1,
         "[connection1]\nnote=empty\n" + std::string(kDefaults)},
        {"everything else kept byte for byte", crlfHead + crlfTail, Settings("COM5", 0, 460800),
         "COM5", 0, 2,
         "; kept by the installer\r\n[General]\r\nLanguage=de\r\n\r\n[CONNECTION1]\r\n"
         "Com = com5\r\nClser=0\r\nBaudRate=460800\r\nextra=keep me\r\n"
         "parity=n\r\ndatabit=8\r\nstopbit=1\r\n" +
             crlfTail},
    };
    const clst::testing::ScratchDir dir("/tmp/clst-config-XXXXXX");
    for (const Case& c : cases) {
        clst::testing::WriteWholeFile(dir / "TolvaneConfig.ini", c.before);
        clst::testing::RecordingSink sink;
        SaveToConfigFile(c.settings, c.oldCom, c.oldIndex, c.count, sink, dir.path());
        EXPECT_EQ(clst::testing::ReadWholeFile(dir / "TolvaneConfig.ini"), c.after) << c.what;
        const bool changed =
            c.settings.comPortName != c.oldCom || c.settings.clserPortIndex != c.oldIndex;
        EXPECT_EQ(sink.messages, changed ? Messages{kAnnounced} : Messages{}) << c.what;
    }
}

TEST(ConfigFileTest, UnwritableLocationIsQuietAndHarmless) {
    const clst::testing::ScratchDir scratch("/tmp/clst-config-XXXXXX");
    const std::string path = scratch / "TolvaneConfig.ini";
    clst::testing::RecordingSink sink;
    // The parent of the directory is a regular file, so even root cannot
    // create anything there.
    clst::testing::WriteWholeFile(path, kOurs);
    SaveToConfigFile(Settings("COM5", 0), "COM5", 0, 1, sink, path);
    EXPECT_EQ(clst::testing::ReadWholeFile(path), kOurs);

    // A directory where the file should be is left alone.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    SaveToConfigFile(Settings("", -1), "", -1, 1, sink, scratch.path());
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_TRUE(sink.messages.empty());
}

}  // namespace
