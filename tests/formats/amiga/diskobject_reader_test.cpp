// The DiskObject reader, end to end through the module: icons built by hand
// from the file layout (big-endian; header, drawer data, image headers and
// planes, text records, second drawer data, an optional "FORM"), loaded with
// LoadIcon and judged by the images and the attributes record the host gets.
#include "tests/support/byte_builders.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using tessel::test::Bytes;
using tessel::test::Cat;
using tessel::test::Be16;
using tessel::test::Be32;
using tessel::test::SharedModule;
namespace rt = tessel::runtime;

// A text record: 32-bit length, then the bytes exactly as given (a NUL only
// when the literal holds one).
Bytes Text(const std::string& text)
{
    return Cat({Be32(static_cast<std::uint32_t>(text.size())), Bytes(text.begin(), text.end())});
}

// A tooltype list: the count word 4 x (entries + 1), then one record each.
Bytes ToolTypes(std::initializer_list<std::string> texts)
{
    Bytes out = Be32(static_cast<std::uint32_t>(4 * (texts.size() + 1)));
    for (const std::string& text : texts)
        out = Cat({out, Text(text)});
    return out;
}

// The header fields the reader uses; the rest are fixed below.
struct Fields {
    std::uint16_t gadgetWidth = 2;
    std::uint16_t gadgetHeight = 2;
    std::uint32_t secondImage = 0;
    std::uint32_t userData = 1;
    std::uint8_t type = 3;
    std::uint32_t defaultTool = 0;
    std::uint32_t toolTypes = 0;
    std::int32_t posX = 0;
    std::int32_t posY = 0;
    std::uint32_t drawerData = 0;
    std::int32_t stackSize = 4096;
};

Bytes Header(const Fields& f)
{
    return Cat({
        {0xE3, 0x10, 0x00, 0x01},                          //  0 magic, version
        Be32(0),                                           //  4 next gadget
        {0, 0, 0, 0},                                      //  8 gadget left, top
        Be16(f.gadgetWidth), Be16(f.gadgetHeight),         // 12 gadget width, 14 height
        {0, 5, 0, 3, 0, 1},                                // 16 flags, activation, gadget type
        Be32(0x00212345),                                  // 22 first-image flag
        Be32(f.secondImage),                               // 26 second-image flag
        Be32(0), Be32(0), Be32(0),                         // 30 text, mutual exclude, special info
        {0, 0},                                            // 42 gadget id
        Be32(f.userData),                                  // 44 user data
        {f.type, 0},                                       // 48 icon type, padding
        Be32(f.defaultTool), Be32(f.toolTypes),            // 50 default-tool flag, 54 tooltypes flag
        Be32(std::uint32_t(f.posX)), Be32(std::uint32_t(f.posY)),  // 58 x, 62 y
        Be32(f.drawerData), Be32(0),                       // 66 drawer-data flag, 70 tool-window flag
        Be32(std::uint32_t(f.stackSize)),                  // 74 stack size
    });
}

// Image header: left, top, width, height, depth, then 10 bytes the reader skips.
Bytes ImageHeader(std::uint16_t left, std::uint16_t top, std::uint16_t width, std::uint16_t height,
                  std::uint16_t depth)
{
    return Cat({Be16(left), Be16(top), Be16(width), Be16(height), Be16(depth),
                {0, 0x21, 0x99, 0x10, 0x03, 0x00, 0, 0, 0, 0}});
}

// A 2x2 depth-1 image: rows of one 16-bit word, pixels (0,0) and (1,1) set.
const Bytes IMAGE_2X2 = Cat({ImageHeader(0, 0, 2, 2, 1), {0x80, 0x00, 0x40, 0x00}});
const Bytes IMAGE_2X2_PIXELS = {1, 0, 0, 1};

const std::string MARKER = "*** DON'T EDIT THE FOLLOWING LINES!! ***\0"s;
// A 1x1 NewIcons image: "B" (pen 0 transparent), width and height 1 + 33,
// colours (0x21 - 33) x 64 + (0x22 - 33) = 1; its palette, 24 zero bits, is
// 4 zero groups (0xD4). The pixel line holds one 1-bit 0 in one zero group.
const std::string IM1_HEAD = "IM1=B\"\"!\"\xD4\0"s;
const std::string IM1_PIXELS = "IM1=\xD1\0"s;

