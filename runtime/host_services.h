// The host services that the runtime gives a module, and the controls that
// tests and the tool use to watch and steer them.
//
// The runtime is process-wide, like the module it serves: one module, one
// thread, one entry-point call at a time.
#pragma once

#include "icon/icon_limits.h"
#include "plugin/plugin_abi.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tessel::runtime {

// ---- The HostApi (host_api_table.cpp) ---------------------------------------

// The HostApi handed to InitPlugin: interface version HOST_INTERFACE_VERSION,
// the six tables filled. Lives for the whole process.
const HostApi* GetHostApi();

// The same tables under another interface version word (tests use 5 to check
// the plain-open fallback). Lives for the whole process.
const HostApi* GetHostApiWithVersion(std::uintptr_t version);

// ---- Memory (host_memory.cpp) -----------------------------------------------

// Allocation ceiling: any single request above this returns null.
inline constexpr std::uint64_t HOST_ALLOC_CEILING = 1ull << 30;

struct MemoryFaults {
    // Fail the n-th allocation counted from the moment these faults are set
    // (1 = the very next one); 0 = never.
    std::uint64_t failNth = 0;
    // Fail every allocation larger than this many bytes; 0 = no extra limit.
    std::uint64_t failAboveBytes = 0;
    // Fail the n-th allocation whose tag equals failTag (1 = the first); 0 = never.
    std::string failTag;
    std::uint64_t failTagNth = 0;
};

void SetMemoryFaults(const MemoryFaults& faults);
void ClearMemoryFaults();
// Number of allocations attempted (successful or not) since the faults were last set or cleared.
std::uint64_t AllocationsSinceFaultsSet();
// True when an injected fault has fired since the faults were last set.
bool MemoryFaultFired();

// Live-block accounting: blocks handed out by HostAllocMem and not yet freed.
std::int64_t LiveBlocks();
std::int64_t LiveBlocks(const std::string& tag);
std::map<std::string, std::int64_t> LiveBlocksByTag();  // only tags with live blocks
std::uint64_t LiveBytes();

// Fill non-zeroed blocks with a poison byte (0xA5). On by default in test builds.
void SetPoisonScratch(bool on);

// Tunes the C library's allocator for a process that handles pictures:
// buffers up to 64 MiB come from the heap and stay there when freed, instead
// of being mapped and unmapped, and faulted in afresh, on every use. For a
// program's start (the tool, the benchmark); the module does not need it.
void KeepPictureBuffersOnHeap();

// ---- Files (host_files.cpp, descriptor_files.cpp, memory_*.cpp, file_faults.cpp)

struct FileFaults {
    // Writes fail once this many bytes have been written in total, across all
    // files opened for writing, since the faults were set; -1 = never.
    std::int64_t failWritesAfterBytes = -1;
    // Closing a file opened for writing reports failure.
    bool failClose = false;
    // Reading fails, as an I/O error would, once this many bytes have been
    // fetched in total from files and memory files opened for reading (and
    // by ReadNamedFile) since the faults were set; -1 = never. Like a write
    // error, a read error is remembered and reported by HostClose.
    std::int64_t failReadsAfterBytes = -1;
};
void SetFileFaults(const FileFaults& faults);
void ClearFileFaults();

struct FileCounters {
    std::uint64_t opens = 0;          // HostOpen calls
    std::uint64_t opensWithTags = 0;  // HostOpenWithTags calls
    std::uintptr_t lastAdapter = 0;   // adapter value of the last HostOpenWithTags
    std::int64_t liveFiles = 0;       // open HostFile handles
    std::int64_t liveStreams = 0;     // HostOpenMemStream streams not yet closed
};
FileCounters GetFileCounters();
void ResetFileCounters();  // zeroes the call counters, not the live counts

// Registers a block of memory as a readable file until the current
// entry-point call ends (ClearCallMemFiles). Returns its name,
// "mem:<16 hex digits>.<ext>". The block is not copied.
std::string RegisterMemFile(const void* data, std::uint64_t size, const char* extension);
// Forgets every memory file registered by HostMemFileName or RegisterMemFile.
// The runtime calls it after every entry-point call. Streams are not touched.
void ClearCallMemFiles();

// The block of a memory file registered for the current call, without a
// copy; it stays valid until the call ends. False when name is not one (a
// stream or a path).
bool ViewMemFile(const char* name, const std::uint8_t** data, std::uint64_t* size);
// Reads a whole named file (a memory file, a stream, or a path) into out.
// Refuses files longer than maxBytes. Returns false when it cannot.
bool ReadNamedFile(const char* name, std::uint64_t maxBytes, std::vector<std::uint8_t>& out);
// Replaces a named file (a stream, or a path) with the given bytes.
bool WriteNamedFile(const char* name, const std::uint8_t* data, std::size_t size);

// Sets memory and file faults from a text such as
// "alloc-nth=3,alloc-above=65536,alloc-tag=ttarray:1,write-after=100,
// read-after=50,close" (any subset, comma-separated), for testing whole
// programs. Returns false, with *error set, when the text is not understood;
// nothing is set then.
bool SetFaultsFromText(const std::string& text, std::string* error);

// ---- Images (host_images.cpp, png_*.cpp, jpeg2000_decoder.cpp, host_quantize.cpp)

// Largest picture the image loader decodes: sides and total pixel bytes, the
// module's limits for one image, so a decoded picture always fits the model.
inline constexpr std::int32_t HOST_IMAGE_MAX_SIDE = ICON_MAX_SIDE;
inline constexpr std::uint64_t HOST_IMAGE_MAX_BYTES = ICON_MAX_IMAGE_BYTES;

