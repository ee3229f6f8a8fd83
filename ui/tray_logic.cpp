#include "ui/tray_logic.h"

namespace clst {

std::string TrayLogic::ClipTip(const std::string& tip) {
    return tip.substr(0, kTrayTipLength);
}

TrayMenuState TrayLogic::MenuState() const {
    TrayMenuState state;
    state.connectEnabled = !connected_;
    state.disconnectEnabled = connected_;
    state.echoChecked = echo_;
    return state;
}

TrayAction TrayLogic::HandleIconMessage(int iconId, uint32_t mouseMessage, bool haveTarget) const {
    if (iconId != kTrayMenuId || !haveTarget)
        return TrayAction::Ignore;
    switch (mouseMessage & 0xFFFFu) {
        case kMouseRightButtonUp:
            return TrayAction::ShowMenu;
        case kMouseLeftDoubleClick:
            return TrayAction::Restore;
        default:
            return TrayAction::Nothing;
    }
}

}  // namespace clst
