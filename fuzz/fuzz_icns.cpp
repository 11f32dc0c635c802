// macOS icon families: the input always starts with "icns" and the family's
// true length, so every mutation lands in the entries.
#include "fuzz/fuzz_harness.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    tessel::fuzz::StartModule();
    std::vector<std::uint8_t> bytes(data, data + size);
    if (bytes.size() < 8)
        bytes.resize(8, 0);
    bytes[0] = 'i';
    bytes[1] = 'c';
    bytes[2] = 'n';
    bytes[3] = 's';
    std::uint32_t length = static_cast<std::uint32_t>(bytes.size());
    bytes[4] = static_cast<std::uint8_t>(length >> 24);
    bytes[5] = static_cast<std::uint8_t>(length >> 16);
    bytes[6] = static_cast<std::uint8_t>(length >> 8);
    bytes[7] = static_cast<std::uint8_t>(length);
    tessel::fuzz::LoadAndFree(bytes.data(), bytes.size());
    return 0;
}
