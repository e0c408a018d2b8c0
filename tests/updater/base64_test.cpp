// Base64 decoding and encoding: RFC 4648's vectors both ways, bad lengths, padding, bytes
// outside the alphabet, and every length of a round trip.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "base64.h"

namespace {

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};

// The decoded bytes, or nullopt for a null result; checks the terminating 0 on the way.
std::optional<std::string> decode(const std::string& text) {
    size_t length = 12345;
    std::unique_ptr<unsigned char, FreeDeleter> out(
        base64_decode(text.data(), text.size(), &length));
    if (!out) return std::nullopt;
    EXPECT_EQ(out.get()[length], 0) << "no terminating 0 after " << length << " bytes";
    return std::string(reinterpret_cast<const char*>(out.get()), length);
}

std::string encode(const std::string& bytes) {
    size_t length = 12345;
    std::unique_ptr<char, FreeDeleter> out(
        base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length));
    EXPECT_TRUE(out);
    if (!out) return "";
    EXPECT_EQ(strlen(out.get()), length);
    return std::string(out.get(), length);
}

struct Vector {
    std::string bytes;
    std::string text;
};

const Vector RFC4648[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {std::string("\xFB\xFF\x00", 3), "+/8A"},
};

TEST(Base64, EncodesAndDecodesTheStandardVectors) {
    for (const Vector& v : RFC4648) {
        SCOPED_TRACE(v.text);
        EXPECT_EQ(encode(v.bytes), v.text);
        EXPECT_EQ(decode(v.text), v.bytes);
    }
}

TEST(Base64, RefusesLengthsThatAreNotAMultipleOfFour) {
    for (const char* text : {"A", "AB", "ABC", "ABCDE", "Zm9vYg=", "Zm9vYg==\n", "Zm9vYg==\r"})
        EXPECT_EQ(decode(text), std::nullopt) << text;
}

// The length counts the padding: an "=" only at the end or in the last two places.
TEST(Base64, PaddingShortensTheResult) {
    EXPECT_EQ(decode("QUJDRA==")->size(), 4u);
    EXPECT_EQ(decode("QUJDREU=")->size(), 5u);
    EXPECT_EQ(decode("====")->size(), 1u);
}

// A server may send any byte; bytes above 0x7F must not index outside the table, and
// characters outside the alphabet decode as zero bits rather than failing.
TEST(Base64, DecodesBytesOutsideTheAlphabetAsZeroBits) {
    EXPECT_EQ(decode("\xFF\x80\xC3\xA9"), std::string(3, '\0'));
    EXPECT_EQ(decode("QU*D"), decode("QUAD"));
    EXPECT_EQ(decode("Zm9v\x80\x81\x82\x83")->size(), 6u);
}

// The text before an empty one must not be looked at for padding.
TEST(Base64, DecodesAnEmptyTextToAnEmptyBuffer) {
    const char padding[] = "==";
    size_t length = 99;
    std::unique_ptr<unsigned char, FreeDeleter> out(base64_decode(padding + 2, 0, &length));
    ASSERT_TRUE(out);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(out.get()[0], 0);
}

TEST(Base64, RoundTripsEveryLength) {
    std::string bytes;
    for (int n = 0; n < 200; ++n) {
        EXPECT_EQ(decode(encode(bytes)), bytes) << n << " bytes";
        bytes += static_cast<char>(n * 37 + 11);
    }
}

} // namespace
