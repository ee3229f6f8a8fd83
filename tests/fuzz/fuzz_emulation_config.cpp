// The emulated board's INI text: a refused text leaves the caller's
// configuration exactly as it was and says why; an accepted one numbers its
// ports over its boards in device order, within the limits.
#include <cstddef>
#include <cstdint>
#include <string>

#include "emulation/common/emulation_config.h"
#include "tests/emulation/describe_emulation_config.h"
#include "tests/fuzz/fuzz_check.h"

using clst::emulation::BoardConfig;
using clst::emulation::Describe;
using clst::emulation::EmulationConfig;
using clst::emulation::PortConfig;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    EmulationConfig out = clst::emulation::DefaultEmulationConfig();
    out.source = "caller";
    out.ports[1].link = "/dev/pts/9";
    const EmulationConfig before = out;
    std::string error = "untouched";

    if (!clst::emulation::ParseEmulationConfig(text, out, error)) {
        FUZZ_CHECK(Describe(out) == Describe(before) && out.source == before.source);
        FUZZ_CHECK(!error.empty() && error != "untouched");
        return 0;
    }
    FUZZ_CHECK(error == "untouched");
    FUZZ_CHECK(out.source == "caller");
    FUZZ_CHECK(out.deviceLimit >= 1 && out.deviceLimit <= clst::emulation::kMaxDeviceLimit);
    int serial = 0;
    int lastDevice = -1;
    for (const BoardConfig& board : out.boards) {
        FUZZ_CHECK(board.deviceIndex > lastDevice && board.deviceIndex < out.deviceLimit);
        FUZZ_CHECK(board.ports >= 0 && board.ports <= clst::emulation::kMaxPortsPerBoard);
        FUZZ_CHECK(board.firstSerialIndex == serial);
        FUZZ_CHECK(board.hasName || board.name.empty());
        lastDevice = board.deviceIndex;
        serial += board.ports;
    }
    FUZZ_CHECK(out.ports.size() == static_cast<size_t>(serial));
    for (size_t i = 0; i < out.ports.size(); ++i) {
        const PortConfig& port = out.ports[i];
        FUZZ_CHECK(port.index == static_cast<int>(i));
        FUZZ_CHECK(port.camera == "demo" || port.camera == "echo" || port.camera == "silent" ||
                   port.camera == "pty");
        FUZZ_CHECK(port.camera != "pty" || !port.link.empty());
        FUZZ_CHECK(port.link.empty() || port.link[0] == '/');
        FUZZ_CHECK(port.rxBuffer >= 1 && port.rxBuffer <= clst::emulation::kMaxRxBuffer);
        FUZZ_CHECK(port.readErrorEvery >= 0 && port.shortWrite >= 0);
    }
    // The same text parses the same again.
    EmulationConfig second;
    second.source = "caller";
    std::string secondError;
    FUZZ_CHECK(clst::emulation::ParseEmulationConfig(text, second, secondError));
    FUZZ_CHECK(Describe(second) == Describe(out) && second.source == out.source);
    return 0;
}
