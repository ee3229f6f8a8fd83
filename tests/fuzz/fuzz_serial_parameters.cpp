// The serial-parameter word ("115200,N,8,1") as it reaches connection
// control from the command line: whatever the text, the settings stay in
// their ranges, and settings written back as such a word read the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include "connections/connection_settings.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/connection_view_fakes.h"

namespace {

// The word the command line takes for `s`.
std::string WordOf(const clst::ConnectionSettings& s) {
    const char* parity = s.parity == 0 ? "N" : (s.parity == 1 ? "O" : "E");
    return std::to_string(s.comBaudRate) + "," + parity + "," + std::to_string(s.dataBits) + "," +
           clst::StopBitsText(s.stopBits);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string word(reinterpret_cast<const char*>(data), size);
    clst::testing::RecordingConnectionView<> view;
    clst::testing::FakeSettingsDialog dialog;
    dialog.answer = clst::kIdCancel;

    clst::ConnectionControl control(view, dialog, "COM5", 0, word);
    control.ApplySerialParameters();
    const clst::ConnectionSettings first = control.m_settings;
    FUZZ_CHECK(clst::ClSerBaudCodeForRate(first.comBaudRate) == first.clserBaudCode);
    FUZZ_CHECK(clst::ClSerBaudRateFromCode(static_cast<uint32_t>(first.clserBaudCode)) ==
               static_cast<uint32_t>(first.comBaudRate));
    FUZZ_CHECK(clst::ParityText(first.parity) != nullptr);
    FUZZ_CHECK(first.dataBits >= 5 && first.dataBits <= 9);
    FUZZ_CHECK(clst::StopBitsText(first.stopBits) != nullptr);
    control.UpdateStatusTexts();
    FUZZ_CHECK(control.lineText() ==
               std::to_string(first.comBaudRate) + " " + clst::ParityText(first.parity) + " " +
                   std::to_string(first.dataBits) + " " + clst::StopBitsText(first.stopBits));

    clst::ConnectionControl again(view, dialog, "COM5", 0, WordOf(first));
    again.ApplySerialParameters();
    const clst::ConnectionSettings& second = again.m_settings;
    FUZZ_CHECK(second.comBaudRate == first.comBaudRate &&
               second.clserBaudCode == first.clserBaudCode && second.parity == first.parity &&
               second.dataBits == first.dataBits && second.stopBits == first.stopBits);
    return 0;
}
