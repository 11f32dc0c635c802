// The host's picture services: decoding a named file (PNG through libspng,
// JPEG 2000 through libopenjp2) to 0xAARRGGBB words and encoding such words
// as PNG, through libspng and libdeflate.
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

#include <libdeflate.h>
#include <openjpeg.h>
#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

namespace tessel::runtime {
namespace {

// A vector whose elements are left uninitialised when it grows: a decoder
// writes every pixel word, so the zero fill std::vector would do first is
// wasted time, and for large pictures a second pass over fresh memory.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept
    {
    }
    template <typename U>
    void construct(U* place) noexcept
    {
        ::new (static_cast<void*>(place)) U;
    }
    template <typename U, typename... Args>
    void construct(U* place, Args&&... args)
    {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

}  // namespace

using PixelWords = std::vector<std::uint32_t, UninitializedAllocator<std::uint32_t>>;
using ByteBuffer = std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;

}  // namespace tessel::runtime

struct HostImage {
    std::int32_t width = 0;
    std::int32_t height = 0;
    tessel::runtime::PixelWords pixels;
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
// Encoder settings, pinned rather than left to the libraries' defaults so
// the bytes do not drift with their versions. libdeflate's fastest level,
// on rows filtered adaptively, compresses the PNG entries of real macOS
// icons about 8% less than zlib's default level does, in a seventh of the
// time.
constexpr int PNG_ENCODE_FILTER_CHOICE = SPNG_FILTER_CHOICE_ALL;
constexpr int PNG_ENCODE_DEFLATE_LEVEL = 1;

// Options list items beyond this count mean the list has no end marker.
constexpr int HOST_IMAGE_MAX_OPTIONS = 256;

std::int64_t LiveImageCount = 0;

constexpr std::uint32_t FourCc(char a, char b, char c, char d)
{
    return (std::uint32_t{static_cast<std::uint8_t>(a)} << 24) | (std::uint32_t{static_cast<std::uint8_t>(b)} << 16) |
           (std::uint32_t{static_cast<std::uint8_t>(c)} << 8) | std::uint32_t{static_cast<std::uint8_t>(d)};
}
constexpr std::uint32_t PNG_CHUNK_IHDR = FourCc('I', 'H', 'D', 'R');
constexpr std::uint32_t PNG_CHUNK_IDAT = FourCc('I', 'D', 'A', 'T');
constexpr std::uint32_t PNG_CHUNK_IEND = FourCc('I', 'E', 'N', 'D');
static_assert(PNG_CHUNK_IEND == 0x49454E44);

std::uint32_t ReadBE32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void StoreBE32(std::uint8_t* p, std::uint32_t value)
{
    p[0] = static_cast<std::uint8_t>(value >> 24);
    p[1] = static_cast<std::uint8_t>(value >> 16);
    p[2] = static_cast<std::uint8_t>(value >> 8);
    p[3] = static_cast<std::uint8_t>(value);
}

// Words whose memory holds R, G, B, A bytes become 0xAARRGGBB words, in
// place. Whole words at a time, so the compiler can vectorise the loop; the
// machine's byte order decides the shifts.
void ToArgbWords(std::uint32_t* words, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t w = words[i];
        if constexpr (std::endian::native == std::endian::little)
            words[i] = (w & 0xFF00FF00u) | (w & 0xFFu) << 16 | (w >> 16 & 0xFFu);  // read as 0xAABBGGRR
        else
            words[i] = w >> 8 | w << 24;  // read as 0xRRGGBBAA
    }
}

// The other way: 0xAARRGGBB words to words whose memory holds R, G, B, A,
// from one buffer into another in a single pass.
void ToRgbaBytes(const std::uint32_t* argb, std::uint32_t* rgba, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t w = argb[i];
        if constexpr (std::endian::native == std::endian::little)
            rgba[i] = (w & 0xFF00FF00u) | (w & 0xFFu) << 16 | (w >> 16 & 0xFFu);
        else
            rgba[i] = w << 8 | w >> 24;
    }
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
        // Every chunk's CRC is checked here, so a damaged chunk is a refusal
        // even where spng would skip the chunk.
        const std::uint32_t stored = ReadBE32(data + offset + 8 + length);
        if (stored != libdeflate_crc32(0, data + offset + 4, std::size_t{length} + 4))
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

struct DeflateDecompressorDeleter {
    void operator()(libdeflate_decompressor* decompressor) const { libdeflate_free_decompressor(decompressor); }
};

// One decompressor a thread, kept for every picture.
libdeflate_decompressor* Decompressor()
{
    thread_local std::unique_ptr<libdeflate_decompressor, DeflateDecompressorDeleter> decompressor(
        libdeflate_alloc_decompressor());
    return decompressor.get();
}

// The fast path only takes image data up to this many bytes inflated; larger
// pictures go through spng alone, which needs no buffer for all the rows.
constexpr std::size_t PNG_FAST_PATH_MAX_BYTES = 64u << 20;
// Largest stored deflate block.
constexpr std::size_t DEFLATE_STORED_MAX = 65535;

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
        const std::uint32_t length = ReadBE32(data + offset);
        const std::uint32_t type = ReadBE32(data + offset + 4);
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
        return false;
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
    if (spng_get_ihdr(context.get(), &header) != 0 || !FitsImageLimits(header.width, header.height))
        return false;

