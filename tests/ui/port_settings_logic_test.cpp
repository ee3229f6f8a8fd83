// The port settings dialog's rules over a recording window whose selections
// the tests make as a user would.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/message_recorder.h"
#include "tests/support/test_io.h"
#include "ui/port_settings_logic.h"

using namespace clst;

namespace {

using L = PortSettingsList;
using Texts = std::vector<std::string>;
using Message = clst::testing::RecordedMessage;

class RecordingView : public PortSettingsView {
  public:
    void SetListItems(L list, const Texts& texts) override {
        items[list] = texts;
        selection[list] = -1;
    }
    void SetListSelection(L list, int index) override { selection[list] = index; }
    int ListSelection(L list) override { return selection[list]; }
    void SetShowPhysicalChecked(bool on) override { checked = on; }
    bool ShowPhysicalChecked() override { return checked; }
    void CloseWithOk() override { ++closedOk; }

    // The user picks the item with this text.
    void Pick(L list, const std::string& text) {
        const Texts& t = items[list];
        const auto it = std::find(t.begin(), t.end(), text);
        ASSERT_NE(it, t.end()) << text;
        selection[list] = static_cast<int>(it - t.begin());
    }
    std::string Shown(L list) {
        const int i = selection[list];
        return i < 0 ? "<none>" : items[list].at(static_cast<size_t>(i));
    }

    std::map<L, Texts> items;
    std::map<L, int> selection;
    bool checked = false;
    int closedOk = 0;
};

const std::vector<PortEntry> kPorts = {
    {"", "COM1", ""}, {"CNC1", "COM6", "ZADURUV6"}, {"CNC0", "COM5", "ZADURUV5"}, {"", "COM3", ""}};
const Texts kBoardPorts = {"0. board_Port0", "1. board_Port1"};

class PortSettingsTest : public ::testing::Test {
  protected:
    PortSettingsTest() {
        settings_.comPortName = "COM6";
        settings_.devicePortName = "ZADURUV6";
    }
    // Opens the dialog on `settings_`.
    void Open(const std::vector<PortEntry>& ports = kPorts, const Texts& boardPorts = kBoardPorts) {
        logic_->SetComPorts(ports);
        logic_->SetClSerPorts(boardPorts);
        logic_->SetSettings(settings_);
        logic_->OnInitDialog();
    }
    // Confirms and hands the settings back to a main window whose echo is
    // on: the dialog never changes it.
    ConnectionSettings Confirm() {
        logic_->OnConfirm();
        ConnectionSettings result;
        result.echo = true;
        logic_->GetSettings(result);
        EXPECT_TRUE(result.echo);
        return result;
    }

    ConnectionSettings settings_;
    RecordingView view_;
    clst::testing::RecordingSink sink_;
    // Writes no configuration unless a test makes one that does.
    std::optional<PortSettingsLogic> logic_{std::in_place, view_, sink_, false};
};

}  // namespace

TEST_F(PortSettingsTest, OpeningShowsTheFieldsAndConfirmGivesThemBack) {
    const auto fields = [](ConnectionSettings& s) {
        return std::tie(s.parity, s.stopBits, s.dataBits, s.comBaudRate, s.clserBaudCode);
    };
    // Parity, stop bits, data bits, COM baud rate, Camera Link baud code, and
    // the texts shown for them.
    const std::pair<std::tuple<int32_t, int32_t, int32_t, int32_t, int32_t>, Texts> cases[] = {
        {{0, 0, 8, 9600, 1}, {"n", "1", "8", "9600", "9600"}},
        {{1, 1, 5, 921600, 128}, {"o", "1.5", "5", "921600", "921600"}},
        {{2, 2, 7, 19200, 2}, {"e", "2", "7", "19200", "19200"}},
        // Codes the lists do not offer select nothing; Confirm keeps them.
        {{3, 3, 10, 57600, 8}, {"<none>", "<none>", "<none>", "57600", "57600"}},
    };
    for (const auto& [in, shown] : cases) {
        fields(settings_) = in;
        Open();
        EXPECT_EQ((Texts{view_.Shown(L::Parity), view_.Shown(L::StopBit), view_.Shown(L::DataBits),
                         view_.Shown(L::ComBaud), view_.Shown(L::ClSerBaud)}),
                  shown);
        ConnectionSettings r = Confirm();
        EXPECT_EQ(fields(r), in) << shown[0];
    }
    EXPECT_EQ(view_.items[L::Parity], (Texts{"n", "e", "o"}));
    EXPECT_EQ(view_.closedOk, 4);
    EXPECT_TRUE(sink_.messages.empty());
}

