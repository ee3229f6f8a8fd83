// The emulated board's Camera Link serial library: the standard's C API over
// EmulatedPort objects. Ports and cameras come from the emulation file; it
// is read again whenever no port is open, so a program (or a test) may
// change $MARO_EMULATION between sessions.
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "emulation/clserial/clserial_api.h"
#include "emulation/clserial/emulated_port.h"
#include "emulation/common/emulation_config.h"

// Built twice: as this maker's library and as a second maker's (libclserxyz.so,
// see CMakeLists.txt), so that the program meets two makers' libraries.
#ifndef CLSER_EMU_MANUFACTURER
#define CLSER_EMU_MANUFACTURER "MaroEmu"
#endif
#ifndef CLSER_EMU_LIBRARY
#define CLSER_EMU_LIBRARY "clsermro"
#endif

namespace {

using clst::emulation::EmulatedPort;
using clst::emulation::EmulationConfig;

struct Session {
    uint32_t serialIndex = 0;
    std::shared_ptr<EmulatedPort> port;
};

// Process-wide state. Never destroyed: a thread still inside a call at
// process exit must not meet a destroyed mutex.
struct Library {
    std::mutex mutex;
    EmulationConfig config;
    bool configured = false;
    std::string lastError;
    // References handed out are numbers that are never reused, so a closed
    // or made-up reference is recognised instead of dereferenced.
    uintptr_t nextReference = 0x5e7000;
    std::map<uintptr_t, Session> sessions;
};

Library& Lib() {
    static Library* library = new Library;
    return *library;
}

// Caller holds the mutex.
void RefreshConfig(Library& lib) {
    if (!lib.sessions.empty() && lib.configured)
        return;
    std::string error;
    EmulationConfig config;
    if (!clst::emulation::LoadEmulationConfig(config, error)) {
        if (error != lib.lastError) {
            std::fprintf(stderr, CLSER_EMU_LIBRARY ": %s; using the built-in board\n",
                         error.c_str());
        }
    }
    lib.lastError = error;
    lib.config = std::move(config);
    lib.configured = true;
}

std::shared_ptr<EmulatedPort> Find(hSerRef ref) {
    Library& lib = Lib();
    std::lock_guard<std::mutex> lock(lib.mutex);
    const auto it = lib.sessions.find(reinterpret_cast<uintptr_t>(ref));
    if (it == lib.sessions.end())
        return nullptr;
    return it->second.port;
}

INT32 CopyText(const std::string& text, INT8* buffer, UINT32* size) {
    if (size == nullptr)
        return CL_ERR_INVALID_PTR;
    const UINT32 needed = static_cast<UINT32>(text.size() + 1);
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        return CL_ERR_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, text.c_str(), needed);
    *size = needed;
    return CL_ERR_NO_ERR;
}

const char* ErrorText(INT32 code) {
    switch (code) {
        case CL_ERR_NO_ERR:
            return "No error";
        case CL_ERR_BUFFER_TOO_SMALL:
            return "Buffer too small";
        case CL_ERR_MANU_DOES_NOT_EXIST:
            return "Manufacturer does not exist";
        case CL_ERR_PORT_IN_USE:
            return "Port in use";
        case CL_ERR_TIMEOUT:
            return "Time-out";
        case CL_ERR_INVALID_INDEX:
            return "Invalid serial port index";
        case CL_ERR_INVALID_REFERENCE:
            return "Invalid serial reference";
        case CL_ERR_ERROR_NOT_FOUND:
            return "Error code not found";
        case CL_ERR_BAUD_RATE_NOT_SUPPORTED:
            return "Baud rate not supported";
        case CL_ERR_OUT_OF_MEMORY:
            return "Out of memory";
        case CL_ERR_INVALID_PTR:
            return "Invalid pointer";
        case CL_ERR_UNABLE_TO_LOAD_DLL:
            return "Unable to load library";
        case CL_ERR_FUNCTION_NOT_FOUND:
            return "Function not found";
        default:
            return nullptr;
    }
}

}  // namespace

