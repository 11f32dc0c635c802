// The host's picture services: decoding a named file to 0xAARRGGBB words and
// encoding such words as PNG, through libspng.
//
// A PNG datastream: the 8-byte signature, then chunks until IEND.
//   offset  size  field
//   0       4     data length n (big-endian, at most 2^31 - 1)
//   4       4     chunk type (four letters)
//   8       n     data
//   8 + n   4     CRC-32 of type and data (big-endian)
// IHDR comes first: width 4, height 4, bit depth 1, colour type 1,
// compression 1, filter 1, interlace 1.
#include "runtime/host_services.h"

#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

struct HostImage {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint32_t> pixels;
};

namespace tessel::runtime {
namespace {

constexpr std::array<std::uint8_t, 8> PNG_SIGNATURE = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::size_t PNG_CHUNK_OVERHEAD = 12;  // length, type, CRC
constexpr std::uint32_t PNG_MAX_CHUNK_LENGTH = 0x7FFFFFFF;
constexpr std::uint32_t PNG_IHDR_LENGTH = 13;

// Named files bigger than this are refused unread; no picture within the
// limits needs more.
constexpr std::uint64_t HOST_IMAGE_MAX_FILE_BYTES = 512ull << 20;

// spng keeps ancillary chunks (text, profiles, unknown ones) in memory; these
// bound that, so a file of a thousand huge comments cannot exhaust memory.
constexpr std::size_t PNG_MAX_ANCILLARY_CHUNK_BYTES = 16u << 20;
constexpr std::size_t PNG_MAX_CHUNK_CACHE_BYTES = 64u << 20;

// Fixed encoder settings: the same pixels always give the same bytes.
constexpr int PNG_ENCODE_ZLIB_LEVEL = 9;
constexpr int PNG_ENCODE_WINDOW_BITS = 15;
constexpr int PNG_ENCODE_MEM_LEVEL = 8;

// Options list items beyond this count mean the list has no end marker.
constexpr int HOST_IMAGE_MAX_OPTIONS = 256;

std::int64_t LiveImageCount = 0;

constexpr std::uint32_t FourCc(char a, char b, char c, char d)
{
    return (std::uint32_t{static_cast<std::uint8_t>(a)} << 24) | (std::uint32_t{static_cast<std::uint8_t>(b)} << 16) |
           (std::uint32_t{static_cast<std::uint8_t>(c)} << 8) | std::uint32_t{static_cast<std::uint8_t>(d)};
}
constexpr std::uint32_t PNG_CHUNK_IHDR = FourCc('I', 'H', 'D', 'R');
constexpr std::uint32_t PNG_CHUNK_IEND = FourCc('I', 'E', 'N', 'D');
static_assert(PNG_CHUNK_IEND == 0x49454E44);

std::uint32_t ReadBE32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

bool StartsWith(const std::uint8_t* data, std::size_t size, const std::uint8_t* magic, std::size_t magicSize)
{
    return size >= magicSize && std::memcmp(data, magic, magicSize) == 0;
}

// True when the picture's sides and its 32-bit pixel buffer are within the limits.
bool FitsImageLimits(std::uint64_t width, std::uint64_t height)
{
    if (width < 1 || height < 1 || width > HOST_IMAGE_MAX_SIDE || height > HOST_IMAGE_MAX_SIDE)
        return false;
    return width * height * 4 <= HOST_IMAGE_MAX_BYTES;
}

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
        const std::uint32_t length = ReadBE32(data + offset);
        const std::uint32_t type = ReadBE32(data + offset + 4);
        if (length > PNG_MAX_CHUNK_LENGTH || length > size - offset - PNG_CHUNK_OVERHEAD)
            return 0;
        if (first && (type != PNG_CHUNK_IHDR || length != PNG_IHDR_LENGTH))
            return 0;
        first = false;
        // spng checks CRCs too, but it may skip chunks it does not keep;
        // checking every chunk here makes any damaged chunk a refusal.
        const std::uint32_t stored = ReadBE32(data + offset + 8 + length);
        const uLong computed = crc32(0L, data + offset + 4, static_cast<uInt>(length) + 4);
        if (stored != static_cast<std::uint32_t>(computed))
            return 0;
        offset += PNG_CHUNK_OVERHEAD + length;
        if (type == PNG_CHUNK_IEND)
            return offset;
    }
    return 0;
}

struct SpngContextDeleter {
    void operator()(spng_ctx* context) const { spng_ctx_free(context); }
};
using SpngContext = std::unique_ptr<spng_ctx, SpngContextDeleter>;
struct MallocDeleter {
    void operator()(void* block) const { std::free(block); }
};

