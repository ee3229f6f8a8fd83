// The virtual port dialog's rules over a recording window and a scripted
// port-pair library; both write into one log, so the order of library calls,
// window changes and messages is checked together.
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
using Texts = std::vector<std::string>;

class ScriptedPairs : public PortPairLibrary {
  public:
    explicit ScriptedPairs(Log& log)
        : PortPairLibrary("/nonexistent/libMaroVirtualComPort.so"), log_(log) {}

    int32_t VcpInitialize() override { return Note("VcpInitialize", 1); }
    int32_t VcpGetPairCount() override {
        return Note("VcpGetPairCount", count >= -1 ? count : static_cast<int32_t>(pairs.size()));
    }
    int32_t VcpGetPair(int32_t index, char* name, char* first, char* second) override {
        const auto i = static_cast<size_t>(index);
        if (!Note("VcpGetPair " + std::to_string(index), i < pairs.size() && i != failingIndex))
            return 0;
        // Names of 20 characters fill the buffer without a NUL.
        std::strncpy(name, pairs[i].pairName.c_str(), 20);
        std::strncpy(first, pairs[i].comPortName.c_str(), 20);
        std::strncpy(second, pairs[i].devicePortName.c_str(), 20);
        return 1;
    }
    int32_t VcpGetLastErrorText(char* buffer) override {
        std::snprintf(buffer, kErrorTextSize, "%s", errorText.c_str());
        return Note("VcpGetLastErrorText", static_cast<int32_t>(errorText.size() + 1));
    }
    int32_t VcpInstallPair(int32_t number) override {
        const std::string n = std::to_string(number);
        if (installWorks)
            pairs.push_back({"CNC" + n, "COM" + n, "ZADURUV" + n});
        return Note("VcpInstallPair " + n, installWorks);
    }
    int32_t VcpRemovePair(const char* name) override {
        if (removeWorks && !removeLeavesPairListed)
            std::erase_if(pairs, [&](const PortEntry& p) { return p.pairName == name; });
        return Note(std::string("VcpRemovePair ") + name, removeWorks);
    }
    int32_t VcpIsPortNumberInUse(int32_t number) override {
        return Note("VcpIsPortNumberInUse " + std::to_string(number), inUse.count(number));
    }

    std::vector<PortEntry> pairs;
    int32_t count = -2;  // below -1: the size of `pairs`
    size_t failingIndex = SIZE_MAX;
    std::set<int32_t> inUse;
    bool installWorks = true, removeWorks = true, removeLeavesPairListed = false;
    std::string errorText = "The driver refused the pair.";

  private:
    int32_t Note(const std::string& call, int32_t result) {
        log_.push_back(call);
        return result;
    }
    Log& log_;
};

class RecordingMessages : public clst::testing::RecordingSink {
  public:
    explicit RecordingMessages(Log& log) : log_(log) {}
    int ShowMessage(const std::string& text, const std::string& caption, unsigned flags) override {
        log_.push_back("Message " + text);
        return RecordingSink::ShowMessage(text, caption, flags);
    }

  private:
    Log& log_;
};

class RecordingDialog : public VirtualPortView {
  public:
    explicit RecordingDialog(Log& log) : log_(log) {}
    std::string PortNumberText() override { return number; }
    void SetPortNumberText(const std::string& text) override { number = text; }
    void ShowPortList(const Texts& texts, int current) override {
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
    Texts shown;
    int selected = -1;

  private:
    Log& log_;
};

const std::string kQuestion = "Message Do you really want to remove this virtual COM port pair?";
const Log kRelist = {"VcpInitialize", "VcpGetPairCount", "VcpGetPair 0"};

class VirtualPortTest : public ::testing::Test {
  protected:
    VirtualPortTest() : pairs(log), messages(log), dialog(log), logic(dialog, pairs, messages) {}

    // Every message box of the dialog has the same caption.
    void TearDown() override {
        for (const auto& message : messages.messages)
            EXPECT_EQ(message.caption, "Virtual COM Port Control");
    }

