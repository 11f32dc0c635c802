// Writes the "FORM" "ICON" that follows a DiskObject (layout in
// icon_chunk_layout.h): "FACE" with the icon size, then the normal image and
// its selected twin as "IMAG" palette chunks or as "ARGB" true-colour chunks.
// What each variant takes is FORM_IMAG_CAPACITY or
// FORM_ARGB_CAPACITY.
//
// Values written: "FACE" flags 0 with palette images and 2 with true-colour
// images, aspect 0, palette size 1 with true-colour images; "IMAG" colours
// 2^depth - 1, pen 0 when there is none; "ARGB" header word 1, reserved 0.
#include "formats/amiga/amiga_icon.h"
#include "formats/amiga/icon_chunk_layout.h"

#include "host/host_calls.h"
#include "io/byte_io.h"
#include "plugin/format_table.h"

#include <algorithm>
#include <cstring>

// The 32-bit length field after a chunk id.
static constexpr std::int64_t ICON_CHUNK_LENGTH_SIZE = ICON_CHUNK_HEADER_SIZE - ICON_CHUNK_LENGTH;
static constexpr std::uint8_t ICON_FACE_FLAGS_PALETTE = 0;
static constexpr std::uint8_t ICON_FACE_FLAGS_TRUE_COLOUR = 2;
static constexpr std::uint32_t ICON_FACE_PALETTE_SIZE_TRUE_COLOUR = 1;

static constexpr std::int32_t ICON_PEN_NONE_BYTE = 0;
static constexpr std::int32_t ICON_PEN_MAX = 255;
static constexpr std::uint32_t ICON_RGB_BYTES = 3;

static constexpr std::uint32_t ICON_ARGB_HEADER_VALUE = 1;
static constexpr std::uint64_t ICON_ARGB_BYTES_PER_PIXEL = 4;

// Palette entries are 0x00RRGGBB; only red, green and blue are stored.
static constexpr std::uint32_t ICON_RGB_MASK = 0x00FFFFFF;

// ---- Bit-packed run-length stream -------------------------------------------

// Control code 0..127: code + 1 literal values follow; 129..255: one value
// follows, repeated 257 - code times. A portion holds at most 128 values.
static constexpr std::uint32_t RLE_MAX_PORTION = 128;
static constexpr std::uint32_t RLE_REPEAT_BASE = 257;
static constexpr int RLE_CODE_BITS = 8;
// A run is worth a repeat code in the middle of the data when it spans more
// than this many bits, and at the end when all but one of its values do more
// than RLE_END_RUN_BITS.
static constexpr std::uint32_t RLE_MIDDLE_RUN_BITS = 16;
static constexpr std::uint32_t RLE_END_RUN_BITS = 8;

namespace {

// Bits go out most significant first into a block of capacity bytes. Output
// that would pass the end is dropped and remembered: such a stream is longer
// than the raw values and is not used.
struct BitWriter {
    std::uint8_t* out;
    std::uint32_t capacity;
    std::uint32_t used;
    std::uint32_t buffer;       // at most 7 bits held between calls
    int held;
    int overflowed;
};

struct RlePacker {
    const std::uint8_t* values;
    std::uint32_t count;
    int bits;
    std::uint8_t mask;
    BitWriter writer;
};

}  // namespace

static void EmitByte(BitWriter* writer, std::uint32_t byte)
{
    if (writer->used < writer->capacity)
        writer->out[writer->used++] = static_cast<std::uint8_t>(byte);
    else
        writer->overflowed = 1;
}

// Puts the low n (1..8) bits of value.
static void PutBits(BitWriter* writer, std::uint32_t value, int n)
{
    writer->buffer = (writer->buffer << n) | (value & ((1u << n) - 1));
    writer->held += n;
    if (writer->held >= 8) {
        writer->held -= 8;
        EmitByte(writer, writer->buffer >> writer->held);
        writer->buffer &= (1u << writer->held) - 1;
    }
}

