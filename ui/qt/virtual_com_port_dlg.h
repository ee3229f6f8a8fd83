// The virtual port management dialog and the waiting window shown while a
// pair is installed: thin widgets over VirtualPortController and
// WaitMessageController. Message boxes go through the MessageSink given.
#pragma once

#include <QDialog>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "connections/message_sink.h"
#include "connections/port_discovery.h"
#include "ui/virtual_port_logic.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace clst {
class PortPairLibrary;

// Object names of the controls, for tests and style sheets.
inline constexpr const char* kPortNumberEditName = "portNumberEdit";
inline constexpr const char* kInstallButtonName = "installButton";
inline constexpr const char* kPortListName = "portList";
inline constexpr const char* kRemoveButtonName = "removeButton";
inline constexpr const char* kCloseButtonName = "closeButton";
inline constexpr const char* kWaitTextName = "waitText";

// Timers by the plain code's identifiers on top of QObject's timers:
// starting a running identifier restarts it.
class DialogTimers {
  public:
    explicit DialogTimers(QObject& owner) : owner_(owner) {}
    void Start(unsigned id, unsigned periodMs);
    void Stop(unsigned id);
    // The identifier of a Qt timer event, 0 when the timer is not ours.
    unsigned IdOf(int qtTimerId) const;

  private:
    QObject& owner_;
    std::map<unsigned, int> running_;
};
}  // namespace clst

// The small modeless window that says an installation is running. It shows
// itself when created.
class CMessageDlg : public QDialog, private clst::WaitMessageView {
    Q_OBJECT
  public:
    explicit CMessageDlg(QWidget* parent);
    ~CMessageDlg() override;

    QString Text() const;
    // True once the window was painted at least once.
    bool WasPainted() const { return m_bPainted; }

  signals:
    void Painted();

  protected:
    void timerEvent(QTimerEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    void SetText(const std::string& text) override;
    void StartTimer(unsigned id, unsigned periodMs) override { m_timers.Start(id, periodMs); }
    void StopTimer(unsigned id) override { m_timers.Stop(id); }

    QLabel* m_text;
    clst::DialogTimers m_timers;
    clst::WaitMessageController m_logic;
    bool m_bPainted = false;
};

class CVirtualCOMPortDlg : public QDialog, private clst::VirtualPortView {
    Q_OBJECT
  public:
    CVirtualCOMPortDlg(clst::PortPairLibrary& library, clst::MessageSink& messages,
                       QWidget* parent = nullptr);
    ~CVirtualCOMPortDlg() override;

    // The main window's COM port list, before DoModal.
    void LoadPortEntries(const std::vector<clst::PortEntry>& entries);
    bool WindowExists() const;
    void BringToTop();
    // Initialises the dialog and runs it until "Close"; returns kIdCancel.
    int DoModal();

    // The waiting window of the installation in progress, null otherwise.
    CMessageDlg* InfoDialog() const { return m_pInfoDlg.get(); }
    clst::VirtualPortController& logic() { return m_logic; }

  public slots:
    void reject() override;

  protected:
    void timerEvent(QTimerEvent* event) override;

  private:
    std::string PortNumberText() override;
    void SetPortNumberText(const std::string& text) override;
    void ShowPortList(const std::vector<std::string>& texts, int current) override;
    int CurrentPortIndex() override;
    void CreateWaitWindow() override;
    void DestroyWaitWindow() override;
    void StartTimer(unsigned id, unsigned periodMs) override { m_timers.Start(id, periodMs); }
    void StopTimer(unsigned id) override { m_timers.Stop(id); }
    void EndDialog(int result) override;

    QLineEdit* m_editNumber;
    QComboBox* m_comboPorts;
    // Deleted when its installation returned; not reused.
    std::unique_ptr<CMessageDlg> m_pInfoDlg;
    clst::DialogTimers m_timers;
    clst::VirtualPortController m_logic;
    int m_nResult = clst::kIdCancel;
};
