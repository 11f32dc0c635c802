// Windows icons: sound, damaged and odd files as one table, a small file the writer makes byte for byte, the order of
// its entries, and the PNG steps on a host that gives no name or too short an encoding.
#include "formats/amiga/png_icon.h"
#include "host/host_calls.h"
#include "icon/decode_helpers.h"
#include "tests/formats/windows/load_rows.h"

#include <array>

namespace {

using namespace tessel::test;
namespace rt = tessel::runtime;

// Directory entry: width, height, colours, reserved, planes, bits, bytes, offset.
Bytes Dir(int w, int h, std::size_t bytes, std::size_t offset)
{
    return Cat({{std::uint8_t(w), std::uint8_t(h), 0, 0}, Le16(1), Le16(0), Le32(std::uint32_t(bytes)),
                Le32(std::uint32_t(offset))});
}

// Bitmap header: 40, width, pixel + mask rows, planes, bits, 16 zero bytes (compression to resolutions), colours
// used, colours important.
Bytes Bmp(std::int32_t w, std::int32_t rows, int bits, std::uint32_t used = 0, std::uint32_t planes = 1)
{
    return Cat({Le32(40), Le32(std::uint32_t(w)), Le32(std::uint32_t(rows)), Le16(planes), Le16(std::uint32_t(bits)),
                Bytes(16, 0), Le32(used), Le32(0)});
}

struct Entry { int w, h; Bytes data; };

// Header (reserved 0, type 1, count), the directory, the entries' data.
Bytes Ico(const std::vector<Entry>& entries)
{
    Bytes dir, data;
    for (const Entry& e : entries) {
        dir = Cat({dir, Dir(e.w, e.h, e.data.size(), 6 + 16 * entries.size() + data.size())});
        data = Cat({data, e.data});
    }
    return Cat({{0, 0, 1, 0}, Le16(std::uint32_t(entries.size())), dir, data});
}

constexpr std::uint32_t W = 0xFFFFFFFF, K = 0xFF000000, R = 0xFFFF0000, B = 0xFF0000FF, C = 0xFF102030;
const Bytes kTrue24 = Cat({Bmp(2, 2, 24), {0x30, 0x20, 0x10, 0x60, 0x50, 0x40, 0, 0}, {0x40, 0, 0, 0}});
const Bytes kOther24 = Cat({Bmp(2, 2, 24), {1, 2, 3, 4, 5, 6, 0, 0}, {0, 0, 0, 0}});
const Bytes kTrue32 = Cat({Bmp(2, 2, 32, 0, 0x4849), {0x30, 0x20, 0x10, 0xFF, 0x60, 0x50, 0x40, 0}, {0x80, 0, 0, 0}});
const Bytes kOneBit = Cat({Bmp(2, 2, 1), {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0}, {0x40, 0, 0, 0}, {0, 0, 0, 0}});
const Words kPicture = {0xFF102030, 0xFF405060, 0xFF708090, 0xFFA0B0C0, 0xFFD0E0F0, 0xFF010203};

TEST(IcoReader, FilesLoadWhatIsSoundOrFail)
{
    CheckLoadRows({
        {"1-bit 2x2, bottom row first; both indices in use, the first masked pixel's colour is the pen",
         Ico({{2, 2, Cat({Bmp(2, 4, 1), {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0},    // palette B G R 0: black, white
                          {0x40, 0, 0, 0, 0x80, 0, 0, 0},                     // pixel rows: bottom 01, top 10
                          {0, 0, 0, 0, 0x40, 0, 0, 0}})}}),                   // mask: top right transparent
         "2x2x1p0", {W, 0, 0, W}},
        {"4-bit 3x2 of 3 colours: high nibble left, padded rows, free index 2 the pen",
         Ico({{3, 2, Cat({Bmp(3, 4, 4, 3), {0, 0, 0xFF, 0, 0xFF, 0, 0, 0, 0, 0xFF, 0, 0},   // red, blue, green
                          {0x01, 0x30, 0, 0, 0x10, 0x10, 0, 0},               // bottom 0 1 3, top 1 0 1
                          {0, 0, 0, 0, 0x80, 0, 0, 0}})}}),                   // mask: top left
         "3x2x4p2", {0, R, B, R, B, K}},                                    // entry 3 unread: black
        {"8-bit, colours used 0: 256 palette entries",
         Ico({{2, 1, Cat({Bmp(2, 2, 8), With(Bytes(1024, 0), {3, 2, 1, 0, 6, 5, 4, 0}), {0, 1, 0, 0}, {0, 0, 0, 0}})}}),
         "2x1x8", {0xFF010203, 0xFF040506}},
        {"4-bit, colours used 256: as many palette entries before the pixels",
         Ico({{2, 1, Cat({Bmp(2, 2, 4, 256), With(Bytes(1024, 0), {3, 2, 1, 0, 6, 5, 4, 0}), {0x10, 0, 0, 0}, Bytes(4, 0)})}}),
         "2x1x4", {0xFF040506, 0xFF010203}},
        {"24-bit: blue green red, the mask gives alpha", Ico({{2, 1, kTrue24}}), "2x1x32", {C, 0}},
        {"32-bit keeps its own alpha, its mask unread; planes \"IH\" are no PNG", Ico({{2, 1, kTrue32}}), "2x1x32", {C, 0}},
        {"24-bit gives way to a later image of its size", Ico({{2, 1, kTrue24}, {2, 1, kOneBit}}), "2x1x1", {K, W}},
        {"... and to an earlier one", Ico({{2, 1, kOneBit}, {2, 1, kTrue24}}), "2x1x1", {K, W}},
        {"two 24-bit: the last stays", Ico({{2, 1, kTrue24}, {2, 1, kOther24}}), "2x1x32", {0xFF030201, 0xFF060504}},
        {"24-bit of two sizes stay", Ico({{2, 1, kOther24}, {1, 1, Cat({Bmp(1, 2, 24), {9, 8, 7, 0}, {0}})}}),
         "2x1x32 1x1x32", {0xFF030201, 0xFF060504, 0xFF070809}},
        {"24-bit 256x256 gives way to a PNG of its size", Ico({{0, 0, Cat({Bmp(256, 512, 24), Bytes(256 * (768 + 32), 0)})},
                                                               {0, 0, Png(Words(65536, C), 256, 256)}}), "256x256x32", {}},
        {"a PNG entry has the PNG's size", Ico({{16, 16, Png(kPicture, 3, 2)}}), "3x2x32", kPicture},
        {"PNG longer than the file", Cat({{0, 0, 1, 0, 1, 0}, Dir(16, 16, 0xFFFFFFF0, 22), Png(kPicture, 3, 2)}), ""},
        {"PNG signature, no header chunk: the host's decoder refuses it",   // bytes 12-15 would read as 32 bits
         Ico({{2, 1, Cat({{0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0, 0, 0, 2, 'a', 'b', 32, 0}, Bytes(32, 0)})}}), ""},
        {"PNG entry of 0 bytes", Cat({{0, 0, 1, 0, 1, 0}, Dir(16, 16, 0, 22), Png(kPicture, 3, 2)}), ""},
        {"offset at the end of the file", Cat({{0, 0, 1, 0, 1, 0}, Dir(2, 1, 52, 22 + 52), kTrue24}), ""},
        {"no entry", {0, 0, 1, 0, 0, 0}, ""},
        {"directory past the end of the file", Cat({{0, 0, 1, 0, 3, 0}, Dir(2, 1, 52, 22)}), ""},
        {"bitmap width -16", Ico({{16, 1, Cat({Bmp(-16, 2, 1), Bytes(16, 0)})}}), ""},
        {"one row for pixels and mask", Ico({{2, 1, Cat({Bmp(2, 1, 32), Bytes(16, 0)})}}), ""},
        {"16 bits a pixel", Ico({{2, 1, Cat({Bmp(2, 2, 16), Bytes(16, 0)})}}), ""},
        {"directory 0 x 0 is 256 before the bitmap's 2x1 caps it", Ico({{0, 0, kTrue24}}), "2x1x32", {C, 0}},
        {"directory narrower than the bitmap: rows read at its width", Ico({{1, 1, kTrue32}}), "1x1x32", {C}},
        {"rows cut short: zeros", Ico({{2, 1, Cat({Bmp(2, 2, 32), {0x30, 0x20, 0x10, 0xFF}})}}), "2x1x32", {C, 0}},
    });
}

// Written from the layout: entries by depth (1-bit before 32-bit), data after the 38 bytes of header and directory,
// palettes B G R 0 without alpha, pixel values beyond the depth's bits ignored, rows bottom first padded to 4 bytes,
// mask 1 = transparent (the pen, alpha 0).
TEST(IcoWriter, SmallIconByteForByte)
{
    HostImageList list;
    list.AddArgb(2, 1, {0xFF112233, 0x00445566});
    list.AddPalette(3, 2, 1, {1, 0, 3, 0, 1, 1}, {0xA1B2C3, 0xFF000009}, /*pen*/ 0);
    const Bytes expected = Cat({
        {0, 0, 1, 0, 2, 0},                                                 // header: 2 entries
        {3, 2, 2, 0, 1, 0, 1, 0, 64, 0, 0, 0, 38, 0, 0, 0},                 // 3x2, 2 colours, 1 bit, 64 at 38
        {2, 1, 0, 0, 1, 0, 32, 0, 52, 0, 0, 0, 102, 0, 0, 0},               // 2x1, 32 bits, 52 at 102
        Bmp(3, 4, 1, 2), {0, 0, 0, 0, 0x09, 0, 0, 0},                      // palette, the pen's colour black
        {0x60, 0, 0, 0, 0xA0, 0, 0, 0},                                     // pixels: bottom 011, top 101
        {0x80, 0, 0, 0, 0x40, 0, 0, 0},                                     // mask: bottom 100, top 010
        Bmp(2, 2, 32), {0x33, 0x22, 0x11, 0xFF, 0x66, 0x55, 0x44, 0x00},    // B G R A
        {0x40, 0, 0, 0},                                                    // mask: the alpha-0 pixel
    });
    TempDir dir;
    ASSERT_EQ(SaveWith(dir.File("a.ico"), list.First(), FORMAT_WINDOWS, nullptr), 1);
    EXPECT_EQ(ReadFileBytes(dir.File("a.ico")), expected);
}

// Within a depth class the widest image first, equal widths in list order: the directory's width and height bytes.
TEST(IcoWriter, EntriesByDepthThenDecreasingWidth)
{
    HostImageList list;
    for (auto [width, height, depth] : {std::array{1, 1, 1}, {3, 1, 1}, {2, 5, 32}, {3, 2, 1}, {4, 4, 32}}) {
        const std::size_t pixels = std::size_t(width) * std::size_t(height);
        depth == 32 ? list.AddArgb(width, height, Words(pixels, 0)) : list.AddPalette(width, height, 1, Bytes(pixels, 0), {0});
    }
    TempDir dir;
    ASSERT_EQ(SaveWith(dir.File("o.ico"), list.First(), FORMAT_WINDOWS, nullptr), 1);
    const Bytes file = ReadFileBytes(dir.File("o.ico"));
    ASSERT_GE(file.size(), 6u + 5 * 16);
    Bytes sides;
    for (std::size_t at = 6; at < 6 + 5 * 16; at += 16)
        sides.insert(sides.end(), {file[at], file[at + 1]});
    EXPECT_EQ(sides, (Bytes{3, 1, 3, 2, 1, 1, 4, 4, 2, 5}));
}

// A host that gives no name, or an empty one, for the PNG bytes: the decode fails and no image is loaded by a name
// the module never got. A host whose encoder falls short: the PNG is not written.
TEST(DecodeEmbeddedPng, NoNameNoLoad)
{
    using NameFn = std::int32_t (*)(char*, std::int32_t, const MemFileDesc*, std::int32_t);
    const NameFn noName = [](char* name, std::int32_t, const MemFileDesc*, std::int32_t) { return name[0] = 'x', 0; };
    const NameFn emptyName = [](char* name, std::int32_t, const MemFileDesc*, std::int32_t) { return name[0] = 0, 1; };
    static int loads = 0;
    const HostApi* real = rt::GetHostApi();
    const auto* files = reinterpret_cast<const PluginFunction*>(real->words[HOSTAPI_WORD_FILE]);
    const auto* images = reinterpret_cast<const PluginFunction*>(real->words[HOSTAPI_WORD_IMAGE]);
    std::vector<PluginFunction> fileTable(files, files + HOST_FILE_TABLE_SIZE);
    std::vector<PluginFunction> imageTable(images, images + HOST_IMAGE_TABLE_SIZE);
    imageTable[HOST_IMAGE_LOAD] = reinterpret_cast<PluginFunction>(
        +[](const char* name, const TagItem* tags, std::int32_t* w, std::int32_t* h, std::int32_t reserved) {
            return ++loads, TesselHostLoadImage(name, tags, w, h, reserved);
        });
    HostApi api = *real;
    api.words[HOSTAPI_WORD_FILE] = reinterpret_cast<std::uintptr_t>(fileTable.data());
    api.words[HOSTAPI_WORD_IMAGE] = reinterpret_cast<std::uintptr_t>(imageTable.data());
    const Bytes png = Png(kPicture, 3, 2);
    IconHandle icon{};
    IconImage* tail = nullptr;
    SetHostApi(&api);
    for (NameFn name : {noName, emptyName, NameFn(nullptr)}) {   // the last: the host's own naming
        fileTable[HOST_FILE_MEM_FILE_NAME] = name ? PluginFunction(name) : files[HOST_FILE_MEM_FILE_NAME];
        loads = 0;
        EXPECT_EQ(DecodeEmbeddedPng(png.data(), std::uint32_t(png.size()), "png", 0, &icon, &tail), name ? 0 : 1);
        EXPECT_EQ(loads, name ? 0 : 1);
    }
    // An encoder whose output is no whole PNG: none of it is written (F43).
    fileTable[HOST_FILE_GET_MEM_STREAM_DATA] = reinterpret_cast<PluginFunction>(
        +[](HostStream*, std::uint64_t* length, std::int32_t) -> const void* { return *length = 5, "short"; });
    TempDir dir;
    HostFile* file = HostOpen(dir.File("short.png").c_str(), HOST_MODE_WRITE);
    EXPECT_EQ(WritePngImage(file, icon.images), 0);
    HostClose(file);
    SetHostApi(real);
    FreeIconImage(icon.images);
    rt::ClearCallMemFiles();
    EXPECT_EQ(rt::LiveBlocks(), 0);
}

}  // namespace
