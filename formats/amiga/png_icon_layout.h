// The PNG icon layout that its reader and writer share: an ordinary PNG
// picture whose "icOn" chunk, the last one before "IEND", carries the icon's
// attributes. Numbers are big-endian.
//
// Every PNG chunk:
//   0      4  data length L
//   4      4  type
//   8      L  data
//   8 + L  4  CRC-32 of type and data
//
// "icOn" data: items one after the other, no padding.
//   value item   4  tag, 4  value
//   string item  4  tag, the text's bytes, a zero byte
#pragma once

#include "io/byte_io.h"
#include "io/crc32.h"

#include <cstdint>

// The first four of the eight signature bytes, as a big-endian word.
inline constexpr std::uint32_t PNG_ICON_MAGIC = 0x89504E47;
inline constexpr std::uint8_t PngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
static_assert(LoadBE32(PngSignature) == PNG_ICON_MAGIC);

inline constexpr std::uint32_t PNG_CHUNK_ICON = FourCc('i', 'c', 'O', 'n');
inline constexpr std::uint32_t PNG_CHUNK_IEND = FourCc('I', 'E', 'N', 'D');
static_assert(PNG_CHUNK_ICON == 0x69634F6E);
static_assert(PNG_CHUNK_IEND == 0x49454E44);

// The PNG signature, the IHDR chunk (8 + 13 data + 4 CRC) and IEND: nothing
// shorter can be a whole PNG.
inline constexpr std::uint64_t PNG_SIGNATURE_SIZE = sizeof PngSignature;
inline constexpr std::uint64_t PNG_IHDR_CHUNK_SIZE = 25;
inline constexpr std::uint64_t PNG_IEND_CHUNK_SIZE = 12;
inline constexpr std::uint64_t PNG_MIN_FILE_SIZE = PNG_SIGNATURE_SIZE + PNG_IHDR_CHUNK_SIZE + PNG_IEND_CHUNK_SIZE;
inline constexpr std::uint64_t PNG_CHUNK_HEADER_SIZE = 8;
inline constexpr std::uint64_t PNG_CRC_SIZE = 4;
// An item's tag, and a value item's value.
inline constexpr std::uint32_t PNG_ITEM_WORD_SIZE = 4;

// Length 0, "IEND", and the CRC-32 of "IEND".
inline constexpr std::uint8_t PngIendChunk[PNG_IEND_CHUNK_SIZE] = {
    0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82,
};
static_assert(LoadBE32(PngIendChunk + 4) == PNG_CHUNK_IEND && LoadBE32(PngIendChunk + 8) == Crc32("IEND", 4));

// Drawer flags word: bit 0 show all, bit 1 view mode 1, bits 2 and up the
// view mode minus PNG_VIEW_MODE_BIAS for modes 2 to 5.
inline constexpr std::uint32_t PNG_FLAG_SHOW_ALL = 1;
inline constexpr std::uint32_t PNG_FLAG_VIEW_ICONS = 2;
inline constexpr std::int32_t PNG_VIEW_MODE_FIRST = 1;
inline constexpr std::int32_t PNG_VIEW_MODE_BIAS = 2;
inline constexpr std::int32_t PNG_VIEW_MODE_LAST = 5;

// ---- The tag table -------------------------------------------------------------

// What the reader does with an item.
enum class PngIconItem {
    IconX,
    IconY,
    DrawerLeft,
    DrawerTop,
    DrawerWidth,
    DrawerHeight,
    DrawerFlags,
    StackSize,
    DefaultTool,
    ToolType,
    Type,
    Ignored,
};

struct PngIconTag {
    std::uint32_t tag;
    PngIconItem item;
    bool drawerItem;  // read, it makes an untyped icon a drawer
};

inline constexpr std::uint32_t ICON_TAG_ICON_X = 0x80001001;
inline constexpr std::uint32_t ICON_TAG_ICON_Y = 0x80001002;
inline constexpr std::uint32_t ICON_TAG_DRAWER_LEFT = 0x80001003;
inline constexpr std::uint32_t ICON_TAG_DRAWER_TOP = 0x80001004;
inline constexpr std::uint32_t ICON_TAG_DRAWER_WIDTH = 0x80001005;
inline constexpr std::uint32_t ICON_TAG_DRAWER_HEIGHT = 0x80001006;
inline constexpr std::uint32_t ICON_TAG_DRAWER_FLAGS = 0x80001007;
inline constexpr std::uint32_t ICON_TAG_STACK_SIZE = 0x80001009;
inline constexpr std::uint32_t ICON_TAG_DEFAULT_TOOL = 0x8000100A;
inline constexpr std::uint32_t ICON_TAG_TOOL_TYPE = 0x8000100B;
inline constexpr std::uint32_t ICON_TAG_TYPE = 0x8000100F;

// Tags missing here fail the load: items carry no length, so an unknown one
// cannot be stepped over. 0x80001008 is missing on purpose. The default tool
// and the tooltypes are string items, every other tag a value item.
// tag, what the reader does with it, counts as a drawer item
inline constexpr PngIconTag PngIconTags[] = {
    {ICON_TAG_ICON_X, PngIconItem::IconX, false},
    {ICON_TAG_ICON_Y, PngIconItem::IconY, false},
    {ICON_TAG_DRAWER_LEFT, PngIconItem::DrawerLeft, true},
    {ICON_TAG_DRAWER_TOP, PngIconItem::DrawerTop, true},
    {ICON_TAG_DRAWER_WIDTH, PngIconItem::DrawerWidth, true},
    {ICON_TAG_DRAWER_HEIGHT, PngIconItem::DrawerHeight, true},
    {ICON_TAG_DRAWER_FLAGS, PngIconItem::DrawerFlags, true},
    {ICON_TAG_STACK_SIZE, PngIconItem::StackSize, false},
    {ICON_TAG_DEFAULT_TOOL, PngIconItem::DefaultTool, false},
    {ICON_TAG_TOOL_TYPE, PngIconItem::ToolType, false},
    {0x8000100C, PngIconItem::Ignored, false},
    {0x8000100D, PngIconItem::Ignored, false},
    {0x8000100E, PngIconItem::Ignored, false},
    {ICON_TAG_TYPE, PngIconItem::Type, false},
    {0x80001010, PngIconItem::Ignored, false},
    {0x80001011, PngIconItem::Ignored, true},
    {0x80001012, PngIconItem::Ignored, false},
    {0x80001107, PngIconItem::Ignored, true},
};
static_assert(sizeof PngIconTags / sizeof PngIconTags[0] == 18);

// The row of a tag, or null for a tag the table does not have.
constexpr const PngIconTag* FindPngIconTag(std::uint32_t tag)
{
    for (const PngIconTag& row : PngIconTags)
        if (row.tag == tag)
            return &row;
    return nullptr;
}
