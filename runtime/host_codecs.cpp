// HostCompress/HostUncompress (zlib streams) and HostCrc32 (the CRC of PNG
// chunks), on zlib. Results are zlib's own codes: 0 (Z_OK) on success.
#include "runtime/host_services.h"

#include <algorithm>
#include <limits>

#include <zlib.h>

namespace {

// crc32() takes a uInt length; longer buffers are fed in pieces of this size.
constexpr std::uint64_t CRC_CHUNK_BYTES = 1u << 30;

// zlib's lengths are uLong; longer ones are refused rather than cut.
bool LengthsFitZlib(std::uint64_t dstLength, std::uint64_t srcLength)
{
    return dstLength <= std::numeric_limits<uLong>::max() && srcLength <= std::numeric_limits<uLong>::max();
}

// zlib wants a readable pointer even for an empty input.
const Bytef* ZlibInput(const std::uint8_t* src)
{
    static const Bytef EMPTY_INPUT = 0;
    return src ? src : &EMPTY_INPUT;
}

}  // namespace

// compress2 at the default level. *dstLength holds the room in dst on entry
// and the compressed size on success.
extern "C" std::int32_t TesselHostCompress(std::uint8_t* dst, std::uint64_t* dstLength,
                                           const std::uint8_t* src, std::uint64_t srcLength)
{
    if (!dst || !dstLength || (!src && srcLength != 0))
        return Z_STREAM_ERROR;
    if (!LengthsFitZlib(*dstLength, srcLength))
        return Z_BUF_ERROR;
    uLongf room = static_cast<uLongf>(*dstLength);
    int result = compress2(dst, &room, ZlibInput(src), static_cast<uLong>(srcLength), Z_DEFAULT_COMPRESSION);
    if (result == Z_OK)
        *dstLength = room;
    return result;
}

// uncompress: success also when the data is shorter than the room given
// (*dstLength then holds the real size); corrupt or truncated data and data
// that does not fit are errors.
extern "C" std::int32_t TesselHostUncompress(std::uint8_t* dst, std::uint64_t* dstLength,
                                             const std::uint8_t* src, std::uint64_t srcLength)
{
    if (!dstLength || (!dst && *dstLength != 0) || (!src && srcLength != 0))
        return Z_STREAM_ERROR;
    if (!LengthsFitZlib(*dstLength, srcLength))
        return Z_BUF_ERROR;
    // With no room zlib writes into a byte of its own to detect extra data;
    // it still needs a non-null pointer to start from.
    Bytef spare = 0;
    uLongf room = static_cast<uLongf>(*dstLength);
    int result = uncompress(dst ? dst : &spare, &room, ZlibInput(src), static_cast<uLong>(srcLength));
    if (result == Z_OK)
        *dstLength = room;
    return result;
}

extern "C" std::uint32_t TesselHostCrc32(const void* buffer, std::uint64_t n)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    if (!buffer)
        return static_cast<std::uint32_t>(crc);
    const auto* bytes = static_cast<const Bytef*>(buffer);
    while (n > 0) {
        const std::uint64_t piece = std::min<std::uint64_t>(n, CRC_CHUNK_BYTES);
        crc = crc32(crc, bytes, static_cast<uInt>(piece));
        bytes += piece;
        n -= piece;
    }
    return static_cast<std::uint32_t>(crc);
}
