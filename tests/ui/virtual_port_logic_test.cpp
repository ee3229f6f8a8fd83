// The virtual port dialog's rules over a recording window and a scripted
// port-pair library; both write into one log, so the order of library calls,
// window changes and messages can be checked together.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "portpairs/port_pair_library.h"
#include "tests/support/message_recorder.h"
#include "ui/virtual_port_logic.h"

using namespace clst;

namespace {

using Log = std::vector<std::string>;

class ScriptedPairs : public PortPairLibrary {
  public:
    explicit ScriptedPairs(Log& log)
        : PortPairLibrary("/nonexistent/libMaroVirtualComPort.so"), log_(log) {}

    int32_t VcpInitialize() override {
        log_.push_back("VcpInitialize");
        return 1;
    }
    int32_t VcpGetPairCount() override {
        log_.push_back("VcpGetPairCount");
        return count >= -1 ? count : static_cast<int32_t>(pairs.size());
    }
    int32_t VcpGetPair(int32_t index, char* pairName, char* first, char* second) override {
        log_.push_back("VcpGetPair " + std::to_string(index));
        if (failingIndices.count(index) != 0 || static_cast<size_t>(index) >= pairs.size()) {
            return 0;
        }
        const PortEntry& p = pairs[static_cast<size_t>(index)];
        // Names of 20 characters fill the buffer without a NUL.
        std::memcpy(pairName, p.pairName.c_str(), std::min<size_t>(p.pairName.size() + 1, 20));
        std::memcpy(first, p.comPortName.c_str(), std::min<size_t>(p.comPortName.size() + 1, 20));
        std::memcpy(second, p.devicePortName.c_str(),
                    std::min<size_t>(p.devicePortName.size() + 1, 20));
        return 1;
    }
    int32_t VcpGetLastErrorText(char* buffer) override {
        log_.push_back("VcpGetLastErrorText");
        if (buffer != nullptr) {
            std::snprintf(buffer, kErrorTextSize, "%s", errorText.c_str());
        }
        return static_cast<int32_t>(errorText.size() + 1);
    }
    int32_t VcpInstallPair(int32_t number) override {
        log_.push_back("VcpInstallPair " + std::to_string(number));
        if (!installWorks) {
            return 0;
        }
        const std::string n = std::to_string(number);
        pairs.push_back({"CNC" + n, "COM" + n, "ZADURUV" + n});
        return 1;
    }
    int32_t VcpRemovePair(const char* pairName) override {
        log_.push_back(std::string("VcpRemovePair ") + pairName);
        if (!removeWorks) {
            return 0;
        }
        if (!removeLeavesPairListed) {
            std::erase_if(pairs, [&](const PortEntry& p) { return p.pairName == pairName; });
        }
        return 1;
    }
    int32_t VcpIsPortNumberInUse(int32_t number) override {
        log_.push_back("VcpIsPortNumberInUse " + std::to_string(number));
        return inUse.count(number) != 0 ? 1 : 0;
    }

    std::vector<PortEntry> pairs;
    int32_t count = -2;  // below -1: the size of `pairs`
    std::set<int32_t> failingIndices, inUse;
    bool installWorks = true, removeWorks = true, removeLeavesPairListed = false;
    std::string errorText = "The driver refused the pair.";

  private:
    Log& log_;
};

// Messages go into the shared log as well.
class RecordingMessages : public clst::testing::RecordingSink {
  public:
    explicit RecordingMessages(Log& log) : log_(log) {}
    int ShowMessage(const std::string& text, const std::string& caption, unsigned flags) override {
        log_.push_back("Message " + text);
        return RecordingSink::ShowMessage(text, caption, flags);
    }
    unsigned lastFlags() const { return messages.back().flags; }

