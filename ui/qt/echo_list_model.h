// The echo list: a list model over the compact echo store, fed from the
// relay's queued sink on the window's thread, so the relay never waits for
// the window. The newest lines stay in view.
#pragma once

#include <QAbstractListModel>
#include <QTimer>
#include <string>
#include <vector>

#include "relay/echo_sink.h"
#include "ui/echo_store.h"

class QListView;

class EchoListModel : public QAbstractListModel {
    Q_OBJECT
  public:
    // How often queued lines are moved into the list.
    static constexpr int kPollMs = 50;
    // The newest line is shown this many rows below the top row.
    static constexpr int kRowsInView = 10;

    explicit EchoListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // The sink the relay worker adds its lines to.
    clst::QueuedEchoSink& sink() { return sink_; }
    // The view kept scrolled to the newest lines.
    void SetView(QListView* view) { view_ = view; }

    // Moves every queued line into the list now; returns how many.
    size_t Poll();
    // Empties the list; lines still queued go with it.
    void Clear();
    const clst::EchoStore& store() const { return store_; }

  private:
    clst::QueuedEchoSink sink_;
    clst::EchoStore store_;
    std::vector<std::string> taken_;
    QTimer timer_;
    QListView* view_ = nullptr;
};
