// The tray icon's rules, free of any toolkit: the tool tip, the popup
// menu's entry states and what a mouse message on the icon does.
#pragma once

#include <cstdint>
#include <string>

namespace clst {

// The tray popup menu and its commands.
inline constexpr int kTrayMenuId = 137;
inline constexpr uint32_t kTrayCallbackMessage = 0x800A;
inline constexpr uint32_t kCmdTrayShow = 32791;
inline constexpr uint32_t kCmdTrayConnect = 32794;
inline constexpr uint32_t kCmdTrayDisconnect = 32795;
inline constexpr uint32_t kCmdTrayPortSettings = 32792;
inline constexpr uint32_t kCmdTrayVirtualPorts = 32809;
inline constexpr uint32_t kCmdTrayEcho = 32798;
inline constexpr uint32_t kCmdTrayClearEcho = 32802;
inline constexpr uint32_t kCmdTrayExit = 32796;
// Mouse messages as the icon reports them.
inline constexpr uint32_t kMouseRightButtonUp = 0x205;
inline constexpr uint32_t kMouseLeftDoubleClick = 0x203;
// A tool tip shows at most this many characters.
inline constexpr size_t kTrayTipLength = 127;

struct TrayMenuState {
    bool connectEnabled = true;
    bool disconnectEnabled = false;
    bool echoChecked = false;
    uint32_t defaultCommand = kCmdTrayShow;

    bool operator==(const TrayMenuState&) const = default;
};

enum class TrayAction { Ignore, ShowMenu, Restore, Nothing };

class TrayLogic {
  public:
    // The tip as shown: its first kTrayTipLength characters.
    static std::string ClipTip(const std::string& tip);

    void SetConnected(bool connected) { connected_ = connected; }
    void SetEcho(bool echo) { echo_ = echo; }
    bool connected() const { return connected_; }
    bool echo() const { return echo_; }

    // Entry states for the popup menu, read just before it is shown.
    TrayMenuState MenuState() const;

    // What a mouse message for icon `iconId` does. Messages for another icon
    // or without a target window are ignored.
    TrayAction HandleIconMessage(int iconId, uint32_t mouseMessage, bool haveTarget) const;

  private:
    bool connected_ = false;
    bool echo_ = false;
};

}  // namespace clst
