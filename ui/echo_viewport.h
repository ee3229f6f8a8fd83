// Which rows of the echo list are in view, kept as a terminal keeps them:
// while the view shows the last row it follows every new row; once the user
// has scrolled up to read, it stays on the rows it shows, also while the
// oldest rows are dropped beneath it, until the user scrolls back to the end.
#pragma once

#include <cstdint>

namespace clst {

class EchoViewport {
  public:
    // Whole rows that fit in the view; at least one counts.
    void SetRowsInView(int64_t rows);
    // The list has `count` rows now; `removedAtTop` rows that came before the
    // first one in view are gone from its top (a negative value: rows came
    // in above, such as a note line).
    void Update(int64_t count, int64_t removedAtTop = 0);
    // The user's scrolling; at the end the view follows again.
    void ScrollTo(int64_t top);
    void ScrollBy(int64_t rows) { ScrollTo(top_ + rows); }
    void ScrollToEnd() { ScrollTo(MaxTop()); }
    // An emptied list: nothing to read back, so the view follows again.
    void Reset();

    int64_t top() const { return top_; }
    int64_t rowCount() const { return count_; }
    int64_t rowsInView() const { return rows_; }
    int64_t MaxTop() const { return count_ > rows_ ? count_ - rows_ : 0; }
    bool following() const { return following_; }

  private:
    int64_t count_ = 0;
    int64_t rows_ = 1;
    int64_t top_ = 0;
    bool following_ = true;
};

}  // namespace clst
