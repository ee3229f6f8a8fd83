// Run-time access to the board maker's frame-grabber runtime ("acqlib5") and
// hardware-abstraction library ("maro_hal"). Nothing is linked at build time:
// each library is loaded from "<install dir>/lib/lib<base>.so" on the first
// call of one of its forwarders, and stays loaded for the life of the process.
// An installed ClSerTolvane loads the emulated runtime from its own private
// folder instead while the environment names no maker's library.
// Callers only use the forwarders; a library that is missing shows up only as
// a forwarder's unavailable result.
#pragma once

#include <cstdint>
#include <string>

namespace clst {

class FrameGrabberRuntime {
  public:
    // Result of a loader, and of a forwarder returning a status or a number,
    // when its library or entry is not available.
    static constexpr int32_t kNotAvailable = -2130;

    // The maker's installation directory without a trailing '/', or nullptr.
    // Found by walking up the program's own path to the nearest folder named
    // bin, dll, Hardware Applets, lib or lib64 (any case), else from
    // $MARODIR5_64, else $MARODIR5. Once found it is kept for the process.
    // An installed program (platform::InstalledLibraryDirectory) skips the
    // walk: its path leads to this package's installation, not a maker's.
    static const char* LocateInstallDir();

    // Loaders: 0 when the library was loaded and its entries resolved,
    // kNotAvailable otherwise. `directory` replaces the located one.
    static int32_t LoadRuntime(const char* directory = nullptr);
    static int32_t LoadHardwareAbstraction();
    // Whether both libraries are loaded: their marker entries are resolved.
    static bool Loaded();

    // Forwarders of the entries the system uses.
    static int32_t MHalDeviceLimit();
    static int32_t Acq_QuerySystemInfo(void* board, int32_t selector, int32_t property,
                                       int32_t parameter, char* buffer, uint32_t* bufferLength);
    static void* MHalOpenDevice(uint32_t index);
    static int32_t MHalQueryBoardInt(void* device, const char* key);
    static const char* MHalQueryBoardText(void* device, const char* key);
    static void MHalCloseDevice(void* device);

    // For tests: the program path the directory search starts from (empty:
    // the running executable), and forgetting the cached directory and the
    // resolved entries (loaded libraries stay mapped).
    static void SetProgramPathForTesting(const std::string& path);
    static void ResetForTesting();
};

}  // namespace clst
