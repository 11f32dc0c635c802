// PNG decoding: a datastream in memory to 0xAARRGGBB words, through libspng.
// Every chunk's CRC is checked first. A non-interlaced picture's image data is
// then inflated by libdeflate and handed to libspng in stored deflate blocks,
// so libspng only unfilters and converts; anything that path does not take
// is decoded by libspng alone.
#include "runtime/picture_codecs.h"

#include <libdeflate.h>
#include <spng.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace tessel::runtime {
namespace {

// spng keeps ancillary chunks (text, profiles, unknown ones) in memory; these
// bound that, so a file of a thousand huge comments cannot exhaust memory.
constexpr std::size_t PNG_MAX_ANCILLARY_CHUNK_BYTES = 16u << 20;
constexpr std::size_t PNG_MAX_CHUNK_CACHE_BYTES = 64u << 20;

// The fast path only takes image data up to this many bytes inflated; larger
// pictures go through spng alone, which needs no buffer for all the rows.
constexpr std::size_t PNG_FAST_PATH_MAX_BYTES = 64u << 20;
// Largest stored deflate block.
constexpr std::size_t DEFLATE_STORED_MAX = 65535;

struct DeflateDecompressorDeleter {
    void operator()(libdeflate_decompressor* decompressor) const { libdeflate_free_decompressor(decompressor); }
};

// Walks the chunks of the datastream at the start of data and returns the
// length up to and including IEND, or 0 when the datastream is truncated, a
// CRC does not match, or IHDR is not first. Whatever follows IEND (another
// datastream, trailing garbage) is left out, so only the first picture is
// decoded.
std::size_t MeasurePngDatastream(const std::uint8_t* data, std::size_t size)
{
    std::size_t offset = PNG_SIGNATURE.size();
    bool first = true;
    while (size - offset >= PNG_CHUNK_OVERHEAD) {  // every turn advances by at least 12
        const std::uint32_t length = LoadBE32(data + offset);
        const std::uint32_t type = LoadBE32(data + offset + 4);
        if (length > PNG_MAX_CHUNK_LENGTH || length > size - offset - PNG_CHUNK_OVERHEAD)
            return 0;
        if (first && (type != PNG_CHUNK_IHDR || length != PNG_IHDR_LENGTH))
            return 0;
        first = false;
        // Every chunk's CRC is checked here, so a damaged chunk is a refusal
        // even where spng would skip the chunk.
        const std::uint32_t stored = LoadBE32(data + offset + 8 + length);
        if (stored != libdeflate_crc32(0, data + offset + 4, std::size_t{length} + 4))
            return 0;
        offset += PNG_CHUNK_OVERHEAD + length;
        if (type == PNG_CHUNK_IEND)
            return offset;
    }
    return 0;
}

// Bytes of the filtered rows of a non-interlaced picture: each row a filter
// byte and its samples, packed. 0 for a colour type or depth PNG does not have.
std::size_t FilteredImageBytes(const spng_ihdr& header)
{
    std::size_t channels = 0;
    switch (header.color_type) {
    case 0: channels = 1; break;  // grey
    case 2: channels = 3; break;  // RGB
    case 3: channels = 1; break;  // palette indices
    case 4: channels = 2; break;  // grey and alpha
    case 6: channels = 4; break;  // RGBA
    default: return 0;
    }
    const std::size_t bitsPerPixel = channels * header.bit_depth;
    const std::size_t rowBytes = 1 + (std::size_t{header.width} * bitsPerPixel + 7) / 8;
    return rowBytes * header.height;
}

// For a non-interlaced picture: inflates the image data with libdeflate,
// several times faster than zlib and checking the Adler-32 as well, and
// writes a datastream spng can take without inflating anything itself: the
// chunks before the first IDAT as they are, one IDAT holding the rows in
// stored deflate blocks, IEND. spng then only unfilters and converts.
// Returns false, with nothing decided, when the data is not exactly the rows
// the header describes (or too large): the caller lets spng decode the
// original then, and refuse it as it always did.
bool RewrapImageData(const std::uint8_t* data, std::size_t streamSize, const spng_ihdr& header,
                     ByteBuffer& rewrapped)
{
    const std::size_t filteredSize = FilteredImageBytes(header);
    if (filteredSize == 0 || filteredSize > PNG_FAST_PATH_MAX_BYTES || header.interlace_method != 0)
        return false;

    // The IDAT chunks must follow one another; their data is one zlib stream.
    std::size_t offset = PNG_SIGNATURE.size();
    std::size_t firstIdat = 0;
    std::size_t afterIdat = 0;
    ByteBuffer joined;
    const std::uint8_t* compressed = nullptr;
    std::size_t compressedSize = 0;
    while (offset + PNG_CHUNK_OVERHEAD <= streamSize) {  // lengths were checked by MeasurePngDatastream
        const std::uint32_t length = LoadBE32(data + offset);
        const std::uint32_t type = LoadBE32(data + offset + 4);
        if (type == PNG_CHUNK_IDAT) {
            if (afterIdat != 0 && afterIdat != offset)
                return false;  // IDAT chunks apart: spng decides
            if (firstIdat == 0) {
                firstIdat = offset;
                compressed = data + offset + 8;
                compressedSize = length;
            } else {
                if (joined.empty())
                    joined.assign(compressed, compressed + compressedSize);
                joined.insert(joined.end(), data + offset + 8, data + offset + 8 + length);
                compressed = joined.data();
                compressedSize = joined.size();
            }
            afterIdat = offset + PNG_CHUNK_OVERHEAD + length;
        }
        offset += PNG_CHUNK_OVERHEAD + length;
    }
    if (firstIdat == 0)
        return false;

    libdeflate_decompressor* decompressor = Decompressor();
    if (!decompressor)
        throw std::bad_alloc();
    const std::size_t blocks = (filteredSize + DEFLATE_STORED_MAX - 1) / DEFLATE_STORED_MAX;
    const std::size_t storedSize = 2 + blocks * 5 + filteredSize + 4;  // zlib header, blocks, Adler-32
    rewrapped.resize(firstIdat + 8 + storedSize + 4 + PNG_CHUNK_OVERHEAD);
    // The rows go straight to where the stored blocks will carry them, block
    // by block: inflate into a buffer of their own first.
    ByteBuffer rows(filteredSize);
    std::size_t usedInput = 0;
    if (libdeflate_zlib_decompress_ex(decompressor, compressed, compressedSize, rows.data(), filteredSize,
                                      &usedInput, nullptr) != LIBDEFLATE_SUCCESS ||
        usedInput != compressedSize)
        return false;

    std::uint8_t* out = rewrapped.data();
    std::memcpy(out, data, firstIdat);  // signature, IHDR and whatever precedes the image data
    out += firstIdat;
    StoreBE32(out, static_cast<std::uint32_t>(storedSize));
    StoreBE32(out + 4, PNG_CHUNK_IDAT);
    out += 8;
    *out++ = 0x78;  // deflate, 32 KiB window
    *out++ = 0x01;  // no dictionary, header check bits
    for (std::size_t done = 0; done < filteredSize;) {
        const std::size_t piece = std::min(DEFLATE_STORED_MAX, filteredSize - done);
        *out++ = done + piece == filteredSize ? 1 : 0;  // final block flag, type 00 (stored)
        out[0] = static_cast<std::uint8_t>(piece);
        out[1] = static_cast<std::uint8_t>(piece >> 8);
        out[2] = static_cast<std::uint8_t>(~piece);
        out[3] = static_cast<std::uint8_t>(~piece >> 8);
        out += 4;
        std::memcpy(out, rows.data() + done, piece);
        out += piece;
        done += piece;
    }
    StoreBE32(out, libdeflate_adler32(1, rows.data(), filteredSize));
    out += 4;
    StoreBE32(out, 0);  // CRC: spng is told not to check the chunks of this copy
    out += 4;
    StoreBE32(out, 0);
    StoreBE32(out + 4, PNG_CHUNK_IEND);
    StoreBE32(out + 8, 0);
    return true;
}

// Opens spng on a datastream, with the limits every decode works under.
// checkCrcs false is for the copies RewrapImageData makes.
SpngContext OpenPng(const std::uint8_t* data, std::size_t size, bool checkCrcs)
{
    SpngContext context(spng_ctx_new(0));
    if (!context)
        return nullptr;
    spng_ctx* ctx = context.get();
    // With CRC checks on, spng checks the Adler-32 of the image data too.
    const spng_crc_action action = checkCrcs ? SPNG_CRC_ERROR : SPNG_CRC_USE;
    if (spng_set_crc_action(ctx, action, action) != 0 ||
        spng_set_image_limits(ctx, HOST_IMAGE_MAX_SIDE, HOST_IMAGE_MAX_SIDE) != 0 ||
        spng_set_chunk_limits(ctx, PNG_MAX_ANCILLARY_CHUNK_BYTES, PNG_MAX_CHUNK_CACHE_BYTES) != 0 ||
        spng_set_png_buffer(ctx, data, size) != 0)
        return nullptr;
    return context;
}

// Decodes the picture spng was opened on into words of the size its header gives.
bool DecodeWithSpng(spng_ctx* ctx, const spng_ihdr& header, PixelWords& words)
{
    const std::size_t pixelCount = std::size_t{header.width} * header.height;
    std::size_t decodedSize = 0;
    if (spng_decoded_image_size(ctx, SPNG_FMT_RGBA8, &decodedSize) != 0 || decodedSize != pixelCount * 4)
        return false;
    // RGBA8 takes the high byte of 16-bit samples; TRNS applies a tRNS chunk.
    // The bytes are decoded straight into the words' memory and turned into
    // 0xAARRGGBB in place.
    if (spng_decode_image(ctx, words.data(), decodedSize, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) != 0)
        return false;
    ToArgbWords(words.data(), pixelCount);
    return true;
}

}  // namespace

