#include "emulation/portpairs/pair_lines_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace maro_vcp {

LinesFile::LinesFile(const std::string& dir, int number)
    : path_(dir + "/" + LinesFileName(number)),
      temporary_(dir + "/." + LinesFileName(number) + "." + std::to_string(getpid())) {}

bool LinesFile::Publish(const PairLines& lines, Clock::time_point now) {
    const bool ends = !written_ || lines.deviceOpen != published_.deviceOpen ||
                      lines.comOpen != published_.comOpen || lines.changes != published_.changes ||
                      lines.comRate != published_.comRate;
    waiting_ = !ends && lines.dropped != published_.dropped && !next_.Passed(now);
    if (!ends && (lines.dropped == published_.dropped || waiting_)) {
        return true;
    }
    if (!Write(lines)) {
        return false;
    }
    published_ = lines;
    written_ = true;
    next_ = clst::platform::Deadline(now + kDroppedPeriod);
    return true;
}

bool LinesFile::Write(const PairLines& lines) {
    const int fd =
        open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return false;
    }
    const std::string text = FormatLines(lines);
    const bool whole = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!whole || rename(temporary_.c_str(), path_.c_str()) != 0) {
        unlink(temporary_.c_str());
        return false;
    }
    return true;
}

}  // namespace maro_vcp
