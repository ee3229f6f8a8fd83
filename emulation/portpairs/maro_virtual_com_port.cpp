// A user-space null-modem for Linux behind the port-pair library's C
// interface. Each pair is a pair host process (clsertolvane-pairhost, in the
// bin directory beside this library's lib directory) that owns two ptys and
// copies bytes between them. The port directory holds the links COM<n>,
// ZADURUV<n>, MAROCOM<n> and the host's state file CNC<n>.pair, on which the
// host holds an flock for its whole life.
#include "emulation/portpairs/maro_virtual_com_port.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulation/portpairs/pair_names.h"
#include "platform/device_namespace.h"
#include "platform/port_directory.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kErrorTextLimit = 512;
constexpr size_t kNameBufferSize = 20;
// Budgets that keep every call well inside a second.
constexpr milliseconds kDirectoryLockWait{300};
constexpr milliseconds kHostStartWait{550};
constexpr milliseconds kHostStopWait{400};
constexpr milliseconds kPollStep{2};

std::mutex g_mutex;
std::string g_directory;  // empty until VcpInitialize succeeded
std::string g_error;
std::vector<maro_vcp::PairState> g_listing;

void SetError(std::string text) {
    if (text.size() >= kErrorTextLimit) {
        text.resize(kErrorTextLimit - 1);
    }
    g_error = std::move(text);
}

std::string ErrnoText() {
    return std::strerror(errno);
}

bool SleepUntilOr(Clock::time_point deadline) {
    if (Clock::now() >= deadline) {
        return false;
    }
    std::this_thread::sleep_for(kPollStep);
    return true;
}

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void Reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_;
};

// Serialises install, remove and the cleanup of leftovers between every
// process that uses the same port directory.
class DirectoryLock {
  public:
    bool Acquire(const std::string& dir) {
        const std::string path = dir + "/" + maro_vcp::kDirectoryLockName;
        // Never through a planted link: that would create or lock a file
        // outside the port directory.
        fd_.Reset(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (fd_.get() < 0) {
            SetError("Cannot open the lock file \"" + path + "\": " + ErrnoText());
            return false;
        }
        const Clock::time_point deadline = Clock::now() + kDirectoryLockWait;
        while (flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                SetError("Cannot lock the port directory \"" + dir + "\": " + ErrnoText());
                return false;
            }
            if (!SleepUntilOr(deadline)) {
                SetError("The port directory \"" + dir +
                         "\" is busy with another installation; please try again.");
                return false;
            }
        }
        return true;
    }

  private:
    Fd fd_;  // closing it releases the lock
};

std::string PathIn(const std::string& dir, const std::string& name) {
    return dir + "/" + name;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool IsSymlink(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// True when some process holds the host's lock on `path`.
bool IsLockHeld(const std::string& path) {
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) {
        return false;
    }
    if (flock(fd.get(), LOCK_SH | LOCK_NB) == 0) {
        return false;
    }
    return errno == EWOULDBLOCK;
}

bool ReadText(const std::string& path, std::string& text) {
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) {
        return false;
    }
    text.clear();
    char buffer[1024];
    for (;;) {
        const ssize_t n = read(fd.get(), buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n == 0;
        }
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > 4096) {
            return false;
        }
    }
}

void RemovePairFiles(const std::string& dir, int number) {
    for (const std::string& name : {maro_vcp::ComPortName(number), maro_vcp::DevicePortName(number),
                                    maro_vcp::AliasPortName(number)}) {
        const std::string path = PathIn(dir, name);
        if (IsSymlink(path)) {
            unlink(path.c_str());
        }
    }
    unlink(PathIn(dir, maro_vcp::StateFileName(number)).c_str());
    unlink(PathIn(dir, maro_vcp::LinesFileName(number)).c_str());
}

// A number embedded in a port directory name, or -1.
int NumberOf(const std::string& name, const char* prefix) {
    return maro_vcp::ParseNumberedName(name, prefix);
}

