// The profile (INI) reader and writer on any file. The input's first line
// is "section|key|value", the rest is the file. Reads never exceed their
// buffer; a write that succeeds reads back, and leaves what other keys and
// sections read as it was; a refused write leaves the file's bytes alone.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/profile.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/test_io.h"

namespace {

using clst::testing::ReadWholeFile;

// Writes replace the file through a temporary one and sync it: in $TMPDIR,
// which scripts/fuzz.sh puts in memory and removes even after a crash.
const clst::testing::ScratchDir g_dir(std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR")
                                                                        : "/tmp") +
                                      "/clst-fuzz-profile-XXXXXX");
const std::string g_path = g_dir / "profile.ini";

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t");
    return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// No value read from a file holds a line end, so this default cannot be
// mistaken for a value that is there.
constexpr const char* kMissing = "\nmissing";
constexpr size_t kBig = 1 << 21;

std::string Read(const std::string& section, const std::string& key) {
    return clst::platform::ReadProfileString(section, key, kMissing, kBig, g_path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ_CHECK(!g_dir.path().empty());
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t nl = input.find('\n');
    const std::string header = nl == std::string::npos ? input : input.substr(0, nl);
    const std::string content = nl == std::string::npos ? "" : input.substr(nl + 1);
    std::vector<std::string> names = clst::fuzz::Split(header, '|');
    names.resize(3);
    const std::string& section = names[0];
    const std::string& key = names[1];
    const std::string& value = names[2];
    clst::testing::WriteWholeFile(g_path, content);
    FUZZ_CHECK(ReadWholeFile(g_path) == content);

    // Reads are cut to the buffer and agree with each other.
    const std::string full = Read(section, key);
    for (size_t bufferSize : {size_t{0}, size_t{1}, size_t{2}, size_t{7}, size_t{64}}) {
        const std::string cut =
            clst::platform::ReadProfileString(section, key, kMissing, bufferSize, g_path);
        FUZZ_CHECK(cut == full.substr(0, bufferSize == 0 ? 0 : bufferSize - 1));
    }
    const int number = clst::platform::ReadProfileInt(section, key, -7, g_path);
    if (full == kMissing || full.empty())
        FUZZ_CHECK(number == -7);

    // Neighbours whose reads a write of (section, key) must not change.
    const std::string otherKey = key + "x";
    const std::string otherSection = section + "x";
    const std::string beforeOtherKey = Read(section, otherKey);
    const std::string beforeOtherSection = Read(otherSection, key);

    if (clst::platform::WriteProfileString(section, key, value, g_path)) {
        FUZZ_CHECK(Read(section, key) == Trim(value));
        FUZZ_CHECK(Read(section, otherKey) == beforeOtherKey);
        FUZZ_CHECK(Read(otherSection, key) == beforeOtherSection);
        // A second write of the same value changes no byte.
        const std::string written = ReadWholeFile(g_path);
        FUZZ_CHECK(clst::platform::WriteProfileString(section, key, value, g_path));
        FUZZ_CHECK(ReadWholeFile(g_path) == written);
    } else {
        FUZZ_CHECK(ReadWholeFile(g_path) == content);
    }
    return 0;
}