  private:
    Log& log_;
};

class RecordingDialog : public VirtualPortView {
  public:
    explicit RecordingDialog(Log& log) : log_(log) {}
    std::string PortNumberText() override { return number; }
    void SetPortNumberText(const std::string& text) override { number = text; }
    void ShowPortList(const std::vector<std::string>& texts, int current) override {
        shown = texts;
        selected = current;
    }
    int CurrentPortIndex() override { return selected; }
    void CreateWaitWindow() override { log_.push_back("CreateWaitWindow"); }
    void DestroyWaitWindow() override { log_.push_back("DestroyWaitWindow"); }
    void StartTimer(unsigned id, unsigned ms) override {
        log_.push_back("StartTimer " + std::to_string(id) + " " + std::to_string(ms));
    }
    void StopTimer(unsigned id) override { log_.push_back("StopTimer " + std::to_string(id)); }
    void EndDialog(int result) override { log_.push_back("EndDialog " + std::to_string(result)); }

    std::string number;
    std::vector<std::string> shown;
    int selected = -1;

  private:
    Log& log_;
};

class VirtualPortTest : public ::testing::Test {
  protected:
    VirtualPortTest() : pairs(log), messages(log), dialog(log), logic(dialog, pairs, messages) {}

    // Every message box of the dialog has the same caption.
    void TearDown() override {
        for (const auto& message : messages.messages)
            EXPECT_EQ(message.caption, "Virtual COM Port Control");
    }

    // Opens the dialog on `library` and `others`, then forgets the log.
    void Open(std::vector<PortEntry> library, std::vector<std::string> others = {}) {
        pairs.pairs = std::move(library);
        std::vector<PortEntry> entries;
        for (const std::string& name : others) {
            entries.push_back({"", name, ""});
        }
        logic.LoadPortEntries(entries);
        logic.OnInitDialog();
        log.clear();
    }

    void Select(const std::string& text) {
        for (size_t i = 0; i < dialog.shown.size(); ++i) {
            if (dialog.shown[i] == text) {
                dialog.selected = static_cast<int>(i);
                return;
            }
        }
        FAIL() << text << " is not listed";
    }

