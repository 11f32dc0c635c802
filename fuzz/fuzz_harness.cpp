#include "fuzz/fuzz_harness.h"

#include "host/host_calls.h"
#include "icon/icon_model.h"
#include "plugin/entry_points.h"
#include "runtime/host_services.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tessel::fuzz {

namespace {

// No single allocation above this: a hostile size must be refused before the
// module asks for it, not by running the process out of memory.
constexpr std::uint64_t FUZZ_ALLOCATION_CEILING = 64ull << 20;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz: %s\n", what);
    std::abort();
}

}  // namespace

void StartModule()
{
    static bool started = false;
    if (started)
        return;
    started = true;
    static PluginInfo info{};
    info.hostVersion = 1;
    if (InitPlugin(&info, runtime::GetHostApi()) != 1)
        Fail("InitPlugin failed");
    runtime::ClearCallMemFiles();
    runtime::MemoryFaults faults;
    faults.failAboveBytes = FUZZ_ALLOCATION_CEILING;
    runtime::SetMemoryFaults(faults);
    // Scratch blocks hold 0xA5 until written, so a read of bytes never
    // written differs from run to run less than random heap contents would.
    runtime::SetPoisonScratch(true);
}

IconHandle* LoadBytes(const std::uint8_t* data, std::size_t size, IconAttributes* attributes)
{
    // A zero-length input still gets a readable (empty) memory file.
    static const std::uint8_t EMPTY = 0;
    std::string name = runtime::RegisterMemFile(size ? data : &EMPTY, size, "bin");
    const TagItem tags[] = {{LOADICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(attributes)}, {0, 0}};
    IconHandle* icon = LoadIcon(name.c_str(), tags);
    runtime::ClearCallMemFiles();
    return icon;
}

int SaveToBytes(IconImage* first, std::uint32_t formatId, int compress, IconAttributes* attributes,
                std::vector<std::uint8_t>& out)
{
    out.clear();
    char name[HOST_NAME_BUFFER_SIZE];
    HostStream* stream = TesselHostOpenMemStream(name, sizeof name, 0);
    if (!stream)
        Fail("cannot open a memory stream");
    const TagItem tags[] = {
        {SAVEICON_TAG_FORMAT, formatId},
        {SAVEICON_TAG_COMPRESS, static_cast<std::uintptr_t>(compress)},
        {SAVEICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(attributes)},
        {0, 0},
    };
    int saved = SaveIcon(name, first, tags);
    runtime::ClearCallMemFiles();
    std::uint64_t length = 0;
    const void* bytes = TesselHostGetMemStreamData(stream, &length, 0);
    if (bytes && length)
        out.assign(static_cast<const std::uint8_t*>(bytes), static_cast<const std::uint8_t*>(bytes) + length);
    TesselHostCloseMemStream(stream);
    return saved;
}

void TouchImages(IconImage* first)
{
    // Volatile so the reads are not optimised away.
    volatile std::uint32_t sink = 0;
    int count = 0;
    for (IconImage* image = first; image; image = image->next) {
        if (++count > 100000)
            Fail("image list does not end");
        std::uint64_t bytes = IconPixelBytes(image->width, image->height, image->depth);
        if (bytes == 0 || !image->pixels)
            Fail("an image with an impossible size or no pixels");
        // One read per 64 bytes plus the last byte is enough to hit any
        // buffer that is too short, without walking huge images byte by byte.
        for (std::uint64_t offset = 0; offset < bytes; offset += 64)
            sink = sink + image->pixels[offset];
        sink = sink + image->pixels[bytes - 1];
        if (image->depth <= 8) {
            if (!image->palette)
                Fail("a palette image with no palette");
            for (std::uint32_t entry = 0; entry < ICON_PALETTE_ENTRIES; ++entry)
                sink = sink + image->palette[entry];
        }
    }
    (void)sink;
}

void LoadAndFree(const std::uint8_t* data, std::size_t size)
{
    std::int64_t blocksBefore = runtime::LiveBlocks();
    IconAttributes attributes{};
    IconHandle* icon = LoadBytes(data, size, &attributes);
    if (icon) {
        TouchImages(GetIconImages(icon));
        if (attributes.defaultTool)
            (void)std::strlen(attributes.defaultTool);
        if (attributes.toolTypes)
            for (char** line = attributes.toolTypes; *line; ++line)
                (void)std::strlen(*line);
        FreeIcon(icon);
    }
    CheckNothingLeft(blocksBefore);
}

void CheckNothingLeft(std::int64_t blocksBefore)
{
    if (runtime::LiveBlocks() != blocksBefore) {
        for (const auto& [tag, count] : runtime::LiveBlocksByTag())
            std::fprintf(stderr, "fuzz: %lld live block(s) tagged %s\n", static_cast<long long>(count),
                         tag.c_str());
        Fail("leak: blocks left live after the input");
    }
    if (runtime::LiveImages() != 0)
        Fail("leak: host images left live after the input");
    runtime::FileCounters counters = runtime::GetFileCounters();
    if (counters.liveFiles != 0)
        Fail("leak: files left open after the input");
    if (counters.liveStreams != 0)
        Fail("leak: memory streams left open after the input");
}

void FixPngCrcs(std::vector<std::uint8_t>& bytes)
{
    std::size_t position = 8;
    while (position + 12 <= bytes.size()) {
        std::uint64_t length = (std::uint64_t{bytes[position]} << 24) | (std::uint64_t{bytes[position + 1]} << 16) |
                               (std::uint64_t{bytes[position + 2]} << 8) | bytes[position + 3];
        if (length > bytes.size() - position - 12)
            return;
        std::uint32_t crc = TesselHostCrc32(&bytes[position + 4], length + 4);
        std::size_t at = position + 8 + static_cast<std::size_t>(length);
        bytes[at] = static_cast<std::uint8_t>(crc >> 24);
        bytes[at + 1] = static_cast<std::uint8_t>(crc >> 16);
        bytes[at + 2] = static_cast<std::uint8_t>(crc >> 8);
        bytes[at + 3] = static_cast<std::uint8_t>(crc);
        position = at + 4;
    }
}

}  // namespace tessel::fuzz
