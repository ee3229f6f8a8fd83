// A Win32-shaped serial port interface over termios: the COM port endpoint
// calls these the way a Windows program calls CreateFile, Get/SetCommState,
// SetCommTimeouts, ReadFile and WriteFile. Every call returns true or false
// and leaves a Win32 error code in the calling thread's last error
// (platform/win32_errors.h); a successful call sets it to 0.
#pragma once

#include <cstdint>

namespace clst::platform {

struct SerialPort;
using SerialHandle = SerialPort*;  // null: no port

// The fields of the Win32 DCB that matter here, with the same codes. The
// flag word uses the Win32 bit layout (bit 0 fBinary, 1 fParity,
// 2 fOutxCtsFlow, 3 fOutxDsrFlow, 4-5 fDtrControl, 6 fDsrSensitivity,
// 7 fTXContinueOnXoff, 8 fOutX, 9 fInX, 10 fErrorChar, 11 fNull,
// 12-13 fRtsControl, 14 fAbortOnError).
struct Dcb {
    uint32_t BaudRate = 0;
    uint32_t Flags = 0;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 8;
    uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
    char XonChar = 0x11;
    char XoffChar = 0x13;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
};

inline constexpr uint32_t kDcbBinary = 1u << 0;
inline constexpr uint32_t kDcbParity = 1u << 1;
inline constexpr uint32_t kDcbOutxCtsFlow = 1u << 2;
inline constexpr uint32_t kDcbOutxDsrFlow = 1u << 3;
inline constexpr uint32_t kDcbDtrControlMask = 3u << 4;
inline constexpr uint32_t kDcbOutX = 1u << 8;
inline constexpr uint32_t kDcbInX = 1u << 9;
inline constexpr uint32_t kDcbRtsControlMask = 3u << 12;
inline constexpr uint32_t kDcbRtsHandshake = 2u << 12;

struct CommTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

inline constexpr uint32_t kPurgeTxAbort = 0x01;
inline constexpr uint32_t kPurgeRxAbort = 0x02;
inline constexpr uint32_t kPurgeTxClear = 0x04;
inline constexpr uint32_t kPurgeRxClear = 0x08;

// Opens the device "\\.\NAME" (resolved by the device namespace) or a path
// for reading and writing, exclusively: an flock lock that other programs
// honouring it (pyserial, picocom, another instance) cannot get, plus
// TIOCEXCL (which root ignores, hence the lock). Returns null on failure:
// ERROR_FILE_NOT_FOUND for a missing port, ERROR_ACCESS_DENIED for a port
// another program holds.
SerialHandle OpenSerialDevice(const char* path);
bool CloseSerialHandle(SerialHandle handle);

bool GetCommState(SerialHandle handle, Dcb& dcb);
// Raw mode with the DCB's line settings. Refused with
// ERROR_INVALID_PARAMETER: unknown rates, data bits outside 5..8, parity
// codes above 4, stop-bit codes above 2, and one and a half stop bits with
// more than 5 data bits.
bool SetCommState(SerialHandle handle, const Dcb& dcb);
bool SetCommMask(SerialHandle handle, uint32_t mask);
bool SetupComm(SerialHandle handle, uint32_t inQueue, uint32_t outQueue);
bool PurgeComm(SerialHandle handle, uint32_t flags);
bool GetCommTimeouts(SerialHandle handle, CommTimeouts& timeouts);
bool SetCommTimeouts(SerialHandle handle, const CommTimeouts& timeouts);

// Waits at most the total read time-out and returns what has arrived; once
// bytes are there it returns after a quiet gap of about two characters at
// the line rate (at least 1 ms) or when `size` bytes have arrived. A time-out
// with nothing is success with 0 bytes.
bool ReadFile(SerialHandle handle, void* buffer, uint32_t size, uint32_t& read);
// Writes until everything is out or the total write time-out has passed;
// a time-out is success with a short count.
bool WriteFile(SerialHandle handle, const void* buffer, uint32_t size, uint32_t& written);

// The file descriptor behind a handle, for tests and diagnostics (-1 for null).
int SerialFd(SerialHandle handle);

}  // namespace clst::platform