    Log log;
    ScriptedPairs pairs;
    RecordingMessages messages;
    RecordingDialog dialog;
    VirtualPortController logic;
};

TEST_F(VirtualPortTest, ListHoldsTheLibrarysPairsAndTheOtherPortsSorted) {
    logic.LoadPortEntries({{"", "COM1", ""}, {"CNC99", "COM99", "ZADURUV99"}, {"", "com2", ""}});
    EXPECT_EQ(logic.m_otherPorts, (std::vector<std::string>{"COM1", "com2"}));
    ASSERT_EQ(logic.m_pairs.size(), 1u);

    pairs.pairs = {{"CNC7", "COM12", "ZADURUV12"}, {"CNC3", "COM3", "ZADURUV3"}};
    dialog.number = "55";
    logic.OnInitDialog();
    EXPECT_EQ(dialog.number, "1");
    // The handed-over pair CNC99 is gone: pairs always come from the library.
    EXPECT_EQ(logic.m_pairs, pairs.pairs);
    EXPECT_EQ(log, (Log{"VcpInitialize", "VcpGetPairCount", "VcpGetPair 0", "VcpGetPair 1"}));
    const std::vector<PortListItem> expected = {
        {"COM1", 0}, {"COM12-ZADURUV12", 7}, {"com2", 0}, {"COM3-ZADURUV3", 3}};
    EXPECT_EQ(logic.portList(), expected);
    EXPECT_EQ(dialog.shown,
              (std::vector<std::string>{"COM1", "COM12-ZADURUV12", "com2", "COM3-ZADURUV3"}));
    EXPECT_EQ(dialog.selected, 0);
}

TEST_F(VirtualPortTest, OddListingsFromTheLibrary) {
    // A failing index is skipped; a pair without a name is listed by its
    // first port alone; a name filling its whole buffer is read to its end.
    pairs.failingIndices = {1};
    Open({{"CNC4", "COM4", "ZADURUV4"},
          {"CNC5", "COM5", "ZADURUV5"},
          {"", "COM8", "ZADURUV8"},
          {"CNC12345678901234567", "COM9", "ZADURUV9"}});
    const std::vector<PortListItem> expected = {
        {"COM4-ZADURUV4", 4}, {"COM8", 0}, {"COM9-ZADURUV9", INT32_MAX}};
    EXPECT_EQ(logic.portList(), expected);
    EXPECT_EQ(logic.m_pairs[2].pairName, "CNC12345678901234567");

    // No pairs (a library that is not ready reports -1): only the others.
    pairs.count = -1;
    Open({{"CNC4", "COM4", "ZADURUV4"}}, {"COM2"});
    EXPECT_EQ(dialog.shown, std::vector<std::string>{"COM2"});
    EXPECT_TRUE(logic.m_pairs.empty());
    pairs.count = 0;
    Open({}, {});
    EXPECT_TRUE(dialog.shown.empty());
    EXPECT_EQ(dialog.selected, -1);
}

TEST_F(VirtualPortTest, InstallRunsInsideTheWaitWindowThenRelists) {
    Open({}, {"COM1"});
    dialog.number = "12";
    logic.OnInstallPair();
    EXPECT_EQ(log, (Log{"VcpIsPortNumberInUse 12", "CreateWaitWindow", "VcpInstallPair 12",
                        "DestroyWaitWindow",
                        "Message A new virtual COM port pair was installed successfully.",
                        "VcpInitialize", "VcpGetPairCount", "VcpGetPair 0"}));
    EXPECT_EQ(messages.lastFlags(), kMbIconInformation);
    EXPECT_EQ(dialog.shown, (std::vector<std::string>{"COM1", "COM12-ZADURUV12"}));

    // An empty edit reads as 0, and the number goes to both calls.
    log.clear();
    dialog.number = "";
    pairs.installWorks = false;
    pairs.errorText = "The port number 0 is not valid; use 1 to 9999.";
    logic.OnInstallPair();
    EXPECT_EQ(log, (Log{"VcpIsPortNumberInUse 0", "CreateWaitWindow", "VcpInstallPair 0",
                        "DestroyWaitWindow", "VcpGetLastErrorText",
                        "Message The port number 0 is not valid; use 1 to 9999."}));
    EXPECT_EQ(messages.lastFlags(), kMbIconExclamation);
}

TEST_F(VirtualPortTest, NumberInUseIsRefusedBeforeAnythingElse) {
    Open({});
    pairs.inUse = {7};
    dialog.number = "7";
    logic.OnInstallPair();
    EXPECT_EQ(log, (Log{"VcpIsPortNumberInUse 7",
                        "Message This port number is occupied, please input another number."}));
    EXPECT_EQ(messages.lastFlags(), kMbIconExclamation);
}

TEST_F(VirtualPortTest, RemoveReportsAfterTheRecheck) {
    Open({{"CNC7", "COM12", "ZADURUV12"}, {"CNC3", "COM3", "ZADURUV3"}}, {"COM1"});
    Select("COM12-ZADURUV12");
    logic.OnRemovePair();
    EXPECT_EQ(log, (Log{"Message Do you really want to remove this virtual COM port pair?",
                        "VcpRemovePair CNC7", "StartTimer 1 500"}));
    EXPECT_EQ(messages.lastFlags(), kMbOkCancel | kMbIconExclamation);
    EXPECT_TRUE(logic.removeCheckPending());

    // Only the check's own timer counts.
    log.clear();
    logic.OnTimer(2);
    EXPECT_EQ(log, Log{});
    logic.OnTimer(kRemoveCheckTimerId);
    EXPECT_EQ(log, (Log{"StopTimer 1", "VcpInitialize", "VcpGetPairCount", "VcpGetPair 0",
                        "Message The virtual COM port pair was removed successfully."}));
    EXPECT_EQ(messages.lastFlags(), kMbIconInformation);
    EXPECT_EQ(dialog.shown, (std::vector<std::string>{"COM1", "COM3-ZADURUV3"}));
    EXPECT_FALSE(logic.removeCheckPending());
    log.clear();
    logic.OnTimer(kRemoveCheckTimerId);
    EXPECT_EQ(log, Log{});
}

TEST_F(VirtualPortTest, RemoveThatLeavesThePairListedIsAnError) {
    pairs.removeLeavesPairListed = true;
    Open({{"CNC5", "COM5", "ZADURUV5"}});
    logic.OnRemovePair();
    logic.OnTimer(kRemoveCheckTimerId);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "Message Error occurred, cannot remove the COM-port pair.");
    EXPECT_EQ(messages.lastFlags(), kMbIconExclamation);
}

