// What a person reads: server text made safe for a terminal and for JSON, rates in human
// units, and per-line figures whose average can never exceed their peak.
#include <gtest/gtest.h>

#include <string>

#include "app/core/IntervalMeter.h"
#include "app/core/SafeText.h"

namespace {

TEST(SafeTextTest, ControlBytesFromAServerAreShownAsHex) {
    // An escape sequence that would clear the screen and retitle the terminal.
    EXPECT_EQ(ShowSafely("200 \x1b[2J\x1b]0;owned\x07 ready"),
              "200 \\x1B[2J\\x1B]0;owned\\x07 ready");
    EXPECT_EQ(ShowSafely("a\tb\r\nc\x7f"), "a\tb\\x0D\\x0Ac\\x7F");
    EXPECT_EQ(ShowSafely(std::string("nul\0byte", 8)), "nul\\x00byte");
    // Valid UTF-8 stays, C1 controls and broken sequences do not.
    EXPECT_EQ(ShowSafely("caf\xc3\xa9 \xe2\x82\xac"), "caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(ShowSafely("x\xc2\x9b" "31m"), "x\\xC2\\x9B31m");
    EXPECT_EQ(ShowSafely("\x9b\xff\xc3"), "\\x9B\\xFF\\xC3");
    EXPECT_EQ(ShowSafely("\xc0\xaf"), "\\xC0\\xAF");          // overlong '/'
    EXPECT_EQ(ShowSafely("\xed\xa0\x80"), "\\xED\\xA0\\x80");  // a surrogate
    EXPECT_EQ(ShowSafely(""), "");
}

TEST(SafeTextTest, BytesThatAreNoUtf8AreReadAsLatin1) {
    EXPECT_EQ(ValidUtf8("caf\xc3\xa9 \xe2\x82\xac"), "caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(ValidUtf8("\xe9t\xe9"), "\xc3\xa9t\xc3\xa9");
    EXPECT_EQ(ValidUtf8("\xff\xc3"), "\xc3\xbf\xc3\x83");  // 0xC3 with nothing after it
    // An overlong '/' is two Latin-1 characters, never the '/' it pretends to be.
    EXPECT_EQ(ValidUtf8("\xc0\xaf"), "\xc3\x80\xc2\xaf");
    EXPECT_EQ(ValidUtf8("\xed\xa0\x80"), "\xc3\xad\xc2\xa0\xc2\x80");  // a surrogate
    EXPECT_EQ(ValidUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(SafeTextTest, HumanRatesAreDecimalUnitsOfTheKiBRate) {
    // The argument is in KiB/s (the engine's and the dialog's unit); what is shown is
    // 10^3, 10^6 and 10^9 bytes per second.
    EXPECT_EQ(HumanRate(0), "0 B/s");
    EXPECT_EQ(HumanRate(0.5), "512 B/s");
    EXPECT_EQ(HumanRate(1.0), "1.0 kB/s");        // 1024 bytes
    EXPECT_EQ(HumanRate(976.5), "999.9 kB/s");
    EXPECT_EQ(HumanRate(976.56), "1.0 MB/s");     // 999.997 kB/s: never "1000.0 kB/s"
    EXPECT_EQ(HumanRate(187990.12), "192.5 MB/s");  // was shown as 183.6 "MB/s" (MiB)
    EXPECT_EQ(HumanRate(1e9 / 1024), "1.0 GB/s");
    EXPECT_EQ(HumanRate(-4), "0 B/s");
}

TEST(IntervalMeterTest, EachLineMeasuresSinceTheLineBefore) {
    IntervalMeter meter;
    meter.Start(0.0, 0, 0);
    IntervalFigures first = meter.Measure(1.0, 2048, 3);
    EXPECT_DOUBLE_EQ(first.rateKiB, 2.0);
    EXPECT_DOUBLE_EQ(first.articlesPerSecond, 3.0);
    IntervalFigures second = meter.Measure(3.0, 2048 + 4096, 7);
    EXPECT_DOUBLE_EQ(second.seconds, 2.0);
    EXPECT_DOUBLE_EQ(second.rateKiB, 2.0);
    EXPECT_DOUBLE_EQ(second.articlesPerSecond, 2.0);
    // Nothing new: the next line says so instead of repeating the last figure.
    EXPECT_DOUBLE_EQ(meter.Measure(4.0, 6144, 7).rateKiB, 0.0);
}

TEST(IntervalMeterTest, AverageAndPeakComeFromTheSameIntervals) {
    IntervalMeter meter;
    meter.Start(0.0, 0, 0);
    meter.Measure(1.0, 0, 0);             // connecting: nothing yet
    meter.Measure(2.0, 10 * 1024, 0);     // 10 KiB/s
    meter.Measure(3.0, 40 * 1024, 0);     // 30 KiB/s
    EXPECT_DOUBLE_EQ(meter.PeakRate(), 30.0);
    EXPECT_NEAR(meter.AverageRate(), 40.0 / 3.0, 1e-9);
    // A last sliver of 10 ms with a burst would be a rate of 100 MiB/s: left out of both.
    meter.Measure(3.01, 40 * 1024 + 1024 * 1024, 0, false);
    EXPECT_DOUBLE_EQ(meter.PeakRate(), 30.0);
    EXPECT_LE(meter.AverageRate(), meter.PeakRate());
    EXPECT_DOUBLE_EQ(meter.MeasuredSeconds(), 3.0);
}

TEST(IntervalMeterTest, NoIntervalMeansNoRate) {
    IntervalMeter meter;
    meter.Start(5.0, 100, 1);
    EXPECT_EQ(meter.AverageRate(), 0.0);
    EXPECT_EQ(meter.Measure(5.0, 100000, 2).rateKiB, 0.0);  // no time passed: no rate
    EXPECT_EQ(meter.PeakRate(), 0.0);
}

}  // namespace
