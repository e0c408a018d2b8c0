// The serial frame's codec and checksum.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "cobs.h"
#include "crc8.h"

using Bytes = std::vector<uint8_t>;

namespace {

Bytes encode(const Bytes& in) {
    Bytes out(in.size() + 2 + in.size() / 254);
    out.resize(cobs_encode(in.data(), in.size(), out.data()));
    return out;
}

Bytes decode(const Bytes& in) {
    Bytes out(in.size() + 1);
    out.resize(cobs_decode(in.data(), in.size(), out.data()));
    return out;
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

} // namespace

TEST(Crc8, MatchesTheMaximCheckValuesAndFrameExamples) {
    struct Case {
        Bytes data;
        uint8_t crc;
    } cases[] = {
        {bytesOf("123456789"), 0xA1}, {bytesOf("abc"), 0x42},           {{}, 0x00},
        {{0x02, 0x00}, 0x91},         {{0x02, 0x02, 0x00, 0x05}, 0x77}, {{0xAD, 0x00}, 0x67},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(crc8_create(c.data.data(), c.data.size()), c.crc)
            << testing::PrintToString(c.data);
        EXPECT_TRUE(crc8_check(c.data.data(), c.data.size(), c.crc));
        EXPECT_FALSE(crc8_check(c.data.data(), c.data.size(), static_cast<uint8_t>(c.crc ^ 0x01)));
    }
}

TEST(Cobs, EncodesAndDecodesTheReferenceForm) {
    Bytes run254(254);
    for (size_t i = 0; i < run254.size(); i++)
        run254[i] = static_cast<uint8_t>(1 + i % 255);
    Bytes run254Encoded = {0xFF};
    run254Encoded.insert(run254Encoded.end(), run254.begin(), run254.end());
    run254Encoded.push_back(0x01);

    struct Case {
        const char* name;
        Bytes plain;
        Bytes encoded;
    } cases[] = {
        {"mixed", {0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
        {"one zero", {0x00}, {0x01, 0x01}},
        {"empty", {}, {0x01}},
        {"zeros", {0x00, 0x00, 0x00}, {0x01, 0x01, 0x01, 0x01}},
        {"frame content", {0x02, 0x02, 0x00, 0x05, 0x77}, {0x03, 0x02, 0x02, 0x03, 0x05, 0x77}},
        {"254-byte run", run254, run254Encoded},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(encode(c.plain), c.encoded);
        EXPECT_EQ(decode(c.encoded), c.plain);
        for (uint8_t byte : c.encoded)
            EXPECT_NE(byte, 0);
    }
}

TEST(Cobs, RefusesBrokenEncodings) {
    struct Case {
        const char* name;
        Bytes encoded;
    } cases[] = {
        {"block past the end", {0x05, 0x11, 0x22}},
        {"zero code byte", {0x00, 0x11}},
        {"zero code after a block", {0x02, 0x11, 0x00}},
    };
    for (const auto& c : cases) {
        Bytes out(16, 0xEE);
        EXPECT_EQ(cobs_decode(c.encoded.data(), c.encoded.size(), out.data()), 0u) << c.name;
    }
}

TEST(Cobs, InPlaceMatchesTheCopyingEncoderForEveryFrameLength) {
    std::mt19937 random(7);
    for (size_t length = 0; length <= 600; length++) {
        for (int zeroEvery : {2, 5, 50, 250}) {
            Bytes plain(length);
            for (auto& byte : plain)
                byte = random() % static_cast<unsigned>(zeroEvery) == 0
                           ? 0
                           : static_cast<uint8_t>(1 + random() % 255);
            // Runs of 254 and more may be refused in place; everything else must not be.
            size_t run = 0, longest = 0;
            for (uint8_t byte : plain)
                longest = std::max(longest, run = byte ? run + 1 : 0);
            Bytes buffer = plain;
            buffer.resize(length + 2 + length / 254);
            uint64_t encoded = cobs_encode_inplace(buffer.data(), length);
            if (longest >= 254 && encoded == 0) continue;
            ASSERT_NE(encoded, 0u) << length;
            buffer.resize(encoded);
            ASSERT_EQ(buffer, encode(plain)) << "length " << length;
            ASSERT_EQ(cobs_decode_inplace(buffer.data(), buffer.size()), length);
            buffer.resize(length);
            EXPECT_EQ(buffer, plain);
        }
    }
}

TEST(Cobs, RoundTripsEveryPacketLengthWithZeroRichData) {
    for (size_t length = 0; length <= 31; length++) {
        for (int fill : {0x00, 0x01, 0xFF}) {
            Bytes plain(length, static_cast<uint8_t>(fill));
            for (size_t i = 0; i < length; i += 3)
                plain[i] = 0;
            Bytes buffer = plain;
            buffer.resize(length + 2);
            uint64_t n = cobs_encode_inplace(buffer.data(), length);
            ASSERT_EQ(n, length + 1) << "no 254-byte run: one byte of overhead";
            buffer.resize(n);
            EXPECT_EQ(decode(buffer), plain);
        }
    }
}
