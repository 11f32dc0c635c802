// macOS icon families: sound, damaged and odd families as one table, the run-length packets both ways by hand, a
// small family the writer makes byte for byte.
#include "formats/macos/macos_icon.h"
#include "tests/formats/windows/load_rows.h"

#include <numeric>

namespace {

using namespace tessel::test;

// Entry: type, length with the 8 header bytes, data; family: "icns", length.
Bytes E(const char* type, const Bytes& data)
{
    return Cat({Bytes(type, type + 4), Be32(std::uint32_t(data.size() + 8)), data});
}

Bytes Icns(std::initializer_list<Bytes> entries)
{
    Bytes body = Cat(entries);
    return Cat({{'i', 'c', 'n', 's'}, Be32(std::uint32_t(body.size() + 8)), body});
}

// One run-length channel of n equal values: repeats of 130 (0xFF), the rest as one repeat (0x80 + n - 3) or, below 3,
// a literal (n - 1).
Bytes Fill(std::size_t n, std::uint8_t v)
{
    Bytes out;
    for (; n >= 3; n -= std::min<std::size_t>(n, 130))
        out.insert(out.end(), {std::uint8_t(0x7D + std::min<std::size_t>(n, 130)), v});
    if (n)
        out.push_back(std::uint8_t(n - 1));
    out.insert(out.end(), n, v);
    return out;
}

Bytes Rgb(std::size_t n, std::uint32_t rgb)   // red, green, blue channels
{
    return Cat({Fill(n, std::uint8_t(rgb >> 16)), Fill(n, std::uint8_t(rgb >> 8)), Fill(n, std::uint8_t(rgb))});
}

constexpr std::uint32_t C = 0xFF102030, W = 0xFFFFFFFF, K = 0xFF000000;
const Bytes kIs32 = E("is32", Rgb(256, 0x102030));
const Bytes kHalfAlpha = E("s8mk", Cat({Bytes(128, 0), Bytes(128, 0xFF)}));
const Bytes kIcs8 = E("ics8", Bytes(256, 0));                       // white, the system palette's 0
const Bytes kFirstMasked = E("ics#", With(Bytes(32, 0xFF), {0x7F}));  // mask plane only, 0 = transparent

TEST(IcnsReader, FamiliesLoadWhatIsSoundOrFail)
{
    CheckLoadRows({
        {"is32 of one colour, s8mk: alpha", Icns({kIs32, kHalfAlpha}), "16x16x32", Many({{128, 0}, {128, C}})},
        {"mask before its image", Icns({kHalfAlpha, kIs32}), "16x16x32", Many({{128, 0}, {128, C}})},
        {"four zero bytes open the data", Icns({E("is32", Cat({{0, 0, 0, 0}, Rgb(256, 0x102030)}))}), "16x16x32",
         Many({{256, C}})},
        {"4 x 256 bytes: A R G B uncompressed", Icns({E("is32", With(Bytes(1024, 0xFF), {0xFF, 1, 2, 3}))}),
         "16x16x32", Many({{1, 0xFF010203}, {255, W}})},
        {"is32 without data: opaque black", Icns({E("is32", {})}), "16x16x32", Many({{256, 0xFF000000}})},
        {"icp5 PNG before il32: the PNG stands, l8mk has no image",
         Icns({E("icp5", Png(Words(1024, 0x80FF0000), 32, 32)), E("il32", Rgb(1024, 0)), E("l8mk", Bytes(1024, 0))}),
         "32x32x32", Many({{1024, 0xFFFF0000}})},
        {"ic08 holding a 16 x 16 picture: the is32 after it adds nothing",
         Icns({E("ic08", Png(Words(256, W), 16, 16)), kIs32}), "16x16x32", Many({{256, W}})},
        {"ic11 before il32, ic05 before ic12: one image a size, classic first, double density last",
         Icns({E("ic11", Png(Words(1024, W), 32, 32)), E("ic12", Png(Words(4096, K), 64, 64)),
               E("il32", Rgb(1024, 0x102030)), E("ic05", Png(Words(4096, W), 64, 64))}),
         "32x32x32 64x64x32", Many({{1024, C}, {4096, K}})},
        {"ARGB channels in ic04", Icns({E("ic04", Cat({{'A', 'R', 'G', 'B'}, Fill(128, 0), Fill(128, 0xFF), Rgb(256, 0x102030)}))}),
         "16x16x32", Many({{128, 0}, {128, C}})},
        {"ICON: 1 bit, no mask", Icns({E("ICON", With(Bytes(128, 0), {0x40}))}), "32x32x1", Many({{1, W}, {1, K}, {1022, W}})},
        {"icm8, icm4 and icm#: 16 x 12", Icns({E("icm8", Bytes(192, 255)), E("icm4", With(Bytes(96, 0), {0x0F})),
         E("icm#", Cat({Bytes(24, 0), With(Bytes(24, 0xFF), {0x7F})}))}), "16x12x8p0 16x12x4p1",
         Many({{1, 0}, {191, K}, {1, 0}, {1, K}, {190, W}})},
        {"a selected family, its own mask", Icns({kIs32, E("slct", Cat({E("is32", Rgb(256, 0x405060)), kHalfAlpha}))}),
         "16x16x32 16x16x32s", Many({{256, C}, {128, 0}, {128, 0xFF405060}})},
        {"a selected family past the end", Icns({kIs32, Cat({{'s', 'l', 'c', 't', 0, 0, 4, 0}, kIs32})}), "16x16x32 16x16x32s"},
        {"ics8 and ics# image + mask planes: system palette, free index 1 the pen",
         Icns({E("ics8", With(Bytes(256, 0), {35, 215, 255})),
               E("ics#", Cat({Bytes(32, 0), With(Bytes(32, 0xFF), {0xDF})}))}),
         "16x16x8p1", Many({{1, 0xFFFF0000}, {1, 0xFFEE0000}, {1, 0}, {253, W}})},
        {"ics4: the 16 system colours",
         Icns({E("ics4", With(Bytes(128, 0), {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}))}),
         "16x16x4", Many({{1, W}, {1, 0xFFFCF305}, {1, 0xFFFF6402}, {1, 0xFFDD0806}, {1, 0xFFF20884}, {1, 0xFF4600A5},
                          {1, 0xFF0000D4}, {1, 0xFF02ABEA}, {1, 0xFF1FB714}, {1, 0xFF006411}, {1, 0xFF562C05},
                          {1, 0xFF90713A}, {1, 0xFFC0C0C0}, {1, 0xFF808080}, {1, 0xFF404040}, {1, K}, {240, W}})},
        {"ics4 and ics#: the mask reaches the 4-bit image, free index 3 the pen",
         Icns({E("ics4", With(Bytes(128, 0), {0x1F, 0x2A})), kFirstMasked}), "16x16x4p3",
         Many({{1, 0}, {1, 0xFF000000}, {1, 0xFFFF6402}, {1, 0xFF562C05}, {252, W}})},
        {"one ics# masks ics8 and ics4", Icns({kIcs8, E("ics4", Bytes(128, 0)), kFirstMasked}), "16x16x8p1 16x16x4p1"},
        {"a second ics# adds", Icns({kIcs8, kFirstMasked, E("ics#", With(Bytes(32, 0xFF), {0xBF}))}), "16x16x8p1",
         Many({{2, 0}, {254, W}})},
        {"mask plane of a wrong size: skipped", Icns({kIcs8, E("ics#", Bytes(31, 0))}), "16x16x8", Many({{256, W}})},
        {"ics# alone makes no image", Icns({kFirstMasked}), ""},
        {"ics8 of the wrong size", Icns({E("ics8", Bytes(255, 0))}), ""},
        {"a length below 8 ends the entries", Icns({kIs32, {'i', 'l', '3', '2', 0, 0, 0, 4}, kIs32}), "16x16x32"},
        {"ic08 of length 0xFFFFFFF0", Icns({{'i', 'c', '0', '8', 0xFF, 0xFF, 0xFF, 0xF0}, Png(Words(6, C), 3, 2)}), ""},
        {"an unknown type is skipped", Icns({E("abcd", {1, 2, 3}), kIs32}), "16x16x32"},
        {"an unknown type past the end ends the entries", Icns({kIs32, {'a', 'b', 'c', 'd', 0, 0, 4, 0}}), "16x16x32"},
        {"two stray bytes after the last entry", Icns({kIs32, {0, 0}}), ""},
        {"image data past the end", Icns({{'i', 's', '3', '2', 0, 0, 4, 0, 1, 2}}), ""},
        {"image data past the end after an image", Icns({kIs32, {'i', 'l', '3', '2', 0, 0, 4, 0, 1, 2}}), "16x16x32"},
        {"alpha plane past the end, its image there", Icns({kIs32, {'s', '8', 'm', 'k', 0, 0, 1, 8, 1}}), "16x16x32",
         Many({{256, C}})},
        {"alpha plane past the end, no image for it", Icns({kIcs8, {'s', '8', 'm', 'k', 0, 0, 1, 8, 1}}), "16x16x8"},
        {"an ic07 that does not decode, an empty ic08: stepped over",
         Icns({kIs32, E("ic07", {1, 2, 3, 4}), E("ic08", {}), E("il32", {})}), "16x16x32 32x32x32"},
    });
}

// Packets: n - 1 then n values, or n + 0x7D then one value n (3 to 130) times. Channels follow one another; values
// the data does not reach keep what they were, alpha becomes 0xFF.
TEST(IcnsRle, PacketsByHand)
{
    const std::pair<Bytes, Words> decodes[] = {   // into a 5 x 1 image that held 0x00AABBCC
        {{0x01, 1, 2, 0x80, 3, 0x81, 4, 0x00, 0x44, 0x04, 5, 6, 7, 8, 9},
         {0xFF010405, 0xFF020406, 0xFF030407, 0xFF030408, 0xFF034409}},
        {{0x84, 1, 0x80}, Words(5, 0xFF01BBCC)},
        {{0x05, 1, 2, 3, 4, 5, 6}, {0xFF01BBCC, 0xFF02BBCC, 0xFF03BBCC, 0xFF04BBCC, 0xFF05BBCC}},   // a literal too long
    };
    for (const auto& [data, expected] : decodes) {
        Words pixels(6, 0x00AABBCC);   // the sixth word lies past the image
        IconImage image{};
        image.width = 5, image.height = 1, image.depth = 32;
        image.pixels = reinterpret_cast<std::uint8_t*>(pixels.data());
        DecodeIcnsRle(data.data(), data.size(), &image, ICNS_RGB_CHANNELS);
        EXPECT_EQ(Words(pixels.begin(), pixels.begin() + 5), expected);
        EXPECT_EQ(pixels[5], 0x00AABBCCu);
    }
    Bytes distinct(129);
    std::iota(distinct.begin(), distinct.end(), 0);
    const std::pair<Bytes, Bytes> encodes[] = {
        {Cat({{0x10}, Bytes(255, 0x40)}), {0x00, 0x10, 0xFF, 0x40, 0xFA, 0x40}},
        {distinct, Cat({{0x7F}, Bytes(distinct.begin(), distinct.end() - 1), {0x00, 128}})},
        {{1, 1}, {0x01, 1, 1}}, {{5, 5, 5}, {0x80, 5}}, {{1, 2, 3, 3, 3}, {0x01, 1, 2, 0x80, 3}},
        {Bytes(131, 7), {0xFF, 7, 0x00, 7}},
    };
    for (const auto& [values, packets] : encodes) {
        Bytes spread(values.size() * 4), out(values.size() * 2 + 4);
        for (std::size_t i = 0; i < values.size(); ++i)
            spread[4 * i] = values[i];
        std::uint64_t end = 0;
        EncodeIcnsRle(spread.data(), values.size(), out.data(), &end);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + std::ptrdiff_t(end)), packets);
    }
}

