#include "relay/clser_endpoint.h"

#include <vector>

#include "platform/dynamic_library.h"
#include "relay/clser_library_search.h"

namespace clst {

ClSerialLibrary BindClSerialLibrary(const std::string& absolutePath) {
    ClSerialLibrary lib;
    lib.path = absolutePath;
    platform::DynamicLibrary dl;
    if (!dl.Load(absolutePath)) {
        lib.status = kClErrUnableToLoadDll;
        lib.error = dl.error().empty() ? "cannot load " + absolutePath : dl.error();
        return lib;
    }
    struct Entry {
        const char* name;
        void** slot;
    };
    void* init = nullptr;
    void* setBaudRate = nullptr;
    void* close = nullptr;
    void* read = nullptr;
    void* write = nullptr;
    const Entry entries[] = {{"clSerialInit", &init},
                             {"clSetBaudRate", &setBaudRate},
                             {"clSerialClose", &close},
                             {"clSerialRead", &read},
                             {"clSerialWrite", &write}};
    for (const Entry& entry : entries) {
        *entry.slot = dl.Symbol(entry.name);
        if (*entry.slot == nullptr) {
            lib.status = kClErrFunctionNotFound;
            lib.error = absolutePath + ": no function " + entry.name;
            return lib;  // the library is unloaded again: nothing points into it
        }
    }
    lib.init = reinterpret_cast<ClSerialLibrary::InitFn>(init);
    lib.setBaudRate = reinterpret_cast<ClSerialLibrary::SetBaudRateFn>(setBaudRate);
    lib.close = reinterpret_cast<ClSerialLibrary::CloseFn>(close);
    lib.read = reinterpret_cast<ClSerialLibrary::ReadFn>(read);
    lib.write = reinterpret_cast<ClSerialLibrary::WriteFn>(write);
    lib.getNumSerialPorts =
        reinterpret_cast<ClSerialLibrary::GetNumSerialPortsFn>(dl.Symbol("clGetNumSerialPorts"));
    lib.getManufacturerInfo = reinterpret_cast<ClSerialLibrary::GetManufacturerInfoFn>(
        dl.Symbol("clGetManufacturerInfo"));
    lib.getSerialPortIdentifier = reinterpret_cast<ClSerialLibrary::GetSerialPortIdentifierFn>(
        dl.Symbol("clGetSerialPortIdentifier"));
    lib.numBytesAvail =
        reinterpret_cast<ClSerialLibrary::NumBytesAvailFn>(dl.Symbol("clGetNumBytesAvail"));
    lib.status = 0;
    dl.Leak();
    return lib;
}

const ClSerialLibrary& ProcessClSerialLibrary() {
    static const ClSerialLibrary* library = []() -> const ClSerialLibrary* {
        const std::vector<ClSerialLibrary>& all = ProcessClSerialLibraries();
        for (const ClSerialLibrary& candidate : all) {
            if (candidate.status == 0)
                return &candidate;
        }
        if (!all.empty())
            return &all.front();
        // The search always names a candidate; this only keeps an empty
        // search from reaching a null function.
        auto* none = new ClSerialLibrary;
        none->status = kClErrUnableToLoadDll;
        none->error = "no Camera Link serial library";
        return none;
    }();
    return *library;
}

const ClSerialLibrary& ClSerEndpoint::Library() {
    if (session_ != nullptr)
        return *session_;
    return library_ != nullptr ? *library_ : ProcessClSerialLibrary();
}

int32_t ClSerEndpoint::Open(uint32_t serialIndex, uint32_t baudCode) {
    return Open({library_ != nullptr ? library_ : &ProcessClSerialLibrary(), serialIndex},
                baudCode);
}

int32_t ClSerEndpoint::Open(const ClSerPortRoute& route, uint32_t baudCode) {
    reference_ = nullptr;
    session_ = route.library;
    const ClSerialLibrary& lib = *session_;
    if (lib.status != 0)
        return lib.status;
    void* reference = nullptr;
    int32_t status = lib.init(route.serialIndex, &reference);
    if (status < 0)
        return status;
    reference_ = reference;
    status = lib.setBaudRate(reference_, baudCode);
    if (status < 0) {
        lib.close(reference_);
        reference_ = nullptr;
        return status;
    }
    return status;
}

int32_t ClSerEndpoint::Close() {
    const ClSerialLibrary& lib = Library();
    if (lib.status == 0 && lib.close != nullptr)
        lib.close(reference_);
    reference_ = nullptr;
    return 0;
}

int32_t ClSerEndpoint::Read(void* buffer, uint64_t& count, uint32_t timeoutMs) {
    const ClSerialLibrary& lib = Library();
    if (lib.status != 0)
        return lib.status;
    const auto wanted = static_cast<uint32_t>(count);
    uint32_t n = wanted;
    const int32_t status = lib.read(reference_, static_cast<char*>(buffer), &n, timeoutMs);
    keptOnTimeOut_ = status == kClErrTimeout && n == wanted;
    if (keptOnTimeOut_) {
        n = 0;
    }
    if (status >= 0 || status == kClErrTimeout) {
        count = n;
        return 0;
    }
    return status;
}

int32_t ClSerEndpoint::SetBaudRate(uint32_t baudCode) {
    const ClSerialLibrary& lib = Library();
    if (lib.status != 0)
        return lib.status;
    return lib.setBaudRate(reference_, baudCode);
}

int32_t ClSerEndpoint::Write(const void* buffer, uint64_t size, uint64_t& written) {
    const ClSerialLibrary& lib = Library();
    if (lib.status != 0)
        return lib.status;
    const uint32_t wanted = static_cast<uint32_t>(size);
    uint32_t n = wanted;
    // The standard's prototype takes a non-const buffer; the library only reads it.
    const int32_t status = lib.write(reference_, static_cast<char*>(const_cast<void*>(buffer)), &n,
                                     kClSerWriteTimeoutMs);
    if (status < 0)
        return status;
    written = n;
    return n == size ? 0 : kClSerShortWrite;
}

bool ClSerEndpoint::CanCountBytes() {
    const ClSerialLibrary& lib = Library();
    return lib.status == 0 && lib.numBytesAvail != nullptr;
}

int32_t ClSerEndpoint::BytesAvailable(uint64_t& count) {
    const ClSerialLibrary& lib = Library();
    if (lib.status != 0)
        return lib.status;
    if (lib.numBytesAvail == nullptr)
        return kClErrFunctionNotFound;
    uint32_t n = 0;
    const int32_t status = lib.numBytesAvail(reference_, &n);
    if (status < 0)
        return status;
    count = n;
    return 0;
}

}  // namespace clst