// zlib's compress2: an encoder nobody here wrote.
Bytes Deflate(const Bytes& raw)
{
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(size);
    EXPECT_EQ(compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), Z_BEST_COMPRESSION), Z_OK);
    out.resize(size);
    return out;
}

// A "FORM" "ICON" holding a "FACE" of width x height and one "ARGB" chunk
// whose pixels are A, R, G, B bytes.
Bytes ArgbForm(std::uint8_t width, std::uint8_t height, const Bytes& argb)
{
    const Bytes stream = Deflate(argb);
    const auto chunkBytes = static_cast<std::uint32_t>(10 + stream.size());
    Bytes body = Cat({
        {'I', 'C', 'O', 'N'},
        {'F', 'A', 'C', 'E'}, Be32(6),                     // FACE, 6 bytes:
        {std::uint8_t(width - 1), std::uint8_t(height - 1), 0, 0, 0x00, 0x01},   // w-1, h-1, flags, aspect, palette bytes
        {'A', 'R', 'G', 'B'}, Be32(chunkBytes),            // ARGB:
        Be32(1), Be32(static_cast<std::uint32_t>(stream.size() - 1)), {0, 0},   // header word, count - 1, reserved
        stream,
    });
    if (chunkBytes & 1)
        body.push_back(0);                                 // pad to an even length
    return Cat({{'F', 'O', 'R', 'M'}, Be32(static_cast<std::uint32_t>(body.size())), body});
}

const Bytes ARGB_2X2 = {0xFF, 0x11, 0x22, 0x33, 0x80, 0, 0, 0xFF, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};

Bytes Pixels(const IconImage* image)
{
    std::size_t n = std::size_t(image->width) * std::size_t(image->height) * (image->depth > 8 ? 4 : 1);
    return Bytes(image->pixels, image->pixels + n);
}

std::uint32_t Word(const IconImage* image, int i)
{
    std::uint32_t word;
    std::memcpy(&word, image->pixels + 4 * i, 4);
    return word;
}

// count zero bytes with a 1 at each of the given places.
Bytes OnesAt(std::size_t count, std::initializer_list<std::size_t> places)
{
    Bytes out(count, 0);
    for (std::size_t place : places)
        out.at(place) = 1;
    return out;
}

// Any single request above this many bytes fails and is noted.
void FailAbove(std::uint64_t bytes)
{
    rt::MemoryFaults faults;
    faults.failAboveBytes = bytes;
    rt::SetMemoryFaults(faults);
}

char UNTOUCHED_TEXT[] = "set by the host";
char* UNTOUCHED_TOOLTYPES[] = {UNTOUCHED_TEXT, nullptr};

class DiskObjectReader : public testing::Test {
protected:
    // Opening the module calls its InitPlugin, after which the runtime forgets
    // the memory files registered so far; open it before the first load
    // registers one.
    static void SetUpTestSuite() { SharedModule(); }

    void TearDown() override
    {
        Free();
        EXPECT_EQ(rt::LiveBlocks(), 0) << "blocks left behind";
    }

    // Loads with the attributes tag; the record's tooltypes start out as the
    // host's own list, so that an untouched list shows.
    IconHandle* Load(const Bytes& bytes)
    {
        Free();
        attributes = IconAttributes{};
        attributes.toolTypes = UNTOUCHED_TOOLTYPES;
        icon = tessel::test::LoadBytes(bytes, &attributes);
        for (IconImage* image = SharedModule().GetIconImages(icon); image; image = image->next)
            images.push_back(image);
        return icon;
    }

    void Free()
    {
        if (icon)
            SharedModule().FreeIcon(icon);
        icon = nullptr;
        images.clear();
    }

    std::vector<std::string> HostToolTypes() const
    {
        std::vector<std::string> lines;
        for (char** line = attributes.toolTypes; line && *line; ++line)
            lines.emplace_back(*line);
        return lines;
    }