    PixelWords words(std::size_t{header.width} * header.height);
    ByteBuffer rewrapped;
    bool decoded = false;
    if (RewrapImageData(data, streamSize, header, rewrapped)) {
        SpngContext fast = OpenPng(rewrapped.data(), rewrapped.size(), false);
        decoded = fast && DecodeWithSpng(fast.get(), header, words);
    }
    if (!decoded && !DecodeWithSpng(context.get(), header, words))
        return false;
    pixels = std::move(words);
    *width = static_cast<std::int32_t>(header.width);
    *height = static_cast<std::int32_t>(header.height);
    return true;
}

// JPEG 2000 comes either as a file of boxes or as a bare codestream.
// A box: 4-byte big-endian length (header included), 4-letter type, contents.
// The file opens with the 12-byte signature box 'jP  ' holding 0D 0A 87 0A;
// 'jp2h' describes the picture ('ihdr', 'colr', 'pclr', 'cdef') and 'jp2c'
// holds the codestream.
// A codestream opens with SOC (FF 4F) and SIZ (FF 51):
//   offset  size  field
//   4       2     Lsiz (38 + 3 per component)
//   6       2     Rsiz (capabilities)
//   8       4     Xsiz, Ysiz: right and bottom edges of the picture
//   16      4     XOsiz, YOsiz: left and top edges
//   24      4     XTsiz, YTsiz, XTOsiz, YTOsiz: the tile grid
//   40      2     Csiz: component count
//   42      3n    per component Ssiz (bit 7 signed, bits 0-6 precision - 1),
//                 XRsiz, YRsiz (subsampling)
// libopenjp2 parses both; this code feeds it the bytes, checks what the
// header claims before any sample is decoded, and turns the components
// into words.
constexpr std::array<std::uint8_t, 12> JP2_SIGNATURE = {0x00, 0x00, 0x00, 0x0C, 'j', 'P', ' ', ' ',
                                                        0x0D, 0x0A, 0x87, 0x0A};
constexpr std::array<std::uint8_t, 4> J2K_SIGNATURE = {0xFF, 0x4F, 0xFF, 0x51};

// Grey, grey and alpha, RGB, RGBA: four components at most, one word per pixel.
constexpr OPJ_UINT32 JP2_MAX_COMPONENTS = 4;
// Deeper samples would need more than the top byte kept; none of the four
// layouts above uses them.
constexpr OPJ_UINT32 JP2_MAX_PRECISION = 16;
// Bytes the library asks for at a time; the data is already in memory, so
// this only sizes its copy buffer.
constexpr OPJ_SIZE_T JP2_STREAM_BUFFER_BYTES = 64u << 10;

