// Palette mapping and palette choice for the host's image services.
#include "runtime/host_services.h"

extern "C" std::int32_t TesselHostQuantize(const void*, std::uint8_t*, QuantizeParams*, std::int32_t,
                                           std::int32_t)
{
    return 0;
}
