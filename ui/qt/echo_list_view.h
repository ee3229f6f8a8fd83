// The echo list: draws the rows in view straight from the compact echo store,
// fed from the relay's queued sink on the window's thread, so the relay never
// waits for the window. It follows the end like a terminal (EchoViewport).
//
// One way of drawing long lines: never cut, a horizontal scroll bar as wide
// as the widest line held. The font is fixed-pitch, so a row's visible part
// is found by arithmetic and a line of thousands of characters costs no more
// to draw than the width of the view.
#pragma once

#include <QAbstractScrollArea>
#include <QTimer>
#include <string>
#include <vector>

#include "relay/echo_sink.h"
#include "ui/echo_store.h"
#include "ui/echo_viewport.h"

class EchoListView : public QAbstractScrollArea {
    Q_OBJECT
  public:
    // How often queued lines are moved into the list.
    static constexpr int kPollMs = 50;
    // Lines queued while the window's thread is held up (a modal loop that
    // does not run timers, a stalled desktop): the rest are dropped and
    // counted in one line, so the relay never waits and memory stays bounded.
    static constexpr size_t kMaxQueuedBytes = size_t{16} << 20;

    explicit EchoListView(QWidget* parent = nullptr,
                          size_t maxBytes = clst::EchoStore::kDefaultMaxBytes);

    // The sink the relay worker adds its lines to.
    clst::QueuedEchoSink& sink() { return sink_; }
    // Moves every queued line into the list now; returns how many.
    size_t Poll();
    // Empties the list; lines still queued go with it.
    void Clear();

    // Rows as shown: the note on dropped lines first, when there is one.
    int64_t rowCount() const;
    QString RowText(int64_t row) const;
    const clst::EchoStore& store() const { return store_; }
    const clst::EchoViewport& rows() const { return rows_; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

  private:
    int NoteRows() const { return store_.droppedLines() > 0 ? 1 : 0; }
    int LineHeight() const;
    void UseFont();
    // The scroll bars from the rows and the widest line; the vertical one's
    // value is the top row.
    void SyncScrollBars();

    clst::QueuedEchoSink sink_;
    clst::EchoStore store_;
    clst::EchoViewport rows_;
    std::vector<std::string> taken_;
    QTimer timer_;
    int charWidth_ = 1;
    bool fixedPitch_ = true;
    bool syncing_ = false;
};
