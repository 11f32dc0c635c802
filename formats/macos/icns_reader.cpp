// The macOS icon family reader (layout in icns_layout.h). The caller has
// read the magic; the file's length field is not trusted, the entries are
// walked instead, their type codes compared byte for byte.
//
// Four walks over the entries: the images of each generation in turn, in
// file order within a walk, each 32-bit image of a size and state that no
// image before it has; then the masks, laid over the images whatever the
// order of the entries. A nested family of selected images is walked inside
// each walk of the outer one. Every walk ends at the same entry: the first
// whose data runs past its family's end.
#include "formats/macos/macos_icon.h"

#include "host/host_calls.h"
#include "icon/decode_helpers.h"
#include "io/byte_io.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>

namespace {

enum class WalkEnd { Done, Failed };

// The walks: one for the images of each generation, then the masks.
constexpr int WALK_MASKS = ICNS_DOUBLE_DENSITY + 1;

// The depths entries look for in the list: the 8- and 4-bit images a 1-bit
// mask applies to, and the 32-bit image that makes a later entry of its size
// and state redundant.
constexpr std::int32_t IndexedDepths[] = {8, 4, 32};
constexpr int INDEXED_DEPTH_COUNT = sizeof IndexedDepths / sizeof IndexedDepths[0];

struct IcnsReadState {
    IconHandle* icon;
    IconImage* tail;
    std::uint64_t fileSize;
    // The first image made from each run-length row in each state: the only
    // images an alpha plane applies to (a PNG image of the same size keeps
    // its own).
    IconImage* runLengthImage[2][ICNS_TYPE_COUNT];
    // Per state, row and indexed depth, the first image in the list of the
    // row's size and that depth, from whichever entry it came: what a search
    // of the list from its start finds. Kept as images are appended, so that
    // many entries do not search a long list again and again.
    IconImage* firstImage[2][ICNS_TYPE_COUNT][INDEXED_DEPTH_COUNT];
};

// One entry: where its data starts and how long it is, the family's state.
struct IcnsEntry {
    std::uint64_t dataStart;
    std::uint64_t dataBytes;
    int selected;
};

int FindTypeRow(std::uint32_t type)
{
    for (int row = 0; row < ICNS_TYPE_COUNT; ++row) {
        if (IcnsTypeTable[row].type == type)
            return row;
    }
    return -1;
}

int WalkOf(const IcnsTypeRow& row)
{
    return row.mask ? WALK_MASKS : row.generation;
}

int IndexedDepthSlot(std::int32_t depth)
{
    for (int slot = 0; slot < INDEXED_DEPTH_COUNT; ++slot) {
        if (IndexedDepths[slot] == depth)
            return slot;
    }
    return -1;
}

// Notes an image just appended to the list under every row of its size.
void IndexImage(IconImage* image, IcnsReadState* state)
{
    const int slot = IndexedDepthSlot(image->depth);
    if (slot < 0)
        return;
    const int selected = (image->flags & IMAGEFLAG_SELECTED) != 0;
    for (int row = 0; row < ICNS_TYPE_COUNT; ++row) {
        IconImage*& first = state->firstImage[selected][row][slot];
        if (!first && IcnsTypeTable[row].width == image->width && IcnsTypeTable[row].height == image->height)
            first = image;
    }
}

// The first image in the list of the row's size, this depth (one of
// IndexedDepths) and this state, or null.
IconImage* FindImage(int rowIndex, std::int32_t depth, int selected, const IcnsReadState* state)
{
    return state->firstImage[selected != 0][rowIndex][IndexedDepthSlot(depth)];
}

IconImage* NewImage(const IcnsTypeRow& row, std::int32_t depth, const IcnsEntry& entry, IcnsReadState* state)
{
    return NewIconImage(row.width, row.height, depth, -1, entry.selected, state->icon, &state->tail);
}

// Bytes of a palette or mask plane of the row: width x height x depth / 8.
std::uint64_t PlaneBytes(const IcnsTypeRow& row)
{
    return std::uint64_t(row.width) * std::uint64_t(row.height) * std::uint64_t(row.depth) / 8;
}

// 1-, 4- and 8-bit palette indices, straight into the pixel buffer.
int ReadPaletteEntry(HostFile* file, const IcnsTypeRow& row, const IcnsEntry& entry, IcnsReadState* state)
{
    if (entry.dataBytes != PlaneBytes(row))
        return 0;
    IconImage* image = NewImage(row, row.depth, entry, state);
    if (!image || !ReadExactly(file, image->pixels, entry.dataBytes))
        return 0;
    // Pixels packed from the high bits on; rows have no padding at these
    // widths, so the whole plane unpacks as one row. Walking from the end
    // keeps every packed byte ahead of the pixels written.
    const auto depth = static_cast<std::uint64_t>(row.depth);
    const std::uint32_t valueMask = (1u << depth) - 1;
    for (std::uint64_t k = std::uint64_t(row.width) * std::uint64_t(row.height); depth < 8 && k-- > 0;) {
        const std::uint64_t bit = k * depth;
        image->pixels[k] = static_cast<std::uint8_t>(image->pixels[bit / 8] >> (8 - depth - bit % 8) & valueMask);
    }
    if (row.depth == 1)
        std::copy(std::begin(MacPalette2), std::end(MacPalette2), image->palette);
    else if (row.depth == 4)
        std::copy(std::begin(MacPalette16), std::end(MacPalette16), image->palette);
    else
        std::copy(std::begin(MacPalette256), std::end(MacPalette256), image->palette);
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

// The entry's data in a block of its own; null when it cannot be had or read.
std::uint8_t* ReadEntryData(HostFile* file, const IcnsEntry& entry)
{
    auto* data = static_cast<std::uint8_t*>(HostAllocMem(entry.dataBytes, 0, "buf"));
    if (data && !ReadExactly(file, data, entry.dataBytes)) {
        HostFreeMem(data);
        return nullptr;
    }
    return data;
}

int ReadRunLengthEntry(HostFile* file, int rowIndex, const IcnsEntry& entry, IcnsReadState* state)
{
    const IcnsTypeRow& row = IcnsTypeTable[rowIndex];
    IconImage* image = NewImage(row, 32, entry, state);
    if (!image)
        return 0;
    IconImage*& first = state->runLengthImage[entry.selected][rowIndex];
    if (!first)
        first = image;
    if (entry.dataBytes == 0) {
        DecodeIcnsRle(nullptr, 0, image, ICNS_RGB_CHANNELS);
        return 1;
    }
    std::uint8_t* data = ReadEntryData(file, entry);
    if (!data)
        return 0;
    if (entry.dataBytes == 4 * std::uint64_t(row.width) * std::uint64_t(row.height))
        DecodeRawArgb(data, image);
    else
        DecodeIcnsRle(data, entry.dataBytes, image, ICNS_RGB_CHANNELS);
    HostFreeMem(data);
    return 1;
}

// A PNG or JPEG 2000 file, or "ARGB" and four run-length channels. Data that
// is no picture gives no image and is stepped over, as an unknown entry is.
int ReadPictureEntry(HostFile* file, const IcnsTypeRow& row, const IcnsEntry& entry, IcnsReadState* state)
{
    if (entry.dataBytes < sizeof ICNS_ARGB_MAGIC)
        return 1;
    std::uint8_t* data = ReadEntryData(file, entry);
    if (!data)
        return 0;
    int ok = 1;
    if (LoadBE32(data) == ICNS_ARGB_MAGIC) {
        IconImage* image = NewImage(row, 32, entry, state);
        if (image)
            DecodeIcnsRle(data + sizeof ICNS_ARGB_MAGIC, entry.dataBytes - sizeof ICNS_ARGB_MAGIC, image,
                          ICNS_ARGB_CHANNELS);
        ok = image != nullptr;
    } else {
        // The caller bounded dataBytes by the file, which its 32-bit length
        // field keeps below 4 GiB.
        ok = DecodeEmbeddedPng(data, static_cast<std::uint32_t>(entry.dataBytes), "bin", entry.selected, state->icon,
                               &state->tail) != 0;
    }
    HostFreeMem(data);
    return ok;
}

// The image that an 8-bit alpha plane of this row applies to: the first one
// made from the run-length row of the same size and state.
IconImage* AlphaTarget(const IcnsTypeRow& maskRow, int selected, const IcnsReadState* state)
{
    for (int row = 0; row < ICNS_TYPE_COUNT; ++row) {
        if (IcnsTypeTable[row].depth == 24 && IcnsTypeTable[row].width == maskRow.width)
            return state->runLengthImage[selected][row];
    }
    return nullptr;
}

// One mask entry, its data in the file. Returns 0 when the load fails, else
// 1; a plane of the wrong size, or one with nothing to apply to, is skipped.
int ReadMaskEntry(HostFile* file, int rowIndex, const IcnsEntry& entry, IcnsReadState* state)
{
    const IcnsTypeRow& row = IcnsTypeTable[rowIndex];
    const std::uint64_t planeBytes = PlaneBytes(row);
    IconImage* target = nullptr;
    IconImage* fourBit = nullptr;
    if (row.depth == 1) {
        target = FindImage(rowIndex, 8, entry.selected, state);
        fourBit = FindImage(rowIndex, 4, entry.selected, state);
    } else {
        target = AlphaTarget(row, entry.selected, state);
    }
    if ((entry.dataBytes != planeBytes && entry.dataBytes != 2 * planeBytes) || (!target && !fourBit))
        return 1;
    // Image plane and mask plane: only the mask counts.
    const auto maskStart = static_cast<std::int64_t>(entry.dataStart + entry.dataBytes - planeBytes);
    HostSeek(file, maskStart, HOST_SEEK_START);
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
    return 1;
}

// What an image walk does with one entry of a type in the table.
int ReadImageEntry(HostFile* file, int rowIndex, const IcnsEntry& entry, IcnsReadState* state)
{
    const IcnsTypeRow& row = IcnsTypeTable[rowIndex];
    if (row.depth < 24)
        return ReadPaletteEntry(file, row, entry, state);
    if (FindImage(rowIndex, 32, entry.selected, state))
        return 1;                                   // an entry before gave this size and state
    if (row.depth == 24)
        return ReadRunLengthEntry(file, rowIndex, entry, state);
    return ReadPictureEntry(file, row, entry, state);
}

// What one walk does with one entry of a type in the table. The images an
// entry appends are indexed for the entries after it.
int ReadEntry(HostFile* file, int walk, int rowIndex, const IcnsEntry& entry, IcnsReadState* state)
{
    if (walk == WALK_MASKS)
        return ReadMaskEntry(file, rowIndex, entry, state);
    IconImage* last = state->tail;
    const int ok = ReadImageEntry(file, rowIndex, entry, state);
    for (IconImage* image = last ? last->next : state->icon->images; image; image = image->next)
        IndexImage(image, state);
    return ok;
}

// One walk over the entries of the family from begin to end.
WalkEnd WalkFamily(HostFile* file, int walk, std::uint64_t begin, std::uint64_t end, int selected,
                   IcnsReadState* state)
{
    // Every turn either ends the walk or moves at least one entry header on.
    for (std::uint64_t at = begin; at < end;) {
        // One to three bytes after the last entry of the file are no entry:
        // the file is cut. Four to seven are a type and a cut length.
        if (end - at < ICNS_ENTRY_LENGTH)
            return selected ? WalkEnd::Done : WalkEnd::Failed;
        if (end - at < ICNS_ENTRY_HEADER_SIZE)
            return WalkEnd::Done;
        HostSeek(file, static_cast<std::int64_t>(at), HOST_SEEK_START);
        const std::uint32_t type = ReadBE32(file);
        const std::uint32_t length = ReadBE32(file);
        // A length below the header's own would step backwards, and data
        // past the family's end is not there: the entries end here, and the
        // images read so far stand, those of a nested family cut short too.
        if (length < ICNS_ENTRY_HEADER_SIZE)
            return WalkEnd::Done;
        const std::uint64_t there = std::min<std::uint64_t>(length, end - at);
        const IcnsEntry entry{at + ICNS_ENTRY_HEADER_SIZE, there - ICNS_ENTRY_HEADER_SIZE, selected};
        at += there;
        if (type == ICNS_SELECTED_FAMILY && !selected &&
            WalkFamily(file, walk, entry.dataStart, at, 1, state) == WalkEnd::Failed)
            return WalkEnd::Failed;
        if (there < length)
            return WalkEnd::Done;
        const int rowIndex = FindTypeRow(type);
        if (rowIndex >= 0 && WalkOf(IcnsTypeTable[rowIndex]) == walk && !ReadEntry(file, walk, rowIndex, entry, state))
            return WalkEnd::Failed;
    }
    return WalkEnd::Done;
}

}  // namespace

int ReadIcns(const char* /*name*/, HostFile* file, IconHandle* icon)
{
    IcnsReadState state{};
    state.icon = icon;
    const std::int64_t fileSize = FileSize(file);
    if (fileSize < 0)
        return 0;
    state.fileSize = static_cast<std::uint64_t>(fileSize);
    for (int walk = ICNS_CLASSIC; walk <= WALK_MASKS; ++walk) {
        if (WalkFamily(file, walk, ICNS_HEADER_SIZE, state.fileSize, 0, &state) == WalkEnd::Failed)
            return 0;
    }
    return icon->images ? 1 : 0;
}

// Run-length channels (icns_layout.h), one after another with nothing to
// realign them: red, green and blue of an opaque image, or alpha, red,
// green and blue.
void DecodeIcnsRle(const std::uint8_t* data, std::uint64_t dataBytes, IconImage* image, int channels)
{
    auto* words = reinterpret_cast<std::uint32_t*>(image->pixels);
    std::uint64_t count = std::uint64_t(image->width) * std::uint64_t(image->height);
    if (!data)
        dataBytes = 0;
    std::uint64_t o = 0;
    // The largest of the colour entries opens with four zero bytes; any of
    // them may, and four zeros are never where a real stream would begin them.
    if (channels == ICNS_RGB_CHANNELS && dataBytes >= ICNS_RLE_ZERO_PREFIX && data[0] == 0 && data[1] == 0 &&
        data[2] == 0 && data[3] == 0)
        o = ICNS_RLE_ZERO_PREFIX;
    for (int channel = 0; channel < channels; ++channel) {
        const int shift = 8 * (channels - 1 - channel);
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
    if (channels == ICNS_RGB_CHANNELS) {
        for (std::uint64_t i = 0; i < count; ++i)
            words[i] |= 0xFF000000u;
    }
}
