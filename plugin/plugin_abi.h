// The records and calling conventions shared by the module and its host.
//
// Every record here is standard-layout with natural alignment; the explicit
// reservedN members stand where a compiler with 64-bit pointers would
// otherwise pad, so the offsets are fixed, and asserted below for 64-bit and
// for 32-bit pointers. Byte order is native. No record is ever written to a
// file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

extern "C" {

// Type-erased function pointer: entry points and host operations are stored
// as this and cast back to their exact signature by the side that calls them.
using PluginFunction = void (*)(void);

struct PluginHeader {
    char magic[8];                 // "QUILMORE", no terminator
    std::uint32_t headerVersion;   // PLUGIN_HEADER_VERSION
    std::uint32_t reserved0;
    PluginFunction (*lookup)(const char* name);
};

struct PluginInfo {
    std::uint32_t capabilities;
    std::uint32_t version;
    std::uint32_t revision;
    std::uint32_t hostVersion;
    std::uint32_t hostRevision;
    std::uint32_t reserved0;
    const char* name;
    const char* moduleName;
    const char* author;
    const char* description;
    const char* copyright;
    const char* url;
    const char* date;
    std::uint32_t reserved[2];
};

struct IconSaverInfo {
    std::uint32_t hasMore;
    std::uint32_t formatId;
    const char* keyword;
};

struct IconImage {
    IconImage* next;
    std::uint8_t* pixels;
    std::int32_t width;
    std::int32_t height;
    std::uint32_t flags;
    std::uint32_t reserved0;
    std::uint32_t* palette;
    std::int32_t transparentPen;
    std::int32_t depth;
    std::uint32_t mark;
    std::uint32_t reserved1;
};

struct IconAttributes {
    std::int32_t type;
    std::int32_t viewMode;
    std::int32_t posX;
    std::int32_t posY;
    std::int32_t drawerLeft;
    std::int32_t drawerTop;
    std::int32_t drawerWidth;
    std::int32_t drawerHeight;
    std::int32_t stackSize;
    std::uint32_t reserved0;
    char* defaultTool;
    char** toolTypes;
    std::int32_t showAll;
    std::uint32_t reserved1;
};

// IconAttributes::type, numbered as the Amiga's Workbench numbers icon types.
enum : std::int32_t {
    ICON_TYPE_DISK = 1,
    ICON_TYPE_DRAWER = 2,
    ICON_TYPE_TOOL = 3,
    ICON_TYPE_PROJECT = 4,
    ICON_TYPE_GARBAGE = 5,
    ICON_TYPE_DEVICE = 6,
    ICON_TYPE_KICK = 7,
    ICON_TYPE_APPICON = 8,
    ICON_TYPE_HIGHEST = ICON_TYPE_APPICON,
};

struct MemFileDesc {
    std::uint32_t reserved0;
    std::uint32_t reserved1;
    const void* data;
    const char* extensionHint;
    std::uint32_t reserved2;
    std::uint32_t reserved3;
    std::uint32_t reserved4;
    std::uint32_t sizeHigh;
    std::uint32_t sizeLow;
    std::uint32_t reserved5;
};

struct QuantizeParams {
    std::int32_t width;
    std::int32_t height;
    std::int32_t sourceDepth;
    std::int32_t targetDepth;
    const std::uint32_t* sourcePalette;
    std::uint32_t* targetPalette;
    std::int32_t sourcePen;
    std::int32_t targetPen;
};

// Both members are pointer-sized because some values are pointers. FormatIds
// and flags are stored zero-extended. A list ends with the pair {0, 0}.
struct TagItem {
    std::uintptr_t tag;
    std::uintptr_t value;
};

struct HostApi {
    std::uintptr_t words[16];
};

// Opaque handles: defined by whichever side owns them.
struct HostFile;
struct HostStream;
struct HostImage;
struct IconHandle;

}  // extern "C"

// ---- Constants of the interface --------------------------------------------

