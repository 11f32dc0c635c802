// JPEG 2000 decoding: a picture in memory to 0xAARRGGBB words, through
// libopenjp2, loaded when the first picture comes (shared_libraries.h).
//
// A picture comes either as a file of boxes or as a bare codestream.
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
#include "runtime/picture_codecs.h"
#include "runtime/shared_libraries.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace tessel::runtime {
namespace {

// Grey, grey and alpha, RGB, RGBA: four components at most, one word per pixel.
constexpr OPJ_UINT32 JP2_MAX_COMPONENTS = 4;
// Deeper samples would need more than the top byte kept; none of the four
// layouts above uses them.
constexpr OPJ_UINT32 JP2_MAX_PRECISION = 16;
// Boxes: a length and a type, 8 bytes; the header box, its image header
// box (height, width, ...), the codestream box. A codestream opens with SOC
// and SIZ, whose fields end 24 bytes in.
constexpr std::size_t JP2_BOX_HEADER = 8;
constexpr std::uint32_t JP2_HEADER_BOX = 0x6A703268;        // "jp2h"
constexpr std::uint32_t JP2_IMAGE_HEADER_BOX = 0x69686472;  // "ihdr"
constexpr std::uint32_t JP2_CODESTREAM_BOX = 0x6A703263;    // "jp2c"
constexpr std::size_t JP2_IHDR_SIZE = 14;                    // height, width, components, depth, ...
constexpr std::uint32_t J2K_SOC_SIZ = 0xFF4FFF51;
constexpr std::size_t J2K_SIZ_END = 24;
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

OPJ_BOOL SeekJpeg2000Source(OPJ_OFF_T position, void* user)
{
    auto* source = static_cast<Jpeg2000Source*>(user);
    // A negative position turns into a large one, past the data.
    if (static_cast<std::uint64_t>(position) > source->size)
        return OPJ_FALSE;
    source->offset = static_cast<std::size_t>(position);
    return OPJ_TRUE;
}

// Moves the read position by count, either way; -1 and no move when that
// would leave the data.
OPJ_OFF_T SkipJpeg2000Source(OPJ_OFF_T count, void* user)
{
    OPJ_OFF_T target = 0;
    const auto offset = static_cast<OPJ_OFF_T>(static_cast<Jpeg2000Source*>(user)->offset);
    if (__builtin_add_overflow(offset, count, &target) || !SeekJpeg2000Source(target, user))
        return -1;
    return count;
}

// The library reports through these; the host says nothing itself, and a
// failure reaches the caller as a refusal.
void IgnoreJpeg2000Message(const char*, void*) {}

using OpjStream = std::unique_ptr<opj_stream_t, decltype(OpenJpegFunctions::opj_stream_destroy)>;
using OpjCodec = std::unique_ptr<opj_codec_t, decltype(OpenJpegFunctions::opj_destroy_codec)>;
using OpjImage = std::unique_ptr<opj_image_t, decltype(OpenJpegFunctions::opj_image_destroy)>;

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
    // A corner below or left of the origin makes a side that wraps round to a
    // huge one, which the limits refuse as they refuse a side of 0.
    if (!FitsImageLimits(image.x1 - image.x0, image.y1 - image.y0))
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
    const OpenJpegFunctions* opj = OpenJpeg();
    if (!opj)
        return false;
    Jpeg2000Source source{data, size, 0};
    OpjStream stream(opj->opj_stream_create(JP2_STREAM_BUFFER_BYTES, OPJ_TRUE), opj->opj_stream_destroy);
    if (!stream)
        return false;
    opj->opj_stream_set_user_data(stream.get(), &source, nullptr);
    opj->opj_stream_set_user_data_length(stream.get(), size);
    opj->opj_stream_set_read_function(stream.get(), ReadJpeg2000Source);
    opj->opj_stream_set_skip_function(stream.get(), SkipJpeg2000Source);
    opj->opj_stream_set_seek_function(stream.get(), SeekJpeg2000Source);

    OpjCodec codec(opj->opj_create_decompress(format), opj->opj_destroy_codec);
    if (!codec)
        return false;
    opj->opj_set_info_handler(codec.get(), IgnoreJpeg2000Message, nullptr);
    opj->opj_set_warning_handler(codec.get(), IgnoreJpeg2000Message, nullptr);
    opj->opj_set_error_handler(codec.get(), IgnoreJpeg2000Message, nullptr);
    opj_dparameters_t parameters;
    opj->opj_set_default_decoder_parameters(&parameters);
    // Strict: a codestream that ends early is refused, not shown half decoded.
    if (!opj->opj_setup_decoder(codec.get(), &parameters) || !opj->opj_decoder_set_strict_mode(codec.get(), OPJ_TRUE))
        return false;

