// macOS icon family writer (layout in icns_layout.h). Entries follow the
// order of the type table; each row with a source depth is written from the
// first image of its size and that depth:
//   1-bit "#" rows   from 8-bit images: the mask plane twice (image, then mask),
//                    one bit per pixel, most significant bit leftmost, 1 = opaque
//   8-bit rows       from 8-bit images: one system-palette index per pixel
//   run-length rows  from 32-bit images: red, green and blue channel streams
//                    ("it32" first has four zero bytes)
//   8-bit mask rows  from 32-bit images: one alpha byte per pixel
//   "icp6", "ic08" to "ic10" from 32-bit images: a complete PNG file
// Rows of 4-bit images, "icp4", "icp5" and "ic07" (whose sizes the
// run-length rows cover), and the read-only rows are never written. Lengths
// are written as 0 and patched once the data is out.
#include "formats/macos/macos_icon.h"

#include "formats/amiga/png_icon.h"
#include "host/host_calls.h"
#include "io/byte_io.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

// Run-length packets: at most 128 literal values, runs of 3 to 130.
static constexpr std::uint32_t ICNS_RLE_MAX_LITERAL = 128;
static constexpr std::uint32_t ICNS_RLE_MIN_RUN = 3;
static constexpr std::uint32_t ICNS_RLE_MAX_RUN = 130;
// Four zero bytes open the run-length data of images whose RGBA bytes reach
// 64 KiB, which "it32" alone is; readers recognise the large entry by them.
static constexpr std::uint64_t ICNS_RLE_PREFIX_FROM = 65536;
// "tmpbuf" holds each pixel as R, G, B, A; "datatemp" the encoded channels.
static constexpr std::uint64_t ICNS_RGBA_BYTES_PER_PIXEL = 4;
static constexpr std::uint64_t ICNS_RLE_OUTPUT_BYTES_PER_PIXEL = 5;

// Largest plane of 8-bit indices written: 48 x 48.
static constexpr std::uint32_t ICNS_MAX_INDEX_PLANE = 48 * 48;

static constexpr std::uint32_t ICNS_COLOUR_MASK = 0x00FFFFFF;

static_assert(ICNS_RLE_MIN_RUN + ICNS_RLE_REPEAT_BIAS == ICNS_RLE_FIRST_REPEAT);
static_assert(ICNS_RLE_MAX_RUN + ICNS_RLE_REPEAT_BIAS == 0xFF);

enum class IcnsEntryKind {
    None,
    MaskBits,       // "#": two 1-bit planes from an 8-bit image
    Indices,        // 8-bit system-palette indices
    RunLength,      // 24-bit run-length RGB from a 32-bit image
    Alpha,          // 8-bit alpha plane from a 32-bit image
    Png,            // complete PNG file from a 32-bit image
};

// The kind of data of a row the writer writes.
static constexpr IcnsEntryKind EntryKind(const IcnsTypeRow& row)
{
    if (row.mask)
        return row.depth == 1 ? IcnsEntryKind::MaskBits : IcnsEntryKind::Alpha;
    switch (row.depth) {
    case 8:
        return IcnsEntryKind::Indices;
    case 24:
        return IcnsEntryKind::RunLength;
    case 32:
        return IcnsEntryKind::Png;
    default:
        return IcnsEntryKind::None;
    }
}

// The depth of the images each kind of data is made from: index bytes or
// pixel words.
static constexpr std::int32_t SourceDepth(IcnsEntryKind kind)
{
    return kind == IcnsEntryKind::MaskBits || kind == IcnsEntryKind::Indices ? 8 : 32;
}