// Written from the layout in the type table's order: "ics#" (the mask plane twice, 1 = opaque), "ics8" (the system
// palette's index of each colour or its nearest, alpha bits ignored), "is32" (R, G, B packets), "s8mk" (alpha).
TEST(IcnsWriter, SmallFamilyByteForByte)
{
    HostImageList list;
    list.AddArgb(16, 16, Many({{1, 0xFF105060}, {255, 0x80405060}}));
    list.AddPalette(16, 16, 8, With(Bytes(256, 1), {0, 1, 2}), {0x000009, 0xFF0000, 0x12FFFFFF}, /*pen*/ 2);
    const Bytes mask = With(Bytes(32, 0xFF), {0xDF});
    const Bytes expected = Icns({
        E("ics#", Cat({mask, mask})),
        E("ics8", With(Bytes(256, 35), {244, 35, 0})),     // 0x000011 nearest 0x000009; 0xFF0000; white
        E("is32", {0x00, 0x10, 0xFF, 0x40, 0xFA, 0x40, 0xFF, 0x50, 0xFB, 0x50, 0xFF, 0x60, 0xFB, 0x60}),
        E("s8mk", With(Bytes(256, 0x80), {0xFF})),
    });
    TempDir dir;
    ASSERT_EQ(SaveWith(dir.File("a.icns"), list.First(), FORMAT_MACOS, nullptr), 1);
    EXPECT_EQ(ReadFileBytes(dir.File("a.icns")), expected);
}

}  // namespace
