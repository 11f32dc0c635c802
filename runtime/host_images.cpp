// The host's image handles: HostLoadImage decodes a named file (a memory
// file where it lies, anything else read whole first) with the decoder its
// signature picks; HostGetImagePixels and HostFreeImage serve and release
// the result; HostSavePng encodes words as a PNG file.
#include "runtime/picture_codecs.h"

#include <cstring>
#include <exception>
#include <memory>
#include <string_view>

struct HostImage {
    std::int32_t width = 0;
    std::int32_t height = 0;
    tessel::runtime::PixelWords pixels;
};

namespace tessel::runtime {
namespace {

// Named files bigger than this are refused unread; no picture within the
// limits needs more.
constexpr std::uint64_t HOST_IMAGE_MAX_FILE_BYTES = 512ull << 20;

// Options list items beyond this count mean the list has no end marker.
constexpr int HOST_IMAGE_MAX_OPTIONS = 256;

std::int64_t LiveImageCount = 0;

bool StartsWith(const std::uint8_t* data, std::size_t size, const std::uint8_t* magic, std::size_t magicSize)
{
    const auto bytes = [](const std::uint8_t* start, std::size_t count) {
        return std::string_view(reinterpret_cast<const char*>(start), count);
    };
    return bytes(data, size).starts_with(bytes(magic, magicSize));
}

// Decoders by signature. A new format adds one row.
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

bool DecodeWords(const std::uint8_t* data, std::size_t size, std::int32_t* width, std::int32_t* height,
                 PixelWords& pixels)
{
    if (!width || !height)
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

namespace {
// What the pictures of the current call may still take, and have taken.
std::uint64_t PictureBudget = ICON_LOAD_BUDGET_BYTES;
std::uint64_t PictureBytesSpent = 0;
}  // namespace

void SetPictureBudget(std::uint64_t bytes)
{
    PictureBudget = bytes;
}

void EndPictureSpending()
{
    PictureBytesSpent = 0;
}

bool ChargePicture(std::uint64_t width, std::uint64_t height, std::uint64_t extraBytes)
{
    const std::uint64_t bytes = width * height * 4 + extraBytes;   // the sides are limited to 16384 already
    if (bytes > PictureBudget - std::min(PictureBudget, PictureBytesSpent)) {
        SetHostFault("a " + std::to_string(width) + "x" + std::to_string(height) + " picture would take more than the " +
                     std::to_string(PictureBudget >> 20) + " MiB of pictures one load may decode");
        return false;
    }
    PictureBytesSpent += bytes;
    return true;
}

std::int64_t LiveImages()
{
    return LiveImageCount;
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
