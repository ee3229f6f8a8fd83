// The port settings dialog's rules, free of any toolkit: the items, item data
// and order of its seven lists, the selections made on opening, the
// physical-ports check box, and the checks and conversions of Confirm with
// the write-back of the serial parameters. The Qt dialog (ui/qt) implements
// PortSettingsView and forwards its button clicks here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "connections/connection_settings.h"
#include "connections/message_sink.h"
#include "connections/port_discovery.h"

namespace clst {

inline constexpr int kPortSettingsDialogId = 102;
inline constexpr int kShowPhysicalCheckBoxId = 1031;

// The dialog's lists, numbered by their control identifiers.
enum class PortSettingsList {
    Parity = 1018,
    StopBit = 1019,
    DataBits = 1020,
    ClSerBaud = 1022,
    ComBaud = 1023,
    ComPort = 1026,
    ClSerPort = 1027,
};

inline constexpr const char* kPortSettingsCaption = "Port configuration";
inline constexpr const char* kBaudMismatchQuestion =
    "The baud rate of COM-port and Clser-port are different, this may lead to data lost.\n"
    "Are you sure to confirm it?\n";
inline constexpr const char* kPhysicalPortRefusal =
    "Cannot connect to a physical COM port, please choose a virtual COM port pair.";

// One drop-down list as the Win32 combo box keeps it: texts with a 32-bit
// item data each, optionally sorted, and one selected position (-1: none).
class ComboList {
  public:
    explicit ComboList(bool sorted = false) : sorted_(sorted) {}

    void ResetContent();
    // Adds `text` at the end, or, in a sorted list, before the first item
    // whose text is greater ignoring case. Returns the position it got.
    int AddString(const std::string& text);
    // False when `index` is not an item.
    bool SetItemData(int index, int32_t data);
    // The item's data, -1 (CB_ERR) when `index` is not an item.
    int32_t ItemData(int index) const;
    // The item's text, empty when `index` is not an item.
    std::string Text(int index) const;
    // The first item whose text begins with `prefix`, ignoring case, looking
    // from the item after `startAfter` to the end and then from the first
    // item up to `startAfter` itself; -1 searches the whole list from the
    // start. Returns -1 when no item matches.
    int FindString(int startAfter, const std::string& prefix) const;
    // Selects `index`; anything that is not an item selects nothing.
    void SetCurSel(int index);
    int CurSel() const { return curSel_; }
    int Count() const { return static_cast<int>(items_.size()); }
    std::vector<std::string> Texts() const;

  private:
    struct Item {
        std::string text;
        int32_t data = 0;
    };
    bool sorted_;
    std::vector<Item> items_;
    int curSel_ = -1;
};

// What the rules need of the dialog's window.
class PortSettingsView {
  public:
    virtual ~PortSettingsView() = default;
    // Replaces the items of `list` by `texts`, in this order.
    virtual void SetListItems(PortSettingsList list, const std::vector<std::string>& texts) = 0;
    // Selects position `index` of `list`; -1 selects nothing.
    virtual void SetListSelection(PortSettingsList list, int index) = 0;
    // The position the user has selected in `list`, -1 when none.
    virtual int ListSelection(PortSettingsList list) = 0;
    virtual void SetShowPhysicalChecked(bool checked) = 0;
    virtual bool ShowPhysicalChecked() = 0;
    // Ends the dialog as confirmed.
    virtual void CloseWithOk() = 0;
};

class PortSettingsLogic {
  public:
    // `saveToConfig`: write confirmed serial parameters into the
    // configuration file (instances started with AUTORUN). `configDirectory`
    // is where that file lives; empty means beside the executable.
    PortSettingsLogic(PortSettingsView& view, MessageSink& messages, bool saveToConfig,
                      std::string configDirectory = std::string());

    // An empty list keeps the previous one.
    void SetClSerPorts(const std::vector<std::string>& ports);
    void SetComPorts(const std::vector<PortEntry>& ports);
    // Every field but `echo`, which belongs to the main window alone.
    void SetSettings(const ConnectionSettings& settings);
    void GetSettings(ConnectionSettings& settings) const;

    // Fills all seven lists and the check box from the members; runs at
    // every opening.
    void OnInitDialog();
    // Refills the COM port list and selects the confirmed pair, or the first
    // item.
    void FillComPortList();
    // The check box was clicked.
    void OnShowPhysicalPorts();
    // The Confirm button: checks, takes the selections into the settings,
    // writes back when asked to, and closes the dialog with OK.
    void OnConfirm();

    const ComboList& List(PortSettingsList list) const;
    bool showPhysical() const { return m_bShowPhysical; }
    bool saveToConfig() const { return m_bSaveToConfig; }

  private:
    ComboList& ListOf(PortSettingsList list);
    // Hands the list's items and selection to the window.
    void Show(PortSettingsList list);

    PortSettingsView& view_;
    MessageSink& messages_;
    std::string configDirectory_;

    ComboList m_comboParity;
    ComboList m_comboDataBits;
    ComboList m_comboStopBit;
    ComboList m_comboClSerBaud;
    ComboList m_comboComBaud;
    ComboList m_comboClSerPort{true};
    ComboList m_comboComPort{true};
    std::vector<std::string> m_clserPorts;
    std::vector<PortEntry> m_comPorts;
    ConnectionSettings m_settings;
    bool m_bShowPhysical = false;
    bool m_bSaveToConfig;
};

}  // namespace clst
