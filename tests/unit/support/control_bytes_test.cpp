#include <gtest/gtest.h>

#include <string>

#include "support/ControlBytes.h"

namespace {

TEST(PrintableLine, PlainLinesAreUsedInPlace) {
    const char* line = "211 3 1 3 alt.binaries.test\r\n";
    PrintableLine printable(line);
    EXPECT_EQ(printable.c_str(), line);
}

TEST(PrintableLine, ControlBytesInsideALineAreEscapedAndItsEndIsKept) {
    PrintableLine crlf("502 \x1b]0;owned\x07 bye\r\n");
    EXPECT_STREQ(crlf.c_str(), "502 \\x1B]0;owned\\x07 bye\r\n");
    PrintableLine lf("200 a\rb\n");
    EXPECT_STREQ(lf.c_str(), "200 a\\x0Db\n");
    PrintableLine none("x\x7f\x00 tail");  // a NUL ends the text as it does for the logs
    EXPECT_STREQ(none.c_str(), "x\\x7F");
    PrintableLine tab("a\tb\r\n");
    EXPECT_STREQ(tab.c_str(), "a\tb\r\n");
}

TEST(PrintableLine, ALineOfOnlyControlBytesFits) {
    std::string line(1019, '\x1b');
    line += "\r\n";
    PrintableLine printable(line.c_str());
    const std::string out = printable.c_str();
    EXPECT_EQ(out.size(), 1019u * 4 + 2);
    EXPECT_EQ(out.substr(out.size() - 2), "\r\n");
}

}  // namespace
