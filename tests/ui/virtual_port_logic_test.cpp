// The virtual port dialog's rules over one stand-in for its window and the
// port-pair library, with the message boxes: all write into one log, so the
// order of library calls, window changes and messages is checked together.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "portpairs/port_pair_library.h"
#include "tests/support/message_recorder.h"
#include "ui/virtual_port_logic.h"

using namespace clst;

namespace {

using Log = std::vector<std::string>;
using Texts = std::vector<std::string>;

class Scripted : public PortPairLibrary, public VirtualPortView {
  public:
    explicit Scripted(Log& log) : PortPairLibrary("/nonexistent/lib.so"), log_(log) {}

    // The library.
    int32_t VcpInitialize() override { return Note("VcpInitialize", 1); }
    int32_t VcpGetPairCount() override {
        return Note("VcpGetPairCount", ready ? static_cast<int32_t>(pairs.size()) : -1);
    }
    int32_t VcpGetPair(int32_t index, char* name, char* first, char* second) override {
        const PortEntry& p = pairs.at(static_cast<size_t>(index));
        // Names of 20 characters fill the buffer without a NUL.
        std::strncpy(name, p.pairName.c_str(), 20);
        std::strncpy(first, p.comPortName.c_str(), 20);
        std::strncpy(second, p.devicePortName.c_str(), 20);
        return Note("VcpGetPair " + std::to_string(index), 1);
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
    // Taken: a number in `inUse` (the machine's own ports) or of a pair.
    int32_t VcpIsPortNumberInUse(int32_t number) override {
        const std::string n = std::to_string(number);
        const bool pair = std::any_of(pairs.begin(), pairs.end(),
                                      [&](const PortEntry& p) { return p.pairName == "CNC" + n; });
        return Note("VcpIsPortNumberInUse " + n, pair || inUse.contains(number));
    }

    // The dialog.
    std::string PortNumberText() override { return number; }
    void SetPortNumberText(const std::string& text) override { number = text; }
    void ShowPortList(const Texts& texts, int current) override {
        shown = texts;
        selected = current;
    }
    int CurrentPortIndex() override { return selected; }
    void CreateWaitWindow() override { Note("CreateWaitWindow", 0); }
    void DestroyWaitWindow() override { Note("DestroyWaitWindow", 0); }
    void StartTimer(unsigned id, unsigned ms) override {
        Note("StartTimer " + std::to_string(id) + " " + std::to_string(ms), 0);
    }
    void StopTimer(unsigned id) override { Note("StopTimer " + std::to_string(id), 0); }
    void EndDialog(int result) override { Note("EndDialog " + std::to_string(result), 0); }

    std::vector<PortEntry> pairs;
    bool ready = true, installWorks = true, removeWorks = true, removeLeavesPairListed = false;
    std::set<int32_t> inUse;
    std::string errorText, number;
    Texts shown;
    int selected = -1;

  private:
    int32_t Note(const std::string& call, int32_t result) {
        log_.push_back(call);
        return result;
    }
    Log& log_;
};

const std::string kQuestion = "Message Do you really want to remove this virtual COM port pair?";
const Log kRelist = {"VcpInitialize", "VcpGetPairCount", "VcpGetPair 0"};

Log operator+(Log first, const Log& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

class VirtualPortTest : public ::testing::Test {
  protected:
    VirtualPortTest() { messages.log = &log; }

    // Every message box of the dialog has the same caption; only the
    // question has more than an OK button.
    void TearDown() override {
        for (const auto& m : messages.messages) {
            EXPECT_EQ(m.caption, "Virtual COM Port Control");
            EXPECT_EQ(m.flags & 0xF, "Message " + m.text == kQuestion ? kMbOkCancel : kMbOk);
        }
    }

    // Opens the dialog on the library's pairs and the window's other ports,
    // then forgets the log.
    void Open(std::vector<PortEntry> library, const std::vector<PortEntry>& window = {}) {
        s.pairs = std::move(library);
        logic.LoadPortEntries(window);
        logic.OnInitDialog();
        log.clear();
    }
    void Select(const std::string& text) {
        const auto it = std::find(s.shown.begin(), s.shown.end(), text);
        ASSERT_NE(it, s.shown.end()) << text;
        s.selected = static_cast<int>(it - s.shown.begin());
    }
    // The log since the last call.
    Log Taken() { return std::exchange(log, {}); }

    Log log;
    Scripted s{log};
    clst::testing::RecordingSink messages;
    VirtualPortController logic{s, s, messages};
};

}  // namespace

TEST_F(VirtualPortTest, ListHoldsTheLibrarysPairsAndTheOtherPortsSorted) {
    // The handed-over pair CNC99 is not listed: pairs always come from the
    // library.
    logic.LoadPortEntries({{"", "COM1", ""}, {"CNC99", "COM99", "ZADURUV99"}, {"", "com2", ""}});
    s.pairs = {{"CNC7", "COM12", "ZADURUV12"}, {"CNC3", "COM3", "ZADURUV3"}};
    logic.OnInitDialog();
    EXPECT_EQ(Taken(), Log{"VcpIsPortNumberInUse 1"} + kRelist + Log{"VcpGetPair 1"});
    EXPECT_EQ(s.shown, (Texts{"COM1", "COM12-ZADURUV12", "com2", "COM3-ZADURUV3"}));
    EXPECT_EQ(s.selected, 0);

    // A pair without a name is listed by its first port alone; a name
    // filling its whole buffer is read to its end (and its number clamped).
    Open({{"", "COM8", "ZADURUV8"}, {"CNC12345678901234567", "COM9", "ZADURUV9"}});
    EXPECT_EQ(logic.portList(),
              (std::vector<PortListItem>{{"COM8", 0}, {"COM9-ZADURUV9", INT32_MAX}}));
    EXPECT_EQ(logic.m_pairs[1].pairName, "CNC12345678901234567");

    // A library that is not ready lists no pairs, only the others.
    s.ready = false;
    Open({{"CNC4", "COM4", "ZADURUV4"}}, {{"", "COM2", ""}});
    EXPECT_EQ(s.shown, Texts{"COM2"});
    Open({});
    EXPECT_EQ(s.selected, -1);
}

TEST_F(VirtualPortTest, InstallChecksTheNumberThenRunsInsideTheWaitWindow) {
    // The edit offers the lowest free number: COM1 is the machine's own,
    // COM2 a pair's; after an install, the next one.
    s.inUse = {1, 7};
    Open({{"CNC2", "COM2", "ZADURUV2"}}, {{"", "COM1", ""}});
    EXPECT_EQ(s.number, "3");
    s.number = "7";
    logic.OnInstallPair();
    EXPECT_EQ(Taken(), (Log{"VcpIsPortNumberInUse 7",
                            "Message This port number is occupied, please input another number."}));

    s.number = "3";
    logic.OnInstallPair();
    EXPECT_EQ(Taken(), (Log{"VcpIsPortNumberInUse 3", "CreateWaitWindow", "VcpInstallPair 3",
                            "DestroyWaitWindow",
                            "Message A new virtual COM port pair was installed successfully."} +
                        kRelist +
                        Log{"VcpGetPair 1", "VcpIsPortNumberInUse 1", "VcpIsPortNumberInUse 2",
                            "VcpIsPortNumberInUse 3", "VcpIsPortNumberInUse 4"}));
    EXPECT_EQ(s.shown, (Texts{"COM1", "COM2-ZADURUV2", "COM3-ZADURUV3"}));
    EXPECT_EQ(s.number, "4");

    // An empty edit reads as 0, and the number goes to both calls.
    s.number = "";
    s.installWorks = false;
    s.errorText = "The port number 0 is not valid; use 1 to 9999.";
    logic.OnInstallPair();
    EXPECT_EQ(Taken(), (Log{"VcpIsPortNumberInUse 0", "CreateWaitWindow", "VcpInstallPair 0",
                            "DestroyWaitWindow", "VcpGetLastErrorText",
                            "Message The port number 0 is not valid; use 1 to 9999."}));
}

TEST_F(VirtualPortTest, RemoveAsksThenReportsAfterTheRecheck) {
    Open({{"CNC7", "COM12", "ZADURUV12"}, {"CNC3", "COM3", "ZADURUV3"}}, {{"", "COM1", ""}});
    // A physical port: refused after the question, the library is not asked.
    logic.OnRemovePair();
    EXPECT_EQ(Taken(), (Log{kQuestion, "Message Cannot remove a physical COM port."}));
    // Anything but OK stops at the question.
    Select("COM12-ZADURUV12");
    messages.answers = {kIdCancel};
    logic.OnRemovePair();
    EXPECT_EQ(Taken(), Log{kQuestion});
    // The library refuses: its text, no check.
    s.removeWorks = false;
    s.errorText = "There is no virtual port pair CNC7.";
    logic.OnRemovePair();
    EXPECT_EQ(Taken(), (Log{kQuestion, "VcpRemovePair CNC7", "VcpGetLastErrorText",
                            "Message There is no virtual port pair CNC7."}));

    s.removeWorks = true;
    logic.OnRemovePair();
    EXPECT_EQ(Taken(), (Log{kQuestion, "VcpRemovePair CNC7", "StartTimer 1 500"}));
    // While the check is pending both buttons are quiet; only the check's
    // own timer counts, and only once.
    logic.OnInstallPair();
    logic.OnRemovePair();
    logic.OnTimer(2);
    EXPECT_EQ(Taken(), Log{});
    logic.OnTimer(kRemoveCheckTimerId);
    logic.OnTimer(kRemoveCheckTimerId);
    EXPECT_EQ(Taken(), Log{"StopTimer 1"} + kRelist +
                           Log{"Message The virtual COM port pair was removed successfully."});
    EXPECT_EQ(s.shown, (Texts{"COM1", "COM3-ZADURUV3"}));

    // A pair still listed after the check is an error; Close still reports
    // a pending check.
    s.removeLeavesPairListed = true;
    Select("COM3-ZADURUV3");
    logic.OnRemovePair();
    logic.OnCancel();
    logic.OnCancel();
    EXPECT_EQ(Taken(),
              (Log{kQuestion, "VcpRemovePair CNC3", "StartTimer 1 500", "StopTimer 1"} + kRelist +
               Log{"Message Error occurred, cannot remove the COM-port pair.", "EndDialog 2",
                   "EndDialog 2"}));

    // An empty list has nothing to remove and asks nothing.
    Open({});
    logic.OnRemovePair();
    EXPECT_EQ(log, Log{});
}