bool DecodePng(const std::uint8_t* data, std::size_t size, std::int32_t* width, std::int32_t* height,
               std::vector<std::uint32_t>& pixels)
{
    const std::size_t streamSize = MeasurePngDatastream(data, size);
    if (streamSize == 0)
        return false;

    SpngContext context(spng_ctx_new(0));
    if (!context)
        return false;
    spng_ctx* ctx = context.get();
    if (spng_set_crc_action(ctx, SPNG_CRC_ERROR, SPNG_CRC_ERROR) != 0 ||
        spng_set_image_limits(ctx, HOST_IMAGE_MAX_SIDE, HOST_IMAGE_MAX_SIDE) != 0 ||
        spng_set_chunk_limits(ctx, PNG_MAX_ANCILLARY_CHUNK_BYTES, PNG_MAX_CHUNK_CACHE_BYTES) != 0 ||
        spng_set_png_buffer(ctx, data, streamSize) != 0)
        return false;

    // The header alone decides whether the picture may be decoded: nothing
    // is allocated for pixels before this check.
    spng_ihdr header{};
    if (spng_get_ihdr(ctx, &header) != 0 || !FitsImageLimits(header.width, header.height))
        return false;
    const std::size_t pixelCount = std::size_t{header.width} * header.height;
    std::size_t decodedSize = 0;
    if (spng_decoded_image_size(ctx, SPNG_FMT_RGBA8, &decodedSize) != 0 || decodedSize != pixelCount * 4)
        return false;

    // RGBA8 takes the high byte of 16-bit samples; TRNS applies a tRNS chunk.
    std::vector<std::uint8_t> rgba(decodedSize);
    if (spng_decode_image(ctx, rgba.data(), rgba.size(), SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) != 0)
        return false;

    std::vector<std::uint32_t> words(pixelCount);
    for (std::size_t i = 0; i < pixelCount; ++i) {
        const std::uint8_t* p = rgba.data() + i * 4;
        words[i] = (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
    }
    pixels = std::move(words);
    *width = static_cast<std::int32_t>(header.width);
    *height = static_cast<std::int32_t>(header.height);
    return true;
}

// Decoders by signature. A new format adds one row.
using DecodeFunction = bool (*)(const std::uint8_t*, std::size_t, std::int32_t*, std::int32_t*,
                                std::vector<std::uint32_t>&);
struct ImageDecoder {
    const std::uint8_t* signature;
    std::size_t signatureSize;
    DecodeFunction decode;
};
// signature, its length, decoder
const ImageDecoder ImageDecoders[] = {
    {PNG_SIGNATURE.data(), PNG_SIGNATURE.size(), DecodePng},
};

// Reads the options of HostLoadImage. Unknown tags are ignored; when a tag
// repeats, the last one counts. Returns false for a list without an end
// within HOST_IMAGE_MAX_OPTIONS items.
struct LoadOptions {
    std::uintptr_t argb = 1;
    std::uintptr_t index = 0;
};
bool ReadLoadOptions(const TagItem* options, LoadOptions& out)
{
    if (!options)
        return true;
    for (int i = 0; i < HOST_IMAGE_MAX_OPTIONS; ++i) {
        const TagItem& item = options[i];
        if (item.tag == 0)
            return true;
        if (item.tag == HOSTIMAGE_TAG_ARGB)
            out.argb = item.value;
        else if (item.tag == HOSTIMAGE_TAG_INDEX)
            out.index = item.value;
    }
    return false;
}

// Encodes pixels already checked against the limits.
bool EncodeRgbaPng(const std::uint32_t* pixels, std::int32_t width, std::int32_t height, std::vector<std::uint8_t>& out)
{
    const std::size_t pixelCount = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    std::vector<std::uint8_t> rgba(pixelCount * 4);
    for (std::size_t i = 0; i < pixelCount; ++i) {
        const std::uint32_t argb = pixels[i];
        std::uint8_t* p = rgba.data() + i * 4;
        p[0] = static_cast<std::uint8_t>(argb >> 16);
        p[1] = static_cast<std::uint8_t>(argb >> 8);
        p[2] = static_cast<std::uint8_t>(argb);
        p[3] = static_cast<std::uint8_t>(argb >> 24);
    }

    SpngContext context(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!context)
        return false;
    spng_ctx* ctx = context.get();
    spng_ihdr header{};
    header.width = static_cast<std::uint32_t>(width);
    header.height = static_cast<std::uint32_t>(height);
    header.bit_depth = 8;
    header.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    header.interlace_method = SPNG_INTERLACE_NONE;
    // Every zlib and filter setting is pinned rather than left to the
    // library's defaults, so the bytes do not drift with its version.
    if (spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1) != 0 ||
        spng_set_option(ctx, SPNG_IMG_COMPRESSION_LEVEL, PNG_ENCODE_ZLIB_LEVEL) != 0 ||
        spng_set_option(ctx, SPNG_IMG_WINDOW_BITS, PNG_ENCODE_WINDOW_BITS) != 0 ||
        spng_set_option(ctx, SPNG_IMG_MEM_LEVEL, PNG_ENCODE_MEM_LEVEL) != 0 ||
        spng_set_option(ctx, SPNG_IMG_COMPRESSION_STRATEGY, Z_FILTERED) != 0 ||
        spng_set_option(ctx, SPNG_FILTER_CHOICE, SPNG_FILTER_CHOICE_ALL) != 0 || spng_set_ihdr(ctx, &header) != 0)
        return false;
    if (spng_encode_image(ctx, rgba.data(), rgba.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) != 0)
        return false;

    // The buffer is the caller's to free, with the context's allocator (malloc).
    std::size_t encodedSize = 0;
    int error = 0;
    std::unique_ptr<void, MallocDeleter> encoded(spng_get_png_buffer(ctx, &encodedSize, &error));
    if (!encoded || error != 0)
        return false;
    const auto* bytes = static_cast<const std::uint8_t*>(encoded.get());
    out.assign(bytes, bytes + encodedSize);
    return true;
}

}  // namespace

