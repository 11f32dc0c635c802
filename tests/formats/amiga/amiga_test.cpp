// The Amiga icon family through LoadIcon and SaveIcon: one table of DiskObject
// icons (header, planes, texts, NewIcons lines, a trailing "FORM" "ICON") and
// one of PNG icons ("icOn" chunks), each row a sound file with one part changed;
// the bytes the writers lay down, written out here from the layouts; the codecs'
// hand-checked streams; and which image lists each save format takes.
#include "formats/amiga/amiga_icon.h"
#include "formats/amiga/png_icon.h"
#include "host/host_calls.h"
#include "plugin/entry_points.h"
#include "runtime/host_services.h"
#include "tests/support/byte_builders.h"
#include "tests/support/host_images.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace tessel::test;
using namespace std::string_literals;
namespace rt = tessel::runtime;

struct Loaded {   // a load through LoadIcon; freed at the end, leaving no block
    explicit Loaded(const Bytes& bytes) : before(rt::LiveBlocks()), icon(LoadBytes(bytes, &attributes))
    {
        images = icon ? ImagesOf(SharedModule().GetIconImages(icon)) : images;
    }
    ~Loaded()
    {
        SharedModule().FreeIcon(icon);
        EXPECT_EQ(rt::LiveBlocks(), before) << "blocks left behind";
    }
    // "null", or per image "WxH/depth", then "p" and the pen when there is one,
    // "P" for IMAGEFLAG_PRIMARY, "S" for IMAGEFLAG_SELECTED.
    std::string Summary() const
    {
        std::string out = icon ? "" : "null";
        for (const IconImage* i : images) {
            out += (out.empty() ? "" : " ") + std::to_string(i->width) + "x" + std::to_string(i->height) + "/" +
                   std::to_string(i->depth) + (i->transparentPen >= 0 ? "p" + std::to_string(i->transparentPen) : "") +
                   (i->flags & IMAGEFLAG_PRIMARY ? "P" : "") + (i->flags & IMAGEFLAG_SELECTED ? "S" : "");
        }
        return out;
    }
    std::vector<std::string> ToolTypes() const
    {
        std::vector<std::string> lines;
        for (char** line = attributes.toolTypes; line && *line; ++line)
            lines.emplace_back(*line);
        return lines;
    }
    std::vector<std::uint32_t> Words(std::size_t i) const   // a true-colour image's 0xAARRGGBB words
    {
        std::vector<std::uint32_t> words(std::size_t(images.at(i)->width) * images.at(i)->height);
        std::memcpy(words.data(), images.at(i)->pixels, 4 * words.size());
        return words;
    }
    Bytes Pixels(std::size_t i) const   // a palette image's indices
    {
        return Bytes(images.at(i)->pixels, images.at(i)->pixels + std::size_t(images.at(i)->width) * images.at(i)->height);
    }

    std::int64_t before;
    IconAttributes attributes{};
    IconHandle* icon;
    std::vector<const IconImage*> images;
};

IconAttributes Attributes(const std::function<void(IconAttributes&)>& set) { IconAttributes a{}; return set(a), a; }
Bytes Text(const std::string& text) { return Cat({Be32(std::uint32_t(text.size())), Bytes(text.begin(), text.end())}); }

Bytes Image(std::uint16_t left, std::uint16_t top, std::uint16_t width, std::uint16_t height, std::uint16_t depth,
            const Bytes& planes)   // image header (left, top, width, height, depth, 10 skipped bytes), planes
{
    return Cat({Be16(left), Be16(top), Be16(width), Be16(height), Be16(depth), {0, 0x21, 0x99, 0x10, 3, 0, 0, 0, 0, 0},
                planes});
}
constexpr auto Chunk = IffChunk;
const Bytes IMAGE = Image(0, 0, 2, 2, 1, {0x80, 0, 0x40, 0});   // pixels (0,0) and (1,1) set

struct Disk {   // a sound icon; a part left empty is not flagged in the header
    std::uint16_t gadgetWidth = 2, gadgetHeight = 2;
    std::uint32_t userData = 1;
    std::vector<Bytes> images = {IMAGE};
    Bytes drawer, tool, toolTypes, drawer2, tail;
    Bytes Build() const
    {
        Bytes out = Cat({{0xE3, 0x10, 0x00, 0x01}, Be32(0), Be32(0),      // magic, version, next gadget, left, top
                         Be16(gadgetWidth), Be16(gadgetHeight),           // 12 gadget width, height
                         {0, 5, 0, 3, 0, 1}, Be32(0x00212345),            // 16 flags, activation, type; 22 image
                         Be32(images.size() > 1 ? 0x00212399 : 0),        // 26 second-image flag
                         Bytes(14, 0), Be32(userData), {3, 0},           // 30..43, 44 user data, 48 type, pad
                         Be32(!tool.empty()), Be32(!toolTypes.empty()),   // 50 default tool, 54 tooltypes
                         Be32(0xFFFFFFEC), Be32(36),                      // 58 x -20, 62 y 36
                         Be32(!drawer.empty()), Be32(0), Be32(8192)});    // 66 drawer, 70 tool window, 74 stack
        return Cat({out, drawer, Cat(images), tool, toolTypes, drawer2, tail});
    }
};

Bytes Lines(std::initializer_list<std::string> texts)   // count word 4 x (n + 1), records with a NUL each
{
    Bytes out = Be32(std::uint32_t(4 * (texts.size() + 1)));
    for (const std::string& text : texts)
        out = Cat({out, Text(text + '\0')});
    return out;
}
Bytes Form(const std::vector<Bytes>& chunks)
{
    return Cat({{'F', 'O', 'R', 'M'}, Be32(std::uint32_t(4 + Cat(chunks).size())), {'I', 'C', 'O', 'N'}, Cat(chunks)});
}
Bytes Face(std::uint8_t width, std::uint8_t height) { return Chunk("FACE", {std::uint8_t(width - 1), std::uint8_t(height - 1), 0, 0, 0, 11}); }
Bytes Imag(std::uint8_t flags, std::uint8_t packed, std::uint8_t depth, const Bytes& image, const Bytes& palette,
           std::uint8_t colours = 4, std::uint16_t imageCount = 0)   // pen 1; counts from the data unless given
{
    return Chunk("IMAG", Cat({{1, std::uint8_t(colours - 1), flags, packed, packed, depth},
                              Be16(imageCount ? imageCount - 1 : std::uint32_t(image.size() - 1)),
                              Be16(palette.empty() ? 0 : std::uint32_t(palette.size() - 1)), image, palette}));
}
Bytes Argb(const Bytes& argb, std::uint32_t countField = 0)   // header word, count - 1, reserved, zlib stream
{
    Bytes stream = Deflate(argb);
    return Chunk("ARGB", Cat({Be32(1), Be32(countField ? countField : std::uint32_t(stream.size() - 1)), {0, 0}, stream}));
}
const Bytes RGB4 = {0, 0, 0, 0x10, 0x20, 0x30, 0x12, 0x34, 0x56, 0xFF, 0xFF, 0xFF};
const Bytes ARGB4 = {0xFF, 0x11, 0x22, 0x33, 0x80, 0xAA, 0xBB, 0xCC, 0, 0, 0, 0, 0xFF, 0, 0, 1};
const std::vector<std::uint32_t> WORDS4 = {0xFF112233, 0x80AABBCC, 0, 0xFF000001};

// NewIcons, worked out by hand: "C" no pen, width '#' - 33 = 2, height '"' - 33
// = 1, colours ('!' - 33) x 64 + '#' - 33 = 2. Palette FF0000 0000FF, 48 bits
// in groups of 7: 1111111 (0xD0), 1000000 (0x60), three 0 groups (0xD3),
// 0000011 (0x23), 1111110 with one fill bit (0xCF). Pixels 1, 0 at one bit:
// 1000000 (0x60). The IM2 image has pen 0 ("B") and pixels 0, 1 (0x40).
const std::string IM1 = "IM1=C#\"!#\xD0\x60\xD3\x23\xCF", IM1_PIXELS = "IM1=\x60";
const std::string IM2 = "IM2=B#\"!#\xD0\x60\xD3\x23\xCF", IM2_PIXELS = "IM2=\x40";
using Texts = std::vector<std::string>;
const std::string MARKER = "*** DON'T EDIT THE FOLLOWING LINES!! ***";