// Fills the last partial byte with 0 bits.
static void FinishBits(BitWriter* writer)
{
    if (writer->held > 0)
        EmitByte(writer, writer->buffer << (8 - writer->held));
    writer->held = 0;
    writer->buffer = 0;
}

static std::uint8_t ValueAt(const RlePacker& packer, std::uint32_t i)
{
    return packer.values[i] & packer.mask;
}

// count literal values from start, in portions of at most 128.
static void PutLiterals(RlePacker* packer, std::uint32_t start, std::uint32_t count)
{
    while (count > 0) {
        std::uint32_t portion = std::min(count, RLE_MAX_PORTION);
        PutBits(&packer->writer, portion - 1, RLE_CODE_BITS);
        for (std::uint32_t i = 0; i < portion; ++i)
            PutBits(&packer->writer, ValueAt(*packer, start + i), packer->bits);
        start += portion;
        count -= portion;
    }
}

// One repeat portion of count (2..128) copies of value.
static void PutRepeat(RlePacker* packer, std::uint8_t value, std::uint32_t count)
{
    PutBits(&packer->writer, RLE_REPEAT_BASE - count, RLE_CODE_BITS);
    PutBits(&packer->writer, value, packer->bits);
}

// The scan keeps lit values not yet written, followed by a run of run equal
// values ending just before pos. In the middle of the data a run spanning
// more than 16 bits is written as repeats (whatever is left of it under that
// becomes literals); a shorter one joins the literals. At the end, what is
// pending goes out as one literal portion when that is short enough and the
// run is not worth a repeat; otherwise portion by portion, deciding again
// after each.
static void PackValues(RlePacker* packer)
{
    const std::uint32_t n = packer->count;
    const std::uint32_t bits = static_cast<std::uint32_t>(packer->bits);
    if (n == 0)
        return;
    std::uint32_t pos = 1;
    std::uint32_t lit = 0;
    std::uint32_t run = 1;
    while (pos < n) {
        if (ValueAt(*packer, pos) == ValueAt(*packer, pos - 1)) {
            ++run;
        } else if (std::uint64_t{run} * bits > RLE_MIDDLE_RUN_BITS) {
            PutLiterals(packer, pos - run - lit, lit);
            std::uint8_t value = ValueAt(*packer, pos - 1);
            do {
                std::uint32_t portion = std::min(run, RLE_MAX_PORTION);
                PutRepeat(packer, value, portion);
                run -= portion;
            } while (std::uint64_t{run} * bits > RLE_MIDDLE_RUN_BITS);
            lit = run;
            run = 1;
        } else {
            lit += run;
            run = 1;
        }
        ++pos;
    }

    std::uint32_t start = n - run - lit;
    const std::uint8_t runValue = ValueAt(*packer, n - 1);
    while (lit + run > 0) {
        // Each turn writes at least one value, so the loop ends.
        if (lit + run <= RLE_MAX_PORTION && (run == 0 || (run - 1) * bits <= RLE_END_RUN_BITS)) {
            PutLiterals(packer, start, lit + run);
            return;
        }
        if (lit > 0) {
            std::uint32_t portion = std::min(lit, RLE_MAX_PORTION);
            PutLiterals(packer, start, portion);
            start += portion;
            lit -= portion;
        } else {
            std::uint32_t portion = std::min(run, RLE_MAX_PORTION);
            PutRepeat(packer, runValue, portion);
            start += portion;
            run -= portion;
        }
    }
}

