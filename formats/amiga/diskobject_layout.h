// The DiskObject layout that the reader and the writer share. All integers
// are big-endian.
//
//   header          78 bytes, at the start of the file
//   drawer data     56 bytes, when the header's drawer-data flag is set
//   images          one, or two when the second-image flag is set: a 20-byte
//                   image header, then depth planes of height rows, each row
//                   whole 16-bit words, bit 7 of a byte the leftmost pixel
//   default tool    a text, when its flag is set
//   tooltypes       when their flag is set: a word 4 x (entries + 1), then
//                   the texts (the NewIcons lines among them)
//   tool window     a text, when its flag is set
//   drawer data 2   6 bytes, for newer icons (user data not 0) that have
//                   drawer data
//   then, optionally, a "FORM" "ICON" (icon_chunk_layout.h)
// A text is a 32-bit length counting its NUL, then the text and the NUL.
#pragma once

#include <cstdint>

// Magic E310 and version 1: the file's first four bytes.
inline constexpr std::uint32_t DISKOBJECT_MAGIC = 0xE3100001;

// Header: offset, field.
inline constexpr std::uint32_t DISKOBJECT_HEADER_SIZE = 78;
inline constexpr std::uint32_t DISKOBJECT_MAGIC_WORD = 0;           // 4 bytes, DISKOBJECT_MAGIC
inline constexpr std::uint32_t DISKOBJECT_NEXT_GADGET = 4;          // 4 bytes
inline constexpr std::uint32_t DISKOBJECT_GADGET_LEFT = 8;          // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_GADGET_TOP = 10;          // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_GADGET_WIDTH = 12;        // 2 bytes: the images' width
inline constexpr std::uint32_t DISKOBJECT_GADGET_HEIGHT = 14;       // 2 bytes: the images' height
inline constexpr std::uint32_t DISKOBJECT_GADGET_FLAGS = 16;        // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_ACTIVATION = 18;          // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_GADGET_TYPE = 20;         // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_IMAGE_FLAG = 22;          // 4 bytes
inline constexpr std::uint32_t DISKOBJECT_SECOND_IMAGE_FLAG = 26;   // 4 bytes: a selected image follows
inline constexpr std::uint32_t DISKOBJECT_GADGET_TEXT = 30;         // 12 bytes: text, exclusion, special info
inline constexpr std::uint32_t DISKOBJECT_GADGET_ID = 42;           // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_USER_DATA = 44;           // 4 bytes, 0 only for old-style icons
inline constexpr std::uint32_t DISKOBJECT_TYPE = 48;                // 1 byte, then a pad byte
inline constexpr std::uint32_t DISKOBJECT_DEFAULT_TOOL_FLAG = 50;   // 4 bytes
inline constexpr std::uint32_t DISKOBJECT_TOOL_TYPES_FLAG = 54;     // 4 bytes
inline constexpr std::uint32_t DISKOBJECT_X = 58;                   // 4 bytes, signed
inline constexpr std::uint32_t DISKOBJECT_Y = 62;                   // 4 bytes, signed
inline constexpr std::uint32_t DISKOBJECT_DRAWER_DATA_FLAG = 66;    // 4 bytes
inline constexpr std::uint32_t DISKOBJECT_TOOL_WINDOW_FLAG = 70;    // 4 bytes
inline constexpr std::uint32_t DISKOBJECT_STACK_SIZE = 74;          // 4 bytes

// Drawer data: the window a drawer opens in. Offset, field.
inline constexpr std::uint32_t DISKOBJECT_DRAWER_DATA_SIZE = 56;
inline constexpr std::uint32_t DISKOBJECT_DRAWER_LEFT = 0;          // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_DRAWER_TOP = 2;           // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_DRAWER_WIDTH = 4;         // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_DRAWER_HEIGHT = 6;        // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_DRAWER_DETAIL_PEN = 8;    // 1 byte
inline constexpr std::uint32_t DISKOBJECT_DRAWER_BLOCK_PEN = 9;     // 1 byte
inline constexpr std::uint32_t DISKOBJECT_DRAWER_EVENT_FLAGS = 10;  // 4 bytes
inline constexpr std::uint32_t DISKOBJECT_DRAWER_WINDOW_FLAGS = 14; // 4 bytes
inline constexpr std::uint32_t DISKOBJECT_DRAWER_LINKS = 18;        // 20 bytes
inline constexpr std::uint32_t DISKOBJECT_DRAWER_MIN_WIDTH = 38;    // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_DRAWER_MIN_HEIGHT = 40;   // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_DRAWER_MAX_WIDTH = 42;    // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_DRAWER_MAX_HEIGHT = 44;   // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_DRAWER_SCREEN_TYPE = 46;  // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_DRAWER_SCROLL = 48;       // 8 bytes

// Image header: offset, field.
inline constexpr std::uint32_t DISKOBJECT_IMAGE_HEADER_SIZE = 20;
inline constexpr std::uint32_t DISKOBJECT_IMAGE_LEFT = 0;           // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_IMAGE_TOP = 2;            // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_IMAGE_WIDTH = 4;          // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_IMAGE_HEIGHT = 6;         // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_IMAGE_DEPTH = 8;          // 2 bytes: the number of planes
inline constexpr std::uint32_t DISKOBJECT_IMAGE_DATA = 10;          // 4 bytes, flag: planes follow
inline constexpr std::uint32_t DISKOBJECT_IMAGE_PLANE_PICK = 14;    // 1 byte
inline constexpr std::uint32_t DISKOBJECT_IMAGE_PLANE_ON_OFF = 15;  // 1 byte
inline constexpr std::uint32_t DISKOBJECT_IMAGE_NEXT = 16;          // 4 bytes

// A text's length field, which counts the NUL.
inline constexpr std::uint32_t DISKOBJECT_TEXT_LENGTH_SIZE = 4;
// The tooltypes' count word: this many bytes for each tooltype and one more.
inline constexpr std::uint32_t DISKOBJECT_TOOL_TYPE_SLOT = 4;

// A pixel is one byte and a palette 256 colours: no room for a ninth plane.
inline constexpr std::uint32_t DISKOBJECT_MAX_DEPTH = 8;

// Second drawer data: offset, field.
inline constexpr std::uint32_t DISKOBJECT_DRAWER_DATA2_SIZE = 6;
inline constexpr std::uint32_t DISKOBJECT_DRAWER2_FLAGS = 0;        // 4 bytes
inline constexpr std::uint32_t DISKOBJECT_DRAWER2_VIEW_MODE = 4;    // 2 bytes
inline constexpr std::uint32_t DISKOBJECT_DRAWER2_SHOW_ALL = 2;     // flag bit: show all files

// Bytes of one plane row: the width in whole 16-bit words.
constexpr std::uint64_t DiskObjectRowBytes(std::uint64_t width)
{
    return ((width + 15) >> 3) & ~std::uint64_t{1};
}
static_assert(DiskObjectRowBytes(1) == 2 && DiskObjectRowBytes(16) == 2 && DiskObjectRowBytes(17) == 4);
