// The port settings dialog's rules over a recording window whose selections
// the tests set as a user would.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/message_recorder.h"
#include "tests/support/test_io.h"
#include "ui/port_settings_logic.h"

using namespace clst;

namespace {

using L = PortSettingsList;
using Texts = std::vector<std::string>;

class RecordingView : public PortSettingsView {
  public:
    void SetListItems(L list, const Texts& texts) override {
        items[list] = texts;
        selection[list] = -1;
    }
    void SetListSelection(L list, int index) override { selection[list] = index; }
    int ListSelection(L list) override { return selection[list]; }
    void SetShowPhysicalChecked(bool c) override { checked = c; }
    bool ShowPhysicalChecked() override { return checked; }
    void CloseWithOk() override { ++closedOk; }

    // The user picks the item with this text.
    void Pick(L list, const std::string& text) {
        const Texts& t = items[list];
        for (size_t i = 0; i < t.size(); ++i)
            if (t[i] == text) {
                selection[list] = static_cast<int>(i);
                return;
            }
        ADD_FAILURE() << "no item " << text;
    }
    std::string Shown(L list) {
        const int i = selection[list];
        return i < 0 ? std::string("<none>") : items[list].at(static_cast<size_t>(i));
    }

    std::map<L, Texts> items;
    std::map<L, int> selection;
    bool checked = false;
    int closedOk = 0;
};

using Message = clst::testing::RecordedMessage;

using clst::testing::RecordingSink;

const std::vector<PortEntry> kPorts = {
    {"", "COM1", ""},
    {"CNC1", "COM6", "ZADURUV6"},
    {"CNC0", "COM5", "ZADURUV5"},
    {"", "COM3", ""},
};

ConnectionSettings Com6() {
    ConnectionSettings s;
    s.comPortName = "COM6";
    s.devicePortName = "ZADURUV6";
    return s;
}

class PortSettingsTest : public ::testing::Test {
  protected:
    void Open(const ConnectionSettings& s, const std::vector<PortEntry>& ports = kPorts) {
        logic_.SetComPorts(ports);
        logic_.SetClSerPorts({"0. board_Port0", "1. board_Port1"});
        logic_.SetSettings(s);
        logic_.OnInitDialog();
    }
    ConnectionSettings Result() const {
        ConnectionSettings s;
        logic_.GetSettings(s);
        return s;
    }