// The bytes being decoded and the library's read position in them.
struct Jpeg2000Source {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t offset = 0;
};

// Copies up to count bytes from the read position; (OPJ_SIZE_T)-1 tells the
// library the data has ended.
OPJ_SIZE_T ReadJpeg2000Source(void* buffer, OPJ_SIZE_T count, void* user)
{
    auto* source = static_cast<Jpeg2000Source*>(user);
    if (source->offset >= source->size)
        return static_cast<OPJ_SIZE_T>(-1);
    const std::size_t n = std::min<std::size_t>(count, source->size - source->offset);
    std::memcpy(buffer, source->data + source->offset, n);
    source->offset += n;
    return n;
}

// Moves the read position by count, either way; -1 and no move when that
// would leave the data.
OPJ_OFF_T SkipJpeg2000Source(OPJ_OFF_T count, void* user)
{
    auto* source = static_cast<Jpeg2000Source*>(user);
    // Unsigned negation: the most negative count cannot overflow.
    const std::uint64_t distance =
        count < 0 ? 0 - static_cast<std::uint64_t>(count) : static_cast<std::uint64_t>(count);
    if (count < 0) {
        if (distance > source->offset)
            return -1;
        source->offset -= static_cast<std::size_t>(distance);
    } else {
        if (distance > source->size - source->offset)
            return -1;
        source->offset += static_cast<std::size_t>(distance);
    }
    return count;
}

OPJ_BOOL SeekJpeg2000Source(OPJ_OFF_T position, void* user)
{
    auto* source = static_cast<Jpeg2000Source*>(user);
    if (position < 0 || static_cast<std::uint64_t>(position) > source->size)
        return OPJ_FALSE;
    source->offset = static_cast<std::size_t>(position);
    return OPJ_TRUE;
}

// The library reports through these; the host says nothing itself, and a
// failure reaches the caller as a refusal.
void IgnoreJpeg2000Message(const char*, void*) {}

struct OpjStreamDeleter {
    void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};
struct OpjCodecDeleter {
    void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};
struct OpjImageDeleter {
    void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};
using OpjStream = std::unique_ptr<opj_stream_t, OpjStreamDeleter>;
using OpjCodec = std::unique_ptr<opj_codec_t, OpjCodecDeleter>;
using OpjImage = std::unique_ptr<opj_image_t, OpjImageDeleter>;

// True when the picture has one to four full-size components of 1 to 16
// bits in a colour space whose samples are grey or RGB already. YCC and
// CMYK pictures are refused rather than shown in the wrong colours.
bool IsDecodableJpeg2000Layout(const opj_image_t& image)
{
    if (image.numcomps < 1 || image.numcomps > JP2_MAX_COMPONENTS || !image.comps)
        return false;
    if (image.color_space == OPJ_CLRSPC_SYCC || image.color_space == OPJ_CLRSPC_EYCC ||
        image.color_space == OPJ_CLRSPC_CMYK)
        return false;
    if (image.x1 <= image.x0 || image.y1 <= image.y0 || !FitsImageLimits(image.x1 - image.x0, image.y1 - image.y0))
        return false;
    for (OPJ_UINT32 i = 0; i < image.numcomps; ++i) {
        const opj_image_comp_t& component = image.comps[i];
        // Subsampled components (chroma at half size) would need resampling.
        if (component.dx != 1 || component.dy != 1 || component.prec < 1 || component.prec > JP2_MAX_PRECISION)
            return false;
    }
    return true;
}