inline constexpr char PLUGIN_MAGIC[8] = {'Q', 'U', 'I', 'L', 'M', 'O', 'R', 'E'};
inline constexpr std::uint32_t PLUGIN_HEADER_VERSION = 3;
inline constexpr std::uint32_t PLUGIN_CAPABILITY_LOAD = 0x00100000;
inline constexpr std::uint32_t PLUGIN_CAPABILITY_SAVE = 0x00200000;

inline constexpr std::uint32_t IMAGEFLAG_PRIMARY = 1;
inline constexpr std::uint32_t IMAGEFLAG_SELECTED = 2;

inline constexpr std::uintptr_t LOADICON_TAG_ADAPTER = 1;
inline constexpr std::uintptr_t LOADICON_TAG_ATTRIBUTES = 2;
inline constexpr std::uintptr_t SAVEICON_TAG_FORMAT = 1;
inline constexpr std::uintptr_t SAVEICON_TAG_COMPRESS = 2;
inline constexpr std::uintptr_t SAVEICON_TAG_ATTRIBUTES = 3;

// HostOpenWithTags: the file adapter. HostLoadImage: deliver 32-bit ARGB, and
// which sub-image to decode.
inline constexpr std::uintptr_t HOSTOPEN_TAG_ADAPTER = 1;
inline constexpr std::uintptr_t HOSTIMAGE_TAG_ARGB = 1;
inline constexpr std::uintptr_t HOSTIMAGE_TAG_INDEX = 5;

// HostRegisterFormat: the kind "icon format", and load (1) + save (2).
inline constexpr std::int32_t HOST_FORMAT_KIND_ICON = 4;
inline constexpr std::int32_t HOST_FORMAT_CAPS_LOAD_SAVE = 3;

// HostSeek origins (not the SEEK_* values).
inline constexpr std::int32_t HOST_SEEK_CURRENT = 0;
inline constexpr std::int32_t HOST_SEEK_START = 1;
inline constexpr std::int32_t HOST_SEEK_END = 2;

inline constexpr std::int32_t HOST_MODE_READ = 0;
inline constexpr std::int32_t HOST_MODE_WRITE = 1;

// HostQuantize modes: map onto a given palette, or choose the palette.
inline constexpr std::int32_t HOST_QUANTIZE_MAP = 0;
inline constexpr std::int32_t HOST_QUANTIZE_CHOOSE = 2;

// The interface version the runtime reports; above 5 the adapter path is live.
inline constexpr std::uintptr_t HOST_INTERFACE_VERSION = 9;
inline constexpr std::uintptr_t HOST_INTERFACE_VERSION_ADAPTER_MIN = 6;

// Memory-file names are never longer than this, terminator included.
inline constexpr std::int32_t HOST_NAME_BUFFER_SIZE = 1024;

// HostApi words and the slot of each operation in its table.
enum HostApiWord : int {
    HOSTAPI_WORD_VERSION = 0,
    HOSTAPI_WORD_TEXT = 2,
    HOSTAPI_WORD_MEMORY = 3,
    HOSTAPI_WORD_FILE = 4,
    HOSTAPI_WORD_IMAGE = 5,
    HOSTAPI_WORD_ZLIB = 12,
    HOSTAPI_WORD_CHECKSUM = 15,
};

