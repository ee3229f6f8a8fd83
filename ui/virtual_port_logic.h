// The virtual port management dialog's rules, free of any toolkit: the pair
// list, installing a pair by number, removing the selected pair, and the
// waiting window shown while a pair is installed. The Qt dialogs (ui/qt)
// implement VirtualPortView and WaitMessageView and forward their buttons and
// timers to the controllers here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "connections/message_sink.h"
#include "connections/port_discovery.h"

namespace clst {

class PortPairLibrary;

inline constexpr int kVirtualPortDialogId = 142;
inline constexpr int kWaitMessageDialogId = 148;
// Controls of the virtual port dialog.
inline constexpr int kIdcPortList = 1032;
inline constexpr int kIdcRemovePair = 1033;
inline constexpr int kIdcPortNumber = 1034;
inline constexpr int kIdcInstallPair = 1035;
// The text of the waiting window.
inline constexpr int kIdcWaitText = 1036;

inline constexpr const char* kVirtualPortDialogCaption = "Virtual COM Port";
inline constexpr const char* kCaptionVirtualPortControl = "Virtual COM Port Control";
inline constexpr const char* kPortNumberOccupied =
    "This port number is occupied, please input another number.";
inline constexpr const char* kPairInstalled =
    "A new virtual COM port pair was installed successfully.";
inline constexpr const char* kRemovePairQuestion =
    "Do you really want to remove this virtual COM port pair?";
inline constexpr const char* kCannotRemovePhysicalPort = "Cannot remove a physical COM port.";
inline constexpr const char* kPairRemoved = "The virtual COM port pair was removed successfully.";
inline constexpr const char* kPairNotRemoved = "Error occurred, cannot remove the COM-port pair.";
// The edit offers the lowest number from 1 to this that is free.
inline constexpr int32_t kHighestOfferedPortNumber = 255;
// After a remove the driver may need a moment before the pair leaves the list.
inline constexpr unsigned kRemoveCheckTimerId = 1;
inline constexpr unsigned kRemoveCheckDelayMs = 500;

inline constexpr const char* kWaitMessageCaption = "Information";
inline constexpr const char* kInstallingText = "Installing, please wait...";
// What the waiting window shows on each tick, kWaitStepMs apart.
inline constexpr const char* kInstallingTickTexts[] = {
    "Installing, please wait.,", "Installing, please wait...", "Installing, please wait."};
inline constexpr unsigned kWaitTimerId = 1;
inline constexpr unsigned kWaitTimerPeriodMs = 2000;
inline constexpr unsigned kWaitStepTimerId = 2;
inline constexpr unsigned kWaitStepMs = 500;

// One item of the port list: its text and, for a pair, the pair's number.
struct PortListItem {
    std::string text;
    int32_t data = 0;

    bool operator==(const PortListItem&) const = default;
};

// What the rules need of the dialog's window. Timers repeat until stopped.
class VirtualPortView {
  public:
    virtual ~VirtualPortView() = default;
    virtual std::string PortNumberText() = 0;
    virtual void SetPortNumberText(const std::string& text) = 0;
    // Replaces the items of the port list and selects `current` (-1: none).
    virtual void ShowPortList(const std::vector<std::string>& texts, int current) = 0;
    // The selected item of the port list, -1 when none.
    virtual int CurrentPortIndex() = 0;
    // The waiting window: created modeless and painted before the caller
    // blocks in the library, destroyed when the call returned.
    virtual void CreateWaitWindow() = 0;
    virtual void DestroyWaitWindow() = 0;
    virtual void StartTimer(unsigned id, unsigned periodMs) = 0;
    virtual void StopTimer(unsigned id) = 0;
    virtual void EndDialog(int result) = 0;
};

class VirtualPortController {
  public:
    VirtualPortController(VirtualPortView& view, PortPairLibrary& library, MessageSink& messages);

    // The main window's COM port list, before the dialog runs: the pairs go
    // to m_pairs, the names of all other ports to m_otherPorts.
    void LoadPortEntries(const std::vector<PortEntry>& entries);

    void OnInitDialog();
    void OnInstallPair();
    void OnRemovePair();
    void OnTimer(unsigned timerId);
    // "Close": a pending check of a remove still reports its outcome.
    void OnCancel();

    // m_pairs from the library.
    void ReloadPairs();
    // ReloadPairs, then the port list from m_pairs and m_otherPorts.
    void RefreshPairList();
    // The lowest port number the library does not report in use, up to
    // kHighestOfferedPortNumber; 1 when all are.
    int32_t LowestFreePortNumber();

    // The port list in the order shown.
    const std::vector<PortListItem>& portList() const { return items_; }
    bool removeCheckPending() const { return removeCheckPending_; }

    std::vector<PortEntry> m_pairs;
    std::vector<std::string> m_otherPorts;

  private:
    // Inserts at the item's place in case-insensitive alphabetical order
    // (behind equal texts), as a sorted combo box does; returns the index.
    size_t AddItem(const std::string& text, int32_t data);
    // Case-insensitive exact search, as CB_FINDSTRINGEXACT; -1 when absent.
    int FindItemExact(const std::string& text) const;
    void CheckRemovedPair();
    void ShowLibraryError();
    int Show(const char* text, unsigned flags);

    VirtualPortView& view_;
    PortPairLibrary& library_;
    MessageSink& messages_;
    std::vector<PortListItem> items_;
    bool installing_ = false;
    bool removeCheckPending_ = false;
    std::string removedText_;
};

// What the waiting window's rules need of it.
class WaitMessageView {
  public:
    virtual ~WaitMessageView() = default;
    virtual void SetText(const std::string& text) = 0;
    virtual void StartTimer(unsigned id, unsigned periodMs) = 0;
    virtual void StopTimer(unsigned id) = 0;
};

// The waiting window: its text, and on every tick of its timer the three
// tick texts in turn, one step apart.
class WaitMessageController {
  public:
    explicit WaitMessageController(WaitMessageView& view) : view_(view) {}

    void OnInitDialog();
    void OnTimer(unsigned timerId);
    void OnDestroy();

    // The running timer's identifier, 0 when none.
    unsigned m_nTimerId = 0;

  private:
    WaitMessageView& view_;
    size_t step_ = 0;  // tick texts shown so far in this tick, 0 when idle
};

// The value of the decimal number at the start of `text` as atoi reads it
// (leading blanks and a sign allowed, 0 when there is none), clamped to the
// 32-bit range.
int32_t LeadingNumber(const char* text);

}  // namespace clst
