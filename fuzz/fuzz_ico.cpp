// Windows icons: the input always starts with an icon file's reserved word
// and type, so every mutation lands in the image count, the directory and
// the images it points to.
#include "fuzz/fuzz_harness.h"

#include <vector>

namespace {

// Reserved 0, type 1 (icon), one image; a 16 x 16 32-bit entry of 1,128 bytes
// at offset 22: what a too-short input is completed with.
const std::uint8_t ICO_HEADER[22] = {
    0x00, 0x00, 0x01, 0x00, 0x01, 0x00,                          // reserved, type, count
    0x10, 0x10, 0x00, 0x00, 0x01, 0x00, 0x20, 0x00,              // 16 x 16, no palette, planes, bits
    0x68, 0x04, 0x00, 0x00, 0x16, 0x00, 0x00, 0x00,              // bytes, offset
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    tessel::fuzz::StartModule();
    std::vector<std::uint8_t> bytes(data, data + size);
    if (bytes.size() < sizeof ICO_HEADER)
        bytes.insert(bytes.begin(), ICO_HEADER, ICO_HEADER + sizeof ICO_HEADER - bytes.size());
    for (int index = 0; index < 4; ++index)
        bytes[index] = ICO_HEADER[index];
    tessel::fuzz::LoadAndFree(bytes.data(), bytes.size());
    return 0;
}