void Palette(const Loaded& icon, std::size_t image, std::initializer_list<std::pair<int, std::uint32_t>> entries)
{
    for (auto [index, colour] : entries)
        EXPECT_EQ(icon.images.at(image)->palette[index], colour) << "image " << image << " entry " << index;
}

struct Row {   // how the icon differs from the sound one; Loaded::Summary; what else must hold
    const char* what;
    std::function<void(Disk&)> change;
    std::string images;
    std::function<void(const Loaded&)> check = {};
};

const Row kDiskObjects[] = {
    {"sound icon", [](Disk&) {}, "2x2/1p0P", [](const Loaded& l) {
         EXPECT_EQ(l.Pixels(0), (Bytes{1, 0, 0, 1}));
         Palette(l, 0, {{0, 0xC0C0C0}, {1, 0x000000}, {2, 0xF0F0F0}});
         const IconAttributes& a = l.attributes;
         EXPECT_EQ((Texts{std::to_string(a.type), std::to_string(a.posX), std::to_string(a.posY), std::to_string(a.stackSize)}),
                   (Texts{"3", "-20", "36", "8192"}));
         EXPECT_TRUE(!a.defaultTool && l.ToolTypes().empty()); }},
    {"selected image", [](Disk& d) { d.images.push_back(Image(0, 0, 2, 2, 1, {0x40, 0, 0xC0, 0})); }, "2x2/1p0P 2x2/1p0S",
     [](const Loaded& l) { EXPECT_EQ(l.Pixels(1), (Bytes{0, 1, 1, 1})); }},
    {"two planes, gadget larger than the image", [](Disk& d) { d.gadgetWidth = 4; d.gadgetHeight = 3;
         d.images = {Image(0, 0, 3, 2, 2, {0xA0, 0, 0x40, 0, 0x60, 0, 0x80, 0})}; }, "4x3/2p0P",
     [](const Loaded& l) { EXPECT_EQ(l.Pixels(0), (Bytes{1, 2, 3, 0, 2, 1, 0, 0, 0, 0, 0, 0})); }},
    {"left edge 1 cuts a 3-wide image to 1 column", [](Disk& d) {
         d.images = {Image(1, 0, 3, 2, 2, {0xA0, 0, 0x40, 0, 0x60, 0, 0x80, 0})}; }, "2x2/2p0P",
     [](const Loaded& l) { EXPECT_EQ(l.Pixels(0), (Bytes{1, 0, 2, 0})); }},
    {"top edge 1 cuts to 1 row", [](Disk& d) { d.images = {Image(0, 1, 2, 2, 1, {0xC0, 0, 0xC0, 0})}; }, "2x2/1p0P",
     [](const Loaded& l) { EXPECT_EQ(l.Pixels(0), (Bytes{1, 1, 0, 0})); }},
    {"17 wide: rows of two words", [](Disk& d) { d.gadgetWidth = 17; d.gadgetHeight = 1;
         d.images = {Image(0, 0, 17, 1, 1, {0, 0, 0x80, 0})}; }, "17x1/1p0P",
     [](const Loaded& l) { EXPECT_EQ(l.Pixels(0), Cat({Bytes(16, 0), {1}})); }},
    {"depth 0: all pixels 0", [](Disk& d) { d.images = {Image(0, 0, 2, 2, 0, {})}; }, "2x2/0p0P",
     [](const Loaded& l) { EXPECT_EQ(l.Pixels(0), Bytes(4, 0)); }},
    {"depth 2, old style", [](Disk& d) { d.userData = 0; d.images = {Image(0, 0, 2, 2, 2, Bytes(8, 0))}; }, "2x2/2p0P",
     [](const Loaded& l) { Palette(l, 0, {{0, 0x0055AA}, {1, 0xFFFFFF}, {2, 0x000000}, {3, 0xFF8800}, {4, 0x0000F0}}); }},
    {"depth 3, new style", [](Disk& d) { d.images = {Image(0, 0, 2, 2, 3, Bytes(12, 0))}; }, "2x2/3p0P",
     [](const Loaded& l) { Palette(l, 0, {{0, 0x959595}, {1, 0}, {2, 0xFFFFFF}, {3, 0x3B67A2}, {4, 0x7B7B7B},
                                          {5, 0xAFAFAF}, {6, 0xAA907C}, {7, 0xFFA997}, {8, 0x602000}}); }},
    {"depth 8: the default palette whole", [](Disk& d) { d.images = {Image(0, 0, 2, 2, 8, Bytes(32, 0))}; }, "2x2/8p0P",
     [](const Loaded& l) {
         const std::uint32_t first[] = {0xC0C0C0, 0x000000, 0xF0F0F0, 0x20C0D0, 0x0000F0, 0xF000F0, 0x00F0F0, 0xF0F0F0, 0x602000,
             0xE05000, 0x90F010, 0xE0B000, 0x5050F0, 0x9020F0, 0x00F080, 0xC0C0C0, 0x000000, 0xE04040, 0x000000, 0xE0E0C0,
             0x404040, 0x505050, 0x606060, 0x707070, 0x808080, 0x909090, 0xA0A0A0, 0xB0B0B0, 0xC0C0C0, 0xD0D0D0, 0xE0E0E0,
             0xF0F0F0,                                              // then groups of 7: base x 1, 1/2, 3/2, 3/4, 1/4, 5/4, 7/4
             0xF0F0F0, 0x808080, 0xF0F0F0, 0xC0C0C0, 0x404040, 0xF0F0F0, 0xF0F0F0,      // group 0: 15 15 15
             0x80F0F0, 0x408080, 0xC0F0F0, 0x60C0C0, 0x204040, 0xA0F0F0, 0xE0F0F0};     // group 1: 8 15 15
         EXPECT_TRUE(std::equal(std::begin(first), std::end(first), l.images[0]->palette));
         Palette(l, 0, {{151, 0x80F080}, {152, 0x408040}, {249, 0x404080}, {250, 0x202040}, {251, 0x6060C0}, {252, 0xE04040},
                        {253, 0x50D050}, {254, 0x0040D0}, {255, 0xE09000}}); }},   // groups 17 (8 15 8), 31 (4 4 8)
    {"nine planes (F15)", [](Disk& d) { d.images = {Image(0, 0, 2, 2, 9, Bytes(36, 0))}; }, "null"},
    {"8 x 65535 x 65535 planes in a small file (F15)", [](Disk& d) { d.images = {Image(0, 0, 0xFFFF, 0xFFFF, 8, {})}; }, "null"},
    {"planes cut short", [](Disk& d) { d.images = {Image(0, 0, 2, 2, 1, {0x80, 0, 0x40})}; }, "null"},
    {"default tool", [](Disk& d) { d.tool = Text("SYS:Tool\0"s); }, "2x2/1p0P",
     [](const Loaded& l) { EXPECT_STREQ(l.attributes.defaultTool, "SYS:Tool"); }},
    {"default tool without NUL (F16)", [](Disk& d) { d.tool = Text("abc"); d.tail = {'x', 'y'}; }, "2x2/1p0P",
     [](const Loaded& l) { EXPECT_STREQ(l.attributes.defaultTool, "abc"); }},
    {"default tool of length 0 (F16)", [](Disk& d) { d.tool = Be32(0); }, "2x2/1p0P",
     [](const Loaded& l) { EXPECT_EQ(l.attributes.defaultTool, nullptr); }},
    {"default tool length 0xFFFFFFF0 (F16)", [](Disk& d) { d.tool = Cat({Be32(0xFFFFFFF0), {'a', 0}}); }, "null"},
    {"default tool one byte short", [](Disk& d) { d.tool = Cat({Be32(4), {'a', 'b', 0}}); }, "null"},
    {"tooltypes with and without NUL (F17)", [](Disk& d) { d.toolTypes = Cat({Be32(12), Text("AB"), Text("CD\0"s)}); },
     "2x2/1p0P", [](const Loaded& l) { EXPECT_EQ(l.ToolTypes(), (Texts{"AB", "CD"})); }},
    {"empty tooltypes keep the rest (F18)", [](Disk& d) { d.toolTypes = Cat({Be32(20), Text("A\0"s), Text("\0"s), Text("B=1"), Be32(0)}); },
     "2x2/1p0P", [](const Loaded& l) { EXPECT_EQ(l.ToolTypes(), (Texts{"A", "B=1"})); }},
    {"count word 0 at the very end (F17)", [](Disk& d) { d.toolTypes = Be32(0); }, "2x2/1p0P",
     [](const Loaded& l) { EXPECT_TRUE(l.ToolTypes().empty()); }},
    {"count word 4: no entries", [](Disk& d) { d.toolTypes = Be32(4); d.tail = Text("x"); }, "2x2/1p0P",
     [](const Loaded& l) { EXPECT_TRUE(l.ToolTypes().empty()); }},
    {"count 0x7FFFFFFC in a short file (F17)", [](Disk& d) { d.toolTypes = Cat({Be32(0x7FFFFFFC), Text("A\0"s)}); }, "null"},
    {"tooltype length past the end", [](Disk& d) { d.toolTypes = Cat({Be32(8), Be32(9), {'A', 0}}); }, "null"},
    {"tooltype length field cut", [](Disk& d) { d.toolTypes = Cat({Be32(12), Text("A\0"s), {0, 0}}); }, "null"},
    {"NewIcons images", [](Disk& d) { d.toolTypes = Lines({"A", " ", MARKER, IM1, IM1_PIXELS, IM2, IM2_PIXELS}); },
     "2x2/1p0 2x1/1P 2x1/1p0S", [](const Loaded& l) {
         EXPECT_EQ(Cat({l.Pixels(1), l.Pixels(2)}), (Bytes{1, 0, 0, 1}));
         Palette(l, 1, {{0, 0xFF0000}, {1, 0x0000FF}, {2, 0}});
         Palette(l, 2, {{0, 0xFF0000}, {1, 0x0000FF}});
         EXPECT_EQ(l.ToolTypes(), Texts{"A"}); }},
    {"marker without the space line", [](Disk& d) { d.toolTypes = Lines({"A", MARKER, IM1, IM1_PIXELS}); }, "2x2/1p0 2x1/1P",
     [](const Loaded& l) { EXPECT_EQ(l.ToolTypes(), (Texts{"A"})); }},
    {"marker first, no line before it", [](Disk& d) { d.toolTypes = Lines({MARKER, IM1, IM1_PIXELS}); }, "2x2/1p0 2x1/1P"},
    {"NewIcons lines without the marker", [](Disk& d) { d.toolTypes = Lines({" ", IM1, IM1_PIXELS}); }, "2x2/1p0P"},
    {"header line of 5 characters (F21)", [](Disk& d) { d.toolTypes = Lines({" ", MARKER, "IM1=B"}); }, "2x2/1p0P"},
    {"header line of 8 characters (F21)", [](Disk& d) { d.toolTypes = Lines({" ", MARKER, "IM1=C#\"\""}); }, "2x2/1p0P"},
    {"width character 0x20 (F22)", [](Disk& d) { d.toolTypes = Lines({" ", MARKER, "IM1=C \"!#\xD0", IM1_PIXELS}); }, "2x2/1p0P"},
    {"width character 0xE0 is 191 wide", [](Disk& d) { d.toolTypes = Lines({" ", MARKER, "IM1=C\xE0\"!\"\xD4"}); },
     "2x2/1p0 191x1/1P"},
    {"colour characters below '!' (F22)", [](Disk& d) { d.toolTypes = Lines({" ", MARKER, "IM1=C#\" !\xD0"}); }, "2x2/1p0P"},
    {"a 1 x 1 image", [](Disk& d) { d.toolTypes = Lines({" ", MARKER, "IM1=C\"\"!#\xD0\x60\xD3\x23\xCF", "IM1=\x60"}); },
     "2x2/1p0 1x1/1P", [](const Loaded& l) { EXPECT_EQ(l.Pixels(1), Bytes{1}); }},
    {"colours 0: depth 1, palette 0", [](Disk& d) { d.toolTypes = Lines({" ", MARKER, "IM1=B#\"!!", "IM1=\x60"}); },
     "2x2/1p0 2x1/1p0P", [](const Loaded& l) { EXPECT_EQ(l.Pixels(1), (Bytes{1, 0})); Palette(l, 1, {{0, 0}, {1, 0}}); }},
    {"IM2 of another width", [](Disk& d) { d.toolTypes = Lines({" ", MARKER, IM1, IM1_PIXELS, "IM2=B$\"!#\xD0", "IM2=\x40"}); },
     "2x2/1p0 2x1/1P"},
    {"no IM1 image, no IM2 image (F22)", [](Disk& d) { d.toolTypes = Lines({" ", MARKER, "IM1=C \"!#", IM2, IM2_PIXELS}); },
     "2x2/1p0P"},
    {"pixel line missing: pixels stay 0", [](Disk& d) { d.toolTypes = Lines({" ", MARKER, IM1, "IM2=\x60"}); },
     "2x2/1p0 2x1/1P", [](const Loaded& l) { EXPECT_EQ(l.Pixels(1), (Bytes{0, 0})); }},
    {"an empty data line ends the pixels", [](Disk& d) { d.toolTypes = Lines({" ", MARKER, IM1, "IM1=", IM1_PIXELS}); },
     "2x2/1p0 2x1/1P", [](const Loaded& l) { EXPECT_EQ(l.Pixels(1), (Bytes{0, 0})); }},
    {"palette split over lines, bits at a line end dropped", [](Disk& d) {
         d.toolTypes = Lines({" ", MARKER, "IM1=C#\"!#\xD0\x60", "IM1=\xD4\x27\xCD", IM1_PIXELS}); }, "2x2/1p0 2x1/1P",
     [](const Loaded& l) { Palette(l, 1, {{0, 0xFF0000}, {1, 0x0000FF}}); }},
    {"drawer window and second drawer data", [](Disk& d) {
         d.drawer = Cat({Be16(0xFFFF), Be16(2), Be16(300), Be16(200), Bytes(48, 0xEE)});
         d.drawer2 = Cat({Be32(0xFFFFFFFD), Be16(0)}); }, "2x2/1p0P", [](const Loaded& l) {
         const IconAttributes& a = l.attributes;
         EXPECT_EQ((std::vector<int>{a.drawerLeft, a.drawerTop, a.drawerWidth, a.drawerHeight, a.showAll, a.viewMode}),
                   (std::vector<int>{65535, 2, 300, 200, 0, 1})); }},
    {"show all, view mode 3", [](Disk& d) { d.drawer = Bytes(56, 0); d.drawer2 = Cat({Be32(2), Be16(3)}); }, "2x2/1p0P",
     [](const Loaded& l) { EXPECT_EQ(l.attributes.showAll, 1); EXPECT_EQ(l.attributes.viewMode, 3); }},
    {"old style: no second drawer data", [](Disk& d) { d.userData = 0; d.drawer = Bytes(56, 0); d.drawer2 = Cat({Be32(2), Be16(3)}); },
     "2x2/1p0P", [](const Loaded& l) { EXPECT_EQ(l.attributes.showAll, 0); EXPECT_EQ(l.attributes.viewMode, 0); }},
    {"stray bytes that are no FORM", [](Disk& d) { d.tail = {'F', 'O', 'R', 'X', 0, 0}; }, "2x2/1p0P"},
    {"FORM: IMAG before FACE", [](Disk& d) { d.tail = Form({Imag(3, 0, 2, {0, 1, 2, 3}, RGB4)}); }, "null"},
    {"FORM: raw IMAG with pen and palette", [](Disk& d) { d.tail = Form({Face(2, 2), Imag(3, 0, 2, {0, 1, 2, 3}, RGB4)}); },
     "2x2/1p0 2x2/2p1P", [](const Loaded& l) {
         EXPECT_EQ(l.Pixels(1), (Bytes{0, 1, 2, 3})); Palette(l, 1, {{1, 0x102030}, {2, 0x123456}, {3, 0xFFFFFF}, {4, 0}}); }},
    {"FORM: packed IMAG and palette", [](Disk& d) { d.tail = Form({Face(2, 2), Imag(2, 1, 2, {0xFE, 0xC0, 0x10}, {0xF5, 0x80})}); },
     "2x2/1p0 2x2/2P", [](const Loaded& l) {
         EXPECT_EQ(l.Pixels(1), (Bytes{3, 3, 3, 1})); Palette(l, 1, {{0, 0x808080}, {3, 0x808080}, {4, 0}}); }},
    {"FORM: palettes taken from the image before", [](Disk& d) {
         d.tail = Form({Face(2, 2), Imag(0, 0, 2, {0, 1, 2, 3}, {}), Imag(2, 0, 2, {3, 2, 1, 0}, RGB4), Imag(0, 0, 2, {1, 1, 1, 1}, {})}); },
     "2x2/1p0 2x2/2P 2x2/2S 2x2/2S", [](const Loaded& l) {
         Palette(l, 1, {{0, 0xC0C0C0}, {1, 0}, {2, 0xF0F0F0}}); Palette(l, 3, {{2, 0x123456}, {3, 0xFFFFFF}}); }},
    {"FORM: palette-less IMAG after an ARGB (F30)", [](Disk& d) {
         d.images = {Image(0, 0, 2, 2, 2, Bytes(8, 0))}; d.tail = Form({Face(2, 2), Argb(ARGB4), Imag(0, 0, 2, {1, 1, 1, 1}, {})}); },
     "2x2/2p0 2x2/32 2x2/2P", [](const Loaded& l) { Palette(l, 2, {{0, 0x959595}, {3, 0x3B67A2}}); }},
    {"FORM: raw IMAG of 10 bytes for 16 pixels (F30)", [](Disk& d) {
         d.tail = Form({Face(4, 4), Imag(2, 0, 4, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {0, 0, 0})}); }, "2x2/1p0 4x4/4P",
     [](const Loaded& l) { EXPECT_EQ(l.Pixels(1), Cat({{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, Bytes(6, 0)})); }},
    {"FORM: raw palette shorter than its colours (F30)", [](Disk& d) {
         d.tail = Form({Face(2, 1), Imag(2, 0, 2, {0, 1}, {1, 2, 3, 4, 5, 6, 7})}); }, "2x2/1p0 2x1/2P",
     [](const Loaded& l) { Palette(l, 1, {{0, 0x010203}, {1, 0x040506}, {2, 0}}); }},
    {"FORM: IMAG depth 9, then ARGB (F29)", [](Disk& d) { d.tail = Form({Face(2, 2), Imag(2, 0, 9, Bytes(4, 0), RGB4), Argb(ARGB4)}); },
     "2x2/1p0 2x2/32P"},
    {"FORM: IMAG depth 0 skipped", [](Disk& d) { d.tail = Form({Face(2, 2), Imag(2, 0, 0, Bytes(4, 0), RGB4)}); }, "2x2/1p0P"},
    {"FORM: IMAG counts beyond its length (F34)", [](Disk& d) {
         d.tail = Form({Face(2, 2), Imag(0, 0, 2, {0, 1, 2, 3}, {}, 4, 200), Argb(ARGB4)}); }, "2x2/1p0 2x2/32P"},
    {"FORM: IMAG length past the end", [](Disk& d) { d.tail = Form({Face(2, 2), Chunk("IMAG", Bytes(20, 0))}); d.tail.resize(d.tail.size() - 4); },
     "null"},
    {"FORM: ARGB bytes are A, R, G, B (F32)", [](Disk& d) { d.tail = Form({Face(2, 2), Argb(ARGB4)}); }, "2x2/1p0 2x2/32P",
     [](const Loaded& l) { EXPECT_EQ(l.Words(1), WORDS4); }},
    {"FORM: ARGB count 0xFFFFFFFF (F31)", [](Disk& d) { d.tail = Form({Face(2, 2), Argb(ARGB4, 0xFFFFFFFF)}); }, "2x2/1p0 2x2/32P",
     [](const Loaded& l) { EXPECT_EQ(l.Words(1), WORDS4); }},
    {"FORM: ARGB shorter than its header", [](Disk& d) { d.tail = Form({Face(2, 2), Chunk("ARGB", Bytes(9, 0))}); }, "2x2/1p0P"},
    {"FORM: ARGB stream damaged", [](Disk& d) { d.tail = Form({Face(2, 2), Chunk("ARGB", Cat({Be32(1), Be32(3), {0, 0, 1, 2, 3, 4}}))}); },
     "null"},
    {"FORM: unknown chunk of odd length, then ARGB", [](Disk& d) { d.tail = Form({Face(2, 2), Chunk("ANNO", {1, 2, 3}), Argb(ARGB4)}); },
     "2x2/1p0 2x2/32P"},
    {"FORM: unknown chunk length 0xFFFFFFF8 (F28)", [](Disk& d) { d.tail = Form({Face(2, 2), Cat({{'A', 'N', 'N', 'O'}, Be32(0xFFFFFFF8)})}); },
     "2x2/1p0P"},
    {"FORM: three stray bytes after the last chunk (F38)", [](Disk& d) { d.tail = Cat({Form({Face(2, 2)}), {0, 0, 0}}); }, "null"},
    {"FORM: four bytes of padding", [](Disk& d) { d.tail = Cat({Form({Face(2, 2), Argb(ARGB4)}), Bytes(4, 0)}); }, "2x2/1p0 2x2/32P"},
    {"FORM: two of each kind", [](Disk& d) {
         d.tail = Form({Face(2, 2), Imag(2, 0, 2, {0, 1, 2, 3}, RGB4), Imag(0, 0, 2, Bytes(4, 1), {}), Argb(ARGB4), Argb(ARGB4)}); },
     "2x2/1p0 2x2/2 2x2/2S 2x2/32P 2x2/32S"},
    {"FORM after NewIcons: the chunk image is primary", [](Disk& d) {
         d.toolTypes = Lines({" ", MARKER, IM1, IM1_PIXELS}); d.tail = Form({Face(2, 2), Argb(ARGB4)}); }, "2x2/1p0 2x1/1 2x2/32P"},
    {"gadget 0 x 2: planes read, no image (F19)", [](Disk& d) { d.gadgetWidth = 0; d.tail = Form({Face(2, 2), Argb(ARGB4)}); }, "2x2/32P"},
    {"gadget 2 x 0: planes read, no image (F19)", [](Disk& d) { d.gadgetHeight = 0; d.tail = Form({Face(2, 2), Argb(ARGB4)}); }, "2x2/32P"},
};

TEST(AmigaDiskObjectReader, IconsWithOnePartChanged)
{
    for (const Row& row : kDiskObjects) {
        SCOPED_TRACE(row.what);
        Disk disk;
        row.change(disk);
        Loaded loaded(disk.Build());
        EXPECT_EQ(loaded.Summary(), row.images);
        if (row.check && loaded.icon)
            row.check(loaded);
    }
}

Bytes Value(std::uint32_t tag, std::uint32_t value) { return Cat({Be32(tag), Be32(value)}); }
Bytes String(std::uint32_t tag, const std::string& text) { return Cat({Be32(tag), Bytes(text.begin(), text.end()), {0}}); }
Bytes Icon(std::initializer_list<Bytes> items) { return PngChunk("icOn", Cat(items)); }

const std::vector<std::uint32_t> kPixels = {0xFF102030, 0x80010203, 0x00000000};
const Bytes IEND = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
Bytes Png(const Bytes& before, const Bytes& after = {}, const std::vector<std::uint32_t>& pixels = kPixels)
{
    Bytes png;
    EXPECT_TRUE(rt::EncodePng(pixels.data(), std::int32_t(pixels.size()), 1, png));
    return Cat({Bytes(png.begin(), png.end() - 12), before, IEND, after});
}
enum : std::uint32_t { X = 0x80001001, Y, LEFT, TOP, WIDTH, HEIGHT, FLAGS, OS4, STACK, TOOL, TOOLTYPE, TYPE = 0x8000100F };

struct PngRow {
    const char* what;
    Bytes file;
    std::string images;                               // Loaded::Summary
    std::function<void(const IconAttributes&, const std::vector<std::string>&)> check = {};
};

// LoadPngIcon with the picture decoded from a sound PNG and the chunks walked in
// file: lengths that the host's decoder refuses before any walk would begin.
bool WalkLoads(const Bytes& file)
{
    SetHostApi(rt::GetHostApi());
    const Bytes good = Png({});
    const std::string picture = rt::RegisterMemFile(good.data(), good.size(), "png");
    const std::string name = rt::RegisterMemFile(file.data(), file.size(), "png");
    HostFile* handle = HostOpen(name.c_str(), HOST_MODE_READ);
    auto* icon = static_cast<IconHandle*>(HostAllocMem(sizeof(IconHandle), 1, "iconinfo"));
    HostSeek(handle, 4, HOST_SEEK_START);
    const int ok = LoadPngIcon(picture.c_str(), handle, icon);
    HostClose(handle);
    FreeIcon(icon);
    return ok;
}

TEST(AmigaPngIconReader, ChunksAndWhatMustHappen)
{
    const PngRow rows[] = {
        {"no icOn: a tool", Png({}), "3x1/32p0", [](auto& a, auto& t) {
             EXPECT_EQ(a.type, 3); EXPECT_EQ(a.posX, 0); EXPECT_EQ(a.defaultTool, nullptr); EXPECT_TRUE(t.empty()); }},
        {"every value item", Png(Icon({Value(TYPE, 7), Value(X, 0xFFFFFFFE), Value(Y, 9), Value(STACK, 8192), Value(LEFT, 1),
                                       Value(TOP, 2), Value(WIDTH, 300), Value(HEIGHT, 200), Value(FLAGS, 0x10)})),
         "3x1/32p0", [](auto& a, auto&) {
             EXPECT_EQ(a.type, 7); EXPECT_EQ(a.posX, -2); EXPECT_EQ(a.posY, 9); EXPECT_EQ(a.stackSize, 8192);
             EXPECT_EQ(a.drawerLeft, 1); EXPECT_EQ(a.drawerTop, 2); EXPECT_EQ(a.drawerWidth, 300); EXPECT_EQ(a.drawerHeight, 200);
             EXPECT_EQ(a.viewMode, 6); EXPECT_EQ(a.showAll, 0); }},
        {"flags 3: view mode 1, show all", Png(Icon({Value(FLAGS, 3)})), "3x1/32p0", [](auto& a, auto&) {
             EXPECT_EQ(a.type, 2); EXPECT_EQ(a.viewMode, 1); EXPECT_EQ(a.showAll, 1); }},
        {"flags 0: view mode 2", Png(Icon({Value(FLAGS, 0)})), "3x1/32p0", [](auto& a, auto&) { EXPECT_EQ(a.viewMode, 2); }},
        {"default tool makes a project", Png(Icon({String(TOOL, "MultiView")})), "3x1/32p0", [](auto& a, auto&) {
             EXPECT_EQ(a.type, 4); EXPECT_STREQ(a.defaultTool, "MultiView"); }},
        {"ignored tags; 0x80001011 counts as a drawer item",
         Png(Icon({Value(0x8000100C, 1), Value(0x8000100D, 1), Value(0x8000100E, 1), Value(0x80001010, 1), Value(0x80001012, 1),
                   Value(0x80001011, 1)})), "3x1/32p0", [](auto& a, auto&) { EXPECT_EQ(a.type, 2); }},
        {"type 0 item is absent; 0x80001107 is a drawer item", Png(Icon({Value(TYPE, 0), Value(0x80001107, 1)})), "3x1/32p0",
         [](auto& a, auto&) { EXPECT_EQ(a.type, 2); }},
        {"type item holds over the rule", Png(Icon({Value(TYPE, 3), String(TOOL, "t"), Value(LEFT, 5)})), "3x1/32p0",
         [](auto& a, auto&) { EXPECT_EQ(a.type, 3); }},
        {"icOn of length 0; other chunks stepped over", Png(Cat({PngChunk("tEXt", {'a', 0, 'b'}), Icon({}), Icon({Value(X, 4)})})),
         "3x1/32p0", [](auto& a, auto&) { EXPECT_EQ(a.posX, 4); EXPECT_EQ(a.type, 3); }},
        {"icOn after IEND is never read", Png({}, Icon({Value(TYPE, 2), Value(OS4, 0)})), "3x1/32p0",
         [](auto& a, auto&) { EXPECT_EQ(a.type, 3); }},
        {"later chunk replaces values, second tool frees the first (F41)",
         Png(Cat({Icon({Value(X, 5), String(TOOL, "one")}), Icon({Value(X, 6), String(TOOL, "two")})})), "3x1/32p0",
         [](auto& a, auto&) { EXPECT_EQ(a.posX, 6); EXPECT_STREQ(a.defaultTool, "two"); }},
        {"tooltypes of two chunks in order (F42)",
         Png(Cat({Icon({String(TOOLTYPE, "A"), String(TOOLTYPE, "B"), String(TOOLTYPE, "C")}),
                  Icon({String(TOOLTYPE, "DD"), String(TOOLTYPE, "EEE"), String(TOOLTYPE, "F=1")})})), "3x1/32p0",
         [](auto&, auto& t) { EXPECT_EQ(t, (Texts{"A", "B", "C", "DD", "EEE", "F=1"})); }},
        {"a chunk per tooltype, an empty one between",
         Png(Cat({Icon({String(TOOLTYPE, "A")}), Icon({String(TOOLTYPE, "")}), Icon({String(TOOLTYPE, "BB")}), Icon({String(TOOLTYPE, "C")})})),
         "3x1/32p0", [](auto&, auto& t) { EXPECT_EQ(t, (Texts{"A", "BB", "C"})); }},
        {"value item cut: the chunk stops, the rest reads (F40)",
         Png(Cat({Icon({Value(X, 5)}), PngChunk("icOn", Cat({Value(Y, 7), Be32(STACK), {0, 1}})), Icon({String(TOOLTYPE, "Z")})})),
         "3x1/32p0", [](auto& a, auto& t) { EXPECT_EQ(a.posX, 5); EXPECT_EQ(a.posY, 7); EXPECT_EQ(a.stackSize, 0); EXPECT_EQ(t, Texts{"Z"}); }},
        {"tag cut (F40)", Png(PngChunk("icOn", Cat({Value(X, 5), {0x80, 0}}))), "3x1/32p0", [](auto& a, auto&) { EXPECT_EQ(a.posX, 5); }},
        {"texts without their zero end at the chunk (F40)",
         Png(Cat({PngChunk("icOn", Cat({Be32(TOOL), {'a', 'b'}})), PngChunk("icOn", Cat({Be32(TOOLTYPE), {'c'}}))})), "3x1/32p0",
         [](auto& a, auto& t) { EXPECT_STREQ(a.defaultTool, "ab"); EXPECT_EQ(t, Texts{"c"}); }},
        {"empty tooltype item dropped", Png(Icon({String(TOOLTYPE, ""), String(TOOLTYPE, "B")})), "3x1/32p0",
         [](auto&, auto& t) { EXPECT_EQ(t, Texts{"B"}); }},
        {"tag 0x80001008 refused", Png(Icon({Value(OS4, 0)})), "null"},
        {"tag refused after a tool", Png(Cat({Icon({String(TOOL, "kept")}), Icon({Value(0x80001013, 0)})})), "null"},
        {"tag 0x80001000 refused", Png(Icon({Value(0x80001000, 0)})), "null"},
        {"tag 0x8000120D refused, without room for a value", Png(PngChunk("icOn", Be32(0x8000120D))), "null"},
        {"no IEND", [] { Bytes png = Png({}); return Bytes(png.begin(), png.end() - 12); }(), "null"},
        {"chunk length 0xFFFFFFF4 (F39)", Png(PngChunk("abcd", {}, 0xFFFFFFF4)), "null"},
        {"chunk length 0xFFFFFFF0 in icOn (F39)", Png(PngChunk("icOn", Value(X, 1), 0xFFFFFFF0)), "null"},
        {"signature pixels", Png({}, {}, {0x00515549, 0x004C4C4D, 0x004F5245}), "null"},
        {"signature one pixel later", Png({}, {}, {0xFF000000, 0x00515549, 0x004C4C4D, 0x004F5245}), "4x1/32p0"},
        {"two pixels never match", Png({}, {}, {0x00515549, 0x004C4C4D}), "2x1/32p0"},
    };
    for (const PngRow& row : rows) {
        SCOPED_TRACE(row.what);
        Loaded loaded(row.file);
        EXPECT_EQ(loaded.Summary(), row.images);
        if (loaded.icon && row.check)
            row.check(loaded.attributes, loaded.ToolTypes());
        if (loaded.icon && row.images == "3x1/32p0") {
            EXPECT_EQ(loaded.Words(0), kPixels);
        }
    }
    const Bytes walked = Png(Icon({Value(X, 1)}));
    EXPECT_TRUE(WalkLoads(walked) && WalkLoads(Bytes(walked.begin(), walked.end() - 4)));   // IEND's CRC is not read
    EXPECT_FALSE(WalkLoads(Png(PngChunk("abcd", {}, 0xFFFFFFF4))));             // F39
    EXPECT_FALSE(WalkLoads(Png(PngChunk("icOn", Value(X, 1), 0xFFFFFFF0))));    // F39
    EXPECT_FALSE(WalkLoads(Png(PngChunk("icOn", Value(X, 1), 13))));            // past the end
    EXPECT_EQ(rt::LiveBlocks(), 0);
}

Bytes Saved(HostImageList& list, std::uint32_t format, const IconAttributes& attributes, std::uint32_t compress = 0,
            int expect = 1)
{
    TempDir dir;
    EXPECT_EQ(SaveWith(dir.File("icon.info"), list.First(), format, &attributes, compress), expect);
    return FileExists(dir.File("icon.info")) ? ReadFileBytes(dir.File("icon.info")) : Bytes{};
}

TEST(AmigaPngIconWriter, ItemsByteForByte)
{
    char tool[] = "SYS:T", empty[] = "", a1[] = "A=1", b[] = "B";
    char* toolTypes[] = {a1, b, nullptr};
    const struct { const char* what; IconAttributes attributes; Bytes items; } rows[] = {
        {"drawer with everything", Attributes([&](IconAttributes& a) {
             a.type = 2, a.viewMode = 3, a.posX = 10, a.posY = -1, a.drawerLeft = 20, a.drawerWidth = 300, a.drawerHeight = 200;
             a.stackSize = 4096, a.defaultTool = tool, a.toolTypes = toolTypes, a.showAll = 1; }),
         Cat({Value(TYPE, 2), Value(X, 10), Value(Y, 0xFFFFFFFF), Value(STACK, 4096), Value(LEFT, 20),   // top 0 left out
              Value(WIDTH, 300), Value(HEIGHT, 200), Value(FLAGS, 5), String(TOOL, "SYS:T"), String(TOOLTYPE, "A=1"),
              String(TOOLTYPE, "B")})},
        {"untyped; drawer fields of a non-drawer left out", Attributes([&](IconAttributes& a) {
             a.viewMode = 2, a.drawerLeft = 5, a.drawerTop = 6, a.defaultTool = empty, a.showAll = 1; }),
         Cat({Value(TYPE, 3), String(TOOL, "")})},
        {"view mode 2, no show-all: flags 0 forced (F44)", Attributes([&](IconAttributes& a) { a.type = 2, a.viewMode = 2; }), Cat({Value(TYPE, 2), Value(FLAGS, 0)})},
        {"view mode 1", Attributes([&](IconAttributes& a) { a.type = 2, a.viewMode = 1; }), Cat({Value(TYPE, 2), Value(FLAGS, 2)})},
        {"view mode 5, show all", Attributes([&](IconAttributes& a) { a.type = 2, a.viewMode = 5, a.showAll = 1; }), Cat({Value(TYPE, 2), Value(FLAGS, 13)})},
        {"view mode 9: no flags item", Attributes([&](IconAttributes& a) { a.type = 2, a.viewMode = 9; }), Value(TYPE, 2)},
    };
    HostImageList list;
    list.AddPalette(3, 1, 8, {0, 1, 2}, {});   // not stored: the first 32-bit image is
    list.AddArgb(3, 1, kPixels);
    list.AddArgb(1, 1, {0xFF0000FF}, IMAGEFLAG_SELECTED);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Bytes file = Saved(list, FORMAT_PNG, row.attributes);
        EXPECT_EQ(file, Png(PngChunk("icOn", row.items)));
        Loaded loaded(file);
        EXPECT_EQ(loaded.Summary(), "3x1/32p0");
        EXPECT_EQ(loaded.attributes.viewMode, row.attributes.type == 2 && row.attributes.viewMode != 9 ? row.attributes.viewMode : 0);
    }
    HostImageList palette;
    palette.AddPalette(3, 1, 8, {0, 1, 2}, {});
    EXPECT_TRUE(Saved(palette, FORMAT_PNG, rows[0].attributes, 0, 0).empty());   // no true-colour image: nothing
    // A selected palette twin follows as a second PNG, its pen clear; another size does not (the list above).
    palette.AddArgb(3, 1, kPixels), palette.AddPalette(3, 1, 8, {0, 1, 2}, {0x112233, 0x445566}, 1, IMAGEFLAG_SELECTED);
    const Loaded twins(Saved(palette, FORMAT_PNG, rows[0].attributes));
    ASSERT_EQ(twins.Summary(), "3x1/32p0 3x1/32p0S");
    EXPECT_EQ(SeenPixels(*twins.images[1]), (std::vector<std::uint32_t>{0xFF112233, 0, 0xFF000000}));
}

