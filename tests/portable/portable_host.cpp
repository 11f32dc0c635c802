// The portable host: every operation the module calls, with the contracts the
// Linux runtime keeps (1/0 and null results, position-based end of file,
// HostSeek returning the previous position, HostClose reporting failures).
//
// A file opened for reading is read whole into memory at open; one opened for
// writing collects its bytes in memory and writes them out with <cstdio> on
// close, so nothing depends on the C library's own buffering.
#include "tests/portable/portable_host.h"

#include "io/crc32.h"
#include "plugin/host_api_tables.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

struct HostFile {
    bool writable = false;
    bool failed = false;        // sticky: a write or seek failed
    std::string path;           // where a writing handle's bytes go on close
    Bytes bytes;
    std::int64_t position = 0;
};

namespace {

// The same ceiling as the Linux runtime: a larger single request fails.
constexpr std::uint64_t ALLOC_CEILING = 1ull << 30;
// Non-zeroed blocks are filled with this, as the Linux runtime does in tests,
// so a read of scratch never written gives the same bytes on every machine.
constexpr std::uint8_t POISON_BYTE = 0xA5;
constexpr std::int64_t FILE_MAX_BYTES = 1ll << 30;

std::map<void*, std::uint64_t>& Blocks()
{
    static auto* blocks = new std::map<void*, std::uint64_t>;
    return *blocks;
}

std::int64_t g_liveFiles = 0;

bool WriteWholePath(const std::string& path, const Bytes& bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0)
        ok = false;
    return ok;
}

// ---- Memory -------------------------------------------------------------------

extern "C" void* PortableAllocMem(std::uint64_t size, std::int32_t zeroFill, const char* /*tag*/)
{
    if (size > ALLOC_CEILING)
        return nullptr;
    std::size_t allocBytes = size == 0 ? 1 : static_cast<std::size_t>(size);
    void* block = zeroFill ? std::calloc(1, allocBytes) : std::malloc(allocBytes);
    if (!block)
        return nullptr;
    if (!zeroFill)
        std::memset(block, POISON_BYTE, allocBytes);
    Blocks()[block] = size;
    return block;
}

extern "C" void PortableFreeMem(void* block)
{
    if (!block)
        return;
    if (Blocks().erase(block) == 0) {
        std::fprintf(stderr, "portable host: HostFreeMem of a block it did not hand out\n");
        std::abort();
    }
    std::free(block);
}

// ---- Files --------------------------------------------------------------------

extern "C" HostFile* PortableOpen(const char* name, std::int32_t mode)
{
    if (!name || (mode != HOST_MODE_READ && mode != HOST_MODE_WRITE))
        return nullptr;
    auto file = std::make_unique<HostFile>();
    file->writable = mode == HOST_MODE_WRITE;
    if (file->writable) {
        // Created (and emptied) at open, as a real host would.
        if (!WriteWholePath(name, Bytes{}))
            return nullptr;
        file->path = name;
    } else {
        if (!portable::ReadWholeFile(name, file->bytes))
            return nullptr;
    }
    ++g_liveFiles;
    return file.release();
}

extern "C" std::int32_t PortableClose(HostFile* file)
{
    if (!file)
        return -1;
    bool failed = file->failed;
    if (file->writable && !file->path.empty() && !WriteWholePath(file->path, file->bytes))
        failed = true;
    --g_liveFiles;
    delete file;
    return failed ? 1 : 0;
}

extern "C" std::int64_t PortableSeek(HostFile* file, std::int64_t offset, std::int32_t from)
{
    if (!file)
        return -1;
    std::int64_t size = static_cast<std::int64_t>(file->bytes.size());
    std::int64_t base;
    switch (from) {
    case HOST_SEEK_CURRENT: base = file->position; break;
    case HOST_SEEK_START: base = 0; break;
    case HOST_SEEK_END: base = size; break;
    default: base = -1; break;
    }
    std::int64_t target = -1;
    if (base < 0 || __builtin_add_overflow(base, offset, &target) || target < 0) {
        if (file->writable)
            file->failed = true;
        return -1;
    }
    std::int64_t previous = file->position;
    file->position = target;
    return previous;
}

extern "C" std::int64_t PortableRead(HostFile* file, void* buffer, std::int64_t n)
{
    if (!file || n < 0 || (!buffer && n > 0) || file->writable)
        return -1;
    std::int64_t size = static_cast<std::int64_t>(file->bytes.size());
    std::int64_t left = size - file->position;
    std::int64_t want = n < left ? n : (left > 0 ? left : 0);
    if (want > 0)
        std::memcpy(buffer, file->bytes.data() + file->position, static_cast<std::size_t>(want));
    file->position += want;
    return want;
}