// The block is n bytes long (at least 1): a packed stream is only kept when
// it fits, and the raw values always do.
std::uint8_t* PackRle(const std::uint8_t* values, std::uint32_t n, int bits, int* packed,
                      std::uint32_t* byteCount)
{
    auto* block = static_cast<std::uint8_t*>(HostAllocMem(n > 0 ? n : 1, 0, "rlebuf"));
    if (!block)
        return nullptr;
    const auto mask = static_cast<std::uint8_t>((1u << bits) - 1);
    if (*packed) {
        RlePacker packer{values, n, bits, mask, BitWriter{block, n, 0, 0, 0, 0}};
        PackValues(&packer);
        FinishBits(&packer.writer);
        if (!packer.writer.overflowed) {
            *packed = 1;
            *byteCount = packer.writer.used;
            return block;
        }
    }
    // Raw values are masked too, so that a save reloads the same pixels
    // whether or not it was packed.
    for (std::uint32_t i = 0; i < n; ++i)
        block[i] = values[i] & mask;
    *packed = 0;
    *byteCount = n;
    return block;
}

// ---- Chunks -----------------------------------------------------------------

// The length counts what follows the length field up to here; the pad byte
// after an odd length is not counted. A FORM holds two images at most, each
// far below 4 GiB: the length fits the field.
void EndChunk(HostFile* file, std::int64_t lengthPosition)
{
    std::int64_t end = Position(file);
    std::uint64_t length = std::uint64_t(end - lengthPosition - ICON_CHUNK_LENGTH_SIZE);
    PatchBE32(file, lengthPosition, static_cast<std::uint32_t>(length));
    if (length & 1)
        HostPutC(file, 0);
}

// Writes the id and a 0 length; returns where the length is.
static std::int64_t BeginChunk(HostFile* file, std::uint32_t id)
{
    WriteBE32(file, id);
    std::int64_t lengthPosition = Position(file);
    WriteBE32(file, 0);
    return lengthPosition;
}

static int WriteBytes(HostFile* file, const std::uint8_t* bytes, std::uint32_t n)
{
    return n == 0 || HostWrite(file, bytes, n) == std::int64_t{n};
}

// What the variant can store: a side of 1..256 and a palette depth (1..8) or
// true colour (32).
static int FitsForm(const IconImage* image, int variant)
{
    const FormatCapacity& capacity = variant == AMIGA_OS35 ? FORM_IMAG_CAPACITY : FORM_ARGB_CAPACITY;
    return StoresImage(capacity, image->width, image->height, image->depth);
}

// The selected twin, when the variant stores it too: the chunks carry one
// size, the one in "FACE".
static const IconImage* TwinOf(const IconImage* normal, int variant)
{
    const IconImage* twin = SelectedTwin(normal);
    return twin && FitsForm(twin, variant) ? twin : nullptr;
}

static std::uint32_t PaletteEntry(const IconImage* image, std::uint32_t i)
{
    return image->palette ? image->palette[i] & ICON_RGB_MASK : 0;
}

// A twin without a palette of its own reloads with the normal image's stored
// entries followed by zeros, so it may leave its palette out only when its
// own entries are exactly those.
static int SharesStoredPalette(const IconImage* twin, const IconImage* normal)
{
    std::uint32_t normalColours = 1u << normal->depth;
    std::uint32_t twinColours = 1u << twin->depth;
    for (std::uint32_t i = 0; i < twinColours; ++i) {
        std::uint32_t stored = i < normalColours ? PaletteEntry(normal, i) : 0;
        if (PaletteEntry(twin, i) != stored)
            return 0;
    }
    return 1;
}

static void WriteFace(HostFile* file, const IconImage* normal, const IconImage* twin, int variant)
{
    std::uint32_t paletteSize = ICON_FACE_PALETTE_SIZE_TRUE_COLOUR;
    std::uint8_t flags = ICON_FACE_FLAGS_TRUE_COLOUR;
    if (variant == AMIGA_OS35) {
        std::int32_t depth = normal->depth;
        if (twin && twin->depth > depth)
            depth = twin->depth;
        paletteSize = ICON_RGB_BYTES * (1u << depth) - 1;
        flags = ICON_FACE_FLAGS_PALETTE;
    }
    std::uint8_t face[ICON_FACE_SIZE] = {};
    face[ICON_FACE_WIDTH] = static_cast<std::uint8_t>(normal->width - 1);
    face[ICON_FACE_HEIGHT] = static_cast<std::uint8_t>(normal->height - 1);
    face[ICON_FACE_FLAGS] = flags;
    StoreBE16(face + ICON_FACE_PALETTE_SIZE, paletteSize);
    std::int64_t lengthPosition = BeginChunk(file, ICON_CHUNK_FACE);
    HostWrite(file, face, ICON_FACE_SIZE);
    EndChunk(file, lengthPosition);
}