    // Opens the dialog on `library` and `others`, then forgets the log.
    void Open(std::vector<PortEntry> library, const Texts& others = {}) {
        pairs.pairs = std::move(library);
        std::vector<PortEntry> entries;
        for (const std::string& name : others)
            entries.push_back({"", name, ""});
        logic.LoadPortEntries(entries);
        logic.OnInitDialog();
        log.clear();
    }
    void Select(const std::string& text) {
        const auto it = std::find(dialog.shown.begin(), dialog.shown.end(), text);
        ASSERT_NE(it, dialog.shown.end()) << text;
        dialog.selected = static_cast<int>(it - dialog.shown.begin());
    }
    // The log since the last call, then forgotten.
    Log Taken() { return std::exchange(log, {}); }
    Log Then(Log first, const Log& second) {
        first.insert(first.end(), second.begin(), second.end());
        return first;
    }

    Log log;
    ScriptedPairs pairs;
    RecordingMessages messages;
    RecordingDialog dialog;
    VirtualPortController logic;
};

}  // namespace

TEST_F(VirtualPortTest, ListHoldsTheLibrarysPairsAndTheOtherPortsSorted) {
    // The handed-over pair CNC99 is not listed: pairs always come from the
    // library.
    logic.LoadPortEntries({{"", "COM1", ""}, {"CNC99", "COM99", "ZADURUV99"}, {"", "com2", ""}});
    pairs.pairs = {{"CNC7", "COM12", "ZADURUV12"}, {"CNC3", "COM3", "ZADURUV3"}};
    dialog.number = "55";
    logic.OnInitDialog();
    EXPECT_EQ(dialog.number, "1");
    EXPECT_EQ(Taken(), Then(kRelist, {"VcpGetPair 1"}));
    EXPECT_EQ(logic.portList(),
              (std::vector<PortListItem>{
                  {"COM1", 0}, {"COM12-ZADURUV12", 7}, {"com2", 0}, {"COM3-ZADURUV3", 3}}));
    EXPECT_EQ(dialog.shown, (Texts{"COM1", "COM12-ZADURUV12", "com2", "COM3-ZADURUV3"}));
    EXPECT_EQ(dialog.selected, 0);

    // A failing index is skipped; a pair without a name is listed by its
    // first port alone; a name filling its whole buffer is read to its end.
    pairs.failingIndex = 1;
    Open({{"CNC4", "COM4", "ZADURUV4"},
          {"CNC5", "COM5", "ZADURUV5"},
          {"", "COM8", "ZADURUV8"},
          {"CNC12345678901234567", "COM9", "ZADURUV9"}});
    EXPECT_EQ(logic.portList(),
              (std::vector<PortListItem>{
                  {"COM4-ZADURUV4", 4}, {"COM8", 0}, {"COM9-ZADURUV9", INT32_MAX}}));
    EXPECT_EQ(logic.m_pairs[2].pairName, "CNC12345678901234567");

    // No pairs (a library that is not ready reports -1): only the others.
    pairs.count = -1;
    Open({{"CNC4", "COM4", "ZADURUV4"}}, {"COM2"});
    EXPECT_EQ(dialog.shown, Texts{"COM2"});
    pairs.count = 0;
    Open({});
    EXPECT_EQ(dialog.selected, -1);
}

TEST_F(VirtualPortTest, InstallChecksTheNumberThenRunsInsideTheWaitWindow) {
    Open({}, {"COM1"});
    pairs.inUse = {7};
    dialog.number = "7";
    logic.OnInstallPair();
    EXPECT_EQ(Taken(), (Log{"VcpIsPortNumberInUse 7",
                            "Message This port number is occupied, please input another number."}));

    dialog.number = "12";
    logic.OnInstallPair();
    EXPECT_EQ(Taken(), Then({"VcpIsPortNumberInUse 12", "CreateWaitWindow", "VcpInstallPair 12",
                             "DestroyWaitWindow",
                             "Message A new virtual COM port pair was installed successfully."},
                            kRelist));
    EXPECT_EQ(dialog.shown, (Texts{"COM1", "COM12-ZADURUV12"}));

    // An empty edit reads as 0, and the number goes to both calls.
    dialog.number = "";
    pairs.installWorks = false;
    pairs.errorText = "The port number 0 is not valid; use 1 to 9999.";
    logic.OnInstallPair();
    EXPECT_EQ(Taken(), (Log{"VcpIsPortNumberInUse 0", "CreateWaitWindow", "VcpInstallPair 0",
                            "DestroyWaitWindow", "VcpGetLastErrorText",
                            "Message The port number 0 is not valid; use 1 to 9999."}));
    std::vector<unsigned> flags;
    for (const auto& m : messages.messages)
        flags.push_back(m.flags);
    EXPECT_EQ(flags,
              (std::vector<unsigned>{kMbIconExclamation, kMbIconInformation, kMbIconExclamation}));
}