// One component's samples as bytes: signed samples are moved up by half
// their range, deeper ones keep their top 8 bits, shallower ones are
// stretched to the full 0-255 range (a 1-bit 1 is 255, not 128).
class SampleScaler {
public:
    explicit SampleScaler(const opj_image_comp_t& component)
        : data_(component.data),
          offset_(component.sgnd ? std::int64_t{1} << (component.prec - 1) : 0),
          maximum_((std::int64_t{1} << component.prec) - 1),
          precision_(component.prec)
    {
    }
    std::uint32_t operator()(std::size_t index) const
    {
        // The library clamps to the component's range; clamping again keeps a
        // stray sample from spilling into the neighbouring byte of the word.
        const std::int64_t value = std::clamp<std::int64_t>(std::int64_t{data_[index]} + offset_, 0, maximum_);
        if (precision_ > 8)
            return static_cast<std::uint32_t>(value >> (precision_ - 8));
        if (precision_ < 8)
            return static_cast<std::uint32_t>((value * 255 + maximum_ / 2) / maximum_);
        return static_cast<std::uint32_t>(value);
    }

private:
    const OPJ_INT32* data_;
    std::int64_t offset_;
    std::int64_t maximum_;
    OPJ_UINT32 precision_;
};

// Words from decoded components, by count: grey, grey and alpha, RGB, RGBA.
// The picture has been checked: every component is width x height samples.
PixelWords Jpeg2000Words(const opj_image_t& image, std::size_t pixelCount)
{
    const opj_image_comp_t* comps = image.comps;
    PixelWords words(pixelCount);
    switch (image.numcomps) {
    case 1: {
        const SampleScaler grey(comps[0]);
        for (std::size_t i = 0; i < pixelCount; ++i)
            words[i] = 0xFF000000u | grey(i) * 0x010101u;
        break;
    }
    case 2: {
        const SampleScaler grey(comps[0]), alpha(comps[1]);
        for (std::size_t i = 0; i < pixelCount; ++i)
            words[i] = alpha(i) << 24 | grey(i) * 0x010101u;
        break;
    }
    case 3: {
        const SampleScaler red(comps[0]), green(comps[1]), blue(comps[2]);
        for (std::size_t i = 0; i < pixelCount; ++i)
            words[i] = 0xFF000000u | red(i) << 16 | green(i) << 8 | blue(i);
        break;
    }
    default: {
        const SampleScaler red(comps[0]), green(comps[1]), blue(comps[2]), alpha(comps[3]);
        for (std::size_t i = 0; i < pixelCount; ++i)
            words[i] = alpha(i) << 24 | red(i) << 16 | green(i) << 8 | blue(i);
        break;
    }
    }
    return words;
}

bool DecodeJpeg2000(OPJ_CODEC_FORMAT format, const std::uint8_t* data, std::size_t size, std::int32_t* width,
                    std::int32_t* height, PixelWords& pixels)
{
    Jpeg2000Source source{data, size, 0};
    OpjStream stream(opj_stream_create(JP2_STREAM_BUFFER_BYTES, OPJ_TRUE));
    if (!stream)
        return false;
    opj_stream_set_user_data(stream.get(), &source, nullptr);
    opj_stream_set_user_data_length(stream.get(), size);
    opj_stream_set_read_function(stream.get(), ReadJpeg2000Source);
    opj_stream_set_skip_function(stream.get(), SkipJpeg2000Source);
    opj_stream_set_seek_function(stream.get(), SeekJpeg2000Source);

    OpjCodec codec(opj_create_decompress(format));
    if (!codec)
        return false;
    opj_set_info_handler(codec.get(), IgnoreJpeg2000Message, nullptr);
    opj_set_warning_handler(codec.get(), IgnoreJpeg2000Message, nullptr);
    opj_set_error_handler(codec.get(), IgnoreJpeg2000Message, nullptr);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    // Strict: a codestream that ends early is refused, not shown half decoded.
    if (!opj_setup_decoder(codec.get(), &parameters) || !opj_decoder_set_strict_mode(codec.get(), OPJ_TRUE))
        return false;

    // The headers alone decide whether the samples may be decoded.
    opj_image_t* header = nullptr;
    const bool headerRead = opj_read_header(stream.get(), codec.get(), &header);
    OpjImage image(header);
    if (!headerRead || !image || !IsDecodableJpeg2000Layout(*image))
        return false;
    const OPJ_UINT32 pictureWidth = image->x1 - image->x0;
    const OPJ_UINT32 pictureHeight = image->y1 - image->y0;

    if (!opj_decode(codec.get(), stream.get(), image.get()) || !opj_end_decompress(codec.get(), stream.get()))
        return false;
    // A palette or channel definitions can change the components while
    // decoding, so the checks run again on what came out.
    if (!IsDecodableJpeg2000Layout(*image) || image->x1 - image->x0 != pictureWidth ||
        image->y1 - image->y0 != pictureHeight)
        return false;
    for (OPJ_UINT32 i = 0; i < image->numcomps; ++i) {
        const opj_image_comp_t& component = image->comps[i];
        if (!component.data || component.w != pictureWidth || component.h != pictureHeight || component.factor != 0)
            return false;
    }

    pixels = Jpeg2000Words(*image, std::size_t{pictureWidth} * pictureHeight);
    *width = static_cast<std::int32_t>(pictureWidth);
    *height = static_cast<std::int32_t>(pictureHeight);
    return true;
}

