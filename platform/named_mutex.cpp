#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/port_directory.h"

namespace clst::platform {

NamedMutexHandle::~NamedMutexHandle() {
    Close();
}

NamedMutexHandle::NamedMutexHandle(NamedMutexHandle&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

NamedMutexHandle& NamedMutexHandle::operator=(NamedMutexHandle&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void NamedMutexHandle::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

// Every handle is an open lock file with a shared flock. Whoever gets the
// exclusive lock first finds no other holder, so the name did not exist; it
// then steps down to a shared lock like every other holder. The kernel drops
// the locks of a process that ends, however it ends.
NamedMutexHandle CreateNamedMutex(const std::string& name, bool& alreadyExisted,
                                  std::string& error) {
    NamedMutexHandle handle;
    alreadyExisted = false;
    if (name.empty() || name.size() > 200) {
        error = "bad mutex name";
        return handle;
    }
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!ok) {
            error = "bad mutex name \"" + name + "\"";
            return handle;
        }
    }
    std::string dir;
    if (!EnsurePortDirectory(dir, error)) {
        return handle;
    }
    const std::string path = dir + "/" + name + ".lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return handle;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        flock(fd, LOCK_SH);  // converting down never blocks
        handle.fd_ = fd;
        return handle;
    }
    alreadyExisted = true;
    // Another process holds the name; it may still be stepping down from its
    // exclusive lock, so wait briefly for the shared one.
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
            handle.fd_ = fd;
            return handle;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::close(fd);
    error = "the mutex " + name + " is held exclusively by another process";
    return handle;
}

}  // namespace clst::platform