// A host writes its line file and renews its links under ".<name>.<pid>"
// and renames them into place; one that died in between leaves them. They
// belong to a dead host unless the live host of that pair has that pid.
bool IsDeadHostsTemporary(const std::string& dir, const std::string& name) {
    const size_t dot = name.rfind('.');
    if (name.size() < 2 || name[0] != '.' || dot == 0 || dot + 1 == name.size() ||
        name.find_first_not_of("0123456789", dot + 1) != std::string::npos) {
        return false;
    }
    const std::string base = name.substr(1, dot - 1);
    const std::string lines = maro_vcp::kLinesSuffix;
    int number = -1;
    if (base.size() > lines.size() &&
        base.compare(base.size() - lines.size(), lines.size(), lines) == 0) {
        number = NumberOf(base.substr(0, base.size() - lines.size()), "CNC");
    } else {
        for (const char* prefix : {"COM", "ZADURUV", "MAROCOM"}) {
            number = std::max(number, NumberOf(base, prefix));
        }
    }
    if (number < 0) {
        return false;
    }
    const std::string state = PathIn(dir, maro_vcp::StateFileName(number));
    std::string text;
    maro_vcp::PairState live;
    return !(ReadText(state, text) && maro_vcp::ParseState(text, live) && IsLockHeld(state) &&
             std::to_string(live.pid) == name.substr(dot + 1));
}

// Removes what dead hosts left behind. Call with the directory lock held.
void CleanLeftovers(const std::string& dir) {
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) {
        return;
    }
    std::vector<std::string> names;
    while (dirent* entry = readdir(listing)) {
        names.emplace_back(entry->d_name);
    }
    closedir(listing);

    const std::string suffix = maro_vcp::kStateSuffix;
    for (const std::string& name : names) {
        // A host that died while starting leaves ".CNC<n>.pair.<pid>".
        if (name.size() > 1 && name[0] == '.' && name.find(suffix + ".") != std::string::npos) {
            const std::string path = PathIn(dir, name);
            if (!IsLockHeld(path)) {
                unlink(path.c_str());
            }
            continue;
        }
        if (IsDeadHostsTemporary(dir, name)) {
            unlink(PathIn(dir, name).c_str());
            continue;
        }
        if (name.size() <= suffix.size() ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        const int number = NumberOf(name.substr(0, name.size() - suffix.size()), "CNC");
        if (number < 0 || IsLockHeld(PathIn(dir, name))) {
            continue;
        }
        RemovePairFiles(dir, number);
    }
    // Links of ours whose pty is gone and whose pair has no state file.
    for (const std::string& name : names) {
        int number = -1;
        for (const char* prefix : {"COM", "ZADURUV", "MAROCOM"}) {
            number = std::max(number, NumberOf(name, prefix));
        }
        if (number < 0) {
            continue;
        }
        const std::string path = PathIn(dir, name);
        struct stat target {};
        if (IsSymlink(path) && stat(path.c_str(), &target) != 0 &&
            !Exists(PathIn(dir, maro_vcp::StateFileName(number)))) {
            unlink(path.c_str());
        }
    }
}

// Pairs whose host is alive, by rising number.
std::vector<maro_vcp::PairState> ReadPairs(const std::string& dir) {
    std::vector<maro_vcp::PairState> pairs;
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) {
        return pairs;
    }
    const std::string suffix = maro_vcp::kStateSuffix;
    while (dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.size() <= suffix.size() ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        const int number = NumberOf(name.substr(0, name.size() - suffix.size()), "CNC");
        const std::string path = PathIn(dir, name);
        std::string text;
        maro_vcp::PairState state;
        if (number < 0 || !ReadText(path, text) || !maro_vcp::ParseState(text, state) ||
            state.number != number || !IsLockHeld(path)) {
            continue;
        }
        pairs.push_back(state);
    }
    closedir(listing);
    std::sort(pairs.begin(), pairs.end(),
              [](const auto& a, const auto& b) { return a.number < b.number; });
    return pairs;
}