bool DecodeJp2(const std::uint8_t* data, std::size_t size, std::int32_t* width, std::int32_t* height,
               PixelWords& pixels)
{
    return DecodeJpeg2000(OPJ_CODEC_JP2, data, size, width, height, pixels);
}

bool DecodeJ2k(const std::uint8_t* data, std::size_t size, std::int32_t* width, std::int32_t* height,
               PixelWords& pixels)
{
    return DecodeJpeg2000(OPJ_CODEC_J2K, data, size, width, height, pixels);
}

// Decoders by signature. A new format adds one row.
using DecodeFunction = bool (*)(const std::uint8_t*, std::size_t, std::int32_t*, std::int32_t*, PixelWords&);
struct ImageDecoder {
    const std::uint8_t* signature;
    std::size_t signatureSize;
    DecodeFunction decode;
};
// signature, its length, decoder
const ImageDecoder ImageDecoders[] = {
    {PNG_SIGNATURE.data(), PNG_SIGNATURE.size(), DecodePng},
    {JP2_SIGNATURE.data(), JP2_SIGNATURE.size(), DecodeJp2},
    {J2K_SIGNATURE.data(), J2K_SIGNATURE.size(), DecodeJ2k},
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

// One chunk: length, type, data, CRC-32 of type and data.
void AppendPngChunk(std::vector<std::uint8_t>& out, std::uint32_t type, const std::uint8_t* data, std::size_t size)
{
    std::uint8_t header[8];
    StoreBE32(header, static_cast<std::uint32_t>(size));
    StoreBE32(header + 4, type);
    out.insert(out.end(), header, header + sizeof header);
    if (size)
        out.insert(out.end(), data, data + size);
    std::uint32_t crc = libdeflate_crc32(0, header + 4, 4);
    if (size)
        crc = libdeflate_crc32(crc, data, size);
    std::uint8_t trailer[4];
    StoreBE32(trailer, crc);
    out.insert(out.end(), trailer, trailer + sizeof trailer);
}

struct DeflateCompressorDeleter {
    void operator()(libdeflate_compressor* compressor) const { libdeflate_free_compressor(compressor); }
};

// The picture to encode: R, G, B, A bytes, or 0xAARRGGBB words.
struct EncodeSource {
    const std::uint8_t* rgba = nullptr;
    const std::uint32_t* argb = nullptr;
};

// Encodes a picture (width and height already checked against the limits)
// in two passes. libspng filters the rows, trying every filter on each row
// and keeping the one its heuristic prefers, and writes them in stored
// deflate blocks; the filtered rows are then compressed with libdeflate,
// several times faster than zlib, and written as one IDAT between
// libspng's IHDR and a new IEND.
bool Encode(const EncodeSource& source, std::int32_t width, std::int32_t height, std::vector<std::uint8_t>& out)
{
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4 + 1;  // filter byte first
    const std::size_t filteredSize = rowBytes * static_cast<std::size_t>(height);

    ByteBuffer filtered(filteredSize);
    std::vector<std::uint8_t> header;  // the IHDR chunk, whole
    {
        SpngContext context(spng_ctx_new(SPNG_CTX_ENCODER));
        if (!context)
            return false;
        spng_ctx* ctx = context.get();
        spng_ihdr ihdr{};
        ihdr.width = static_cast<std::uint32_t>(width);
        ihdr.height = static_cast<std::uint32_t>(height);
        ihdr.bit_depth = 8;
        ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
        ihdr.interlace_method = SPNG_INTERLACE_NONE;
        if (spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1) != 0 ||
            spng_set_option(ctx, SPNG_IMG_COMPRESSION_LEVEL, 0) != 0 ||
            spng_set_option(ctx, SPNG_FILTER_CHOICE, PNG_ENCODE_FILTER_CHOICE) != 0 || spng_set_ihdr(ctx, &ihdr) != 0)
            return false;
        // Words are turned into bytes in one pass into a buffer of their
        // own; rows are not handed over one by one, as spng's progressive
        // writing is markedly slower than its whole-picture writing.
        PixelWords converted;
        const std::uint8_t* rgba = source.rgba;
        if (!rgba) {
            converted.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
            ToRgbaBytes(source.argb, converted.data(), converted.size());
            rgba = reinterpret_cast<const std::uint8_t*>(converted.data());
        }
        if (spng_encode_image(ctx, rgba, static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4,
                              SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) != 0)
            return false;
        std::size_t storedSize = 0;
        int error = 0;
        std::unique_ptr<void, MallocDeleter> stored(spng_get_png_buffer(ctx, &storedSize, &error));
        if (!stored || error != 0)
            return false;

        // Signature, IHDR, then IDAT chunks whose data together is one zlib
        // stream of stored blocks, then IEND.
        const auto* bytes = static_cast<const std::uint8_t*>(stored.get());
        ByteBuffer stream;
        stream.reserve(filteredSize + filteredSize / 16 + 64);
        std::size_t offset = PNG_SIGNATURE.size();
        while (offset + PNG_CHUNK_OVERHEAD <= storedSize) {
            const std::uint32_t length = ReadBE32(bytes + offset);
            const std::uint32_t type = ReadBE32(bytes + offset + 4);
            if (length > storedSize - offset - PNG_CHUNK_OVERHEAD)
                return false;
            if (type == PNG_CHUNK_IHDR)
                header.assign(bytes + offset, bytes + offset + PNG_CHUNK_OVERHEAD + length);
            else if (type == PNG_CHUNK_IDAT)
                stream.insert(stream.end(), bytes + offset + 8, bytes + offset + 8 + length);
            offset += PNG_CHUNK_OVERHEAD + length;
        }
        if (header.size() != PNG_CHUNK_OVERHEAD + PNG_IHDR_LENGTH)
            return false;
        // Stored blocks: this costs a copy and the Adler-32.
        libdeflate_decompressor* decompressor = Decompressor();
        if (!decompressor || libdeflate_zlib_decompress(decompressor, stream.data(), stream.size(), filtered.data(),
                                                        filteredSize, nullptr) != LIBDEFLATE_SUCCESS)
            return false;
    }

    // One compressor a thread, kept: making one costs more than compressing
    // an icon-sized picture.
    thread_local std::unique_ptr<libdeflate_compressor, DeflateCompressorDeleter> compressor(
        libdeflate_alloc_compressor(PNG_ENCODE_DEFLATE_LEVEL));
    if (!compressor)
        return false;
    ByteBuffer packed(libdeflate_zlib_compress_bound(compressor.get(), filteredSize));
    const std::size_t packedSize =
        libdeflate_zlib_compress(compressor.get(), filtered.data(), filteredSize, packed.data(), packed.size());
    if (packedSize == 0 || packedSize > PNG_MAX_CHUNK_LENGTH)
        return false;

    out.clear();
    out.reserve(PNG_SIGNATURE.size() + header.size() + packedSize + 2 * PNG_CHUNK_OVERHEAD);
    out.insert(out.end(), PNG_SIGNATURE.begin(), PNG_SIGNATURE.end());
    out.insert(out.end(), header.begin(), header.end());
    AppendPngChunk(out, PNG_CHUNK_IDAT, packed.data(), packedSize);
    AppendPngChunk(out, PNG_CHUNK_IEND, nullptr, 0);
    return true;
}

