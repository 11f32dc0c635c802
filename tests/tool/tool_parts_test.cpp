// The tool's parts with answers written by hand: text escaping, the scaler and
// the sizes --resize makes, format fitting, the font and the contact sheet's
// layout, and the linter on hand-built damaged files.
#include "tests/support/byte_builders.h"
#include "tests/support/test_host.h"
#include "tool/bitmap_font.h"
#include "tool/check.h"
#include "tool/format_fitting.h"
#include "tool/picture_export.h"
#include "tool/preview.h"
#include "tool/resize.h"
#include "tool/text_encoding.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <tuple>

namespace tessel::tool {
namespace {

using test::Be16;
using test::Be32;
using test::Cat;
using test::Le32;
using Bytes = std::vector<std::uint8_t>;
using Words = std::vector<std::uint32_t>;

struct TextCase {
    std::string bytes;
    const char* json;
    const char* display;   // null: as JSON
};
const TextCase kTexts[] = {
    {"q\"b\\n\nr\rt\t ~", R"("q\"b\\n\nr\rt\t ~")", nullptr},
    {"\b\f", R"("\b\f")", R"("\x08\x0C")"},
    {std::string("\0\x01\x1f\x7f", 4), R"("\u0000\u0001\u001f\u007f")", R"("\x00\x01\x1F\x7F")"},
    {"\x80\x9f", R"("\u0080\u009f")", R"("\x80\x9F")"},                                   // C1 controls
    {"\xa0\xe9\xff", R"("\u00a0\u00e9\u00ff")", "\"\xc2\xa0\xc3\xa9\xc3\xbf\""},          // Latin-1
    {"\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf", "\"\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf\"",
     nullptr},                                                                             // UTF-8 at its bounds
    {"\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", "\"\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\"", nullptr},
    {"\xc1\xbf\xbf", R"("\u00c1\u00bf\u00bf")", "\"\xc3\x81\xc2\xbf\xc2\xbf\""},           // overlong pair
    {"\xe0\x9f\xbf", R"("\u00e0\u009f\u00bf")", "\"\xc3\xa0\\x9F\xc2\xbf\""},              // overlong triple
    {"\xed\xa0\x80", R"("\u00ed\u00a0\u0080")", "\"\xc3\xad\xc2\xa0\\x80\""},              // a surrogate
    {"\xf0\x8f\xbf\xbf", R"("\u00f0\u008f\u00bf\u00bf")", nullptr},                       // overlong quad
    {"\xf4\x90\x80\x80", R"("\u00f4\u0090\u0080\u0080")", nullptr},                       // above U+10FFFF
    {"\xf5\x80\x80\x80", R"("\u00f5\u0080\u0080\u0080")", nullptr},
    {"\xc3" "A\xc3\xc0", R"("\u00c3A\u00c3\u00c0")", nullptr},                              // bad second bytes
    {"\xe2\x82" "A\xe2\x82\xc0\xe2\x82", R"("\u00e2\u0082A\u00e2\u0082\u00c0\u00e2\u0082")", nullptr},
};

TEST(ToolText, JsonAndTerminalEscapingOfAwkwardBytes)
{
    for (const TextCase& row : kTexts) {
        SCOPED_TRACE(row.json);
        EXPECT_EQ(JsonString(row.bytes), row.json);
        if (row.display) {
            EXPECT_EQ(DisplayString(row.bytes), row.display);
        }
    }
    EXPECT_EQ(LowerAscii("@AZ[`az{\xc0"), "@az[`az{\xc0");
}

Image Argb(std::int32_t width, std::int32_t height, const Words& words, std::uint32_t flags = 0)
{
    Image image{width, height, 32, flags, -1, Bytes(words.size() * 4), {}};
    std::memcpy(image.pixels.data(), words.data(), image.pixels.size());
    return image;
}
Image Solid(std::int32_t width, std::int32_t height, std::uint32_t argb, std::uint32_t flags = 0)
{
    return Argb(width, height, Words(std::size_t(width * height), argb), flags);
}
// A palette image, every pixel pen 1 unless pixels are given; pen n is colour 0x010101 * n.
Image Pens(std::int32_t width, std::int32_t height, std::int32_t depth, std::uint32_t flags = 0, Bytes pixels = {},
           std::int32_t transparentPen = -1)
{
    Image image{width, height, depth, flags, transparentPen, pixels, Words(256)};
    if (pixels.empty())
        image.pixels.assign(std::size_t(width * height), 1);
    for (std::uint32_t n = 0; n < 256; ++n)
        image.palette[n] = 0x010101 * n;
    return image;
}
Words Pixels(const Image& image) { return ImageToArgb(image); }
std::uint32_t At(const Image& image, std::int32_t x, std::int32_t y) { return Pixels(image)[std::size_t(y * image.width + x)]; }

TEST(ToolResize, ScalerAveragesTheExactAreaOnPremultipliedAlpha)
{
    struct Case { const char* what; Words source; std::int32_t sw, sh, w, h; Words expected; };
    const Case rows[] = {
        // Half of it transparent white: the colour is red and blue's mean, the alpha half.
        {"2x2 to 1", {0xFFFF0000, 0xFF0000FF, 0x00FFFFFF, 0x00FFFFFF}, 2, 2, 1, 1, {0x80800080}},
        // Thirds: 2/3 of 0 and 1/3 of 90, then 1/3 of 90 and 2/3 of 180.
        {"3 to 2 across", {0xFF000000, 0xFF5A5A5A, 0xFFB4B4B4}, 3, 1, 2, 1, {0xFF1E1E1E, 0xFF969696}},
        {"3 to 2 down", {0xFF000000, 0xFF5A5A5A, 0xFFB4B4B4}, 1, 3, 1, 2, {0xFF1E1E1E, 0xFF969696}},
        {"enlarged by repeating", {0x80102030}, 1, 1, 2, 1, {0x80102030, 0x80102030}},
        {"nothing but transparency stays 0", {0x00FFFFFF, 0x00000000}, 2, 1, 1, 1, {0}},
    };
    for (const Case& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(ScaleArgb(row.source, row.sw, row.sh, row.w, row.h), row.expected);
    }
}

TEST(ToolResize, MakesTheMissingSizesPerStateFromTheNearestLargerImage)
{
    const std::vector<std::int32_t> windows = ResizeTargetSizes(*FindSaveFormat("WINDOWS"));
    EXPECT_EQ(windows, (std::vector<std::int32_t>{16, 24, 32, 48, 64, 128, 256}));
    EXPECT_EQ(ResizeTargetSizes(*FindSaveFormat("MACOS")), (std::vector<std::int32_t>{16, 32, 48, 64, 128, 256, 512, 1024}));
    EXPECT_EQ(ResizeTargetSizes(*FindSaveFormat("PNG")), std::vector<std::int32_t>{});
    std::vector<Image> images = {Solid(64, 32, 0xFFFF0000, IMAGEFLAG_PRIMARY), Pens(40, 40, 8, IMAGEFLAG_SELECTED)};
    ASSERT_EQ(AddResizedImages(images, windows), 7u);
    const std::int32_t sides[] = {16, 24, 32, 48, 16, 24, 32};   // normal from 64x32, selected from 40x40
    for (std::size_t i = 0; i < 7; ++i) {
        const Image& made = images[2 + i];
        EXPECT_EQ(std::tie(made.width, made.height, made.depth, made.flags),
                  std::make_tuple(sides[i], sides[i], 32, i < 4 ? 0u : IMAGEFLAG_SELECTED));
    }
    // 64x32 made 48x24, centred: rows 12..35 red, transparency above and below.
    EXPECT_EQ(std::make_tuple(At(images[5], 0, 11), At(images[5], 0, 12), At(images[5], 47, 35), At(images[5], 0, 36)),
              std::make_tuple(0u, 0xFFFF0000u, 0xFFFF0000u, 0u));
    EXPECT_EQ(At(images[6], 15, 15), 0xFF010101u);

    // The nearest larger side wins, then the deeper image; a size present is kept.
    images = {Solid(128, 128, 0xFF0000FF), Pens(64, 64, 4), Solid(64, 64, 0xFF00FF00)};
    ASSERT_EQ(AddResizedImages(images, {16, 32, 48, 64}), 3u);
    for (std::size_t i = 3; i < 6; ++i)
        EXPECT_EQ(At(images[i], 0, 0), 0xFF00FF00u) << i;

    // A huge source is first reduced by a whole factor; what is made from it
    // stays within a step of scaling the whole source directly.
    Image huge = Solid(2100, 2100, 0);
    for (std::size_t i = 0; i < huge.pixels.size(); i += 4)
        huge.pixels[i] = huge.pixels[i + 3] = std::uint8_t(i / 4 % 2100 / 9);   // blue rising left to right
    const Image made = ScaleImage(huge, 48, true);
    const std::vector<std::uint32_t> direct = ScaleArgb(ImageToArgb(huge), 2100, 2100, 48, 48);
    for (std::size_t i = 0; i < direct.size(); ++i)
        EXPECT_LE(std::abs(int(made.pixels[4 * i]) - int(direct[i] & 0xFF)), 1) << i;
}

TEST(ToolFitting, EachFormatGetsTheDepthsItStores)
{
    for (const auto& [depth, raised] : {std::pair{0, 1}, {1, 1}, {2, 4}, {3, 4}, {4, 4}, {5, 8}, {7, 8}, {8, 8}, {32, 32}}) {
        std::vector<Image> images = {depth == 32 ? Solid(1, 1, 0xFF000000) : Pens(1, 1, depth)};
        FitImagesToFormat(images, "WINDOWS");
        EXPECT_EQ(images[0].depth, raised) << depth;
    }
    std::vector<Image> states = {Pens(1, 1, 8, IMAGEFLAG_SELECTED), Pens(1, 1, 8), Pens(2, 2, 8, IMAGEFLAG_SELECTED)};
    FitImagesToFormat(states, "WINDOWS");   // no selected state: the normal image alone
    EXPECT_EQ(states.size() * 10 + std::size_t(states[0].flags), 10u);

    // macOS: a palette image becomes true colour unless one of its size is there.
    std::vector<Image> images = {Pens(2, 1, 4, 0, {1, 3}, 3), Pens(1, 1, 4), Solid(1, 1, 0xFF000000)};
    FitImagesToFormat(images, "MACOS");
    EXPECT_EQ(std::make_pair(images[0].depth, Pixels(images[0])), std::make_pair(32, Words{0xFF010101, 0}));
    EXPECT_EQ(images[1].depth, 4);
    EXPECT_EQ(Pixels(ToTrueColour(Pens(1, 1, 8, 0, {0xFF}))), Words{0xFFFFFFFF});

    struct Case { const char* what; std::vector<Image> images; const char* keyword; std::size_t copiedFrom; bool twin; };
    const Case rows[] = {
        {"primary first", {Pens(32, 32, 8, IMAGEFLAG_PRIMARY), Pens(48, 48, 8)}, "PNG", 0, false},
        {"then larger, with its twin", {Pens(32, 32, 8), Pens(48, 48, 2), Pens(48, 48, 2, IMAGEFLAG_SELECTED)}, "PNG", 1, true},
        {"then deeper", {Pens(8, 8, 2), Pens(8, 8, 5)}, "AMIGAOS40", 1, false},
        {"too large for Amiga", {Pens(300, 300, 8)}, "AMIGAOS40", 9, false},
        {"256 fits Amiga", {Pens(256, 256, 8)}, "AMIGAOS40", 0, false},
        {"PNG takes any size", {Pens(300, 300, 8)}, "PNG", 0, false},
        {"true colour already", {Pens(8, 8, 2), Solid(8, 8, 0xFF000000, IMAGEFLAG_SELECTED)}, "PNG", 9, false},
        {"selected only", {Pens(8, 8, 2, IMAGEFLAG_SELECTED)}, "PNG", 9, false},
        {"other formats", {Pens(8, 8, 2)}, "NEWICON", 9, false},
    };
    for (const Case& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<Image> fitted = row.images;
        FitImagesToFormat(fitted, row.keyword);
        const std::size_t added = row.copiedFrom == 9 ? 0 : row.twin ? 2 : 1;
        ASSERT_EQ(fitted.size(), row.images.size() + added);
        if (added == 0)
            continue;
        const Image& copy = fitted[row.images.size()];
        const Image& from = row.images[row.copiedFrom];
        EXPECT_EQ(std::tie(copy.width, copy.height, copy.depth, copy.flags), std::make_tuple(from.width, from.height, 32, 0u));
        EXPECT_EQ(Pixels(copy), Pixels(from));
        if (row.twin) {
            EXPECT_EQ(fitted.back().flags, IMAGEFLAG_SELECTED);
        }
    }
}

TEST(ToolPreview, FontGlyphsAndTextClipping)
{
    // FNV-1a over every glyph's 5x8 bits, ' ' to '~'. Recorded after printing
    // the whole font as text and reading each glyph by eye.
    std::uint32_t hash = 2166136261u;
    for (char c = ' '; c <= '~'; ++c)
        for (std::int32_t y = 0; y < 8; ++y)
            for (std::int32_t x = 0; x < 5; ++x)
                hash = (hash ^ (GlyphInk(c, x, y) ? 1u : 0u)) * 16777619u;
    EXPECT_EQ(hash, 2398752282u);
    for (std::int32_t y = -1; y <= 8; ++y)
        for (std::int32_t x = -1; x <= 5; ++x)
            EXPECT_EQ(GlyphInk('\x01', x, y) + GlyphInk('\x7f', x, y), 2 * (x >= 0 && x < 5 && y >= 0 && y < 8 && GlyphInk('?', x, y)));
    EXPECT_EQ(TextWidth("abc"), 3 * FONT_CELL_WIDTH);
    // '|' is column 2, rows 0..6; drawn cut by each edge of a 6x9 canvas.
    struct Case { std::int32_t x, y; const char* text; int inked; };
    for (const Case& row : {Case{0, 0, "|", 7}, Case{0, -3, "|", 4}, Case{0, 5, "|", 4}, Case{0, 0, "||", 7},
                            Case{-6, 0, "||", 7}, Case{-3, 0, "|", 0}, Case{4, 0, "|", 0}}) {
        Words canvas(6 * 9, 0);
        DrawText(canvas.data(), 6, 9, row.x, row.y, row.text, 1);
        EXPECT_EQ(std::count(canvas.begin(), canvas.end(), 1u), row.inked) << row.x << "," << row.y << row.text;
    }
}

TEST(ToolPreview, SheetLayoutPixelsAndLimits)
{
    EXPECT_EQ(PreviewLabel(Pens(32, 16, 8), 1), (std::vector<std::string>{"32x16 8-bit", "normal"}));
    EXPECT_EQ(PreviewLabel(Pens(2, 2, 4, 3), 2), (std::vector<std::string>{"2x2 4-bit", "selected, primary", "shown at 1/2"}));
    EXPECT_EQ(PreviewLabel(Pens(2, 2, 4, 1), 1)[1], "normal, primary");

    // One icon "I": a 9x1 picture, opaque, half-transparent red, then clear.
    // Heading at (8,8); tile at (8,21): frame 11x3, the 2x copy's frame 20x4 at
    // x 23; label 7 rows below; tile 60 wide (the label), 27 tall.
    PreviewIcon icon{"I", true, "", {}};
    Words picture(9, 0);
    picture[0] = 0xFF112233;
    picture[1] = 0x80FF0000;
    icon.icon.images = {Argb(9, 1, picture)};
    PreviewSheet sheet;
    std::string why;
    ASSERT_TRUE(DrawPreviewSheet({icon}, {}, &sheet, &why)) << why;
    ASSERT_EQ(std::make_pair(sheet.width, sheet.height), std::make_pair(76, 56));
    auto pixel = [&](std::int32_t x, std::int32_t y) { return sheet.pixels[std::size_t(y * sheet.width + x)]; };
    const std::pair<std::pair<int, int>, std::uint32_t> expected[] = {
        {{10, 8}, 0xFF202020}, {{8, 8}, 0xFFFFFFFF},                          // heading ink
        {{8, 21}, 0xFF808080}, {{18, 23}, 0xFF808080}, {{19, 22}, 0xFFFFFFFF}, // frame
        {{9, 22}, 0xFF112233}, {{10, 22}, 0xFFE66666},                          // over light checks
        {{16, 22}, 0xFFCCCCCC}, {{17, 22}, 0xFF999999},                         // clear: checks of 8
        {{23, 21}, 0xFF808080}, {{42, 24}, 0xFF808080}, {{24, 23}, 0xFF112233}, {{26, 22}, 0xFFE66666},
        {{25, 23}, 0xFF112233}, {{31, 22}, 0xFFCCCCCC}, {{32, 23}, 0xFF999999}, {{40, 22}, 0xFFCCCCCC},
        {{8, 29}, 0xFF202020}, {{8, 28}, 0xFFFFFFFF},                          // '9' of "9x1 32-bit"
    };
    for (const auto& [at, colour] : expected)
        EXPECT_EQ(pixel(at.first, at.second), colour) << at.first << "," << at.second;

    // Scale 2 doubles every pixel; a second block sits under a rule 16 lower.
    PreviewSheet twice;
    ASSERT_TRUE(DrawPreviewSheet({icon}, {2, 0}, &twice, &why));
    EXPECT_EQ(std::make_tuple(twice.width, twice.height, twice.pixels[std::size_t(45 * 152 + 21)]),
              std::make_tuple(152, 112, 0xFFE66666u));
    ASSERT_TRUE(DrawPreviewSheet({icon, {"x", false, "gone", {}}}, {}, &sheet, &why));
    EXPECT_EQ(std::make_tuple(sheet.height, pixel(8, 56), pixel(109, 56), pixel(7, 56), pixel(110, 56)),
              std::make_tuple(56 + 16 + 13 + 13, 0xFFD0D0D0u, 0xFFD0D0D0u, 0xFFFFFFFFu, 0xFFFFFFFFu));

    // Over 256: shrunk by 2, each shown pixel the alpha-weighted mean of 2x2.
    Words wide(600, 0xFFFF0000);
    wide[1] = 0x0000FF00;
    icon.icon.images = {Argb(300, 2, wide), Pens(1, 1, 8)};
    ASSERT_TRUE(DrawPreviewSheet({icon}, {1, 1}, &sheet, &why));
    EXPECT_EQ(std::make_tuple(sheet.width, pixel(9, 22), pixel(8, 21)), std::make_tuple(168, 0xFFF23333u, 0xFF808080u));
    // One column: the second tile (its 2x frame 4 high) 10 below the first.
    EXPECT_EQ(sheet.height, 21 + (3 + 3 + 30) + 10 + (4 + 3 + 20) + 8);

    EXPECT_FALSE(DrawPreviewSheet({icon}, {0, 0}, &sheet, &why));
    EXPECT_FALSE(DrawPreviewSheet({icon}, {1, PREVIEW_MAX_COLUMNS + 1}, &sheet, &why));
    icon.icon.images.assign(9, Solid(256, 256, 0));   // 9 rows of 291: over 16384 at 8 times
    EXPECT_FALSE(DrawPreviewSheet({icon}, {PREVIEW_MAX_SCALE, 1}, &sheet, &why));
    EXPECT_NE(why.find("too large"), std::string::npos);
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }
Bytes Zeros(std::size_t count) { return Bytes(count, 0); }

// A DiskObject header: one 16x1 image in a 16x1 gadget, the given flags at
// 50 (default tool), 54 (tooltypes), 66 (drawer data), 70 (tool window).
Bytes Header(std::uint32_t userData = 1, std::uint32_t tool = 0, std::uint32_t types = 0, std::uint32_t drawer = 0,
             std::uint32_t window = 0, std::uint32_t secondImage = 0)
{
    return Cat({Be32(0xE3100001), Zeros(8), Be16(16), Be16(1), Zeros(6), Be32(1), Be32(secondImage), Zeros(14),
                Be32(userData), Zeros(2), Be32(tool), Be32(types), Zeros(8), Be32(drawer), Be32(window), Zeros(4)});
}
// An image header (left, top, width, height, depth, ...) and its planes.
Bytes Plane(std::uint32_t width = 16, std::uint32_t depth = 1, std::size_t bytes = 2)
{
    return Cat({Zeros(4), Be16(width), Be16(1), Be16(depth), Zeros(10), Bytes(bytes, 0xFF)});
}
Bytes TextRecord(const std::string& text) { return Cat({Be32(std::uint32_t(text.size() + 1)), Text(text), {0}}); }
Bytes ToolTypes(const std::vector<std::string>& lines)
{
    Bytes block = Be32(std::uint32_t(4 * (lines.size() + 1)));
    for (const std::string& line : lines)
        block = Cat({block, TextRecord(line)});
    return block;
}
constexpr auto Chunk = test::IffChunk;
using test::PngChunk;
Bytes Png(const Bytes& icOn, const Bytes& ihdr = {0, 0, 0, 1, 0, 0, 0, 1, 8, 6, 0, 0, 0})
{
    return Cat({{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, PngChunk("IHDR", ihdr), PngChunk("icOn", icOn),
                PngChunk("IEND", {})});
}
// One 1x1 32-bit entry: directory, bitmap header, pixel, mask row.
Bytes Ico(std::uint8_t side = 1, std::uint32_t bytes = 48, std::uint32_t height = 2, std::uint32_t bits = 32,
          std::uint8_t reserved = 0)
{
    return Cat({{0, 0, 1, 0, 1, 0}, {side, side, 0, reserved, 1, 0, 32, 0}, Le32(bytes), Le32(22), Le32(40), Le32(1),
                Le32(height), {1, 0, std::uint8_t(bits), 0}, Zeros(24), {1, 2, 3, 4}, Zeros(4)});
}
Bytes Icns(std::uint32_t length, const Bytes& entries) { return Cat({Text("icns"), Be32(length), entries}); }
Bytes IcnsEntry(const char* type, std::uint32_t length = 9) { return Cat({Text(type), Be32(length), {0}}); }
Bytes Cut(Bytes bytes, std::size_t size) { bytes.resize(size); return bytes; }
Bytes Set(Bytes bytes, std::size_t at, const Bytes& with)
{
    std::copy(with.begin(), with.end(), bytes.begin() + std::ptrdiff_t(at));
    return bytes;
}

struct LintCase {
    const char* what;
    Bytes bytes;
    const char* findings;
    const char* fileName = "";
};
const LintCase kLintCases[] = {
    {"clean DiskObject", Cat({Header(), Plane()}), ""},
    {"DiskObject cut", Cut(Header(), 77), "problem: header cut short: 77 bytes, a DiskObject needs 78\n"},
    {"DiskObject header alone", Header(), "problem: image 1 header runs past the end of the file\n"},
    {"version, user data, image", Set(Cat({Header(0x80000001), Plane(40, 9, 2)}), 3, {2}),
     "problem: header magic/version 0xE3100002 is not E3100001\nnote: user-data word 0x80000001 has junk in its upper bytes\n"
     "problem: image 1 (40x1 at 0,0) larger than gadget 16x1\nproblem: image 1 plane depth 9 above 8\n"
     "problem: image 1 planes (54 bytes) run past the end of the file\n"},
    {"user data 0x105", Cat({Header(0x105), Plane()}), "note: user-data word 0x00000105 is neither 0 nor 1\n"},
    {"second image runs past", Cat({Header(1, 0, 0, 0, 0, 1), Plane()}), "problem: image 2 header runs past the end of the file\n"},
    {"drawer data cut", Cat({Header(1, 0, 0, 1), Zeros(55)}), "problem: drawer data runs past the end of the file\n"},
    {"no second drawer data", Cat({Header(1, 0, 0, 1), Zeros(56), Plane()}),
     "problem: second drawer data runs past the end of the file\n"},
    {"old style: one drawer data", Cat({Header(0, 0, 0, 1), Zeros(56), Plane()}), ""},
    {"NewIcons lines", Cat({Header(1, 0, 1), Plane(), ToolTypes({"", "*** DON'T EDIT THE FOLLOWING LINES!! ***", "IM1=B!",
                                                                "IM2=B!!!!", "IM2=B!!!!"})}),
     "note: tooltype 0 is empty\nproblem: NewIcons marker without a \" \" line before it\n"
     "problem: NewIcons IM1 header shorter than 9 characters\nproblem: NewIcons IM2 size 0x0 below 1\n"},
    {"NewIcons 1 x 1", Cat({Header(1, 0, 1), Plane(), ToolTypes({" ", "*** DON'T EDIT THE FOLLOWING LINES!! ***", "IM1=B\"\"!!"})}), ""},
    {"texts without NUL, runaway", Cat({Header(1, 1, 1), Plane(), Be32(3), Text("abc"), Be32(8), Be32(0x30000000), Text("x")}),
     "problem: default tool text without NUL\n"
     "problem: tooltype 0 length 805306368 runs past the end of the file (1 bytes left)\n"},
    {"tooltype word", Cat({Header(1, 0, 1, 0, 1), Plane(), Be32(5), Be32(0)}),
     "problem: tooltype count word 0x00000005 is not 4 x (tooltypes + 1)\nproblem: tool window text without NUL\n"},
    {"tooltype word 0", Cat({Header(1, 0, 1), Plane(), Be32(0)}),
     "problem: tooltype count word 0x00000000 is not 4 x (tooltypes + 1)\n"},
    {"tooltype word cut", Cat({Header(1, 0, 1), Plane(), {0, 0}}), "problem: tooltype count cut off by the end of the file\n"},
    {"tool window cut", Cat({Header(1, 0, 0, 0, 1), Plane(), {0}}), "problem: tool window length cut off by the end of the file\n"},
    {"FORM of another kind", Cat({Header(), Plane(), Chunk("FORM", Text("ILBM"))}),
     "problem: FORM after the DiskObject is not an ICON FORM\n"},
    {"icon FORM", Cat({Header(), Plane(), Text("FORM"), Be32(57), Text("ICON"), Chunk("FACE", {15, 0, 0, 0, 0, 0}),
                       Chunk("JUNK", {0}), Chunk("IMAG", {0, 1, 2, 0, 0, 9, 0, 1, 0, 5, 0, 0}), Text("IMAG"), Be32(99)}),
     "problem: FORM length 57 disagrees with the file (56 bytes after the FORM header)\n"
     "problem: unknown chunk 'JUNK' in the FORM\nproblem: IMAG depth 9 outside 1..8\n"
     "problem: IMAG counts (2 image, 6 palette bytes) larger than the chunk (12 bytes)\n"
     "problem: chunk 'IMAG' (99 bytes) runs past the FORM\n"},
    {"short IMAG, stray bytes", Cat({Header(), Plane(), Text("FORM"), Be32(23), Text("ICON"),
                                     Chunk("IMAG", {0, 0, 0, 0, 0, 1, 0, 0, 0}), Zeros(1)}),
     "problem: IMAG chunk of 9 bytes is shorter than its header\nproblem: 1 stray bytes at the end of the FORM\n"},
    {"IMAG header alone", Cat({Header(), Plane(), Text("FORM"), Be32(22), Text("ICON"), Chunk("IMAG", Zeros(10))}),
     "problem: IMAG depth 0 outside 1..8\nproblem: IMAG counts (1 image, 0 palette bytes) larger than the chunk (10 bytes)\n"},
    {"clean ICO", Ico(), ""},
    {"ICO header cut", Cut(Ico(), 5), "problem: header cut short: 5 bytes\n", "x.ico"},
    {"cursor named .ICO", Set(Ico(1, 44, 2, 32, 9), 0, {7, 0, 2}),
     "problem: reserved field 7, not 0\nproblem: type field 2, not 1 (icon)\nnote: entry 0 reserved byte 9\n"
     "note: entry 0: 32-bit bitmap without AND mask\nproblem: entry 0: needs 48 bytes, size field 44\n"
     "note: 4 bytes after the last entry\n", "odd.ICO"},
    {"cursor not named", Set(Ico(), 2, {2}), "problem: type field 2, not 1 (icon)\n"},
    {"type 3 not named", Set(Ico(), 2, {3}), ""},
    {"height not doubled, 7 bits", Ico(1, 48, 1, 7),
     "problem: entry 0: bitmap 1x0, directory 1x1 (bitmap height 1 is not twice the size)\n"
     "problem: entry 0: bit count 7 is not one the format has\n"},
    {"directory 0 means 256", Ico(0), "problem: entry 0: bitmap 1x1, directory 256x256\n"},
    {"odd height", Ico(1, 48, 3), "problem: entry 0: bitmap 1x1, directory 1x1\n"},
    {"entry past the end", Ico(1, 49), "problem: entry 0: offset 22 and size 49 run past the end of the file (70 bytes)\n"
                                         "note: 48 bytes after the last entry\n"},
    {"no entries", Cat({{0, 0, 1, 0, 0, 0}}), "problem: entry count 0\n"},
    {"directory past the end", Cat({{0, 0, 1, 0, 2, 0}, Zeros(31)}), "problem: directory of 2 entries runs past the end of the file\n"},
    {"PNG entry cut", Cat({{0, 0, 1, 0, 1, 0}, {1, 1, 0, 0, 1, 0, 32, 0}, Le32(23), Le32(22), Cut(Png({}), 23)}),
     "problem: entry 0: PNG too short for its header\n"},
    {"bitmap too short", Cut(Ico(1, 39), 61), "problem: entry 0: too short (39 bytes) for a bitmap header\n"},
    {"bitmap header only", Cut(Ico(1, 40), 62), "problem: entry 0: needs 48 bytes, size field 40\n"},
    {"clean icns", Icns(26, Cat({IcnsEntry("is32"), IcnsEntry("s8mk")})), ""},
    {"mask of icp5", Icns(26, Cat({IcnsEntry("icp5"), IcnsEntry("l8mk")})), ""},
    {"icns oddities", Cat({Icns(26, Cat({IcnsEntry("iz32"), IcnsEntry("s8mk")})), {1, 2}}),
     "problem: header length 26 disagrees with the file (28 bytes)\n"
     "problem: entry 'iz32' has a type outside the known table\nnote: 2 stray bytes after the last entry\n"
     "problem: mask 's8mk' without its image 'is32'\n"},
    {"a type of edge characters", Icns(17, IcnsEntry(" ~\x7f\\")),
     "problem: entry ' ~\\x7f\\x5c' has a type outside the known table\n"},
    {"lone t8mk", Icns(17, IcnsEntry("t8mk")), "problem: mask 't8mk' without its image 'it32'\n"},
    {"empty entry last", Icns(25, Cat({IcnsEntry("is32"), Cut(IcnsEntry("ic09", 8), 8)})), ""},
    {"entry below 8", Icns(17, IcnsEntry("is32", 7)), "problem: entry 'is32' length 7 below 8\n"},
    {"entry past the end", Icns(17, IcnsEntry("is32", 10)), "problem: entry 'is32' runs past the end of the file\n"},
    {"icns cut", Cat({Text("icns"), Zeros(3)}), "problem: header cut short: 7 bytes\n"},
    {"clean PNG icon", Png({0x80, 0, 0x10, 0x01, 0, 0, 0, 5, 0x80, 0, 0x10, 0x0B, 'A', 0, 0x80, 0, 0x10, 0x12, 0, 0, 0, 0,
                            0x80, 0, 0x10, 0x07, 0, 0, 0, 0xF}), ""},
    {"PNG icon oddities", Cat({Png({0x80, 0, 0x10, 0x07, 0, 0, 0, 0x13, 0x80, 0, 0x11, 0x07, 0, 0}), Png({0x80, 0, 0x10, 0})}),
     "note: icOn drawer flags 0x00000013 use bits above bit 3\nproblem: icOn item 0x80001107 runs past the chunk\n"
     "note: a second PNG datastream follows at byte 71\nproblem: PNG 2: icOn tag 0x80001000 outside the table\n"},
    {"PNG icon text cut", Png({0x80, 0, 0x10, 0x0A, 'x'}), "problem: icOn text of tag 0x8000100A runs past the chunk\n"},
    {"PNG icon tag cut", Png({0x80, 0, 0x10}), "problem: icOn item runs past the chunk\n"},
    {"tag 0x80001013", Png({0x80, 0, 0x10, 0x13}), "problem: icOn tag 0x80001013 outside the table\n"},
    {"chunks after IEND", Cat({Png({}), PngChunk("tEXt", {'a', 0, 'b'})}), "problem: chunks after IEND (15 bytes, starting 'tEXt')\n"},
    {"bytes after IEND", Cat({Png({}), {1, 2, 3}}), "problem: 3 bytes after IEND\n"},
    {"no IEND", Cut(Png({}), 45), "problem: no IEND chunk before the end of the file\n"},
    {"chunk past the end", Cut(Png({}), 43), "problem: chunk 'icOn' (0 bytes) runs past the end of the file\n"},
    {"not an icon", Text("hello"), ""},
};

TEST(ToolCheck, FindingsOnHandBuiltFiles)
{
    for (const LintCase& row : kLintCases) {
        SCOPED_TRACE(row.what);
        std::string text;
        for (const CheckFinding& finding : CheckIconBytes(row.bytes, row.fileName))
            text += (finding.problem ? "problem: " : "note: ") + finding.text + "\n";
        EXPECT_EQ(text, row.findings);
    }
    Bytes png = Png({});
    png[8 + 8 + 2] ^= 1;                                      // damage IHDR's data
    EXPECT_EQ(CheckIconBytes(png).at(0).text, "CRC error in chunk 'IHDR'");
}

}  // namespace
}  // namespace tessel::tool
