// Shared set-up for the port-pair tests: a private port directory per test,
// the real library, and a tear-down that leaves no pair host running.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/program_path.h"
#include "portpairs/port_pair_library.h"
#include "tests/support/private_port_directory.h"
#include "tests/support/test_io.h"

namespace clst::testing {

struct ListedPair {
    std::string name, first, second;
};

// Gone, or a zombie whose threads have all ended (a zombie leader whose
// other threads are still exiting keeps the process's files open).
inline bool ProcessGone(pid_t pid) {
    if (kill(pid, 0) != 0) {
        return true;
    }
    const std::string proc = "/proc/" + std::to_string(pid);
    const std::string stat = ReadWholeFile(proc + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z') {
        return false;
    }
    DIR* tasks = opendir((proc + "/task").c_str());
    if (tasks == nullptr) {
        return true;
    }
    int threads = 0;
    while (dirent* entry = readdir(tasks)) {
        threads += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(tasks);
    return threads <= 1;
}

inline bool WaitUntilGone(pid_t pid, milliseconds budget = milliseconds(3000)) {
    const Clock::time_point deadline = Clock::now() + budget;
    while (!ProcessGone(pid)) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

// Writes `toB` into a and `toA` into b at the same time, reading both ends
// as it goes (so back-pressure can never dead-lock the test), until the
// expected counts arrived or the hang guard fires.
inline void Exchange(int a, int b, const std::string& toB, const std::string& toA,
                     std::string& gotAtB, std::string& gotAtA,
                     milliseconds hangGuard = milliseconds(8000)) {
    size_t sentToB = 0;
    size_t sentToA = 0;
    const Clock::time_point deadline = Clock::now() + hangGuard;
    while ((gotAtB.size() < toB.size() || gotAtA.size() < toA.size()) && Clock::now() < deadline) {
        pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        if (sentToB < toB.size()) {
            fds[0].events |= POLLOUT;
        }
        if (sentToA < toA.size()) {
            fds[1].events |= POLLOUT;
        }
        if (poll(fds, 2, 100) <= 0) {
            continue;
        }
        char buffer[4096];
        if ((fds[0].revents & POLLOUT) != 0) {
            const ssize_t n =
                write(a, toB.data() + sentToB, std::min<size_t>(4096, toB.size() - sentToB));
            sentToB += n > 0 ? static_cast<size_t>(n) : 0;
        }
        if ((fds[1].revents & POLLOUT) != 0) {
            const ssize_t n =
                write(b, toA.data() + sentToA, std::min<size_t>(4096, toA.size() - sentToA));
            sentToA += n > 0 ? static_cast<size_t>(n) : 0;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t n = read(a, buffer, sizeof(buffer));
            gotAtA.append(buffer, n > 0 ? static_cast<size_t>(n) : 0);
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const ssize_t n = read(b, buffer, sizeof(buffer));
            gotAtB.append(buffer, n > 0 ? static_cast<size_t>(n) : 0);
        }
    }
}

// Reads from `fd` until `count` bytes arrived or nothing came for `quiet`.
inline std::string ReadAvailable(int fd, size_t count, milliseconds quiet = milliseconds(1500)) {
    std::string got;
    while (got.size() < count) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(quiet.count())) <= 0) {
            break;
        }
        char buffer[4096];
        const ssize_t n = read(fd, buffer, std::min(sizeof(buffer), count - got.size()));
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

inline std::string RandomBytes(size_t count, unsigned seed) {
    std::string bytes(count, '\0');
    unsigned state = seed;
    for (char& c : bytes) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 16);
    }
    return bytes;
}

class PortPairTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = MakePrivatePortDirectory("/tmp/clst-pairs-XXXXXX");
        ASSERT_FALSE(dir_.empty());
        ASSERT_NE(library_.VcpInitialize(), 0) << library_.LastErrorText();
    }

    void TearDown() override {
        for (int fd : openFds_) {
            close(fd);
        }
        const int32_t count = library_.VcpGetPairCount();
        std::vector<ListedPair> pairs = count > 0 ? List() : std::vector<ListedPair>();
        for (const ListedPair& pair : pairs) {
            library_.VcpRemovePair(pair.name.c_str());
        }
        KillLeftoverHosts();
        library_.VcpRelease();
        if (!dir_.empty()) {
            chmod(dir_.c_str(), 0700);
            RemovePrivatePortDirectory(dir_);
        }
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    bool Exists(const std::string& name) const {
        struct stat st {};
        return lstat(Path(name).c_str(), &st) == 0;
    }

    // The listing as a caller sees it: count, then every index.
    std::vector<ListedPair> List() {
        std::vector<ListedPair> pairs;
        const int32_t count = library_.VcpGetPairCount();
        for (int32_t i = 0; i < count; ++i) {
            char name[PortPairLibrary::kNameBufferSize] = {};
            char first[PortPairLibrary::kNameBufferSize] = {};
            char second[PortPairLibrary::kNameBufferSize] = {};
            if (library_.VcpGetPair(i, name, first, second) != 0) {
                pairs.push_back({name, first, second});
            }
        }
        return pairs;
    }

    pid_t HostPid(int number) const {
        std::istringstream in(ReadWholeFile(Path("CNC" + std::to_string(number) + ".pair")));
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("pid=", 0) == 0) {
                return static_cast<pid_t>(std::atoi(line.c_str() + 4));
            }
        }
        return 0;
    }

    // An fd the fixture closes at the end.
    int Open(const std::string& name) {
        const int fd = OpenRawPort(Path(name));
        if (fd >= 0) {
            openFds_.push_back(fd);
        }
        return fd;
    }

    void Close(int fd) {
        for (auto it = openFds_.begin(); it != openFds_.end(); ++it) {
            if (*it == fd) {
                openFds_.erase(it);
                break;
            }
        }
        close(fd);
    }

    static std::string ToolPath() {
        return platform::ProgramDirectory() + "/../bin/clsertolvane-pairs";
    }

    // Runs the tool as a second instance; returns its exit code (-1 when it
    // did not exit normally) and its output, stderr included.
    static int RunTool(const std::string& arguments, std::string& output) {
        output.clear();
        const std::string command = ToolPath() + " " + arguments + " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) {
            return -1;
        }
        char buffer[512];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
            output.append(buffer, n);
        }
        const int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void KillLeftoverHosts() {
        DIR* listing = opendir(dir_.c_str());
        if (listing == nullptr) {
            return;
        }
        std::vector<pid_t> pids;
        while (dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name.rfind("CNC", 0) == 0 && name.size() > 5 &&
                name.compare(name.size() - 5, 5, ".pair") == 0) {
                pids.push_back(HostPid(std::atoi(name.c_str() + 3)));
            }
        }
        closedir(listing);
        for (pid_t pid : pids) {
            const std::string cmdline = ReadWholeFile("/proc/" + std::to_string(pid) + "/cmdline");
            if (pid > 1 && cmdline.find("clsertolvane-pairhost") != std::string::npos) {
                ADD_FAILURE() << "pair host " << pid << " was still running at the end";
                kill(pid, SIGKILL);
                WaitUntilGone(pid);
            }
        }
    }

    std::string dir_;
    // From its default place, the program's library directory: SetUp fails
    // when that is wrong.
    PortPairLibrary library_;
    std::vector<int> openFds_;
};

}  // namespace clst::testing