extern "C" {

INT32 clSerialInit(UINT32 serialIndex, hSerRef* serialRefPtr) {
    if (serialRefPtr == nullptr)
        return CL_ERR_INVALID_PTR;
    *serialRefPtr = nullptr;
    Library& lib = Lib();
    std::lock_guard<std::mutex> lock(lib.mutex);
    RefreshConfig(lib);
    if (serialIndex >= lib.config.ports.size())
        return CL_ERR_INVALID_INDEX;
    for (const auto& [ref, session] : lib.sessions) {
        if (session.serialIndex == serialIndex)
            return CL_ERR_PORT_IN_USE;
    }
    const auto& portConfig = lib.config.ports[serialIndex];
    if (portConfig.initError)
        return CL_ERR_OUT_OF_MEMORY;
    auto port = std::make_shared<EmulatedPort>(portConfig);
    const INT32 status = port->Start();
    if (status != CL_ERR_NO_ERR)
        return status;
    const uintptr_t ref = lib.nextReference++;
    lib.sessions[ref] = Session{serialIndex, std::move(port)};
    *serialRefPtr = reinterpret_cast<hSerRef>(ref);
    return CL_ERR_NO_ERR;
}

void clSerialClose(hSerRef serialRef) {
    std::shared_ptr<EmulatedPort> port;
    {
        Library& lib = Lib();
        std::lock_guard<std::mutex> lock(lib.mutex);
        const auto it = lib.sessions.find(reinterpret_cast<uintptr_t>(serialRef));
        if (it == lib.sessions.end())
            return;
        port = std::move(it->second.port);
        lib.sessions.erase(it);
        // Stopped under the lock so that the port (and its pty link) is
        // gone before anyone can open the index again.
        port->Stop();
    }
}

INT32 clSerialRead(hSerRef serialRef, INT8* buffer, UINT32* numBytes, UINT32 serialTimeout) {
    const auto port = Find(serialRef);
    if (!port)
        return CL_ERR_INVALID_REFERENCE;
    if (numBytes == nullptr || (buffer == nullptr && *numBytes > 0))
        return CL_ERR_INVALID_PTR;
    return port->Read(buffer, *numBytes, serialTimeout);
}

INT32 clSerialWrite(hSerRef serialRef, INT8* buffer, UINT32* bufferSize, UINT32 serialTimeout) {
    const auto port = Find(serialRef);
    if (!port)
        return CL_ERR_INVALID_REFERENCE;
    if (bufferSize == nullptr || (buffer == nullptr && *bufferSize > 0))
        return CL_ERR_INVALID_PTR;
    return port->Write(buffer, *bufferSize, serialTimeout);
}

INT32 clSetBaudRate(hSerRef serialRef, UINT32 baudRate) {
    const auto port = Find(serialRef);
    if (!port)
        return CL_ERR_INVALID_REFERENCE;
    return port->SetBaudCode(baudRate);
}

INT32 clGetSupportedBaudRates(hSerRef serialRef, UINT32* baudRates) {
    if (!Find(serialRef))
        return CL_ERR_INVALID_REFERENCE;
    if (baudRates == nullptr)
        return CL_ERR_INVALID_PTR;
    *baudRates = CL_BAUDRATE_9600 | CL_BAUDRATE_19200 | CL_BAUDRATE_38400 | CL_BAUDRATE_57600 |
                 CL_BAUDRATE_115200 | CL_BAUDRATE_230400 | CL_BAUDRATE_460800 | CL_BAUDRATE_921600;
    return CL_ERR_NO_ERR;
}

INT32 clGetNumSerialPorts(UINT32* numSerialPorts) {
    if (numSerialPorts == nullptr)
        return CL_ERR_INVALID_PTR;
    Library& lib = Lib();
    std::lock_guard<std::mutex> lock(lib.mutex);
    RefreshConfig(lib);
    *numSerialPorts = static_cast<UINT32>(lib.config.ports.size());
    return CL_ERR_NO_ERR;
}

INT32 clGetSerialPortIdentifier(UINT32 serialIndex, INT8* portId, UINT32* bufferSize) {
    std::string id;
    {
        Library& lib = Lib();
        std::lock_guard<std::mutex> lock(lib.mutex);
        RefreshConfig(lib);
        if (serialIndex >= lib.config.ports.size())
            return CL_ERR_INVALID_INDEX;
        for (const auto& board : lib.config.boards) {
            const int first = board.firstSerialIndex;
            if (static_cast<int>(serialIndex) >= first &&
                static_cast<int>(serialIndex) < first + board.ports) {
                const std::string name =
                    board.name.empty() ? "Board" + std::to_string(board.deviceIndex) : board.name;
                id = name + "_Port" + std::to_string(static_cast<int>(serialIndex) - first);
            }
        }
    }
    return CopyText(id, portId, bufferSize);
}

INT32 clGetNumBytesAvail(hSerRef serialRef, UINT32* numBytes) {
    const auto port = Find(serialRef);
    if (!port)
        return CL_ERR_INVALID_REFERENCE;
    if (numBytes == nullptr)
        return CL_ERR_INVALID_PTR;
    *numBytes = port->BytesAvailable();
    return CL_ERR_NO_ERR;
}

INT32 clFlushPort(hSerRef serialRef) {
    const auto port = Find(serialRef);
    if (!port)
        return CL_ERR_INVALID_REFERENCE;
    port->Flush();
    return CL_ERR_NO_ERR;
}

INT32 clGetManufacturerInfo(INT8* manufacturerName, UINT32* bufferSize, UINT32* version) {
    if (version != nullptr)
        *version = CL_DLL_VERSION_1_1;
    return CopyText(CLSER_EMU_MANUFACTURER, manufacturerName, bufferSize);
}

INT32 clGetErrorText(INT32 errorCode, INT8* errorText, UINT32* errorTextSize) {
    const char* text = ErrorText(errorCode);
    if (text == nullptr)
        return CL_ERR_ERROR_NOT_FOUND;
    return CopyText(text, errorText, errorTextSize);
}

INT32 clEmuGetOverflowCount(hSerRef serialRef, UINT32* lostBytes) {
    const auto port = Find(serialRef);
    if (!port)
        return CL_ERR_INVALID_REFERENCE;
    if (lostBytes == nullptr)
        return CL_ERR_INVALID_PTR;
    *lostBytes = port->OverflowCount();
    return CL_ERR_NO_ERR;
}

}  // extern "C"
