#include "portpairs/pair_lines_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>

#include "platform/port_directory.h"

namespace clst {

namespace {

// The host writes five short lines; anything much larger is not its file.
constexpr size_t kMaxLinesFileSize = 4096;

int PairNumber(std::string name) {
    if (name.starts_with("\\\\.\\")) {
        name.erase(0, 4);
    }
    for (char& c : name) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const int number = maro_vcp::ParseNumberedName(name, "ZADURUV");
    return number >= 0 ? number : maro_vcp::ParseNumberedName(name, "MAROCOM");
}

}  // namespace

bool ReadPairLines(const std::string& devicePortName, maro_vcp::PairLines& lines) {
    const int number = PairNumber(devicePortName);
    const std::string dir = platform::PortDirectoryPath();
    std::string refused;
    if (number < 0 || !platform::CheckPortDirectory(dir, refused)) {
        return false;
    }
    const std::string path = dir + "/" + maro_vcp::LinesFileName(number);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    std::string text(kMaxLinesFileSize, '\0');
    ssize_t n = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid() &&
        (st.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
        n = ::read(fd, text.data(), text.size());
    }
    ::close(fd);
    if (n < 0 || static_cast<size_t>(n) == text.size()) {
        return false;
    }
    text.resize(static_cast<size_t>(n));
    return maro_vcp::ParseLines(text, lines);
}

}  // namespace clst
