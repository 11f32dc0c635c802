// Windows icon writer: images of depth 1, 4, 8 and 32, at most 256 x 256.
//
// File: header, one directory entry per image, then the image blocks in the
// directory's order, each starting where the previous one ended.
//   Header (6):      0 reserved 0 (16) | 2 type 1 (16) | 4 entry count (16)
//   Entry (16):      0 width (8, 0 = 256) | 1 height (8, 0 = 256) | 2 colour count (8)
//                    3 reserved (8) | 4 planes 1 (16) | 6 bit count (16)
//                    8 block size (32) | 12 block offset from the start (32)
//   PNG block:       a complete PNG file (true-colour images, when compressing)
//   Bitmap block:    40-byte information header (height counts pixel and mask rows),
//                    2^d palette entries B G R 0 for d <= 8, pixel rows bottom row
//                    first, then 1-bit mask rows (1 = transparent) bottom row first;
//                    every row padded with zeros to a multiple of 4 bytes.
// All integers are little-endian. Sizes and offsets are known only once the
// blocks are written: the directory goes out with zeros and is patched last.
#include "formats/windows/windows_icon.h"

#include "formats/amiga/png_icon.h"
#include "formats/windows/ico_layout.h"
#include "host/host_calls.h"
#include "icon/icon_flows.h"
#include "io/byte_io.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// True-colour images at least this wide become PNG entries when compressing.
static constexpr std::int32_t ICO_PNG_MIN_WIDTH = 128;
// Longest row written: 256 pixels of 4 bytes; mask rows are shorter.
static constexpr std::uint32_t ICO_MAX_ROW_BYTES = ICO_MAX_SIDE * 4;

// The directory is patched by writing each entry's size and offset, its last
// two fields, one after the other.
static_assert(ICO_ENTRY_OFFSET == ICO_ENTRY_BYTES + 4 && ICO_ENTRY_SIZE == ICO_ENTRY_OFFSET + 4);
static_assert(IcoRowBytes(ICO_MAX_SIDE, 32) == ICO_MAX_ROW_BYTES);

// Where each written image's block lies, in the order of the directory.
struct IcoBlock {
    std::uint32_t offset;
    std::uint32_t size;
};

static int IsWritable(const IconImage* image)
{
    int depthOk = image->depth == 1 || image->depth == 4 || image->depth == 8 || image->depth == 32;
    // Larger sides do not fit the directory's size bytes: such images are
    // left out like the depths the format cannot hold.
    auto maxSide = static_cast<std::int32_t>(ICO_MAX_SIDE);
    return depthOk && image->width >= 1 && image->width <= maxSide && image->height >= 1 &&
           image->height <= maxSide;
}

// The next image to write: the lowest depth class first (1, 4, 8, 32), within
// it the widest, the first in the list on a tie. Images written so far carry
// mark 1, so repeated calls walk the classes by decreasing width.
static IconImage* NextImage(IconImage* first)
{
    IconImage* best = nullptr;
    for (IconImage* image = first; image; image = image->next) {
        if (image->mark || !IsWritable(image))
            continue;
        if (!best || image->depth < best->depth ||
            (image->depth == best->depth && image->width > best->width))
            best = image;
    }
    return best;
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
    // A side of 256 does not fit the byte; 0 stands for it.
    auto maxSide = static_cast<std::int32_t>(ICO_MAX_SIDE);
    HostPutC(file, image->width == maxSide ? 0 : image->width);
    HostPutC(file, image->height == maxSide ? 0 : image->height);
    HostPutC(file, image->depth == 1 ? 2 : image->depth == 4 ? 16 : 0);  // colour count; 0 = 256 or none
    HostPutC(file, 0);
    WriteLE16(file, 1);                                                  // planes
    WriteLE16(file, static_cast<std::uint32_t>(image->depth));
    WriteLE32(file, 0);                                                  // size, patched later
    WriteLE32(file, 0);                                                  // offset, patched later
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
    WriteLE32(file, ICO_BITMAP_HEADER_SIZE);
    WriteLE32(file, static_cast<std::uint32_t>(image->width));
    WriteLE32(file, static_cast<std::uint32_t>(image->height) * 2);  // pixel rows, then mask rows
    WriteLE16(file, 1);                                              // planes
    WriteLE16(file, static_cast<std::uint32_t>(depth));
    WriteZeros(file, 16);                                            // compression, image size, resolutions
    WriteLE32(file, colours);                                        // colours used
    WriteLE32(file, 0);                                              // colours important

    // 0x00RRGGBB written little-endian is the entry's B, G, R, 0.
    for (std::uint32_t i = 0; i < colours; ++i)
        WriteLE32(file, image->palette[i] & 0x00FFFFFF);

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
static std::uint32_t WriteBlocks(HostFile* file, IconImage* first, std::uint32_t compress, IcoBlock* blocks,
                                 std::uint32_t capacity)
{
    std::uint32_t written = 0;
    for (IconImage* image = NextImage(first); image && written < capacity; image = NextImage(first)) {
        std::int64_t start = HostSeek(file, 0, HOST_SEEK_CURRENT);
        if (IsPngEntry(image, compress)) {
            if (!WritePngImage(file, image))
                return written;
        } else {
            WriteBitmapBlock(file, image);
        }
        std::int64_t end = HostSeek(file, 0, HOST_SEEK_CURRENT);
        if (start < 0 || end < start || end > std::int64_t{UINT32_MAX})
            return written;
        blocks[written].offset = static_cast<std::uint32_t>(start);
        blocks[written].size = static_cast<std::uint32_t>(end - start);
        image->mark = 1;
        ++written;
    }
    return written;
}

static void PatchDirectory(HostFile* file, const IcoBlock* blocks, std::uint32_t count)
{
    HostSeek(file, ICO_HEADER_COUNT, HOST_SEEK_START);
    WriteLE16(file, count);
    // After the count, and after each entry's last field, the file stands at
    // the start of the next entry.
    for (std::uint32_t i = 0; i < count; ++i) {
        HostSeek(file, ICO_ENTRY_BYTES, HOST_SEEK_CURRENT);
        WriteLE32(file, blocks[i].size);
        WriteLE32(file, blocks[i].offset);
    }
}

static int WriteIcoFile(HostFile* file, IconImage* first, std::uint32_t compress, IcoBlock* blocks,
                        std::uint32_t count)
{
    WriteLE16(file, 0);
    WriteLE16(file, ICO_TYPE_ICON);
    WriteLE16(file, 0);                                              // count, patched later

    std::uint32_t entries = 0;
    for (IconImage* image = NextImage(first); image && entries < count; image = NextImage(first)) {
        WriteDirectoryEntry(file, image);
        image->mark = 1;
        ++entries;
    }
    ClearMarks(first);

    std::uint32_t written = WriteBlocks(file, first, compress, blocks, count);
    ClearMarks(first);
    if (written != count)
        return 0;
    PatchDirectory(file, blocks, count);
    return 1;
}

int SaveWinIcon(HostFile* file, IconImage* first, std::uint32_t compress)
{
    // The list must end and hold readable images before marks are touched.
    if (!file || !ValidateImageList(first))
        return 0;
    // A mark left by the caller would hide its image from both passes.
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
    int ok = WriteIcoFile(file, first, compress, blocks, count);
    HostFreeMem(blocks);
    return ok;
}
