// Windows icon writer (layout in ico_layout.h): the images the format
// stores, WINDOWS_ICON_CAPACITY.
//
// File: header, one directory entry per image, then the image blocks in the
// directory's order, each starting where the previous one ended. A block is a
// complete PNG file (true-colour images, when compressing), or a bitmap: the
// information header (its height counts pixel and mask rows), 2^d palette
// entries for d <= 8, the pixel rows, then 1-bit mask rows (1 = transparent).
// Sizes and offsets are known only once the blocks are written: the directory
// goes out with zeros and is patched last.
#include "formats/windows/windows_icon.h"

#include "formats/amiga/png_icon.h"
#include "formats/windows/ico_layout.h"
#include "host/host_calls.h"
#include "io/byte_io.h"
#include "plugin/format_table.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>

// True-colour images at least this wide become PNG entries when compressing.
static constexpr std::int32_t ICO_PNG_MIN_WIDTH = 128;
// Longest row written: 256 pixels of 4 bytes; mask rows are shorter.
static constexpr std::uint32_t ICO_MAX_ROW_BYTES = ICO_MAX_SIDE * 4;

static_assert(IcoRowBytes(ICO_MAX_SIDE, 32) == ICO_MAX_ROW_BYTES);

// One record per image written, in the order of the directory: the image,
// its place among the writable images of the list, and where its block lies.
struct IcoBlock {
    const IconImage* image;
    std::uint32_t listPosition;
    std::uint32_t offset;
    std::uint32_t size;
};

// Larger sides do not fit the directory's size bytes: such images are left
// out like the depths the format cannot hold.
static int IsWritable(const IconImage* image)
{
    return StoresImage(WINDOWS_ICON_CAPACITY, image->width, image->height, image->depth);
}

// Fills a record for each of the count writable images and puts them in the
// order they are written: the lowest depth class first (1, 4, 8, 32), within
// it the widest, the first in the list on a tie. One sort, so that a long list
// is not walked once for each image.
static void OrderImages(const IconImage* first, IcoBlock* blocks, std::uint32_t count)
{
    std::uint32_t n = 0;
    for (const IconImage* image = first; image && n < count; image = image->next) {
        if (IsWritable(image)) {
            blocks[n].image = image;
            blocks[n].listPosition = n;
            ++n;
        }
    }
    const auto key = [](const IcoBlock& block) {
        return std::tuple(block.image->depth, -block.image->width, block.listPosition);
    };
    std::sort(blocks, blocks + n, [&key](const IcoBlock& a, const IcoBlock& b) { return key(a) < key(b); });
}

static void ClearMarks(IconImage* first)
{
    for (IconImage* image = first; image; image = image->next)
        image->mark = 0;
}

static int IsPngEntry(const IconImage* image, std::uint32_t compress)
{
    return compress != 0 && image->depth == 32 && image->width >= ICO_PNG_MIN_WIDTH;
}

static void WriteDirectoryEntry(HostFile* file, const IconImage* image)
{
    std::uint8_t entry[ICO_ENTRY_SIZE] = {};
    // A side of 256 does not fit the byte; 0 stands for it.
    auto maxSide = static_cast<std::int32_t>(ICO_MAX_SIDE);
    entry[ICO_ENTRY_WIDTH] = static_cast<std::uint8_t>(image->width == maxSide ? 0 : image->width);
    entry[ICO_ENTRY_HEIGHT] = static_cast<std::uint8_t>(image->height == maxSide ? 0 : image->height);
    // 0 stands for 256 colours, or for none.
    entry[ICO_ENTRY_COLOURS] = static_cast<std::uint8_t>(image->depth == 1 ? 2 : image->depth == 4 ? 16 : 0);
    StoreLE16(entry + ICO_ENTRY_PLANES, 1);
    StoreLE16(entry + ICO_ENTRY_BIT_COUNT, static_cast<std::uint32_t>(image->depth));
    // ICO_ENTRY_BYTES and ICO_ENTRY_OFFSET stay 0 until PatchDirectory.
    HostWrite(file, entry, ICO_ENTRY_SIZE);
}

