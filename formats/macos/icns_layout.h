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
//         image plus mask, a complete PNG or JPEG 2000 file, "ARGB" and
//         run-length channels, or a nested family
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
// image's width and height in pixels, the depth as the data stores it,
// whether the entry is a mask, its generation, and the depth of the image the
// writer makes the entry from (0: the writer leaves the type out: 4-bit and
// 1-bit image entries, the 12-row entries, the later generations, and
// compressed-image entries of the sides a run-length entry covers).
//
// Generations order the 32-bit images of one pixel size: the classic entries
// (run-length, PNG or JPEG 2000), the later single-density ones, then the
// double-density ones, which hold the picture of the size half theirs at
// twice the pixels. A family gives one 32-bit image of each size and state:
// the first classic entry of that size, else the earliest later one.
struct IcnsTypeRow {
    std::uint32_t type;
    std::int32_t width;
    std::int32_t height;
    std::int32_t depth;
    int mask;
    int generation;
    std::int32_t writtenFrom;
};

inline constexpr int ICNS_CLASSIC = 0;
inline constexpr int ICNS_LATER = 1;
inline constexpr int ICNS_DOUBLE_DENSITY = 2;

inline constexpr int ICNS_TYPE_COUNT = 38;

// The writer walks the rows in this order.
// type, width, height, depth as stored, mask, generation, written from images of depth
inline constexpr IcnsTypeRow IcnsTypeTable[ICNS_TYPE_COUNT] = {
    {FourCc('i', 'c', 's', '#'), 16, 16, 1, 1, ICNS_CLASSIC, 8},
    {FourCc('i', 'c', 's', '4'), 16, 16, 4, 0, ICNS_CLASSIC, 0},
    {FourCc('i', 'c', 's', '8'), 16, 16, 8, 0, ICNS_CLASSIC, 8},
    {FourCc('i', 's', '3', '2'), 16, 16, 24, 0, ICNS_CLASSIC, 32},
    {FourCc('i', 'c', 'p', '4'), 16, 16, 32, 0, ICNS_CLASSIC, 0},
    {FourCc('s', '8', 'm', 'k'), 16, 16, 8, 1, ICNS_CLASSIC, 32},
    {FourCc('I', 'C', 'N', '#'), 32, 32, 1, 1, ICNS_CLASSIC, 8},
    {FourCc('i', 'c', 'l', '4'), 32, 32, 4, 0, ICNS_CLASSIC, 0},
    {FourCc('i', 'c', 'l', '8'), 32, 32, 8, 0, ICNS_CLASSIC, 8},
    {FourCc('i', 'l', '3', '2'), 32, 32, 24, 0, ICNS_CLASSIC, 32},
    {FourCc('i', 'c', 'p', '5'), 32, 32, 32, 0, ICNS_CLASSIC, 0},
    {FourCc('l', '8', 'm', 'k'), 32, 32, 8, 1, ICNS_CLASSIC, 32},
    {FourCc('i', 'c', 'h', '#'), 48, 48, 1, 1, ICNS_CLASSIC, 8},
    {FourCc('i', 'c', 'h', '4'), 48, 48, 4, 0, ICNS_CLASSIC, 0},
    {FourCc('i', 'c', 'h', '8'), 48, 48, 8, 0, ICNS_CLASSIC, 8},
    {FourCc('i', 'h', '3', '2'), 48, 48, 24, 0, ICNS_CLASSIC, 32},
    {FourCc('h', '8', 'm', 'k'), 48, 48, 8, 1, ICNS_CLASSIC, 32},
    {FourCc('i', 'c', 'p', '6'), 64, 64, 32, 0, ICNS_CLASSIC, 32},
    {FourCc('i', 't', '3', '2'), 128, 128, 24, 0, ICNS_CLASSIC, 32},
    {FourCc('i', 'c', '0', '7'), 128, 128, 32, 0, ICNS_CLASSIC, 0},
    {FourCc('t', '8', 'm', 'k'), 128, 128, 8, 1, ICNS_CLASSIC, 32},
    {FourCc('i', 'c', '0', '8'), 256, 256, 32, 0, ICNS_CLASSIC, 32},
    {FourCc('i', 'c', '0', '9'), 512, 512, 32, 0, ICNS_CLASSIC, 32},
    {FourCc('i', 'c', '1', '0'), 1024, 1024, 32, 0, ICNS_CLASSIC, 32},
    // Read only: the 1-bit icon without a mask, the 16 x 12 images and their
    // mask, and the later 32-bit types.
    {FourCc('I', 'C', 'O', 'N'), 32, 32, 1, 0, ICNS_CLASSIC, 0},
    {FourCc('i', 'c', 'm', '#'), 16, 12, 1, 1, ICNS_CLASSIC, 0},
    {FourCc('i', 'c', 'm', '4'), 16, 12, 4, 0, ICNS_CLASSIC, 0},
    {FourCc('i', 'c', 'm', '8'), 16, 12, 8, 0, ICNS_CLASSIC, 0},
    {FourCc('i', 'c', '0', '4'), 16, 16, 32, 0, ICNS_LATER, 0},
    {FourCc('i', 'c', 's', 'b'), 18, 18, 32, 0, ICNS_LATER, 0},
    {FourCc('s', 'b', '2', '4'), 24, 24, 32, 0, ICNS_LATER, 0},
    {FourCc('i', 'c', '0', '5'), 32, 32, 32, 0, ICNS_LATER, 0},
    {FourCc('i', 'c', '1', '1'), 32, 32, 32, 0, ICNS_DOUBLE_DENSITY, 0},
    {FourCc('i', 'c', 's', 'B'), 36, 36, 32, 0, ICNS_DOUBLE_DENSITY, 0},
    {FourCc('S', 'B', '2', '4'), 48, 48, 32, 0, ICNS_DOUBLE_DENSITY, 0},
    {FourCc('i', 'c', '1', '2'), 64, 64, 32, 0, ICNS_DOUBLE_DENSITY, 0},
    {FourCc('i', 'c', '1', '3'), 256, 256, 32, 0, ICNS_DOUBLE_DENSITY, 0},
    {FourCc('i', 'c', '1', '4'), 512, 512, 32, 0, ICNS_DOUBLE_DENSITY, 0},
};