    RecordingView view_;
    RecordingSink sink_;
    PortSettingsLogic logic_{view_, sink_, false};
};

TEST(ComboListTest, FindStringStartsAfterTheGivenItemAndWrapsRound) {
    ComboList list;
    for (const char* t : {"COM1-ZADURUV1", "COM1-ZADURUV12", "com2-zaduruv2"})
        list.AddString(t);
    // Item 0 is looked at last: the longer name behind it wins.
    EXPECT_EQ(list.FindString(0, "COM1-ZADURUV1"), 1);
    EXPECT_EQ(list.FindString(1, "COM1-ZADURUV1"), 0);
    EXPECT_EQ(list.FindString(0, "COM2-Zad"), 2);
    EXPECT_EQ(list.FindString(-1, "com1"), 0);
    EXPECT_EQ(list.FindString(0, "COM1-ZADURUV123"), -1);
    EXPECT_EQ(ComboList().FindString(0, "COM1"), -1);

    ComboList sorted(true);
    for (const char* t : {"b", "A", "a", "C"})
        sorted.AddString(t);
    EXPECT_EQ(sorted.Texts(), (Texts{"A", "a", "b", "C"}));
    EXPECT_EQ(sorted.ItemData(4), -1);
}

TEST_F(PortSettingsTest, PhysicalPortsAreHiddenAndRefused) {
    Open(Com6());
    EXPECT_FALSE(view_.checked);
    EXPECT_EQ(view_.items[L::ComPort], (Texts{"COM5-ZADURUV5", "COM6-ZADURUV6"}));
    EXPECT_EQ(view_.Shown(L::ComPort), "COM6-ZADURUV6");

    view_.checked = true;
    logic_.OnShowPhysicalPorts();
    EXPECT_EQ(view_.items[L::ComPort], (Texts{"COM1", "COM3", "COM5-ZADURUV5", "COM6-ZADURUV6"}));
    view_.Pick(L::ComPort, "COM3");
    logic_.OnConfirm();
    ASSERT_EQ(sink_.messages.size(), 1u);
    EXPECT_EQ(sink_.messages[0].text, kPhysicalPortRefusal);
    EXPECT_EQ(sink_.messages[0].caption, "Port configuration");
    EXPECT_EQ(sink_.messages[0].flags, 0x30u);
    EXPECT_EQ(view_.closedOk, 0);
    EXPECT_EQ(Result().comPortName, "COM6");

    // The box's state is kept for the next opening.
    Open(Com6());
    EXPECT_TRUE(view_.checked);
    EXPECT_EQ(view_.items[L::ComPort].size(), 4u);
}

TEST_F(PortSettingsTest, EmptyOrAllPhysicalListIsRefused) {
    Open(Com6(), {{"", "COM1", ""}});
    EXPECT_TRUE(view_.items[L::ComPort].empty());
    EXPECT_EQ(view_.selection[L::ComPort], -1);
    logic_.OnConfirm();
    ASSERT_EQ(sink_.messages.size(), 1u);
    EXPECT_EQ(sink_.messages[0].text, kPhysicalPortRefusal);
    EXPECT_EQ(view_.closedOk, 0);
}

TEST_F(PortSettingsTest, CheckBoxReturnsTheSelectionToTheConfirmedPair) {
    Open(Com6());
    view_.Pick(L::ComPort, "COM5-ZADURUV5");
    view_.checked = true;
    logic_.OnShowPhysicalPorts();
    EXPECT_EQ(view_.Shown(L::ComPort), "COM6-ZADURUV6");
    view_.Pick(L::ComPort, "COM1");
    view_.checked = false;
    logic_.OnShowPhysicalPorts();
    EXPECT_EQ(view_.Shown(L::ComPort), "COM6-ZADURUV6");
    EXPECT_FALSE(logic_.showPhysical());
}

TEST_F(PortSettingsTest, ConfirmedPairNoLongerListedOrNoneSelectsTheFirstItem) {
    ConnectionSettings gone = Com6();
    gone.comPortName = "COM9";
    gone.devicePortName = "ZADURUV9";
    Open(gone);
    EXPECT_EQ(view_.selection[L::ComPort], 0);
    Open(ConnectionSettings());
    EXPECT_EQ(view_.selection[L::ComPort], 0);
    // The search rule looks at the first item last, so a longer name that
    // begins with the confirmed pair's text is found before it.
    ConnectionSettings one;
    one.comPortName = "COM1";
    one.devicePortName = "ZADURUV1";
    Open(one, {{"A", "COM1", "ZADURUV1"}, {"B", "COM1", "ZADURUV12"}});
    EXPECT_EQ(view_.Shown(L::ComPort), "COM1-ZADURUV12");
}

TEST_F(PortSettingsTest, BaudMismatchQuestionNoKeepsTheDialogYesStores) {
    Open(Com6());
    view_.Pick(L::ComBaud, "115200");
    view_.Pick(L::ClSerBaud, "9600");
    view_.Pick(L::ComPort, "COM5-ZADURUV5");
    sink_.answers = {kIdNo};
    logic_.OnConfirm();
    ASSERT_EQ(sink_.messages.size(), 1u);
    EXPECT_EQ(sink_.messages[0].text,
              "The baud rate of COM-port and Clser-port are different, this may lead to data "
              "lost.\nAre you sure to confirm it?\n");
    EXPECT_EQ(sink_.messages[0].caption, "Port configuration");
    EXPECT_EQ(sink_.messages[0].flags, 0x34u);
    EXPECT_EQ(view_.closedOk, 0);
    EXPECT_EQ(Result().comBaudRate, 9600);
    EXPECT_EQ(Result().comPortName, "COM6");
    EXPECT_EQ(view_.Shown(L::ComBaud), "115200");
    EXPECT_EQ(view_.Shown(L::ClSerBaud), "9600");

    sink_.answers = {kIdYes};
    logic_.OnConfirm();
    EXPECT_EQ(sink_.messages.size(), 2u);
    EXPECT_EQ(view_.closedOk, 1);
    const ConnectionSettings s = Result();
    EXPECT_EQ(s.comBaudRate, 115200);
    EXPECT_EQ(s.clserBaudCode, 1);
    EXPECT_EQ(s.comPortName, "COM5");
    EXPECT_EQ(s.devicePortName, "ZADURUV5");
}

TEST_F(PortSettingsTest, ListsItemDataAndOpeningSelections) {
    ConnectionSettings s = Com6();
    s.parity = 1;
    s.stopBits = 1;
    s.clserBaudCode = 128;
    s.comBaudRate = 921600;
    s.dataBits = 5;
    Open(s);
    EXPECT_EQ(view_.items[L::Parity], (Texts{"n", "e", "o"}));
    EXPECT_EQ(view_.Shown(L::Parity), "o");
    EXPECT_EQ(view_.Shown(L::StopBit), "1.5");
    EXPECT_EQ(view_.Shown(L::ClSerBaud), "921600");
    EXPECT_EQ(view_.Shown(L::ComBaud), "921600");
    EXPECT_EQ(view_.Shown(L::DataBits), "5");
    EXPECT_EQ(logic_.List(L::ClSerBaud).ItemData(4), 16);

    view_.Pick(L::Parity, "e");
    view_.Pick(L::StopBit, "2");
    view_.Pick(L::DataBits, "7");
    view_.Pick(L::ComBaud, "19200");
    view_.Pick(L::ClSerBaud, "19200");
    logic_.OnConfirm();
    EXPECT_TRUE(sink_.messages.empty());
    ConnectionSettings r = Result();
    EXPECT_EQ(r.parity, 2);
    EXPECT_EQ(r.stopBits, 2);
    EXPECT_EQ(r.dataBits, 7);
    EXPECT_EQ(r.comBaudRate, 19200);
    EXPECT_EQ(r.clserBaudCode, 2);

    // Codes the lists do not offer select nothing; Confirm keeps them.
    s.parity = 3;
    s.stopBits = 3;
    s.clserBaudCode = 3;
    s.comBaudRate = 9600;
    Open(s);
    EXPECT_EQ(view_.selection[L::Parity], -1);
    EXPECT_EQ(view_.selection[L::StopBit], -1);
    EXPECT_EQ(view_.selection[L::ClSerBaud], -1);
    view_.Pick(L::ClSerBaud, "9600");
    logic_.OnConfirm();
    r = Result();
    EXPECT_EQ(r.parity, 3);
    EXPECT_EQ(r.stopBits, 3);
}

TEST_F(PortSettingsTest, ClSerPortPositionIsTheSortedOne) {
    Texts names;
    for (int i = 0; i < 12; ++i)
        names.push_back(std::to_string(i) + ". board_Port" + std::to_string(i));
    logic_.SetClSerPorts(names);
    logic_.SetComPorts(kPorts);
    ConnectionSettings s = Com6();
    s.clserPortIndex = 2;
    logic_.SetSettings(s);
    logic_.OnInitDialog();
    EXPECT_EQ(view_.items[L::ClSerPort][2], "10. board_Port10");
    EXPECT_EQ(view_.items[L::ClSerPort][4], "2. board_Port2");
    EXPECT_EQ(view_.Shown(L::ClSerPort), "10. board_Port10");
    view_.Pick(L::ClSerPort, "2. board_Port2");
    logic_.OnConfirm();
    EXPECT_EQ(Result().clserPortIndex, 4);

    s.clserPortIndex = -1;
    logic_.SetSettings(s);
    logic_.OnInitDialog();
    EXPECT_EQ(view_.selection[L::ClSerPort], 0);
    s.clserPortIndex = 12;
    logic_.SetSettings(s);
    logic_.OnInitDialog();
    EXPECT_EQ(view_.selection[L::ClSerPort], -1);
    logic_.OnConfirm();  // accepted without a Camera Link port
    EXPECT_EQ(Result().clserPortIndex, -1);
}

TEST_F(PortSettingsTest, HandOverKeepsEchoAndEmptyListsKeepThePreviousOnes) {
    ConnectionSettings s = Com6();
    s.echo = true;
    logic_.SetSettings(s);
    ConnectionSettings out;
    out.echo = true;
    logic_.GetSettings(out);
    EXPECT_TRUE(out.echo);
    EXPECT_EQ(out.comPortName, "COM6");
    out.echo = false;
    logic_.GetSettings(out);
    EXPECT_FALSE(out.echo);

    Open(Com6());
    logic_.SetComPorts({});
    logic_.SetClSerPorts({});
    logic_.OnInitDialog();
    EXPECT_EQ(view_.items[L::ComPort].size(), 2u);
    EXPECT_EQ(view_.items[L::ClSerPort].size(), 2u);
}

class WriteBackTest : public ::testing::Test {
  protected:
    void SetUp() override { clst::testing::WriteWholeFile(dir_ / "TolvaneConfig.ini", kContent); }
    std::string File() const { return clst::testing::ReadWholeFile(dir_ / "TolvaneConfig.ini"); }
    // Confirms 115200,o,7,1.5 on both sides for the connection COM6 / 0,
    // choosing `pair`.
    void Confirm(bool saveToConfig, const std::string& pair) {
        PortSettingsLogic logic(view_, sink_, saveToConfig, dir_.path());
        logic.SetComPorts(kPorts);
        logic.SetClSerPorts({"0. board_Port0", "1. board_Port1"});
        logic.SetSettings(Com6());
        logic.OnInitDialog();
        view_.Pick(L::ComPort, pair);
        view_.Pick(L::ComBaud, "115200");
        view_.Pick(L::ClSerBaud, "115200");
        view_.Pick(L::Parity, "o");
        view_.Pick(L::DataBits, "7");
        view_.Pick(L::StopBit, "1.5");
        logic.OnConfirm();
        EXPECT_EQ(view_.closedOk, 1);
    }

    static constexpr const char* kContent = "[connection1]\ncom=com6\nclser=0\n";
    clst::testing::ScratchDir dir_{"/tmp/clst-portdlg-XXXXXX"};
    RecordingView view_;
    RecordingSink sink_;
};

TEST_F(WriteBackTest, OnlyWithTheFlagAndAnnouncingAPortChange) {
    Confirm(false, "COM6-ZADURUV6");
    EXPECT_EQ(File(), kContent);
    EXPECT_TRUE(sink_.messages.empty());

    view_.closedOk = 0;
    Confirm(true, "COM5-ZADURUV5");
    EXPECT_EQ(sink_.messages.size(), 1u);  // the port change, as the file write-back says
    EXPECT_EQ(File(),
              std::string(kContent) + "baudrate=115200\nparity=o\ndatabit=7\nstopbit=1.5\n");
}

}  // namespace