enum HostSlot : int {
    HOST_MEMORY_ALLOC = 11,
    HOST_MEMORY_FREE = 12,
    HOST_MEMORY_REGISTER_FORMAT = 19,
    HOST_FILE_OPEN = 0,
    HOST_FILE_CLOSE = 1,
    HOST_FILE_SEEK = 2,
    HOST_FILE_READ = 3,
    HOST_FILE_WRITE = 4,
    HOST_FILE_GETC = 5,
    HOST_FILE_PUTC = 6,
    HOST_FILE_EOF = 7,
    HOST_FILE_OPEN_WITH_TAGS = 32,
    HOST_FILE_MEM_FILE_NAME = 34,
    HOST_FILE_OPEN_MEM_STREAM = 36,
    HOST_FILE_GET_MEM_STREAM_DATA = 37,
    HOST_FILE_CLOSE_MEM_STREAM = 38,
    HOST_IMAGE_LOAD = 1,
    HOST_IMAGE_GET_PIXELS = 2,
    HOST_IMAGE_FREE = 3,
    HOST_IMAGE_SAVE_PNG = 36,
    HOST_IMAGE_QUANTIZE = 37,
    HOST_ZLIB_COMPRESS = 13,
    HOST_ZLIB_UNCOMPRESS = 14,
    HOST_CHECKSUM_CRC32 = 2,
};

// Minimum table lengths (highest slot + 1).
inline constexpr int HOST_MEMORY_TABLE_SIZE = 20;
inline constexpr int HOST_FILE_TABLE_SIZE = 39;
inline constexpr int HOST_IMAGE_TABLE_SIZE = 38;
inline constexpr int HOST_ZLIB_TABLE_SIZE = 15;
inline constexpr int HOST_CHECKSUM_TABLE_SIZE = 3;

// ---- Exact signatures -----------------------------------------------------

extern "C" {
using InitPluginFn = std::int32_t (*)(PluginInfo*, const HostApi*);
using ClosePluginFn = void (*)(void);
using LoadIconFn = IconHandle* (*)(const char* name, const TagItem* tags);
using GetIconImagesFn = IconImage* (*)(IconHandle*);
using FreeIconFn = void (*)(IconHandle*);
using RegisterIconSaverFn = void (*)(IconSaverInfo*);
using SaveIconFn = std::int32_t (*)(const char* name, IconImage* first, const TagItem* tags);

using HostAllocMemFn = void* (*)(std::uint64_t size, std::int32_t zeroFill, const char* tag);
using HostFreeMemFn = void (*)(void* block);
using HostRegisterFormatFn = std::int32_t (*)(PluginInfo* info, std::int32_t kind,
                                              const char* displayName, std::int32_t reserved,
                                              const char* extension, std::uint32_t formatId,
                                              std::int32_t caps);
using HostOpenFn = HostFile* (*)(const char* name, std::int32_t mode);
using HostCloseFn = std::int32_t (*)(HostFile*);
using HostSeekFn = std::int64_t (*)(HostFile*, std::int64_t offset, std::int32_t from);
using HostReadFn = std::int64_t (*)(HostFile*, void* buffer, std::int64_t n);
using HostWriteFn = std::int64_t (*)(HostFile*, const void* buffer, std::int64_t n);
using HostGetCFn = std::int32_t (*)(HostFile*);
using HostPutCFn = std::int32_t (*)(HostFile*, std::int32_t byte);
using HostEofFn = std::int32_t (*)(HostFile*);
using HostOpenWithTagsFn = HostFile* (*)(const char* name, std::int32_t mode, const TagItem* tags);
using HostMemFileNameFn = std::int32_t (*)(char* buffer, std::int32_t bufferSize,
                                           const MemFileDesc* desc, std::int32_t reserved);
using HostOpenMemStreamFn = HostStream* (*)(char* nameBuffer, std::int32_t bufferSize,
                                            std::int32_t reserved);
using HostGetMemStreamDataFn = const void* (*)(HostStream*, std::uint64_t* lengthOut,
                                               std::int32_t reserved);
using HostCloseMemStreamFn = void (*)(HostStream*);
using HostLoadImageFn = HostImage* (*)(const char* name, const TagItem* options, std::int32_t* width,
                                       std::int32_t* height, std::int32_t reserved);
using HostGetImagePixelsFn = const std::uint32_t* (*)(HostImage*);
using HostFreeImageFn = void (*)(HostImage*);
using HostSavePngFn = std::int32_t (*)(const char* name, const std::uint32_t* pixels, std::int32_t width,
                                       std::int32_t height, std::int32_t alpha, std::int32_t reserved1,
                                       std::int32_t reserved2);
using HostQuantizeFn = std::int32_t (*)(const void* pixels, std::uint8_t* indices, QuantizeParams* params,
                                        std::int32_t mode, std::int32_t reserved);
using HostCompressFn = std::int32_t (*)(std::uint8_t* dst, std::uint64_t* dstLength, const std::uint8_t* src,
                                        std::uint64_t srcLength);
using HostUncompressFn = std::int32_t (*)(std::uint8_t* dst, std::uint64_t* dstLength,
                                          const std::uint8_t* src, std::uint64_t srcLength);
using HostCrc32Fn = std::uint32_t (*)(const void* buffer, std::uint64_t n);
}  // extern "C"