// One pixel row into row (zero-filled up to its padded length). Values are
// masked to the depth's bit width so that a stray value cannot spill into
// its neighbour.
static void PackPixelRow(const IconImage* image, std::int32_t y, std::uint8_t* row, std::uint32_t rowBytes)
{
    std::memset(row, 0, rowBytes);
    const auto width = static_cast<std::uint32_t>(image->width);
    // The depth is decided once a row; each case walks the row's pixels.
    if (image->depth == 32) {
        const std::uint8_t* source = image->pixels + static_cast<std::size_t>(y) * width * 4;
        for (std::uint32_t x = 0; x < width; ++x, source += 4) {
            std::uint32_t word;  // 0xAARRGGBB
            std::memcpy(&word, source, sizeof word);
            row[x * 4 + 0] = static_cast<std::uint8_t>(word);
            row[x * 4 + 1] = static_cast<std::uint8_t>(word >> 8);
            row[x * 4 + 2] = static_cast<std::uint8_t>(word >> 16);
            row[x * 4 + 3] = static_cast<std::uint8_t>(word >> 24);
        }
        return;
    }
    const std::uint8_t* indices = image->pixels + static_cast<std::size_t>(y) * width;
    switch (image->depth) {
    case 1:
        for (std::uint32_t x = 0; x < width; ++x)
            row[x / 8] = static_cast<std::uint8_t>(row[x / 8] | ((indices[x] & 1u) << (7 - x % 8)));
        break;
    case 4:
        for (std::uint32_t x = 0; x < width; ++x)
            row[x / 2] = static_cast<std::uint8_t>(row[x / 2] | ((indices[x] & 0xFu) << (x % 2 ? 0 : 4)));
        break;
    default:  // 8
        std::memcpy(row, indices, width);
        break;
    }
}

// One mask row: 1 where the pixel is transparent (alpha 0, or the pen).
static void PackMaskRow(const IconImage* image, std::int32_t y, std::uint8_t* row, std::uint32_t rowBytes)
{
    std::memset(row, 0, rowBytes);
    const auto width = static_cast<std::uint32_t>(image->width);
    if (image->depth == 32) {
        const std::uint8_t* source = image->pixels + static_cast<std::size_t>(y) * width * 4;
        for (std::uint32_t x = 0; x < width; ++x, source += 4) {
            std::uint32_t word;
            std::memcpy(&word, source, sizeof word);
            if ((word >> 24) == 0)
                row[x / 8] = static_cast<std::uint8_t>(row[x / 8] | (0x80u >> (x % 8)));
        }
        return;
    }
    if (image->transparentPen < 0)
        return;
    const auto pen = static_cast<std::uint32_t>(image->transparentPen);
    const std::uint8_t* indices = image->pixels + static_cast<std::size_t>(y) * width;
    for (std::uint32_t x = 0; x < width; ++x)
        if (indices[x] == pen)
            row[x / 8] = static_cast<std::uint8_t>(row[x / 8] | (0x80u >> (x % 8)));
}

static void WriteBitmapBlock(HostFile* file, const IconImage* image)
{
    std::int32_t depth = image->depth;
    std::uint32_t colours = depth <= 8 ? 1u << depth : 0;
    // Compression, image size, resolutions and colours important stay 0.
    std::uint8_t header[ICO_BITMAP_HEADER_SIZE] = {};
    StoreLE32(header + ICO_BITMAP_SIZE_FIELD, ICO_BITMAP_HEADER_SIZE);
    StoreLE32(header + ICO_BITMAP_WIDTH, static_cast<std::uint32_t>(image->width));
    StoreLE32(header + ICO_BITMAP_HEIGHT, static_cast<std::uint32_t>(image->height) * 2);  // pixel rows, then mask rows
    StoreLE16(header + ICO_BITMAP_PLANES, 1);
    StoreLE16(header + ICO_BITMAP_BIT_COUNT, static_cast<std::uint32_t>(depth));
    StoreLE32(header + ICO_BITMAP_COLOURS_USED, colours);
    HostWrite(file, header, ICO_BITMAP_HEADER_SIZE);

    // 0x00RRGGBB written little-endian is the entry's B, G, R, 0. Windows
    // draws a masked pixel by XOR-ing its colour onto the screen: the pen's
    // entry, which only masked pixels use, is black.
    for (std::uint32_t i = 0; i < colours; ++i)
        WriteLE32(file, std::int64_t{i} == image->transparentPen ? 0 : image->palette[i] & 0x00FFFFFF);

    std::uint8_t row[ICO_MAX_ROW_BYTES];
    auto pixelRowBytes = static_cast<std::uint32_t>(IcoRowBytes(static_cast<std::uint64_t>(image->width),
                                                                  static_cast<std::uint64_t>(depth)));
    for (std::int32_t y = image->height - 1; y >= 0; --y) {
        PackPixelRow(image, y, row, pixelRowBytes);
        HostWrite(file, row, pixelRowBytes);
    }
    auto maskRowBytes = static_cast<std::uint32_t>(IcoRowBytes(static_cast<std::uint64_t>(image->width), 1));
    for (std::int32_t y = image->height - 1; y >= 0; --y) {
        PackMaskRow(image, y, row, maskRowBytes);
        HostWrite(file, row, maskRowBytes);
    }
}

