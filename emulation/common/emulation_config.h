// The emulated board's description: boards, their Camera Link serial ports,
// the camera behind each port and the faults a port should show. Every
// emulated maker library reads the same file so that the runtime's board
// list and the serial library's port numbering agree.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace clst::emulation {

// One Camera Link serial port, numbered over all boards in board order.
struct PortConfig {
    int index = 0;
    std::string camera = "demo";   // demo | echo | silent | pty
    std::string link;              // camera=pty: path of the pty slave's link
    bool initError = false;        // clSerialInit fails
    bool baudError = false;        // clSetBaudRate fails
    int readErrorEvery = 0;        // every N-th clSerialRead fails; 0 = never
    int shortWrite = 0;            // accept at most K bytes a write; 0 = off
    bool stalledReceiver = false;  // the camera takes no bytes: writes time out
    // A read that times out copies nothing, leaves the count as the caller
    // set it and keeps the bytes for a later read, as some makers' do.
    bool timeoutCopiesNothing = false;
    size_t rxBuffer = 65536;  // bytes buffered from the camera before overflow
};

struct BoardConfig {
    int deviceIndex = 0;
    std::string name;  // may be empty
    bool hasName = false;
    int ports = 0;
    int firstSerialIndex = 0;  // serial index of the board's first port
};

struct EmulationConfig {
    std::vector<BoardConfig> boards;  // sorted by device index
    std::vector<PortConfig> ports;    // serial indices 0..N-1
    int deviceLimit = 8;              // boards sit at device indices below this
    std::string source;               // file path or "built-in"
};

// Limits that keep a hostile file from making us allocate without bound.
inline constexpr int kMaxDeviceLimit = 64;
inline constexpr int kMaxPortsPerBoard = 16;
inline constexpr size_t kMaxRxBuffer = 16u * 1024 * 1024;
inline constexpr size_t kMaxConfigFileSize = 1024 * 1024;

// The built-in board: "EmuBoard" at device index 0 with two demo cameras.
EmulationConfig DefaultEmulationConfig();

// Parses the INI text. On failure returns false, leaves `out` untouched and
// says in `error` which line was wrong and why.
bool ParseEmulationConfig(const std::string& text, EmulationConfig& out, std::string& error);

// Reads the file at `path` (a regular file of at most kMaxConfigFileSize).
bool LoadEmulationConfigFile(const std::string& path, EmulationConfig& out, std::string& error);

// The file the emulated libraries read: $MARO_EMULATION when set, else
// <install dir>/etc/emulation.ini when it exists ("" when neither applies).
// The install dir is the parent of the lib directory holding the library this
// code is linked into (directly, or in an installed tree's lib/clsertolvane).
std::string EmulationConfigPath();

// Loads the configuration from EmulationConfigPath(), or the built-in board
// when there is no file. A file that is named but unreadable or malformed is
// an error: `out` then holds the built-in board and `error` says why, so a
// caller may report it and still go on.
bool LoadEmulationConfig(EmulationConfig& out, std::string& error);

}  // namespace clst::emulation