TEST_F(VirtualPortTest, RemoveRefusalsAndFailures) {
    Open({{"CNC5", "COM5", "ZADURUV5"}}, {"COM1"});
    // A physical port: refused after the question, the library is not asked.
    Select("COM1");
    logic.OnRemovePair();
    EXPECT_EQ(log, (Log{"Message Do you really want to remove this virtual COM port pair?",
                        "Message Cannot remove a physical COM port."}));
    EXPECT_EQ(messages.lastFlags(), kMbIconExclamation);

    // Anything but OK stops at the question.
    log.clear();
    Select("COM5-ZADURUV5");
    messages.answers = {kIdCancel};
    logic.OnRemovePair();
    EXPECT_EQ(log, Log{"Message Do you really want to remove this virtual COM port pair?"});

    // The library refuses: its text, no check.
    log.clear();
    pairs.removeWorks = false;
    pairs.errorText = "There is no virtual port pair CNC5.";
    logic.OnRemovePair();
    EXPECT_EQ(log, (Log{"Message Do you really want to remove this virtual COM port pair?",
                        "VcpRemovePair CNC5", "VcpGetLastErrorText",
                        "Message There is no virtual port pair CNC5."}));
    EXPECT_FALSE(logic.removeCheckPending());

    // An empty list has nothing to remove and asks nothing.
    pairs.count = 0;
    Open({});
    logic.OnRemovePair();
    EXPECT_EQ(log, Log{});
}

TEST_F(VirtualPortTest, PendingRecheckHoldsTheButtonsAndCloseStillReports) {
    Open({{"CNC5", "COM5", "ZADURUV5"}, {"CNC6", "COM6", "ZADURUV6"}});
    logic.OnRemovePair();
    log.clear();
    logic.OnInstallPair();
    logic.OnRemovePair();
    EXPECT_EQ(log, Log{});

    logic.OnCancel();
    EXPECT_EQ(log,
              (Log{"StopTimer 1", "VcpInitialize", "VcpGetPairCount", "VcpGetPair 0",
                   "Message The virtual COM port pair was removed successfully.", "EndDialog 2"}));
    log.clear();
    logic.OnCancel();
    EXPECT_EQ(log, Log{"EndDialog 2"});
}

class RecordingWaitWindow : public WaitMessageView {
  public:
    void SetText(const std::string& t) override { log.push_back(t); }
    void StartTimer(unsigned id, unsigned ms) override {
        log.push_back("start " + std::to_string(id) + " " + std::to_string(ms));
    }
    void StopTimer(unsigned id) override { log.push_back("stop " + std::to_string(id)); }
    Log log;
};

TEST(WaitMessageTest, TicksStepThroughTheTextsAndDestroyStopsTheTimers) {
    RecordingWaitWindow window;
    WaitMessageController logic(window);
    logic.OnInitDialog();
    EXPECT_EQ(window.log, (Log{"Installing, please wait...", "start 1 2000"}));
    EXPECT_EQ(logic.m_nTimerId, 1u);

    window.log.clear();
    logic.OnTimer(kWaitTimerId);
    for (int i = 0; i < 4; ++i) {
        logic.OnTimer(kWaitStepTimerId);
    }
    EXPECT_EQ(window.log,
              (Log{"Installing, please wait.,", "start 2 500", "Installing, please wait...",
                   "Installing, please wait.", "stop 2"}));

    // Destroyed in the middle of a tick: both timers stop, once.
    window.log.clear();
    logic.OnTimer(kWaitTimerId);
    logic.OnDestroy();
    logic.OnDestroy();
    EXPECT_EQ(window.log, (Log{"Installing, please wait.,", "start 2 500", "stop 2", "stop 1"}));
    EXPECT_EQ(logic.m_nTimerId, 0u);
}

TEST(LeadingNumberTest, ReadsAsAtoiAndClamps) {
    EXPECT_EQ(LeadingNumber(""), 0);
    EXPECT_EQ(LeadingNumber("  -12x"), -12);
    EXPECT_EQ(LeadingNumber("x12"), 0);
    EXPECT_EQ(LeadingNumber("99999999999"), INT32_MAX);
    EXPECT_EQ(LeadingNumber("-99999999999"), INT32_MIN);
}

}  // namespace
