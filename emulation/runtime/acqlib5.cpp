// Emulated frame-grabber runtime: the system information the program asks
// for (the number of boards) from the emulated board file. The emulation has
// no image acquisition; it offers only what a board list needs.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "emulation/common/emulation_config.h"

#define CLST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using clst::emulation::EmulationConfig;

constexpr int32_t kSelectorBoardCount = 1000;

// Statuses of this runtime (negative, 0 is success).
constexpr int32_t kStatusInvalidArgument = -2070;
constexpr int32_t kStatusBufferTooSmall = -2071;
constexpr int32_t kStatusUnknownSelector = -2072;
constexpr int32_t kStatusNoBoard = -2073;

std::mutex g_mutex;
std::string* g_lastError = nullptr;  // never freed: callable until the process ends

// The board file as it is now. A broken file is reported once (until its
// error changes) and the built-in board stands in, as the serial library does.
EmulationConfig CurrentConfig() {
    EmulationConfig config;
    std::string error;
    const bool ok = clst::emulation::LoadEmulationConfig(config, error);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_lastError == nullptr)
        g_lastError = new std::string;
    if (!ok && error != *g_lastError)
        std::fprintf(stderr, "acqlib5: %s; using the built-in board\n", error.c_str());
    *g_lastError = ok ? std::string() : error;
    return config;
}

}  // namespace

// Extended board initialisation. The emulated boards need no set-up: it
// succeeds for every board index that holds a board. Loaders also take this
// export as the sign of a complete runtime.
CLST_EXPORT int32_t Acq_InitBoardEx(const char* /*applet*/, uint32_t boardIndex,
                                    void* /*reserved*/) {
    const EmulationConfig config = CurrentConfig();
    for (const auto& board : config.boards)
        if (board.deviceIndex >= 0 && static_cast<uint32_t>(board.deviceIndex) == boardIndex)
            return 0;
    return kStatusNoBoard;
}

// System information. Selector 1000 (property 0, parameter 0, no board)
// writes the number of boards as decimal text; *bufferLength holds the
// buffer's capacity on entry and the bytes written, NUL included, on return
// (or the bytes needed when the buffer is too small).
CLST_EXPORT int32_t Acq_QuerySystemInfo(void* board, int32_t selector, int32_t property,
                                        int32_t parameter, char* buffer,
                                        uint32_t* bufferLength) {
    if (selector != kSelectorBoardCount)
        return kStatusUnknownSelector;
    if (board != nullptr || property != 0 || parameter != 0 || buffer == nullptr ||
        bufferLength == nullptr)
        return kStatusInvalidArgument;
    const EmulationConfig config = CurrentConfig();
    char text[16];
    const int n = std::snprintf(text, sizeof text, "%zu", config.boards.size());
    const uint32_t needed = static_cast<uint32_t>(n) + 1;
    if (*bufferLength < needed) {
        *bufferLength = needed;
        return kStatusBufferTooSmall;
    }
    std::memcpy(buffer, text, needed);
    *bufferLength = needed;
    return 0;
}
