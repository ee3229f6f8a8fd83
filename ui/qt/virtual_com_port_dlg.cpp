#include "ui/qt/virtual_com_port_dlg.h"

#include <QComboBox>
#include <QEventLoop>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QTimer>
#include <QTimerEvent>
#include <QVBoxLayout>

#include "ui/qt/dialog_frame.h"

namespace clst {

namespace {
// How long the waiting window may take to reach the screen before the
// install call blocks the thread anyway.
constexpr int kWaitWindowPaintBudgetMs = 250;
}  // namespace

void DialogTimers::Start(unsigned id, unsigned periodMs) {
    Stop(id);
    const int qtId = owner_.startTimer(static_cast<int>(periodMs));
    if (qtId != 0) {
        running_[id] = qtId;
    }
}

void DialogTimers::Stop(unsigned id) {
    const auto it = running_.find(id);
    if (it != running_.end()) {
        owner_.killTimer(it->second);
        running_.erase(it);
    }
}

unsigned DialogTimers::IdOf(int qtTimerId) const {
    for (const auto& [id, qtId] : running_) {
        if (qtId == qtTimerId) {
            return id;
        }
    }
    return 0;
}

}  // namespace clst

CMessageDlg::CMessageDlg(QWidget* parent)
    : QDialog(parent), m_text(new QLabel(this)), m_timers(*this), m_logic(*this) {
    setWindowTitle(clst::kWaitMessageCaption);
    m_text->setObjectName(clst::kWaitTextName);
    m_text->setMinimumWidth(m_text->fontMetrics().horizontalAdvance(clst::kInstallingText) * 3 / 2);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_text);
    UseFixedDialogFrame(*this, false);
    m_logic.OnInitDialog();
    show();
}

CMessageDlg::~CMessageDlg() {
    m_logic.OnDestroy();
}

QString CMessageDlg::Text() const {
    return m_text->text();
}

void CMessageDlg::SetText(const std::string& text) {
    m_text->setText(QString::fromStdString(text));
}

void CMessageDlg::timerEvent(QTimerEvent* event) {
    if (const unsigned id = m_timers.IdOf(event->timerId()); id != 0) {
        m_logic.OnTimer(id);
        return;
    }
    QDialog::timerEvent(event);
}

void CMessageDlg::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    m_bPainted = true;
    emit Painted();
}

CVirtualCOMPortDlg::CVirtualCOMPortDlg(clst::PortPairLibrary& library, clst::MessageSink& messages,
                                       QWidget* parent)
    : QDialog(parent),
      m_editNumber(new QLineEdit(this)),
      m_comboPorts(new QComboBox(this)),
      m_timers(*this),
      m_logic(*this, library, messages) {
    setWindowTitle(clst::kVirtualPortDialogCaption);

    // Digits only, as a number edit.
    m_editNumber->setObjectName(clst::kPortNumberEditName);
    m_editNumber->setValidator(
        new QRegularExpressionValidator(QRegularExpression("[0-9]*"), m_editNumber));
    auto* install = new QPushButton("Install", this);
    install->setObjectName(clst::kInstallButtonName);
    m_comboPorts->setObjectName(clst::kPortListName);
    m_comboPorts->setEditable(false);
    m_comboPorts->setMinimumContentsLength(18);
    auto* remove = new QPushButton("Remove", this);
    remove->setObjectName(clst::kRemoveButtonName);
    auto* close = new QPushButton("Close", this);
    close->setObjectName(clst::kCloseButtonName);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel("Input COM number", this), 0, 0, 1, 2);
    grid->addWidget(m_editNumber, 1, 0);
    grid->addWidget(install, 1, 1);
    grid->addWidget(new QLabel("COM ports", this), 2, 0, 1, 2);
    grid->addWidget(m_comboPorts, 3, 0);
    grid->addWidget(remove, 3, 1);
    grid->setColumnStretch(0, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    UseFixedDialogFrame(*this, true);

    connect(install, &QPushButton::clicked, this, [this] { m_logic.OnInstallPair(); });
    connect(remove, &QPushButton::clicked, this, [this] { m_logic.OnRemovePair(); });
    connect(close, &QPushButton::clicked, this, &CVirtualCOMPortDlg::reject);
}

CVirtualCOMPortDlg::~CVirtualCOMPortDlg() = default;

void CVirtualCOMPortDlg::LoadPortEntries(const std::vector<clst::PortEntry>& entries) {
    m_logic.LoadPortEntries(entries);
}

bool CVirtualCOMPortDlg::WindowExists() const {
    return isVisible();
}

void CVirtualCOMPortDlg::BringToTop() {
    // A window manager may have let the dialog be minimised.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

int CVirtualCOMPortDlg::DoModal() {
    m_nResult = clst::kIdCancel;
    m_logic.OnInitDialog();
    exec();
    return m_nResult;
}

void CVirtualCOMPortDlg::reject() {
    // Escape, the window's close box and "Close" all end up here.
    m_logic.OnCancel();
}

void CVirtualCOMPortDlg::EndDialog(int result) {
    m_nResult = result;
    QDialog::done(QDialog::Rejected);
}

void CVirtualCOMPortDlg::timerEvent(QTimerEvent* event) {
    if (const unsigned id = m_timers.IdOf(event->timerId()); id != 0) {
        m_logic.OnTimer(id);
        return;
    }
    QDialog::timerEvent(event);
}

std::string CVirtualCOMPortDlg::PortNumberText() {
    return m_editNumber->text().toStdString();
}

void CVirtualCOMPortDlg::SetPortNumberText(const std::string& text) {
    m_editNumber->setText(QString::fromStdString(text));
}

void CVirtualCOMPortDlg::ShowPortList(const std::vector<std::string>& texts, int current) {
    m_comboPorts->clear();
    for (const std::string& text : texts) {
        m_comboPorts->addItem(QString::fromStdString(text));
    }
    m_comboPorts->setCurrentIndex(current);
}

int CVirtualCOMPortDlg::CurrentPortIndex() {
    return m_comboPorts->currentIndex();
}

void CVirtualCOMPortDlg::CreateWaitWindow() {
    m_pInfoDlg = std::make_unique<CMessageDlg>(this);
    // The install call that follows holds this thread, so the window must
    // reach the screen first. User input stays queued meanwhile: nothing can
    // start a second call or close the dialog under the running one.
    if (!m_pInfoDlg->WasPainted()) {
        QEventLoop loop;
        connect(m_pInfoDlg.get(), &CMessageDlg::Painted, &loop, &QEventLoop::quit,
                Qt::QueuedConnection);
        QTimer::singleShot(clst::kWaitWindowPaintBudgetMs, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
}

void CVirtualCOMPortDlg::DestroyWaitWindow() {
    m_pInfoDlg.reset();
}
