// What the picture decoders and the PNG encoder share, and what the host's
// image handles (host_images.cpp) call: the decoders by signature, the
// buffers they fill, the limits every picture is held to, and the PNG layout
// both PNG directions read and write.
//
// A PNG datastream: the 8-byte signature, then chunks until IEND.
//   offset  size  field
//   0       4     data length n (big-endian, at most 2^31 - 1)
//   4       4     chunk type (four letters)
//   8       n     data
//   8 + n   4     CRC-32 of type and data (big-endian)
// IHDR comes first: width 4, height 4, bit depth 1, colour type 1,
// compression 1, filter 1, interlace 1.
#pragma once

#include "io/byte_io.h"
#include "runtime/host_services.h"

#include <libdeflate.h>
#include <spng.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace tessel::runtime {

// ---- Buffers -----------------------------------------------------------------

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

using PixelWords = std::vector<std::uint32_t, UninitializedAllocator<std::uint32_t>>;
using ByteBuffer = std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;

// ---- Limits ------------------------------------------------------------------

// True when the picture's sides and its 32-bit pixel buffer are within the limits.
inline bool FitsImageLimits(std::uint64_t width, std::uint64_t height)
{
    if (width < 1 || height < 1 || width > HOST_IMAGE_MAX_SIDE || height > HOST_IMAGE_MAX_SIDE)
        return false;
    return width * height * 4 <= HOST_IMAGE_MAX_BYTES;
}

// ---- Bytes and words ---------------------------------------------------------

inline std::uint32_t LoadBE32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

inline void StoreBE32(std::uint8_t* p, std::uint32_t value)
{
    p[0] = static_cast<std::uint8_t>(value >> 24);
    p[1] = static_cast<std::uint8_t>(value >> 16);
    p[2] = static_cast<std::uint8_t>(value >> 8);
    p[3] = static_cast<std::uint8_t>(value);
}

// Words whose memory holds R, G, B, A bytes become 0xAARRGGBB words, in
// place. Whole words at a time, so the compiler can vectorise the loop; the
// machine's byte order decides the shifts.
inline void ToArgbWords(std::uint32_t* words, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t w = words[i];
        if constexpr (std::endian::native == std::endian::little)
            words[i] = (w & 0xFF00FF00u) | (w & 0xFFu) << 16 | (w >> 16 & 0xFFu);  // read as 0xAABBGGRR
        else
            words[i] = std::rotr(w, 8);  // read as 0xRRGGBBAA
    }
}

// The other way: 0xAARRGGBB words to words whose memory holds R, G, B, A,
// from one buffer into another in a single pass.
inline void ToRgbaBytes(const std::uint32_t* argb, std::uint32_t* rgba, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t w = argb[i];
        if constexpr (std::endian::native == std::endian::little)
            rgba[i] = (w & 0xFF00FF00u) | (w & 0xFFu) << 16 | (w >> 16 & 0xFFu);
        else
            rgba[i] = std::rotl(w, 8);
    }
}

// ---- PNG ---------------------------------------------------------------------

inline constexpr std::array<std::uint8_t, 8> PNG_SIGNATURE = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
inline constexpr std::size_t PNG_CHUNK_OVERHEAD = 12;  // length, type, CRC
inline constexpr std::uint32_t PNG_MAX_CHUNK_LENGTH = 0x7FFFFFFF;
inline constexpr std::uint32_t PNG_IHDR_LENGTH = 13;

inline constexpr std::uint32_t PNG_CHUNK_IHDR = FourCc('I', 'H', 'D', 'R');
inline constexpr std::uint32_t PNG_CHUNK_IDAT = FourCc('I', 'D', 'A', 'T');
inline constexpr std::uint32_t PNG_CHUNK_IEND = FourCc('I', 'E', 'N', 'D');
static_assert(PNG_CHUNK_IEND == 0x49454E44);

struct SpngContextDeleter {
    void operator()(spng_ctx* context) const { spng_ctx_free(context); }
};
using SpngContext = std::unique_ptr<spng_ctx, SpngContextDeleter>;

// One libdeflate decompressor a thread, kept for every picture decoded or
// encoded (png_decoder.cpp).
libdeflate_decompressor* Decompressor();

// ---- Decoders ----------------------------------------------------------------

// Each decodes the first picture of data, which starts with its signature, to
// straight-alpha 0xAARRGGBB words, top row first, refusing a picture over the
// limits before allocating for it. On success sets *width, *height and
// pixels; may throw std::bad_alloc.
using DecodeFunction = bool (*)(const std::uint8_t* data, std::size_t size, std::int32_t* width,
                                std::int32_t* height, PixelWords& pixels);

// PNG (png_decoder.cpp).
bool DecodePng(const std::uint8_t* data, std::size_t size, std::int32_t* width, std::int32_t* height,
               PixelWords& pixels);

// JPEG 2000 (jpeg2000_decoder.cpp): a file of boxes, which opens with the
// 12-byte signature box 'jP  ' holding 0D 0A 87 0A, or a bare codestream,
// which opens with the markers SOC (FF 4F) and SIZ (FF 51).
inline constexpr std::array<std::uint8_t, 12> JP2_SIGNATURE = {0x00, 0x00, 0x00, 0x0C, 'j',  'P',
                                                               ' ',  ' ',  0x0D, 0x0A, 0x87, 0x0A};
inline constexpr std::array<std::uint8_t, 4> J2K_SIGNATURE = {0xFF, 0x4F, 0xFF, 0x51};
bool DecodeJp2(const std::uint8_t* data, std::size_t size, std::int32_t* width, std::int32_t* height,
               PixelWords& pixels);
bool DecodeJ2k(const std::uint8_t* data, std::size_t size, std::int32_t* width, std::int32_t* height,
               PixelWords& pixels);

}  // namespace tessel::runtime
