// Text forms shared by the command line, the settings dialog and the
// configuration file.
#include <gtest/gtest.h>

#include "connections/connection_settings.h"

using namespace clst;

TEST(ConnectionSettingsText, BaudTableRoundTripsEveryRow) {
    const int32_t rates[] = {9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
    for (int i = 0; i < kBaudTableSize; ++i) {
        ASSERT_NE(BaudText(i), nullptr);
        EXPECT_EQ(std::to_string(rates[i]), BaudText(i));
        int32_t rate = 0, code = 0;
        ASSERT_TRUE(ParseBaudText(BaudText(i), rate, code));
        EXPECT_EQ(rate, rates[i]);
        EXPECT_EQ(code, 1 << i);
        EXPECT_EQ(ClSerBaudCodeForRate(rates[i]), 1 << i);
        EXPECT_EQ(RateForClSerBaudCode(1 << i), rates[i]);
    }
    EXPECT_EQ(BaudText(-1), nullptr);
    EXPECT_EQ(BaudText(kBaudTableSize), nullptr);
}

TEST(ConnectionSettingsText, RejectedTextsLeaveTheFieldAlone) {
    int32_t rate = 1, code = 2, parity = 7, stop = 7, data = 7;
    for (const char* bad : {"", "4800", "9600 ", "09600", "115200x"})
        EXPECT_FALSE(ParseBaudText(bad, rate, code)) << bad;
    EXPECT_EQ(rate, 1);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(ClSerBaudCodeForRate(14400), 0);
    EXPECT_EQ(RateForClSerBaudCode(3), 0);

    for (const char* bad : {"", "x", "no", "m"})
        EXPECT_FALSE(ParseParityText(bad, parity)) << bad;
    for (const char* bad : {"", "0", "1,5", "1.50", "3"})
        EXPECT_FALSE(ParseStopBitsText(bad, stop)) << bad;
    for (const char* bad : {"", "4", "10", "8 "})
        EXPECT_FALSE(ParseDataBitsText(bad, data)) << bad;
    EXPECT_EQ(parity, 7);
    EXPECT_EQ(stop, 7);
    EXPECT_EQ(data, 7);
}

TEST(ConnectionSettingsText, ParityStopAndDataBitTextsRoundTrip) {
    const char* parities[] = {"n", "o", "e"};
    const char* stops[] = {"1", "1.5", "2"};
    for (int32_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ASSERT_STREQ(ParityText(i), parities[i]);
        ASSERT_STREQ(StopBitsText(i), stops[i]);
        int32_t parity = -1, stop = -1;
        EXPECT_TRUE(ParseParityText(parities[i], parity));
        EXPECT_EQ(parity, i);
        EXPECT_TRUE(ParseStopBitsText(stops[i], stop));
        EXPECT_EQ(stop, i);
    }
    for (int32_t bad : {-1, 3}) {
        EXPECT_EQ(ParityText(bad), nullptr);
        EXPECT_EQ(StopBitsText(bad), nullptr);
    }
    int32_t p = -1;
    ASSERT_TRUE(ParseParityText("E", p));  // the command line upper-cases its words
    EXPECT_EQ(p, 2);
    for (int32_t bits : {5, 9}) {
        int32_t d = -1;
        ASSERT_TRUE(ParseDataBitsText(std::to_string(bits), d));
        EXPECT_EQ(d, bits);
    }
}
