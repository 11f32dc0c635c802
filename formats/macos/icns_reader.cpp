// The macOS icon family reader (layout in icns_layout.h). The caller has
// read the magic; the file's length field is not trusted, the entries are
// walked instead, their type codes compared byte for byte.
//
// Two passes over the entries: the first makes the images, the second lays
// the mask entries over them, so a mask may come before its image.
#include "formats/macos/macos_icon.h"

#include "host/host_calls.h"
#include "icon/decode_helpers.h"
#include "io/byte_io.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>

namespace {

enum class PassEnd { Done, Failed };

struct IcnsReadState {
    IconHandle* icon;
    IconImage* tail;
    std::int64_t fileSize;
    // The first image made from each run-length row: the only images an
    // alpha plane applies to (a PNG image of the same size keeps its own).
    IconImage* runLengthImage[ICNS_TYPE_COUNT];
};

int FindTypeRow(std::uint32_t type)
{
    for (int row = 0; row < ICNS_TYPE_COUNT; ++row) {
        if (IcnsTypeTable[row].type == type)
            return row;
    }
    return -1;
}

// Bytes of a palette or mask plane of the row: side x side x depth / 8.
std::uint64_t PlaneBytes(const IcnsTypeRow& row)
{
    return std::uint64_t(row.side) * std::uint64_t(row.side) * std::uint64_t(row.depth) / 8;
}

// 4-bit and 8-bit palette indices, straight into the pixel buffer.
int ReadPaletteEntry(HostFile* file, const IcnsTypeRow& row, std::uint64_t dataBytes, IcnsReadState* state)
{
    if (dataBytes != PlaneBytes(row))
        return 0;
    IconImage* image = NewIconImage(row.side, row.side, row.depth, -1, 0, state->icon, &state->tail);
    if (!image || !ReadExactly(file, image->pixels, dataBytes))
        return 0;
    if (row.depth == 4) {
        // Two pixels a byte, the high nibble on the left; rows have no padding
        // at even widths, so the whole plane unpacks as one row. Walking from
        // the end keeps every packed byte ahead of the pixels written.
        for (std::uint64_t k = dataBytes; k-- > 0;) {
            std::uint8_t packed = image->pixels[k];
            image->pixels[2 * k] = static_cast<std::uint8_t>(packed >> 4);
            image->pixels[2 * k + 1] = static_cast<std::uint8_t>(packed & 0x0F);
        }
        std::copy(std::begin(MacPalette16), std::end(MacPalette16), image->palette);
    } else {
        std::copy(std::begin(MacPalette256), std::end(MacPalette256), image->palette);
    }
    return 1;
}

// Some writers store these entries uncompressed: four bytes per pixel, alpha,
// red, green, blue. A run-length stream of three channels can never be that
// long (at most about 3.03 bytes a pixel), so the length tells them apart.
void DecodeRawArgb(const std::uint8_t* data, IconImage* image)
{
    auto* words = reinterpret_cast<std::uint32_t*>(image->pixels);
    std::uint64_t count = std::uint64_t(image->width) * std::uint64_t(image->height);
    for (std::uint64_t i = 0; i < count; ++i, data += 4)
        words[i] = std::uint32_t{data[0]} << 24 | std::uint32_t{data[1]} << 16 | std::uint32_t{data[2]} << 8 | data[3];
}

int ReadRunLengthEntry(HostFile* file, int rowIndex, std::uint64_t dataBytes, IcnsReadState* state)
{
    const IcnsTypeRow& row = IcnsTypeTable[rowIndex];
    IconImage* image = NewIconImage(row.side, row.side, 32, -1, 0, state->icon, &state->tail);
    if (!image)
        return 0;
    if (!state->runLengthImage[rowIndex])
        state->runLengthImage[rowIndex] = image;
    if (dataBytes == 0) {
        DecodeIcnsRle(nullptr, 0, image);
        return 1;
    }
    auto* data = static_cast<std::uint8_t*>(HostAllocMem(dataBytes, 0, "buf"));
    if (!data)
        return 0;
    int ok = ReadExactly(file, data, dataBytes);
    if (ok && dataBytes == 4 * std::uint64_t(row.side) * std::uint64_t(row.side))
        DecodeRawArgb(data, image);
    else if (ok)
        DecodeIcnsRle(data, dataBytes, image);
    HostFreeMem(data);
    return ok;
}

int ReadCompressedEntry(HostFile* file, std::uint64_t dataBytes, IcnsReadState* state)
{
    if (dataBytes == 0)
        return 0;
    auto* data = static_cast<std::uint8_t*>(HostAllocMem(dataBytes, 0, "buf"));
    if (!data)
        return 0;
    // The caller bounded dataBytes by the file, which its 32-bit length field
    // keeps below 4 GiB.
    int ok = ReadExactly(file, data, dataBytes) &&
             DecodeEmbeddedPng(data, static_cast<std::uint32_t>(dataBytes), "bin", state->icon, &state->tail);
    HostFreeMem(data);
    return ok;
}

// The image that an 8-bit alpha plane of this row applies to: the first one
// made from the run-length row of the same side.
IconImage* AlphaTarget(const IcnsTypeRow& maskRow, const IcnsReadState* state)
{
    for (int row = 0; row < ICNS_TYPE_COUNT; ++row) {
        if (IcnsTypeTable[row].depth == 24 && IcnsTypeTable[row].side == maskRow.side)
            return state->runLengthImage[row];
    }
    return nullptr;
}

// Pass 2, one mask entry. Returns 0 when the load fails, else 1 with the file
// at the end of the entry's data. *ended is set when the entry's data runs
// past the end of the file and nothing of it was needed: the pass stops there.
int ReadMaskEntry(HostFile* file, const IcnsTypeRow& row, std::uint64_t dataBytes, std::uint64_t bytesLeft,
                  IcnsReadState* state, int* ended)
{
    std::uint64_t planeBytes = PlaneBytes(row);
    IconImage* first = state->icon->images;
    IconImage* target = nullptr;
    IconImage* fourBit = nullptr;
    if (row.depth == 1) {
        target = FindIconImage(row.side, row.side, 8, first);
        fourBit = FindIconImage(row.side, row.side, 4, first);
    } else {
        target = AlphaTarget(row, state);
    }
    // A plane of the wrong size, or one with nothing to apply to, is skipped.
    if ((dataBytes != planeBytes && dataBytes != 2 * planeBytes) || (!target && !fourBit)) {
        if (dataBytes > bytesLeft) {
            *ended = 1;
            return 1;
        }
        HostSeek(file, static_cast<std::int64_t>(dataBytes), HOST_SEEK_CURRENT);
        return 1;
    }
    if (dataBytes > bytesLeft)
        return 0;
    // Image plane and mask plane: only the mask counts.
    if (dataBytes == 2 * planeBytes)
        HostSeek(file, static_cast<std::int64_t>(planeBytes), HOST_SEEK_CURRENT);
    std::int64_t maskStart = Position(file);

    if (row.depth == 1) {
        // The mask gives the 8-bit image its pen, then the 4-bit image its own;
        // either may be missing. ApplyBitMask may stop before the plane's end.
        if (target)
            ApplyBitMask(file, target, 8, MASK_LAYOUT_MAC);
        if (fourBit) {
            HostSeek(file, maskStart, HOST_SEEK_START);
            ApplyBitMask(file, fourBit, 4, MASK_LAYOUT_MAC);
        }
    } else {
        auto* words = reinterpret_cast<std::uint32_t*>(target->pixels);
        const std::uint64_t count = std::min(std::uint64_t(target->width) * std::uint64_t(target->height), planeBytes);
        for (std::uint64_t i = 0; i < count; ++i)
            words[i] = std::uint32_t{ReadByte(file)} << 24 | (words[i] & 0x00FFFFFFu);
    }
    HostSeek(file, maskStart + static_cast<std::int64_t>(planeBytes), HOST_SEEK_START);
    return 1;
}

// One walk over the entries from position 8. Pass 1 makes the images, pass 2
// applies the masks; each skips what the other handles.
PassEnd WalkEntries(HostFile* file, int pass, IcnsReadState* state)
{
    HostSeek(file, ICNS_HEADER_SIZE, HOST_SEEK_START);
    // Every turn either ends the walk or moves at least one entry header on.
    for (;;) {
        if (HostEof(file))
            return PassEnd::Done;
        std::uint8_t typeBytes[4];
        // One to three bytes after the last entry are no entry: the file is cut.
        if (!ReadExactly(file, typeBytes, 4))
            return PassEnd::Failed;
        std::uint32_t type = LoadBE32(typeBytes);
        std::uint32_t length = ReadBE32(file);
        // A length below the header's own would step backwards: the entries
        // end here, and the images read so far stand.
        if (length < ICNS_ENTRY_HEADER_SIZE)
            return PassEnd::Done;
        std::uint64_t dataBytes = std::uint64_t{length} - ICNS_ENTRY_HEADER_SIZE;
        const std::uint64_t bytesLeft = BytesLeft(file, std::uint64_t(state->fileSize));
        const auto dataStart = static_cast<std::int64_t>(std::uint64_t(state->fileSize) - bytesLeft);

        int rowIndex = FindTypeRow(type);
        const IcnsTypeRow* row = rowIndex >= 0 ? &IcnsTypeTable[rowIndex] : nullptr;
        bool ours = row && (pass == 1 ? !row->mask : row->mask);
        if (!ours) {
            // A skip past the end of the file: the entries end here.
            if (dataBytes > bytesLeft)
                return PassEnd::Done;
            HostSeek(file, static_cast<std::int64_t>(dataBytes), HOST_SEEK_CURRENT);
            continue;
        }
        if (pass == 2) {
            int ended = 0;
            if (!ReadMaskEntry(file, *row, dataBytes, bytesLeft, state, &ended))
                return PassEnd::Failed;
            if (ended)
                return PassEnd::Done;
            continue;
        }
        // Image data must be there in full: refuse before allocating for it.
        if (dataBytes > bytesLeft)
            return PassEnd::Failed;
        int ok = 0;
        if (row->depth == 4 || row->depth == 8)
            ok = ReadPaletteEntry(file, *row, dataBytes, state);
        else if (row->depth == 24)
            ok = ReadRunLengthEntry(file, rowIndex, dataBytes, state);
        else
            ok = ReadCompressedEntry(file, dataBytes, state);
        if (!ok)
            return PassEnd::Failed;
        // Readers that stop short of the data's end leave the file where the
        // next entry starts all the same.
        HostSeek(file, dataStart + static_cast<std::int64_t>(dataBytes), HOST_SEEK_START);
    }
}

}  // namespace