// ---- Layout checks -----------------------------------------------------------
// The same records in the same field order on both pointer sizes; only the
// pointer and pointer-sized members change width, so every offset after the
// first of them moves. The module is built for ILP32 (32-bit PowerPC) and
// tested on LP64 as well.

#define TESSEL_CHECK_RECORD(Record) \
    static_assert(std::is_standard_layout_v<Record> && std::is_trivially_copyable_v<Record>)
TESSEL_CHECK_RECORD(PluginHeader);
TESSEL_CHECK_RECORD(PluginInfo);
TESSEL_CHECK_RECORD(IconSaverInfo);
TESSEL_CHECK_RECORD(IconImage);
TESSEL_CHECK_RECORD(IconAttributes);
TESSEL_CHECK_RECORD(MemFileDesc);
TESSEL_CHECK_RECORD(QuantizeParams);
TESSEL_CHECK_RECORD(TagItem);
TESSEL_CHECK_RECORD(HostApi);
#undef TESSEL_CHECK_RECORD

#if UINTPTR_MAX == 0xFFFFFFFFu

static_assert(sizeof(void*) == 4, "the record layouts below are for 32-bit pointers");

static_assert(offsetof(PluginHeader, magic) == 0);
static_assert(offsetof(PluginHeader, headerVersion) == 8);
static_assert(offsetof(PluginHeader, reserved0) == 12);
static_assert(offsetof(PluginHeader, lookup) == 16);
static_assert(sizeof(PluginHeader) == 20);

static_assert(offsetof(PluginInfo, capabilities) == 0);
static_assert(offsetof(PluginInfo, version) == 4);
static_assert(offsetof(PluginInfo, revision) == 8);
static_assert(offsetof(PluginInfo, hostVersion) == 12);
static_assert(offsetof(PluginInfo, hostRevision) == 16);
static_assert(offsetof(PluginInfo, reserved0) == 20);
static_assert(offsetof(PluginInfo, name) == 24);
static_assert(offsetof(PluginInfo, moduleName) == 28);
static_assert(offsetof(PluginInfo, author) == 32);
static_assert(offsetof(PluginInfo, description) == 36);
static_assert(offsetof(PluginInfo, copyright) == 40);
static_assert(offsetof(PluginInfo, url) == 44);
static_assert(offsetof(PluginInfo, date) == 48);
static_assert(offsetof(PluginInfo, reserved) == 52);
static_assert(sizeof(PluginInfo) == 60);

static_assert(offsetof(IconSaverInfo, hasMore) == 0);
static_assert(offsetof(IconSaverInfo, formatId) == 4);
static_assert(offsetof(IconSaverInfo, keyword) == 8);
static_assert(sizeof(IconSaverInfo) == 12);

static_assert(offsetof(IconImage, next) == 0);
static_assert(offsetof(IconImage, pixels) == 4);
static_assert(offsetof(IconImage, width) == 8);
static_assert(offsetof(IconImage, height) == 12);
static_assert(offsetof(IconImage, flags) == 16);
static_assert(offsetof(IconImage, reserved0) == 20);
static_assert(offsetof(IconImage, palette) == 24);
static_assert(offsetof(IconImage, transparentPen) == 28);
static_assert(offsetof(IconImage, depth) == 32);
static_assert(offsetof(IconImage, mark) == 36);
static_assert(offsetof(IconImage, reserved1) == 40);
static_assert(sizeof(IconImage) == 44);

