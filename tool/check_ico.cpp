// The checks of a Windows icon: the header, the directory, and each entry's
// data against its directory entry.
//
// Header 6 bytes (little-endian): reserved 0, type 1, entry count. Entries
// 16 bytes: width, height (0 means 256), colours, reserved, planes, bit
// count, data size, data offset. Data is a PNG or a bitmap header (40 bytes:
// size, width, height of image and mask, planes, bit count, compression, ...,
// colours used at 32) with palette, colour rows and a 1-bit AND mask.
#include "formats/windows/ico_layout.h"
#include "tool/check_bytes.h"

#include <algorithm>
#include <iterator>

namespace tessel::tool::check {

namespace {

// Bitmap sides above this (a negative height read unsigned, say) are only
// reported, so the byte counts below stay far inside 64 bits.
constexpr std::uint64_t ICO_MAX_BITMAP_SIDE = 1u << 20;
// Bit counts a bitmap header may have.
constexpr std::uint32_t IcoBitCounts[] = {1, 4, 8, 16, 24, 32};

std::uint64_t IcoSide(std::uint32_t directoryByte) { return directoryByte == 0 ? ICO_MAX_SIDE : directoryByte; }

void CheckIcoBitmap(const ByteView& file, std::uint64_t entry, std::uint64_t offset, std::uint64_t size,
                    Findings& findings)
{
    const std::string name = "entry " + Str(entry) + ": ";
    const std::uint64_t entryAt = ICO_HEADER_SIZE + entry * ICO_ENTRY_SIZE;
    const std::uint64_t dirWidth = IcoSide(file.Byte(entryAt + ICO_ENTRY_WIDTH));
    const std::uint64_t dirHeight = IcoSide(file.Byte(entryAt + ICO_ENTRY_HEIGHT));
    if (HasPngSignature(file, offset)) {
        if (size < ICO_PNG_HEIGHT + 4) {            // through the height word
            Problem(findings, name + "PNG too short for its header");
            return;
        }
        const std::uint64_t width = file.BE32(offset + ICO_PNG_WIDTH);
        const std::uint64_t height = file.BE32(offset + ICO_PNG_HEIGHT);
        if (width != dirWidth || height != dirHeight)
            Problem(findings, name + "PNG is " + Str(width) + "x" + Str(height) + ", directory says " +
                                  Str(dirWidth) + "x" + Str(dirHeight));
        return;
    }
    if (size < ICO_BITMAP_HEADER_SIZE) {
        Problem(findings, name + "too short (" + Str(size) + " bytes) for a bitmap header");
        return;
    }
    const std::uint64_t headerSize = file.LE32(offset + ICO_BITMAP_SIZE_FIELD);
    const std::uint64_t width = file.LE32(offset + ICO_BITMAP_WIDTH);
    const std::uint64_t fullHeight = file.LE32(offset + ICO_BITMAP_HEIGHT);
    const std::uint32_t bitCount = file.LE16(offset + ICO_BITMAP_BIT_COUNT);
    const std::uint64_t coloursUsed = file.LE32(offset + ICO_BITMAP_COLOURS_USED);
    const std::uint32_t dirBitCount = file.LE16(entryAt + ICO_ENTRY_BIT_COUNT);
    // The bitmap's height counts the colour rows and the mask rows: twice the size.
    if (width != dirWidth || fullHeight / 2 != dirHeight || fullHeight % 2 != 0) {
        const bool notDoubled = fullHeight == dirHeight && dirWidth == dirHeight;
        Problem(findings, name + "bitmap " + Str(width) + "x" + Str(fullHeight / 2) + ", directory " +
                              Str(dirWidth) + "x" + Str(dirHeight) +
                              (notDoubled ? " (bitmap height " + Str(fullHeight) + " is not twice the size)" : ""));
    }
    if (std::find(std::begin(IcoBitCounts), std::end(IcoBitCounts), bitCount) == std::end(IcoBitCounts)) {
        Problem(findings, name + "bit count " + Str(bitCount) + " is not one the format has");
        return;
    }
    if (dirBitCount != 0 && dirBitCount != bitCount)
        Note(findings, name + "directory bit count " + Str(dirBitCount) + ", bitmap " + Str(bitCount));
    if (width > ICO_MAX_BITMAP_SIDE || fullHeight > 2 * ICO_MAX_BITMAP_SIDE)
        return;                                     // reported above; its byte count would mean nothing
    const std::uint64_t height = fullHeight / 2;
    const std::uint64_t paletteColours = bitCount > 8 ? 0 : (coloursUsed != 0 ? coloursUsed : 1ull << bitCount);
    const std::uint64_t colourBytes = IcoRowBytes(width, bitCount) * height;
    const std::uint64_t maskBytes = IcoRowBytes(width, 1) * height;
    const std::uint64_t needed = headerSize + paletteColours * ICO_PALETTE_ENTRY_SIZE + colourBytes + maskBytes;
    if (bitCount == 32 && size == needed - maskBytes)
        Note(findings, name + "32-bit bitmap without AND mask");
    if (size < needed)
        Problem(findings, name + "needs " + Str(needed) + " bytes, size field " + Str(size));
    else if (size > needed)
        Note(findings, name + Str(size - needed) + " spare bytes");
}

}  // namespace

void CheckIco(const ByteView& file, Findings& findings)
{
    if (!file.Fits(0, ICO_HEADER_SIZE)) {
        Problem(findings, "header cut short: " + Str(file.Size()) + " bytes");
        return;
    }
    if (file.LE16(ICO_HEADER_RESERVED) != 0)
        Problem(findings, "reserved field " + Str(file.LE16(ICO_HEADER_RESERVED)) + ", not 0");
    if (file.LE16(ICO_HEADER_TYPE) != ICO_TYPE_ICON)
        Problem(findings, "type field " + Str(file.LE16(ICO_HEADER_TYPE)) + ", not 1 (icon)");
    const std::uint64_t count = file.LE16(ICO_HEADER_COUNT);
    if (count == 0) {
        Problem(findings, "entry count 0");
        return;
    }
    if (!file.Fits(ICO_HEADER_SIZE, count * ICO_ENTRY_SIZE)) {
        Problem(findings, "directory of " + Str(count) + " entries runs past the end of the file");
        return;
    }
    std::uint64_t lastEnd = ICO_HEADER_SIZE + count * ICO_ENTRY_SIZE;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t entry = ICO_HEADER_SIZE + i * ICO_ENTRY_SIZE;
        if (const std::uint32_t reserved = file.Byte(entry + ICO_ENTRY_RESERVED); reserved != 0)
            Note(findings, "entry " + Str(i) + " reserved byte " + Str(reserved));
        const std::uint64_t size = file.LE32(entry + ICO_ENTRY_BYTES);
        const std::uint64_t offset = file.LE32(entry + ICO_ENTRY_OFFSET);
        if (!file.Fits(offset, size)) {
            Problem(findings, "entry " + Str(i) + ": offset " + Str(offset) + " and size " + Str(size) +
                                  " run past the end of the file (" + Str(file.Size()) + " bytes)");
            continue;
        }
        lastEnd = std::max(lastEnd, offset + size);
        CheckIcoBitmap(file, i, offset, size, findings);
    }
    if (lastEnd < file.Size())
        Note(findings, Str(file.Size() - lastEnd) + " bytes after the last entry");
}

}  // namespace tessel::tool::check
