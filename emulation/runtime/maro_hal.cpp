// Emulated hardware-abstraction library: the boards of the emulated board
// file, opened by device index, with the properties a board list needs.
//
// Properties (MHalQueryBoardInt / MHalQueryBoardText):
//   "ports/serial"  the board's Camera Link serial ports
//   "cl"            its Camera Link connectors (one serial port each)
//   "board/index"   its device index
//   "board/name"    its name; null for a board without one
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "emulation/common/emulation_config.h"

#define CLST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using clst::emulation::BoardConfig;
using clst::emulation::EmulationConfig;

constexpr int32_t kStatusInvalidArgument = -2070;
constexpr int32_t kStatusUnknownKey = -2074;

// An open device: a snapshot of its board taken at open, so its name stays
// readable until the device is closed even if the file changes meanwhile.
struct Device {
    BoardConfig board;
};

struct State {
    std::mutex mutex;
    std::set<const Device*> open;  // handles that may be used
    std::string lastError;
};

State& TheState() {
    static State* state = new State;  // never freed: callable until the process ends
    return *state;
}

EmulationConfig CurrentConfig() {
    EmulationConfig config;
    std::string error;
    const bool ok = clst::emulation::LoadEmulationConfig(config, error);
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!ok && error != state.lastError)
        std::fprintf(stderr, "maro_hal: %s; using the built-in board\n", error.c_str());
    state.lastError = ok ? std::string() : error;
    return config;
}

// Caller holds the mutex. A handle this library did not give out, or one
// already closed, is refused rather than followed.
const Device* Live(State& state, void* handle) {
    const auto it = state.open.find(static_cast<const Device*>(handle));
    return it != state.open.end() ? *it : nullptr;
}

}  // namespace

CLST_EXPORT int32_t MHalDeviceLimit() {
    return CurrentConfig().deviceLimit;
}

CLST_EXPORT void* MHalOpenDevice(uint32_t index) {
    const EmulationConfig config = CurrentConfig();
    if (index >= static_cast<uint32_t>(config.deviceLimit))
        return nullptr;
    for (const BoardConfig& board : config.boards) {
        if (board.deviceIndex >= 0 && static_cast<uint32_t>(board.deviceIndex) == index) {
            Device* device = new Device{board};
            State& state = TheState();
            std::lock_guard<std::mutex> lock(state.mutex);
            state.open.insert(device);
            return device;
        }
    }
    return nullptr;
}

CLST_EXPORT int32_t MHalQueryBoardInt(void* handle, const char* key) {
    if (key == nullptr)
        return kStatusInvalidArgument;
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    const Device* device = Live(state, handle);
    if (device == nullptr)
        return kStatusInvalidArgument;
    if (std::strcmp(key, "ports/serial") == 0 || std::strcmp(key, "cl") == 0)
        return device->board.ports;
    if (std::strcmp(key, "board/index") == 0)
        return device->board.deviceIndex;
    return kStatusUnknownKey;
}

CLST_EXPORT const char* MHalQueryBoardText(void* handle, const char* key) {
    if (key == nullptr)
        return nullptr;
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    const Device* device = Live(state, handle);
    if (device == nullptr || std::strcmp(key, "board/name") != 0 || !device->board.hasName)
        return nullptr;
    return device->board.name.c_str();
}

CLST_EXPORT void MHalCloseDevice(void* handle) {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (const Device* device = Live(state, handle)) {
        state.open.erase(device);
        delete device;
    }
}
