// The echo list's lines, stored compactly: the list has no line limit, so a
// relay echoing for hours must not cost more than a few bytes per byte.
//
// An echo line ("41[A] 42[B] ") is stored as the bytes it shows, one byte
// each, and formatted again when it is read; any other line (the relay's
// error and retry lines) is stored as its text. Each line costs 4 bytes of
// index on top. Storage grows in chunks, never by copying what is stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace clst {

class EchoStore {
  public:
    void Append(std::string_view line);
    size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    // The line as it was appended; "" for an index beyond the end.
    std::string Line(size_t index) const;
    void Clear();
    // Bytes held for the lines (chunks and index), for memory figures.
    size_t MemoryBytes() const;

    // The bytes an echo line shows, when `line` is exactly what the relay
    // formats for them (FormatEchoLine); false for any other text.
    static bool ParseEchoLine(std::string_view line, std::string& bytes);

  private:
    static constexpr uint32_t kBytesFlag = 0x80000000u;
    static constexpr uint32_t kOffsetMask = 0x7FFFFFFFu;
    static constexpr size_t kChunkSize = size_t{1} << 20;

    struct Chunk {
        std::unique_ptr<char[]> data;
        size_t capacity = 0;
        size_t used = 0;
        size_t firstLine = 0;
    };

    void Store(std::string_view stored, bool isBytes);

    std::vector<Chunk> chunks_;
    // Per line: end offset inside its chunk, kBytesFlag for an echo line.
    std::deque<uint32_t> ends_;
    std::string scratch_;
};

}  // namespace clst
