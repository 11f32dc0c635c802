// PNG icons: an ordinary PNG picture whose "icOn" chunk, the last one before
// "IEND", carries the icon's attributes. The host decodes and encodes the
// picture; this file walks the chunks and builds the attribute chunk.
#include "formats/amiga/png_icon.h"

#include "host/host_calls.h"
#include "io/byte_io.h"

#include <cstdint>

// The PNG signature, the IHDR chunk (8 + 13 data + 4 CRC) and IEND: nothing
// shorter can be a whole PNG.
static constexpr std::uint64_t PNG_SIGNATURE_SIZE = 8;
static constexpr std::uint64_t PNG_IHDR_CHUNK_SIZE = 25;
static constexpr std::uint64_t PNG_IEND_CHUNK_SIZE = 12;
static constexpr std::uint64_t PNG_MIN_FILE_SIZE = PNG_SIGNATURE_SIZE + PNG_IHDR_CHUNK_SIZE + PNG_IEND_CHUNK_SIZE;

// Length 0, "IEND", and the CRC-32 of "IEND".
static constexpr std::uint8_t PngIendChunk[PNG_IEND_CHUNK_SIZE] = {
    0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82,
};

static constexpr std::int32_t PNG_ICON_DEPTH = 32;
// HostSavePng: the pixels carry alpha; the other two words are reserved.
static constexpr std::int32_t PNG_SAVE_ALPHA = 1;

static int EndsWithIend(const std::uint8_t* data, std::uint64_t length)
{
    const std::uint8_t* tail = data + length - PNG_IEND_CHUNK_SIZE;
    for (std::uint64_t i = 0; i < PNG_IEND_CHUNK_SIZE; ++i)
        if (tail[i] != PngIendChunk[i])
            return 0;
    return 1;
}

int WritePngImage(HostFile* file, const IconImage* image)
{
    if (!image || image->depth != PNG_ICON_DEPTH || !image->pixels)
        return 0;
    char name[HOST_NAME_BUFFER_SIZE] = {};
    HostStream* stream = HostOpenMemStream(name, HOST_NAME_BUFFER_SIZE, 0);
    if (!stream)
        return 0;
    // Pixel words of a 32-bit image are stored as native uint32 words.
    const auto* pixels = reinterpret_cast<const std::uint32_t*>(image->pixels);
    int ok = HostSavePng(name, pixels, image->width, image->height, PNG_SAVE_ALPHA, 0, 0) != 0;
    if (ok) {
        std::uint64_t length = 0;
        const auto* data = static_cast<const std::uint8_t*>(HostGetMemStreamData(stream, &length, 0));
        // The icOn writer overwrites the last 12 bytes, so they must be the
        // encoder's IEND and the output must be a whole PNG.
        ok = data && length >= PNG_MIN_FILE_SIZE && length <= std::uint64_t(INT64_MAX) &&
             EndsWithIend(data, length);
        if (ok)
            HostWrite(file, data, std::int64_t(length));
    }
    HostCloseMemStream(stream);
    return ok;
}

int LoadPngIcon(const char* name, HostFile* file, IconHandle* icon)
{
    (void)name;
    (void)file;
    (void)icon;
    return 0;
}

int SavePngIcon(HostFile* file, const IconImage* first, const IconAttributes* attributes)
{
    (void)file;
    (void)first;
    (void)attributes;
    return 0;
}
