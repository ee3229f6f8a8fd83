#include "portpairs/port_pair_library.h"

#include <cstring>
#include <utility>
#include <vector>

#include "platform/program_path.h"

namespace clst {

namespace {

template <typename Entry>
bool Resolve(platform::DynamicLibrary& library, const char* name, Entry& entry,
             std::string& error) {
    entry = reinterpret_cast<Entry>(library.Symbol(name));
    if (entry == nullptr) {
        error = "The virtual COM port library \"" + library.path() + "\" has no entry " + name +
                ": " + library.error();
        return false;
    }
    return true;
}

}  // namespace

PortPairLibrary::PortPairLibrary()
    : PortPairLibrary(platform::ProgramLibraryDirectory() + "/" + kLibraryFileName) {}

PortPairLibrary::PortPairLibrary(std::string libraryPath) : path_(std::move(libraryPath)) {}

PortPairLibrary::~PortPairLibrary() = default;

bool PortPairLibrary::Load() {
    if (attempted_) {
        return loaded_;
    }
    attempted_ = true;
    if (!library_.Load(path_)) {
        loadError_ =
            "Cannot load the virtual COM port library \"" + path_ + "\": " + library_.error();
    } else if (Resolve(library_, "VcpInitialize", initialize_, loadError_) &&
               Resolve(library_, "VcpGetPairCount", getPairCount_, loadError_) &&
               Resolve(library_, "VcpGetPair", getPair_, loadError_) &&
               Resolve(library_, "VcpGetLastErrorText", getLastErrorText_, loadError_) &&
               Resolve(library_, "VcpInstallPair", installPair_, loadError_) &&
               Resolve(library_, "VcpRemovePair", removePair_, loadError_) &&
               Resolve(library_, "VcpIsPortNumberInUse", isPortNumberInUse_, loadError_) &&
               Resolve(library_, "VcpRelease", release_, loadError_)) {
        loaded_ = true;
        return true;
    }
    if (loadError_.size() >= static_cast<size_t>(kErrorTextSize)) {
        loadError_.resize(kErrorTextSize - 1);
    }
    library_.Unload();
    return false;
}

bool PortPairLibrary::Ready() {
    return loaded_ || Load();
}

int32_t PortPairLibrary::VcpInitialize() {
    return Ready() ? initialize_() : 0;
}

int32_t PortPairLibrary::VcpGetPairCount() {
    return Ready() ? getPairCount_() : -1;
}

int32_t PortPairLibrary::VcpGetPair(int32_t index, char* pairName, char* firstPort,
                                    char* secondPort) {
    return Ready() ? getPair_(index, pairName, firstPort, secondPort) : 0;
}

int32_t PortPairLibrary::VcpGetLastErrorText(char* buffer) {
    if (Ready()) {
        return getLastErrorText_(buffer);
    }
    if (buffer != nullptr) {
        std::memcpy(buffer, loadError_.c_str(), loadError_.size() + 1);
    }
    return static_cast<int32_t>(loadError_.size() + 1);
}

int32_t PortPairLibrary::VcpInstallPair(int32_t portNumber) {
    return Ready() ? installPair_(portNumber) : 0;
}

int32_t PortPairLibrary::VcpRemovePair(const char* pairName) {
    return Ready() ? removePair_(pairName) : 0;
}

int32_t PortPairLibrary::VcpIsPortNumberInUse(int32_t portNumber) {
    return Ready() ? isPortNumberInUse_(portNumber) : 0;
}

int32_t PortPairLibrary::VcpRelease() {
    return Ready() ? release_() : 0;
}

std::string PortPairLibrary::LastErrorText() {
    const int32_t needed = VcpGetLastErrorText(nullptr);
    if (needed <= 1) {
        return std::string();
    }
    std::vector<char> buffer(static_cast<size_t>(needed) + 1, '\0');
    VcpGetLastErrorText(buffer.data());
    return std::string(buffer.data());
}

}  // namespace clst
