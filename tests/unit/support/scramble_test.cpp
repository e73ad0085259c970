#include "support/Scramble.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Scramble, RoundTrips) {
    for (const std::string& text :
         std::vector<std::string>{"p", "pa", "pas", "pass", "secret password",
                                  std::string(255, 'x'), std::string(256, 'y'),
                                  std::string(700, 'z'), std::string("\x01\xff\x80 mixed \x7f")}) {
        const std::string scrambled = ScrambleValue(text);
        EXPECT_NE(scrambled, text);
        EXPECT_EQ(UnscrambleValue(scrambled), text) << text.size();
    }
}

TEST(Scramble, KnownValue) {
    // 'A' (0x41) XOR the constant 0xA7 XOR (1 - 0) = 0xE7, which is "5w==" in Base64.
    EXPECT_EQ(ScrambleValue("A"), "5w==");
    EXPECT_EQ(UnscrambleValue("5w=="), "A");
    EXPECT_EQ(UnscrambleValue("5w"), "A") << "padding is optional";
}

TEST(Scramble, EmptyTextStaysEmpty) {
    EXPECT_EQ(UnscrambleValue(""), "");
    EXPECT_EQ(ScrambleValue(""), "");
    EXPECT_EQ(UnscrambleValue("===="), "");
    EXPECT_EQ(UnscrambleValue("5"), "") << "a single character carries no whole byte";
}

TEST(Scramble, NoiseIsSkippedAndTheFirstPadEndsDecoding) {
    const std::string scrambled = ScrambleValue("secret password");
    std::string noisy;
    for (char c : scrambled) {
        noisy += c;
        noisy += " \r\n\t*";
    }
    EXPECT_EQ(UnscrambleValue(noisy), "secret password");
    EXPECT_EQ(UnscrambleValue("5w==" + ScrambleValue("more")), "A");
}

TEST(Scramble, PartialLastGroups) {
    // 3 characters give 2 bytes, 2 give 1: the lengths drive the position key, so the
    // text must come back exactly.
    const std::string two = ScrambleValue("ab");    // "xxx="
    const std::string one = ScrambleValue("abcd");  // "xxxxxx=="
    EXPECT_EQ(two.back(), '=');
    EXPECT_EQ(UnscrambleValue(two.substr(0, 3)), "ab");
    EXPECT_EQ(UnscrambleValue(one.substr(0, 6)), "abcd");
}

TEST(Scramble, ResultEndsAtTheFirstNul) {
    const std::string withNul = ScrambleValue(std::string("ab\0cd", 5));
    EXPECT_EQ(UnscrambleValue(withNul), "ab");
}

}  // namespace
