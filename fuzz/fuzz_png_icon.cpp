// PNG icons: a PNG signature and the IHDR of a small picture, then whatever
// chunks the fuzzer makes (icOn among them). Inputs that already start with
// a signature are taken whole. The CRC of every whole chunk is rewritten so
// that mutations are not all refused by the picture decoder's checks.
#include "fuzz/fuzz_harness.h"

#include <cstring>
#include <vector>

namespace {

const std::uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// IHDR of a 16 x 16 RGBA picture, 8 bits a sample; its CRC is filled in later.
const std::uint8_t IHDR_CHUNK[25] = {
    0x00, 0x00, 0x00, 0x0D, 'I',  'H',  'D',  'R',  0x00, 0x00, 0x00, 0x10, 0x00,
    0x00, 0x00, 0x10, 0x08, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    tessel::fuzz::StartModule();
    std::vector<std::uint8_t> bytes;
    if (size < sizeof PNG_SIGNATURE || std::memcmp(data, PNG_SIGNATURE, sizeof PNG_SIGNATURE) != 0) {
        bytes.assign(PNG_SIGNATURE, PNG_SIGNATURE + sizeof PNG_SIGNATURE);
        bytes.insert(bytes.end(), IHDR_CHUNK, IHDR_CHUNK + sizeof IHDR_CHUNK);
    }
    bytes.insert(bytes.end(), data, data + size);
    tessel::fuzz::FixPngCrcs(bytes);
    tessel::fuzz::LoadAndFree(bytes.data(), bytes.size());
    return 0;
}
