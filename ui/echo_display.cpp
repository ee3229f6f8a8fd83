#include "ui/echo_display.h"

#include <cstdint>

namespace clst {

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

}  // namespace clst
