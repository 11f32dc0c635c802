// PNG encoding: 0xAARRGGBB words, or R, G, B, A bytes, to an 8-bit RGBA PNG
// holding only IHDR, IDAT and IEND. libspng filters the rows and libdeflate
// compresses them; the same pixels always give the same bytes.
#include "runtime/picture_codecs.h"

#include <libdeflate.h>
#include <spng.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>

namespace tessel::runtime {
namespace {

// Encoder settings, pinned rather than left to the libraries' defaults so
// the bytes do not drift with their versions. libdeflate's fastest level,
// on rows filtered adaptively, compresses the PNG entries of real macOS
// icons about 8% less than zlib's default level does, in a seventh of the
// time.
constexpr int PNG_ENCODE_FILTER_CHOICE = SPNG_FILTER_CHOICE_ALL;
constexpr int PNG_ENCODE_DEFLATE_LEVEL = 1;

struct MallocDeleter {
    void operator()(void* block) const { std::free(block); }
};

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
            const std::uint32_t length = LoadBE32(bytes + offset);
            const std::uint32_t type = LoadBE32(bytes + offset + 4);
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
        throw std::bad_alloc();
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
