#include "connections/frame_grabber_runtime.h"

#include <strings.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/dynamic_library.h"
#include "platform/program_path.h"
#include "platform/spin_lock_variable_guard.h"

namespace clst {

namespace {

constexpr std::size_t kDirCapacity = 1024;

// Process-wide, never freed; plain storage so it works before and after
// static constructors of other units.
char g_installDir[kDirCapacity];
bool g_installDirFound = false;
std::atomic<int32_t> g_installDirLock{0};
std::string* g_programPathOverride = nullptr;

using DeviceLimitFn = int32_t (*)();
using QuerySystemInfoFn = int32_t (*)(void*, int32_t, int32_t, int32_t, char*, uint32_t*);
using OpenDeviceFn = void* (*)(uint32_t);
using QueryBoardIntFn = int32_t (*)(void*, const char*);
using QueryBoardTextFn = const char* (*)(void*, const char*);
using CloseDeviceFn = void (*)(void*);
using InitBoardExFn = int32_t (*)(const char*, uint32_t, void*);

// The runtime's table as far as this system knows it. Its marker is the
// extended board initialisation, which every complete runtime exports.
struct RuntimeTable {
    InitBoardExFn Acq_InitBoardEx = nullptr;  // marker
    QuerySystemInfoFn Acq_QuerySystemInfo = nullptr;
} g_runtime;

struct HalTable {
    OpenDeviceFn MHalOpenDevice = nullptr;  // marker
    CloseDeviceFn MHalCloseDevice = nullptr;
    DeviceLimitFn MHalDeviceLimit = nullptr;
    QueryBoardIntFn MHalQueryBoardInt = nullptr;
    QueryBoardTextFn MHalQueryBoardText = nullptr;
} g_hal;

bool IsInstallFolder(const char* component) {
    static const char* const kNames[] = {"bin", "dll", "Hardware Applets", "lib", "lib64"};
    for (const char* name : kNames)
        if (strcasecmp(component, name) == 0)
            return true;
    return false;
}

// Cuts `buf` (a program path) down to the directory holding the nearest
// install folder among its ancestors. False when there is none.
bool WalkUp(char* buf) {
    char* p = std::strrchr(buf, '/');
    if (p == nullptr || p == buf)
        return false;
    for (;;) {
        while (p > buf && *p == '/')
            --p;
        p[1] = '\0';
        while (p > buf && *p != '/')
            --p;
        if (IsInstallFolder(*p == '/' ? p + 1 : p)) {
            while (p > buf && *p == '/')
                --p;
            p[1] = '\0';
            return true;
        }
        if (p <= buf)
            return false;
    }
}

template <typename Fn>
void Resolve(platform::DynamicLibrary& lib, const char* name, Fn& entry) {
    entry = reinterpret_cast<Fn>(lib.Symbol(name));
}

std::string SearchedProgramPath() {
    return g_programPathOverride != nullptr && !g_programPathOverride->empty()
               ? *g_programPathOverride
               : platform::ProgramPath();
}

bool IsSet(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && value[0] != '\0';
}

// The emulated runtime an installed program brings along, in its private
// folder ("" for a program that is not installed). Its boards are those of
// the emulated serial library beside it, so it is left out as soon as the
// environment names a maker's serial library.
std::string BundledRuntimeDirectory() {
    if (IsSet("CLSERIAL_LIBRARY") || IsSet("CLSERIALPATH"))
        return {};
    maro::templates::platform::SpinLockVariableGuard guard(&g_installDirLock);
    return platform::InstalledLibraryDirectory(SearchedProgramPath());
}

// Loads lib<base>.so below `directory` (or the located one, or else the
// bundled one); the library is never unloaded. Returns the open library
// through `lib`.
bool OpenLibrary(const char* directory, const char* base, platform::DynamicLibrary& lib) {
    const char* dir = directory != nullptr ? directory : FrameGrabberRuntime::LocateInstallDir();
    char path[kDirCapacity];
    int n = -1;
    if (dir != nullptr) {
        n = std::snprintf(path, sizeof path, "%s/lib/lib%s.so", dir, base);
    } else {
        const std::string bundled = BundledRuntimeDirectory();
        if (bundled.empty())
            return false;
        n = std::snprintf(path, sizeof path, "%s/lib%s.so", bundled.c_str(), base);
    }
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof path)
        return false;  // would be cut
    return lib.Load(path);
}

}  // namespace