bool Initialize() {
    std::string dir;
    std::string error;
    if (!clst::platform::EnsurePortDirectory(dir, error)) {
        g_directory.clear();
        SetError("The virtual COM port library cannot be used: " + error);
        return false;
    }
    if (access(dir.c_str(), R_OK | W_OK | X_OK) != 0) {
        g_directory.clear();
        SetError("The virtual COM port library cannot use the port directory \"" + dir +
                 "\": " + ErrnoText());
        return false;
    }
    g_directory = dir;
    return true;
}

bool EnsureInitialized() {
    return !g_directory.empty() || Initialize();
}

// "<dir of this library>/clsertolvane-pairhost" where an installed tree keeps
// it (a private program, out of PATH), else "<dir of this library>/../bin/..."
// as in the build tree.
std::string HostProgramPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&VcpInitialize), &info) == 0 || info.dli_fname == nullptr) {
        return std::string();
    }
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) == nullptr) {
        return std::string();
    }
    std::string path = resolved;
    path.resize(path.rfind('/'));  // library directory
    std::string beside = path + "/" + maro_vcp::kHostProgramName;
    if (access(beside.c_str(), F_OK) == 0) {
        return beside;
    }
    const size_t parent = path.rfind('/');
    path.resize(parent == 0 ? 1 : parent);
    if (path.back() != '/') {
        path += '/';
    }
    return path + "bin/" + maro_vcp::kHostProgramName;
}

// Why `number` cannot be installed, or "" when it can. Directory lock held.
std::string Occupant(const std::string& dir, int number) {
    for (const std::string& name :
         {maro_vcp::StateFileName(number), maro_vcp::ComPortName(number),
          maro_vcp::DevicePortName(number), maro_vcp::AliasPortName(number)}) {
        if (Exists(PathIn(dir, name))) {
            return name == maro_vcp::StateFileName(number)
                       ? "The virtual port pair " + maro_vcp::PairName(number) + " already exists."
                       : "The port " + name + " already exists in \"" + dir + "\".";
        }
    }
    // The same ports the program lists as the system's own.
    const std::string device = clst::platform::SystemComPortDevice(number);
    if (!device.empty()) {
        return "COM" + std::to_string(number) + " is a serial port of this system (" + device +
               ").";
    }
    return std::string();
}

// Waits until nothing holds the lock on `statePath`.
bool WaitForRelease(const std::string& statePath, milliseconds budget) {
    const Clock::time_point deadline = Clock::now() + budget;
    while (IsLockHeld(statePath)) {
        if (!SleepUntilOr(deadline)) {
            return false;
        }
    }
    return true;
}

