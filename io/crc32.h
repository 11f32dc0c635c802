// CRC-32 as zlib and PNG compute it: reflected, polynomial 0xEDB88320, start
// and final XOR 0xFFFFFFFF. Everything is constexpr, so a FormatId is a
// constant and code that does not link the module can use the same CRC.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t CRC32_POLYNOMIAL = 0xEDB88320;

struct Crc32Words {
    std::uint32_t entries[256];
};

// Entry n is n put through eight rounds of: shift right by one bit, and when
// the bit shifted out was 1, XOR with the polynomial.
constexpr Crc32Words BuildCrc32Table()
{
    Crc32Words table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int round = 0; round < 8; ++round)
            c = (c & 1) ? (c >> 1) ^ CRC32_POLYNOMIAL : c >> 1;
        table.entries[n] = c;
    }
    return table;
}

inline constexpr Crc32Words Crc32Table = BuildCrc32Table();

// Carries a CRC over n more bytes: start from Crc32Update(0, ...) and feed
// the pieces in order; the result of the last call is the CRC of them all.
template <typename Byte>
constexpr std::uint32_t Crc32Update(std::uint32_t crc, const Byte* bytes, std::size_t n)
{
    static_assert(sizeof(Byte) == 1, "bytes only");
    crc = ~crc;
    for (std::size_t i = 0; i < n; ++i)
        crc = (crc >> 8) ^ Crc32Table.entries[(crc ^ static_cast<std::uint8_t>(bytes[i])) & 0xFF];
    return ~crc;
}

template <typename Byte>
constexpr std::uint32_t Crc32(const Byte* bytes, std::size_t n)
{
    return Crc32Update(0, bytes, n);
}

static_assert(Crc32("123456789", 9) == 0xCBF43926);
static_assert(Crc32("IEND", 4) == 0xAE426082);
static_assert(Crc32Update(Crc32("1234", 4), "56789", 5) == 0xCBF43926);