int ReadIcns(const char* /*name*/, HostFile* file, IconHandle* icon)
{
    IcnsReadState state{};
    state.icon = icon;
    state.fileSize = FileSize(file);
    // The walk ends at the same entry in both passes: what ends pass 1 (the
    // file's end, a short length, a skip past the end) ends pass 2 there too.
    if (WalkEntries(file, 1, &state) != PassEnd::Done)
        return 0;
    if (WalkEntries(file, 2, &state) != PassEnd::Done)
        return 0;
    return icon->images ? 1 : 0;
}

// Run-length channels (icns_layout.h): red, green and blue follow one another
// with nothing to realign them.
void DecodeIcnsRle(const std::uint8_t* data, std::uint64_t dataBytes, IconImage* image)
{
    auto* words = reinterpret_cast<std::uint32_t*>(image->pixels);
    std::uint64_t count = std::uint64_t(image->width) * std::uint64_t(image->height);
    if (!data)
        dataBytes = 0;
    std::uint64_t o = 0;
    // The largest of these entries opens with four zero bytes; any of them
    // may, and four zeros are never where a real stream would begin them.
    if (dataBytes >= ICNS_RLE_ZERO_PREFIX && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 0)
        o = ICNS_RLE_ZERO_PREFIX;
    for (const int shift : {16, 8, 0}) {
        std::uint32_t keep = ~(std::uint32_t{0xFF} << shift);
        std::uint64_t i = 0;
        while (i < count && o < dataBytes) {
            std::uint32_t control = data[o++];
            if (control < ICNS_RLE_FIRST_REPEAT) {
                std::uint64_t n = control + 1;
                while (n > 0 && i < count && o < dataBytes) {
                    words[i] = (words[i] & keep) | std::uint32_t{data[o++]} << shift;
                    ++i;
                    --n;
                }
            } else {
                if (o >= dataBytes)
                    break;                          // a repeat without its value
                std::uint32_t value = std::uint32_t{data[o++]} << shift;
                for (std::uint32_t n = control - ICNS_RLE_REPEAT_BIAS; n > 0 && i < count; --n) {
                    words[i] = (words[i] & keep) | value;
                    ++i;
                }
            }
        }
    }
    for (std::uint64_t i = 0; i < count; ++i)
        words[i] |= 0xFF000000u;
}
