// The one connection a running instance serves, its text forms, and the
// write-back of its serial parameters into the configuration file.
#pragma once

#include <cstdint>
#include <string>

#include "connections/message_sink.h"

namespace clst {

// A plain value, copied between the main window and the port settings dialog.
struct ConnectionSettings {
    std::string devicePortName;  // our own end of the port pair, e.g. ZADURUV5
    std::string comPortName;     // the partner end other programs open, e.g. COM5
    int32_t clserPortIndex = 0;  // -1: none chosen
    int32_t dataBits = 8;        // 5 .. 9
    int32_t stopBits = 0;        // 0 one, 1 one and a half, 2 two
    int32_t clserBaudCode = 1;   // Camera Link baud flag, 1 = 9600
    int32_t comBaudRate = 9600;  // bit/s
    int32_t parity = 0;          // 0 none, 1 odd, 2 even
    bool echo = false;           // relayed data shown in the main window
};

// Number of entries of the baud table.
constexpr int kBaudTableSize = 8;

// The i-th baud text ("9600" .. "921600"), or nullptr when i is out of range.
const char* BaudText(int index);
// The Camera Link baud flag for a rate in bit/s, or 0 when the rate is not
// one of the table's.
int32_t ClSerBaudCodeForRate(int32_t bitsPerSecond);
// The rate in bit/s for a Camera Link baud flag, or 0 when unknown.
int32_t RateForClSerBaudCode(int32_t baudCode);
// Parses a baud text exactly ("115200"); false leaves the outputs untouched.
bool ParseBaudText(const std::string& text, int32_t& comBaudRate, int32_t& clserBaudCode);

// "n", "o", "e" for parity 0, 1, 2; nullptr for any other code.
const char* ParityText(int32_t parity);
// Parses "n", "o", "e" (either case); false leaves `parity` untouched.
bool ParseParityText(const std::string& text, int32_t& parity);

// "1", "1.5", "2" for stop-bit codes 0, 1, 2; nullptr for any other code.
const char* StopBitsText(int32_t stopBits);
// Parses "1", "1.5", "2"; false leaves `stopBits` untouched.
bool ParseStopBitsText(const std::string& text, int32_t& stopBits);

// Parses "5" .. "9"; false leaves `dataBits` untouched.
bool ParseDataBitsText(const std::string& text, int32_t& dataBits);

// Name of the configuration file beside the executable.
constexpr const char* kConfigFileName = "TolvaneConfig.ini";

// Writes "baudrate", "parity", "databit" and "stopbit" of the confirmed
// `settings` into the section "connection<n>" (n = 1 .. clserPortCount) whose
// upper-cased "com" equals `oldComPortName` and whose "clser" equals
// `oldClSerPortIndex`; the first such section wins. A changed COM or Camera
// Link port is announced through `sink` and never written. When no section
// matches nothing is written: the last section examined belongs to another
// connection. Failures of the file are not reported; the running instance
// keeps its settings regardless. `directory` is where the file lives; empty
// means the directory of the running executable.
void SaveToConfigFile(const ConnectionSettings& settings, const std::string& oldComPortName,
                      int32_t oldClSerPortIndex, int32_t clserPortCount, MessageSink& sink,
                      const std::string& directory = std::string());

}  // namespace clst
