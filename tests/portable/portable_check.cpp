// Loads each file given, prints what the module made of it, saves it in every
// format and prints what came out, as text that must be the same on every
// machine: pixels are hashed as bytes in a fixed order (A, R, G, B for pixel
// words; indices then R, G, B for palettes), never as memory.
//
// Usage: portable_check [--temp PATH] FILE...
// Exit status 1 when the savers differ from the format table or a block or
// file is left behind; a file that does not load is reported, not failed.
// The byte-order helpers are checked through what every load and save
// prints, which scripts/run-powerpc compares with this machine's report.
#include "host/host_calls.h"
#include "plugin/entry_points.h"
#include "plugin/format_table.h"
#include "tests/portable/portable_host.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t FNV_OFFSET = 0x811C9DC5;
constexpr std::uint32_t FNV_PRIME = 0x01000193;

struct Fnv {
    std::uint32_t hash = FNV_OFFSET;
    void Byte(std::uint32_t b)
    {
        hash ^= b & 0xFF;
        hash *= FNV_PRIME;
    }
    void Word(std::uint32_t w)                      // 0xAARRGGBB as A, R, G, B
    {
        Byte(w >> 24);
        Byte(w >> 16);
        Byte(w >> 8);
        Byte(w);
    }
};

bool g_failed = false;

void Fail(const char* what)
{
    std::printf("  FAIL %s\n", what);
    g_failed = true;
}

std::uint32_t ImageHash(const IconImage* image)
{
    Fnv fnv;
    std::uint64_t pixels = std::uint64_t(image->width) * std::uint64_t(image->height);
    if (image->depth > 8) {
        const auto* words = reinterpret_cast<const std::uint32_t*>(image->pixels);
        for (std::uint64_t i = 0; i < pixels; ++i)
            fnv.Word(words[i]);
    } else {
        for (std::uint64_t i = 0; i < pixels; ++i)
            fnv.Byte(image->pixels[i]);
        for (std::uint32_t i = 0; image->palette && i < 256; ++i) {
            fnv.Byte(image->palette[i] >> 16);
            fnv.Byte(image->palette[i] >> 8);
            fnv.Byte(image->palette[i]);
        }
    }
    return fnv.hash;
}

// Blocks the caller still holds on purpose (the loaded icon during its saves)
// are allowed for.
void CheckNothingLeft(const char* when, std::int64_t heldBlocks = 0)
{
    if (portable::LiveBlocks() != heldBlocks || portable::LiveFiles() != 0) {
        std::printf("  FAIL left behind %s: %lld blocks, %lld files\n", when,
                    static_cast<long long>(portable::LiveBlocks()), static_cast<long long>(portable::LiveFiles()));
        g_failed = true;
    }
}

// One line per image: its header fields and a hash of its pixels and palette.
void PrintImages(IconHandle* icon, const char* indent)
{
    int index = 0;
    for (const IconImage* image = GetIconImages(icon); image; image = image->next, ++index)
        std::printf("%simage %d: %dx%d depth %d flags %u pen %d hash %08x\n", indent, index, image->width, image->height,
                    image->depth, image->flags, image->transparentPen, ImageHash(image));
}

void CheckFile(const char* path, const std::string& temp)
{
    std::printf("file %s\n", path);
    IconAttributes attributes{};
    const TagItem loadTags[] = {{LOADICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&attributes)}, {0, 0}};
    IconHandle* icon = LoadIcon(path, loadTags);
    if (!icon) {
        std::printf("  load failed\n");
        CheckNothingLeft("after a failed load");
        return;
    }
    PrintImages(icon, "  ");
    std::printf("  type %d pos %d,%d drawer %d,%d %dx%d view %d showall %d stack %d\n", attributes.type,
                attributes.posX, attributes.posY, attributes.drawerLeft, attributes.drawerTop,
                attributes.drawerWidth, attributes.drawerHeight, attributes.viewMode, attributes.showAll,
                attributes.stackSize);
    std::printf("  deftool %s\n", attributes.defaultTool ? attributes.defaultTool : "(none)");
    for (char** line = attributes.toolTypes; line && *line; ++line)
        std::printf("  tooltype %s\n", *line);

    std::int64_t heldBlocks = portable::LiveBlocks();
    for (const SaveFormatRow& format : SaveFormatTable) {
        for (std::uintptr_t compress = 0; compress <= 1; ++compress) {
            const TagItem saveTags[] = {{SAVEICON_TAG_FORMAT, format.formatId},
                                        {SAVEICON_TAG_COMPRESS, compress},
                                        {SAVEICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&attributes)},
                                        {0, 0}};
            std::remove(temp.c_str());
            std::int32_t saved = SaveIcon(temp.c_str(), GetIconImages(icon), saveTags);
            std::vector<std::uint8_t> bytes;
            bool present = portable::ReadWholeFile(temp.c_str(), bytes);
            Fnv fnv;
            for (std::uint8_t b : bytes)
                fnv.Byte(b);
            std::printf("  save %s compress %u: %s, %zu bytes, hash %08x", format.keyword,
                        static_cast<unsigned>(compress), saved ? "ok" : "failed", present ? bytes.size() : 0,
                        fnv.hash);
            IconHandle* again = saved ? LoadIcon(temp.c_str(), nullptr) : nullptr;
            std::fputs(saved && !again ? ", does not reload\n" : "\n", stdout);
            if (again) {
                PrintImages(again, "    ");   // the reload, one level in
                FreeIcon(again);
            }
            std::remove(temp.c_str());
            CheckNothingLeft("after a save", heldBlocks);
        }
    }
    FreeIcon(icon);
    CheckNothingLeft("after FreeIcon");
}

}  // namespace

int main(int argc, char** argv)
{
    std::string temp = "portable_check.tmp";
    int first = 1;
    if (argc >= 3 && std::strcmp(argv[1], "--temp") == 0) {
        temp = argv[2];
        first = 3;
    }
    PluginInfo info{};
    if (!InitPlugin(&info, portable::PortableHostApi())) {
        std::printf("InitPlugin failed\n");
        return 1;
    }
    SetHostApi(portable::PortableHostApi());
    // Walking the savers must give the format table, in order; the lines
    // printed are compared with this machine's.
    IconSaverInfo saver{};
    for (const SaveFormatRow& format : SaveFormatTable) {
        RegisterIconSaver(&saver);
        std::printf("saver %s %08x\n", saver.keyword ? saver.keyword : "(none)", saver.formatId);
        if (saver.formatId != format.formatId || !saver.keyword || std::strcmp(saver.keyword, format.keyword) != 0)
            Fail("format table");
    }
    for (int i = first; i < argc; ++i)
        CheckFile(argv[i], temp);
    ClosePlugin();
    std::printf("%s\n", g_failed ? "FAILED" : "passed");
    return g_failed ? 1 : 0;
}