TEST(AmigaWriter, DrawerWithTextsByteForByte)
{
    HostImageList list;
    list.AddPalette(3, 2, 2, {1, 2, 3, 2, 1, 0}, {});
    char tool[] = "T", line[] = "A=1";
    char* lines[] = {line, nullptr};
    const IconAttributes attributes = Attributes([&](IconAttributes& a) {
        a.type = 2, a.posX = 10, a.posY = -20, a.drawerLeft = 10, a.drawerTop = 20, a.drawerWidth = 300, a.drawerHeight = 200;
        a.stackSize = 4096, a.defaultTool = tool, a.toolTypes = lines, a.showAll = 1, a.viewMode = 3; });
    const Bytes expected = Cat({
        {0xE3, 0x10, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0},        // magic, version, next gadget, left, top
        {0, 3, 0, 2, 0, 4, 0, 3, 0, 1},                    // 12 gadget 3 x 2, flags 4, activation 3, type 1
        {0, 0, 0, 1, 0, 0, 0, 0}, Bytes(14, 0),            // 22 first image, 26 no second; 30..43
        {0, 0, 0, 1, 2, 0, 0, 0, 0, 1, 0, 0, 0, 1},        // 44 user data 1, type 2, pad, tool, tooltypes
        {0, 0, 0, 10, 0xFF, 0xFF, 0xFF, 0xEC},             // 58 x 10, y -20
        {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0x10, 0},           // 66 drawer data, tool window, stack 4096
        {0, 10, 0, 20, 1, 0x2C, 0, 200, 0xFF, 0xFF},       // drawer: 10, 20, 300 x 200, pens
        {0, 0, 0, 0, 2, 0, 0x12, 0x7F}, Bytes(20, 0),      // event flags, window flags, links
        {0, 100, 0, 70, 0xFF, 0xFF, 0xFF, 0xFF, 0, 1}, Bytes(8, 0),   // min, max, screen type, scroll
        {0, 0, 0, 0, 0, 3, 0, 2, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0},   // image header: 3 x 2, depth 2
        {0xA0, 0, 0x40, 0, 0x60, 0, 0x80, 0},              // plane 0 rows 101 010, plane 1 rows 011 100
        {0, 0, 0, 2, 'T', 0},                              // default tool
        {0, 0, 0, 8, 0, 0, 0, 4, 'A', '=', '1', 0},        // tooltypes: one
        {0, 0, 0, 2, 0, 3},                                // show all, view mode 3
    });
    EXPECT_EQ(Saved(list, FORMAT_AMIGAOS, attributes), expected);
}

