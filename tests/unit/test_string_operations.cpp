// Hex text helpers and the tokeniser that splits a hex text into records.
#include "StringOperations.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/resource.h>
#define FWUPGRADE_CAN_LIMIT_MEMORY 1
#endif
#if defined(__SANITIZE_ADDRESS__)
#undef FWUPGRADE_CAN_LIMIT_MEMORY
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#undef FWUPGRADE_CAN_LIMIT_MEMORY
#endif
#endif

namespace {

std::vector<std::string> split(std::string& text, const char* separators) {
    char** list = str_split(&text[0], separators);
    std::vector<std::string> pieces;
    if (list != nullptr) {
        for (char** p = list; *p != nullptr; ++p) {
            pieces.emplace_back(*p);
        }
        std::free(list);
    }
    return pieces;
}

TEST(HexDigits, DecodesBothCasesAndTreatsOtherCharactersAsZero) {
    EXPECT_EQ(int_from_hex_char('0'), 0);
    EXPECT_EQ(int_from_hex_char('9'), 9);
    EXPECT_EQ(int_from_hex_char('A'), 10);
    EXPECT_EQ(int_from_hex_char('f'), 15);
    EXPECT_EQ(int_from_hex_char('g'), 0);
    EXPECT_EQ(int_from_hex_char('G'), 0);
    EXPECT_EQ(int_from_hex_char(':'), 0);
    EXPECT_EQ(int_from_hex_char('\xFF'), 0);
}

TEST(HexDigits, PairsReadTwoCharactersAndShortTextsReadOne) {
    char g1[] = "G1", seven[] = "7", pair[] = "7F3", lower[] = "ab", empty[] = "";
    EXPECT_EQ(u8_from_hex_string(g1), 1);
    EXPECT_EQ(u8_from_hex_string(seven), 7);
    EXPECT_EQ(u8_from_hex_string(pair), 0x7F);
    EXPECT_EQ(u8_from_hex_string(lower), 0xAB);
    EXPECT_EQ(u8_from_hex_string(empty), 0);
}

TEST(Tokeniser, SplitsRecordsInPlaceAndKeepsLineEnds) {
    std::string text = ":10AB\r\n:00FF";
    const auto pieces = split(text, ":");
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0], "10AB\r\n");
    EXPECT_EQ(pieces[1], "00FF");
    // The leading colon stays; the colon after the line end became the piece's terminator.
    EXPECT_EQ(text[0], ':');
    EXPECT_EQ(text[7], '\0');
}

TEST(Tokeniser, RunsOfSeparatorsGiveNoEmptyPieces) {
    std::string text = "::A::B:";
    const auto pieces = split(text, ":");
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0], "A");
    EXPECT_EQ(pieces[1], "B");

    std::string several = "a,b;c";
    EXPECT_EQ(split(several, ",;"), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(Tokeniser, TextWithoutPiecesGivesAnEmptyListAndNullArgumentsGiveNull) {
    std::string empty;
    std::string separatorsOnly = ":::";
    char** list = str_split(&empty[0], ":");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0], nullptr);
    std::free(list);
    list = str_split(&separatorsOnly[0], ":");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0], nullptr);
    std::free(list);
    EXPECT_EQ(str_split(nullptr, ":"), nullptr);
    EXPECT_EQ(str_split(&separatorsOnly[0], nullptr), nullptr);
}

TEST(Tokeniser, ManyPiecesAreAllListedInOrder) {
    // Enough pieces to make the list grow many times.
    std::string text;
    for (int i = 0; i < 5000; ++i) {
        text += ":" + std::to_string(i);
    }
    const auto pieces = split(text, ":");
    ASSERT_EQ(pieces.size(), 5000u);
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(pieces[static_cast<std::size_t>(i)], std::to_string(i));
    }
}

#ifdef FWUPGRADE_CAN_LIMIT_MEMORY
// Runs in the death test's child: a text of millions of pieces, then an address-space limit that
// leaves room for the text but not for the list of its pieces.
[[noreturn]] void splitWithoutMemory() {
    std::string text;
    for (int i = 0; i < 8 * 1024 * 1024; ++i) {
        text += ":a";
    }
    long pages = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld", &pages) != 1) {
            pages = 0;
        }
        std::fclose(statm);
    }
    const rlim_t limit = static_cast<rlim_t>(pages) * 4096u + 16u * 1024u * 1024u;
    const rlimit cap{limit, limit};
    setrlimit(RLIMIT_AS, &cap);
    char** list = str_split(&text[0], ":");
    std::free(list);
    std::exit(0);
}

TEST(TokeniserDeathTest, RunningOutOfMemoryEndsTheProcessWithAFailureStatus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(splitWithoutMemory(), ::testing::ExitedWithCode(EXIT_OUT_OF_MEMORY), "");
}
#endif

TEST(LineBreaks, ZeroEndsTheTextAndSpacesJoinLines) {
    char cut[] = "AB\r\nCD";
    EXPECT_EQ(StrRemoveNL(cut, 0), 1);
    EXPECT_STREQ(cut, "AB");

    char joined[] = "1.0.2\r\nQV7\n1.3\r9";
    EXPECT_EQ(StrRemoveNL(joined, ' '), 1);
    EXPECT_STREQ(joined, "1.0.2  QV7 1.3 9");
}

} // namespace
