// Numbers typed at the prompts and read from the unit's version reply.
#include "DecimalNumber.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

struct Reading {
    int result;
    int value;
    std::string rest; // what stays unread
};

Reading read(const std::string& text, int initial = 77) {
    std::size_t pos = 0;
    int value = initial;
    auto next = [&]() { return pos < text.size() ? static_cast<unsigned char>(text[pos++]) : -1; };
    auto unread = [&](int) { --pos; };
    const int result = readDecimalNumber(next, unread, &value);
    return {result, value, text.substr(pos)};
}

TEST(DecimalNumber, ReadsLikeScanfAndLeavesTheNextCharacterUnread) {
    const Reading plain = read("  \n 9600\nrest");
    EXPECT_EQ(plain.result, 1);
    EXPECT_EQ(plain.value, 9600);
    EXPECT_EQ(plain.rest, "\nrest");

    const Reading signs = read("-12abc");
    EXPECT_EQ(signs.result, 1);
    EXPECT_EQ(signs.value, -12);
    EXPECT_EQ(signs.rest, "abc");
    EXPECT_EQ(read("+7").value, 7);
}

TEST(DecimalNumber, NumbersBeyondAnIntAreHeldAtItsLimits) {
    EXPECT_EQ(read("4294967296").value, INT_MAX);
    EXPECT_EQ(read("4294967305").value, INT_MAX) << "2^32 + 9 must not read as 9";
    EXPECT_EQ(read("75557863725914323419136").value, INT_MAX);
    EXPECT_EQ(read("-4294967296").value, INT_MIN);
    EXPECT_EQ(read("2147483647").value, INT_MAX);
    EXPECT_EQ(read("-2147483648").value, INT_MIN);
    EXPECT_EQ(read("2147483646").value, 2147483646);
}

TEST(DecimalNumber, NoNumberLeavesTheValueAndTellsWhy) {
    const Reading word = read("abc");
    EXPECT_EQ(word.result, 0);
    EXPECT_EQ(word.value, 77);
    EXPECT_EQ(word.rest, "abc");

    EXPECT_EQ(read("").result, -1);
    EXPECT_EQ(read("   \n").result, -1);
    EXPECT_EQ(read("-").result, -1);
    EXPECT_EQ(read("-x").result, 0);
    EXPECT_EQ(read("").value, 77);
}

} // namespace
