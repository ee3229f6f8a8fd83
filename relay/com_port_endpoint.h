// The COM side of a connection: one serial port opened exclusively with fixed
// line options, queue sizes and total time-outs. Every operation returns 0 or
// a negative status: minus an errno value mapped from the Win32 error code by
// Win32ErrorToErrno (also stored into errno), or -2 / -1 for oversize reads
// and writes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/serial_port.h"
#include "relay/echo_sink.h"

namespace clst {

inline constexpr uint32_t kComQueueSize = 16384;
inline constexpr uint32_t kComDefaultTimeoutMs = 100;
inline constexpr uint64_t kComMaxTransfer = 0x7FFFFFFF;

class ComPortEndpoint {
  public:
    ComPortEndpoint() = default;
    ~ComPortEndpoint();
    ComPortEndpoint(const ComPortEndpoint&) = delete;
    ComPortEndpoint& operator=(const ComPortEndpoint&) = delete;

    // `parity` and `stopBits` are Win32 DCB codes, `byteSize` the data bits.
    int32_t Open(const char* path, uint32_t baud, uint8_t parity, uint8_t byteSize,
                 uint8_t stopBits);
    int32_t Close();
    int32_t SetReadTimeout(uint32_t ms);
    // Switches the open port to another rate in bit/s, the rest of its line
    // settings kept.
    int32_t SetLineRate(uint32_t baud);
    int32_t SetWriteTimeout(uint32_t ms);
    int32_t Read(void* buffer, uint64_t size, uint64_t& count, uint32_t timeoutMs);
    int32_t Write(const void* buffer, uint64_t size, uint64_t& written);

    bool IsOpen() const { return handle_ != nullptr; }
    platform::SerialHandle handle() const { return handle_; }

    // Where the endpoint's own diagnostic lines go (a failed read or write,
    // a short write); null: straight to standard output. A front end whose
    // standard output may stall (headless, with nobody reading) gives a
    // sink that never waits, so that the relay holding its port lock does
    // not wait either.
    void SetDiagnosticLines(EchoSink* sink) { diagnostics_ = sink; }

  private:
    int32_t FailAndClose();
    void Diagnose(const std::string& line);

    platform::SerialHandle handle_ = nullptr;
    EchoSink* diagnostics_ = nullptr;
};

// The fixed Win32-error-to-errno table; codes not listed give 14 (EFAULT).
int Win32ErrorToErrno(uint32_t code);
// errno = Win32ErrorToErrno(GetLastError()).
void SetErrnoFromLastError();

}  // namespace clst