// Second pass: every block in directory order, its offset and size noted.
// Returns the number of blocks written; stops at a PNG that cannot be made or
// a file grown past what the directory's 32-bit fields can address.
static std::uint32_t WriteBlocks(HostFile* file, std::uint32_t compress, IcoBlock* blocks, std::uint32_t count)
{
    std::uint32_t written = 0;
    for (; written < count; ++written) {
        const IconImage* image = blocks[written].image;
        std::int64_t start = HostSeek(file, 0, HOST_SEEK_CURRENT);
        if (IsPngEntry(image, compress)) {
            if (!WritePngImage(file, image))
                return written;
        } else {
            WriteBitmapBlock(file, image);
        }
        std::int64_t end = HostSeek(file, 0, HOST_SEEK_CURRENT);
        if (end != static_cast<std::uint32_t>(end))
            return written;                     // past what a 32-bit offset can point to
        blocks[written].offset = static_cast<std::uint32_t>(start);
        blocks[written].size = static_cast<std::uint32_t>(end - start);
    }
    return written;
}

static void PatchDirectory(HostFile* file, const IcoBlock* blocks, std::uint32_t count)
{
    HostSeek(file, ICO_HEADER_COUNT, HOST_SEEK_START);
    WriteLE16(file, count);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::int64_t entry = ICO_HEADER_SIZE + std::int64_t{i} * ICO_ENTRY_SIZE;
        PatchLE32(file, entry + ICO_ENTRY_BYTES, blocks[i].size);
        PatchLE32(file, entry + ICO_ENTRY_OFFSET, blocks[i].offset);
    }
}

static int WriteIcoFile(HostFile* file, std::uint32_t compress, IcoBlock* blocks, std::uint32_t count)
{
    // Reserved 0, the type, and a count of 0 patched later.
    std::uint8_t header[ICO_HEADER_SIZE] = {};
    StoreLE16(header + ICO_HEADER_TYPE, ICO_TYPE_ICON);
    HostWrite(file, header, ICO_HEADER_SIZE);

    for (std::uint32_t i = 0; i < count; ++i)
        WriteDirectoryEntry(file, blocks[i].image);

    std::uint32_t written = WriteBlocks(file, compress, blocks, count);
    if (written != count)
        return 0;
    PatchDirectory(file, blocks, count);
    return 1;
}

int SaveWinIcon(HostFile* file, IconImage* first, const IconAttributes* /*attributes*/, std::uint32_t compress,
                int /*variant*/)
{
    // The writer keeps its order in its own table; the images' marks end as
    // 0, whatever the caller left in them.
    ClearMarks(first);
    std::uint32_t count = 0;
    for (const IconImage* image = first; image; image = image->next)
        count += static_cast<std::uint32_t>(IsWritable(image));
    // Nothing the format can hold: refuse before the first byte.
    if (count == 0)
        return 0;
    auto* blocks = static_cast<IcoBlock*>(HostAllocMem(sizeof(IcoBlock) * count, 1, "icondir"));
    if (!blocks)
        return 0;
    OrderImages(first, blocks, count);
    int ok = WriteIcoFile(file, compress, blocks, count);
    HostFreeMem(blocks);
    return ok;
}
