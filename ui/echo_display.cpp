#include "ui/echo_display.h"

#include <array>

namespace clst {

namespace {

// Characters one byte of a line shows: itself, a two-character escape or
// \x and two hex digits.
size_t CharWidth(uint8_t byte) {
    if (byte == '\t' || byte == '\n' || byte == '\r')
        return 2;
    if (byte < 0x20 || (byte >= 0x7F && byte < 0xA0))
        return 4;
    return 1;
}

}  // namespace

std::string EchoDisplayText(std::string_view line) {
    static constexpr char kHex[] = "0123456789abcdef";
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    std::string text;
    text.reserve(line.size() + line.size() / 2);
    for (const char c : line) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte == '\t' || byte == '\n' || byte == '\r') {
            text.push_back('\\');
            text.push_back(byte == '\t' ? 't' : byte == '\n' ? 'n' : 'r');
        } else if (byte < 0x20 || (byte >= 0x7F && byte < 0xA0)) {
            text += "\\x";
            text.push_back(kHex[byte >> 4]);
            text.push_back(kHex[byte & 0x0F]);
        } else if (byte < 0x80) {
            text.push_back(c);
        } else {
            // Latin-1 in UTF-8: two bytes.
            text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return text;
}

size_t EchoDisplayWidth(std::string_view line) {
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    size_t width = 0;
    for (const char c : line)
        width += CharWidth(static_cast<uint8_t>(c));
    return width;
}

size_t EchoBytesDisplayWidth(std::string_view bytes) {
    // "41[A] ": the hex digits, the brackets and the space, and the byte as
    // shown; a zero byte shows nothing between its brackets.
    static const std::array<uint8_t, 256> kWidths = [] {
        std::array<uint8_t, 256> widths{};
        for (size_t b = 0; b < widths.size(); ++b) {
            const auto byte = static_cast<uint8_t>(b);
            widths[b] = static_cast<uint8_t>((byte >= 0x10 ? 2 : 1) + 3 +
                                             (byte == 0 ? 0 : CharWidth(byte)));
        }
        return widths;
    }();
    size_t width = 0;
    for (const char c : bytes)
        width += kWidths[static_cast<uint8_t>(c)];
    return width;
}

std::string EchoDroppedNote(uint64_t count, size_t maxBytes) {
    return "(" + std::to_string(count) + " older lines dropped: the echo list keeps the newest " +
           std::to_string(maxBytes >> 20) + " MiB)";
}

}  // namespace clst
