// PNG decoding and encoding for the host's image services.
#include "runtime/host_services.h"

namespace tessel::runtime {

bool DecodeImage(const std::uint8_t*, std::size_t, std::int32_t*, std::int32_t*, std::vector<std::uint32_t>&)
{
    return false;
}

std::int64_t LiveImages()
{
    return 0;
}

bool EncodePng(const std::uint32_t*, std::int32_t, std::int32_t, std::vector<std::uint8_t>&)
{
    return false;
}

}  // namespace tessel::runtime

extern "C" {

HostImage* TesselHostLoadImage(const char*, const TagItem*, std::int32_t*, std::int32_t*, std::int32_t)
{
    return nullptr;
}

const std::uint32_t* TesselHostGetImagePixels(HostImage*)
{
    return nullptr;
}

void TesselHostFreeImage(HostImage*) {}

std::int32_t TesselHostSavePng(const char*, const std::uint32_t*, std::int32_t, std::int32_t, std::int32_t,
                               std::int32_t, std::int32_t)
{
    return 0;
}

}  // extern "C"
