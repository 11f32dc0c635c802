#include "host/host_calls.h"

static const HostApi* CurrentApi = nullptr;

void SetHostApi(const HostApi* api)
{
    CurrentApi = api;
}

const HostApi* GetHostApi()
{
    return CurrentApi;
}

std::uintptr_t HostInterfaceVersion()
{
    return CurrentApi ? CurrentApi->words[HOSTAPI_WORD_VERSION] : 0;
}

// The operation in the given slot of the table at the given HostApi word, as
// its exact type. The entry points refuse to run without a HostApi, so the
// table pointers are present whenever these are called.
template <typename Fn>
static Fn Slot(int word, int slot)
{
    const auto* table = reinterpret_cast<const PluginFunction*>(CurrentApi->words[word]);
    return reinterpret_cast<Fn>(table[slot]);
}

void* HostAllocMem(std::uint64_t size, std::int32_t zeroFill, const char* tag)
{
    return Slot<HostAllocMemFn>(HOSTAPI_WORD_MEMORY, HOST_MEMORY_ALLOC)(size, zeroFill, tag);
}

void HostFreeMem(void* block)
{
    Slot<HostFreeMemFn>(HOSTAPI_WORD_MEMORY, HOST_MEMORY_FREE)(block);
}

std::int32_t HostRegisterFormat(PluginInfo* info, std::int32_t kind, const char* displayName,
                                std::int32_t reserved, const char* extension, std::uint32_t formatId,
                                std::int32_t caps)
{
    return Slot<HostRegisterFormatFn>(HOSTAPI_WORD_MEMORY, HOST_MEMORY_REGISTER_FORMAT)(
        info, kind, displayName, reserved, extension, formatId, caps);
}

HostFile* HostOpen(const char* name, std::int32_t mode)
{
    return Slot<HostOpenFn>(HOSTAPI_WORD_FILE, HOST_FILE_OPEN)(name, mode);
}

HostFile* HostOpenWithTags(const char* name, std::int32_t mode, const TagItem* tags)
{
    return Slot<HostOpenWithTagsFn>(HOSTAPI_WORD_FILE, HOST_FILE_OPEN_WITH_TAGS)(name, mode, tags);
}

std::int32_t HostClose(HostFile* file)
{
    return Slot<HostCloseFn>(HOSTAPI_WORD_FILE, HOST_FILE_CLOSE)(file);
}

std::int64_t HostSeek(HostFile* file, std::int64_t offset, std::int32_t from)
{
    return Slot<HostSeekFn>(HOSTAPI_WORD_FILE, HOST_FILE_SEEK)(file, offset, from);
}

std::int64_t HostRead(HostFile* file, void* buffer, std::int64_t n)
{
    return Slot<HostReadFn>(HOSTAPI_WORD_FILE, HOST_FILE_READ)(file, buffer, n);
}

std::int64_t HostWrite(HostFile* file, const void* buffer, std::int64_t n)
{
    return Slot<HostWriteFn>(HOSTAPI_WORD_FILE, HOST_FILE_WRITE)(file, buffer, n);
}

std::int32_t HostGetC(HostFile* file)
{
    return Slot<HostGetCFn>(HOSTAPI_WORD_FILE, HOST_FILE_GETC)(file);
}

std::int32_t HostPutC(HostFile* file, std::int32_t byte)
{
    return Slot<HostPutCFn>(HOSTAPI_WORD_FILE, HOST_FILE_PUTC)(file, byte);
}

std::int32_t HostEof(HostFile* file)
{
    return Slot<HostEofFn>(HOSTAPI_WORD_FILE, HOST_FILE_EOF)(file);
}

std::int32_t HostMemFileName(char* buffer, std::int32_t bufferSize, const MemFileDesc* desc,
                             std::int32_t reserved)
{
    return Slot<HostMemFileNameFn>(HOSTAPI_WORD_FILE, HOST_FILE_MEM_FILE_NAME)(buffer, bufferSize, desc,
                                                                              reserved);
}

HostStream* HostOpenMemStream(char* nameBuffer, std::int32_t bufferSize, std::int32_t reserved)
{
    return Slot<HostOpenMemStreamFn>(HOSTAPI_WORD_FILE, HOST_FILE_OPEN_MEM_STREAM)(nameBuffer, bufferSize,
                                                                                  reserved);
}

const void* HostGetMemStreamData(HostStream* stream, std::uint64_t* lengthOut, std::int32_t reserved)
{
    return Slot<HostGetMemStreamDataFn>(HOSTAPI_WORD_FILE, HOST_FILE_GET_MEM_STREAM_DATA)(stream, lengthOut,
                                                                                         reserved);
}

void HostCloseMemStream(HostStream* stream)
{
    Slot<HostCloseMemStreamFn>(HOSTAPI_WORD_FILE, HOST_FILE_CLOSE_MEM_STREAM)(stream);
}

HostImage* HostLoadImage(const char* name, const TagItem* options, std::int32_t* width,
                         std::int32_t* height, std::int32_t reserved)
{
    return Slot<HostLoadImageFn>(HOSTAPI_WORD_IMAGE, HOST_IMAGE_LOAD)(name, options, width, height,
                                                                     reserved);
}

const std::uint32_t* HostGetImagePixels(HostImage* image)
{
    return Slot<HostGetImagePixelsFn>(HOSTAPI_WORD_IMAGE, HOST_IMAGE_GET_PIXELS)(image);
}

void HostFreeImage(HostImage* image)
{
    Slot<HostFreeImageFn>(HOSTAPI_WORD_IMAGE, HOST_IMAGE_FREE)(image);
}

std::int32_t HostSavePng(const char* name, const std::uint32_t* pixels, std::int32_t width,
                         std::int32_t height, std::int32_t alpha, std::int32_t reserved1,
                         std::int32_t reserved2)
{
    return Slot<HostSavePngFn>(HOSTAPI_WORD_IMAGE, HOST_IMAGE_SAVE_PNG)(name, pixels, width, height, alpha,
                                                                       reserved1, reserved2);
}

std::int32_t HostQuantize(const void* pixels, std::uint8_t* indices, QuantizeParams* params,
                          std::int32_t mode, std::int32_t reserved)
{
    return Slot<HostQuantizeFn>(HOSTAPI_WORD_IMAGE, HOST_IMAGE_QUANTIZE)(pixels, indices, params, mode,
                                                                        reserved);
}

std::int32_t HostCompress(std::uint8_t* dst, std::uint64_t* dstLength, const std::uint8_t* src,
                          std::uint64_t srcLength)
{
    return Slot<HostCompressFn>(HOSTAPI_WORD_ZLIB, HOST_ZLIB_COMPRESS)(dst, dstLength, src, srcLength);
}

std::int32_t HostUncompress(std::uint8_t* dst, std::uint64_t* dstLength, const std::uint8_t* src,
                            std::uint64_t srcLength)
{
    return Slot<HostUncompressFn>(HOSTAPI_WORD_ZLIB, HOST_ZLIB_UNCOMPRESS)(dst, dstLength, src, srcLength);
}

std::uint32_t HostCrc32(const void* buffer, std::uint64_t n)
{
    return Slot<HostCrc32Fn>(HOSTAPI_WORD_CHECKSUM, HOST_CHECKSUM_CRC32)(buffer, n);
}
