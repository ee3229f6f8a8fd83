// Echo lines as shown: every line one row, its bytes still recognisable.
#include <gtest/gtest.h>

#include <string>

#include "relay/relay_worker.h"
#include "ui/echo_display.h"

using clst::EchoDisplayText;

TEST(EchoDisplay, ControlCharactersShowAsEscapesAndLatin1AsItself) {
    const struct {
        std::string stored;
        std::string shown;
    } cases[] = {
        {"69[i] 64[d] 3f[?] d[\r] ", R"(69[i] 64[d] 3f[?] d[\r] )"},
        {"a[\n] 9[\t] 1[\x01] 1b[\x1b] 7f[\x7f] ", R"(a[\n] 9[\t] 1[\x01] 1b[\x1b] 7f[\x7f] )"},
        {"e9[\xe9] ff[\xff] 85[\x85] 5c[\\] ", "e9[\u00e9] ff[\u00ff] 85[\\x85] 5c[\\] "},
        {"0[] 20[ ] ", "0[] 20[ ] "},
        // The COM write error line ends with a line feed of its own.
        {"Error writing to COM interface  error code: 0  TotalBytesWritten: 0\n",
         "Error writing to COM interface  error code: 0  TotalBytesWritten: 0"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EchoDisplayText(c.stored), c.shown) << c.stored;
}

TEST(EchoDisplay, NoByteValueShowsAControlCharacter) {
    // C0, DEL and, in UTF-8, the C1 controls (U+0085 ends a line in Unicode).
    const auto hasControl = [](const std::string& text) {
        for (size_t i = 0; i < text.size(); ++i) {
            const auto c = static_cast<uint8_t>(text[i]);
            const auto next = i + 1 < text.size() ? static_cast<uint8_t>(text[i + 1]) : 0;
            if (c < 0x20 || c == 0x7F || (c == 0xC2 && next >= 0x80 && next < 0xA0))
                return true;
        }
        return false;
    };
    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<uint8_t>(b);
        const std::string shown = EchoDisplayText(clst::FormatEchoLine(&byte, 1));
        EXPECT_FALSE(hasControl(shown)) << "byte " << b;
    }
}