// True when `pid` runs the pair host for `number`: a recycled pid of some
// other program must never be signalled.
bool IsPairHost(pid_t pid, int number) {
    std::string cmdline;
    if (!ReadText("/proc/" + std::to_string(pid) + "/cmdline", cmdline)) {
        return false;
    }
    std::vector<std::string> args;
    size_t start = 0;
    while (start < cmdline.size()) {
        const size_t end = cmdline.find('\0', start);
        args.push_back(cmdline.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    if (args.size() != 3 || args[2] != std::to_string(number)) {
        return false;
    }
    const std::string& program = args[0];
    const std::string name = maro_vcp::kHostProgramName;
    return program.size() >= name.size() &&
           program.compare(program.size() - name.size(), name.size(), name) == 0;
}

// Stops a pair's host and removes its files. Directory lock held.
bool StopPair(const std::string& dir, int number) {
    const std::string statePath = PathIn(dir, maro_vcp::StateFileName(number));
    std::string text;
    maro_vcp::PairState state;
    if (IsLockHeld(statePath) && ReadText(statePath, text) && maro_vcp::ParseState(text, state) &&
        IsPairHost(state.pid, number)) {
        kill(state.pid, SIGTERM);
        if (!WaitForRelease(statePath, kHostStopWait)) {
            kill(state.pid, SIGKILL);
            if (!WaitForRelease(statePath, kHostStopWait / 2)) {
                SetError("The host process " + std::to_string(state.pid) + " of " +
                         maro_vcp::PairName(number) + " does not stop.");
                return false;
            }
        }
    }
    RemovePairFiles(dir, number);
    return true;
}

// Reads the host's readiness lines until "ready", an error or the deadline.
bool AwaitHost(int readFd, Clock::time_point deadline, pid_t& hostPid, std::string& error) {
    std::string received;
    for (;;) {
        size_t newline;
        while ((newline = received.find('\n')) != std::string::npos) {
            const std::string line = received.substr(0, newline);
            received.erase(0, newline + 1);
            if (line == "ready") {
                return true;
            }
            if (line.rfind("pid ", 0) == 0) {
                hostPid = static_cast<pid_t>(std::atoi(line.c_str() + 4));
            } else if (line.rfind("error ", 0) == 0) {
                error = "The pair host failed: " + line.substr(6);
                return false;
            }
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            error = "The pair host did not get ready in time.";
            return false;
        }
        pollfd pfd{readFd, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            continue;
        }
        char buffer[600];
        const ssize_t n = read(readFd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = "The pair host ended before the pair was ready.";
            return false;
        }
        received.append(buffer, static_cast<size_t>(n));
    }
}

bool StartHost(const std::string& dir, int number) {
    const Clock::time_point deadline = Clock::now() + kHostStartWait;
    const std::string program = HostProgramPath();
    if (program.empty() || access(program.c_str(), X_OK) != 0) {
        SetError("The pair host program \"" + program + "\" cannot be run: " + ErrnoText());
        return false;
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        SetError("Cannot create a pipe: " + ErrnoText());
        return false;
    }
    Fd readEnd(pipeFds[0]);
    // Kept above the standard descriptors so the dup2 to 3 below always
    // makes a fresh descriptor without close-on-exec.
    Fd writeEnd(fcntl(pipeFds[1], F_DUPFD_CLOEXEC, 10));
    close(pipeFds[1]);
    if (writeEnd.get() < 0) {
        SetError("Cannot create a pipe: " + ErrnoText());
        return false;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&actions, 0, 1);
    posix_spawn_file_actions_adddup2(&actions, 0, 2);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) {
        sigaddset(&defaults, sig);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const std::string numberText = std::to_string(number);
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(dir.c_str()),
                    const_cast<char*>(numberText.c_str()), nullptr};
    pid_t starter = 0;
    const int spawned =
        posix_spawn(&starter, program.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    writeEnd.Reset();
    if (spawned != 0) {
        SetError("Cannot start the pair host \"" + program + "\": " + std::strerror(spawned));
        return false;
    }
    // The started process forks the real host and exits at once; reap it.
    while (waitpid(starter, nullptr, 0) < 0 && errno == EINTR) {
    }

    pid_t hostPid = 0;
    std::string error;
    if (AwaitHost(readEnd.get(), deadline, hostPid, error)) {
        return true;
    }
    if (hostPid > 1 && IsPairHost(hostPid, number)) {
        kill(hostPid, SIGKILL);
        WaitForRelease(PathIn(dir, maro_vcp::StateFileName(number)), milliseconds(100));
    }
    RemovePairFiles(dir, number);
    SetError(error);
    return false;
}

bool CheckNumber(int32_t number) {
    if (number < maro_vcp::kMinPortNumber || number > maro_vcp::kMaxPortNumber) {
        SetError("The port number " + std::to_string(number) + " is not valid; use " +
                 std::to_string(maro_vcp::kMinPortNumber) + " to " +
                 std::to_string(maro_vcp::kMaxPortNumber) + ".");
        return false;
    }
    return true;
}

void CopyName(char* buffer, const std::string& text) {
    std::snprintf(buffer, kNameBufferSize, "%s", text.c_str());
}

}  // namespace

int32_t VcpInitialize(void) {
    std::lock_guard<std::mutex> guard(g_mutex);
    return Initialize() ? 1 : 0;
}

int32_t VcpGetPairCount(void) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_listing.clear();
    if (!EnsureInitialized()) {
        return -1;
    }
    {
        // Without the lock (another instance is mid-install) the live pairs
        // are still listed; the leftovers wait for the next listing.
        DirectoryLock lock;
        if (lock.Acquire(g_directory)) {
            CleanLeftovers(g_directory);
        }
    }
    g_listing = ReadPairs(g_directory);
    return static_cast<int32_t>(g_listing.size());
}

