#include "ui/port_settings_logic.h"

#include <cstddef>
#include <cstdlib>
#include <utility>

namespace clst {

namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Negative, zero or positive as `a` sorts before, with or after `b`,
// ignoring the case of ASCII letters.
int CompareIgnoringCase(const std::string& a, const std::string& b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const unsigned char ca = static_cast<unsigned char>(Lower(a[i]));
        const unsigned char cb = static_cast<unsigned char>(Lower(b[i]));
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool StartsWithIgnoringCase(const std::string& text, const std::string& prefix) {
    if (prefix.size() > text.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (Lower(text[i]) != Lower(prefix[i]))
            return false;
    return true;
}

// Every text search of the dialog starts after the first item.
constexpr int kSearchStart = 0;

constexpr const char* kDataBitsTexts[] = {"5", "6", "7", "8", "9"};

}  // namespace

void ComboList::ResetContent() {
    items_.clear();
    curSel_ = -1;
}

int ComboList::AddString(const std::string& text) {
    size_t pos = items_.size();
    if (sorted_) {
        pos = 0;
        while (pos < items_.size() && CompareIgnoringCase(items_[pos].text, text) <= 0)
            ++pos;
    }
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(pos), Item{text, 0});
    // The selection stays on the item it was on.
    if (curSel_ >= static_cast<int>(pos))
        ++curSel_;
    return static_cast<int>(pos);
}

bool ComboList::SetItemData(int index, int32_t data) {
    if (index < 0 || index >= Count())
        return false;
    items_[static_cast<size_t>(index)].data = data;
    return true;
}

int32_t ComboList::ItemData(int index) const {
    if (index < 0 || index >= Count())
        return -1;
    return items_[static_cast<size_t>(index)].data;
}

std::string ComboList::Text(int index) const {
    if (index < 0 || index >= Count())
        return std::string();
    return items_[static_cast<size_t>(index)].text;
}

int ComboList::FindString(int startAfter, const std::string& prefix) const {
    const int count = Count();
    if (count == 0)
        return -1;
    if (startAfter < 0 || startAfter >= count)
        startAfter = count - 1;
    for (int step = 1; step <= count; ++step) {
        const int i = (startAfter + step) % count;
        if (StartsWithIgnoringCase(items_[static_cast<size_t>(i)].text, prefix))
            return i;
    }
    return -1;
}

void ComboList::SetCurSel(int index) {
    curSel_ = (index >= 0 && index < Count()) ? index : -1;
}

std::vector<std::string> ComboList::Texts() const {
    std::vector<std::string> texts;
    texts.reserve(items_.size());
    for (const auto& item : items_)
        texts.push_back(item.text);
    return texts;
}

PortSettingsLogic::PortSettingsLogic(PortSettingsView& view, MessageSink& messages,
                                     bool saveToConfig, std::string configDirectory)
    : view_(view),
      messages_(messages),
      configDirectory_(std::move(configDirectory)),
      m_bSaveToConfig(saveToConfig) {}

void PortSettingsLogic::SetClSerPorts(const std::vector<std::string>& ports) {
    if (!ports.empty())
        m_clserPorts = ports;
}

void PortSettingsLogic::SetComPorts(const std::vector<PortEntry>& ports) {
    if (!ports.empty())
        m_comPorts = ports;
}

void PortSettingsLogic::SetSettings(const ConnectionSettings& settings) {
    const bool echo = m_settings.echo;
    m_settings = settings;
    m_settings.echo = echo;
}

void PortSettingsLogic::GetSettings(ConnectionSettings& settings) const {
    const bool echo = settings.echo;
    settings = m_settings;
    settings.echo = echo;
}

ComboList& PortSettingsLogic::ListOf(PortSettingsList list) {
    switch (list) {
        case PortSettingsList::Parity:
            return m_comboParity;
        case PortSettingsList::StopBit:
            return m_comboStopBit;
        case PortSettingsList::DataBits:
            return m_comboDataBits;
        case PortSettingsList::ClSerBaud:
            return m_comboClSerBaud;
        case PortSettingsList::ComBaud:
            return m_comboComBaud;
        case PortSettingsList::ComPort:
            return m_comboComPort;
        case PortSettingsList::ClSerPort:
            break;
    }
    return m_comboClSerPort;
}

const ComboList& PortSettingsLogic::List(PortSettingsList list) const {
    return const_cast<PortSettingsLogic*>(this)->ListOf(list);
}

void PortSettingsLogic::Show(PortSettingsList list) {
    const ComboList& combo = ListOf(list);
    view_.SetListItems(list, combo.Texts());
    view_.SetListSelection(list, combo.CurSel());
}

void PortSettingsLogic::OnInitDialog() {
    view_.SetShowPhysicalChecked(m_bShowPhysical);
    FillComPortList();

    m_comboClSerPort.ResetContent();
    for (const auto& name : m_clserPorts)
        m_comboClSerPort.AddString(name);
    m_comboClSerPort.SetCurSel(m_settings.clserPortIndex < 0 ? 0 : m_settings.clserPortIndex);
    Show(PortSettingsList::ClSerPort);

    // Item data: the Camera Link baud code of the rate.
    m_comboClSerBaud.ResetContent();
    int selected = -1;
    for (int i = 0; i < kBaudTableSize; ++i) {
        const int pos = m_comboClSerBaud.AddString(BaudText(i));
        const int32_t code = int32_t{1} << i;
        m_comboClSerBaud.SetItemData(pos, code);
        if (code == m_settings.clserBaudCode)
            selected = pos;
    }
    m_comboClSerBaud.SetCurSel(selected);
    Show(PortSettingsList::ClSerBaud);

    m_comboComBaud.ResetContent();
    for (int i = 0; i < kBaudTableSize; ++i)
        m_comboComBaud.AddString(BaudText(i));
    m_comboComBaud.SetCurSel(
        m_comboComBaud.FindString(kSearchStart, std::to_string(m_settings.comBaudRate)));
    Show(PortSettingsList::ComBaud);

    // Shown as n, e, o; the item data is the parity code (0 none, 1 odd,
    // 2 even), so odd is the third item and even the second.
    m_comboParity.ResetContent();
    m_comboParity.SetItemData(m_comboParity.AddString("n"), 0);
    m_comboParity.SetItemData(m_comboParity.AddString("e"), 2);
    m_comboParity.SetItemData(m_comboParity.AddString("o"), 1);
    switch (m_settings.parity) {
        case 0:
            m_comboParity.SetCurSel(0);
            break;
        case 1:
            m_comboParity.SetCurSel(2);
            break;
        case 2:
            m_comboParity.SetCurSel(1);
            break;
        default:
            break;
    }
    Show(PortSettingsList::Parity);

    m_comboStopBit.ResetContent();
    for (int32_t code = 0; code <= 2; ++code)
        m_comboStopBit.SetItemData(m_comboStopBit.AddString(StopBitsText(code)), code);
    m_comboStopBit.SetCurSel(
        m_settings.stopBits >= 0 && m_settings.stopBits <= 2 ? m_settings.stopBits : -1);
    Show(PortSettingsList::StopBit);

    m_comboDataBits.ResetContent();
    for (const char* text : kDataBitsTexts)
        m_comboDataBits.AddString(text);
    m_comboDataBits.SetCurSel(
        m_comboDataBits.FindString(kSearchStart, std::to_string(m_settings.dataBits)));
    Show(PortSettingsList::DataBits);
}

void PortSettingsLogic::FillComPortList() {
    m_comboComPort.ResetContent();
    if (m_comPorts.empty()) {
        Show(PortSettingsList::ComPort);
        return;
    }
    for (const auto& entry : m_comPorts) {
        if (!entry.pairName.empty())
            m_comboComPort.AddString(entry.comPortName + "-" + entry.devicePortName);
        else if (m_bShowPhysical)
            m_comboComPort.AddString(entry.comPortName);
    }
    int selected = 0;
    if (!m_settings.comPortName.empty()) {
        selected = m_comboComPort.FindString(
            kSearchStart, m_settings.comPortName + "-" + m_settings.devicePortName);
        if (selected < 0)
            selected = 0;
    }
    m_comboComPort.SetCurSel(selected);
    Show(PortSettingsList::ComPort);
}

void PortSettingsLogic::OnShowPhysicalPorts() {
    m_bShowPhysical = view_.ShowPhysicalChecked();
    FillComPortList();
}

void PortSettingsLogic::OnConfirm() {
    const std::string oldComPortName = m_settings.comPortName;
    const int32_t oldClSerPortIndex = m_settings.clserPortIndex;

    for (PortSettingsList list :
         {PortSettingsList::Parity, PortSettingsList::StopBit, PortSettingsList::DataBits,
          PortSettingsList::ClSerBaud, PortSettingsList::ComBaud, PortSettingsList::ComPort,
          PortSettingsList::ClSerPort})
        ListOf(list).SetCurSel(view_.ListSelection(list));

    const std::string comBaud = m_comboComBaud.Text(m_comboComBaud.CurSel());
    const std::string clserBaud = m_comboClSerBaud.Text(m_comboClSerBaud.CurSel());
    if (comBaud != clserBaud && messages_.ShowMessage(kBaudMismatchQuestion, kPortSettingsCaption,
                                                      kMbYesNo | kMbIconExclamation) != kIdYes)
        return;

    const std::string port = m_comboComPort.Text(m_comboComPort.CurSel());
    if (port.find(kVirtualPortMarker) == std::string::npos) {
        messages_.ShowMessage(kPhysicalPortRefusal, kPortSettingsCaption,
                              kMbOk | kMbIconExclamation);
        return;
    }

    // A pair is listed as "<com>-<device>". A port of no pair that carries
    // the marker has no hyphen; it is taken as the COM name alone and
    // connection control then refuses it for want of a device name.
    const size_t hyphen = port.find('-');
    if (hyphen == std::string::npos) {
        m_settings.comPortName = port;
        m_settings.devicePortName.clear();
    } else {
        m_settings.comPortName = port.substr(0, hyphen);
        m_settings.devicePortName = port.substr(hyphen + 1);
    }
    m_settings.clserPortIndex = m_comboClSerPort.CurSel();

    // The lists offer only valid values; a list left without a selection
    // (possible only when the field held no valid value on opening) keeps
    // its field as it was instead of storing the combo box's error value.
    if (m_comboDataBits.CurSel() >= 0)
        m_settings.dataBits = std::atoi(m_comboDataBits.Text(m_comboDataBits.CurSel()).c_str());
    if (m_comboStopBit.CurSel() >= 0)
        m_settings.stopBits = m_comboStopBit.ItemData(m_comboStopBit.CurSel());
    if (m_comboClSerBaud.CurSel() >= 0)
        m_settings.clserBaudCode = m_comboClSerBaud.ItemData(m_comboClSerBaud.CurSel());
    if (m_comboComBaud.CurSel() >= 0)
        m_settings.comBaudRate = std::atoi(comBaud.c_str());
    if (m_comboParity.CurSel() >= 0)
        m_settings.parity = m_comboParity.ItemData(m_comboParity.CurSel());

    if (m_bSaveToConfig)
        SaveToConfigFile(m_settings, oldComPortName, oldClSerPortIndex,
                         static_cast<int32_t>(m_clserPorts.size()), messages_, configDirectory_);

    view_.CloseWithOk();
}

}  // namespace clst
