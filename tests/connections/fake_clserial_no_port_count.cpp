// A Camera Link serial library without clGetNumSerialPorts: it binds, but its
// ports cannot be listed. Built as <build>/tests/fake_clserial/lib/
// libclsernocount.so (see CMakeLists.txt).
#include <cstdint>

#define CLST_FAKE_EXPORT extern "C" __attribute__((visibility("default")))

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