static int WriteImagChunk(HostFile* file, const IconImage* image, std::uint8_t flags, int imagePacked,
                          const std::uint8_t* imageStream, std::uint32_t imageBytes, int palettePacked,
                          const std::uint8_t* paletteStream, std::uint32_t paletteBytes)
{
    std::int32_t pen = (flags & ICON_IMAG_FLAG_PEN) ? image->transparentPen : ICON_PEN_NONE_BYTE;
    std::uint8_t header[ICON_IMAG_HEADER_SIZE] = {};
    header[ICON_IMAG_PEN] = static_cast<std::uint8_t>(pen);
    header[ICON_IMAG_COLOURS] = static_cast<std::uint8_t>((1u << image->depth) - 1);
    header[ICON_IMAG_FLAGS] = flags;
    header[ICON_IMAG_IMAGE_FORMAT] = static_cast<std::uint8_t>(imagePacked);
    header[ICON_IMAG_PALETTE_FORMAT] = static_cast<std::uint8_t>(palettePacked);
    header[ICON_IMAG_DEPTH] = static_cast<std::uint8_t>(image->depth);
    StoreBE16(header + ICON_IMAG_IMAGE_BYTES, imageBytes - 1);
    StoreBE16(header + ICON_IMAG_PALETTE_BYTES, paletteStream ? paletteBytes - 1 : 0);
    std::int64_t lengthPosition = BeginChunk(file, ICON_CHUNK_IMAG);
    HostWrite(file, header, ICON_IMAG_HEADER_SIZE);
    if (!WriteBytes(file, imageStream, imageBytes) || (paletteStream && !WriteBytes(file, paletteStream, paletteBytes)))
        return 0;
    EndChunk(file, lengthPosition);
    return 1;
}

// One "IMAG". reference is the normal image when this is its twin, else null.
// Both streams are released here on every path.
static int WriteImag(HostFile* file, const IconImage* image, const IconImage* reference, std::uint32_t compress)
{
    const int packRequest = compress != 0;
    std::uint8_t flags = 0;
    // A pen outside a byte cannot match any pixel: the image has none.
    if (image->transparentPen >= 0 && image->transparentPen <= ICON_PEN_MAX)
        flags |= ICON_IMAG_FLAG_PEN;

    std::uint8_t* paletteStream = nullptr;
    std::uint32_t paletteBytes = 0;
    int palettePacked = packRequest;
    if (!reference || !SharesStoredPalette(image, reference)) {
        flags |= ICON_IMAG_FLAG_PALETTE;
        std::uint8_t rgb[ICON_PALETTE_ENTRIES * ICON_RGB_BYTES];
        std::uint32_t colours = 1u << image->depth;
        for (std::uint32_t i = 0; i < colours; ++i) {
            std::uint32_t entry = PaletteEntry(image, i);
            std::uint8_t* out = rgb + ICON_RGB_BYTES * i;
            out[0] = static_cast<std::uint8_t>(entry >> 16);
            out[1] = static_cast<std::uint8_t>(entry >> 8);
            out[2] = static_cast<std::uint8_t>(entry);
        }
        paletteStream = PackRle(rgb, ICON_RGB_BYTES * colours, 8, &palettePacked, &paletteBytes);
        if (!paletteStream)
            return 0;
    }

    int imagePacked = packRequest;
    std::uint32_t imageBytes = 0;
    std::uint32_t pixelCount = std::uint32_t(image->width) * std::uint32_t(image->height);
    std::uint8_t* imageStream = PackRle(image->pixels, pixelCount, image->depth, &imagePacked, &imageBytes);
    int ok = imageStream != nullptr &&
             WriteImagChunk(file, image, flags, imagePacked, imageStream, imageBytes, palettePacked,
                            paletteStream, paletteBytes);
    HostFreeMem(imageStream);
    HostFreeMem(paletteStream);
    return ok;
}

