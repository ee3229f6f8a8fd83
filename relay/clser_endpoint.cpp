#include "relay/clser_endpoint.h"

#include <cstdio>
#include <cstdlib>

#include "platform/dynamic_library.h"
#include "platform/program_path.h"

namespace clst {

std::string ClSerialLibraryPath(int32_t& status) {
    status = 0;
    const char* env = std::getenv("CLSERIAL_LIBRARY");
    if (env != nullptr && env[0] != '\0') {
        // A relative name would be searched for; a planted file must not be
        // able to stand in for the maker's library.
        if (env[0] != '/') {
            status = kClErrUnableToLoadDll;
            return "";
        }
        return env;
    }
    const std::string dir = platform::ProgramLibraryDirectory();
    if (dir.empty()) {
        status = kClErrUnableToLoadDll;
        return "";
    }
    return dir + "/libclsermro.so";
}

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
    lib.numBytesAvail =
        reinterpret_cast<ClSerialLibrary::NumBytesAvailFn>(dl.Symbol("clGetNumBytesAvail"));
    lib.status = 0;
    dl.Leak();
    return lib;
}

const ClSerialLibrary& ProcessClSerialLibrary() {
    static const ClSerialLibrary library = [] {
        int32_t status = 0;
        const std::string path = ClSerialLibraryPath(status);
        if (status != 0) {
            ClSerialLibrary refused;
            refused.status = status;
            refused.error = "CLSERIAL_LIBRARY must be an absolute path";
            std::fprintf(stderr, "Camera Link serial library: %s\n", refused.error.c_str());
            return refused;
        }
        ClSerialLibrary bound = BindClSerialLibrary(path);
        if (bound.status != 0) {
            std::fprintf(stderr, "Camera Link serial library: %s\n", bound.error.c_str());
        }
        return bound;
    }();
    return library;
}

const ClSerialLibrary& ClSerEndpoint::Library() {
    if (library_ == nullptr)
        library_ = &ProcessClSerialLibrary();
    return *library_;
}

int32_t ClSerEndpoint::Open(uint32_t serialIndex, uint32_t baudCode) {
    const ClSerialLibrary& lib = Library();
    if (lib.status != 0) {
        reference_ = nullptr;
        return lib.status;
    }
    void* reference = nullptr;
    int32_t status = lib.init(serialIndex, &reference);
    if (status < 0) {
        reference_ = nullptr;
        return status;
    }
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
    uint32_t n = static_cast<uint32_t>(count);
    const int32_t status = lib.read(reference_, static_cast<char*>(buffer), &n, timeoutMs);
    if (status >= 0 || status == kClErrTimeout) {
        count = n;
        return 0;
    }
    return status;
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
