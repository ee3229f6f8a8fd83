// A pair host's state file as the port-pair library reads it: any text is
// refused or gives a state in range whose formatted file reads back the
// same; numbered names parse only as what their formatter makes; the host's
// line file reads back as it was formatted.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "emulation/portpairs/pair_names.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

void CheckNumberedName(const std::string& text) {
    const std::pair<const char*, std::string (*)(int)> names[] = {
        {"CNC", maro_vcp::PairName},
        {"COM", maro_vcp::ComPortName},
        {"ZADURUV", maro_vcp::DevicePortName},
        {"MAROCOM", maro_vcp::AliasPortName}};
    for (const auto& [prefix, format] : names) {
        const int number = maro_vcp::ParseNumberedName(text, prefix);
        FUZZ_CHECK(number < 0 || (number <= maro_vcp::kMaxPortNumber &&
                                  maro_vcp::ParseNumberedName(format(number), prefix) == number));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // Every line's value, and the whole text, as a name.
    CheckNumberedName(text);
    std::optional<std::string> lastPid;
    for (const std::string& line : clst::fuzz::Split(text, '\n')) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        CheckNumberedName(line.substr(eq + 1));
        if (line.compare(0, eq, "pid") == 0)
            lastPid = line.substr(eq + 1);
    }

    // The host's line file: what parses formats back to the same.
    maro_vcp::PairLines lines;
    lines.changes = 777;
    if (maro_vcp::ParseLines(text, lines)) {
        maro_vcp::PairLines back;
        FUZZ_CHECK(maro_vcp::ParseLines(maro_vcp::FormatLines(lines), back));
        FUZZ_CHECK(back.deviceOpen == lines.deviceOpen && back.comOpen == lines.comOpen &&
                   back.changes == lines.changes && back.comRate == lines.comRate &&
                   back.dropped == lines.dropped);
    } else {
        FUZZ_CHECK(lines.changes == 777);  // untouched
    }

    maro_vcp::PairState state;
    state.number = 12345;
    if (!maro_vcp::ParseState(text, state)) {
        FUZZ_CHECK(state.number == 12345);  // untouched
        return 0;
    }
    FUZZ_CHECK(state.number >= 0 && state.number <= maro_vcp::kMaxPortNumber);
    FUZZ_CHECK(state.pid > 1);
    // The pid is the one the file names, not a wrapped remainder of it.
    FUZZ_CHECK(lastPid && std::strtoll(lastPid->c_str(), nullptr, 10) == state.pid);
    FUZZ_CHECK(!state.comTty.empty() && !state.deviceTty.empty());

    maro_vcp::PairState again;
    FUZZ_CHECK(maro_vcp::ParseState(maro_vcp::FormatState(state), again));
    FUZZ_CHECK(again.number == state.number && again.pid == state.pid &&
               again.comTty == state.comTty && again.deviceTty == state.deviceTty);
    return 0;
}
