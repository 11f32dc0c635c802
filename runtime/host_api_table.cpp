// The HostApi record handed to the module and its operation tables.
#include "runtime/host_services.h"

#include "plugin/host_api_tables.h"

#include <memory>
#include <mutex>

namespace tessel::runtime {
namespace {

constexpr HostOperations RuntimeOperations = {
    .allocMem = &TesselHostAllocMem,
    .freeMem = &TesselHostFreeMem,
    .registerFormat = &TesselHostRegisterFormat,
    .open = &TesselHostOpen,
    .close = &TesselHostClose,
    .seek = &TesselHostSeek,
    .read = &TesselHostRead,
    .write = &TesselHostWrite,
    .getC = &TesselHostGetC,
    .putC = &TesselHostPutC,
    .eof = &TesselHostEof,
    .openWithTags = &TesselHostOpenWithTags,
    .memFileName = &TesselHostMemFileName,
    .openMemStream = &TesselHostOpenMemStream,
    .getMemStreamData = &TesselHostGetMemStreamData,
    .closeMemStream = &TesselHostCloseMemStream,
    .loadImage = &TesselHostLoadImage,
    .getImagePixels = &TesselHostGetImagePixels,
    .freeImage = &TesselHostFreeImage,
    .savePng = &TesselHostSavePng,
    .quantize = &TesselHostQuantize,
    .compress = &TesselHostCompress,
    .uncompress = &TesselHostUncompress,
    .crc32 = &TesselHostCrc32,
};

struct ApiState {
    std::mutex lock;
    // One record per version asked for; the records never move or die.
    std::map<std::uintptr_t, std::unique_ptr<HostApiTables>> apis;
};

ApiState& Api()
{
    static ApiState* state = new ApiState;
    return *state;
}

}  // namespace

const HostApi* GetHostApi()
{
    return GetHostApiWithVersion(HOST_INTERFACE_VERSION);
}

const HostApi* GetHostApiWithVersion(std::uintptr_t version)
{
    ApiState& state = Api();
    std::lock_guard<std::mutex> guard(state.lock);
    auto& slot = state.apis[version];
    if (!slot)
        slot = std::make_unique<HostApiTables>(RuntimeOperations, version);
    return slot->Api();
}

}  // namespace tessel::runtime