    IconHandle* icon = nullptr;
    IconAttributes attributes{};
    std::vector<IconImage*> images;
};

TEST_F(DiskObjectReader, ToolIconWithNormalAndSelectedImages)
{
    const Bytes file = {
        0xE3, 0x10, 0x00, 0x01,                 //  0 magic E310, version 1
        0x00, 0x00, 0x00, 0x00,                 //  4 next gadget
        0x00, 0x00, 0x00, 0x00,                 //  8 gadget left, top
        0x00, 0x03, 0x00, 0x02,                 // 12 gadget 3 x 2
        0x00, 0x05, 0x00, 0x03, 0x00, 0x01,     // 16 flags, activation, gadget type
        0x00, 0x21, 0x23, 0x45,                 // 22 first-image flag
        0x00, 0x21, 0x23, 0x99,                 // 26 second-image flag: a selected image follows
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,     // 30 text, mutual exclude, special info
        0x00, 0x00,                             // 42 gadget id
        0x00, 0x00, 0x00, 0x01,                 // 44 user data 1
        0x03, 0x00,                             // 48 type 3 (tool), padding
        0, 0, 0, 0, 0, 0, 0, 0,                 // 50 no default tool, 54 no tooltypes
        0xFF, 0xFF, 0xFF, 0xEC,                 // 58 x = -20
        0x00, 0x00, 0x00, 0x24,                 // 62 y = 36
        0, 0, 0, 0, 0, 0, 0, 0,                 // 66 no drawer data, 70 no tool window
        0x00, 0x00, 0x20, 0x00,                 // 74 stack 8192
        0, 0, 0, 0, 0, 3, 0, 2, 0, 1,           // normal image: at 0,0, 3 x 2, depth 1
        0, 0x21, 0x99, 0x10, 0x03, 0x00, 0, 0, 0, 0,
        0xBF, 0xFF,                             // row 0: 1 0 1, then bits past the width
        0x40, 0x00,                             // row 1: 0 1 0
        0, 0, 0, 0, 0, 3, 0, 2, 0, 1,           // selected image: the same size
        0, 0x21, 0x99, 0x10, 0x03, 0x00, 0, 0, 0, 0,
        0x40, 0x00,                             // row 0: 0 1 0
        0xA0, 0x00,                             // row 1: 1 0 1
    };
    // The helper that builds the other tests' headers lays out the same bytes.
    ASSERT_EQ(Bytes(file.begin(), file.begin() + 78),
              Header({.gadgetWidth = 3, .secondImage = 0x00212399, .posX = -20, .posY = 36, .stackSize = 8192}));

    ASSERT_NE(Load(file), nullptr);
    ASSERT_EQ(images.size(), 2u);
    const IconImage* normal = images[0];
    const IconImage* selected = images[1];
    EXPECT_EQ(normal->width, 3);
    EXPECT_EQ(normal->height, 2);
    EXPECT_EQ(normal->depth, 1);
    EXPECT_EQ(normal->transparentPen, 0);
    EXPECT_EQ(normal->flags, IMAGEFLAG_PRIMARY);
    EXPECT_EQ(Pixels(normal), (Bytes{1, 0, 1, 0, 1, 0}));
    EXPECT_EQ(normal->palette[0], 0xC0C0C0u);
    EXPECT_EQ(normal->palette[1], 0x000000u);
    EXPECT_EQ(selected->flags, IMAGEFLAG_SELECTED);
    EXPECT_EQ(selected->depth, 1);
    EXPECT_EQ(selected->transparentPen, 0);
    EXPECT_EQ(Pixels(selected), (Bytes{0, 1, 0, 1, 0, 1}));

    EXPECT_EQ(attributes.type, 3);
    EXPECT_EQ(attributes.posX, -20);
    EXPECT_EQ(attributes.posY, 36);
    EXPECT_EQ(attributes.stackSize, 8192);
    EXPECT_EQ(attributes.defaultTool, nullptr);
    EXPECT_EQ(attributes.toolTypes, UNTOUCHED_TOOLTYPES);
    EXPECT_EQ(attributes.drawerWidth, 0);
    EXPECT_EQ(attributes.showAll, 0);

    // Without the second-image flag the same planes give one image.
    Bytes single = file;
    std::memset(&single[26], 0, 4);
    ASSERT_NE(Load(single), nullptr);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0]->flags, IMAGEFLAG_PRIMARY);
}