// Room for a zlib stream of n bytes however badly they compress.
static std::uint64_t DeflateBound(std::uint64_t n)
{
    return n + (n >> 12) + (n >> 14) + (n >> 25) + 13;
}

// block holds the pixel bytes (rawBytes) and after them room for the stream.
static int CompressAndWriteArgb(HostFile* file, const IconImage* image, std::uint8_t* block, std::uint64_t rawBytes,
                                std::uint64_t room)
{
    // Pixels are native 0xAARRGGBB words; the stream wants their bytes alpha,
    // red, green, blue whatever the machine's byte order.
    for (std::uint64_t at = 0; at != rawBytes; at += ICON_ARGB_BYTES_PER_PIXEL) {
        std::uint32_t word;
        std::memcpy(&word, image->pixels + at, sizeof word);
        std::uint8_t* out = block + at;
        out[0] = static_cast<std::uint8_t>(word >> 24);
        out[1] = static_cast<std::uint8_t>(word >> 16);
        out[2] = static_cast<std::uint8_t>(word >> 8);
        out[3] = static_cast<std::uint8_t>(word);
    }
    std::uint8_t* stream = block + rawBytes;
    std::uint64_t streamBytes = room;
    if (HostCompress(stream, &streamBytes, block, rawBytes) != 0)
        return 0;

    std::uint8_t header[ICON_ARGB_HEADER_SIZE] = {};
    StoreBE32(header + ICON_ARGB_HEADER_WORD, ICON_ARGB_HEADER_VALUE);
    StoreBE32(header + ICON_ARGB_STREAM_BYTES, static_cast<std::uint32_t>(streamBytes - 1));
    std::int64_t lengthPosition = BeginChunk(file, ICON_CHUNK_ARGB);
    HostWrite(file, header, ICON_ARGB_HEADER_SIZE);
    if (!WriteBytes(file, stream, static_cast<std::uint32_t>(streamBytes)))
        return 0;
    EndChunk(file, lengthPosition);
    return 1;
}

static int WriteArgb(HostFile* file, const IconImage* image)
{
    std::uint64_t rawBytes = std::uint64_t(image->width) * std::uint64_t(image->height) * ICON_ARGB_BYTES_PER_PIXEL;
    std::uint64_t room = DeflateBound(rawBytes);
    auto* block = static_cast<std::uint8_t*>(HostAllocMem(rawBytes + room, 0, "argbbuf"));
    if (!block)
        return 0;
    int ok = CompressAndWriteArgb(file, image, block, rawBytes, room);
    HostFreeMem(block);
    return ok;
}

int WriteIconForm(HostFile* file, const IconImage* normal, int variant, std::uint32_t compress)
{
    if (!FitsForm(normal, variant))
        return 0;                               // refused before the first byte
    const IconImage* twin = TwinOf(normal, variant);

    std::int64_t formLengthPosition = BeginChunk(file, ICON_CHUNK_FORM);
    WriteBE32(file, ICON_FORM_TYPE);
    WriteFace(file, normal, twin, variant);
    if (variant == AMIGA_OS35) {
        if (!WriteImag(file, normal, nullptr, compress) || (twin && !WriteImag(file, twin, normal, compress)))
            return 0;
    } else {
        if (!WriteArgb(file, normal) || (twin && !WriteArgb(file, twin)))
            return 0;
    }
    EndChunk(file, formLengthPosition);
    return 1;
}
