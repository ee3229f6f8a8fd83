// The notification-area icon: icon and tip kept current, the popup menu with
// the connection states, a double click restores the window. Where the
// desktop has no notification area, the window is minimised instead of
// hidden so that it can never be lost.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>

#include "ui/tray_logic.h"

class QAction;
class QMenu;
class QSystemTrayIcon;
class QWidget;

class CSystemTray : public QObject {
    Q_OBJECT
  public:
    explicit CSystemTray(QObject* parent = nullptr);
    ~CSystemTray() override;

    // Adds the icon with `tip` and icon resource `iconId` (146 or 147). Menu
    // commands go to `onCommand`, a double click to `onRestore`. False when
    // the desktop has no notification area (then every change is only kept).
    bool Install(const QString& tip, int iconId, std::function<void(uint32_t)> onCommand,
                 std::function<void()> onRestore);
    // Takes the icon out of the notification area (the program is ending).
    void Remove();
    void ChangeIcon(int iconId);
    void ChangeTip(const QString& tip);
    void SetConnected(bool connected) { logic_.SetConnected(connected); }
    void SetEcho(bool echo) { logic_.SetEcho(echo); }

    // The popup menu with its entry states as they are about to be shown.
    QMenu* menu();
    void UpdateMenu();
    // What a mouse message on the icon does (a double click restores).
    void HandleIconMessage(int iconId, uint32_t mouseMessage);

    QString tip() const { return tip_; }
    int iconId() const { return iconId_; }
    bool installed() const { return icon_ != nullptr; }
    const clst::TrayLogic& logic() const { return logic_; }

    // Icon resource 128 (the window), 146 or 147 (the tray).
    static QIcon LoadIcon(int iconId);

  private:
    QAction* AddEntry(const char* text, uint32_t commandId);

    clst::TrayLogic logic_;
    QSystemTrayIcon* icon_ = nullptr;
    QMenu* menu_ = nullptr;
    QAction* show_ = nullptr;
    QAction* connect_ = nullptr;
    QAction* disconnect_ = nullptr;
    QAction* echo_ = nullptr;
    QString tip_;
    int iconId_ = 0;
    std::function<void(uint32_t)> onCommand_;
    std::function<void()> onRestore_;
};

// Moves a top-level window into the notification area and back. Without a
// notification area (`trayAvailable` false) the window is minimised and
// restored instead.
void HideToTray(QWidget* window, bool trayAvailable);
void ShowFromTray(QWidget* window);