TEST_F(DiskObjectReader, PaletteFollowsDepthAndIconStyle)
{
    const std::vector<std::uint32_t> oldFour = {0x0055AA, 0xFFFFFF, 0x000000, 0xFF8800};
    const std::vector<std::uint32_t> newFour = {0x959595, 0x000000, 0xFFFFFF, 0x3B67A2};
    const std::vector<std::uint32_t> depth3Extra = {0x7B7B7B, 0xAFAFAF, 0xAA907C, 0xFFA997};
    const std::vector<std::uint32_t> default16 = {
        0xC0C0C0, 0x000000, 0xF0F0F0, 0x20C0D0, 0x0000F0, 0xF000F0, 0x00F0F0, 0xF0F0F0,
        0x602000, 0xE05000, 0x90F010, 0xE0B000, 0x5050F0, 0x9020F0, 0x00F080, 0xC0C0C0,
    };
    auto join = [](std::vector<std::uint32_t> a, const std::vector<std::uint32_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<std::uint32_t> defaultFrom4(default16.begin() + 4, default16.end());
    struct Case {
        std::uint16_t depth;
        std::uint32_t userData;
        std::vector<std::uint32_t> first;   // entries 0, 1, ...
    };
    const Case cases[] = {
        {2, 0, join(oldFour, defaultFrom4)},
        {2, 1, join(newFour, defaultFrom4)},
        {2, 0x80000001, join(newFour, defaultFrom4)},
        {3, 0, join(join(oldFour, depth3Extra), {0x602000})},
        {3, 1, join(join(newFour, depth3Extra), {0x602000})},
        {1, 0, default16},
        {4, 0, default16},
        {4, 1, default16},
        {8, 0x80000001, default16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("depth " + std::to_string(c.depth) + ", user data " + std::to_string(c.userData));
        // One pixel of value 0: each plane is one zero word.
        ASSERT_NE(Load(Cat({Header({.gadgetWidth = 1, .gadgetHeight = 1, .userData = c.userData}),
                            ImageHeader(0, 0, 1, 1, c.depth), Bytes(2u * c.depth, 0)})),
                  nullptr);
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0]->depth, c.depth);
        EXPECT_EQ(images[0]->pixels[0], 0);
        for (std::size_t i = 0; i < c.first.size(); ++i)
            EXPECT_EQ(images[0]->palette[i], c.first[i]) << "entry " << i;
        if (c.depth == 8) {
            // The shaded groups and the last four accents.
            const std::uint32_t group1[] = {0x80F0F0, 0x408080, 0xC0F0F0, 0x60C0C0, 0x204040, 0xA0F0F0, 0xE0F0F0};
            for (int i = 0; i < 7; ++i)
                EXPECT_EQ(images[0]->palette[39 + i], group1[i]) << "entry " << 39 + i;
            const std::uint32_t last[] = {0xE04040, 0x50D050, 0x0040D0, 0xE09000};
            for (int i = 0; i < 4; ++i)
                EXPECT_EQ(images[0]->palette[252 + i], last[i]) << "entry " << 252 + i;
        }
    }
}