// Every row the writer writes reads images of the depth its kind of data is
// made from. The rows it leaves out are the 4-bit ones and the 32-bit ones
// whose side a run-length (24-bit) row covers. 8-bit index planes stay within
// ICNS_MAX_INDEX_PLANE; only the 128-pixel run-length row reaches the prefix.
static constexpr bool WrittenRowsAsPlanned()
{
    int unplanned = 0;
    for (const IcnsTypeRow& row : IcnsTypeTable) {
        bool runLengthSibling = false;
        for (const IcnsTypeRow& other : IcnsTypeTable)
            runLengthSibling = runLengthSibling || (other.depth == 24 && other.width == row.width);
        bool leftOut = row.depth == 4 || row.generation != ICNS_CLASSIC || row.width != row.height ||
                       (!row.mask && (row.depth == 1 || (row.depth == 32 && runLengthSibling)));
        unplanned += (row.writtenFrom == 0) != leftOut;
        unplanned += row.writtenFrom != 0 && row.writtenFrom != SourceDepth(EntryKind(row));
        const std::uint64_t pixels = std::uint64_t(row.width) * std::uint64_t(row.height);
        unplanned += EntryKind(row) == IcnsEntryKind::Indices && pixels > ICNS_MAX_INDEX_PLANE;
        bool prefixed = 4 * pixels >= ICNS_RLE_PREFIX_FROM;
        unplanned += row.depth == 24 && prefixed != (row.type == FourCc('i', 't', '3', '2'));
    }
    return unplanned == 0;
}
static_assert(WrittenRowsAsPlanned());

static std::uint64_t PixelCount(const IconImage* image)
{
    return static_cast<std::uint64_t>(image->width) * static_cast<std::uint64_t>(image->height);
}

static std::uint32_t PixelWord(const IconImage* image, std::uint64_t index)
{
    std::uint32_t word;
    std::memcpy(&word, image->pixels + index * 4, sizeof word);
    return word;
}

// "#": the bitmap plane and the mask plane are the same bits, 1 wherever the
// pixel is not the transparent pen. The side is a multiple of 8, so bytes
// never straddle rows.
static int WriteMaskBits(HostFile* file, const IconImage* image)
{
    std::uint64_t pixels = PixelCount(image);
    for (int plane = 0; plane < 2; ++plane) {
        for (std::uint64_t first = 0; first < pixels; first += 8) {
            std::uint32_t bits = 0;
            for (std::uint64_t i = first; i < std::min(first + 8, pixels); ++i) {
                int opaque = image->transparentPen < 0 || image->pixels[i] != image->transparentPen;
                bits |= static_cast<std::uint32_t>(opaque) << (7 - (i - first));
            }
            HostPutC(file, static_cast<std::int32_t>(bits));
        }
    }
    return 1;
}

static std::uint32_t SquaredDistance(std::uint32_t a, std::uint32_t b)
{
    std::uint32_t sum = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        auto d = static_cast<std::int32_t>(std::uint8_t(a >> shift)) - static_cast<std::int32_t>(std::uint8_t(b >> shift));
        sum += static_cast<std::uint32_t>(d * d);
    }
    return sum;
}