int32_t VcpGetPair(int32_t index, char* pairName, char* firstPort, char* secondPort) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (pairName == nullptr || firstPort == nullptr || secondPort == nullptr) {
        SetError("VcpGetPair needs three name buffers.");
        return 0;
    }
    if (index < 0 || static_cast<size_t>(index) >= g_listing.size()) {
        SetError("There is no listed virtual port pair at index " + std::to_string(index) + ".");
        return 0;
    }
    const maro_vcp::PairState& pair = g_listing[static_cast<size_t>(index)];
    CopyName(pairName, maro_vcp::PairName(pair.number));
    CopyName(firstPort, maro_vcp::ComPortName(pair.number));
    CopyName(secondPort, maro_vcp::DevicePortName(pair.number));
    return 1;
}

int32_t VcpGetLastErrorText(char* buffer) {
    std::lock_guard<std::mutex> guard(g_mutex);
    const int32_t needed = static_cast<int32_t>(g_error.size() + 1);
    if (buffer != nullptr) {
        std::memcpy(buffer, g_error.c_str(), g_error.size() + 1);
    }
    return needed;
}

int32_t VcpInstallPair(int32_t portNumber) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (!CheckNumber(portNumber) || !EnsureInitialized()) {
        return 0;
    }
    DirectoryLock lock;
    if (!lock.Acquire(g_directory)) {
        return 0;
    }
    CleanLeftovers(g_directory);
    const std::string occupant = Occupant(g_directory, portNumber);
    if (!occupant.empty()) {
        SetError("Cannot install COM" + std::to_string(portNumber) + ": " + occupant);
        return 0;
    }
    return StartHost(g_directory, portNumber) ? 1 : 0;
}

int32_t VcpRemovePair(const char* pairName) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (pairName == nullptr) {
        SetError("No pair name was given.");
        return 0;
    }
    const std::string name(pairName, strnlen(pairName, 64));
    const int number = maro_vcp::ParseNumberedName(name, "CNC");
    if (number < 0) {
        SetError("\"" + name + "\" is not a virtual port pair name (CNC followed by a number).");
        return 0;
    }
    if (!EnsureInitialized()) {
        return 0;
    }
    DirectoryLock lock;
    if (!lock.Acquire(g_directory)) {
        return 0;
    }
    const std::string statePath = PathIn(g_directory, maro_vcp::StateFileName(number));
    if (!Exists(statePath)) {
        SetError("There is no virtual port pair " + name + ".");
        return 0;
    }
    return StopPair(g_directory, number) ? 1 : 0;
}

int32_t VcpIsPortNumberInUse(int32_t portNumber) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (portNumber < maro_vcp::kMinPortNumber || portNumber > maro_vcp::kMaxPortNumber ||
        !EnsureInitialized()) {
        // Not taken: installing it then fails with the reason.
        return 0;
    }
    DirectoryLock lock;
    if (lock.Acquire(g_directory)) {
        CleanLeftovers(g_directory);
    }
    return Occupant(g_directory, portNumber).empty() ? 0 : 1;
}

int32_t VcpRelease(void) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_listing.clear();
    g_directory.clear();
    return 1;
}