TEST_F(VirtualPortTest, RemoveReportsAfterTheRecheck) {
    Open({{"CNC7", "COM12", "ZADURUV12"}, {"CNC3", "COM3", "ZADURUV3"}}, {"COM1"});
    Select("COM12-ZADURUV12");
    logic.OnRemovePair();
    EXPECT_EQ(Taken(), (Log{kQuestion, "VcpRemovePair CNC7", "StartTimer 1 500"}));
    EXPECT_EQ(messages.messages.back().flags, kMbOkCancel | kMbIconExclamation);

    // Only the check's own timer counts, and only once.
    logic.OnTimer(2);
    EXPECT_EQ(Taken(), Log{});
    logic.OnTimer(kRemoveCheckTimerId);
    logic.OnTimer(kRemoveCheckTimerId);
    EXPECT_EQ(Taken(), Then(Then({"StopTimer 1"}, kRelist),
                            {"Message The virtual COM port pair was removed successfully."}));
    EXPECT_EQ(messages.messages.back().flags, kMbIconInformation);
    EXPECT_EQ(dialog.shown, (Texts{"COM1", "COM3-ZADURUV3"}));

    // A pair still listed after the check is an error.
    pairs.removeLeavesPairListed = true;
    Select("COM3-ZADURUV3");
    logic.OnRemovePair();
    logic.OnTimer(kRemoveCheckTimerId);
    EXPECT_EQ(Taken().back(), "Message Error occurred, cannot remove the COM-port pair.");
    EXPECT_EQ(messages.messages.back().flags, kMbIconExclamation);
}

TEST_F(VirtualPortTest, RemoveRefusalsFailuresAndTheHeldButtons) {
    Open({{"CNC5", "COM5", "ZADURUV5"}}, {"COM1"});
    // A physical port: refused after the question, the library is not asked.
    Select("COM1");
    logic.OnRemovePair();
    EXPECT_EQ(Taken(), (Log{kQuestion, "Message Cannot remove a physical COM port."}));

    // Anything but OK stops at the question.
    Select("COM5-ZADURUV5");
    messages.answers = {kIdCancel};
    logic.OnRemovePair();
    EXPECT_EQ(Taken(), Log{kQuestion});

    // The library refuses: its text, no check.
    pairs.removeWorks = false;
    pairs.errorText = "There is no virtual port pair CNC5.";
    logic.OnRemovePair();
    EXPECT_EQ(Taken(), (Log{kQuestion, "VcpRemovePair CNC5", "VcpGetLastErrorText",
                            "Message There is no virtual port pair CNC5."}));

    // While a check is pending both buttons are quiet, and Close still
    // reports the outcome.
    pairs.removeWorks = true;
    logic.OnRemovePair();
    Taken();
    logic.OnInstallPair();
    logic.OnRemovePair();
    EXPECT_EQ(log, Log{});
    logic.OnCancel();
    logic.OnCancel();
    EXPECT_EQ(Taken(), (Log{"StopTimer 1", "VcpInitialize", "VcpGetPairCount",
                            "Message The virtual COM port pair was removed successfully.",
                            "EndDialog 2", "EndDialog 2"}));

    // An empty list has nothing to remove and asks nothing.
    Open({});
    logic.OnRemovePair();
    EXPECT_EQ(log, Log{});
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
    logic.OnTimer(kWaitTimerId);
    for (int i = 0; i < 4; ++i)
        logic.OnTimer(kWaitStepTimerId);
    // Destroyed in the middle of a tick: both timers stop, once.
    logic.OnTimer(kWaitTimerId);
    logic.OnDestroy();
    logic.OnDestroy();
    EXPECT_EQ(window.log,
              (Log{"Installing, please wait...", "start 1 2000", "Installing, please wait.,",
                   "start 2 500", "Installing, please wait...", "Installing, please wait.",
                   "stop 2", "Installing, please wait.,", "start 2 500", "stop 2", "stop 1"}));
}
