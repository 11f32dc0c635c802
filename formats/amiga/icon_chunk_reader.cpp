// Reads the chunks of an icon "FORM" "ICON" (layout in icon_chunk_layout.h):
// "FACE" sets the size, each "IMAG" makes a palette image, each "ARGB" a
// true-colour image. Of "FACE" only the size is read; the "ARGB" header word
// and reserved field are not looked at.
#include "formats/amiga/amiga_icon.h"
#include "formats/amiga/icon_chunk_layout.h"

#include "host/host_calls.h"
#include "io/buffers.h"
#include "io/byte_io.h"

#include <algorithm>
#include <cstring>

// After the id "FORM": the FORM length and the "ICON" type, which the reader
// does not check.
static constexpr std::int64_t ICON_FORM_SKIP = ICON_FORM_HEADER_SIZE - ICON_CHUNK_LENGTH;

static constexpr std::uint64_t ICON_ARGB_BYTES_PER_PIXEL = 4;
// EnsureBuffer sizes are 32-bit signed.
static constexpr std::uint64_t ICON_SCRATCH_LIMIT = 0x7FFFFFFF;

// ---- Bit-packed run-length stream -------------------------------------------

namespace {

// Bits are taken most significant first, with no alignment between control
// codes and values. At most 7 bits stay buffered between takes.
struct RleBits {
    const std::uint8_t* next;
    std::uint64_t bytesLeft;
    std::uint32_t buffer;
    int held;
};

}  // namespace

// Takes the next n (1..8) bits. Returns 0, taking nothing, when they would
// need a byte beyond the source.
static int TakeBits(RleBits* bits, int n, std::uint32_t* value)
{
    if (bits->held < n) {
        if (bits->bytesLeft == 0)
            return 0;
        bits->buffer = (bits->buffer << 8) | *bits->next++;
        --bits->bytesLeft;
        bits->held += 8;
    }
    bits->held -= n;
    *value = (bits->buffer >> bits->held) & ((1u << n) - 1);
    bits->buffer &= (1u << bits->held) - 1;
    return 1;
}

// Code 0..127: the next code + 1 values are literals; 128: nothing; 129..255:
// the next value repeated 257 - code times. Every turn takes at least 8 bits,
// so the loop ends with the source.
int UnpackRle(const std::uint8_t* source, std::uint64_t sourceBytes, std::uint8_t* destination,
              int bits, std::uint64_t count)
{
    RleBits stream{source, sourceBytes, 0, 0};
    std::uint64_t produced = 0;
    std::uint32_t literalsPending = 0;
    while (produced < count) {
        std::uint32_t value = 0;
        if (literalsPending > 0) {
            if (!TakeBits(&stream, bits, &value))
                break;
            destination[produced++] = static_cast<std::uint8_t>(value);
            --literalsPending;
            continue;
        }
        std::uint32_t code = 0;
        if (!TakeBits(&stream, 8, &code))
            break;
        if (code < 128) {
            literalsPending = code + 1;
            continue;
        }
        if (code == 128)
            continue;
        if (!TakeBits(&stream, bits, &value))
            break;
        const std::uint64_t repeat = std::min<std::uint64_t>(257 - code, count - produced);
        std::memset(destination + produced, static_cast<int>(value), static_cast<std::size_t>(repeat));
        produced += repeat;
    }
    return produced == count;
}

// ---- Chunks -------------------------------------------------------------------

namespace {

struct ChunkReader {
    HostFile* file;
    IconHandle* icon;
    IconImage** tail;
    IconImage** primary;
    std::uint64_t fileSize;
    std::uint8_t* scratch;          // owned by ReadIconChunks
    std::int32_t scratchCapacity;
    std::int32_t width;             // from the last "FACE"; 0 before any
    std::int32_t height;
    std::int32_t imageCounter;
    int imagMade;                   // an "IMAG" image exists, so the next is not index 0
    int argbMade;
    // The palette of the last image in the list that has one, kept as images
    // are appended so that many chunks do not walk the list again and again.
    const std::uint32_t* lastPalette;
};

}  // namespace

