// HostCompress/HostUncompress and HostCrc32.
#include "runtime/host_services.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes RandomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes bytes(size);
    // Runs of repeated bytes among noise, so deflate has something to find.
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = (i / 64) % 3 == 0 ? static_cast<std::uint8_t>(i / 64) : static_cast<std::uint8_t>(random());
    return bytes;
}

// A zlib stream written by hand: header 78 01, one final stored block
// (01, LEN 0005, NLEN FFFA), "hello", and the Adler-32 of "hello" big-endian.
const Bytes STORED_HELLO = {
    0x78, 0x01,                                // CMF, FLG (no dictionary, FCHECK)
    0x01, 0x05, 0x00, 0xFA, 0xFF,              // BFINAL=1 BTYPE=00, LEN, NLEN
    'h', 'e', 'l', 'l', 'o',                   //
    0x06, 0x2C, 0x02, 0x15,                    // Adler-32
};

}  // namespace

TEST(HostZlib, RoundTripsAndWritesAZlibHeader)
{
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{300000}}) {
        const Bytes original = RandomBytes(size, static_cast<unsigned>(size));
        Bytes packed(size + size / 1000 + 64);
        std::uint64_t packedLength = packed.size();
        ASSERT_EQ(TesselHostCompress(packed.data(), &packedLength, original.data(), original.size()), 0);
        ASSERT_GE(packedLength, 2u);
        ASSERT_LE(packedLength, packed.size());
        EXPECT_EQ(packed[0], 0x78);  // deflate, 32 KiB window
        EXPECT_EQ(packed[1], 0x9C);  // default level, FCHECK
        packed.resize(packedLength);

        Bytes unpacked(size + 10);  // more room than needed is fine
        std::uint64_t unpackedLength = unpacked.size();
        ASSERT_EQ(TesselHostUncompress(unpacked.data(), &unpackedLength, packed.data(), packed.size()), 0);
        EXPECT_EQ(unpackedLength, size);
        unpacked.resize(unpackedLength);
        EXPECT_EQ(unpacked, original);
    }
}

TEST(HostZlib, DecodesAHandWrittenStream)
{
    Bytes out(16, 0xEE);
    std::uint64_t outLength = out.size();
    ASSERT_EQ(TesselHostUncompress(out.data(), &outLength, STORED_HELLO.data(), STORED_HELLO.size()), 0);
    ASSERT_EQ(outLength, 5u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 5), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(out[5], 0xEE);  // nothing written past the data
}

// A copy of the bytes with the lowest bit of byte i flipped.
Bytes Flipped(Bytes bytes, std::size_t i)
{
    if (i < bytes.size())
        bytes[i] = static_cast<std::uint8_t>(bytes[i] ^ 1);
    return bytes;
}

TEST(HostZlib, RefusesBadStreamsAndShortBuffers)
{
    struct Case {
        const char* what;
        Bytes stream;
        std::uint64_t room;
    };
    Bytes badChecksum = Flipped(STORED_HELLO, STORED_HELLO.size() - 1);
    Bytes badHeader = Flipped(STORED_HELLO, 1);  // FCHECK no longer makes CMF*256+FLG a multiple of 31
    Bytes badLength = Flipped(STORED_HELLO, 5);  // NLEN is not the complement of LEN
    const Case cases[] = {
        {"truncated in the data", Bytes(STORED_HELLO.begin(), STORED_HELLO.begin() + 9), 16},
        {"truncated before the checksum", Bytes(STORED_HELLO.begin(), STORED_HELLO.end() - 1), 16},
        {"bad checksum", badChecksum, 16},
        {"bad header", badHeader, 16},
        {"bad stored length", badLength, 16},
        {"empty", Bytes{}, 16},
        {"output does not fit", STORED_HELLO, 4},
        {"no room at all", STORED_HELLO, 0},
    };
    for (const Case& c : cases) {
        Bytes out(16);
        std::uint64_t outLength = c.room;
        EXPECT_NE(TesselHostUncompress(out.data(), &outLength, c.stream.data(), c.stream.size()), 0) << c.what;
    }

    const Bytes original = RandomBytes(5000, 1);
    Bytes tooSmall(10);
    std::uint64_t tooSmallLength = tooSmall.size();
    EXPECT_NE(TesselHostCompress(tooSmall.data(), &tooSmallLength, original.data(), original.size()), 0);

    std::uint64_t length = 16;
    EXPECT_NE(TesselHostCompress(nullptr, &length, original.data(), original.size()), 0);
    EXPECT_NE(TesselHostUncompress(nullptr, &length, STORED_HELLO.data(), STORED_HELLO.size()), 0);
    EXPECT_NE(TesselHostUncompress(tooSmall.data(), nullptr, STORED_HELLO.data(), STORED_HELLO.size()), 0);
}

TEST(HostChecksum, MatchesTheStandardCheckValues)
{
    const char check[] = "123456789";
    EXPECT_EQ(TesselHostCrc32(check, 9), 0xCBF43926u);
    const char iend[] = "IEND";
    EXPECT_EQ(TesselHostCrc32(iend, 4), 0xAE426082u);  // the CRC closing every PNG
    EXPECT_EQ(TesselHostCrc32(iend, 0), 0u);
    EXPECT_EQ(TesselHostCrc32(nullptr, 0), 0u);
}
