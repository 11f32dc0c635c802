// The HostApi record handed to the module and its operation tables.
#include "runtime/host_services.h"

#include <array>
#include <cstring>
#include <memory>
#include <mutex>

namespace tessel::runtime {
namespace {

// The text table holds no operation the module uses; it is all null but long
// enough that a probe of any plausible slot reads a null rather than garbage.
constexpr int HOST_TEXT_TABLE_SIZE = 64;

template <int N>
using Table = std::array<PluginFunction, N>;

template <typename Fn>
PluginFunction Erase(Fn function)
{
    return reinterpret_cast<PluginFunction>(function);
}

struct HostTables {
    Table<HOST_TEXT_TABLE_SIZE> text{};
    Table<HOST_MEMORY_TABLE_SIZE> memory{};
    Table<HOST_FILE_TABLE_SIZE> file{};
    Table<HOST_IMAGE_TABLE_SIZE> image{};
    Table<HOST_ZLIB_TABLE_SIZE> zlib{};
    Table<HOST_CHECKSUM_TABLE_SIZE> checksum{};

    HostTables()
    {
        memory[HOST_MEMORY_ALLOC] = Erase(&TesselHostAllocMem);
        memory[HOST_MEMORY_FREE] = Erase(&TesselHostFreeMem);
        memory[HOST_MEMORY_REGISTER_FORMAT] = Erase(&TesselHostRegisterFormat);

        file[HOST_FILE_OPEN] = Erase(&TesselHostOpen);
        file[HOST_FILE_CLOSE] = Erase(&TesselHostClose);
        file[HOST_FILE_SEEK] = Erase(&TesselHostSeek);
        file[HOST_FILE_READ] = Erase(&TesselHostRead);
        file[HOST_FILE_WRITE] = Erase(&TesselHostWrite);
        file[HOST_FILE_GETC] = Erase(&TesselHostGetC);
        file[HOST_FILE_PUTC] = Erase(&TesselHostPutC);
        file[HOST_FILE_EOF] = Erase(&TesselHostEof);
        file[HOST_FILE_OPEN_WITH_TAGS] = Erase(&TesselHostOpenWithTags);
        file[HOST_FILE_MEM_FILE_NAME] = Erase(&TesselHostMemFileName);
        file[HOST_FILE_OPEN_MEM_STREAM] = Erase(&TesselHostOpenMemStream);
        file[HOST_FILE_GET_MEM_STREAM_DATA] = Erase(&TesselHostGetMemStreamData);
        file[HOST_FILE_CLOSE_MEM_STREAM] = Erase(&TesselHostCloseMemStream);

        image[HOST_IMAGE_LOAD] = Erase(&TesselHostLoadImage);
        image[HOST_IMAGE_GET_PIXELS] = Erase(&TesselHostGetImagePixels);
        image[HOST_IMAGE_FREE] = Erase(&TesselHostFreeImage);
        image[HOST_IMAGE_SAVE_PNG] = Erase(&TesselHostSavePng);
        image[HOST_IMAGE_QUANTIZE] = Erase(&TesselHostQuantize);

        zlib[HOST_ZLIB_COMPRESS] = Erase(&TesselHostCompress);
        zlib[HOST_ZLIB_UNCOMPRESS] = Erase(&TesselHostUncompress);

        checksum[HOST_CHECKSUM_CRC32] = Erase(&TesselHostCrc32);
    }
};

const HostTables& Tables()
{
    static const HostTables* tables = new HostTables;
    return *tables;
}

std::uintptr_t Word(const PluginFunction* table)
{
    return reinterpret_cast<std::uintptr_t>(table);
}

HostApi MakeHostApi(std::uintptr_t version)
{
    const HostTables& tables = Tables();
    HostApi api{};
    api.words[HOSTAPI_WORD_VERSION] = version;
    api.words[HOSTAPI_WORD_TEXT] = Word(tables.text.data());
    api.words[HOSTAPI_WORD_MEMORY] = Word(tables.memory.data());
    api.words[HOSTAPI_WORD_FILE] = Word(tables.file.data());
    api.words[HOSTAPI_WORD_IMAGE] = Word(tables.image.data());
    api.words[HOSTAPI_WORD_ZLIB] = Word(tables.zlib.data());
    api.words[HOSTAPI_WORD_CHECKSUM] = Word(tables.checksum.data());
    return api;
}

struct ApiState {
    std::mutex lock;
    // One record per version asked for; the records never move or die.
    std::map<std::uintptr_t, std::unique_ptr<HostApi>> apis;
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
        slot = std::make_unique<HostApi>(MakeHostApi(version));
    return slot.get();
}

}  // namespace tessel::runtime
