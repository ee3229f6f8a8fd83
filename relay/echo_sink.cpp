#include "relay/echo_sink.h"

#include <limits>

namespace clst {

void QueuedEchoSink::AddString(std::string_view line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(line);
    ++produced_;
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
        taken.swap(lines_);
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