// The system palette entry of this colour, or else the nearest one; the
// lowest index wins a tie. Its 256 colours are distinct, so an image that
// already uses the system palette keeps its indices.
static std::uint8_t NearestSystemIndex(std::uint32_t colour)
{
    std::uint32_t best = 0;
    std::uint32_t bestDistance = SquaredDistance(colour, MacPalette256[0]);
    for (std::uint32_t i = 1; i < ICON_PALETTE_ENTRIES && bestDistance != 0; ++i) {
        std::uint32_t distance = SquaredDistance(colour, MacPalette256[i]);
        if (distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return static_cast<std::uint8_t>(best);
}

// 8-bit entries index the system palette, whatever palette the image has:
// each index in use is mapped to the system entry of its colour.
static int WriteIndices(HostFile* file, const IconImage* image)
{
    std::uint64_t pixels = PixelCount(image);
    if (pixels > ICNS_MAX_INDEX_PLANE)
        return 0;
    std::int32_t mapped[ICON_PALETTE_ENTRIES];
    for (std::int32_t& entry : mapped)
        entry = -1;
    std::uint8_t plane[ICNS_MAX_INDEX_PLANE];
    std::transform(image->pixels, image->pixels + pixels, plane, [&](std::uint8_t index) {
        if (mapped[index] == -1)
            mapped[index] = NearestSystemIndex(image->palette[index] & ICNS_COLOUR_MASK);
        return static_cast<std::uint8_t>(mapped[index]);
    });
    auto length = static_cast<std::int64_t>(pixels);
    return HostWrite(file, plane, length) == length;
}

static int WriteAlpha(HostFile* file, const IconImage* image)
{
    std::uint64_t pixels = PixelCount(image);
    for (std::uint64_t i = 0; i < pixels; ++i)
        HostPutC(file, static_cast<std::int32_t>(PixelWord(image, i) >> 24));
    return 1;
}

// Encodes the three channels into output, which holds capacity bytes and is
// zero-filled (the four-byte prefix stays zero). Returns the encoded length,
// or 0 if the channels might not fit.
static std::uint64_t EncodeChannels(const std::uint8_t* rgba, std::uint64_t pixels, std::uint8_t* output,
                                    std::uint64_t capacity)
{
    std::uint64_t position = pixels * ICNS_RGBA_BYTES_PER_PIXEL >= ICNS_RLE_PREFIX_FROM ? ICNS_RLE_ZERO_PREFIX : 0;
    for (std::uint64_t channel = 0; channel < 3; ++channel) {
        // The encoder's worst case; 5 bytes a pixel leave room for all three.
        if (capacity - position < pixels + pixels / ICNS_RLE_MAX_LITERAL + 2)
            return 0;
        EncodeIcnsRle(rgba + channel, pixels, output, &position);
    }
    return position;
}

static int WriteRunLengthData(HostFile* file, const IconImage* image, std::uint8_t* rgba)
{
    std::uint64_t pixels = PixelCount(image);
    for (std::uint64_t i = 0; i < pixels; ++i) {
        std::uint32_t word = PixelWord(image, i);   // 0xAARRGGBB
        rgba[i * 4 + 0] = static_cast<std::uint8_t>(word >> 16);
        rgba[i * 4 + 1] = static_cast<std::uint8_t>(word >> 8);
        rgba[i * 4 + 2] = static_cast<std::uint8_t>(word);
        rgba[i * 4 + 3] = static_cast<std::uint8_t>(word >> 24);
    }
    std::uint64_t capacity = pixels * ICNS_RLE_OUTPUT_BYTES_PER_PIXEL;
    auto* output = static_cast<std::uint8_t*>(HostAllocMem(capacity, 1, "datatemp"));
    if (!output)
        return 0;
    std::uint64_t length = EncodeChannels(rgba, pixels, output, capacity);
    int ok = length != 0 && HostWrite(file, output, static_cast<std::int64_t>(length)) ==
                                static_cast<std::int64_t>(length);
    HostFreeMem(output);
    return ok;
}

static int WriteRunLength(HostFile* file, const IconImage* image)
{
    std::uint64_t bytes = PixelCount(image) * ICNS_RGBA_BYTES_PER_PIXEL;
    auto* rgba = static_cast<std::uint8_t*>(HostAllocMem(bytes, 0, "tmpbuf"));
    if (!rgba)
        return 0;
    int ok = WriteRunLengthData(file, image, rgba);
    HostFreeMem(rgba);
    return ok;
}

static int WriteEntryData(HostFile* file, IcnsEntryKind kind, const IconImage* image)
{
    switch (kind) {
    case IcnsEntryKind::MaskBits:
        return WriteMaskBits(file, image);
    case IcnsEntryKind::Indices:
        return WriteIndices(file, image);
    case IcnsEntryKind::RunLength:
        return WriteRunLength(file, image);
    case IcnsEntryKind::Alpha:
        return WriteAlpha(file, image);
    case IcnsEntryKind::Png:
        return WritePngImage(file, image);
    case IcnsEntryKind::None:
        break;
    }
    return 0;
}

// One entry: header with a zero length, the data, then the length patched.
static int WriteEntry(HostFile* file, const IcnsTypeRow& row, IcnsEntryKind kind, const IconImage* image)
{
    std::int64_t start = HostSeek(file, 0, HOST_SEEK_CURRENT);
    WriteBE32(file, row.type);
    WriteBE32(file, 0);
    if (!WriteEntryData(file, kind, image))
        return 0;
    // An entry holds at most a 1024 x 1024 picture: its length fits 32 bits.
    std::int64_t end = HostSeek(file, 0, HOST_SEEK_CURRENT);
    PatchBE32(file, start + ICNS_ENTRY_LENGTH, static_cast<std::uint32_t>(end - start));
    return 1;
}

int WriteIcns(HostFile* file, IconImage* first, const IconAttributes* /*attributes*/, std::uint32_t /*compress*/,
              int /*variant*/)
{
    WriteBE32(file, ICNS_MAGIC);
    WriteBE32(file, 0);                                 // file length, patched last

    for (const IcnsTypeRow& row : IcnsTypeTable) {
        if (row.writtenFrom == 0)
            continue;
        // A family read with its selected images lists them too: the entry
        // is made from the normal image when there is one.
        const IconImage* image = FindIconImage(row.width, row.height, row.writtenFrom, first);
        const IconImage* normal = image;
        while (normal && (normal->flags & IMAGEFLAG_SELECTED))
            normal = FindIconImage(row.width, row.height, row.writtenFrom, normal->next);
        image = normal ? normal : image;
        if (image && !WriteEntry(file, row, EntryKind(row), image))
            return 0;
    }

    std::int64_t size = HostSeek(file, 0, HOST_SEEK_CURRENT);
    // No entry written: the file stays the bare header.
    if (size <= std::int64_t{ICNS_HEADER_SIZE} || size > std::int64_t{UINT32_MAX})
        return 0;
    PatchBE32(file, ICNS_FILE_LENGTH, static_cast<std::uint32_t>(size));
    return 1;
}

// Appends one packet of the pending values.
static void EmitLiteral(const std::uint8_t* pending, std::uint32_t n, std::uint8_t* output, std::uint64_t* position)
{
    output[(*position)++] = static_cast<std::uint8_t>(n - 1);
    std::memcpy(output + *position, pending, n);
    *position += n;
}

static void EmitRun(std::uint8_t value, std::uint32_t n, std::uint8_t* output, std::uint64_t* position)
{
    output[(*position)++] = static_cast<std::uint8_t>(n + ICNS_RLE_REPEAT_BIAS);
    output[(*position)++] = value;
}

// A run starts once three equal values are pending; a literal packet that
// reaches 128 values goes out whole, without looking for a run at its end.
void EncodeIcnsRle(const std::uint8_t* values, std::uint64_t count, std::uint8_t* output, std::uint64_t* position)
{
    if (count == 0)
        return;
    std::uint8_t pending[ICNS_RLE_MAX_LITERAL];
    pending[0] = values[0];
    std::uint32_t n = 1;
    int run = 0;
    for (std::uint64_t i = 1; i < count; ++i) {
        std::uint8_t x = values[i * 4];
        if (run) {
            // A run's pending values all equal pending[0]; only it is kept.
            if (n < ICNS_RLE_MAX_RUN && x == pending[0]) {
                ++n;
                continue;
            }
            EmitRun(pending[0], n, output, position);
            pending[0] = x;
            n = 1;
            run = 0;
        } else if (n < ICNS_RLE_MIN_RUN) {
            pending[n++] = x;
            run = n == ICNS_RLE_MIN_RUN && pending[0] == x && pending[1] == x;
        } else if (n == ICNS_RLE_MAX_LITERAL) {
            EmitLiteral(pending, n, output, position);
            pending[0] = x;
            n = 1;
        } else if (x == pending[n - 1] && x == pending[n - 2]) {
            EmitLiteral(pending, n - 2, output, position);
            pending[0] = x;
            n = ICNS_RLE_MIN_RUN;
            run = 1;
        } else {
            pending[n++] = x;
        }
    }
    if (run)
        EmitRun(pending[0], n, output, position);
    else
        EmitLiteral(pending, n, output, position);
}
