// The echo list's lines, stored compactly and bounded like a terminal's
// scrollback: a relay echoing a full line for hours must neither cost more
// than a few bytes per byte nor grow without end.
//
// An echo line ("41[A] 42[B] ") is stored as the bytes it shows, one byte
// each, and formatted again when it is read; any other line (the relay's
// error and retry lines) is stored as its text. Each line costs 4 bytes of
// index on top. Storage grows in chunks, never by copying what is stored;
// when the bound is reached the oldest chunk goes, with its lines, and the
// store counts them.
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
    // What the window keeps: of the order of a terminal's scrollback.
    static constexpr size_t kDefaultMaxBytes = size_t{64} << 20;
    static constexpr size_t kChunkSize = size_t{1} << 20;

    // `maxBytes` bounds MemoryBytes(); at least two chunks are kept.
    explicit EchoStore(size_t maxBytes = kDefaultMaxBytes) : maxBytes_(maxBytes) {}

    void Append(std::string_view line);
    // Lines held now; the oldest is line 0.
    size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    // The line as it was appended; "" for an index beyond the end.
    std::string Line(size_t index) const;
    // Lines dropped for the bound since the store was made or cleared.
    uint64_t droppedLines() const { return firstLine_; }
    // The most characters a line held has as shown (EchoDisplayWidth); it
    // does not shrink when lines are dropped.
    size_t widestLine() const { return widest_; }
    void Clear();
    // Bytes held for the lines (chunks and index), for memory figures.
    size_t MemoryBytes() const;
    size_t maxBytes() const { return maxBytes_; }

    // The bytes an echo line shows, when `line` is exactly what the relay
    // formats for them (FormatEchoLine); false for any other text.
    static bool ParseEchoLine(std::string_view line, std::string& bytes);

  private:
    static constexpr uint32_t kBytesFlag = 0x80000000u;
    static constexpr uint32_t kOffsetMask = 0x7FFFFFFFu;

    struct Chunk {
        std::unique_ptr<char[]> data;
        size_t capacity = 0;
        size_t used = 0;
        uint64_t firstLine = 0;  // counted from the first line ever appended
    };

    void Store(std::string_view stored, bool isBytes);
    void DropOldestChunk();

    size_t maxBytes_;
    std::vector<Chunk> chunks_;
    size_t chunkBytes_ = 0;
    // Per line: end offset inside its chunk, kBytesFlag for an echo line.
    std::deque<uint32_t> ends_;
    // Appended lines before the first one held: the dropped ones.
    uint64_t firstLine_ = 0;
    size_t widest_ = 0;
    std::string scratch_;
};

}  // namespace clst
