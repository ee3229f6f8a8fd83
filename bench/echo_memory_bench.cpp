// Memory and speed of the echo list's store over a long echoing relay: ten
// minutes (by default) of both directions at 921600 bit/s, in blocks as the
// relay reads them, through the same queue the window drains. The store keeps
// the newest 64 MiB (--max-mib), so ten minutes at full rate reach its bound.
// Prints the store's bytes per relayed byte until the bound, the lines held
// and dropped, the process's RSS growth, and the cost of adding and of
// reading back lines; exits 1 when the store needs more than 8 bytes per
// relayed byte, holds more than its bound, or the RSS grows by more than a
// quarter beyond it.
//
//   clsertolvane-echo-bench [--seconds S] [--baud B] [--max-mib M] [--json FILE]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "relay/echo_sink.h"
#include "relay/relay_worker.h"
#include "ui/echo_store.h"

namespace {

long RssKiB() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            kib = std::strtol(line + 6, nullptr, 10);
    }
    std::fclose(status);
    return kib;
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 600;
    long baud = 921600;
    long maxMiB = static_cast<long>(clst::EchoStore::kDefaultMaxBytes >> 20);
    const char* json = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else if (arg == "--baud") {
            baud = std::atol(argv[i + 1]);
        } else if (arg == "--max-mib") {
            maxMiB = std::atol(argv[i + 1]);
        } else if (arg == "--json") {
            json = argv[i + 1];
        } else {
            std::fprintf(stderr, "usage: %s [--seconds S] [--baud B] [--max-mib M] [--json FILE]\n",
                         argv[0]);
            return 2;
        }
    }
    if (seconds <= 0 || baud <= 0 || maxMiB < 2) {
        std::fprintf(stderr, "--seconds and --baud must be positive, --max-mib at least 2\n");
        return 2;
    }

    // Each direction carries baud/10 bytes a second (8N1).
    const uint64_t perDirection = static_cast<uint64_t>(seconds * static_cast<double>(baud) / 10);
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> blockSize(1, 1024);
    std::uniform_int_distribution<int> byteValue(0, 255);

    clst::QueuedEchoSink sink;
    clst::EchoStore store(static_cast<size_t>(maxMiB) << 20);
    std::vector<std::string> taken;
    clst::EchoRecord record;
    const long rssBefore = RssKiB();
    uint64_t relayed = 0;
    // Bytes per relayed byte while nothing has been dropped yet.
    double bytesPerByte = 0;
    size_t peakStoreBytes = 0;
    uint64_t sent[2] = {0, 0};
    std::chrono::steady_clock::duration addTime{};
    int direction = 0;
    while (sent[0] < perDirection || sent[1] < perDirection) {
        if (sent[direction] >= perDirection)
            direction ^= 1;
        record.count = static_cast<uint32_t>(std::min<uint64_t>(
            static_cast<uint64_t>(blockSize(random)), perDirection - sent[direction]));
        for (uint32_t i = 0; i < record.count; ++i)
            record.data[i] = static_cast<uint8_t>(byteValue(random));
        const std::string line = clst::FormatEchoLine(record.data, record.count);
        const auto start = std::chrono::steady_clock::now();
        // What the worker adds for a block, and what the window's poll does.
        sink.AddString(direction == 0 ? "To ClSer:" : "To Com:");
        sink.AddString(line);
        sink.TakeLines(taken);
        for (const std::string& t : taken)
            store.Append(t);
        taken.clear();
        addTime += std::chrono::steady_clock::now() - start;
        sent[direction] += record.count;
        relayed += record.count;
        peakStoreBytes = std::max(peakStoreBytes, store.MemoryBytes());
        if (store.droppedLines() == 0) {
            bytesPerByte = static_cast<double>(store.MemoryBytes()) / static_cast<double>(relayed);
        }
        direction ^= 1;
    }
    const long rssAfter = RssKiB();

    // Reading back: what the view asks for while the newest lines are shown
    // and while the user scrolls anywhere.
    std::uniform_int_distribution<size_t> anyLine(0, store.size() - 1);
    constexpr int kReads = 200000;
    size_t checksum = 0;
    const auto readStart = std::chrono::steady_clock::now();
    for (int i = 0; i < kReads; ++i)
        checksum += store.Line(anyLine(random)).size();
    const double readSeconds = Seconds(std::chrono::steady_clock::now() - readStart);

    const double rssGrowthMiB = static_cast<double>(rssAfter - rssBefore) / 1024.0;
    const uint64_t lines = store.size() + store.droppedLines();
    const double addPerLineUs = Seconds(addTime) * 1e6 / static_cast<double>(lines);
    const double readPerLineUs = readSeconds * 1e6 / kReads;
    std::printf("%-34s %14.0f\n", "simulated seconds", seconds);
    std::printf("%-34s %14llu\n", "relayed bytes (both ways)",
                static_cast<unsigned long long>(relayed));
    std::printf("%-34s %14llu\n", "echo lines", static_cast<unsigned long long>(lines));
    std::printf("%-34s %14zu\n", "lines held", store.size());
    std::printf("%-34s %14llu\n", "lines dropped (oldest)",
                static_cast<unsigned long long>(store.droppedLines()));
    std::printf("%-34s %14.2f\n", "store bytes per relayed byte", bytesPerByte);
    std::printf("%-34s %14ld\n", "bound, MiB", maxMiB);
    std::printf("%-34s %14.1f\n", "store peak, MiB",
                static_cast<double>(peakStoreBytes) / (1 << 20));
    std::printf("%-34s %14.1f\n", "RSS growth, MiB", rssGrowthMiB);
    std::printf("%-34s %14.3f\n", "add, us per line", addPerLineUs);
    std::printf("%-34s %14.3f\n", "read back, us per line", readPerLineUs);
    std::printf("%-34s %14zu\n", "(read checksum)", checksum);
    if (json != nullptr) {
        if (FILE* out = std::fopen(json, "w")) {
            std::fprintf(out,
                         "{\"seconds\": %.0f, \"baud\": %ld, \"relayed_bytes\": %llu, "
                         "\"lines\": %llu, \"lines_held\": %zu, \"lines_dropped\": %llu, "
                         "\"store_bytes_per_byte\": %.3f, \"bound_mib\": %ld, "
                         "\"store_peak_bytes\": %zu, \"rss_growth_mib\": %.1f, "
                         "\"add_us_per_line\": %.3f, \"read_us_per_line\": %.3f}\n",
                         seconds, baud, static_cast<unsigned long long>(relayed),
                         static_cast<unsigned long long>(lines), store.size(),
                         static_cast<unsigned long long>(store.droppedLines()), bytesPerByte,
                         maxMiB, peakStoreBytes, rssGrowthMiB, addPerLineUs, readPerLineUs);
            std::fclose(out);
        }
    }
    int result = 0;
    if (bytesPerByte > 8.0) {
        std::fprintf(stderr, "the echo store needs %.2f bytes per relayed byte (at most 8)\n",
                     bytesPerByte);
        result = 1;
    }
    if (peakStoreBytes > store.maxBytes()) {
        std::fprintf(stderr, "the echo store held %zu bytes, beyond its bound of %zu\n",
                     peakStoreBytes, store.maxBytes());
        result = 1;
    }
    if (rssGrowthMiB > 1.25 * static_cast<double>(maxMiB)) {
        std::fprintf(stderr, "RSS grew by %.1f MiB for a bound of %ld MiB\n", rssGrowthMiB, maxMiB);
        result = 1;
    }
    return result;
}
