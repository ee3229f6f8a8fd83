// Write-back of the serial parameters into TolvaneConfig.ini: which section
// is ours. How the file is read and written (line ends, other content, what
// cannot be written safely) is checked with the profile functions.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
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
    const std::string lower = "[connection1]\ncom=com5\nclser=0\n";
    const std::string two = "[connection1]\ncom=COM3\nclser=1\n[connection2]\ncom=COM5\nclser=0\n";
    const std::string four =
        "[connection1]\ncom=COM1\nclser=0\n[connection2]\ncom=COM2\nclser=1\n"
        "[connection3]\ncom=COM3\nclser=2\n[connection4]\ncom=COM5\nclser=0\n";
    const std::string cut =
        "[connection1]\ncom=COM12345\nclser=0\n[connection2]\ncom=COM5\nclser=1\n";
    // What is checked, the file before, the settings confirmed, the COM port
    // and Camera Link port served before, the number of Camera Link ports,
    // the file after.
    const std::tuple<const char*, std::string, ConnectionSettings, const char*, int32_t, int32_t,
                     std::string>
        cases[] = {
            {"the com value in any case", lower, Settings("COM5", 0, 921600, 1, 7, 1), "COM5", 0, 2,
             lower + "baudrate=921600\nparity=o\ndatabit=7\nstopbit=1.5\n"},
            {"replaced in place",
             std::string(kOurs) + "baudrate=1\nparity=n\ndatabit=8\nstopbit=1\n",
             Settings("COM5", 0, 9600, 2, 7, 2), "COM5", 0, 1,
             std::string(kOurs) + "baudrate=9600\nparity=e\ndatabit=7\nstopbit=2\n"},
            {"the last section counted; a changed port: the old one", two, Settings("COM7", 0),
             "COM5", 0, 2, two + kDefaults},
            {"a changed Camera Link port alone", kOurs, Settings("COM5", 1), "COM5", 0, 1,
             kOurs + std::string(kDefaults)},
            {"the first of two", two + "[connection3]\ncom=COM5\nclser=0\n", Settings("COM5", 0),
             "COM5", 0, 3, two + kDefaults + "[connection3]\ncom=COM5\nclser=0\n"},
            {"only as many sections as ports", four, Settings("COM5", 0), "COM5", 0, 3, four},
            {"no ports: no section", kOurs, Settings("COM5", 0), "COM5", 0, 0, kOurs},
            {"com read into eight bytes", cut, Settings("COM12345", 0), "COM12345", 0, 2, cut},
            {"clser must match too", cut, Settings("COM5", 0), "COM5", 0, 2, cut},
            {"no keys: only no port chosen", "[connection1]\nnote=empty\n", Settings("", -1), "",
             -1, 1, "[connection1]\nnote=empty\n" + std::string(kDefaults)},
        };
    const clst::testing::ScratchDir dir("/tmp/clst-config-XXXXXX");
    for (const auto& [what, before, settings, oldCom, oldIndex, count, after] : cases) {
        clst::testing::WriteWholeFile(dir / "TolvaneConfig.ini", before);
        clst::testing::RecordingSink sink;
        SaveToConfigFile(settings, oldCom, oldIndex, count, sink, dir.path());
        EXPECT_EQ(clst::testing::ReadWholeFile(dir / "TolvaneConfig.ini"), after) << what;
        const bool changed = settings.comPortName != oldCom || settings.clserPortIndex != oldIndex;
        EXPECT_EQ(sink.messages, changed ? Messages{kAnnounced} : Messages{}) << what;
    }
}

}  // namespace