// Refuses a missing picture or one over the limits, then encodes it.
bool EncodeWithinLimits(const EncodeSource& source, std::int32_t width, std::int32_t height,
                        std::vector<std::uint8_t>& out)
{
    if ((!source.argb && !source.rgba) ||
        !FitsImageLimits(static_cast<std::uint64_t>(std::max(width, 0)), static_cast<std::uint64_t>(std::max(height, 0))))
        return false;
    try {
        return Encode(source, width, height, out);
    } catch (const std::exception&) {
        return false;  // out of memory for the buffers
    }
}

}  // namespace

namespace {

bool DecodeWords(const std::uint8_t* data, std::size_t size, std::int32_t* width, std::int32_t* height,
                 PixelWords& pixels)
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

}  // namespace

bool DecodeImage(const std::uint8_t* data, std::size_t size, std::int32_t* width, std::int32_t* height,
                 std::vector<std::uint32_t>& pixels)
{
    PixelWords words;
    if (!DecodeWords(data, size, width, height, words))
        return false;
    try {
        pixels.assign(words.begin(), words.end());
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

std::int64_t LiveImages()
{
    return LiveImageCount;
}

bool EncodePng(const std::uint32_t* pixels, std::int32_t width, std::int32_t height, std::vector<std::uint8_t>& out)
{
    EncodeSource source;
    source.argb = pixels;
    return EncodeWithinLimits(source, width, height, out);
}

bool EncodePngFromRgba(const std::uint8_t* rgba, std::int32_t width, std::int32_t height,
                       std::vector<std::uint8_t>& out)
{
    EncodeSource source;
    source.rgba = rgba;
    return EncodeWithinLimits(source, width, height, out);
}
}  // namespace tessel::runtime

extern "C" {

// Options: HOSTIMAGE_TAG_ARGB must be 1 when given (32-bit ARGB is the only
// delivery); HOSTIMAGE_TAG_INDEX selects the sub-image, and a PNG or a
// JPEG 2000 picture has only sub-image 0. The reserved argument is not
// looked at.
HostImage* TesselHostLoadImage(const char* name, const TagItem* options, std::int32_t* width, std::int32_t* height,
                               std::int32_t)
{
    using namespace tessel::runtime;
    LoadOptions loadOptions;
    if (!name || !ReadLoadOptions(options, loadOptions) || loadOptions.argb != 1 || loadOptions.index != 0)
        return nullptr;
    std::unique_ptr<HostImage> image;
    try {
        image = std::make_unique<HostImage>();
        // A memory file is decoded where it lies; anything else is read first.
        const std::uint8_t* block = nullptr;
        std::uint64_t blockSize = 0;
        std::vector<std::uint8_t> data;
        if (ViewMemFile(name, &block, &blockSize)) {
            if (blockSize > HOST_IMAGE_MAX_FILE_BYTES)
                return nullptr;
        } else {
            if (!ReadNamedFile(name, HOST_IMAGE_MAX_FILE_BYTES, data))
                return nullptr;
            block = data.data();
            blockSize = data.size();
        }
        if (!DecodeWords(block, static_cast<std::size_t>(blockSize), &image->width, &image->height, image->pixels))
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
