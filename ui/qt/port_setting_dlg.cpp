#include "ui/qt/port_setting_dlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <initializer_list>

#include "ui/qt/dialog_frame.h"

using clst::PortSettingsList;

CPortSettingDlg::CPortSettingDlg(bool saveToConfig, clst::MessageSink& messages, QWidget* parent)
    : QDialog(parent), logic_(*this, messages, saveToConfig) {
    setWindowTitle(QStringLiteral("Port Settings"));

    m_comboComPort = MakeCombo("comboComPort");
    m_comboClSerPort = MakeCombo("comboClSerPort");
    m_comboClSerBaud = MakeCombo("comboClSerBaud");
    m_comboComBaud = MakeCombo("comboComBaud");
    m_comboParity = MakeCombo("comboParity");
    m_comboDataBits = MakeCombo("comboDataBits");
    m_comboStopBit = MakeCombo("comboStopBit");
    m_comboClSerPort->setMinimumContentsLength(16);
    m_comboComPort->setMinimumContentsLength(12);

    m_checkShowPhysical = new QCheckBox(this);
    m_checkShowPhysical->setObjectName(QStringLiteral("checkShowPhysical"));
    auto* physicalLabel = new QLabel(QStringLiteral("Show physical COM ports"), this);
    physicalLabel->setBuddy(m_checkShowPhysical);

    m_buttonConfirm = new QPushButton(QStringLiteral("Confirm"), this);
    m_buttonConfirm->setObjectName(QStringLiteral("buttonConfirm"));
    m_buttonConfirm->setDefault(true);
    m_buttonClose = new QPushButton(QStringLiteral("Close"), this);
    m_buttonClose->setObjectName(QStringLiteral("buttonClose"));
    // Enter stays with Confirm even while Close has the focus.
    m_buttonClose->setAutoDefault(false);

    // Laid out like the original template: the COM side on the left, the
    // Camera Link side on the right, the buttons bottom right.
    grid_ = new QGridLayout;
    auto label = [this](const char* text) { return new QLabel(QString::fromLatin1(text), this); };
    grid_->addWidget(label("COM port"), 0, 0);
    grid_->addWidget(m_comboComPort, 0, 1, 1, 2);
    grid_->addWidget(physicalLabel, 1, 0);
    grid_->addWidget(m_checkShowPhysical, 1, 1, Qt::AlignLeft);
    grid_->addWidget(label("COM baud rate"), 2, 0);
    grid_->addWidget(m_comboComBaud, 2, 1);
    grid_->addWidget(label("Parity"), 3, 0);
    grid_->addWidget(m_comboParity, 3, 1);
    grid_->addWidget(label("Data bits"), 4, 0);
    grid_->addWidget(m_comboDataBits, 4, 1);
    grid_->addWidget(label("Stop bit"), 5, 0);
    grid_->addWidget(m_comboStopBit, 5, 1);
    labelClSerPort_ = label("ClSer port");
    labelClSerBaud_ = label("Clser baud rate");
    grid_->setColumnStretch(3, 1);

    buttons_ = new QHBoxLayout;
    buttons_->addStretch(1);
    buttons_->addWidget(m_buttonConfirm);
    buttons_->addWidget(m_buttonClose);
    ArrangeClSerSide(false);
    setLayout(grid_);
    UseFixedDialogFrame(*this, true);
    setTabOrder(m_comboComPort, m_checkShowPhysical);
    setTabOrder(m_checkShowPhysical, m_comboComBaud);
    setTabOrder(m_comboComBaud, m_comboParity);
    setTabOrder(m_comboParity, m_comboDataBits);
    setTabOrder(m_comboDataBits, m_comboStopBit);
    setTabOrder(m_comboStopBit, m_comboClSerPort);
    setTabOrder(m_comboClSerPort, m_comboClSerBaud);
    setTabOrder(m_comboClSerBaud, m_buttonConfirm);
    setTabOrder(m_buttonConfirm, m_buttonClose);

    // clicked, not toggled: setting the box on opening must not count as the
    // user's click.
    connect(m_checkShowPhysical, &QCheckBox::clicked, this,
            [this] { logic_.OnShowPhysicalPorts(); });
    connect(m_buttonConfirm, &QPushButton::clicked, this, [this] { logic_.OnConfirm(); });
    connect(m_buttonClose, &QPushButton::clicked, this, &QDialog::reject);
}

void CPortSettingDlg::ArrangeClSerSide(bool below) {
    for (QWidget* widget : std::initializer_list<QWidget*>{labelClSerPort_, labelClSerBaud_,
                                                           m_comboClSerPort, m_comboClSerBaud}) {
        grid_->removeWidget(widget);
    }
    grid_->removeItem(buttons_);
    if (below) {
        grid_->addWidget(labelClSerPort_, 6, 0);
        grid_->addWidget(m_comboClSerPort, 6, 1, 1, 2);
        grid_->addWidget(labelClSerBaud_, 7, 0);
        grid_->addWidget(m_comboClSerBaud, 7, 1);
        grid_->addLayout(buttons_, 8, 0, 1, 3);
    } else {
        grid_->addWidget(labelClSerPort_, 0, 4, Qt::AlignRight);
        grid_->addWidget(m_comboClSerPort, 0, 5);
        grid_->addWidget(labelClSerBaud_, 1, 4, Qt::AlignRight);
        grid_->addWidget(m_comboClSerBaud, 1, 5, Qt::AlignLeft);
        grid_->addLayout(buttons_, 5, 4, 1, 2);
    }
}

QComboBox* CPortSettingDlg::MakeCombo(const char* objectName) {
    auto* combo = new QComboBox(this);
    combo->setObjectName(QString::fromLatin1(objectName));
    combo->setEditable(false);
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    combo->setMinimumContentsLength(7);
    return combo;
}

QComboBox* CPortSettingDlg::Combo(PortSettingsList list) const {
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

void CPortSettingDlg::BringToTop() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

clst::ConnectionSettings CPortSettingDlg::GetSettings() {
    clst::ConnectionSettings settings;
    logic_.GetSettings(settings);
    return settings;
}

int CPortSettingDlg::DoModal() {
    logic_.OnInitDialog();
    // The screen may have changed since the last opening.
    ArrangeClSerSide(false);
    layout()->activate();
    const clst::FrameMargins frame = FrameOf(*this);
    ArrangeClSerSide(sizeHint().width() + frame.left + frame.right > AvailableArea(*this).width);
    m_comboComPort->setFocus();
    running_ = true;
    const int result = exec();
    running_ = false;
    return result == QDialog::Accepted ? clst::kIdOk : clst::kIdCancel;
}

void CPortSettingDlg::SetListItems(PortSettingsList list, const std::vector<std::string>& texts) {
    QStringList items;
    items.reserve(static_cast<qsizetype>(texts.size()));
    for (const auto& text : texts)
        items.append(QString::fromStdString(text));
    QComboBox* combo = Combo(list);
    combo->clear();
    combo->addItems(items);
    combo->setCurrentIndex(-1);
}

void CPortSettingDlg::SetListSelection(PortSettingsList list, int index) {
    Combo(list)->setCurrentIndex(index);
}

int CPortSettingDlg::ListSelection(PortSettingsList list) {
    return Combo(list)->currentIndex();
}

void CPortSettingDlg::SetShowPhysicalChecked(bool checked) {
    m_checkShowPhysical->setChecked(checked);
}

bool CPortSettingDlg::ShowPhysicalChecked() {
    return m_checkShowPhysical->isChecked();
}
