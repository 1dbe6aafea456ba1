// Base64 codec: padding, the room rules of the in/out length, and the decoder's rejections,
// with round trips checked against the strict reference decoder.
#include "Encoder.h"

#include "ReferenceBase64.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

struct Result {
    int status;
    int dlen;
    Bytes out;
};

Result encode(const Bytes& src, int room) {
    Bytes dst(static_cast<std::size_t>(room) + 1, '#');
    int dlen = room;
    const int status = base64_encode(dst.data(), &dlen, src.data(), static_cast<int>(src.size()));
    return {status, dlen, dst};
}

Result decode(const std::string& text, int room) {
    Bytes dst(static_cast<std::size_t>(room) + 1, '#');
    int dlen = room;
    const Bytes src = bytesOf(text);
    const int status = base64_decode(dst.data(), &dlen, src.data(), static_cast<int>(src.size()));
    if (status == 0) {
        dst.resize(static_cast<std::size_t>(dlen));
    }
    return {status, dlen, dst};
}

TEST(Base64Encode, PadsTheFinalGroupAndTerminatesTheText) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {{"abc", "YWJj"}, {"ab", "YWI="}, {"a", "YQ=="}, {"abcd", "YWJjZA=="}, {"\xFF\xEF\xBE", "/+++"}};
    for (const auto& c : cases) {
        const Result r = encode(bytesOf(c.in), 64);
        ASSERT_EQ(r.status, 0) << c.in;
        const std::string expected = c.out;
        EXPECT_EQ(r.dlen, static_cast<int>(expected.size())) << c.in;
        EXPECT_EQ(std::string(r.out.begin(), r.out.begin() + r.dlen), expected);
        EXPECT_EQ(r.out[expected.size()], 0) << "terminator after " << expected;
    }
}

TEST(Base64Encode, NeedsRoomForTheTerminatorAndAsksForIt) {
    const Result exact = encode(bytesOf("abcd"), 8);
    EXPECT_EQ(exact.status, -1);
    EXPECT_EQ(exact.dlen, 9);
    EXPECT_EQ(exact.out, Bytes(9, '#')) << "nothing written on failure";

    const Result enough = encode(bytesOf("abcd"), 9);
    EXPECT_EQ(enough.status, 0);
    EXPECT_EQ(enough.dlen, 8);

    const Result none = encode(Bytes{}, 5);
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.dlen, 5) << "nothing to encode leaves the length alone";
    EXPECT_EQ(none.out, Bytes(6, '#'));
}

TEST(Base64Decode, SkipsCrLfAndLfAndDecodesPaddedGroups) {
    EXPECT_EQ(decode("YW\r\nJj", 8).out, bytesOf("abc"));
    EXPECT_EQ(decode("\nY\nWJ\r\nj\n", 8).out, bytesOf("abc"));
    EXPECT_EQ(decode("YWI=", 8).out, bytesOf("ab"));
    EXPECT_EQ(decode("YWJjZA==", 8).out, bytesOf("abcd"));

    const Result lineBreaksOnly = decode("\r\n\n", 4);
    EXPECT_EQ(lineBreaksOnly.status, 0);
    EXPECT_EQ(lineBreaksOnly.dlen, 4) << "no symbols leaves the length alone";
}

TEST(Base64Decode, RejectsForeignCharactersAndMisplacedPadding) {
    const char* rejected[] = {
        "YQ=a",      // a symbol after "="
        "YQ==YQ==",  // a group after a padded one
        "YQ===",     // a third "="
        "Y===",      //
        "YW\rJj",    // a carriage return without its line feed
        "YWJj\r",    //
        "YW Jj",     // white space is not skipped
        "YW@j",      // outside the alphabet
        "YW\x80Jj",  // a code of 128 or more
        "YW\xFFJj",  //
    };
    for (const char* text : rejected) {
        EXPECT_EQ(decode(text, 16).status, -1) << '"' << text << '"';
    }
}

TEST(Base64Decode, AsksForRoomCountingPaddingAsSymbols) {
    const Result small = decode("YQ==", 1);
    EXPECT_EQ(small.status, -1);
    EXPECT_EQ(small.dlen, 3);
    EXPECT_EQ(small.out, Bytes(2, '#')) << "nothing written on failure";
    const Result fits = decode("YQ==", 3);
    EXPECT_EQ(fits.status, 0);
    EXPECT_EQ(fits.out, bytesOf("a"));

    // Two symbols past the last group are dropped, yet still counted in the room asked for.
    const Result tooSmall = decode("YWJjZA", 4);
    EXPECT_EQ(tooSmall.status, -1);
    EXPECT_EQ(tooSmall.dlen, 5);
    const Result dropped = decode("YWJjZA", 5);
    EXPECT_EQ(dropped.status, 0);
    EXPECT_EQ(dropped.out, bytesOf("abc"));
}

TEST(Base64RoundTrip, RandomBuffersOfEveryLengthUpToAHundredAndOneLargeImage) {
    std::mt19937 random(20240611);
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 100; ++n) lengths.push_back(n);
    lengths.push_back(460797);
    for (const std::size_t n : lengths) {
        Bytes src(n);
        for (auto& b : src) b = static_cast<unsigned char>(random());
        const int textLength = static_cast<int>(4 * ((n + 2) / 3));

        const Result enc = encode(src, textLength + 1);
        ASSERT_EQ(enc.status, 0) << n;
        const std::string text(enc.out.begin(), enc.out.begin() + (n == 0 ? 0 : enc.dlen));
        ASSERT_EQ(text.size(), static_cast<std::size_t>(textLength)) << n;
        EXPECT_EQ(reference_base64::decode(text), std::optional<Bytes>(src)) << "length " << n;

        if (n > 0) {
            const Result dec = decode(text, static_cast<int>(n) + 2);
            ASSERT_EQ(dec.status, 0) << n;
            EXPECT_EQ(dec.out, src) << "length " << n;
        }
    }
}

} // namespace
