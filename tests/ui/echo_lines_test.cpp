// Echo lines in the window: the compact store gives every line back exactly
// as it was added, and as shown every line is one row whose bytes stay
// recognisable.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "relay/relay_worker.h"
#include "ui/echo_display.h"
#include "ui/echo_store.h"
#include "ui/echo_viewport.h"

using clst::EchoDisplayText;
using clst::EchoStore;
using clst::EchoViewport;

namespace {

std::string EchoOf(const std::string& bytes) {
    return clst::FormatEchoLine(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Texts the store keeps as text: the relay's other lines and near misses of
// an echo line; one taken for an echo line would read back changed.
const std::vector<std::string> kNotEchoLines = {
    "Retry after TotalBytesWritten: 10",
    "0a[\n] ",                 // leading zero: the relay never writes this
    "41[B] ",                  // the shown character does not match the value
    "41[A]",                   // no closing space
    "A[\n] ",                  // upper-case hex
    std::string("0[\0] ", 5),  // a zero byte is shown as an empty bracket
};

}  // namespace

TEST(EchoStore, EveryLineReadsBackAsAddedAcrossChunksAndAfterClear) {
    // An echo line of every byte value is what the store keeps as bytes.
    std::string all, bytes;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    ASSERT_TRUE(EchoStore::ParseEchoLine(EchoOf(all), bytes));
    EXPECT_EQ(bytes, all);

    std::vector<std::string> added = kNotEchoLines;
    for (int b = 0; b < 256; ++b)
        added.push_back(EchoOf(std::string(1, static_cast<char>(b))));
    added.push_back(std::string(3u << 20, 'x'));  // a text line larger than a chunk
    // Then a few chunks of lines up to the relay's buffer size.
    std::mt19937 rng(7);
    for (size_t relayed = 0; relayed < 5u * 1024 * 1024;) {
        std::string block(1 + rng() % (rng() % 8 == 0 ? clst::kRelayBufferSize : 64), '\0');
        for (auto& c : block)
            c = static_cast<char>(rng());
        relayed += block.size();
        added.push_back(EchoOf(block));
    }
    EchoStore store;
    // Bounded to three chunks, a store holds the newest lines and counts
    // the others.
    EchoStore bounded(3 * EchoStore::kChunkSize);
    size_t widest = 0;
    for (const auto& line : added) {
        store.Append(line);
        bounded.Append(line);
        const std::string shown = EchoDisplayText(line);
        // Characters as shown, a Latin-1 one taking two bytes of UTF-8.
        widest = std::max<size_t>(widest, std::count_if(shown.begin(), shown.end(), [](char c) {
                                      return (static_cast<uint8_t>(c) & 0xC0) != 0x80;
                                  }));
    }
    ASSERT_EQ(store.size(), added.size());
    for (size_t i = 0; i < added.size(); ++i)
        ASSERT_EQ(store.Line(i), added[i]) << "line " << i;
    EXPECT_EQ(store.widestLine(), widest);
    EXPECT_EQ(store.droppedLines(), 0u);

    EXPECT_LE(bounded.MemoryBytes(), bounded.maxBytes());
    ASSERT_GT(bounded.droppedLines(), 0u);
    ASSERT_EQ(bounded.droppedLines() + bounded.size(), added.size());
    for (size_t i = 0; i < bounded.size(); ++i)
        ASSERT_EQ(bounded.Line(i), added[bounded.droppedLines() + i]) << "line " << i;

    store.Clear();
    store.Append("41[A] ");
    EXPECT_EQ(store.Line(0), "41[A] ");
}

TEST(EchoDisplay, ControlCharactersShowAsEscapesAndLatin1AsItself) {
    const struct {
        std::string stored, shown;
    } cases[] = {
        {"a[\n] 9[\t] 1[\x01] 1b[\x1b] 7f[\x7f] ", R"(a[\n] 9[\t] 1[\x01] 1b[\x1b] 7f[\x7f] )"},
        {"e9[\xe9] ff[\xff] 85[\x85] 5c[\\] ", "e9[\u00e9] ff[\u00ff] 85[\\x85] 5c[\\] "},
        {"0[] 20[ ] ", "0[] 20[ ] "},
        // The COM write error line ends with a line feed of its own.
        {"Error writing to COM interface  error code: 0\n",
         "Error writing to COM interface  error code: 0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EchoDisplayText(c.stored), c.shown) << c.stored;

    // No byte value shows a control character: C0, DEL and, in UTF-8, the
    // C1 controls (U+0085 ends a line in Unicode).
    for (int b = 0; b < 256; ++b) {
        const std::string shown = EchoDisplayText(EchoOf(std::string(1, static_cast<char>(b))));
        for (size_t i = 0; i < shown.size(); ++i) {
            const auto c = static_cast<uint8_t>(shown[i]);
            const auto next = i + 1 < shown.size() ? static_cast<uint8_t>(shown[i + 1]) : 0;
            EXPECT_FALSE(c < 0x20 || c == 0x7F || (c == 0xC2 && next >= 0x80 && next < 0xA0))
                << "byte " << b << " at " << i;
        }
    }
}

TEST(EchoViewport, FollowsTheEndUntilScrolledUpThenHoldsItsRows) {
    // Each step, then the top row and whether the view follows the end.
    enum Step { Rows, Lines, ScrollTo, Reset };
    const struct {
        Step step;
        int64_t value, removed;
        int64_t top;
        bool following;
    } steps[] = {
        {Rows, 10, 0, 0, true},         {Lines, 5, 0, 0, true},  // fewer than fit
        {Lines, 300, 0, 290, true},     {ScrollTo, 100, 0, 100, false},
        {Lines, 600, 0, 100, false},    // stays put
        {Lines, 600, 40, 60, false},    // older rows dropped
        {Lines, 600, -1, 61, false},    // a note came in on top
        {Lines, 600, 100, 0, false},    // its own rows went too
        {ScrollTo, 590, 0, 590, true},  // back at the end
        {Lines, 700, 0, 690, true},     {Rows, 20, 0, 680, true},
        {ScrollTo, -5, 0, 0, false},    {ScrollTo, 1000, 0, 680, true},
        {ScrollTo, 100, 0, 100, false}, {Rows, 700, 0, 0, true},  // the whole list fits
        {Rows, 10, 0, 690, true},       {Reset, 0, 0, 0, true},
    };
    EchoViewport view;
    for (const auto& s : steps) {
        switch (s.step) {
            case Rows:
                view.SetRowsInView(s.value);
                break;
            case Lines:
                view.Update(s.value, s.removed);
                break;
            case ScrollTo:
                view.ScrollTo(s.value);
                break;
            case Reset:
                view.Reset();
                break;
        }
        EXPECT_EQ(std::pair(view.top(), view.following()), std::pair(s.top, s.following))
            << "step " << &s - steps;
    }
}
