// Stand-ins for the board maker's runtime and hardware-abstraction libraries,
// and for a Camera Link serial library that cannot list its ports, built as
// shared libraries into fake install trees below <build>/tests (see
// CMakeLists.txt). In the test program itself this file is empty.
#if defined(CLST_FAKE_LIBRARY_KIND)

#include <cstdint>
#include <cstdio>
#include <cstring>

#define CLST_FAKE_EXPORT extern "C" __attribute__((visibility("default")))

#if CLST_FAKE_LIBRARY_KIND == 1  // a complete hardware-abstraction library

namespace {
int g_board = 0;  // the one board's device handle points here
int g_closed = 0;
}  // namespace

CLST_FAKE_EXPORT int32_t MHalDeviceLimit() {
    return 4;
}
// Only index 2 holds a board, so callers must not assume dense indices.
CLST_FAKE_EXPORT void* MHalOpenDevice(uint32_t index) {
    return index == 2 ? &g_board : nullptr;
}
CLST_FAKE_EXPORT int32_t MHalQueryBoardInt(void* device, const char* key) {
    if (device != &g_board)
        return -1;
    return std::strcmp(key, "ports/serial") == 0 ? 2 : 0;
}
CLST_FAKE_EXPORT const char* MHalQueryBoardText(void* device, const char*) {
    return device == &g_board ? "FakeBoard" : nullptr;
}
CLST_FAKE_EXPORT void MHalCloseDevice(void* device) {
    if (device == &g_board)
        ++g_closed;
}
CLST_FAKE_EXPORT int FakeClosedCount() {
    return g_closed;
}

#elif CLST_FAKE_LIBRARY_KIND == 2  // no marker entry, no text query

CLST_FAKE_EXPORT int32_t MHalDeviceLimit() {
    return 7;
}
CLST_FAKE_EXPORT int32_t MHalQueryBoardInt(void*, const char*) {
    return 11;
}

#elif CLST_FAKE_LIBRARY_KIND == 3  // a runtime with its marker

CLST_FAKE_EXPORT int32_t Acq_InitBoardEx(const char*, uint32_t, void*) {
    return 0;
}
CLST_FAKE_EXPORT int32_t Acq_QuerySystemInfo(void* board, int32_t selector, int32_t property,
                                             int32_t parameter, char* buffer,
                                             uint32_t* bufferLength) {
    if (board != nullptr || selector != 1000 || property != 0 || parameter != 0)
        return -1;
    if (buffer == nullptr || bufferLength == nullptr || *bufferLength < 2)
        return -2;
    std::snprintf(buffer, *bufferLength, "%d", 1);
    *bufferLength = 2;
    return 0;
}

#elif CLST_FAKE_LIBRARY_KIND == 4  // a serial library without clGetNumSerialPorts

CLST_FAKE_EXPORT int32_t clSerialInit(uint32_t, void**) {
    return -10005;
}
CLST_FAKE_EXPORT int32_t clSetBaudRate(void*, uint32_t) {
    return -10006;
}
CLST_FAKE_EXPORT void clSerialClose(void*) {}
CLST_FAKE_EXPORT int32_t clSerialRead(void*, char*, uint32_t*, uint32_t) {
    return -10006;
}
CLST_FAKE_EXPORT int32_t clSerialWrite(void*, char*, uint32_t*, uint32_t) {
    return -10006;
}
CLST_FAKE_EXPORT int32_t clGetManufacturerInfo(char* name, uint32_t* size, uint32_t*) {
    std::snprintf(name, *size, "NoCount");
    return 0;
}

#endif

#endif  // CLST_FAKE_LIBRARY_KIND