const char* FrameGrabberRuntime::LocateInstallDir() {
    maro::templates::platform::SpinLockVariableGuard guard(&g_installDirLock);
    if (g_installDirFound)
        return g_installDir;

    // An installed program sits in this package's tree (/usr/bin, ~/.local/bin):
    // walking up would find that tree, never a maker's, and stop the search
    // before the environment that names the maker's.
    const std::string program = SearchedProgramPath();
    if (!program.empty() && program.size() < kDirCapacity &&
        platform::InstalledLibraryDirectory(program).empty()) {
        std::memcpy(g_installDir, program.c_str(), program.size() + 1);
        if (WalkUp(g_installDir)) {
            g_installDirFound = true;
            return g_installDir;
        }
    }

    const char* env = std::getenv("MARODIR5_64");
    if (env == nullptr)
        env = std::getenv("MARODIR5");
    if (env == nullptr) {
        g_installDir[0] = '\0';
        return nullptr;
    }
    std::strncpy(g_installDir, env, kDirCapacity);
    g_installDir[kDirCapacity - 1] = '\0';
    std::size_t len = std::strlen(g_installDir);
    while (len > 1 && g_installDir[len - 1] == '/')
        g_installDir[--len] = '\0';
    g_installDirFound = true;
    return g_installDir;
}

int32_t FrameGrabberRuntime::LoadRuntime(const char* directory) {
    platform::DynamicLibrary lib;
    if (!OpenLibrary(directory, "acqlib5", lib))
        return kNotAvailable;
    Resolve(lib, "Acq_InitBoardEx", g_runtime.Acq_InitBoardEx);
    Resolve(lib, "Acq_QuerySystemInfo", g_runtime.Acq_QuerySystemInfo);
    lib.Leak();
    return 0;
}

int32_t FrameGrabberRuntime::LoadHardwareAbstraction() {
    platform::DynamicLibrary lib;
    if (!OpenLibrary(nullptr, "maro_hal", lib))
        return kNotAvailable;
    Resolve(lib, "MHalOpenDevice", g_hal.MHalOpenDevice);
    Resolve(lib, "MHalCloseDevice", g_hal.MHalCloseDevice);
    Resolve(lib, "MHalDeviceLimit", g_hal.MHalDeviceLimit);
    Resolve(lib, "MHalQueryBoardInt", g_hal.MHalQueryBoardInt);
    Resolve(lib, "MHalQueryBoardText", g_hal.MHalQueryBoardText);
    lib.Leak();
    return 0;
}

bool FrameGrabberRuntime::Loaded() {
    return g_runtime.Acq_InitBoardEx != nullptr && g_hal.MHalOpenDevice != nullptr;
}

namespace {
void EnsureRuntime() {
    if (g_runtime.Acq_InitBoardEx == nullptr)
        FrameGrabberRuntime::LoadRuntime();
}
void EnsureHal() {
    if (g_hal.MHalOpenDevice == nullptr)
        FrameGrabberRuntime::LoadHardwareAbstraction();
}
}  // namespace

int32_t FrameGrabberRuntime::MHalDeviceLimit() {
    EnsureHal();
    return g_hal.MHalDeviceLimit != nullptr ? g_hal.MHalDeviceLimit() : kNotAvailable;
}

int32_t FrameGrabberRuntime::Acq_QuerySystemInfo(void* board, int32_t selector, int32_t property,
                                                 int32_t parameter, char* buffer,
                                                 uint32_t* bufferLength) {
    EnsureRuntime();
    if (g_runtime.Acq_QuerySystemInfo == nullptr)
        return kNotAvailable;
    return g_runtime.Acq_QuerySystemInfo(board, selector, property, parameter, buffer,
                                         bufferLength);
}

void* FrameGrabberRuntime::MHalOpenDevice(uint32_t index) {
    EnsureHal();
    return g_hal.MHalOpenDevice != nullptr ? g_hal.MHalOpenDevice(index) : nullptr;
}

int32_t FrameGrabberRuntime::MHalQueryBoardInt(void* device, const char* key) {
    EnsureHal();
    return g_hal.MHalQueryBoardInt != nullptr ? g_hal.MHalQueryBoardInt(device, key)
                                              : kNotAvailable;
}

const char* FrameGrabberRuntime::MHalQueryBoardText(void* device, const char* key) {
    EnsureHal();
    return g_hal.MHalQueryBoardText != nullptr ? g_hal.MHalQueryBoardText(device, key) : nullptr;
}

void FrameGrabberRuntime::MHalCloseDevice(void* device) {
    EnsureHal();
    if (g_hal.MHalCloseDevice != nullptr)
        g_hal.MHalCloseDevice(device);
}

void FrameGrabberRuntime::SetProgramPathForTesting(const std::string& path) {
    maro::templates::platform::SpinLockVariableGuard guard(&g_installDirLock);
    if (g_programPathOverride == nullptr)
        g_programPathOverride = new std::string;
    *g_programPathOverride = path;
}

void FrameGrabberRuntime::ResetForTesting() {
    maro::templates::platform::SpinLockVariableGuard guard(&g_installDirLock);
    g_installDirFound = false;
    g_installDir[0] = '\0';
    g_runtime = RuntimeTable{};
    g_hal = HalTable{};
}

}  // namespace clst