// Where the next chunk starts, or fileSize when the chunk claims to run past
// the end of the file (which ends the loop). 64 bits: L near 4 GiB plus the
// pad must not wrap.
static std::uint64_t NextChunkAt(const ChunkReader& reader, std::uint64_t dataStart, std::uint32_t length)
{
    std::uint64_t end = dataStart + length + (length & 1);
    return std::min(end, reader.fileSize);
}

// Moves forward to position, and goes on: 1. Every caller has read at most
// the chunk's data, so this never goes back, and a seek to a position that is
// not negative does not fail.
static int SeekTo(const ChunkReader& reader, std::uint64_t position)
{
    HostSeek(reader.file, static_cast<std::int64_t>(position), HOST_SEEK_START);
    return 1;
}

// The reader's scratch block, grown to hold need bytes (at least one, so an
// empty request still gets a block to point at).
static std::uint8_t* Scratch(ChunkReader* reader, std::uint64_t need)
{
    if (need >= ICON_SCRATCH_LIMIT)
        return nullptr;
    if (need == 0)
        need = 1;
    reader->scratch = EnsureBuffer(reader->scratch, static_cast<std::int32_t>(need), &reader->scratchCapacity);
    return reader->scratch;
}

// The palette of the last image already in the list that has one, or null.
static const std::uint32_t* LastPalette(const IconHandle* icon)
{
    const std::uint32_t* found = nullptr;
    for (const IconImage* image = icon->images; image; image = image->next) {
        if (image->palette)
            found = image->palette;
    }
    return found;
}

// Reads the 6 bytes of "FACE". Old writers and this one always store L = 6;
// when L is larger the rest of the chunk is skipped so the next id is read in
// step, and when L is smaller the 6 bytes are taken all the same, as a reader
// that never consults L would.
static int ReadFace(ChunkReader* reader, std::uint64_t dataStart, std::uint64_t bytesLeft, std::uint32_t length)
{
    if (bytesLeft < ICON_FACE_SIZE)
        return 0;
    std::uint8_t face[ICON_FACE_SIZE];
    ReadRecord(reader->file, face, ICON_FACE_SIZE);
    reader->width = face[ICON_FACE_WIDTH] + 1;
    reader->height = face[ICON_FACE_HEIGHT] + 1;
    std::uint64_t next = dataStart + ICON_FACE_SIZE;
    if (length >= ICON_FACE_SIZE)
        next = NextChunkAt(*reader, dataStart, length);
    return SeekTo(*reader, next);
}

// The palette of an "IMAG" with flag bit 1: colours entries 0x00RRGGBB from
// red, green, blue triples, raw or bit-packed. A raw palette shorter than
// 3 x colours bytes sets only the entries it holds; a packed one that runs
// dry leaves the rest 0.
static void SetImagPalette(std::uint32_t* palette, const std::uint8_t* bytes, std::uint64_t byteCount,
                           std::uint32_t colours, int packed)
{
    std::uint8_t unpacked[ICON_PALETTE_ENTRIES * 3] = {};
    std::uint64_t entries = colours;
    if (packed) {
        // A damaged palette decodes partly; the result is not needed.
        UnpackRle(bytes, byteCount, unpacked, 8, std::uint64_t{colours} * 3);
        bytes = unpacked;
    } else if (byteCount / 3 < entries) {
        entries = byteCount / 3;
    }
    for (std::uint64_t i = 0; i < entries; ++i) {
        palette[i] = (std::uint32_t{bytes[3 * i]} << 16) | (std::uint32_t{bytes[3 * i + 1]} << 8) |
                     std::uint32_t{bytes[3 * i + 2]};
    }
}

