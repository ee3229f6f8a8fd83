#include "relay/echo_sink.h"

#include <limits>
#include <string>

namespace clst {

std::string QueuedEchoSink::DroppedNotice(int64_t count) {
    return "(" + std::to_string(count) + " lines dropped: they were not taken in time)";
}

void QueuedEchoSink::QueueDroppedNotice() {
    if (dropped_ > 0) {
        lines_.push_back(DroppedNotice(dropped_));
        queuedBytes_ += lines_.back().size();
        dropped_ = 0;
    }
}

void QueuedEchoSink::AddString(std::string_view line) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++produced_;
    if (maxQueuedBytes_ != 0 && queuedBytes_ + line.size() > maxQueuedBytes_) {
        ++dropped_;
        return;
    }
    QueueDroppedNotice();
    lines_.emplace_back(line);
    queuedBytes_ += line.size();
}

int QueuedEchoSink::GetCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (produced_ > std::numeric_limits<int>::max()) {
        return std::numeric_limits<int>::max();
    }
    return static_cast<int>(produced_);
}

void QueuedEchoSink::SetTopIndex(int index) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= 0 && index < produced_) {
        topIndex_ = index;
    }
}

size_t QueuedEchoSink::TakeLines(std::vector<std::string>& out) {
    std::deque<std::string> taken;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        QueueDroppedNotice();
        taken.swap(lines_);
        queuedBytes_ = 0;
    }
    for (auto& line : taken) {
        out.push_back(std::move(line));
    }
    return taken.size();
}

int64_t QueuedEchoSink::produced() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return produced_;
}

int QueuedEchoSink::topIndex() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return topIndex_;
}

}  // namespace clst
