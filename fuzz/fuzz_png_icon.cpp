// PNG icons. An input that starts with the PNG signature is loaded whole.
// Any other input keeps a sound 4 x 4 picture (signature, IHDR, IDAT) and
// puts the fuzzer's bytes after it, so mutations reach the icOn reader
// instead of dying in the picture decoder:
//   first byte even: the rest is the data of one icOn chunk, then IEND;
//   first byte odd:  the rest is the chunks that follow IDAT, then IEND.
// The CRC of every whole chunk is rewritten so that no input is refused for
// its checksums alone.
#include "fuzz/fuzz_harness.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const std::uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint32_t PICTURE_SIDE = 4;

void AppendBE32(std::vector<std::uint8_t>& bytes, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

// A chunk with room for its CRC; FixPngCrcs fills the CRC in.
void AppendChunk(std::vector<std::uint8_t>& bytes, const char* type, const std::uint8_t* data, std::size_t size)
{
    AppendBE32(bytes, static_cast<std::uint32_t>(size));
    bytes.insert(bytes.end(), type, type + 4);
    if (size)
        bytes.insert(bytes.end(), data, data + size);
    AppendBE32(bytes, 0);
}

// Signature, IHDR and IDAT of a 4 x 4 RGBA picture with a gradient in it.
std::vector<std::uint8_t> MakePicturePrefix()
{
    std::vector<std::uint8_t> bytes(PNG_SIGNATURE, PNG_SIGNATURE + sizeof PNG_SIGNATURE);
    const std::uint8_t header[13] = {0, 0, 0, PICTURE_SIDE, 0, 0, 0, PICTURE_SIDE, 8, 6, 0, 0, 0};
    AppendChunk(bytes, "IHDR", header, sizeof header);

    std::vector<std::uint8_t> rows;
    for (std::uint32_t y = 0; y < PICTURE_SIDE; ++y) {
        rows.push_back(0);  // filter: none
        for (std::uint32_t x = 0; x < PICTURE_SIDE; ++x) {
            rows.push_back(static_cast<std::uint8_t>(x * 60));
            rows.push_back(static_cast<std::uint8_t>(y * 60));
            rows.push_back(0x80);
            rows.push_back(static_cast<std::uint8_t>(0xFF - x * y));
        }
    }
    uLongf packedSize = compressBound(static_cast<uLong>(rows.size()));
    std::vector<std::uint8_t> packed(packedSize);
    if (compress(packed.data(), &packedSize, rows.data(), static_cast<uLong>(rows.size())) != Z_OK)
        std::abort();
    AppendChunk(bytes, "IDAT", packed.data(), packedSize);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    tessel::fuzz::StartModule();
    static const std::vector<std::uint8_t> prefix = MakePicturePrefix();

    std::vector<std::uint8_t> bytes;
    if (size >= sizeof PNG_SIGNATURE && std::memcmp(data, PNG_SIGNATURE, sizeof PNG_SIGNATURE) == 0) {
        bytes.assign(data, data + size);
    } else if (size > 0) {
        bytes = prefix;
        if ((data[0] & 1) == 0)
            AppendChunk(bytes, "icOn", data + 1, size - 1);
        else
            bytes.insert(bytes.end(), data + 1, data + size);
        AppendChunk(bytes, "IEND", nullptr, 0);
    } else {
        return 0;
    }
    tessel::fuzz::FixPngCrcs(bytes);
    tessel::fuzz::LoadAndFree(bytes.data(), bytes.size());
    return 0;
}