    // The headers alone decide whether the samples may be decoded.
    opj_image_t* header = nullptr;
    const bool headerRead = opj->opj_read_header(stream.get(), codec.get(), &header);
    OpjImage image(header, opj->opj_image_destroy);
    if (!headerRead || !IsDecodableJpeg2000Layout(*image))
        return false;
    const OPJ_UINT32 pictureWidth = image->x1 - image->x0;
    const OPJ_UINT32 pictureHeight = image->y1 - image->y0;
    // The decoder holds every sample as a 32-bit integer: a picture whose
    // samples would take more than a picture may is refused from its header,
    // before any memory goes to it; and the samples count against the
    // call's picture budget beside the pixels.
    const std::uint64_t sampleBytes = std::uint64_t{pictureWidth} * pictureHeight * image->numcomps * sizeof(OPJ_INT32);
    if (sampleBytes > HOST_IMAGE_MAX_BYTES || !ChargePicture(pictureWidth, pictureHeight, sampleBytes))
        return false;

    if (!opj->opj_decode(codec.get(), stream.get(), image.get()) || !opj->opj_end_decompress(codec.get(), stream.get()))
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

// A box's contents within [at, end): where they start and end. False when
// the box header does not fit or its length leaves the range (a length of 0
// runs to the end; one of 1 gives a 64-bit length after the type).
bool NextBox(const std::uint8_t* data, std::size_t at, std::size_t end, std::uint32_t* type, std::size_t* start,
             std::size_t* stop)
{
    if (end - at < JP2_BOX_HEADER)
        return false;
    std::uint64_t length = LoadBE32(data + at);
    *type = LoadBE32(data + at + 4);
    *start = at + JP2_BOX_HEADER;
    if (length == 1) {
        if (end - at < 2 * JP2_BOX_HEADER)
            return false;
        length = std::uint64_t{LoadBE32(data + at + 8)} << 32 | LoadBE32(data + at + 12);
        *start += JP2_BOX_HEADER;
    } else if (length == 0) {
        length = end - at;
    }
    if (length < *start - at || length > end - at)
        return false;
    *stop = at + static_cast<std::size_t>(length);
    return true;
}

// The first box of this type among the boxes of [at, end).
bool FindBox(const std::uint8_t* data, std::size_t at, std::size_t end, std::uint32_t wanted, std::size_t* start,
             std::size_t* stop)
{
    std::uint32_t type = 0;
    // Every box found moves at past its header, so the walk ends.
    for (; NextBox(data, at, end, &type, start, stop); at = *stop) {
        if (type == wanted)
            return true;
    }
    return false;
}

// Some writers leave a size in the header box that the codestream does not
// have, which the library refuses. The codestream's own size (SIZ: right and
// bottom edges less left and top ones) is the picture's: a copy with the
// header box corrected to it, or an empty one when the boxes are not there
// or already agree.
std::vector<std::uint8_t> WithCodestreamSize(const std::uint8_t* data, std::size_t size)
{
    std::size_t header = 0, headerEnd = 0, ihdr = 0, ihdrEnd = 0, stream = 0, streamEnd = 0;
    if (!FindBox(data, 0, size, JP2_HEADER_BOX, &header, &headerEnd) ||
        !FindBox(data, header, headerEnd, JP2_IMAGE_HEADER_BOX, &ihdr, &ihdrEnd) || ihdrEnd - ihdr != JP2_IHDR_SIZE ||
        !FindBox(data, 0, size, JP2_CODESTREAM_BOX, &stream, &streamEnd) || streamEnd - stream < J2K_SIZ_END ||
        LoadBE32(data + stream) != J2K_SOC_SIZ)
        return {};
    // ihdr: height, then width; SIZ: Xsiz, Ysiz, XOsiz, YOsiz from offset 8.
    const std::uint8_t* siz = data + stream;
    const std::uint32_t height = LoadBE32(siz + 12) - LoadBE32(siz + 20);
    const std::uint32_t width = LoadBE32(siz + 8) - LoadBE32(siz + 16);
    if (LoadBE32(data + ihdr) == height && LoadBE32(data + ihdr + 4) == width)
        return {};                                  // the sizes agree: the refusal had another cause
    std::vector<std::uint8_t> copy(data, data + size);
    StoreBE32(copy.data() + ihdr, height);
    StoreBE32(copy.data() + ihdr + 4, width);
    return copy;
}

}  // namespace

bool DecodeJp2(const std::uint8_t* data, std::size_t size, std::int32_t* width, std::int32_t* height,
               PixelWords& pixels)
{
    if (DecodeJpeg2000(OPJ_CODEC_JP2, data, size, width, height, pixels))
        return true;
    const std::vector<std::uint8_t> corrected = WithCodestreamSize(data, size);
    return !corrected.empty() &&
           DecodeJpeg2000(OPJ_CODEC_JP2, corrected.data(), corrected.size(), width, height, pixels);
}

bool DecodeJ2k(const std::uint8_t* data, std::size_t size, std::int32_t* width, std::int32_t* height,
               PixelWords& pixels)
{
    return DecodeJpeg2000(OPJ_CODEC_J2K, data, size, width, height, pixels);
}

}  // namespace tessel::runtime
