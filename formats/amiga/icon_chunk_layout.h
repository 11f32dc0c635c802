// The icon FORM layout that its reader and writer share. Every number is
// big-endian; every chunk is an id, a 32-bit length L counting the data only,
// the data, and a pad byte when L is odd.
//
//   0  4  "FORM"
//   4  4  length of what follows, pads included
//   8  4  "ICON"
//  12  .  chunks: "FACE" (the size), then "IMAG" palette images and "ARGB"
//         true-colour images
#pragma once

#include "io/byte_io.h"

#include <cstdint>

inline constexpr std::uint32_t ICON_CHUNK_FORM = FourCc('F', 'O', 'R', 'M');
inline constexpr std::uint32_t ICON_FORM_TYPE = FourCc('I', 'C', 'O', 'N');
inline constexpr std::uint32_t ICON_CHUNK_FACE = FourCc('F', 'A', 'C', 'E');
inline constexpr std::uint32_t ICON_CHUNK_IMAG = FourCc('I', 'M', 'A', 'G');
inline constexpr std::uint32_t ICON_CHUNK_ARGB = FourCc('A', 'R', 'G', 'B');
static_assert(ICON_CHUNK_FORM == 0x464F524D && ICON_CHUNK_FACE == 0x46414345 && ICON_CHUNK_ARGB == 0x41524742);

inline constexpr std::uint32_t ICON_CHUNK_HEADER_SIZE = 8;
inline constexpr std::uint32_t ICON_CHUNK_LENGTH = 4;           // offset of L, after the id
inline constexpr std::uint32_t ICON_FORM_HEADER_SIZE = 12;      // "FORM", its length, "ICON"

// "FACE" data: offset, field.
inline constexpr std::uint32_t ICON_FACE_SIZE = 6;
inline constexpr std::uint32_t ICON_FACE_WIDTH = 0;             // 1 byte, width - 1
inline constexpr std::uint32_t ICON_FACE_HEIGHT = 1;            // 1 byte, height - 1
inline constexpr std::uint32_t ICON_FACE_FLAGS = 2;             // 1 byte
inline constexpr std::uint32_t ICON_FACE_ASPECT = 3;            // 1 byte
inline constexpr std::uint32_t ICON_FACE_PALETTE_SIZE = 4;      // 2 bytes, largest palette byte count - 1
// A side minus 1 fits the byte.
inline constexpr std::int32_t ICON_FACE_MAX_SIDE = 256;

// "IMAG" data: offset, field; the image bytes follow the header, then the
// palette bytes when flag ICON_IMAG_FLAG_PALETTE is set.
inline constexpr std::uint32_t ICON_IMAG_HEADER_SIZE = 10;
inline constexpr std::uint32_t ICON_IMAG_PEN = 0;               // 1 byte, the transparent pen
inline constexpr std::uint32_t ICON_IMAG_COLOURS = 1;           // 1 byte, palette colours - 1
inline constexpr std::uint32_t ICON_IMAG_FLAGS = 2;             // 1 byte
inline constexpr std::uint32_t ICON_IMAG_IMAGE_FORMAT = 3;      // 1 byte: 0 raw, else bit-packed run-length
inline constexpr std::uint32_t ICON_IMAG_PALETTE_FORMAT = 4;    // 1 byte: 0 raw (red, green, blue), else packed
inline constexpr std::uint32_t ICON_IMAG_DEPTH = 5;             // 1 byte, 1 to 8
inline constexpr std::uint32_t ICON_IMAG_IMAGE_BYTES = 6;       // 2 bytes, image byte count - 1
inline constexpr std::uint32_t ICON_IMAG_PALETTE_BYTES = 8;     // 2 bytes, palette byte count - 1
// IMAG flags: the pen applies; a palette follows the image bytes.
inline constexpr std::uint8_t ICON_IMAG_FLAG_PEN = 1;
inline constexpr std::uint8_t ICON_IMAG_FLAG_PALETTE = 2;
inline constexpr int ICON_IMAG_MAX_DEPTH = 8;

// "ARGB" data: offset, field; a zlib stream of width x height pixels, bytes
// alpha, red, green, blue, follows the header.
inline constexpr std::uint32_t ICON_ARGB_HEADER_SIZE = 10;
inline constexpr std::uint32_t ICON_ARGB_HEADER_WORD = 0;       // 4 bytes
inline constexpr std::uint32_t ICON_ARGB_STREAM_BYTES = 4;      // 4 bytes, compressed byte count - 1
inline constexpr std::uint32_t ICON_ARGB_RESERVED = 8;          // 2 bytes
inline constexpr std::int32_t ICON_ARGB_DEPTH = 32;
