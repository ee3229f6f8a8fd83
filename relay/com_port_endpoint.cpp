#include "relay/com_port_endpoint.h"

#include <cerrno>
#include <cstdio>

#include "platform/win32_errors.h"
#include "relay/relay_lines.h"

namespace clst {

namespace {

constexpr uint32_t kDcbClearMask = 0x3B7E;
constexpr uint32_t kEvRxChar = 0x0001;
constexpr uint32_t kPurgeAll = 0x0F;

}  // namespace

int Win32ErrorToErrno(uint32_t code) {
    switch (code) {
        case 0:
            return 0;
        case 2:
        case 3:
        case 126:
            return 2;
        case 4:
        case 113:
            return 24;
        case 5:
            return 13;
        case 6:
            return 9;
        case 8:
        case 84:
        case 1450:
        case 1451:
        case 1452:
        case 1453:
        case 1454:
        case 1455:
            return 12;
        case 31:
        case 1100:
            return 19;
        case 39:
        case 112:
            return 28;
        case 54:
        case 170:
        case 231:
            return 16;
        case 80:
        case 142:
            return 17;
        case 87:
        case 114:
        case 123:
        case 124:
        case 160:
            return 22;
        case 109:
        case 230:
        case 232:
        case 233:
            return 32;
        case 119:
        case 120:
            return 40;
        case 121:
        case 1460:
            return 138;
        case 127:
            return 3;
        case 128:
            return 10;
        case 995:
            return 4;
        case 1117:
            return 5;
        default:
            return 14;
    }
}

void SetErrnoFromLastError() {
    errno = Win32ErrorToErrno(platform::GetLastError());
}

ComPortEndpoint::~ComPortEndpoint() {
    if (handle_ != nullptr) {
        Close();
    }
}

void ComPortEndpoint::Diagnose(const std::string& line) {
    if (diagnostics_ != nullptr) {
        diagnostics_->AddString(line);
    } else {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
}

int32_t ComPortEndpoint::FailAndClose() {
    SetErrnoFromLastError();
    const int32_t status = -errno;
    Close();
    return status;
}

int32_t ComPortEndpoint::Open(const char* path, uint32_t baud, uint8_t parity, uint8_t byteSize,
                              uint8_t stopBits) {
    handle_ = platform::OpenSerialDevice(path);
    if (handle_ == nullptr) {
        SetErrnoFromLastError();
        return -errno;
    }
    platform::Dcb dcb;
    if (!platform::GetCommState(handle_, dcb)) {
        return FailAndClose();
    }
    dcb.BaudRate = baud;
    dcb.ByteSize = byteSize;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    dcb.Flags |= platform::kDcbBinary;
    dcb.Flags &= ~kDcbClearMask;
    if (!platform::SetCommState(handle_, dcb) || !platform::SetCommMask(handle_, kEvRxChar) ||
        !platform::SetupComm(handle_, kComQueueSize, kComQueueSize) ||
        !platform::PurgeComm(handle_, kPurgeAll)) {
        return FailAndClose();
    }
    int32_t status = SetReadTimeout(kComDefaultTimeoutMs);
    if (status == 0) {
        status = SetWriteTimeout(kComDefaultTimeoutMs);
    }
    if (status != 0) {
        Close();
        return status;
    }
    return 0;
}

int32_t ComPortEndpoint::Close() {
    const bool ok = platform::CloseSerialHandle(handle_);
    handle_ = nullptr;
    if (!ok) {
        SetErrnoFromLastError();
        return -errno;
    }
    return 0;
}

namespace {

// Reads the port's time-outs, changes one field and writes them back.
int32_t ChangeTimeout(platform::SerialHandle handle, uint32_t platform::CommTimeouts::*field,
                      uint32_t ms) {
    platform::CommTimeouts timeouts;
    if (!platform::GetCommTimeouts(handle, timeouts)) {
        SetErrnoFromLastError();
        return -errno;
    }
    timeouts.*field = ms;
    if (!platform::SetCommTimeouts(handle, timeouts)) {
        SetErrnoFromLastError();
        return -errno;
    }
    return 0;
}

}  // namespace

int32_t ComPortEndpoint::SetLineRate(uint32_t baud) {
    platform::Dcb dcb;
    if (!platform::GetCommState(handle_, dcb)) {
        SetErrnoFromLastError();
        return -errno;
    }
    dcb.BaudRate = baud;
    if (!platform::SetCommState(handle_, dcb)) {
        SetErrnoFromLastError();
        return -errno;
    }
    return 0;
}

int32_t ComPortEndpoint::SetReadTimeout(uint32_t ms) {
    return ChangeTimeout(handle_, &platform::CommTimeouts::ReadTotalTimeoutConstant, ms);
}

int32_t ComPortEndpoint::SetWriteTimeout(uint32_t ms) {
    return ChangeTimeout(handle_, &platform::CommTimeouts::WriteTotalTimeoutConstant, ms);
}

int32_t ComPortEndpoint::Read(void* buffer, uint64_t size, uint64_t& count, uint32_t timeoutMs) {
    const int32_t status = SetReadTimeout(timeoutMs);
    if (status < 0) {
        return status;
    }
    if (size > kComMaxTransfer) {
        return -2;
    }
    uint32_t n = 0;
    if (!platform::ReadFile(handle_, buffer, static_cast<uint32_t>(size), n)) {
        const uint32_t code = platform::GetLastError();
        Diagnose(Format("COM Port read error: %u", code));
        errno = Win32ErrorToErrno(code);
        return -errno;
    }
    count = n;
    return 0;
}

int32_t ComPortEndpoint::Write(const void* buffer, uint64_t size, uint64_t& written) {
    if (size > kComMaxTransfer) {
        written = 0;
        return -1;
    }
    uint32_t n = 0;
    if (!platform::WriteFile(handle_, buffer, static_cast<uint32_t>(size), n)) {
        written = 0;
        const uint32_t code = platform::GetLastError();
        errno = Win32ErrorToErrno(code);
        const int32_t status = -errno;
        Diagnose(Format("COM Port write error: %u", code));
        return status;
    }
    written = n;
    if (n == size) {
        return 0;
    }
    const uint32_t code = platform::GetLastError();
    errno = Win32ErrorToErrno(code);
    const int32_t status = -errno;
    Diagnose(Format("dataCount (%llu)<> len (%u), rc: %u", static_cast<unsigned long long>(size), n,
                    code));
    return status;
}

}  // namespace clst
