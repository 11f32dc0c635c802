// Decoding steps that the Windows and macOS readers share: an embedded PNG
// handed to the host's image loader, and a 1-bit mask applied to an image the
// reader has just decoded.
#include "icon/decode_helpers.h"

#include "host/host_calls.h"
#include "io/byte_io.h"

#include <algorithm>
#include <cstring>

int DecodeEmbeddedPng(const std::uint8_t* data, std::uint32_t length, const char* typeHint, int selected,
                      IconHandle* icon, IconImage** tail)
{
    // The host reads the bytes in place under a name of its making; the block
    // stays ours and alive until HostLoadImage returns.
    MemFileDesc desc{};
    desc.data = data;
    desc.extensionHint = typeHint;
    desc.sizeHigh = 0;
    desc.sizeLow = length;
    char name[HOST_NAME_BUFFER_SIZE];
    name[0] = '\0';
    if (!HostMemFileName(name, HOST_NAME_BUFFER_SIZE, &desc, 0) || name[0] == '\0')
        return 0;
    // A name that fills the buffer without its terminator is no name.
    if (!std::memchr(name, '\0', sizeof name))
        return 0;

    const TagItem options[] = {{HOSTIMAGE_TAG_ARGB, 1}, {HOSTIMAGE_TAG_INDEX, 0}, {0, 0}};
    std::int32_t width = 0;
    std::int32_t height = 0;
    HostImage* hostImage = HostLoadImage(name, options, &width, &height, 0);
    if (!hostImage)
        return PICTURE_NOT_DECODED;
    const std::uint32_t* source = HostGetImagePixels(hostImage);
    // NewIconImage refuses sizes below 1 or above the image limits, so the
    // copy below stays inside both blocks.
    IconImage* image = source ? NewIconImage(width, height, 32, 0, selected, icon, tail) : nullptr;
    if (image)
        std::memcpy(image->pixels, source, IconPixelBytes(width, height, 32));
    HostFreeImage(hostImage);
    return image ? 1 : 0;
}

int DecodePictureFromFile(HostFile* file, std::uint64_t length, const char* typeHint, int selected, IconHandle* icon,
                          IconImage** tail)
{
    auto* data = static_cast<std::uint8_t*>(HostAllocMem(length, 0, "pngbuf"));
    if (!data)
        return 0;
    const int result = ReadExactly(file, data, length)
                           ? DecodeEmbeddedPng(data, static_cast<std::uint32_t>(length), typeHint, selected, icon, tail)
                           : 0;
    HostFreeMem(data);
    return result;
}

namespace {

struct MaskWalk {
    IconImage* image;
    int sourceDepth;
    std::int32_t pen;
    bool madeTransparent;
    bool endedEarly;
};

// Applies one mask bit to the pixel at (x, y). Returns false when the walk
// must stop: a palette image without a free index takes the colour of its
// first transparent pixel as its pen, and the rest of the mask does not count.
bool ApplyMaskBit(MaskWalk& walk, std::int32_t x, std::int32_t y, bool transparent)
{
    IconImage* image = walk.image;
    std::uint64_t index = std::uint64_t(y) * std::uint64_t(image->width) + std::uint64_t(x);
    if (walk.sourceDepth == 24) {
        auto* words = reinterpret_cast<std::uint32_t*>(image->pixels);
        words[index] = transparent ? (words[index] & 0x00FFFFFFu) : (words[index] | 0xFF000000u);
        return true;
    }
    if (!transparent)
        return true;
    if (walk.pen == -1) {
        walk.pen = image->pixels[index];
        walk.endedEarly = true;
        return false;
    }
    image->pixels[index] = static_cast<std::uint8_t>(walk.pen);
    walk.madeTransparent = true;
    return true;
}

// Windows layout: bottom row first, ceil(W / 8) bytes of bits padded to a
// multiple of 4 bytes, 1 = transparent.
void WalkWindowsMask(HostFile* file, MaskWalk& walk)
{
    std::int32_t width = walk.image->width;
    std::int32_t height = walk.image->height;
    std::int32_t dataBytes = (width + 7) / 8;
    std::int32_t fillerBytes = width % 32 ? (32 - width % 32) / 8 : 0;
    for (std::int32_t row = 0; row < height; ++row) {
        std::int32_t y = height - 1 - row;
        for (std::int32_t byte = 0; byte < dataBytes; ++byte) {
            std::uint32_t bits = ReadByte(file);
            std::int32_t first = byte * 8;
            const std::int32_t count = std::min(width - first, 8);
            for (std::int32_t bit = 0; bit < count; ++bit) {
                if (!ApplyMaskBit(walk, first + bit, y, ((bits >> (7 - bit)) & 1) != 0))
                    return;
            }
        }
        if (fillerBytes)
            HostSeek(file, fillerBytes, HOST_SEEK_CURRENT);
    }
}

// Mac layout: top row first, W div 8 whole bytes, 0 = transparent. The last
// W mod 8 pixels of a row have no bit and stay as they are.
void WalkMacMask(HostFile* file, MaskWalk& walk)
{
    std::int32_t width = walk.image->width;
    std::int32_t height = walk.image->height;
    std::int32_t dataBytes = width / 8;
    for (std::int32_t y = 0; y < height; ++y) {
        for (std::int32_t byte = 0; byte < dataBytes; ++byte) {
            std::uint32_t bits = ReadByte(file);
            for (std::int32_t bit = 0; bit < 8; ++bit) {
                if (!ApplyMaskBit(walk, byte * 8 + bit, y, ((bits >> (7 - bit)) & 1) == 0))
                    return;
            }
        }
    }
}

// The smallest index from 0 to 2^depth - 1 that no pixel holds, or -1.
std::int32_t FreeIndex(const IconImage* image)
{
    bool used[256] = {};
    std::uint64_t count = std::uint64_t(image->width) * std::uint64_t(image->height);
    for (std::uint64_t i = 0; i < count; ++i)
        used[image->pixels[i]] = true;
    std::int32_t colours = 1 << image->depth;
    for (std::int32_t c = 0; c < colours; ++c) {
        if (!used[c])
            return c;
    }
    return -1;
}

}  // namespace

void ApplyBitMask(HostFile* file, IconImage* image, int sourceDepth, int layout)
{
    const bool palette = sourceDepth <= 8;

    // A pen set before (a second mask for the same image) is kept: the new
    // mask adds its transparent pixels to those of the first.
    bool penWasSet = image->transparentPen != -1;
    MaskWalk walk{image, sourceDepth, image->transparentPen, false, false};
    if (palette && !penWasSet)
        walk.pen = FreeIndex(image);

    if (layout == MASK_LAYOUT_WINDOWS)
        WalkWindowsMask(file, walk);
    else
        WalkMacMask(file, walk);

    if (!palette)
        return;
    // A mask without a transparent bit leaves the image without a pen, even
    // when an index was free for one.
    if (!penWasSet && !walk.endedEarly && !walk.madeTransparent)
        walk.pen = -1;
    image->transparentPen = walk.pen;
}
