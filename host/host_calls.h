// One thin call per host operation. The HostApi is kept by InitPlugin; every
// call fetches its slot from the table the host gave and casts it back to the
// operation's exact signature.
#pragma once

#include "plugin/plugin_abi.h"

#include <cstdint>

void SetHostApi(const HostApi* api);
const HostApi* GetHostApi();
std::uintptr_t HostInterfaceVersion();

void* HostAllocMem(std::uint64_t size, std::int32_t zeroFill, const char* tag);
void HostFreeMem(void* block);
std::int32_t HostRegisterFormat(PluginInfo* info, std::int32_t kind, const char* displayName,
                                std::int32_t reserved, const char* extension, std::uint32_t formatId,
                                std::int32_t caps);

HostFile* HostOpen(const char* name, std::int32_t mode);
HostFile* HostOpenWithTags(const char* name, std::int32_t mode, const TagItem* tags);
std::int32_t HostClose(HostFile* file);
std::int64_t HostSeek(HostFile* file, std::int64_t offset, std::int32_t from);
std::int64_t HostRead(HostFile* file, void* buffer, std::int64_t n);
std::int64_t HostWrite(HostFile* file, const void* buffer, std::int64_t n);
std::int32_t HostGetC(HostFile* file);
std::int32_t HostPutC(HostFile* file, std::int32_t byte);
std::int32_t HostEof(HostFile* file);

std::int32_t HostMemFileName(char* buffer, std::int32_t bufferSize, const MemFileDesc* desc,
                             std::int32_t reserved);
HostStream* HostOpenMemStream(char* nameBuffer, std::int32_t bufferSize, std::int32_t reserved);
const void* HostGetMemStreamData(HostStream* stream, std::uint64_t* lengthOut, std::int32_t reserved);
void HostCloseMemStream(HostStream* stream);

HostImage* HostLoadImage(const char* name, const TagItem* options, std::int32_t* width,
                         std::int32_t* height, std::int32_t reserved);
const std::uint32_t* HostGetImagePixels(HostImage* image);
void HostFreeImage(HostImage* image);
std::int32_t HostSavePng(const char* name, const std::uint32_t* pixels, std::int32_t width,
                         std::int32_t height, std::int32_t alpha, std::int32_t reserved1,
                         std::int32_t reserved2);
std::int32_t HostQuantize(const void* pixels, std::uint8_t* indices, QuantizeParams* params,
                          std::int32_t mode, std::int32_t reserved);

std::int32_t HostCompress(std::uint8_t* dst, std::uint64_t* dstLength, const std::uint8_t* src,
                          std::uint64_t srcLength);
std::int32_t HostUncompress(std::uint8_t* dst, std::uint64_t* dstLength, const std::uint8_t* src,
                            std::uint64_t srcLength);
std::uint32_t HostCrc32(const void* buffer, std::uint64_t n);
