#include "ui/echo_store.h"

#include <algorithm>
#include <cstring>

#include "relay/relay_worker.h"
#include "ui/echo_display.h"

namespace clst {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace

bool EchoStore::ParseEchoLine(std::string_view line, std::string& bytes) {
    bytes.clear();
    if (line.empty())
        return false;
    size_t i = 0;
    while (i < line.size()) {
        // One hex digit for values below 0x10, two (no leading zero) above.
        const int high = HexValue(line[i]);
        if (high < 0 || i + 1 >= line.size())
            return false;
        int value = high;
        ++i;
        if (line[i] != '[') {
            const int low = HexValue(line[i]);
            if (low < 0 || high == 0)
                return false;
            value = high * 16 + low;
            ++i;
            if (i >= line.size() || line[i] != '[')
                return false;
        }
        ++i;  // '['
        if (value != 0) {
            if (i >= line.size() || static_cast<uint8_t>(line[i]) != value)
                return false;
            ++i;
        }
        if (i + 1 >= line.size() || line[i] != ']' || line[i + 1] != ' ')
            return false;
        i += 2;
        bytes.push_back(static_cast<char>(value));
    }
    return true;
}

void EchoStore::Append(std::string_view line) {
    if (ParseEchoLine(line, scratch_)) {
        widest_ = std::max(widest_, EchoBytesDisplayWidth(scratch_));
        Store(scratch_, true);
    } else {
        widest_ = std::max(widest_, EchoDisplayWidth(line));
        Store(line, false);
    }
}

void EchoStore::Store(std::string_view stored, bool isBytes) {
    if (chunks_.empty() || chunks_.back().capacity - chunks_.back().used < stored.size()) {
        Chunk chunk;
        chunk.capacity = std::max(kChunkSize, stored.size());
        chunk.data = std::make_unique<char[]>(chunk.capacity);
        chunk.firstLine = firstLine_ + ends_.size();
        chunkBytes_ += chunk.capacity;
        chunks_.push_back(std::move(chunk));
    }
    Chunk& chunk = chunks_.back();
    if (!stored.empty()) {
        std::memcpy(chunk.data.get() + chunk.used, stored.data(), stored.size());
    }
    chunk.used += stored.size();
    ends_.push_back(static_cast<uint32_t>(chunk.used) | (isBytes ? kBytesFlag : 0u));
    while (chunks_.size() > 2 && MemoryBytes() > maxBytes_)
        DropOldestChunk();
}

void EchoStore::DropOldestChunk() {
    const uint64_t lines = chunks_[1].firstLine - chunks_[0].firstLine;
    ends_.erase(ends_.begin(), ends_.begin() + static_cast<std::ptrdiff_t>(lines));
    firstLine_ += lines;
    chunkBytes_ -= chunks_[0].capacity;
    chunks_.erase(chunks_.begin());
}

std::string EchoStore::Line(size_t index) const {
    if (index >= ends_.size())
        return {};
    const uint64_t line = firstLine_ + index;
    // The last chunk whose first line is not after `line`.
    auto it = std::upper_bound(chunks_.begin(), chunks_.end(), line,
                               [](uint64_t i, const Chunk& c) { return i < c.firstLine; });
    const Chunk& chunk = *(it - 1);
    const size_t begin = line == chunk.firstLine ? 0 : (ends_[index - 1] & kOffsetMask);
    const size_t end = ends_[index] & kOffsetMask;
    const char* data = chunk.data.get() + begin;
    if ((ends_[index] & kBytesFlag) != 0) {
        return FormatEchoLine(reinterpret_cast<const uint8_t*>(data), end - begin);
    }
    return std::string(data, end - begin);
}

void EchoStore::Clear() {
    chunks_.clear();
    chunks_.shrink_to_fit();
    chunkBytes_ = 0;
    ends_.clear();
    ends_.shrink_to_fit();
    firstLine_ = 0;
    widest_ = 0;
}

size_t EchoStore::MemoryBytes() const {
    return chunks_.capacity() * sizeof(Chunk) + chunkBytes_ + ends_.size() * sizeof(uint32_t);
}

}  // namespace clst