TEST(AmigaWriter, FormsByteForByte)
{
    // The FORM image: 3 x 1, depth 1, pen 1, palette 000000 FFFFFF. The classic
    // image is a converted copy; the FORM ends the file.
    HostImageList list;
    list.AddPalette(3, 1, 1, {0, 1, 1}, {0x000000, 0xFFFFFF}, 1);
    const Bytes raw = {
        'F', 'O', 'R', 'M', 0, 0, 0, 46, 'I', 'C', 'O', 'N', 'F', 'A', 'C', 'E', 0, 0, 0, 6,
        2, 0, 0, 0, 0, 5,                                   // 3 x 1, flags, aspect, 3 x 2 colours - 1
        'I', 'M', 'A', 'G', 0, 0, 0, 19,
        1, 1, 3, 0, 0, 1, 0, 2, 0, 5,                       // pen 1, 2 colours, pen+palette, raw, raw, depth 1
        0, 1, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0,              // pixels, palette, pad
    };
    Bytes file = Saved(list, FORMAT_AMIGAOS35, {});
    ASSERT_GT(file.size(), raw.size());
    EXPECT_EQ(Bytes(file.end() - long(raw.size()), file.end()), raw);

    list.AddPalette(3, 1, 1, {1, 1, 0}, {0x000000, 0xFFFFFF}, -1, IMAGEFLAG_SELECTED);
    const Bytes packed = {
        'F', 'O', 'R', 'M', 0, 0, 0, 62, 'I', 'C', 'O', 'N', 'F', 'A', 'C', 'E', 0, 0, 0, 6, 2, 0, 0, 0, 0, 5,
        'I', 'M', 'A', 'G', 0, 0, 0, 16,
        1, 1, 3, 1, 1, 1, 0, 1, 0, 3,                       // packed image of 2 bytes, packed palette of 4
        0x02, 0x60, 0xFE, 0x00, 0xFE, 0xFF,                 // 00000010 0 1 1; three 0s, three FFs
        'I', 'M', 'A', 'G', 0, 0, 0, 12,
        0, 1, 0, 1, 1, 1, 0, 1, 0, 0,                       // the same palette: none attached
        0x02, 0xC0,                                         // 00000010 1 1 0
    };
    file = Saved(list, FORMAT_AMIGAOS35, {}, 1);
    ASSERT_GT(file.size(), packed.size());
    EXPECT_EQ(Bytes(file.end() - long(packed.size()), file.end()), packed);

    // True colour: FACE flags 2 and palette size 1; the word 0x80AABBCC goes
    // into the zlib stream as the bytes 80 AA BB CC.
    HostImageList argb;
    argb.AddArgb(1, 1, {0x80AABBCC});
    file = Saved(argb, FORMAT_AMIGAOS40, {});
    const char face[] = "FACE";
    const long at = std::search(file.begin(), file.end(), face, face + 4) - file.begin();   // 1 x 1, flags 2, size 1
    ASSERT_LT(std::size_t(at) + 32, file.size());
    EXPECT_EQ(Bytes(file.begin() + at + 4, file.begin() + at + 18), (Bytes{0, 0, 0, 6, 0, 0, 2, 0, 0, 1, 'A', 'R', 'G', 'B'}));
    EXPECT_EQ(Bytes(file.begin() + at + 22, file.begin() + at + 26), Be32(1));   // header word; count, reserved, stream
    auto be32 = [&](long i) { return std::uint32_t(file[i]) << 24 | file[i + 1] << 16 | file[i + 2] << 8 | file[i + 3]; };
    EXPECT_EQ(be32(at + 26) + 11, be32(at + 18));                                  // count - 1 = L - 10 - 1
    Bytes inflated(8);
    uLongf size = inflated.size();
    ASSERT_EQ(uncompress(inflated.data(), &size, file.data() + at + 32, uLong(file.size()) - uLong(at) - 32), Z_OK);
    EXPECT_EQ(Bytes(inflated.begin(), inflated.begin() + long(size)), (Bytes{0x80, 0xAA, 0xBB, 0xCC}));
}