TEST_F(DiskObjectReader, PlanesAreCopiedFromTheTopLeftAndCutToTheGadget)
{
    // A 50-pixel row in four words: columns 0, 15, 16, 17, 43, 44 and 48 to
    // 63 set (50 to 63 lie past the image's width).
    const Bytes row50 = {0x80, 0x01, 0xC0, 0x00, 0x00, 0x18, 0xFF, 0xFF};
    struct Case {
        const char* what;
        std::uint16_t gadgetWidth, gadgetHeight;
        Bytes image;          // header and planes
        Bytes expected;       // gadget width x gadget height
    };
    const Case cases[] = {
        {"50 wide in a gadget 48 wide: the first 48 columns", 48, 1,
         Cat({ImageHeader(0, 0, 50, 1, 1), row50}), OnesAt(48, {0, 15, 16, 17, 43, 44})},
        {"left edge 4: the first 44 columns, at columns 0 to 43", 48, 1,
         Cat({ImageHeader(4, 0, 50, 1, 1), row50}), OnesAt(48, {0, 15, 16, 17, 43})},
        {"left edge past the gadget: nothing copied", 48, 1,
         Cat({ImageHeader(60, 0, 50, 1, 1), row50}), Bytes(48, 0)},
        {"top edge 1: only the first row, at row 0", 2, 2,
         Cat({ImageHeader(0, 1, 2, 3, 1), {0x80, 0, 0x40, 0, 0xC0, 0}}), {1, 0, 0, 0}},
        {"taller than the gadget: the first rows", 2, 2,
         Cat({ImageHeader(0, 0, 2, 3, 1), {0x80, 0, 0x40, 0, 0xC0, 0}}), {1, 0, 0, 1}},
        {"gadget larger than the image: the rest stays 0", 4, 3,
         Cat({ImageHeader(0, 0, 2, 2, 1), {0xC0, 0, 0x40, 0}}), {1, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}},
        {"depth 0: no planes, every pixel 0", 4, 2, ImageHeader(0, 0, 4, 2, 0), Bytes(8, 0)},
        // Plane p gives bit p of the value: planes 0x55, 0x33, 0x0F count 0 to 7.
        {"three planes, plane 0 first", 8, 1,
         Cat({ImageHeader(0, 0, 8, 1, 3), {0x55, 0, 0x33, 0, 0x0F, 0}}), {0, 1, 2, 3, 4, 5, 6, 7}},
        // 17 pixels take two words a row; the second row starts at byte 4.
        {"two words a row", 17, 2,
         Cat({ImageHeader(0, 0, 17, 2, 1), {0, 0, 0x80, 0, 0x80, 0, 0, 0}}), OnesAt(34, {16, 17})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(Load(Cat({Header({.gadgetWidth = c.gadgetWidth, .gadgetHeight = c.gadgetHeight}), c.image})),
                  nullptr);
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0]->width, c.gadgetWidth);
        EXPECT_EQ(images[0]->height, c.gadgetHeight);
        EXPECT_EQ(Pixels(images[0]), c.expected);
    }
}