// An "IMAG" chunk that cannot be an image (a depth outside 1..8, or counts
// that do not fit in L) is skipped without making one: the rest of the icon
// may still be good.
static int ReadImag(ChunkReader* reader, std::uint64_t dataStart, std::uint64_t bytesLeft, std::uint32_t length)
{
    if (reader->width == 0)
        return 0;                               // no "FACE" yet: no size to give
    if (length > bytesLeft)
        return 0;                               // cut short: refuse before allocating
    std::uint64_t next = NextChunkAt(*reader, dataStart, length);
    if (length < ICON_IMAG_HEADER_SIZE)
        return SeekTo(*reader, next);

    HostFile* file = reader->file;
    std::uint8_t header[ICON_IMAG_HEADER_SIZE];
    ReadRecord(file, header, ICON_IMAG_HEADER_SIZE);
    std::uint8_t pen = header[ICON_IMAG_PEN];
    std::uint32_t colours = std::uint32_t{header[ICON_IMAG_COLOURS]} + 1;
    std::uint8_t flags = header[ICON_IMAG_FLAGS];
    std::uint8_t imagePacked = header[ICON_IMAG_IMAGE_FORMAT];
    std::uint8_t palettePacked = header[ICON_IMAG_PALETTE_FORMAT];
    int depth = header[ICON_IMAG_DEPTH];
    std::uint64_t imageBytes = std::uint64_t{LoadBE16(header + ICON_IMAG_IMAGE_BYTES)} + 1;
    std::uint64_t paletteField = std::uint64_t{LoadBE16(header + ICON_IMAG_PALETTE_BYTES)} + 1;
    std::uint64_t paletteBytes = (flags & ICON_IMAG_FLAG_PALETTE) ? paletteField : 0;
    if (depth < 1 || depth > ICON_IMAG_MAX_DEPTH || ICON_IMAG_HEADER_SIZE + imageBytes + paletteBytes > length)
        return SeekTo(*reader, next);

    std::int32_t index = reader->imagMade ? reader->imageCounter : 0;
    std::int32_t transparentPen = (flags & ICON_IMAG_FLAG_PEN) ? pen : -1;
    IconImage* image = NewIconImage(reader->width, reader->height, depth, transparentPen, index != 0,
                                    reader->icon, reader->tail);
    if (!image)
        return 0;

    std::uint8_t* bytes = Scratch(reader, imageBytes + paletteBytes);
    if (!bytes || !ReadExactly(file, bytes, imageBytes + paletteBytes))
        return 0;
    std::uint64_t pixelCount = std::uint64_t(image->width) * std::uint64_t(image->height);
    if (imagePacked) {
        // Damaged packed data is tolerated: the pixels not decoded stay 0.
        UnpackRle(bytes, imageBytes, image->pixels, depth, pixelCount);
    } else {
        std::memcpy(image->pixels, bytes, static_cast<std::size_t>(std::min<std::uint64_t>(imageBytes, pixelCount)));
    }
    if (flags & ICON_IMAG_FLAG_PALETTE)
        SetImagPalette(image->palette, bytes + imageBytes, paletteBytes, colours, palettePacked);
    else if (reader->lastPalette)
        std::memcpy(image->palette, reader->lastPalette, ICON_PALETTE_ENTRIES * sizeof(std::uint32_t));
    reader->lastPalette = image->palette;

    reader->imagMade = 1;
    reader->imageCounter = index + 1;
    if (index == 0)
        *reader->primary = image;
    return SeekTo(*reader, next);
}

