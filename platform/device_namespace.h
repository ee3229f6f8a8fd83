// The device namespace behind "\\.\NAME": virtual port-pair links in the
// port directory, COMn names for the Linux serial devices, then /dev.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace clst::platform {

// The Linux path for NAME or "\\.\NAME", in this order: a link NAME in the
// port directory (only one that passes CheckPortDirectory); MAROCOM<n> as the device end ZADURUV<n>
// of the pair whose COM port is COM<n>; COM1..COM32 as /dev/ttyS0..31, COM33..COM64 as
// /dev/ttyUSB0..31, COM65..COM96 as /dev/ttyACM0..31 (as Wine maps them);
// anything else as /dev/NAME.
std::string ResolveDevicePath(const std::string& name);

// The Linux device behind COM<number> (as ResolveDevicePath maps it) when a
// real serial port is there, else "".
std::string SystemComPortDevice(int number);

// Every name the namespace knows that exists right now, with its target:
// the port directory's links, then COMn for the serial devices present.
std::vector<std::pair<std::string, std::string>> ListDosDevices();

// The names of ListDosDevices as consecutive NUL-terminated texts closed by
// an empty text. Returns the bytes stored, or 0 with the last error set to
// ERROR_INSUFFICIENT_BUFFER (122) when they do not fit.
uint32_t QueryDosDevice(char* buffer, uint32_t size);

}  // namespace clst::platform
