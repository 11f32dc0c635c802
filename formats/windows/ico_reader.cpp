// Windows icon reader (layout in ico_layout.h). LoadIcon has read the magic
// 00 00 01 00; the directory's planes and bit count are not used, a bitmap's
// header is always taken to be 40 bytes long, and a 32-bit bitmap's mask rows
// are not read.
//
// Every entry is looked at before any image is made: an offset outside the
// file, a PNG longer than what follows it, an impossible bitmap, or images
// that together exceed the load's budget fail the load before it allocates.
#include "formats/windows/windows_icon.h"

#include "formats/windows/ico_layout.h"
#include "host/host_calls.h"
#include "icon/decode_helpers.h"
#include "io/byte_io.h"

#include <algorithm>

namespace {

// One directory entry as read, plus what the entry's data says about it.
struct IcoEntry {
    std::uint8_t width;
    std::uint8_t height;
    std::uint8_t colourCount;
    std::uint8_t reserved;
    std::uint16_t planes;
    std::uint16_t bitCount;
    std::uint32_t dataBytes;
    std::uint32_t dataOffset;
    // Set when the bitmap declares 24 bits: such an image gives way to any
    // other image of its size.
    std::uint8_t is24Bit;
    std::uint8_t isPng;
    std::uint16_t bitmapBitCount;
    std::int32_t imageWidth;     // bitmaps: the size the image is made with
    std::int32_t imageHeight;
    std::int32_t imageDepth;
    std::uint32_t coloursUsed;
};

constexpr std::int32_t ICO_SIZE_BYTE_ZERO = 256;

// Rows are at most 256 pixels of 32 bits: one row fits on the stack.
constexpr std::uint32_t ICO_MAX_ROW_BYTES = ICO_MAX_SIDE * 4;
static_assert(IcoRowBytes(ICO_MAX_SIDE, 32) == ICO_MAX_ROW_BYTES);

void ReadDirectoryEntry(HostFile* file, IcoEntry* entry)
{
    std::uint8_t bytes[ICO_ENTRY_SIZE];
    ReadRecord(file, bytes, ICO_ENTRY_SIZE);
    entry->width = bytes[ICO_ENTRY_WIDTH];
    entry->height = bytes[ICO_ENTRY_HEIGHT];
    entry->colourCount = bytes[ICO_ENTRY_COLOURS];
    entry->reserved = bytes[ICO_ENTRY_RESERVED];
    entry->planes = static_cast<std::uint16_t>(LoadLE16(bytes + ICO_ENTRY_PLANES));
    entry->bitCount = static_cast<std::uint16_t>(LoadLE16(bytes + ICO_ENTRY_BIT_COUNT));
    entry->dataBytes = LoadLE32(bytes + ICO_ENTRY_BYTES);
    entry->dataOffset = LoadLE32(bytes + ICO_ENTRY_OFFSET);
}

// Image depth for a bitmap bit count, or 0 for one the reader cannot decode
// (16 bits, and compressed bitmaps that declare odd counts).
std::int32_t DepthForBitCount(std::uint32_t bitCount)
{
    switch (bitCount) {
    case 1:
    case 4:
    case 8:
        return static_cast<std::int32_t>(bitCount);
    case 24:
    case 32:
        return 32;
    default:
        return 0;
    }
}

// Reads the start of the entry's data and settles what the entry will make.
// Returns the bytes the image will be charged, or 0 when the entry is
// unusable. For a PNG without its header chunk in place the charge is not
// known here; 1 stands for it and the host's decoder has the last word.
std::uint64_t InspectEntry(HostFile* file, std::uint64_t fileSize, IcoEntry* entry)
{
    if (entry->dataOffset >= fileSize)
        return 0;
    // The bitmap header up to its bit count; for a PNG, its signature and the
    // header chunk's length and type.
    std::uint8_t head[ICO_BITMAP_COMPRESSION];
    HostSeek(file, entry->dataOffset, HOST_SEEK_START);
    ReadRecord(file, head, sizeof head);
    std::uint32_t sizeField = LoadLE32(head + ICO_BITMAP_SIZE_FIELD);
    auto bitmapWidth = static_cast<std::int32_t>(LoadLE32(head + ICO_BITMAP_WIDTH));
    std::uint32_t bitmapHeight = LoadLE32(head + ICO_BITMAP_HEIGHT);
    std::uint32_t planes = LoadLE16(head + ICO_BITMAP_PLANES);
    std::uint32_t bitCount = LoadLE16(head + ICO_BITMAP_BIT_COUNT);
    bool hasIhdr = planes == ICO_PNG_IHDR_LOW_LE16 && bitCount == ICO_PNG_IHDR_HIGH_LE16;

    if (sizeField == ICO_PNG_SIGNATURE_LE32 || hasIhdr) {
        entry->isPng = 1;
        if (entry->dataBytes == 0 || entry->dataBytes > fileSize - entry->dataOffset)
            return 0;
        if (!hasIhdr)
            return 1;
        // The PNG's own size, big-endian, right after the chunk type.
        HostSeek(file, std::int64_t{entry->dataOffset} + ICO_PNG_WIDTH, HOST_SEEK_START);
        auto pngWidth = static_cast<std::int32_t>(ReadBE32(file));
        HostSeek(file, std::int64_t{entry->dataOffset} + ICO_PNG_HEIGHT, HOST_SEEK_START);
        auto pngHeight = static_cast<std::int32_t>(ReadBE32(file));
        return IconPixelBytes(pngWidth, pngHeight, 32);
    }

    // Only bitmaps carry the flag: a PNG's bytes 12 to 15 are its chunk type.
    entry->is24Bit = bitCount == 24;
    entry->bitmapBitCount = static_cast<std::uint16_t>(bitCount);
    HostSeek(file, std::int64_t{entry->dataOffset} + ICO_BITMAP_COLOURS_USED, HOST_SEEK_START);
    entry->coloursUsed = ReadLE32(file);

    // The directory caps the bitmap's size, its 0 standing for 256. A width
    // of 0 or less, or fewer than two rows, makes no image.
    std::int32_t directoryWidth = entry->width ? entry->width : ICO_SIZE_BYTE_ZERO;
    std::int32_t directoryHeight = entry->height ? entry->height : ICO_SIZE_BYTE_ZERO;
    std::uint32_t rows = bitmapHeight >> 1;       // a negative height reads as a large one
    entry->imageWidth = std::min(bitmapWidth, directoryWidth);
    entry->imageHeight = static_cast<std::int32_t>(std::min(rows, static_cast<std::uint32_t>(directoryHeight)));
    entry->imageDepth = DepthForBitCount(bitCount);
    if (entry->imageWidth < 1 || entry->imageHeight < 1 || entry->imageDepth == 0)
        return 0;
    return IconImageCharge(entry->imageWidth, entry->imageHeight, entry->imageDepth);
}

int ReadPngEntry(HostFile* file, const IcoEntry& entry, IconHandle* icon, IconImage** tail)
{
    // InspectEntry has held the size to what follows the offset.
    HostSeek(file, entry.dataOffset, HOST_SEEK_START);
    return DecodePictureFromFile(file, entry.dataBytes, "png", 0, icon, tail) == 1;
}

// Palette of n entries: blue, green, red, one ignored byte each. Words past
// the last entry stay 0.
int ReadPalette(HostFile* file, IconImage* image, std::uint32_t entries)
{
    std::uint32_t bytes = entries * ICO_PALETTE_ENTRY_SIZE;
    auto* data = static_cast<std::uint8_t*>(HostAllocMem(bytes, 0, "palette"));
    if (!data)
        return 0;
    int ok = ReadExactly(file, data, bytes);
    if (ok) {
        for (std::uint32_t i = 0; i < entries; ++i) {
            const std::uint8_t* bgr = data + i * ICO_PALETTE_ENTRY_SIZE;
            image->palette[i] = (std::uint32_t{bgr[2]} << 16) | (std::uint32_t{bgr[1]} << 8) | bgr[0];
        }
    }
    HostFreeMem(data);
    return ok;
}

// One row of palette indices from its file bytes, left to right.
void DecodePaletteRow(const std::uint8_t* row, std::uint32_t bitCount, std::uint8_t* out, std::int32_t width)
{
    for (std::int32_t x = 0; x < width; ++x) {
        if (bitCount == 1)
            out[x] = (row[x >> 3] >> (7 - (x & 7))) & 1;
        else if (bitCount == 4)
            out[x] = (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
        else
            out[x] = row[x];
    }
}

// One row of 0xAARRGGBB words from blue, green, red (and alpha) bytes. 24-bit
// pixels are opaque until their mask is applied.
void DecodeTrueColourRow(const std::uint8_t* row, std::uint32_t bitCount, std::uint32_t* out, std::int32_t width)
{
    std::uint32_t step = bitCount / 8;
    for (std::int32_t x = 0; x < width; ++x) {
        const std::uint8_t* p = row + step * std::uint32_t(x);
        std::uint32_t alpha = bitCount == 32 ? p[3] : 0xFFu;
        out[x] = (alpha << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
    }
}

// Pixel rows, bottom row first, each padded to a multiple of 4 bytes. A file
// that ends inside them reads as zeros, like every short read of pixel data.
void ReadPixelRows(HostFile* file, std::uint32_t bitCount, IconImage* image)
{
    std::uint8_t row[ICO_MAX_ROW_BYTES];
    auto rowBytes = static_cast<std::int64_t>(IcoRowBytes(std::uint64_t(image->width), bitCount));
    for (std::int32_t y = image->height - 1; y >= 0; --y) {
        ReadRecord(file, row, static_cast<std::uint32_t>(rowBytes));
        std::uint64_t first = std::uint64_t(y) * std::uint64_t(image->width);
        if (image->depth <= 8)
            DecodePaletteRow(row, bitCount, image->pixels + first, image->width);
        else
            DecodeTrueColourRow(row, bitCount, reinterpret_cast<std::uint32_t*>(image->pixels) + first, image->width);
    }
}

int ReadBitmapEntry(HostFile* file, const IcoEntry& entry, IconHandle* icon, IconImage** tail)
{
    IconImage* image =
        NewIconImage(entry.imageWidth, entry.imageHeight, entry.imageDepth, -1, 0, icon, tail);
    if (!image)
        return 0;
    // The header is always taken to be 40 bytes long.
    HostSeek(file, std::int64_t{entry.dataOffset} + ICO_BITMAP_HEADER_SIZE, HOST_SEEK_START);
    std::uint32_t bitCount = entry.bitmapBitCount;
    if (entry.imageDepth <= 8) {
        std::uint32_t entries = entry.coloursUsed >= 1 && entry.coloursUsed <= ICON_PALETTE_ENTRIES
                                    ? entry.coloursUsed
                                    : 1u << bitCount;
        if (!ReadPalette(file, image, entries))
            return 0;
    }
    ReadPixelRows(file, bitCount, image);
    // 32-bit pixels carry their own alpha; their mask is never read.
    if (bitCount != 32)
        ApplyBitMask(file, image, static_cast<int>(bitCount), MASK_LAYOUT_WINDOWS);
    return 1;
}

// A 24-bit image gives way to another image of its size: it is removed when
// such an image remains in the list, whatever its depth or origin. Removed
// images no longer count, so of several 24-bit images of one size and nothing
// else, only the last survives. One table of sizes makes this linear: per
// width and height up to 256, whether an image without the flag has that
// size (top bit), and 1 + the list position of the last flagged image.
int DropShadowed24BitImages(IconImage* first, IconImage* beforeFirst, const IcoEntry* entries,
                            std::uint32_t count, IconHandle* icon)
{
    constexpr std::uint32_t OTHER_IMAGE = 0x80000000u;
    constexpr std::uint32_t SIDES = ICO_MAX_SIDE;
    auto* sizes = static_cast<std::uint32_t*>(HostAllocMem(SIDES * SIDES * 4, 1, "icosizes"));
    if (!sizes)
        return 0;
    auto key = [](const IconImage* image) {
        return std::uint32_t(image->width - 1) * SIDES + std::uint32_t(image->height - 1);
    };
    auto inTable = [](const IconImage* image) {
        return image->width <= std::int32_t(SIDES) && image->height <= std::int32_t(SIDES);
    };
    std::uint32_t index = 0;
    for (IconImage* image = first; image && index < count; image = image->next, ++index) {
        if (!inTable(image))
            continue;                               // bitmaps, and so flagged images, are never this large
        std::uint32_t& slot = sizes[key(image)];
        slot = entries[index].is24Bit ? (slot & OTHER_IMAGE) | (index + 1) : (slot | OTHER_IMAGE);
    }
    IconImage* previous = beforeFirst;
    IconImage* image = first;
    for (index = 0; image && index < count; ++index) {
        IconImage* next = image->next;
        bool drop = false;
        if (entries[index].is24Bit && inTable(image)) {
            std::uint32_t slot = sizes[key(image)];
            drop = (slot & OTHER_IMAGE) != 0 || (slot & ~OTHER_IMAGE) != index + 1;
        }
        if (drop) {
            if (previous)
                previous->next = next;
            else
                icon->images = next;
            FreeIconImage(image);
        } else {
            previous = image;
        }
        image = next;
    }
    HostFreeMem(sizes);
    return 1;
}

// Inspects every entry, makes its image, then drops the 24-bit images that
// another image of their size replaces.
int ReadEntries(HostFile* file, std::uint64_t fileSize, IcoEntry* entries, std::uint32_t count, IconHandle* icon)
{
    std::uint64_t budget = ICON_LOAD_BUDGET_BYTES - icon->imageBytesCharged;
    std::uint64_t charged = 0;
    bool any24Bit = false;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint64_t charge = InspectEntry(file, fileSize, &entries[i]);
        if (charge == 0)
            return 0;
        // Many entries may point at one large bitmap: refuse the sum before
        // decoding any of them.
        charged += charge;
        if (charged > budget)
            return 0;
        any24Bit = any24Bit || entries[i].is24Bit;
    }

    IconImage* tail = icon->images;
    while (tail && tail->next)
        tail = tail->next;
    IconImage* beforeFirst = tail;
    for (std::uint32_t i = 0; i < count; ++i) {
        int ok = entries[i].isPng ? ReadPngEntry(file, entries[i], icon, &tail)
                                  : ReadBitmapEntry(file, entries[i], icon, &tail);
        if (!ok)
            return 0;
    }
    if (!any24Bit)
        return 1;
    IconImage* first = beforeFirst ? beforeFirst->next : icon->images;
    return DropShadowed24BitImages(first, beforeFirst, entries, count, icon);
}

}  // namespace

int LoadWinIcon(const char* /*name*/, HostFile* file, IconHandle* icon)
{
    std::int64_t fileSize = FileSize(file);
    HostSeek(file, ICO_HEADER_COUNT, HOST_SEEK_START);
    std::uint32_t count = ReadLE16(file);
    // No entry makes no icon; a directory running past the end of the file
    // describes entries that are not there.
    std::uint64_t directoryEnd = ICO_HEADER_SIZE + std::uint64_t{count} * ICO_ENTRY_SIZE;
    if (count == 0 || directoryEnd > std::uint64_t(fileSize))
        return 0;
    auto* entries = static_cast<IcoEntry*>(HostAllocMem(std::uint64_t{count} * sizeof(IcoEntry), 1, "winicon"));
    if (!entries)
        return 0;
    HostSeek(file, ICO_HEADER_SIZE, HOST_SEEK_START);
    for (std::uint32_t i = 0; i < count; ++i)
        ReadDirectoryEntry(file, &entries[i]);
    int ok = ReadEntries(file, std::uint64_t(fileSize), entries, count, icon);
    HostFreeMem(entries);
    return ok;
}