TEST_F(DiskObjectReader, BadSizesAndLengthsFailWithoutLargeAllocations)
{
    const Bytes plain = Header({});
    const Bytes withTool = Header({.defaultTool = 1});
    const Bytes withTypes = Header({.toolTypes = 1});
    Bytes hugeImage = Cat({plain, ImageHeader(0, 0, 65535, 65535, 8)});
    hugeImage.resize(200, 0);
    struct Case {
        const char* what;
        Bytes file;
    };
    const Case cases[] = {
        {"nine planes", Cat({plain, ImageHeader(0, 0, 1, 1, 9), Bytes(18, 0xFF)})},
        {"eight planes of 65535 x 65535 in 200 bytes", hugeImage},
        {"plane data cut short", Cat({plain, ImageHeader(0, 0, 16, 2, 1), {1, 2, 3}})},
        {"gadget without area, plane data cut short",
         Cat({Header({.gadgetWidth = 0, .gadgetHeight = 0}), ImageHeader(0, 0, 16, 2, 1), {1, 2, 3}})},
        {"gadget of 65535 x 65535", Cat({Header({.gadgetWidth = 65535, .gadgetHeight = 65535}), IMAGE_2X2})},
        {"default tool of 0xFFFFFFF0 bytes", Cat({withTool, IMAGE_2X2, Be32(0xFFFFFFF0), {'a', 'b', 'c', 0}})},
        {"default tool cut short", Cat({withTool, IMAGE_2X2, Be32(10), {'a', 'b', 'c', 0}})},
        {"tooltype count 0x7FFFFFFC in a short file", Cat({withTypes, IMAGE_2X2, Be32(0x7FFFFFFC), Text("A\0"s)})},
        {"tooltype text longer than the file", Cat({withTypes, IMAGE_2X2, Be32(8), Be32(0x30000000), {'A', 'B'}})},
        {"fewer tooltype texts than counted", Cat({withTypes, IMAGE_2X2, Be32(16), Text("A\0"s), Text("B\0"s)})},
        {"tooltype length cut short", Cat({withTypes, IMAGE_2X2, Be32(8), {0, 0}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FailAbove(4096);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Load(c.file), nullptr);
        auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_FALSE(rt::MemoryFaultFired()) << "asked for a block sized by a damaged field";
        rt::ClearMemoryFaults();
        EXPECT_LT(elapsed, std::chrono::seconds(2)) << "a count word drove a long loop";
        EXPECT_EQ(rt::LiveBlocks(), 0);
    }
}

TEST_F(DiskObjectReader, DefaultToolTexts)
{
    struct Case {
        const char* what;
        Bytes record;
        const char* expected;     // null: no default tool
    };
    const Case cases[] = {
        {"ended by its NUL", Text("abc\0"s), "abc"},
        {"without a NUL, before other bytes", Cat({Text("abc"), {'X', 'Y', 'Z'}}), "abc"},
        {"length 0", Cat({Be32(0), {'X', 'Y', 'Z'}}), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(Load(Cat({Header({.defaultTool = 1}), IMAGE_2X2, c.record})), nullptr);
        if (c.expected) {
            ASSERT_NE(attributes.defaultTool, nullptr);
            EXPECT_STREQ(attributes.defaultTool, c.expected);
        } else {
            EXPECT_EQ(attributes.defaultTool, nullptr);
        }
        EXPECT_EQ(Pixels(images.at(0)), IMAGE_2X2_PIXELS);
    }
}

TEST_F(DiskObjectReader, ToolTypeTexts)
{
    using Lines = std::vector<std::string>;
    struct Case {
        const char* what;
        Bytes list;
        std::optional<Lines> expected;    // none: the host's list stays as it was
        std::int64_t blocks;              // tooltype blocks held by the icon
    };
    const Case cases[] = {
        {"count word 0 at the end of the file", Be32(0), std::nullopt, 1},
        {"negative count word", Cat({Be32(0xFFFFFFF8), Text("A\0"s)}), std::nullopt, 1},
        {"count word 4: no entries", Cat({Be32(4), {'X', 'Y'}}), std::nullopt, 0},
        {"texts with and without their NUL", ToolTypes({"AB", "CD\0"s}), Lines{"AB", "CD"}, 1},
        {"a text ends at its first NUL", ToolTypes({"AB\0CD\0"s, "E\0"s}), Lines{"AB", "E"}, 1},
        {"empty text of length 0 is dropped", ToolTypes({"A\0"s, "", "B\0"s}), Lines{"A", "B"}, 1},
        {"empty text of one NUL is dropped", ToolTypes({"A\0"s, "\0"s, "B\0"s}), Lines{"A", "B"}, 1},
        {"only an empty text", ToolTypes({"\0"s}), std::nullopt, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(Load(Cat({Header({.toolTypes = 1}), IMAGE_2X2, c.list})), nullptr);
        if (c.expected) {
            EXPECT_EQ(HostToolTypes(), *c.expected);
        } else {
            EXPECT_EQ(attributes.toolTypes, UNTOUCHED_TOOLTYPES);
        }
        EXPECT_EQ(rt::LiveBlocks("tooltypes"), c.blocks);
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(Pixels(images[0]), IMAGE_2X2_PIXELS);
    }
}

TEST_F(DiskObjectReader, NewIconsLinesNeedTheSpaceLineAndTheMarker)
{
    using Lines = std::vector<std::string>;
    struct Case {
        const char* what;
        Bytes list;
        Lines expected;
        bool newIcons;
    };
    const Case cases[] = {
        {"space line, marker, image lines", ToolTypes({"A\0"s, " \0"s, MARKER, IM1_HEAD, IM1_PIXELS}), {"A"}, true},
        {"an empty text between space line and marker",
         ToolTypes({"A\0"s, " \0"s, ""s, MARKER, IM1_HEAD, IM1_PIXELS}), {"A"}, true},
        {"marker without a space line", ToolTypes({"A\0"s, MARKER, IM1_HEAD, IM1_PIXELS}),
         {"A", MARKER.substr(0, MARKER.size() - 1)}, false},
        {"space line not right before the marker",
         ToolTypes({" \0"s, "A\0"s, MARKER, IM1_HEAD, IM1_PIXELS}), {" ", "A", MARKER.substr(0, MARKER.size() - 1)},
         false},
        {"image lines without a marker", ToolTypes({"A\0"s, IM1_HEAD, IM1_PIXELS}), {"A"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(Load(Cat({Header({.toolTypes = 1}), IMAGE_2X2, c.list})), nullptr);
        EXPECT_EQ(HostToolTypes(), c.expected);
        ASSERT_EQ(images.size(), c.newIcons ? 2u : 1u);
        EXPECT_EQ(Pixels(images[0]), IMAGE_2X2_PIXELS);
        EXPECT_EQ(images[0]->flags, c.newIcons ? 0u : IMAGEFLAG_PRIMARY);
        if (!c.newIcons)
            continue;
        const IconImage* image = images[1];
        EXPECT_EQ(image->flags, IMAGEFLAG_PRIMARY);
        EXPECT_EQ(image->width, 1);
        EXPECT_EQ(image->height, 1);
        EXPECT_EQ(image->depth, 1);
        EXPECT_EQ(image->transparentPen, 0);
        EXPECT_EQ(image->pixels[0], 0);
        EXPECT_EQ(image->palette[0], 0x000000u);
    }
}

TEST_F(DiskObjectReader, GadgetWithoutAreaLeavesTheChunkImagePrimary)
{
    const Bytes file = Cat({
        Header({.gadgetWidth = 0, .gadgetHeight = 0}),
        ImageHeader(0, 0, 16, 2, 1), {0xFF, 0xFF, 0x80, 0x01},   // planes read, no image made
        ArgbForm(2, 2, ARGB_2X2),
    });
    ASSERT_NE(Load(file), nullptr);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0]->flags, IMAGEFLAG_PRIMARY);
    EXPECT_EQ(images[0]->depth, 32);
    EXPECT_EQ(images[0]->width, 2);
    EXPECT_EQ(images[0]->height, 2);
    EXPECT_EQ(Word(images[0], 0), 0xFF112233u);
    EXPECT_EQ(Word(images[0], 1), 0x800000FFu);
    EXPECT_EQ(Word(images[0], 3), 0xFFFFFFFFu);
}

TEST_F(DiskObjectReader, DrawerWindowAndSecondDrawerData)
{
    // left 0xFFFF (-1 on disk, read unsigned), top 10, 320 x 200, then 48
    // bytes of window record and scroll position the reader skips.
    const Bytes drawer = Cat({{0xFF, 0xFF, 0, 10, 0x01, 0x40, 0, 200}, Bytes(48, 0xEE)});
    struct Case {
        const char* what;
        std::uint32_t userData;
        Bytes after;          // after the image
        int showAll;
        int viewMode;
    };
    const Case cases[] = {
        {"show all, view mode 0", 1, {0, 0, 0, 2, 0, 0}, 1, 1},
        {"other flag bits, view mode 3", 0x80000001, {0xFF, 0xFF, 0xFF, 0xFD, 0, 3}, 0, 3},
        {"old-style icon: not read", 0, {0, 0, 0, 2, 0, 4}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(Load(Cat({Header({.userData = c.userData, .type = 2, .drawerData = 1}), drawer, IMAGE_2X2, c.after})),
                  nullptr);
        EXPECT_EQ(attributes.type, 2);
        EXPECT_EQ(attributes.drawerLeft, 65535);
        EXPECT_EQ(attributes.drawerTop, 10);
        EXPECT_EQ(attributes.drawerWidth, 320);
        EXPECT_EQ(attributes.drawerHeight, 200);
        EXPECT_EQ(attributes.showAll, c.showAll);
        EXPECT_EQ(attributes.viewMode, c.viewMode);
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(Pixels(images[0]), IMAGE_2X2_PIXELS);
    }
}

TEST_F(DiskObjectReader, BytesAfterTheIconThatAreNoFormAreIgnored)
{
    const Bytes tails[] = {
        {'T', 'O', 'O', 'L', 'W', 0},             // six stray bytes
        {'F', 'O', 'R'},                          // shorter than an id
        {'F', 'O', 'R', 'X', 0, 0, 0, 4, 'I', 'C', 'O', 'N'},
    };
    for (const Bytes& tail : tails) {
        SCOPED_TRACE(std::string(tail.begin(), tail.begin() + 3));
        ASSERT_NE(Load(Cat({Header({}), IMAGE_2X2, tail})), nullptr);
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0]->flags, IMAGEFLAG_PRIMARY);
        EXPECT_EQ(Pixels(images[0]), IMAGE_2X2_PIXELS);
    }
}

// Two classic images, a default tool, tooltypes with a NewIcons image, a
// FORM with an "ARGB" chunk.
Bytes FullIcon()
{
    return Cat({
        Header({.secondImage = 1, .defaultTool = 1, .toolTypes = 1}),
        IMAGE_2X2,
        ImageHeader(0, 0, 2, 2, 1), {0x40, 0x00, 0x80, 0x00},    // selected: (1,0) and (0,1)
        Text("C:Run\0"s),
        ToolTypes({"DONOTWAIT\0"s, " \0"s, MARKER, IM1_HEAD, IM1_PIXELS}),
        ArgbForm(2, 2, ARGB_2X2),
    });
}

TEST_F(DiskObjectReader, FullIconUnderEveryAllocationFailure)
{
    const Bytes file = FullIcon();
    std::uint64_t failedRuns = tessel::test::SweepAllocationFailures([&] {
        if (!Load(file)) {
            EXPECT_EQ(attributes.defaultTool, nullptr) << "the host's record was written by a failed load";
            EXPECT_EQ(attributes.toolTypes, UNTOUCHED_TOOLTYPES);
            return false;
        }
        EXPECT_EQ(images.size(), 4u);
        Free();
        return true;
    });
    // At least: the handle; record, pixels and palette of three palette
    // images and the chunk image's record and pixels; the default tool; the
    // tooltype block; the host's tooltype list.
    EXPECT_GE(failedRuns, 15u);
    EXPECT_EQ(rt::LiveBlocks(), 0);

    ASSERT_NE(Load(file), nullptr);
    ASSERT_EQ(images.size(), 4u);
    // Classic, classic selected, NewIcons, chunk: the last image set read,
    // the chunk's, carries the primary flag.
    const std::uint32_t flags[] = {0, IMAGEFLAG_SELECTED, 0, IMAGEFLAG_PRIMARY};
    const int depths[] = {1, 1, 1, 32};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(images[i]->flags, flags[i]) << i;
        EXPECT_EQ(images[i]->depth, depths[i]) << i;
    }
    EXPECT_EQ(Pixels(images[1]), (Bytes{0, 1, 1, 0}));
    EXPECT_EQ(images[2]->width, 1);
    EXPECT_EQ(Word(images[3], 0), 0xFF112233u);
    EXPECT_STREQ(attributes.defaultTool, "C:Run");
    EXPECT_EQ(HostToolTypes(), (std::vector<std::string>{"DONOTWAIT"}));
}

TEST_F(DiskObjectReader, CorpusIconsWithTooltypesPastTheEndGiveNull)
{
    // Both files hold a tooltype length that runs past the end of the file.
    for (const char* name : {"amiga/aros-switch.info", "amiga/aros-switch.guide.info"}) {
        SCOPED_TRACE(name);
        const Bytes bytes = tessel::test::ReadFileBytes(std::string(TESSEL_CORPUS_DIR) + "/" + name);
        ASSERT_GT(bytes.size(), 78u);
        FailAbove(1u << 20);
        EXPECT_EQ(Load(bytes), nullptr);
        EXPECT_FALSE(rt::MemoryFaultFired());
        rt::ClearMemoryFaults();
        EXPECT_EQ(rt::LiveBlocks(), 0);
    }
}

}  // namespace
