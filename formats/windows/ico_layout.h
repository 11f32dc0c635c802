// The Windows icon (".ico") layout that the reader and the writer share. All
// integers in the file are little-endian.
//
//   header     6 bytes: reserved 0, type 1, entry count
//   directory  16 bytes per entry, right after the header
//   entry data at the entry's absolute offset: a PNG file, or a 40-byte
//              bitmap information header, the palette (bit counts 1 to 8),
//              the pixel rows and the mask rows, both bottom row first and
//              padded to a multiple of 4 bytes
#pragma once

#include <cstdint>

// File header: offset, field.
inline constexpr std::uint32_t ICO_HEADER_SIZE = 6;
inline constexpr std::uint32_t ICO_HEADER_RESERVED = 0;
inline constexpr std::uint32_t ICO_HEADER_TYPE = 2;
inline constexpr std::uint32_t ICO_HEADER_COUNT = 4;
inline constexpr std::uint32_t ICO_TYPE_ICON = 1;
inline constexpr std::uint32_t ICO_MAX_ENTRIES = 65535;
// The first four bytes, 00 00 01 00 (reserved 0, type 1), as a big-endian word.
inline constexpr std::uint32_t ICO_MAGIC = ICO_TYPE_ICON << 8;
static_assert(ICO_MAGIC == 0x00000100);

// Directory entry: offset, field. A width or height byte of 0 means 256.
inline constexpr std::uint32_t ICO_ENTRY_SIZE = 16;
inline constexpr std::uint32_t ICO_ENTRY_WIDTH = 0;        // 1 byte
inline constexpr std::uint32_t ICO_ENTRY_HEIGHT = 1;       // 1 byte
inline constexpr std::uint32_t ICO_ENTRY_COLOURS = 2;      // 1 byte, 0 for 256 or more
inline constexpr std::uint32_t ICO_ENTRY_RESERVED = 3;     // 1 byte
inline constexpr std::uint32_t ICO_ENTRY_PLANES = 4;       // 2 bytes
inline constexpr std::uint32_t ICO_ENTRY_BIT_COUNT = 6;    // 2 bytes
inline constexpr std::uint32_t ICO_ENTRY_BYTES = 8;        // 4 bytes of entry data
inline constexpr std::uint32_t ICO_ENTRY_OFFSET = 12;      // 4 bytes, from the start of the file
// The largest side a width or height byte can give.
inline constexpr std::uint32_t ICO_MAX_SIDE = 256;

// Bitmap information header: offset, field. The height counts the pixel rows
// and the mask rows together: twice the image's height.
inline constexpr std::uint32_t ICO_BITMAP_HEADER_SIZE = 40;
inline constexpr std::uint32_t ICO_BITMAP_SIZE_FIELD = 0;      // 4 bytes, 40
inline constexpr std::uint32_t ICO_BITMAP_WIDTH = 4;           // 4 bytes, signed
inline constexpr std::uint32_t ICO_BITMAP_HEIGHT = 8;          // 4 bytes, signed
inline constexpr std::uint32_t ICO_BITMAP_PLANES = 12;         // 2 bytes, 1
inline constexpr std::uint32_t ICO_BITMAP_BIT_COUNT = 14;      // 2 bytes: 1, 4, 8, 24 or 32
inline constexpr std::uint32_t ICO_BITMAP_COMPRESSION = 16;    // 4 bytes, 0
inline constexpr std::uint32_t ICO_BITMAP_IMAGE_BYTES = 20;    // 4 bytes, pixel and mask rows
inline constexpr std::uint32_t ICO_BITMAP_X_RESOLUTION = 24;   // 4 bytes
inline constexpr std::uint32_t ICO_BITMAP_Y_RESOLUTION = 28;   // 4 bytes
inline constexpr std::uint32_t ICO_BITMAP_COLOURS_USED = 32;   // 4 bytes, palette length or 0
inline constexpr std::uint32_t ICO_BITMAP_COLOURS_IMPORTANT = 36;

// Palette entries: blue, green, red, one unused byte.
inline constexpr std::uint32_t ICO_PALETTE_ENTRY_SIZE = 4;

// An entry is a PNG file when its first four bytes, read little-endian, are
// the start of the PNG signature (89 50 4E 47), or when bytes 12 to 15 spell
// the header chunk's type "IHDR" (two little-endian 16-bit numbers).
inline constexpr std::uint32_t ICO_PNG_SIGNATURE_LE32 = 0x474E5089;
inline constexpr std::uint32_t ICO_PNG_IHDR_LOW_LE16 = 0x4849;   // "IH" at offset 12
inline constexpr std::uint32_t ICO_PNG_IHDR_HIGH_LE16 = 0x5244;  // "DR" at offset 14
// Width and height of a PNG, big-endian, after the signature (8 bytes) and
// the header chunk's length and type (8 bytes).
inline constexpr std::uint32_t ICO_PNG_WIDTH = 16;
inline constexpr std::uint32_t ICO_PNG_HEIGHT = 20;

// Bytes of one pixel or mask row: width x bit count bits, padded to 32 bits.
constexpr std::uint64_t IcoRowBytes(std::uint64_t width, std::uint64_t bitCount)
{
    return (width * bitCount + 31) / 32 * 4;
}
static_assert(IcoRowBytes(20, 1) == 4 && IcoRowBytes(32, 1) == 4 && IcoRowBytes(33, 1) == 8);
static_assert(IcoRowBytes(3, 24) == 12 && IcoRowBytes(5, 4) == 4 && IcoRowBytes(16, 32) == 64);