bool DecodeImage(const std::uint8_t* data, std::size_t size, std::int32_t* width, std::int32_t* height,
                 std::vector<std::uint32_t>& pixels)
{
    if (!data || !width || !height)
        return false;
    for (const ImageDecoder& decoder : ImageDecoders) {
        if (!StartsWith(data, size, decoder.signature, decoder.signatureSize))
            continue;
        try {
            return decoder.decode(data, size, width, height, pixels);
        } catch (const std::exception&) {
            return false;  // out of memory for the pixels
        }
    }
    return false;
}

std::int64_t LiveImages()
{
    return LiveImageCount;
}

bool EncodePng(const std::uint32_t* pixels, std::int32_t width, std::int32_t height, std::vector<std::uint8_t>& out)
{
    if (!pixels || !FitsImageLimits(static_cast<std::uint64_t>(std::max(width, 0)),
                                    static_cast<std::uint64_t>(std::max(height, 0))))
        return false;
    try {
        return EncodeRgbaPng(pixels, width, height, out);
    } catch (const std::exception&) {
        return false;  // out of memory for the buffers
    }
}
}  // namespace tessel::runtime

extern "C" {

// Options: HOSTIMAGE_TAG_ARGB must be 1 when given (32-bit ARGB is the only
// delivery); HOSTIMAGE_TAG_INDEX selects the sub-image, and a PNG has only
// sub-image 0. The reserved argument is not looked at.
HostImage* TesselHostLoadImage(const char* name, const TagItem* options, std::int32_t* width, std::int32_t* height,
                               std::int32_t)
{
    using namespace tessel::runtime;
    LoadOptions loadOptions;
    if (!name || !ReadLoadOptions(options, loadOptions) || loadOptions.argb != 1 || loadOptions.index != 0)
        return nullptr;
    std::unique_ptr<HostImage> image;
    try {
        std::vector<std::uint8_t> data;
        if (!ReadNamedFile(name, HOST_IMAGE_MAX_FILE_BYTES, data))
            return nullptr;
        image = std::make_unique<HostImage>();
        if (!DecodeImage(data.data(), data.size(), &image->width, &image->height, image->pixels))
            return nullptr;
    } catch (const std::exception&) {
        return nullptr;  // out of memory: the module sees a plain failure
    }
    if (width)
        *width = image->width;
    if (height)
        *height = image->height;
    ++LiveImageCount;
    return image.release();
}

const std::uint32_t* TesselHostGetImagePixels(HostImage* image)
{
    return image ? image->pixels.data() : nullptr;
}

void TesselHostFreeImage(HostImage* image)
{
    if (!image)
        return;
    delete image;
    --tessel::runtime::LiveImageCount;
}

// alpha 1 says the words carry alpha, which is the only form written; both
// reserved arguments must be 0.
std::int32_t TesselHostSavePng(const char* name, const std::uint32_t* pixels, std::int32_t width,
                               std::int32_t height, std::int32_t alpha, std::int32_t reserved1,
                               std::int32_t reserved2)
{
    using namespace tessel::runtime;
    if (!name || alpha != 1 || reserved1 != 0 || reserved2 != 0)
        return 0;
    try {
        std::vector<std::uint8_t> encoded;
        if (!EncodePng(pixels, width, height, encoded))
            return 0;
        return WriteNamedFile(name, encoded.data(), encoded.size()) ? 1 : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

}  // extern "C"