// The last row filled: a missing row would leave a zero row at the end.
static_assert(IcnsTypeTable[ICNS_TYPE_COUNT - 1].type == FourCc('i', 'c', '1', '4'));

// Entries that hold no image of their own: a nested family of selected
// images, which the reader walks as it walks the outer one.
inline constexpr std::uint32_t ICNS_SELECTED_FAMILY = FourCc('s', 'l', 'c', 't');

// A compressed-image entry may instead hold "ARGB" and four run-length
// channels: alpha, red, green, blue.
inline constexpr std::uint32_t ICNS_ARGB_MAGIC = FourCc('A', 'R', 'G', 'B');

// Channels of a run-length entry, and of one after "ARGB".
inline constexpr int ICNS_RGB_CHANNELS = 3;
inline constexpr int ICNS_ARGB_CHANNELS = 4;

// Whether the writer makes an entry from a square image of this side and
// depth (of any depth when depth is 0).
constexpr bool IcnsWritesImage(std::int32_t side, std::int32_t depth)
{
    for (const IcnsTypeRow& row : IcnsTypeTable)
        if (row.width == side && row.writtenFrom != 0 && (depth == 0 || row.writtenFrom == depth))
            return true;
    return false;
}

// The largest side of an image the writer makes an entry from.
constexpr std::int32_t IcnsLargestWrittenSide()
{
    std::int32_t largest = 0;
    for (const IcnsTypeRow& row : IcnsTypeTable)
        largest = std::max(largest, row.writtenFrom != 0 ? row.width : 0);
    return largest;
}
static_assert(IcnsLargestWrittenSide() == 1024);
