#include "ui/qt/dialog_frame.h"

#include <QDialog>
#include <QEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
#include <QTimer>

namespace {

// Checks a dialog's frame on the screen once it is shown, and once more when
// the window manager has put its frame round it.
class FrameKeeper : public QObject {
  public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* window = static_cast<QWidget*>(watched);
        if (event->type() == QEvent::Show) {
            // After the dialog's own show handling, which centres it over
            // its parent; moved before, it would no longer be centred.
            framed_ = false;
            QTimer::singleShot(0, window, [window] { KeepFrameOnScreen(*window); });
        } else if (event->type() == QEvent::Move && !framed_ && window->isVisible() &&
                   FrameKnown(*window)) {
            framed_ = true;
            KeepFrameOnScreen(*window);
        }
        return false;
    }

  private:
    bool framed_ = false;
};

clst::Size SizeOf(const QSize& size) {
    return {size.width(), size.height()};
}

}  // namespace

void UseFixedDialogFrame(QDialog& dialog, bool modal) {
    dialog.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    if (QLayout* layout = dialog.layout())
        layout->setSizeConstraint(QLayout::SetFixedSize);
    if (modal)
        dialog.setWindowModality(Qt::WindowModal);
    dialog.installEventFilter(new FrameKeeper(&dialog));
}

bool FrameKnown(const QWidget& window) {
    return window.frameGeometry() != window.geometry();
}

clst::FrameMargins FrameOf(const QWidget& window) {
    if (FrameKnown(window)) {
        const QRect outer = window.frameGeometry();
        const QRect inner = window.geometry();
        return {inner.left() - outer.left(), inner.top() - outer.top(),
                outer.right() - inner.right(), outer.bottom() - inner.bottom()};
    }
    // Window managers draw their titles in their own size, whatever the
    // program's scale: two lines of the program's text hold them at scale 1
    // and leave room to spare above it.
    const int line = QFontMetrics(window.font()).height();
    return {line / 3, 2 * line, line / 3, line / 3};
}

clst::Rect AvailableArea(const QWidget& window) {
    const QScreen* screen = window.screen();
    if (screen == nullptr)
        screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return {0, 0, 640, 480};
    const QRect area = screen->availableGeometry();
    return {area.x(), area.y(), area.width(), area.height()};
}

void PlaceOnScreen(QWidget& window, clst::Size wanted, int slot) {
    const clst::FrameMargins frame = FrameOf(window);
    const QSize least = window.minimumSizeHint().expandedTo(window.minimumSize());
    const clst::Rect placed =
        clst::PlaceWindow(wanted, SizeOf(least), frame, AvailableArea(window), slot, frame.top);
    window.resize(placed.width, placed.height);
    // move() places the frame, so the window manager keeps the title where
    // it is asked to be.
    window.move(placed.x - frame.left, placed.y - frame.top);
}

bool KeepFrameOnScreen(QWidget& window) {
    const QRect client = window.geometry();
    const QSize least = window.minimumSizeHint().expandedTo(window.minimumSize());
    const clst::FrameMargins frame = FrameOf(window);
    const clst::Rect kept =
        clst::KeepInside({client.x(), client.y(), client.width(), client.height()}, SizeOf(least),
                         frame, AvailableArea(window));
    if (kept == clst::Rect{client.x(), client.y(), client.width(), client.height()})
        return false;
    if (window.size() != QSize(kept.width, kept.height))
        window.resize(kept.width, kept.height);
    window.move(kept.x - frame.left, kept.y - frame.top);
    return true;
}
