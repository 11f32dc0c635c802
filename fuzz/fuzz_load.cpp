// Any bytes at all, loaded as an icon file of unknown kind.
#include "fuzz/fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    tessel::fuzz::StartModule();
    tessel::fuzz::LoadAndFree(data, size);
    return 0;
}
