// The program's interface to the virtual port-pair library
// ("libMaroVirtualComPort.so" in the program's library directory). Each call
// forwards to the library's entry of the same name and returns its result.
// The library is bound on first use; when it or one of its entries is
// missing, every call fails (0, or -1 for the pair count) and
// VcpGetLastErrorText gives the reason, so callers need no special case.
#pragma once

#include <cstdint>
#include <string>

#include "platform/dynamic_library.h"

namespace clst {

class PortPairLibrary {
  public:
    static constexpr const char* kLibraryFileName = "libMaroVirtualComPort.so";
    // Size of each of the three name buffers of VcpGetPair.
    static constexpr int kNameBufferSize = 20;
    // An error text always fits in this many bytes, NUL included.
    static constexpr int kErrorTextSize = 512;

    // Binds to `<ProgramLibraryDirectory()>/libMaroVirtualComPort.so`.
    PortPairLibrary();
    // Binds to the library at `libraryPath` (absolute).
    explicit PortPairLibrary(std::string libraryPath);
    virtual ~PortPairLibrary();
    PortPairLibrary(const PortPairLibrary&) = delete;
    PortPairLibrary& operator=(const PortPairLibrary&) = delete;

    // Loads the library and resolves every entry (done by the first call
    // otherwise). False when that failed; LastErrorText() says why.
    bool Load();
    bool IsLoaded() const { return loaded_; }
    const std::string& libraryPath() const { return path_; }

    // Non-zero: the library is ready.
    virtual int32_t VcpInitialize();
    // Number of installed pairs; below 1 means none.
    virtual int32_t VcpGetPairCount();
    // Pair `index` (0 to count-1) into three zero-filled buffers of
    // kNameBufferSize bytes: pair name ("CNC<n>"), first port (the one other
    // programs open), second port (the one this program opens). Zero: skip.
    virtual int32_t VcpGetPair(int32_t index, char* pairName, char* firstPort, char* secondPort);
    // With null: the bytes the last error text needs, NUL included. With a
    // buffer of at least that many bytes (kErrorTextSize always suffices):
    // fills it.
    virtual int32_t VcpGetLastErrorText(char* buffer);
    // Non-zero: installed.
    virtual int32_t VcpInstallPair(int32_t portNumber);
    // `pairName` is "CNC<n>". Non-zero: removed.
    virtual int32_t VcpRemovePair(const char* pairName);
    // Non-zero: the number is taken.
    virtual int32_t VcpIsPortNumberInUse(int32_t portNumber);
    // Called once on exit; the pairs stay installed.
    virtual int32_t VcpRelease();

    // The last error text as a string (through VcpGetLastErrorText).
    std::string LastErrorText();

  private:
    using VoidEntry = int32_t (*)();
    using GetPairEntry = int32_t (*)(int32_t, char*, char*, char*);
    using TextEntry = int32_t (*)(char*);
    using NumberEntry = int32_t (*)(int32_t);
    using NameEntry = int32_t (*)(const char*);

    // Loads on first use; false when the library is unusable.
    bool Ready();

    std::string path_;
    platform::DynamicLibrary library_;
    bool attempted_ = false;
    bool loaded_ = false;
    std::string loadError_;

    VoidEntry initialize_ = nullptr;
    VoidEntry getPairCount_ = nullptr;
    GetPairEntry getPair_ = nullptr;
    TextEntry getLastErrorText_ = nullptr;
    NumberEntry installPair_ = nullptr;
    NameEntry removePair_ = nullptr;
    NumberEntry isPortNumberInUse_ = nullptr;
    VoidEntry release_ = nullptr;
};

}  // namespace clst
