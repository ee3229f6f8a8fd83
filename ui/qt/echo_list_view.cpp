#include "ui/qt/echo_list_view.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <climits>

#include "ui/echo_display.h"

namespace {

// Room between the frame and the text, in characters of the font.
constexpr int kMarginChars = 1;

int ToInt(int64_t value) {
    return static_cast<int>(std::clamp<int64_t>(value, 0, INT_MAX));
}

}  // namespace

EchoListView::EchoListView(QWidget* parent, size_t maxBytes)
    : QAbstractScrollArea(parent), sink_(kMaxQueuedBytes), store_(maxBytes) {
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    UseFont();
    // The user's scrolling, by bar, wheel or key, all ends up here; the
    // view's own changes of the bars are not the user's.
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (!syncing_)
            rows_.ScrollTo(value);
    });
    timer_.setInterval(kPollMs);
    connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
    timer_.start();
}

void EchoListView::UseFont() {
    // The window's size, in the desktop's fixed-pitch face.
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (this->font().pointSizeF() > 0)
        font.setPointSizeF(this->font().pointSizeF());
    else
        font.setPixelSize(this->font().pixelSize());
    viewport()->setFont(font);
    const QFontMetrics metrics(font);
    fixedPitch_ = QFontInfo(font).fixedPitch();
    // Without a fixed-pitch font the widest character stands for each, so
    // that the scroll range still reaches the end of every line.
    charWidth_ =
        std::max(1, fixedPitch_ ? metrics.horizontalAdvance(QLatin1Char('0')) : metrics.maxWidth());
    verticalScrollBar()->setSingleStep(1);
    horizontalScrollBar()->setSingleStep(charWidth_);
}

int EchoListView::LineHeight() const {
    return std::max(1, viewport()->fontMetrics().lineSpacing());
}

int64_t EchoListView::rowCount() const {
    return NoteRows() + static_cast<int64_t>(store_.size());
}

QString EchoListView::RowText(int64_t row) const {
    if (row < 0 || row >= rowCount())
        return {};
    if (row < NoteRows()) {
        return QString::fromStdString(
            clst::EchoDroppedNote(store_.droppedLines(), store_.maxBytes()));
    }
    const std::string text =
        clst::EchoDisplayText(store_.Line(static_cast<size_t>(row - NoteRows())));
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

size_t EchoListView::Poll() {
    taken_.clear();
    const size_t count = sink_.TakeLines(taken_);
    if (count == 0)
        return 0;
    const int64_t notesBefore = NoteRows();
    const uint64_t droppedBefore = store_.droppedLines();
    const int64_t topBefore = rows_.top();
    for (const auto& line : taken_)
        store_.Append(line);
    taken_.clear();
    const auto dropped = static_cast<int64_t>(store_.droppedLines() - droppedBefore);
    rows_.Update(rowCount(), dropped + notesBefore - NoteRows());
    SyncScrollBars();
    // Rows held still while the user reads need no drawing; the bars moved.
    if (rows_.following() || rows_.top() != topBefore || dropped > 0)
        viewport()->update();
    return count;
}

void EchoListView::Clear() {
    taken_.clear();
    sink_.TakeLines(taken_);
    taken_.clear();
    store_.Clear();
    rows_.Reset();
    SyncScrollBars();
    viewport()->update();
}

void EchoListView::SyncScrollBars() {
    syncing_ = true;
    QScrollBar* vertical = verticalScrollBar();
    vertical->setRange(0, ToInt(rows_.MaxTop()));
    vertical->setPageStep(ToInt(rows_.rowsInView()));
    vertical->setValue(ToInt(rows_.top()));
    const size_t widest =
        std::max(store_.widestLine(), NoteRows() > 0 ? static_cast<size_t>(RowText(0).size()) : 0);
    const int64_t width =
        (static_cast<int64_t>(widest) + 2 * kMarginChars) * charWidth_ - viewport()->width();
    QScrollBar* horizontal = horizontalScrollBar();
    horizontal->setRange(0, ToInt(width));
    horizontal->setPageStep(viewport()->width());
    syncing_ = false;
}

void EchoListView::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Text));
    const int lineHeight = LineHeight();
    const int ascent = viewport()->fontMetrics().ascent();
    const int offset = horizontalScrollBar()->value();
    // With a fixed pitch only the characters in view are drawn: laying out
    // a whole line of a full 1024-byte block costs more than the view.
    const int firstChar = fixedPitch_ ? std::max(0, offset / charWidth_ - kMarginChars) : 0;
    const int chars = viewport()->width() / charWidth_ + 2 * kMarginChars + 2;
    const int64_t last = std::min(rowCount(), rows_.top() + viewport()->height() / lineHeight + 1);
    int y = 0;
    for (int64_t row = rows_.top(); row < last; ++row, y += lineHeight) {
        const QString text = RowText(row);
        const int x = (kMarginChars + firstChar) * charWidth_ - offset;
        painter.drawText(x, y + ascent, fixedPitch_ ? text.mid(firstChar, chars) : text);
    }
}

void EchoListView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    rows_.SetRowsInView(viewport()->height() / LineHeight());
    SyncScrollBars();
}

void EchoListView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        UseFont();
        rows_.SetRowsInView(viewport()->height() / LineHeight());
        SyncScrollBars();
        viewport()->update();
    }
}

void EchoListView::keyPressEvent(QKeyEvent* event) {
    const int64_t page = std::max<int64_t>(1, rows_.rowsInView() - 1);
    switch (event->key()) {
        case Qt::Key_Up:
            rows_.ScrollBy(-1);
            break;
        case Qt::Key_Down:
            rows_.ScrollBy(1);
            break;
        case Qt::Key_PageUp:
            rows_.ScrollBy(-page);
            break;
        case Qt::Key_PageDown:
            rows_.ScrollBy(page);
            break;
        case Qt::Key_Home:
            rows_.ScrollTo(0);
            break;
        case Qt::Key_End:
            rows_.ScrollToEnd();
            break;
        default:
            QAbstractScrollArea::keyPressEvent(event);
            return;
    }
    event->accept();
    SyncScrollBars();
    viewport()->update();
}

void EchoListView::scrollContentsBy(int /*dx*/, int /*dy*/) {
    viewport()->update();
}