class AmigaCodecs : public testing::Test {
protected:
    void SetUp() override { SetHostApi(rt::GetHostApi()); }
    void TearDown() override { EXPECT_EQ(rt::LiveBlocks(), 0); }
};

TEST_F(AmigaCodecs, PackRleStreamsAndBack)
{
    Bytes sixteen(16, 1), seventeen(17, 1), longRun(130, 9);
    sixteen.push_back(0);
    seventeen.push_back(0);
    longRun.push_back(1);
    const struct { const char* what; Bytes values; int bits, ask; Bytes stream; int packed; } rows[] = {
        {"repeat then literal: 254 5, 0 7", {5, 5, 5, 7}, 8, 1, {254, 5, 0, 7}, 1},
        {"packing not asked for", {5, 5, 5, 7}, 8, 0, {5, 5, 5, 7}, 0},
        {"sixteen equal bits are literals: 00010000 1x16 0", sixteen, 1, 1, {0x10, 0xFF, 0xFF, 0x00}, 1},
        {"seventeen equal bits repeat: 11110000 1 00000000 0", seventeen, 1, 1, {0xF0, 0x80, 0x00}, 1},
        {"longer than the input: raw", {1, 2, 3}, 8, 1, {1, 2, 3}, 0},
        {"run over 128 mid-way: 129 9, then 2 9 9 1", longRun, 8, 1, {129, 9, 2, 9, 9, 1}, 1},
        {"four equal nibbles mid-way are literals", {4, 4, 4, 4, 1}, 4, 1, {0x04, 0x44, 0x44, 0x10}, 1},
        {"five equal nibbles mid-way repeat: 252 4, 0 1", {4, 4, 4, 4, 4, 1}, 4, 1, {0xFC, 0x40, 0x01}, 1},
        {"three equal nibbles at the end are literals", {1, 2, 3, 4, 4, 4}, 4, 1, {0x05, 0x12, 0x34, 0x44}, 1},
        {"four equal nibbles at the end repeat", {1, 2, 3, 4, 4, 4, 4}, 4, 1, {0x02, 0x12, 0x3F, 0xD4}, 1},
        {"values masked to their width (F37)", {1, 0x1F, 3}, 4, 1, {0x02, 0x1F, 0x30}, 1},
        {"masked raw (F37)", {1, 0x1F, 3}, 4, 0, {1, 0x0F, 3}, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        int packed = row.ask;
        std::uint32_t count = 0;
        std::uint8_t* block = PackRle(row.values.data(), std::uint32_t(row.values.size()), row.bits, &packed, &count);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(Bytes(block, block + count), row.stream);
        EXPECT_EQ(packed, row.packed);
        HostFreeMem(block);
        Bytes back(row.values.size()), masked = row.values;
        for (std::uint8_t& v : masked)
            v &= std::uint8_t((1 << row.bits) - 1);
        if (packed) {
            EXPECT_EQ(UnpackRle(row.stream.data(), row.stream.size(), back.data(), row.bits, back.size()), 1);
            EXPECT_EQ(back, masked);
        }
    }
    // Streams only a reader meets: a no-op code, a run or literals longer than
    // wanted, a cut stream (the rest keeps what was there).
    const struct { Bytes stream; int bits; std::size_t count; Bytes values; int whole; } unpacked[] = {
        {{128, 0xFE, 7}, 8, 3, {7, 7, 7}, 1},
        {{0x81, 5}, 8, 3, {5, 5, 5}, 1}, {{0x02, 1, 2, 3}, 8, 2, {1, 2}, 1},
        {{0x02, 0x12}, 4, 3, {1, 2, 0xEE}, 0},
        {{0x01, 0xFF}, 8, 2, {0xFF, 0xEE}, 0}, {{}, 1, 1, {0xEE}, 0},
    };
    for (const auto& row : unpacked) {
        Bytes out(row.count, 0xEE);
        EXPECT_EQ(UnpackRle(row.stream.data(), row.stream.size(), out.data(), row.bits, row.count), row.whole);
        EXPECT_EQ(out, row.values);
    }
}

TEST_F(AmigaCodecs, NewIconsLinesByHand)
{
    Bytes midRun(52, 0), endRun(49, 0), fullLine(110, 0xFF);
    midRun.front() = midRun.back() = endRun.front() = 1;
    const struct { const char* start; Bytes values; int bits; std::vector<std::string> lines; } rows[] = {
        {"IM1=", {0}, 7, {"IM1=\xD1"}},                               // a 0 group is never 0x20
        {"IM1=", {1, 79, 80, 127}, 7, {"IM1=\x21\x6F\xA1\xD0"}},      // the edges of both ranges
        {"IM1=", midRun, 7, {"IM1=\x21\xFF\xD3\x21"}},                // 50 0 groups mid-data
        {"IM1=", endRun, 7, {"IM1=\x21\xFF\xD1"}},                    // data ending in 48 0 groups
        {"IM1=B##!#", {0xFF, 0, 0x80, 0x12, 0x34, 0x56}, 8, {"IM1=B##!#\xD0\x60\x30\x21\x31\xA2\x4C"}},
        {"IM2=", {3, 2, 1, 2, 0}, 2, {"IM2=\xC4\xD1"}},               // 1110011 000+0000
        {"IM1=", {1, 0, 0, 1, 0, 0, 0, 0, 1}, 1, {"IM1=h@"}},
        // 123 groups of 127 close the line at 127 characters; the next
        // restarts value 107: 1111111 x3, 111+0000 (0xC1).
        {"IM1=", fullLine, 8, {"IM1=" + std::string(123, '\xD0'), "IM1=\xD0\xD0\xD0\xC1"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.lines[0]);
        std::int32_t records = 3;
        TempDir dir;
        HostFile* file = HostOpen(dir.File("lines").c_str(), HOST_MODE_WRITE);
        EncodeNewIconLines(file, row.start, row.values.data(), row.bits, std::uint32_t(row.values.size()), &records);
        Bytes expected(HostClose(file));
        for (const std::string& line : row.lines)
            expected = Cat({expected, Text(line + '\0')});
        EXPECT_EQ(ReadFileBytes(dir.File("lines")), expected);
        EXPECT_EQ(records, 3 + std::int32_t(row.lines.size()));
    }
}

// Lists of images against the four formats: "-" the save fails, otherwise
// the loaded summary. Sizes and depths follow the writer's choices.
HostImageList& Diagonal(HostImageList& list, int side, int depth, int colours, std::uint32_t flags = 0, int pen = -1)
{
    Bytes pixels;
    std::vector<std::uint32_t> palette;
    for (int i = 0; i < side * side || i < 256; ++i) {
        pixels.push_back(std::uint8_t((i % side + i / side) % colours));
        palette.push_back(std::uint32_t(0x10305 * i) & 0xFFFFFF);
    }
    pixels.resize(std::size_t(side) * side);
    palette.resize(256);
    list.AddPalette(side, side, depth, pixels, palette, pen, flags);
    return list;
}
HostImageList& Noise(HostImageList& list, int side, std::uint32_t flags = 0)
{
    std::mt19937 random(side);
    std::vector<std::uint32_t> pixels(std::size_t(side) * side);
    for (std::uint32_t& p : pixels)
        p = random() | 0xFF000000;
    list.AddArgb(side, side, pixels, flags);
    return list;
}

TEST(AmigaWriter, WhatEachFormatTakes)
{
    const struct { const char* what; std::function<void(HostImageList&)> build; const char* formats[4]; } rows[] = {
        {"one depth-2 image", [](auto& l) { Diagonal(l, 48, 2, 4); }, {"48x48/2p0P", "-", "-", "-"}},
        {"depth 3 and its twin", [](auto& l) { Diagonal(Diagonal(l, 20, 3, 8), 20, 3, 5, IMAGEFLAG_SELECTED); },
         {"20x20/3p0P 20x20/3p0S", "-", "-", "-"}},
        {"twin of another size (F46)", [](auto& l) { Diagonal(Diagonal(l, 48, 2, 4), 32, 2, 4, IMAGEFLAG_SELECTED); },
         {"48x48/2p0P", "-", "-", "-"}},
        {"one true-colour image", [](auto& l) { Noise(l, 64); },
         {"64x64/2p0P", "64x64/2p0 64x64/8p0P", "64x64/2p0 64x64/8p0P", "64x64/2p0 64x64/32P"}},
        {"true colour 94 x 94", [](auto& l) { Noise(l, 94); }, {"94x94/2p0P", "-", "94x94/2p0 94x94/8p0P", "94x94/2p0 94x94/32P"}},
        {"true colour 300 x 300", [](auto& l) { Noise(l, 300); }, {"-", "-", "-", "-"}},
        {"two true-colour images: the first is used", [](auto& l) { Noise(Noise(l, 16), 8); },
         {"16x16/2p0P", "16x16/2p0 16x16/8p0P", "16x16/2p0 16x16/8p0P", "16x16/2p0 16x16/32P"}},
        {"depth 8 with a smaller twin (F35, F26)", [](auto& l) { Diagonal(Diagonal(l, 32, 8, 200), 16, 8, 9, IMAGEFLAG_SELECTED); },
         {"32x32/2p0P", "32x32/2p0 32x32/6P", "32x32/2p0 32x32/8P", "-"}},
        {"true colour with a depth-8 twin (F47)", [](auto& l) { Diagonal(Noise(l, 16), 16, 8, 6, IMAGEFLAG_SELECTED); },
         {"16x16/2p0P 16x16/2p0S", "16x16/2p0 16x16/2p0S 16x16/8p0P 16x16/3p0S", "16x16/2p0 16x16/2p0S 16x16/8p0P 16x16/3p0S",
          "16x16/2p0 16x16/2p0S 16x16/32P"}},
        {"depth-1 normal, depth-4 twin, one palette (F36)", [](auto& l) { Diagonal(Diagonal(l, 8, 1, 2), 8, 4, 16, IMAGEFLAG_SELECTED); },
         {"8x8/2p0P 8x8/2p0S", "8x8/2p0 8x8/2p0S 8x8/1P 8x8/4S", "8x8/2p0 8x8/2p0S 8x8/1P 8x8/4S", "-"}},
        {"depth 5 with pen 2", [](auto& l) { Diagonal(l, 8, 5, 20, 0, 2); },
         {"8x8/2p0P", "8x8/2p0 8x8/4p0P", "8x8/2p0 8x8/5p2P", "-"}},
    };
    static const std::uint32_t kFormats[] = {FORMAT_AMIGAOS, FORMAT_NEWICON, FORMAT_AMIGAOS35, FORMAT_AMIGAOS40};
    for (const auto& row : rows) {
        for (int f = 0; f < 4; ++f) {
            SCOPED_TRACE(std::string(row.what) + ", format " + std::to_string(f));
            HostImageList list;
            row.build(list);
            bool saves = std::string(row.formats[f]) != "-";
            Bytes file = Saved(list, kFormats[f], {}, f == 2, saves);
            if (f == 1) {   // IM2 lines only for a twin that reloads (F26)
                EXPECT_EQ(std::string(file.begin(), file.end()).find("IM2=") != std::string::npos,
                          row.formats[f][std::strlen(row.formats[f]) - 1] == 'S');
            }
            if (!saves)
                continue;
            Loaded loaded(file);
            EXPECT_EQ(loaded.Summary(), row.formats[f]);
            // A palette image stored without reduction looks as it did in the list
            // (classic images keep their indices, not their colours); true colour
            // stays exact.
            for (const IconImage* image : loaded.images) {
                for (const IconImage* source : ImagesOf(list.First())) {
                    if (image->width != source->width || (image->depth > 8) != (source->depth > 8) ||
                        (image->flags & IMAGEFLAG_SELECTED) != (source->flags & IMAGEFLAG_SELECTED))
                        continue;
                    if (f == 0 && image->depth == source->depth) {
                        EXPECT_EQ(Bytes(image->pixels, image->pixels + image->width * image->height),
                                  Bytes(source->pixels, source->pixels + source->width * source->height));
                    } else if (image->depth == source->depth || image->depth > 3) {
                        EXPECT_EQ(SeenPixels(*image), SeenPixels(*source)) << image->width << "/" << image->depth;
                    }
                }
            }
        }
    }
}

TEST(AmigaWriter, NewIconsMarkerOnlyWhenNotThere)
{
    char a[] = "A", space[] = " ", marker[] = "*** DON'T EDIT THE FOLLOWING LINES!! ***";
    const std::pair<std::vector<char*>, int> rows[] = {
        {{a, space, marker, nullptr}, 1}, {{space, a, marker, nullptr}, 2}, {{marker, space, nullptr}, 2}, {{a, nullptr}, 1}};
    HostImageList list;
    Noise(list, 8);
    for (auto [lines, markers] : rows) {
        const Bytes file = Saved(list, FORMAT_NEWICON, Attributes([&](IconAttributes& at) { at.toolTypes = lines.data(); }));
        const std::string text(file.begin(), file.end());
        int found = 0;
        for (auto at = text.find(MARKER); at != std::string::npos; at = text.find(MARKER, at + 1))
            ++found;
        EXPECT_EQ(found, markers) << lines[0] << lines[1];
    }
}

}  // namespace