static_assert(offsetof(IconAttributes, type) == 0);
static_assert(offsetof(IconAttributes, viewMode) == 4);
static_assert(offsetof(IconAttributes, posX) == 8);
static_assert(offsetof(IconAttributes, posY) == 12);
static_assert(offsetof(IconAttributes, drawerLeft) == 16);
static_assert(offsetof(IconAttributes, drawerTop) == 20);
static_assert(offsetof(IconAttributes, drawerWidth) == 24);
static_assert(offsetof(IconAttributes, drawerHeight) == 28);
static_assert(offsetof(IconAttributes, stackSize) == 32);
static_assert(offsetof(IconAttributes, reserved0) == 36);
static_assert(offsetof(IconAttributes, defaultTool) == 40);
static_assert(offsetof(IconAttributes, toolTypes) == 44);
static_assert(offsetof(IconAttributes, showAll) == 48);
static_assert(offsetof(IconAttributes, reserved1) == 52);
static_assert(sizeof(IconAttributes) == 56);

static_assert(offsetof(MemFileDesc, reserved0) == 0);
static_assert(offsetof(MemFileDesc, reserved1) == 4);
static_assert(offsetof(MemFileDesc, data) == 8);
static_assert(offsetof(MemFileDesc, extensionHint) == 12);
static_assert(offsetof(MemFileDesc, reserved2) == 16);
static_assert(offsetof(MemFileDesc, reserved3) == 20);
static_assert(offsetof(MemFileDesc, reserved4) == 24);
static_assert(offsetof(MemFileDesc, sizeHigh) == 28);
static_assert(offsetof(MemFileDesc, sizeLow) == 32);
static_assert(offsetof(MemFileDesc, reserved5) == 36);
static_assert(sizeof(MemFileDesc) == 40);

static_assert(offsetof(QuantizeParams, width) == 0);
static_assert(offsetof(QuantizeParams, height) == 4);
static_assert(offsetof(QuantizeParams, sourceDepth) == 8);
static_assert(offsetof(QuantizeParams, targetDepth) == 12);
static_assert(offsetof(QuantizeParams, sourcePalette) == 16);
static_assert(offsetof(QuantizeParams, targetPalette) == 20);
static_assert(offsetof(QuantizeParams, sourcePen) == 24);
static_assert(offsetof(QuantizeParams, targetPen) == 28);
static_assert(sizeof(QuantizeParams) == 32);

static_assert(offsetof(TagItem, tag) == 0);
static_assert(offsetof(TagItem, value) == 4);
static_assert(sizeof(TagItem) == 8);

static_assert(sizeof(HostApi) == 64);

#else

static_assert(sizeof(void*) == 8, "the record layouts below are for 64-bit pointers");

static_assert(offsetof(PluginHeader, magic) == 0);
static_assert(offsetof(PluginHeader, headerVersion) == 8);
static_assert(offsetof(PluginHeader, reserved0) == 12);
static_assert(offsetof(PluginHeader, lookup) == 16);
static_assert(sizeof(PluginHeader) == 24);

static_assert(offsetof(PluginInfo, capabilities) == 0);
static_assert(offsetof(PluginInfo, version) == 4);
static_assert(offsetof(PluginInfo, revision) == 8);
static_assert(offsetof(PluginInfo, hostVersion) == 12);
static_assert(offsetof(PluginInfo, hostRevision) == 16);
static_assert(offsetof(PluginInfo, reserved0) == 20);
static_assert(offsetof(PluginInfo, name) == 24);
static_assert(offsetof(PluginInfo, moduleName) == 32);
static_assert(offsetof(PluginInfo, author) == 40);
static_assert(offsetof(PluginInfo, description) == 48);
static_assert(offsetof(PluginInfo, copyright) == 56);
static_assert(offsetof(PluginInfo, url) == 64);
static_assert(offsetof(PluginInfo, date) == 72);
static_assert(offsetof(PluginInfo, reserved) == 80);
static_assert(sizeof(PluginInfo) == 88);

