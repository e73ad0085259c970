#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/ErrorText.h"

namespace {

TEST(ErrorText, KnownCodesGiveTheirSentence) {
    EXPECT_STREQ(GetErrorText(10061),
                 "No connection could be made because the target machine actively refused it.");
    EXPECT_STREQ(GetErrorText(10004),
                 "A blocking operation was interrupted by a call to WSACancelBlockingCall.");
    EXPECT_STREQ(GetErrorText(11004),
                 "The requested name is valid and was found in the database, but it does not "
                 "have the correct associated data being resolved for.");
    EXPECT_STREQ(GetErrorText(10054),
                 "An existing connection was forcibly closed by the remote host.");
    const std::string lookup = GetErrorText(11002);
    EXPECT_EQ(lookup.back(), ' ') << "this text ends in a space";
}

TEST(ErrorText, CodesOutsideTheTableAreUnknown) {
    for (int code : {0, -1, 600, 10000, 10005, 10072, 10090, 10102, 11000, 11005, 0x7FFFFFFF})
        EXPECT_STREQ(GetErrorText(code), "Unknown Error Number") << code;
}

TEST(ErrorText, TableHas51AscendingWinsockCodes) {
    int previous = 0;
    for (const ErrorTextEntry& entry : ErrorTextTable) {
        EXPECT_GT(entry.code, previous);
        EXPECT_GE(entry.code, 10004);
        EXPECT_LE(entry.code, 11004);
        ASSERT_NE(entry.text, nullptr);
        EXPECT_GT(std::strlen(entry.text), 10u);
        EXPECT_STREQ(GetErrorText(entry.code), entry.text);
        previous = entry.code;
    }
    EXPECT_EQ(sizeof ErrorTextTable / sizeof ErrorTextTable[0], 51u);
}

}  // namespace