// Decodes a PNG, or a JPEG 2000 file or codestream, sniffed by signature, to
// straight-alpha 0xAARRGGBB words, top row first. Refuses pictures over the
// limits above before allocating.
bool DecodeImage(const std::uint8_t* data, std::size_t size, std::int32_t* width,
                 std::int32_t* height, std::vector<std::uint32_t>& pixels);
// HostLoadImage results not yet freed with HostFreeImage.
std::int64_t LiveImages();

// Encodes 0xAARRGGBB words as an 8-bit RGBA PNG holding only IHDR, IDAT and
// IEND, deterministically.
bool EncodePng(const std::uint32_t* pixels, std::int32_t width, std::int32_t height,
               std::vector<std::uint8_t>& out);

// The same from R, G, B, A bytes a pixel.
bool EncodePngFromRgba(const std::uint8_t* rgba, std::int32_t width, std::int32_t height,
                       std::vector<std::uint8_t>& out);

// ---- Why a job failed for the host's reasons (shared_libraries.cpp) --------

// Why a job of the current entry-point call failed for a reason of the
// host's rather than the file's: a library loaded only when needed
// (libopenjp2, libimagequant) that could not be, named by the loader's
// message; or a picture refused because the call's pictures would take more
// than its picture budget. One line; empty when no job failed so. The module
// loader clears it as each entry-point call begins.
const std::string& HostFault();
void ClearHostFault();
void SetHostFault(const std::string& why);

// The 32-bit pixels that the pictures decoded during one entry-point call may
// take together. A picture whose header asks for more than is left is
// refused before anything is decoded, with a HostFault. ClearCallMemFiles
// ends the call's spending. By default ICON_LOAD_BUDGET_BYTES, what a load
// may hold at all.
void SetPictureBudget(std::uint64_t bytes);

// Takes width x height 32-bit pixels, and extraBytes more the decoder needs
// while decoding, from the call's picture budget; false (and a HostFault)
// when they do not fit in what is left.
bool ChargePicture(std::uint64_t width, std::uint64_t height, std::uint64_t extraBytes);
// Ends the call's spending; ClearCallMemFiles calls it.
void EndPictureSpending();

// ---- Formats registered by the module (format_registry.cpp) -----------------

struct RegisteredFormat {
    std::string displayName;
    std::string extension;
    std::uint32_t formatId = 0;
};
// In order of first registration; a second registration of a FormatId
// replaces its row in place.
const std::vector<RegisteredFormat>& RegisteredFormats();
std::uint64_t RegisterFormatCalls();
void ResetRegisteredFormats();

}  // namespace tessel::runtime

// The host operations themselves, as the tables hold them.
extern "C" {
void* TesselHostAllocMem(std::uint64_t size, std::int32_t zeroFill, const char* tag);
void TesselHostFreeMem(void* block);
std::int32_t TesselHostRegisterFormat(PluginInfo* info, std::int32_t kind, const char* displayName,
                                      std::int32_t reserved, const char* extension,
                                      std::uint32_t formatId, std::int32_t caps);
HostFile* TesselHostOpen(const char* name, std::int32_t mode);
std::int32_t TesselHostClose(HostFile* file);
std::int64_t TesselHostSeek(HostFile* file, std::int64_t offset, std::int32_t from);
std::int64_t TesselHostRead(HostFile* file, void* buffer, std::int64_t n);
std::int64_t TesselHostWrite(HostFile* file, const void* buffer, std::int64_t n);
std::int32_t TesselHostGetC(HostFile* file);
std::int32_t TesselHostPutC(HostFile* file, std::int32_t byte);
std::int32_t TesselHostEof(HostFile* file);
HostFile* TesselHostOpenWithTags(const char* name, std::int32_t mode, const TagItem* tags);
std::int32_t TesselHostMemFileName(char* buffer, std::int32_t bufferSize, const MemFileDesc* desc,
                                   std::int32_t reserved);
HostStream* TesselHostOpenMemStream(char* nameBuffer, std::int32_t bufferSize, std::int32_t reserved);
const void* TesselHostGetMemStreamData(HostStream* stream, std::uint64_t* lengthOut,
                                       std::int32_t reserved);
void TesselHostCloseMemStream(HostStream* stream);
HostImage* TesselHostLoadImage(const char* name, const TagItem* options, std::int32_t* width,
                               std::int32_t* height, std::int32_t reserved);
const std::uint32_t* TesselHostGetImagePixels(HostImage* image);
void TesselHostFreeImage(HostImage* image);
std::int32_t TesselHostSavePng(const char* name, const std::uint32_t* pixels, std::int32_t width,
                               std::int32_t height, std::int32_t alpha, std::int32_t reserved1,
                               std::int32_t reserved2);
std::int32_t TesselHostQuantize(const void* pixels, std::uint8_t* indices, QuantizeParams* params,
                                std::int32_t mode, std::int32_t reserved);
std::int32_t TesselHostCompress(std::uint8_t* dst, std::uint64_t* dstLength, const std::uint8_t* src,
                                std::uint64_t srcLength);
std::int32_t TesselHostUncompress(std::uint8_t* dst, std::uint64_t* dstLength, const std::uint8_t* src,
                                  std::uint64_t srcLength);
std::uint32_t TesselHostCrc32(const void* buffer, std::uint64_t n);
}
