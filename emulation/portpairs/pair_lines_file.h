// The pair host's line file, CNC<n>.lines (format in pair_names.h): written
// under a temporary name and renamed into place, so that readers never see
// half of it and a watcher of the port directory sees each new version as
// one IN_MOVED_TO.
#pragma once

#include <chrono>
#include <string>

#include "emulation/portpairs/pair_names.h"
#include "platform/deadline.h"

namespace maro_vcp {

class LinesFile {
  public:
    using Clock = clst::platform::Deadline::Clock;

    // A camera that talks to a closed COM end drops bytes all the time:
    // their count is rewritten at most this often.
    static constexpr auto kDroppedPeriod = std::chrono::seconds(1);

    LinesFile(const std::string& dir, int number);

    const std::string& path() const { return path_; }

    // Publishes `lines`: at once when an end, the changes or the rate
    // differ from the file, a new dropped count only once kDroppedPeriod has
    // passed since the last write. False when the file could not be written.
    bool Publish(const PairLines& lines, Clock::time_point now);
    // A dropped count waits for its turn until `due()`.
    bool waiting() const { return waiting_; }
    const clst::platform::Deadline& due() const { return next_; }

  private:
    bool Write(const PairLines& lines);

    std::string path_;
    std::string temporary_;
    PairLines published_;
    bool written_ = false;
    bool waiting_ = false;
    clst::platform::Deadline next_;
};

}  // namespace maro_vcp
