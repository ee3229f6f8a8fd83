// Exports VcpInitialize and nothing else of the port-pair interface.
#include <cstdint>

extern "C" __attribute__((visibility("default"))) int32_t VcpInitialize() {
    return 1;
}
