#include "ui/virtual_port_logic.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "portpairs/port_pair_library.h"

namespace clst {

namespace {

constexpr size_t kTickTextCount = std::size(kInstallingTickTexts);

int CompareNoCase(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// A text from one of the library's fixed-size buffers, which need not end
// in a NUL when the library misbehaves.
std::string FromBuffer(const char* buffer, size_t size) {
    return std::string(buffer, strnlen(buffer, size));
}

}  // namespace

int32_t LeadingNumber(const char* text) {
    const long long value = std::strtoll(text, nullptr, 10);
    return static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

VirtualPortController::VirtualPortController(VirtualPortView& view, PortPairLibrary& library,
                                             MessageSink& messages)
    : view_(view), library_(library), messages_(messages) {}

void VirtualPortController::LoadPortEntries(const std::vector<PortEntry>& entries) {
    m_pairs.clear();
    m_otherPorts.clear();
    for (const PortEntry& entry : entries) {
        if (!entry.pairName.empty()) {
            m_pairs.push_back(entry);
        } else {
            m_otherPorts.push_back(entry.comPortName);
        }
    }
}

void VirtualPortController::OnInitDialog() {
    // A machine with a serial port of its own has COM1 taken: the first
    // number offered must be one that Install takes.
    view_.SetPortNumberText(std::to_string(LowestFreePortNumber()));
    RefreshPairList();
}

int32_t VirtualPortController::LowestFreePortNumber() {
    for (int32_t number = 1; number <= kHighestOfferedPortNumber; ++number) {
        if (library_.VcpIsPortNumberInUse(number) == 0)
            return number;
    }
    return 1;
}

void VirtualPortController::ReloadPairs() {
    m_pairs.clear();
    // The dialog lists whatever the library gives; a library that is not
    // ready simply reports no pairs.
    library_.VcpInitialize();
    const int32_t count = library_.VcpGetPairCount();
    for (int32_t i = 0; i < count; ++i) {
        constexpr size_t kSize = PortPairLibrary::kNameBufferSize;
        char pairName[kSize] = {};
        char firstPort[kSize] = {};
        char secondPort[kSize] = {};
        if (library_.VcpGetPair(i, pairName, firstPort, secondPort) != 0) {
            m_pairs.push_back({FromBuffer(pairName, kSize), FromBuffer(firstPort, kSize),
                               FromBuffer(secondPort, kSize)});
        }
    }
}

void VirtualPortController::RefreshPairList() {
    ReloadPairs();
    items_.clear();
    for (const PortEntry& pair : m_pairs) {
        if (pair.pairName.empty()) {
            AddItem(pair.comPortName, 0);
            continue;
        }
        // "CNC<n>": the number starts at the fourth character.
        const int32_t number =
            pair.pairName.size() >= 3 ? LeadingNumber(pair.pairName.c_str() + 3) : 0;
        AddItem(pair.comPortName + "-" + pair.devicePortName, number);
    }
    for (const std::string& name : m_otherPorts) {
        AddItem(name, 0);
    }
    std::vector<std::string> texts;
    texts.reserve(items_.size());
    for (const PortListItem& item : items_) {
        texts.push_back(item.text);
    }
    view_.ShowPortList(texts, items_.empty() ? -1 : 0);
}

size_t VirtualPortController::AddItem(const std::string& text, int32_t data) {
    const auto place = std::upper_bound(items_.begin(), items_.end(), text,
                                        [](const std::string& t, const PortListItem& item) {
                                            return CompareNoCase(t, item.text) < 0;
                                        });
    const auto inserted = items_.insert(place, {text, data});
    return static_cast<size_t>(inserted - items_.begin());
}

int VirtualPortController::FindItemExact(const std::string& text) const {
    for (size_t i = 0; i < items_.size(); ++i) {
        if (CompareNoCase(items_[i].text, text) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int VirtualPortController::Show(const char* text, unsigned flags) {
    return messages_.ShowMessage(text, kCaptionVirtualPortControl, flags);
}

void VirtualPortController::ShowLibraryError() {
    char text[PortPairLibrary::kErrorTextSize] = {};
    library_.VcpGetLastErrorText(text);
    messages_.ShowMessage(FromBuffer(text, sizeof(text)), kCaptionVirtualPortControl,
                          kMbIconExclamation);
}

void VirtualPortController::OnInstallPair() {
    // The buttons stay quiet until the running install or the check of a
    // remove is done.
    if (installing_ || removeCheckPending_) {
        return;
    }
    const int32_t number = LeadingNumber(view_.PortNumberText().c_str());
    if (library_.VcpIsPortNumberInUse(number) != 0) {
        Show(kPortNumberOccupied, kMbIconExclamation);
        return;
    }
    installing_ = true;
    view_.CreateWaitWindow();
    const int32_t installed = library_.VcpInstallPair(number);
    view_.DestroyWaitWindow();
    installing_ = false;
    if (installed != 0) {
        Show(kPairInstalled, kMbIconInformation);
        RefreshPairList();
        view_.SetPortNumberText(std::to_string(LowestFreePortNumber()));
    } else {
        ShowLibraryError();
    }
}

void VirtualPortController::OnRemovePair() {
    // With an empty list there is nothing to ask about.
    if (installing_ || removeCheckPending_ || items_.empty()) {
        return;
    }
    if (Show(kRemovePairQuestion, kMbOkCancel | kMbIconExclamation) != kIdOk) {
        return;
    }
    const int current = view_.CurrentPortIndex();
    const PortListItem selected = current >= 0 && static_cast<size_t>(current) < items_.size()
                                      ? items_[static_cast<size_t>(current)]
                                      : PortListItem{};
    if (selected.text.find(kVirtualPortMarker) == std::string::npos) {
        Show(kCannotRemovePhysicalPort, kMbIconExclamation);
        return;
    }
    const std::string pairName = "CNC" + std::to_string(selected.data);
    if (library_.VcpRemovePair(pairName.c_str()) == 0) {
        ShowLibraryError();
        return;
    }
    removedText_ = selected.text;
    removeCheckPending_ = true;
    view_.StartTimer(kRemoveCheckTimerId, kRemoveCheckDelayMs);
}

void VirtualPortController::OnTimer(unsigned timerId) {
    if (timerId == kRemoveCheckTimerId && removeCheckPending_) {
        CheckRemovedPair();
    }
}

void VirtualPortController::CheckRemovedPair() {
    // Stopped before the message box, whose own loop would tick again.
    view_.StopTimer(kRemoveCheckTimerId);
    removeCheckPending_ = false;
    RefreshPairList();
    if (FindItemExact(removedText_) < 0) {
        Show(kPairRemoved, kMbIconInformation);
    } else {
        Show(kPairNotRemoved, kMbIconExclamation);
    }
}

void VirtualPortController::OnCancel() {
    if (removeCheckPending_) {
        CheckRemovedPair();
    }
    view_.EndDialog(kIdCancel);
}

void WaitMessageController::OnInitDialog() {
    view_.SetText(kInstallingText);
    view_.StartTimer(kWaitTimerId, kWaitTimerPeriodMs);
    m_nTimerId = kWaitTimerId;
}

void WaitMessageController::OnTimer(unsigned timerId) {
    if (timerId == m_nTimerId && m_nTimerId != 0) {
        view_.SetText(kInstallingTickTexts[0]);
        step_ = 1;
        view_.StartTimer(kWaitStepTimerId, kWaitStepMs);
    } else if (timerId == kWaitStepTimerId && step_ != 0) {
        if (step_ < kTickTextCount) {
            view_.SetText(kInstallingTickTexts[step_]);
            ++step_;
        } else {
            // The last text stays for one step, then the window waits for
            // the next tick.
            view_.StopTimer(kWaitStepTimerId);
            step_ = 0;
        }
    }
}

void WaitMessageController::OnDestroy() {
    if (step_ != 0) {
        view_.StopTimer(kWaitStepTimerId);
        step_ = 0;
    }
    if (m_nTimerId != 0) {
        view_.StopTimer(m_nTimerId);
        m_nTimerId = 0;
    }
}

}  // namespace clst
