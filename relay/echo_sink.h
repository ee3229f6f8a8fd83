// Where the relay worker's echo and error lines go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace clst {

// The one list operation the worker uses on the echo list: add a line. The
// worker calls it from its own thread. An implementation must never
// wait for the user-interface thread: otherwise a worker adding a line and
// a user-interface thread stopping the worker can wait on each other.
class EchoSink {
  public:
    virtual ~EchoSink() = default;
    virtual void AddString(std::string_view line) = 0;
};

// A sink that queues lines for a consumer on another thread (the window's
// list or standard output) in production order; the window's list keeps its
// own view of the end (ui/echo_viewport.h).
//
// With a limit, the lines held stay within that many bytes of memory (the
// text of each line and its string object, HeldBytes): a consumer that
// falls behind (standard output that nobody reads) must not make the
// relay's memory grow without end, and the relay must never wait for it.
// The lines the consumer took last count as held until it takes again: it
// is still printing them. Lines that do not fit are dropped and counted;
// the consumer gets one notice line in their place, in order.
class QueuedEchoSink : public EchoSink {
  public:
    explicit QueuedEchoSink(size_t maxHeldBytes = 0) : maxHeldBytes_(maxHeldBytes) {}

    void AddString(std::string_view line) override;

    // Moves every queued line into `out` (appended, in order); returns how
    // many. The consumer is done with the lines it took before.
    size_t TakeLines(std::vector<std::string>& out);
    // Lines produced so far.
    int64_t produced() const;

    // The line that stands for `count` dropped lines.
    static std::string DroppedNotice(int64_t count);
    // The memory a line takes in the queue: its string object and, for a
    // text too long to fit into that object, the text's own allocation.
    static size_t HeldBytes(const std::string& line);

  private:
    void QueueDroppedNotice();

    const size_t maxHeldBytes_;
    mutable std::mutex mutex_;
    std::deque<std::string> lines_;
    size_t queuedBytes_ = 0;
    size_t takenBytes_ = 0;  // the batch the consumer took last
    int64_t dropped_ = 0;
    int64_t produced_ = 0;
};

}  // namespace clst
