#include "ui/echo_viewport.h"

#include <algorithm>

namespace clst {

void EchoViewport::SetRowsInView(int64_t rows) {
    rows_ = std::max<int64_t>(rows, 1);
    // A taller view shows more of the end rather than leaving rows empty
    // below the last one.
    top_ = following_ ? MaxTop() : std::min(top_, MaxTop());
    following_ = following_ || top_ == MaxTop();
}

void EchoViewport::Update(int64_t count, int64_t removedAtTop) {
    count_ = std::max<int64_t>(count, 0);
    if (following_) {
        top_ = MaxTop();
        return;
    }
    // The rows the user reads keep their place on the screen while older
    // ones go; once they are gone themselves, the view shows the oldest row.
    top_ = std::clamp<int64_t>(top_ - removedAtTop, 0, MaxTop());
    following_ = top_ == MaxTop();
}

void EchoViewport::ScrollTo(int64_t top) {
    top_ = std::clamp<int64_t>(top, 0, MaxTop());
    following_ = top_ == MaxTop();
}

void EchoViewport::Reset() {
    count_ = 0;
    top_ = 0;
    following_ = true;
}

}  // namespace clst
