#include "relay/echo_sink.h"

#include <string>

namespace clst {

std::string QueuedEchoSink::DroppedNotice(int64_t count) {
    return "(" + std::to_string(count) + " lines dropped: they were not taken in time)";
}

size_t QueuedEchoSink::HeldBytes(const std::string& line) {
    static const size_t kInPlace = std::string().capacity();
    return sizeof(std::string) + (line.capacity() > kInPlace ? line.capacity() + 1 : 0);
}

void QueuedEchoSink::QueueDroppedNotice() {
    if (dropped_ > 0) {
        lines_.push_back(DroppedNotice(dropped_));
        queuedBytes_ += HeldBytes(lines_.back());
        dropped_ = 0;
    }
}

void QueuedEchoSink::AddString(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++produced_;
    std::string line(text);
    const size_t held = HeldBytes(line);
    if (maxHeldBytes_ != 0 && queuedBytes_ + takenBytes_ + held > maxHeldBytes_) {
        ++dropped_;
        return;
    }
    QueueDroppedNotice();
    lines_.push_back(std::move(line));
    queuedBytes_ += held;
}

size_t QueuedEchoSink::TakeLines(std::vector<std::string>& out) {
    std::deque<std::string> taken;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        QueueDroppedNotice();
        taken.swap(lines_);
        takenBytes_ = queuedBytes_;
        queuedBytes_ = 0;
    }
    // Block by block, so that the batch is not held twice on the way.
    const size_t count = taken.size();
    out.reserve(out.size() + count);
    while (!taken.empty()) {
        out.push_back(std::move(taken.front()));
        taken.pop_front();
    }
    return count;
}

int64_t QueuedEchoSink::produced() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return produced_;
}

}  // namespace clst
