// Shared helpers for tests that talk to ptys and files: a pty pair, raw
// opens, line rates, reads and writes bounded by a hang guard, whole-file
// reads and writes, a scratch directory and an environment variable put back
// at the end.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace clst::testing {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Opens a port the way a serial program does: raw at 115200, non-blocking,
// no controlling tty; -1 when it is not a terminal. A port pair frees an end
// a moment after its holder closed it, so a busy port is tried again for a
// while.
inline int OpenRawPort(const std::string& path) {
    const auto busyUntil = Clock::now() + std::chrono::seconds(1);
    int fd = -1;
    while ((fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) < 0 &&
           errno == EBUSY && Clock::now() < busyUntil) {
        usleep(5000);
    }
    termios tio{};
    if (fd >= 0 && tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetspeed(&tio, B115200);
        tcsetattr(fd, TCSANOW, &tio);
        return fd;
    }
    if (fd >= 0)
        close(fd);
    return -1;
}

// Sets a terminal's line rate, as a client program does.
inline bool SetSpeed(int fd, speed_t speed) {
    termios tio{};
    return tcgetattr(fd, &tio) == 0 && cfsetspeed(&tio, speed) == 0 &&
           tcsetattr(fd, TCSANOW, &tio) == 0;
}

// A pty pair; the test holds the raw, non-blocking master.
struct Pty {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    std::string slave;
    Pty() {
        termios tio{};
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
            tcgetattr(master, &tio) == 0) {
            slave = ptsname(master);
            cfmakeraw(&tio);
            tcsetattr(master, TCSANOW, &tio);
        }
    }
    ~Pty() {
        if (master >= 0)
            close(master);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    // The slave as the program names a device.
    std::string path() const { return "\\\\.\\" + slave; }
};

inline bool WaitFor(const std::function<bool()>& done, milliseconds limit) {
    for (const auto end = Clock::now() + limit; Clock::now() < end;) {
        if (done())
            return true;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return done();
}

// Writes everything to a non-blocking fd, waiting for room as needed.
inline bool WriteAll(int fd, const void* data, size_t size,
                     milliseconds limit = milliseconds(2000)) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    for (const auto end = Clock::now() + limit; done < size && Clock::now() < end;) {
        const ssize_t n = write(fd, bytes + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 10);
        }
    }
    return done == size;
}

inline bool WriteAll(int fd, const std::string& text) {
    return WriteAll(fd, text.data(), text.size());
}

// Reads until `size` bytes have arrived or `limit` ran out.
inline std::string ReadFor(int fd, size_t size, milliseconds limit) {
    std::string out;
    char chunk[4096];
    for (const auto end = Clock::now() + limit; out.size() < size && Clock::now() < end;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN) != 0) {
            const ssize_t n = read(fd, chunk, std::min(sizeof chunk, size - out.size()));
            out.append(chunk, n > 0 ? static_cast<size_t>(n) : 0);
        }
    }
    return out;
}

inline std::string ReadWholeFile(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// A fresh directory removed with its contents at the end; empty when none
// could be made.
class ScratchDir {
  public:
    explicit ScratchDir(std::string pattern = "/tmp/clst-test-XXXXXX")
        : path_(mkdtemp(pattern.data()) != nullptr ? pattern : "") {}
    ~ScratchDir() {
        if (path_.empty())
            return;
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    const std::string path_;
};

// Sets (or with nullopt unsets) an environment variable for the scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, std::optional<std::string> value)
        : name_(name),
          old_(getenv(name) ? std::optional<std::string>(getenv(name)) : std::nullopt) {
        Set(value);
    }
    ~ScopedEnv() { Set(old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    void Set(const std::optional<std::string>& value) const {
        if (value)
            setenv(name_, value->c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    const std::optional<std::string> old_;
};

}  // namespace clst::testing
