#include "platform/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/deadline.h"

extern char** environ;

namespace clst::platform {

namespace {

class Pipe {
  public:
    Pipe() {
        if (pipe2(fds_, O_CLOEXEC) != 0) {
            fds_[0] = fds_[1] = -1;
        }
    }
    ~Pipe() {
        CloseWriteEnd();
        if (fds_[0] >= 0) {
            close(fds_[0]);
        }
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    bool ok() const { return fds_[0] >= 0; }
    int readEnd() const { return fds_[0]; }
    int writeEnd() const { return fds_[1]; }
    void CloseWriteEnd() {
        if (fds_[1] >= 0) {
            close(fds_[1]);
            fds_[1] = -1;
        }
    }

  private:
    int fds_[2];
};

// Moves what `fd` has now into `text`, without waiting; false at its end.
bool Drain(int fd, std::string& text) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return n < 0 && (errno == EAGAIN || errno == EINTR);
        }
        text.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace

std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return access(name.c_str(), X_OK) == 0 ? name : std::string();
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        const std::string dir = dirs.substr(start, end - start);
        // An empty entry means the current directory; not for a tool.
        if (!dir.empty() && dir.front() == '/') {
            std::string candidate = dir + "/" + name;
            if (access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
        start = end + 1;
    }
    return {};
}

ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& setEnv,
                         std::chrono::milliseconds limit) {
    ProgramResult result;
    const Deadline deadline = Deadline::In(limit);
    Pipe out;
    Pipe err;
    if (argv.empty() || !out.ok() || !err.ok()) {
        result.error = "cannot start a program: no command or no pipe";
        return result;
    }
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& [name, value] : setEnv) {
            replaced = replaced || entry.starts_with(name + "=");
        }
        if (!replaced) {
            envText.push_back(entry);
        }
    }
    for (const auto& [name, value] : setEnv) {
        envText.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    envp.reserve(envText.size() + 1);
    for (std::string& entry : envText) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    argp.reserve(args.size() + 1);
    for (std::string& arg : args) {
        argp.push_back(arg.data());
    }
    argp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.writeEnd(), 1);
    posix_spawn_file_actions_adddup2(&actions, err.writeEnd(), 2);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    out.CloseWriteEnd();
    err.CloseWriteEnd();
    if (spawned != 0) {
        result.error = "cannot start " + argv[0] + ": " + std::strerror(spawned);
        return result;
    }
    result.started = true;
    fcntl(out.readEnd(), F_SETFL, O_NONBLOCK);
    fcntl(err.readEnd(), F_SETFL, O_NONBLOCK);
    int status = 0;
    pollfd fds[2] = {{out.readEnd(), POLLIN, 0}, {err.readEnd(), POLLIN, 0}};
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        // A pipe at its end is left out of the poll, which would report it
        // again and again.
        if (fds[0].fd >= 0 && !Drain(out.readEnd(), result.output)) {
            fds[0].fd = -1;
        }
        if (fds[1].fd >= 0 && !Drain(err.readEnd(), result.error)) {
            fds[1].fd = -1;
        }
        if (done == pid) {
            result.finished = true;
            result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return result;
        }
        if (done < 0 && errno != EINTR) {
            return result;
        }
        if (deadline.Passed()) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return result;
        }
        // A short wait: the program's exit is not an event on the pipes
        // when a helper it started keeps them open.
        poll(fds, 2, std::min(deadline.RemainingMs(), 20));
    }
}

}  // namespace clst::platform
