// The "Port Settings" dialog: seven drop-down lists, the physical-ports check
// box and Confirm / Close over PortSettingsLogic, which holds every rule.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "connections/connection_control.h"
#include "connections/message_sink.h"
#include "ui/port_settings_logic.h"

class QCheckBox;
class QComboBox;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QPushButton;

class CPortSettingDlg : public QDialog,
                        public clst::PortSettingsHandOver,
                        private clst::PortSettingsView {
    Q_OBJECT
  public:
    // `saveToConfig`: confirmed serial parameters are written back into the
    // configuration file (instances started with AUTORUN). Messages, such as
    // the baud-rate question, go to `messages`.
    CPortSettingDlg(bool saveToConfig, clst::MessageSink& messages, QWidget* parent = nullptr);

    void SetClSerPorts(const std::vector<std::string>& ports) { logic_.SetClSerPorts(ports); }

    // PortSettingsHandOver
    bool WindowExists() override { return running_; }
    void BringToTop() override;
    void SetComPorts(const std::vector<clst::PortEntry>& ports) override {
        logic_.SetComPorts(ports);
    }
    void SetSettings(const clst::ConnectionSettings& settings) override {
        logic_.SetSettings(settings);
    }
    clst::ConnectionSettings GetSettings() override;
    // Rebuilds the lists from the dialog's members and runs it; kIdOk after
    // a successful Confirm, kIdCancel after Close, Esc or the close box.
    int DoModal() override;

  private:
    // PortSettingsView
    void SetListItems(clst::PortSettingsList list, const std::vector<std::string>& texts) override;
    void SetListSelection(clst::PortSettingsList list, int index) override;
    int ListSelection(clst::PortSettingsList list) override;
    void SetShowPhysicalChecked(bool checked) override;
    bool ShowPhysicalChecked() override;
    void CloseWithOk() override { QDialog::accept(); }

    QComboBox* Combo(clst::PortSettingsList list) const;
    QComboBox* MakeCombo(const char* objectName);
    // The Camera Link side beside the COM side, as the template has it, or
    // below it on a screen too narrow for both (a small one at scale 2).
    void ArrangeClSerSide(bool below);

    clst::PortSettingsLogic logic_;
    bool running_ = false;
    QComboBox* m_comboParity;
    QComboBox* m_comboDataBits;
    QComboBox* m_comboStopBit;
    QComboBox* m_comboClSerBaud;
    QComboBox* m_comboComBaud;
    QComboBox* m_comboClSerPort;
    QComboBox* m_comboComPort;
    QCheckBox* m_checkShowPhysical;
    QPushButton* m_buttonConfirm;
    QPushButton* m_buttonClose;
    QGridLayout* grid_;
    QHBoxLayout* buttons_;
    QLabel* labelClSerPort_;
    QLabel* labelClSerBaud_;
};