// Turns the inflated bytes alpha, red, green, blue of each pixel into one
// native 0xAARRGGBB word, in place. Words are stored with memcpy: the buffer
// is bytes.
static void BytesToWords(std::uint8_t* pixels, std::uint64_t pixelCount)
{
    for (std::uint64_t i = 0; i < pixelCount; ++i) {
        std::uint8_t* p = pixels + i * ICON_ARGB_BYTES_PER_PIXEL;
        std::uint32_t word = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                             (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
        std::memcpy(p, &word, sizeof word);
    }
}

// An "ARGB" shorter than its header is skipped. A stream that inflates to
// fewer than width x height pixels is accepted: the pixels it does not reach
// stay 0, fully transparent, which is how such an icon shows. A stream that
// is corrupt, or that holds more than the image, fails the load.
static int ReadArgb(ChunkReader* reader, std::uint64_t dataStart, std::uint64_t bytesLeft, std::uint32_t length)
{
    if (reader->width == 0)
        return 0;                               // no "FACE" yet: no size to give
    if (length > bytesLeft)
        return 0;                               // cut short: refuse before allocating
    std::uint64_t next = NextChunkAt(*reader, dataStart, length);
    if (length < ICON_ARGB_HEADER_SIZE)
        return SeekTo(*reader, next);

    HostFile* file = reader->file;
    std::uint8_t header[ICON_ARGB_HEADER_SIZE];
    ReadRecord(file, header, ICON_ARGB_HEADER_SIZE);
    const std::uint64_t declared = std::uint64_t{LoadBE32(header + ICON_ARGB_STREAM_BYTES)} + 1;
    const std::uint64_t streamBytes = std::min<std::uint64_t>(declared, length - ICON_ARGB_HEADER_SIZE);

    std::int32_t index = reader->argbMade ? reader->imageCounter : 0;
    IconImage* image = NewIconImage(reader->width, reader->height, ICON_ARGB_DEPTH, -1, index != 0,
                                    reader->icon, reader->tail);
    if (!image)
        return 0;
    std::uint8_t* bytes = Scratch(reader, streamBytes);
    if (!bytes || !ReadExactly(file, bytes, streamBytes))
        return 0;
    std::uint64_t pixelCount = std::uint64_t(image->width) * std::uint64_t(image->height);
    std::uint64_t room = pixelCount * ICON_ARGB_BYTES_PER_PIXEL;
    if (HostUncompress(image->pixels, &room, bytes, streamBytes) != 0)
        return 0;
    // All pixels, not only those inflated: a pixel cut in the middle still
    // becomes a whole word, and zeros stay zero.
    BytesToWords(image->pixels, pixelCount);

    reader->argbMade = 1;
    reader->imageCounter = index + 1;
    if (index == 0)
        *reader->primary = image;
    return SeekTo(*reader, next);
}

static int ReadChunks(ChunkReader* reader)
{
    HostFile* file = reader->file;
    HostSeek(file, ICON_FORM_SKIP, HOST_SEEK_CURRENT);
    for (;;) {
        // Every turn moves forward by at least a chunk header, or ends.
        std::uint64_t bytesLeft = BytesLeft(file, reader->fileSize);
        if (bytesLeft == 0)
            return 1;
        // One to three stray bytes after the last chunk are a cut id, not an
        // end. Four to seven are an id whose length the end of the file cuts
        // (padding, as some writers leave): nothing follows it.
        if (bytesLeft < ICON_CHUNK_LENGTH)
            return 0;
        if (bytesLeft < ICON_CHUNK_HEADER_SIZE)
            return 1;
        std::uint32_t id = ReadBE32(file);
        std::uint32_t length = ReadBE32(file);
        std::uint64_t dataStart = reader->fileSize - bytesLeft + ICON_CHUNK_HEADER_SIZE;
        bytesLeft -= ICON_CHUNK_HEADER_SIZE;

        int ok;
        if (id == ICON_CHUNK_FACE)
            ok = ReadFace(reader, dataStart, bytesLeft, length);
        else if (id == ICON_CHUNK_IMAG)
            ok = ReadImag(reader, dataStart, bytesLeft, length);
        else if (id == ICON_CHUNK_ARGB)
            ok = ReadArgb(reader, dataStart, bytesLeft, length);
        else
            ok = SeekTo(*reader, NextChunkAt(*reader, dataStart, length));
        if (!ok)
            return 0;
    }
}

int ReadIconChunks(HostFile* file, IconHandle* icon, IconImage** tail, std::uint64_t fileSize,
                   IconImage** primary)
{
    ChunkReader reader{};
    reader.file = file;
    reader.icon = icon;
    reader.tail = tail;
    reader.primary = primary;
    reader.fileSize = fileSize;
    reader.lastPalette = LastPalette(icon);
    int ok = ReadChunks(&reader);
    HostFreeMem(reader.scratch);
    return ok;
}