static_assert(offsetof(IconSaverInfo, hasMore) == 0);
static_assert(offsetof(IconSaverInfo, formatId) == 4);
static_assert(offsetof(IconSaverInfo, keyword) == 8);
static_assert(sizeof(IconSaverInfo) == 16);

static_assert(offsetof(IconImage, next) == 0);
static_assert(offsetof(IconImage, pixels) == 8);
static_assert(offsetof(IconImage, width) == 16);
static_assert(offsetof(IconImage, height) == 20);
static_assert(offsetof(IconImage, flags) == 24);
static_assert(offsetof(IconImage, reserved0) == 28);
static_assert(offsetof(IconImage, palette) == 32);
static_assert(offsetof(IconImage, transparentPen) == 40);
static_assert(offsetof(IconImage, depth) == 44);
static_assert(offsetof(IconImage, mark) == 48);
static_assert(offsetof(IconImage, reserved1) == 52);
static_assert(sizeof(IconImage) == 56);

static_assert(offsetof(IconAttributes, type) == 0);
static_assert(offsetof(IconAttributes, viewMode) == 4);
static_assert(offsetof(IconAttributes, posX) == 8);
static_assert(offsetof(IconAttributes, posY) == 12);
static_assert(offsetof(IconAttributes, drawerLeft) == 16);
static_assert(offsetof(IconAttributes, drawerTop) == 20);
static_assert(offsetof(IconAttributes, drawerWidth) == 24);
static_assert(offsetof(IconAttributes, drawerHeight) == 28);
static_assert(offsetof(IconAttributes, stackSize) == 32);
static_assert(offsetof(IconAttributes, reserved0) == 36);
static_assert(offsetof(IconAttributes, defaultTool) == 40);
static_assert(offsetof(IconAttributes, toolTypes) == 48);
static_assert(offsetof(IconAttributes, showAll) == 56);
static_assert(offsetof(IconAttributes, reserved1) == 60);
static_assert(sizeof(IconAttributes) == 64);

static_assert(offsetof(MemFileDesc, reserved0) == 0);
static_assert(offsetof(MemFileDesc, reserved1) == 4);
static_assert(offsetof(MemFileDesc, data) == 8);
static_assert(offsetof(MemFileDesc, extensionHint) == 16);
static_assert(offsetof(MemFileDesc, reserved2) == 24);
static_assert(offsetof(MemFileDesc, reserved3) == 28);
static_assert(offsetof(MemFileDesc, reserved4) == 32);
static_assert(offsetof(MemFileDesc, sizeHigh) == 36);
static_assert(offsetof(MemFileDesc, sizeLow) == 40);
static_assert(offsetof(MemFileDesc, reserved5) == 44);
static_assert(sizeof(MemFileDesc) == 48);

static_assert(offsetof(QuantizeParams, width) == 0);
static_assert(offsetof(QuantizeParams, height) == 4);
static_assert(offsetof(QuantizeParams, sourceDepth) == 8);
static_assert(offsetof(QuantizeParams, targetDepth) == 12);
static_assert(offsetof(QuantizeParams, sourcePalette) == 16);
static_assert(offsetof(QuantizeParams, targetPalette) == 24);
static_assert(offsetof(QuantizeParams, sourcePen) == 32);
static_assert(offsetof(QuantizeParams, targetPen) == 36);
static_assert(sizeof(QuantizeParams) == 40);

static_assert(offsetof(TagItem, tag) == 0);
static_assert(offsetof(TagItem, value) == 8);
static_assert(sizeof(TagItem) == 16);

static_assert(sizeof(HostApi) == 128);

#endif
