// The echo list's compact store: every line reads back exactly as it was
// added, whatever it holds, across chunk boundaries and after clearing.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "relay/relay_worker.h"
#include "ui/echo_store.h"

using clst::EchoStore;
using clst::FormatEchoLine;

namespace {

std::string EchoOf(const std::string& bytes) {
    return FormatEchoLine(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

TEST(EchoStore, EveryByteValueRoundTripsAndIsStoredAsOneByte) {
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    std::string parsed;
    ASSERT_TRUE(EchoStore::ParseEchoLine(EchoOf(all), parsed));
    EXPECT_EQ(parsed, all);

    EchoStore store;
    for (int b = 0; b < 256; ++b)
        store.Append(EchoOf(std::string(1, static_cast<char>(b))));
    store.Append(EchoOf(all));
    ASSERT_EQ(store.size(), 257u);
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(store.Line(b), EchoOf(std::string(1, static_cast<char>(b)))) << "byte " << b;
    }
    EXPECT_EQ(store.Line(256), EchoOf(all));
    EXPECT_EQ(store.Line(257), "");
}

TEST(EchoStore, TextsThatAreNotExactEchoLinesStayText) {
    const std::vector<std::string> texts = {
        "Retry after TotalBytesWritten: 10",
        "Error while writing to COM interface   error code: 0",
        "",
        "0a[\n] ",   // leading zero: the relay never writes this
        "41[B] ",    // the shown character does not match the value
        "41[A]",     // no closing space
        "41[A] 4",   // cut in the middle of the next byte
        "A[\n] ",    // upper-case hex
        "0[\x00] ",  // a zero byte is shown as an empty bracket
        "41[A]  ",
        std::string("100[\x00] ", 8),
    };
    EchoStore store;
    for (const auto& t : texts) {
        std::string bytes;
        EXPECT_FALSE(EchoStore::ParseEchoLine(t, bytes)) << t;
        store.Append(t);
    }
    for (size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(store.Line(i), texts[i]) << i;
}

TEST(EchoStore, RandomLinesAcrossManyChunksReadBackInOrder) {
    std::mt19937 rng(7);
    std::vector<std::string> added;
    EchoStore store;
    size_t relayed = 0;
    // Enough for a few chunks, with lines up to the relay's buffer size.
    while (relayed < 5u * 1024 * 1024) {
        const size_t n = 1 + rng() % (rng() % 8 == 0 ? clst::kRelayBufferSize : 64);
        std::string bytes(n, '\0');
        for (auto& c : bytes)
            c = static_cast<char>(rng());
        relayed += n;
        added.push_back(rng() % 50 == 0 ? "Retry after TotalBytesWritten: " + std::to_string(n)
                                        : EchoOf(bytes));
        store.Append(added.back());
    }
    ASSERT_EQ(store.size(), added.size());
    for (size_t i = 0; i < added.size(); i += 1 + rng() % 3) {
        ASSERT_EQ(store.Line(i), added[i]) << "line " << i;
    }
    EXPECT_EQ(store.Line(added.size() - 1), added.back());

    // Compact: about a byte per relayed byte plus the index, not the text.
    EXPECT_LT(store.MemoryBytes(), relayed + added.size() * 4 + 2 * (1u << 20));

    store.Clear();
    EXPECT_TRUE(store.empty());
    EXPECT_EQ(store.Line(0), "");
    store.Append("41[A] ");
    EXPECT_EQ(store.size(), 1u);
    EXPECT_EQ(store.Line(0), "41[A] ");
}

TEST(EchoStore, LineLargerThanAChunkGetsItsOwn) {
    EchoStore store;
    store.Append("before");
    const std::string big(3u << 20, 'x');  // a text line of 3 MiB
    store.Append(big);
    store.Append("after");
    EXPECT_EQ(store.Line(0), "before");
    EXPECT_EQ(store.Line(1), big);
    EXPECT_EQ(store.Line(2), "after");
}