// One decompressor a thread, kept for every picture.
libdeflate_decompressor* Decompressor()
{
    thread_local std::unique_ptr<libdeflate_decompressor, DeflateDecompressorDeleter> decompressor(
        libdeflate_alloc_decompressor());
    return decompressor.get();
}

bool DecodePng(const std::uint8_t* data, std::size_t size, std::int32_t* width, std::int32_t* height,
               PixelWords& pixels)
{
    const std::size_t streamSize = MeasurePngDatastream(data, size);
    if (streamSize == 0)
        return false;
    SpngContext context = OpenPng(data, streamSize, true);
    if (!context)
        return false;

    // The header alone decides whether the picture may be decoded: nothing
    // is allocated for pixels before this check.
    spng_ihdr header{};
    if (spng_get_ihdr(context.get(), &header) != 0 || !FitsImageLimits(header.width, header.height) ||
        !ChargePicture(header.width, header.height, 0))
        return false;

    // The copy holds the same chunks before the image data and exactly the
    // rows the header describes, so what spng refuses in it, it would refuse
    // in the original too.
    PixelWords words(std::size_t{header.width} * header.height);
    ByteBuffer rewrapped;
    if (RewrapImageData(data, streamSize, header, rewrapped)) {
        SpngContext fast = OpenPng(rewrapped.data(), rewrapped.size(), false);
        if (!fast || !DecodeWithSpng(fast.get(), header, words))
            return false;
    } else if (!DecodeWithSpng(context.get(), header, words)) {
        return false;
    }
    pixels = std::move(words);
    *width = static_cast<std::int32_t>(header.width);
    *height = static_cast<std::int32_t>(header.height);
    return true;
}

}  // namespace tessel::runtime
