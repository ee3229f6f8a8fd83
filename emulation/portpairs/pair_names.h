// Names, limits and the state-file format shared by the port-pair library and
// its pair host. Everything lives in one private port directory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace maro_vcp {

// COM numbers a pair may take; "ZADURUV9999" still fits the callers' 20-byte
// name buffers with room to spare.
inline constexpr int kMinPortNumber = 1;
inline constexpr int kMaxPortNumber = 9999;

// Bytes the host holds per direction on top of what the two ptys buffer; the
// kernel keeps about 20 KiB in each pty direction, so a writer whose reader
// stops can get roughly 45 KiB ahead before its writes stall.
inline constexpr size_t kHostBufferBytes = 4096;

inline constexpr const char* kHostProgramName = "clsertolvane-pairhost";
inline constexpr const char* kDirectoryLockName = ".pairs.lock";
inline constexpr const char* kStateSuffix = ".pair";
inline constexpr const char* kLinesSuffix = ".lines";

inline std::string PairName(int number) {
    return "CNC" + std::to_string(number);
}
inline std::string ComPortName(int number) {
    return "COM" + std::to_string(number);
}
inline std::string DevicePortName(int number) {
    return "ZADURUV" + std::to_string(number);
}
// The device end under the name the program starts up with.
inline std::string AliasPortName(int number) {
    return "MAROCOM" + std::to_string(number);
}
inline std::string StateFileName(int number) {
    return PairName(number) + kStateSuffix;
}

inline std::string LinesFileName(int number) {
    return PairName(number) + kLinesSuffix;
}

// Parses "<prefix><decimal digits>" exactly (no sign, no spaces, at most 4
// digits); returns the number or -1.
int ParseNumberedName(const std::string& text, const std::string& prefix);

// One pair as its host describes it in "<dir>/CNC<n>.pair".
struct PairState {
    int number = -1;
    pid_t pid = 0;
    std::string comTty;     // pty slave behind COM<n>
    std::string deviceTty;  // pty slave behind ZADURUV<n> and MAROCOM<n>
};

// "key=value" lines: pid, pair, com, device, com_tty, device_tty.
std::string FormatState(const PairState& state);
// False when a key is missing or malformed (a file being written, or junk).
bool ParseState(const std::string& text, PairState& state);

// What the pair's host knows of its two ends, for the programs on them, in
// "<dir>/CNC<n>.lines". The host rewrites it (under a temporary name, renamed
// into place, so readers never see half of it) whenever an end is taken or
// let go or the COM end's rate changes, and counts dropped bytes in it at
// most once a second. A pty has no modem lines; this is what programs on
// the COM end are shown as the far end's lines (a null-modem cable whose far
// end is the relay), and how a relay learns the rate a client runs at.
//
// "key=value" lines, unknown keys ignored:
//   device_open=0|1   a program holds the device end (ZADURUV<n>, MAROCOM<n>)
//   com_open=0|1      a program holds the COM end
//   changes=<n>       times device_open changed since the host started
//   com_rate=<bit/s>  the COM end's line rate as it is set now
//   dropped=<n>       bytes from the device end dropped while nobody held
//                     the COM end
struct PairLines {
    bool deviceOpen = false;
    bool comOpen = false;
    uint64_t changes = 0;
    uint32_t comRate = 0;
    uint64_t dropped = 0;
};

std::string FormatLines(const PairLines& lines);
// False when a key is missing or malformed.
bool ParseLines(const std::string& text, PairLines& lines);

}  // namespace maro_vcp
