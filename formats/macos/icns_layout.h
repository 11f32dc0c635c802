// The macOS icon family (".icns") layout that the reader and the writer
// share. All integers are big-endian.
//
//   0  4  magic "icns"
//   4  4  length of the whole file
//   8  -  entries, back to back
// Entry:
//   0  4  type code (a row of IcnsTypeTable)
//   4  4  length of the entry, these 8 bytes included
//   8  -  data: palette indices, run-length RGB, an alpha plane, a 1-bit
//         image plus mask, or a complete PNG or JPEG 2000 file
#pragma once

#include "io/byte_io.h"

#include <algorithm>
#include <cstdint>

inline constexpr std::uint32_t ICNS_MAGIC = FourCc('i', 'c', 'n', 's');
static_assert(ICNS_MAGIC == 0x69636E73);

inline constexpr std::uint32_t ICNS_HEADER_SIZE = 8;
inline constexpr std::uint32_t ICNS_FILE_LENGTH = 4;        // offset of the file's length
inline constexpr std::uint32_t ICNS_ENTRY_HEADER_SIZE = 8;
inline constexpr std::uint32_t ICNS_ENTRY_LENGTH = 4;       // offset of the entry's length

// Run-length channels: control 0x00..0x7F carries control + 1 literal values,
// 0x80..0xFF repeats the next value control - 0x7D times. The data of the
// largest entry ("it32") opens with four zero bytes.
inline constexpr std::uint32_t ICNS_RLE_FIRST_REPEAT = 0x80;
inline constexpr std::uint32_t ICNS_RLE_REPEAT_BIAS = 0x7D;
inline constexpr std::uint32_t ICNS_RLE_ZERO_PREFIX = 4;

// One row of the entry type table: the type code as a big-endian word, the
// side in pixels, the depth as the data stores it, whether the entry is a
// mask, and the depth of the image the writer makes the entry from (0: the
// writer leaves the type out: 4-bit entries, and compressed-image entries of
// the sides a run-length entry covers).
struct IcnsTypeRow {
    std::uint32_t type;
    std::int32_t side;
    std::int32_t depth;
    int mask;
    std::int32_t writtenFrom;
};

inline constexpr int ICNS_TYPE_COUNT = 24;

// The writer walks the rows in this order.
// type, side, depth as stored, mask, written from images of depth
inline constexpr IcnsTypeRow IcnsTypeTable[ICNS_TYPE_COUNT] = {
    {FourCc('i', 'c', 's', '#'), 16, 1, 1, 8},
    {FourCc('i', 'c', 's', '4'), 16, 4, 0, 0},
    {FourCc('i', 'c', 's', '8'), 16, 8, 0, 8},
    {FourCc('i', 's', '3', '2'), 16, 24, 0, 32},
    {FourCc('i', 'c', 'p', '4'), 16, 32, 0, 0},
    {FourCc('s', '8', 'm', 'k'), 16, 8, 1, 32},
    {FourCc('I', 'C', 'N', '#'), 32, 1, 1, 8},
    {FourCc('i', 'c', 'l', '4'), 32, 4, 0, 0},
    {FourCc('i', 'c', 'l', '8'), 32, 8, 0, 8},
    {FourCc('i', 'l', '3', '2'), 32, 24, 0, 32},
    {FourCc('i', 'c', 'p', '5'), 32, 32, 0, 0},
    {FourCc('l', '8', 'm', 'k'), 32, 8, 1, 32},
    {FourCc('i', 'c', 'h', '#'), 48, 1, 1, 8},
    {FourCc('i', 'c', 'h', '4'), 48, 4, 0, 0},
    {FourCc('i', 'c', 'h', '8'), 48, 8, 0, 8},
    {FourCc('i', 'h', '3', '2'), 48, 24, 0, 32},
    {FourCc('h', '8', 'm', 'k'), 48, 8, 1, 32},
    {FourCc('i', 'c', 'p', '6'), 64, 32, 0, 32},
    {FourCc('i', 't', '3', '2'), 128, 24, 0, 32},
    {FourCc('i', 'c', '0', '7'), 128, 32, 0, 0},
    {FourCc('t', '8', 'm', 'k'), 128, 8, 1, 32},
    {FourCc('i', 'c', '0', '8'), 256, 32, 0, 32},
    {FourCc('i', 'c', '0', '9'), 512, 32, 0, 32},
    {FourCc('i', 'c', '1', '0'), 1024, 32, 0, 32},
};

// The last row filled: a missing row would leave a zero row at the end.
static_assert(IcnsTypeTable[ICNS_TYPE_COUNT - 1].type == FourCc('i', 'c', '1', '0'));

// Whether some entry type names this side.
constexpr bool IcnsNamesSide(std::int32_t side)
{
    for (const IcnsTypeRow& row : IcnsTypeTable)
        if (row.side == side)
            return true;
    return false;
}

// Whether the writer makes an entry from a square image of this side and
// depth.
constexpr bool IcnsWritesImage(std::int32_t side, std::int32_t depth)
{
    for (const IcnsTypeRow& row : IcnsTypeTable)
        if (row.side == side && row.writtenFrom != 0 && row.writtenFrom == depth)
            return true;
    return false;
}

// The largest side of an image the writer makes an entry from.
constexpr std::int32_t IcnsLargestWrittenSide()
{
    std::int32_t largest = 0;
    for (const IcnsTypeRow& row : IcnsTypeTable)
        largest = std::max(largest, row.writtenFrom != 0 ? row.side : 0);
    return largest;
}
static_assert(IcnsLargestWrittenSide() == 1024);
