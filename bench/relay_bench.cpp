// clsertolvane-bench: latency, throughput and CPU figures of the relay on the
// emulated board. It starts clsertolvane-relay (from its own bin/ folder) as a
// separate process, plays the COM client on a pty and, for the throughput
// runs, the camera on the emulated port's pty, and prints one table (and
// JSON with --json FILE).
//
//   clsertolvane-bench [--json FILE] [--quick] [--idle-seconds N]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The demo camera's 16-byte command used for the round trip ("OK\r\n" comes
// back), and the end of its reply.
const std::string kCommand = "exposure=123456\r";
constexpr char kReplyEnd = '\n';

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string SelfDir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/'));
}

void SetRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
}

bool WriteAll(int fd, const char* data, size_t size, double limitSeconds) {
    const auto end = Clock::now() + std::chrono::duration<double>(limitSeconds);
    size_t done = 0;
    while (done < size && Clock::now() < end) {
        ssize_t n = write(fd, data + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 5);
        }
    }
    return done == size;
}

// CPU seconds (user + system) used so far by process `pid`.
double ProcessCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::vector<std::string> fields;
    size_t pos = close + 2;
    while (pos < text.size()) {
        size_t next = text.find(' ', pos);
        if (next == std::string::npos) next = text.size();
        fields.push_back(text.substr(pos, next - pos));
        pos = next + 1;
    }
    if (fields.size() < 13) return 0;
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return (std::stod(fields[11]) + std::stod(fields[12])) / ticks;
}

struct Pty {
    int master = -1;
    std::string slave;
};

Pty OpenPty() {
    Pty p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0) {
        std::perror("posix_openpt");
        std::exit(1);
    }
    p.slave = ptsname(p.master);
    SetRaw(p.master);
    return p;
}

class Relay {
public:
    Relay(const std::string& bin, const std::string& port, int index, unsigned baud) {
        std::string b = std::to_string(baud), i = std::to_string(index);
        std::vector<std::string> args = {bin, "--baud", b, port, i};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, bin.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            std::perror("posix_spawn clsertolvane-relay");
            std::exit(1);
        }
        posix_spawn_file_actions_destroy(&actions);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            std::fprintf(stderr, "clsertolvane-relay ended at start (status %d)\n", status);
            std::exit(1);
        }
    }
    ~Relay() {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

struct Result {
    unsigned baud = 0;
    double p50Ms = 0, p99Ms = 0, lineMs = 0;
    double toCameraPct = 0, toComPct = 0;
    size_t bytesEachWay = 0;
    bool exact = true;
    double cpuPerMiB = 0;
    double idleCpuPct = 0;
};

double Percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    if (v.empty()) return 0;
    size_t idx = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size()))) - 1;
    return v[std::min(idx, v.size() - 1)];
}

