#include "ui/qt/echo_list_model.h"

#include <QListView>
#include <algorithm>

#include "ui/echo_display.h"

EchoListModel::EchoListModel(QObject* parent) : QAbstractListModel(parent) {
    timer_.setInterval(kPollMs);
    connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
    timer_.start();
}

int EchoListModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    return static_cast<int>(std::min<size_t>(store_.size(), INT32_MAX));
}

QVariant EchoListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount())
        return {};
    const std::string text = clst::EchoDisplayText(store_.Line(static_cast<size_t>(index.row())));
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

size_t EchoListModel::Poll() {
    taken_.clear();
    const size_t count = sink_.TakeLines(taken_);
    if (count == 0)
        return 0;
    const int first = rowCount();
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(count) - 1);
    for (const auto& line : taken_)
        store_.Append(line);
    endInsertRows();
    taken_.clear();
    if (view_ != nullptr) {
        const int top = std::max(0, rowCount() - kRowsInView);
        view_->scrollTo(index(top), QAbstractItemView::PositionAtTop);
    }
    return count;
}

void EchoListModel::Clear() {
    taken_.clear();
    sink_.TakeLines(taken_);
    taken_.clear();
    beginResetModel();
    store_.Clear();
    endResetModel();
}
