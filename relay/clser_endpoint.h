// The Camera Link side of a connection: the camera's serial line, reached
// through the board maker's Camera Link serial library, which is bound at
// run time by the standard's exported names.
#pragma once

#include <cstdint>
#include <string>

namespace clst {

// Statuses the endpoint itself produces (the library's own pass through).
inline constexpr int32_t kClSerShortWrite = -5;
inline constexpr int32_t kClErrTimeout = -10004;
inline constexpr int32_t kClErrInvalidIndex = -10005;
inline constexpr int32_t kClErrUnableToLoadDll = -10098;
inline constexpr int32_t kClErrFunctionNotFound = -10099;
// Every write gives the camera this long to take the bytes.
inline constexpr uint32_t kClSerWriteTimeoutMs = 200;

// The five library functions the endpoint calls, or why they are missing,
// and the optional ones that list the library's ports and count its
// received bytes.
struct ClSerialLibrary {
    using InitFn = int32_t (*)(uint32_t, void**);
    using SetBaudRateFn = int32_t (*)(void*, uint32_t);
    using CloseFn = void (*)(void*);
    using ReadFn = int32_t (*)(void*, char*, uint32_t*, uint32_t);
    using WriteFn = int32_t (*)(void*, char*, uint32_t*, uint32_t);
    using GetNumSerialPortsFn = int32_t (*)(uint32_t*);
    using GetManufacturerInfoFn = int32_t (*)(char*, uint32_t*, uint32_t*);
    using GetSerialPortIdentifierFn = int32_t (*)(uint32_t, char*, uint32_t*);
    using NumBytesAvailFn = int32_t (*)(void*, uint32_t*);

    int32_t status = kClErrUnableToLoadDll;  // 0 when every function is bound
    std::string path;
    std::string error;  // the loader's reason when status is negative
    InitFn init = nullptr;
    SetBaudRateFn setBaudRate = nullptr;
    CloseFn close = nullptr;
    ReadFn read = nullptr;
    WriteFn write = nullptr;
    // Null when the library lacks them (the standard makes them optional).
    GetNumSerialPortsFn getNumSerialPorts = nullptr;
    GetManufacturerInfoFn getManufacturerInfo = nullptr;
    GetSerialPortIdentifierFn getSerialPortIdentifier = nullptr;
    NumBytesAvailFn numBytesAvail = nullptr;
};

// Loads the library at `absolutePath` and binds the five functions, and the
// optional ones it has. The library stays loaded until the process ends.
ClSerialLibrary BindClSerialLibrary(const std::string& absolutePath);

// The library that serves the port list of the maker's board runtime: the
// first usable one of ProcessClSerialLibraries(), else the first one found
// (which carries the reason).
const ClSerialLibrary& ProcessClSerialLibrary();

struct ClSerPortRoute;

class ClSerEndpoint {
  public:
    // Opens serial indices of ProcessClSerialLibrary().
    ClSerEndpoint() = default;
    // Opens serial indices of `library`, which must outlive the endpoint.
    explicit ClSerEndpoint(const ClSerialLibrary* library) : library_(library) {}

    int32_t Open(uint32_t serialIndex, uint32_t baudCode);
    // Opens the port `route` leads to (ClSerPortRouteAt); its library must
    // outlive the endpoint.
    int32_t Open(const ClSerPortRoute& route, uint32_t baudCode);
    int32_t Close();  // always 0
    // A time-out is an ordinary result: fewer bytes than wanted, possibly
    // none. Some libraries copy nothing on a time-out and leave the count as
    // asked: a time-out with the count asked means nothing arrived.
    int32_t Read(void* buffer, uint64_t& count, uint32_t timeoutMs);
    // Whether the last read timed out so: such a library may keep what
    // arrived for a later read.
    bool KeptOnTimeOut() const { return keptOnTimeOut_; }
    int32_t Write(const void* buffer, uint64_t size, uint64_t& written);
    bool IsOpen() const { return reference_ != nullptr; }
    // Switches the open port's line to another baud-rate code.
    int32_t SetBaudRate(uint32_t baudCode);

    // Whether the library can tell how many received bytes are waiting, and
    // how many: a read of exactly that many never runs into the time-out.
    bool CanCountBytes();
    // The library's status, or kClErrFunctionNotFound without the function;
    // count is left as it was on failure.
    int32_t BytesAvailable(uint64_t& count);

  private:
    // The library of the last Open; before any Open, the fixed one or the
    // process's.
    const ClSerialLibrary& Library();

    const ClSerialLibrary* library_ = nullptr;
    const ClSerialLibrary* session_ = nullptr;
    void* reference_ = nullptr;
    bool keptOnTimeOut_ = false;
};

}  // namespace clst