extern "C" std::int64_t PortableWrite(HostFile* file, const void* buffer, std::int64_t n)
{
    if (!file)
        return -1;
    if (!file->writable || n < 0 || (!buffer && n > 0) || n > FILE_MAX_BYTES ||
        file->position > FILE_MAX_BYTES - n) {
        file->failed = true;
        return -1;
    }
    auto end = static_cast<std::size_t>(file->position + n);
    if (file->bytes.size() < end)
        file->bytes.resize(end);    // a gap before the position becomes zeros
    if (n > 0)
        std::memcpy(file->bytes.data() + file->position, buffer, static_cast<std::size_t>(n));
    file->position += n;
    return n;
}

extern "C" std::int32_t PortableGetC(HostFile* file)
{
    if (!file || file->writable)
        return -1;
    if (file->position >= static_cast<std::int64_t>(file->bytes.size()))
        return -1;
    return file->bytes[static_cast<std::size_t>(file->position++)];
}

extern "C" std::int32_t PortablePutC(HostFile* file, std::int32_t byte)
{
    auto value = static_cast<std::uint8_t>(byte & 0xFF);
    return PortableWrite(file, &value, 1) == 1 ? value : -1;
}

// True at or past the end; a read handle never fails a read part way, so the
// position alone decides.
extern "C" std::int32_t PortableEof(HostFile* file)
{
    if (!file)
        return 1;
    return file->position >= static_cast<std::int64_t>(file->bytes.size()) ? 1 : 0;
}

}  // namespace

namespace portable {

const HostApi* PortableHostApi()
{
    static const HostApiTables* tables = new HostApiTables(
        {.allocMem = &PortableAllocMem, .freeMem = &PortableFreeMem,
         .registerFormat = [](PluginInfo*, std::int32_t, const char*, std::int32_t, const char*, std::uint32_t,
                              std::int32_t) { return std::int32_t{1}; },
         .open = &PortableOpen, .close = &PortableClose, .seek = &PortableSeek, .read = &PortableRead,
         .write = &PortableWrite, .getC = &PortableGetC, .putC = &PortablePutC, .eof = &PortableEof,
         .openWithTags = [](const char* name, std::int32_t mode, const TagItem*) { return PortableOpen(name, mode); },
         // Memory files and streams carry only pictures to and from the image
         // operations, and neither those nor zlib are here: every call fails,
         // a name buffer is left empty as the runtime leaves it, and zlib's
         // failures are its Z_STREAM_ERROR.
         .memFileName = [](char* name, std::int32_t size, const MemFileDesc*, std::int32_t) {
             if (name && size > 0)
                 name[0] = '\0';
             return std::int32_t{0}; },
         .openMemStream = [](char* name, std::int32_t size, std::int32_t) -> HostStream* {
             if (name && size > 0)
                 name[0] = '\0';
             return nullptr; },
         .getMemStreamData = [](HostStream*, std::uint64_t*, std::int32_t) -> const void* { return nullptr; },
         .closeMemStream = [](HostStream*) {},
         .loadImage = [](const char*, const TagItem*, std::int32_t*, std::int32_t*, std::int32_t) -> HostImage* {
             return nullptr; },
         .getImagePixels = [](HostImage*) -> const std::uint32_t* { return nullptr; },
         .freeImage = [](HostImage*) {},
         .savePng = [](const char*, const std::uint32_t*, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                       std::int32_t) { return std::int32_t{0}; },
         .quantize = [](const void*, std::uint8_t*, QuantizeParams*, std::int32_t, std::int32_t) { return std::int32_t{0}; },
         .compress = [](std::uint8_t*, std::uint64_t*, const std::uint8_t*, std::uint64_t) { return std::int32_t{-2}; },
         .uncompress = [](std::uint8_t*, std::uint64_t*, const std::uint8_t*, std::uint64_t) { return std::int32_t{-2}; },
         // The module's own CRC-32, its table checked as the module compiles.
         .crc32 = [](const void* buffer, std::uint64_t n) { return Crc32(static_cast<const std::uint8_t*>(buffer), n); }},
        HOST_INTERFACE_VERSION);
    return tables->Api();
}

std::int64_t LiveBlocks()
{
    return static_cast<std::int64_t>(Blocks().size());
}

std::int64_t LiveFiles()
{
    return g_liveFiles;
}

bool ReadWholeFile(const char* path, std::vector<std::uint8_t>& out)
{
    out.clear();
    std::FILE* f = std::fopen(path, "rb");
    if (!f)
        return false;
    for (int c; (c = std::fgetc(f)) != EOF;)
        out.push_back(static_cast<std::uint8_t>(c));
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

}  // namespace portable