TEST_F(PortSettingsTest, BaudMismatchQuestionNoKeepsTheDialogYesStores) {
    Open();
    view_.Pick(L::ComBaud, "115200");
    view_.Pick(L::ClSerBaud, "19200");
    view_.Pick(L::ComPort, "COM5-ZADURUV5");
    sink_.answers = {kIdNo, kIdYes};
    ConnectionSettings r = Confirm();
    EXPECT_EQ(sink_.messages, (std::vector<Message>{{"The baud rate of COM-port and Clser-port are "
                                                     "different, this may lead to data lost.\nAre "
                                                     "you sure to confirm it?\n",
                                                     "Port configuration", 0x34}}));
    EXPECT_EQ(view_.closedOk, 0);
    EXPECT_EQ(std::tie(r.comPortName, r.comBaudRate), std::tuple("COM6", 9600));

    r = Confirm();
    EXPECT_EQ(view_.closedOk, 1);
    EXPECT_EQ(std::tie(r.comPortName, r.devicePortName, r.comBaudRate, r.clserBaudCode),
              std::tuple("COM5", "ZADURUV5", 115200, 2));
}

TEST_F(PortSettingsTest, PhysicalPortsAreHiddenListedOnRequestAndRefused) {
    Open();
    EXPECT_EQ(view_.items[L::ComPort], (Texts{"COM5-ZADURUV5", "COM6-ZADURUV6"}));
    EXPECT_EQ(view_.Shown(L::ComPort), "COM6-ZADURUV6");

    // The box refills the list and returns to the confirmed pair.
    view_.Pick(L::ComPort, "COM5-ZADURUV5");
    view_.checked = true;
    logic_->OnShowPhysicalPorts();
    EXPECT_EQ(view_.items[L::ComPort], (Texts{"COM1", "COM3", "COM5-ZADURUV5", "COM6-ZADURUV6"}));
    EXPECT_EQ(view_.Shown(L::ComPort), "COM6-ZADURUV6");
    view_.Pick(L::ComPort, "COM3");
    EXPECT_EQ(Confirm().comPortName, "COM6");
    EXPECT_EQ(sink_.messages.size(), 1u);

    // The box's state is kept for the next opening. No pair listed at all:
    // refused all the same.
    Open({{"", "COM1", ""}});
    EXPECT_TRUE(view_.checked);
    view_.checked = false;
    logic_->OnShowPhysicalPorts();
    EXPECT_EQ(view_.Shown(L::ComPort), "<none>");
    Confirm();
    const Message refusal = {
        "Cannot connect to a physical COM port, please choose a virtual COM port pair.",
        "Port configuration", kMbOk | kMbIconExclamation};
    EXPECT_EQ(sink_.messages, std::vector<Message>(2, refusal));
    EXPECT_EQ(view_.closedOk, 0);
}

TEST_F(PortSettingsTest, OpeningSelectsTheConfirmedPairOrTheFirstItem) {
    settings_.comPortName = "COM9";  // no longer listed
    Open();
    EXPECT_EQ(view_.selection[L::ComPort], 0);
    settings_ = {};
    Open();
    EXPECT_EQ(view_.selection[L::ComPort], 0);
    // The search looks at the first item last, so a longer name that begins
    // with the confirmed pair's text is found before it.
    settings_.comPortName = "COM1";
    settings_.devicePortName = "ZADURUV1";
    Open({{"A", "COM1", "ZADURUV1"}, {"B", "COM1", "ZADURUV12"}});
    EXPECT_EQ(view_.Shown(L::ComPort), "COM1-ZADURUV12");
}

TEST_F(PortSettingsTest, ClSerPortIndexIsThePositionInTheSortedList) {
    Texts names;
    for (int i = 0; i < 12; ++i)
        names.push_back(std::to_string(i) + ". board_Port" + std::to_string(i));
    settings_.clserPortIndex = 2;
    Open(kPorts, names);
    EXPECT_EQ(view_.Shown(L::ClSerPort), "10. board_Port10");
    view_.Pick(L::ClSerPort, "2. board_Port2");
    EXPECT_EQ(Confirm().clserPortIndex, 4);

    // None selects the first; beyond the list selects nothing, stored as -1.
    settings_.clserPortIndex = -1;
    Open(kPorts, names);
    EXPECT_EQ(view_.Shown(L::ClSerPort), "0. board_Port0");
    settings_.clserPortIndex = 12;
    Open(kPorts, names);
    EXPECT_EQ(view_.Shown(L::ClSerPort), "<none>");
    EXPECT_EQ(Confirm().clserPortIndex, -1);
}

TEST_F(PortSettingsTest, WriteBackOnlyWithTheFlagAndAnnouncingAPortChange) {
    const clst::testing::ScratchDir dir("/tmp/clst-portdlg-XXXXXX");
    const std::string file = dir / "TolvaneConfig.ini", content = "[connection1]\ncom=com6\n";
    clst::testing::WriteWholeFile(file, content + "clser=0\n");
    for (const bool save : {false, true}) {
        logic_.emplace(view_, sink_, save, dir.path());
        Open();
        view_.Pick(L::ComPort, "COM5-ZADURUV5");
        view_.Pick(L::Parity, "o");
        view_.Pick(L::StopBit, "1.5");
        Confirm();
    }
    EXPECT_EQ(view_.closedOk, 2);
    EXPECT_EQ(sink_.messages.size(), 1u);  // the port change, as the file write-back says
    EXPECT_EQ(clst::testing::ReadWholeFile(file),
              content + "clser=0\nbaudrate=9600\nparity=o\ndatabit=8\nstopbit=1.5\n");
}