// Round trips of one command to the demo camera; returns the samples in ms.
std::vector<double> MeasureLatency(int client, int rounds, size_t& replySize) {
    std::vector<double> samples;
    const std::string& command = kCommand;
    char buf[256];
    for (int r = 0; r < rounds; ++r) {
        const auto start = Clock::now();
        if (!WriteAll(client, command.data(), command.size(), 2)) break;
        std::string reply;
        const auto end = start + std::chrono::seconds(2);
        while (Clock::now() < end && (reply.empty() || reply.back() != kReplyEnd)) {
            pollfd p{client, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                ssize_t n = read(client, buf, sizeof buf);
                if (n > 0) reply.append(buf, static_cast<size_t>(n));
            }
        }
        if (reply.empty() || reply.back() != kReplyEnd) {
            std::fprintf(stderr, "no reply from the demo camera (got %zu bytes)\n", reply.size());
            break;
        }
        replySize = reply.size();
        samples.push_back(Seconds(Clock::now() - start) * 1000.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return samples;
}

// Sends `size` random bytes from `from` and checks them at `to`; returns the
// elapsed seconds from the first byte written to the last byte read, or -1.
double Transfer(int from, int to, size_t size, unsigned seed, bool& exact) {
    std::mt19937 rng(seed);
    std::string data(size, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    std::string got;
    got.reserve(size);
    const auto start = Clock::now();
    std::thread writer([&] { WriteAll(from, data.data(), data.size(), 600); });
    char buf[8192];
    auto lastProgress = Clock::now();
    while (got.size() < size && Clock::now() - lastProgress < std::chrono::seconds(5)) {
        pollfd p{to, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            ssize_t n = read(to, buf, sizeof buf);
            if (n > 0) {
                got.append(buf, static_cast<size_t>(n));
                lastProgress = Clock::now();
            }
        }
    }
    const double elapsed = Seconds(Clock::now() - start);
    writer.join();
    exact = exact && got == data;
    return got.size() == size ? elapsed : -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string jsonPath;
    bool quick = false;
    int idleSeconds = 10;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--json" && i + 1 < argc) {
            jsonPath = argv[++i];
        } else if (a == "--quick") {
            quick = true;
        } else if (a == "--idle-seconds" && i + 1 < argc) {
            idleSeconds = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--json FILE] [--quick] [--idle-seconds N]\n", argv[0]);
            return 2;
        }
    }
    if (quick) idleSeconds = std::min(idleSeconds, 2);

    const std::string relayBin = SelfDir() + "/clsertolvane-relay";
    char pattern[] = "/tmp/clst-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string portDir = dir + "/ports";
    mkdir(portDir.c_str(), 0700);
    setenv("CLSERTOLVANE_PORT_DIR", portDir.c_str(), 1);
    const std::string ini = dir + "/emulation.ini";
    const std::string cameraLink = dir + "/cam1";
    std::ofstream(ini) << "[board0]\nname=BenchBoard\nports=2\n[port0]\ncamera=demo\n"
                       << "[port1]\ncamera=pty\nlink=" << cameraLink << "\n";
    setenv("MARO_EMULATION", ini.c_str(), 1);

    Pty com = OpenPty();
    symlink(com.slave.c_str(), (portDir + "/ZADURUV9").c_str());

    std::vector<Result> results;
    for (unsigned baud : {115200u, 921600u}) {
        Result r;
        r.baud = baud;
        {
            Relay relay(relayBin, "ZADURUV9", 0, baud);
            size_t replySize = 0;
            auto samples = MeasureLatency(com.master, quick ? 20 : 200, replySize);
            r.p50Ms = Percentile(samples, 0.50);
            r.p99Ms = Percentile(samples, 0.99);
            r.lineMs = static_cast<double>(16 + replySize) * 10.0 * 1000.0 / baud;
        }
        {
            Relay relay(relayBin, "ZADURUV9", 1, baud);
            int camera = open(cameraLink.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (camera < 0) {
                std::perror("open camera link");
                return 1;
            }
            SetRaw(camera);
            size_t size = baud >= 921600 ? (1u << 20) : (128u << 10);
            if (quick) size /= 8;
            r.bytesEachWay = size;
            const double lineSeconds = static_cast<double>(size) * 10.0 / baud;
            const double cpu0 = ProcessCpuSeconds(relay.pid());
            const double t1 = Transfer(com.master, camera, size, 11, r.exact);
            const double t2 = Transfer(camera, com.master, size, 12, r.exact);
            const double cpu1 = ProcessCpuSeconds(relay.pid());
            r.toCameraPct = t1 > 0 ? 100.0 * lineSeconds / t1 : 0;
            r.toComPct = t2 > 0 ? 100.0 * lineSeconds / t2 : 0;
            r.exact = r.exact && t1 > 0 && t2 > 0;
            r.cpuPerMiB = (cpu1 - cpu0) / (2.0 * static_cast<double>(size) / (1 << 20));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const double idle0 = ProcessCpuSeconds(relay.pid());
            std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
            const double idle1 = ProcessCpuSeconds(relay.pid());
            r.idleCpuPct = 100.0 * (idle1 - idle0) / idleSeconds;
            close(camera);
        }
        results.push_back(r);
    }
    close(com.master);
    std::system(("rm -rf '" + dir + "'").c_str());

    std::printf("%-8s | %-22s | %-10s | %-10s | %-9s | %-6s | %-9s | %s\n", "bit/s",
                "round trip p50/p99 ms", "line ms", "to camera", "to COM", "exact", "CPU s/MiB",
                "idle CPU");
    for (const auto& r : results) {
        std::printf("%-8u | %9.2f / %-10.2f | %-10.2f | %8.1f %% | %7.1f %% | %-6s | %-9.4f | %.3f %%\n",
                    r.baud, r.p50Ms, r.p99Ms, r.lineMs, r.toCameraPct, r.toComPct,
                    r.exact ? "yes" : "NO", r.cpuPerMiB, r.idleCpuPct);
    }
    if (!jsonPath.empty()) {
        std::ofstream out(jsonPath);
        out << "[\n";
        for (size_t i = 0; i < results.size(); ++i) {
            const auto& r = results[i];
            out << "  {\"baud\": " << r.baud << ", \"p50_ms\": " << r.p50Ms
                << ", \"p99_ms\": " << r.p99Ms << ", \"line_ms\": " << r.lineMs
                << ", \"to_camera_pct\": " << r.toCameraPct << ", \"to_com_pct\": " << r.toComPct
                << ", \"bytes_each_way\": " << r.bytesEachWay
                << ", \"exact\": " << (r.exact ? "true" : "false")
                << ", \"cpu_s_per_mib\": " << r.cpuPerMiB << ", \"idle_cpu_pct\": " << r.idleCpuPct
                << "}" << (i + 1 < results.size() ? "," : "") << "\n";
        }
        out << "]\n";
    }
    bool ok = true;
    for (const auto& r : results) {
        ok = ok && r.exact && r.p50Ms <= r.lineMs + 12.0 && r.toCameraPct >= 97.0 &&
             r.toComPct >= 97.0 && r.idleCpuPct < 0.5;
    }
    std::printf("targets %s\n", ok ? "met" : "NOT met");
    return ok ? 0 : 1;
}
