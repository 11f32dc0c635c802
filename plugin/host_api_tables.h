// What a host hands the module: each of its operations in the slot of the
// table the module calls it from, and the HostApi record that points at the
// tables. Every host (the Linux runtime, the portable check) builds its
// record here, so the slots are laid out in one place.
#pragma once

#include "plugin/plugin_abi.h"

#include <array>
#include <cstdint>

// One operation for each slot the module calls.
struct HostOperations {
    HostAllocMemFn allocMem;
    HostFreeMemFn freeMem;
    HostRegisterFormatFn registerFormat;
    HostOpenFn open;
    HostCloseFn close;
    HostSeekFn seek;
    HostReadFn read;
    HostWriteFn write;
    HostGetCFn getC;
    HostPutCFn putC;
    HostEofFn eof;
    HostOpenWithTagsFn openWithTags;
    HostMemFileNameFn memFileName;
    HostOpenMemStreamFn openMemStream;
    HostGetMemStreamDataFn getMemStreamData;
    HostCloseMemStreamFn closeMemStream;
    HostLoadImageFn loadImage;
    HostGetImagePixelsFn getImagePixels;
    HostFreeImageFn freeImage;
    HostSavePngFn savePng;
    HostQuantizeFn quantize;
    HostCompressFn compress;
    HostUncompressFn uncompress;
    HostCrc32Fn crc32;
};

// The text table holds no operation the module uses; it is all null but long
// enough that a probe of any plausible slot reads a null rather than garbage.
inline constexpr int HOST_TEXT_TABLE_SIZE = 64;

// The record points into this object: it stays where it is (no copies, no
// moves) for as long as a module may use the record.
class HostApiTables {
public:
    HostApiTables(const HostOperations& ops, std::uintptr_t version)
    {
        memory_[HOST_MEMORY_ALLOC] = Erase(ops.allocMem);
        memory_[HOST_MEMORY_FREE] = Erase(ops.freeMem);
        memory_[HOST_MEMORY_REGISTER_FORMAT] = Erase(ops.registerFormat);

        file_[HOST_FILE_OPEN] = Erase(ops.open);
        file_[HOST_FILE_CLOSE] = Erase(ops.close);
        file_[HOST_FILE_SEEK] = Erase(ops.seek);
        file_[HOST_FILE_READ] = Erase(ops.read);
        file_[HOST_FILE_WRITE] = Erase(ops.write);
        file_[HOST_FILE_GETC] = Erase(ops.getC);
        file_[HOST_FILE_PUTC] = Erase(ops.putC);
        file_[HOST_FILE_EOF] = Erase(ops.eof);
        file_[HOST_FILE_OPEN_WITH_TAGS] = Erase(ops.openWithTags);
        file_[HOST_FILE_MEM_FILE_NAME] = Erase(ops.memFileName);
        file_[HOST_FILE_OPEN_MEM_STREAM] = Erase(ops.openMemStream);
        file_[HOST_FILE_GET_MEM_STREAM_DATA] = Erase(ops.getMemStreamData);
        file_[HOST_FILE_CLOSE_MEM_STREAM] = Erase(ops.closeMemStream);

        image_[HOST_IMAGE_LOAD] = Erase(ops.loadImage);
        image_[HOST_IMAGE_GET_PIXELS] = Erase(ops.getImagePixels);
        image_[HOST_IMAGE_FREE] = Erase(ops.freeImage);
        image_[HOST_IMAGE_SAVE_PNG] = Erase(ops.savePng);
        image_[HOST_IMAGE_QUANTIZE] = Erase(ops.quantize);

        zlib_[HOST_ZLIB_COMPRESS] = Erase(ops.compress);
        zlib_[HOST_ZLIB_UNCOMPRESS] = Erase(ops.uncompress);

        checksum_[HOST_CHECKSUM_CRC32] = Erase(ops.crc32);

        api_.words[HOSTAPI_WORD_VERSION] = version;
        api_.words[HOSTAPI_WORD_TEXT] = Word(text_.data());
        api_.words[HOSTAPI_WORD_MEMORY] = Word(memory_.data());
        api_.words[HOSTAPI_WORD_FILE] = Word(file_.data());
        api_.words[HOSTAPI_WORD_IMAGE] = Word(image_.data());
        api_.words[HOSTAPI_WORD_ZLIB] = Word(zlib_.data());
        api_.words[HOSTAPI_WORD_CHECKSUM] = Word(checksum_.data());
    }
    HostApiTables(const HostApiTables&) = delete;
    HostApiTables& operator=(const HostApiTables&) = delete;

    const HostApi* Api() const { return &api_; }

private:
    template <typename Fn>
    static PluginFunction Erase(Fn function)
    {
        return reinterpret_cast<PluginFunction>(function);
    }
    static std::uintptr_t Word(const PluginFunction* table) { return reinterpret_cast<std::uintptr_t>(table); }

    std::array<PluginFunction, HOST_TEXT_TABLE_SIZE> text_{};
    std::array<PluginFunction, HOST_MEMORY_TABLE_SIZE> memory_{};
    std::array<PluginFunction, HOST_FILE_TABLE_SIZE> file_{};
    std::array<PluginFunction, HOST_IMAGE_TABLE_SIZE> image_{};
    std::array<PluginFunction, HOST_ZLIB_TABLE_SIZE> zlib_{};
    std::array<PluginFunction, HOST_CHECKSUM_TABLE_SIZE> checksum_{};
    HostApi api_{};
};
