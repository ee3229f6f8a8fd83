// Echo lines: EchoBytes on any block (its count as given, up to the
// buffer), the byte line it adds, and the echo list's store, which keeps
// byte lines as their bytes: a line must read back as its bytes, and a text
// taken as a byte line must be the line of its bytes. (The store's keeping
// of lines across its chunks is checked in the ui suite.)
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "relay/relay_state.h"
#include "relay/relay_worker.h"
#include "tests/fuzz/fuzz_check.h"
#include "ui/echo_store.h"

namespace {

class RecordingSink : public clst::EchoSink {
  public:
    void AddString(std::string_view line) override { lines.emplace_back(line); }

    std::vector<std::string> lines;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte's low bit says whether four count bytes follow (any
    // count, up to the buffer's size, is taken); otherwise the count is the
    // number of bytes given, which keeps most inputs short.
    auto record = std::make_unique<clst::EchoRecord>();
    const bool givenCount = size > 0 && (data[0] & 1) != 0;
    if (size > 0) {
        ++data;
        --size;
    }
    if (givenCount && size >= 4) {
        std::memcpy(&record->count, data, 4);
        data += 4;
        size -= 4;
    }
    const size_t stored = size < clst::kRelayBufferSize ? size : clst::kRelayBufferSize;
    std::memcpy(record->data, data, stored);
    if (!givenCount)
        record->count = static_cast<uint32_t>(stored);
    const size_t count =
        record->count < clst::kRelayBufferSize ? record->count : clst::kRelayBufferSize;

    RecordingSink sink;
    sink.lines.resize(size % 16);  // lines already in the list
    const size_t before = sink.lines.size();
    clst::g_echoListBox = &sink;
    clst::EchoBytes(*record);
    clst::g_echoListBox = nullptr;
    clst::EchoBytes(*record);  // no list: dropped

    FUZZ_CHECK(sink.lines.size() == before + 1);
    const std::string& line = sink.lines.back();
    FUZZ_CHECK(line == clst::FormatEchoLine(record->data, count));
    // Each byte shows as 4 (a zero byte) to 6 characters.
    FUZZ_CHECK(line.size() >= 4 * count && line.size() <= 6 * count);

    // The line reads back as its bytes.
    std::string bytes;
    FUZZ_CHECK(clst::EchoStore::ParseEchoLine(line, bytes) == (count > 0));
    FUZZ_CHECK(bytes == std::string(reinterpret_cast<const char*>(record->data), count));

    // Any text taken as a byte line must be exactly the line of its bytes.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string parsed;
    if (clst::EchoStore::ParseEchoLine(text, parsed)) {
        FUZZ_CHECK(clst::FormatEchoLine(reinterpret_cast<const uint8_t*>(parsed.data()),
                                        parsed.size()) == text);
    }
    return 0;
}
