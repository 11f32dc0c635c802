// The Windows icon reader: icons built by hand from the file layout (header,
// directory, bitmap header, palette, pixel rows, mask rows, all
// little-endian), damaged and hostile directories, the load budget, the
// allocation-failure sweep, and every corpus icon judged by Pillow and
// ImageMagick.
#include "formats/windows/windows_icon.h"
#include "host/host_calls.h"
#include "icon/icon_model.h"
#include "io/byte_io.h"
#include "plugin/entry_points.h"
#include "tests/support/byte_builders.h"
#include "tests/support/reader_harness.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace rt = tessel::runtime;
using tessel::test::Bytes;
using tessel::test::Cat;
using tessel::test::Le16;
using tessel::test::Le32;

// Header: reserved 0, type 1, entry count.
Bytes Header(std::uint32_t count)
{
    return Cat({Le16(0), Le16(1), Le16(count)});
}

// Directory entry: width, height, colours, reserved, planes, bit count, bytes, offset.
Bytes Entry(std::uint8_t width, std::uint8_t height, std::uint32_t bitCount, std::uint32_t bytes,
            std::uint32_t offset)
{
    return Cat({{width, height, 0, 0}, Le16(1), Le16(bitCount), Le32(bytes), Le32(offset)});
}

// Bitmap information header: 40, width, height x 2, planes 1, bit count,
// compression, image bytes, resolutions, colours used, colours important.
Bytes BitmapHeader(std::int32_t width, std::int32_t heightField, std::uint32_t bitCount,
                   std::uint32_t coloursUsed = 0)
{
    return Cat({Le32(40), Le32(std::uint32_t(width)), Le32(std::uint32_t(heightField)), Le16(1),
                Le16(bitCount), Le32(0), Le32(0), Le32(0), Le32(0), Le32(coloursUsed), Le32(0)});
}

IconHandle* LoadIco(const Bytes& bytes)
{
    return tessel::test::LoadWithReader(bytes, 0x00000100, &LoadWinIcon, "ico");
}

using tessel::test::Images;

Bytes Indices(const IconImage* image)
{
    return Bytes(image->pixels, image->pixels + std::size_t(image->width) * std::size_t(image->height));
}

std::vector<std::uint32_t> Words(const IconImage* image)
{
    const auto* words = reinterpret_cast<const std::uint32_t*>(image->pixels);
    return std::vector<std::uint32_t>(words, words + std::size_t(image->width) * std::size_t(image->height));
}

// ARGB as a viewer shows it: palette images through their palette, the
// transparent pen as 0.
std::vector<std::uint32_t> Argb(const IconImage* image)
{
    if (image->depth > 8)
        return Words(image);
    std::vector<std::uint32_t> out;
    for (std::uint8_t index : Indices(image))
        out.push_back(index == image->transparentPen ? 0u : 0xFF000000u | image->palette[index]);
    return out;
}

class IcoReader : public testing::Test {
protected:
    void TearDown() override
    {
        rt::ClearMemoryFaults();
        EXPECT_EQ(rt::LiveBlocks(), 0);
    }
};

TEST_F(IcoReader, OneBitEntryComesOutTopDown)
{
    const Bytes file = Cat({
        Header(1),
        Entry(2, 2, 1, 64, 22),
        BitmapHeader(2, 4, 1),
        {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0},                // palette: black, white (B G R -)
        {0x40, 0, 0, 0, 0x80, 0, 0, 0},                   // pixel rows, bottom row first
        {0, 0, 0, 0, 0, 0, 0, 0},                         // mask rows: all opaque
    });
    IconHandle* icon = LoadIco(file);
    ASSERT_NE(icon, nullptr);
    std::vector<IconImage*> images = Images(icon);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0]->depth, 1);
    EXPECT_EQ(Indices(images[0]), (Bytes{1, 0,            // top row
                                         0, 1}));         // bottom row
    EXPECT_EQ(images[0]->palette[0], 0x000000u);
    EXPECT_EQ(images[0]->palette[1], 0xFFFFFFu);
    EXPECT_EQ(images[0]->transparentPen, -1);             // both indices in use, nothing masked
    EXPECT_EQ(icon->type, 0);
    FreeIcon(icon);
}

// Three entries, one of each palette depth; expectations from the layout.
TEST_F(IcoReader, PaletteEntriesWithMasks)
{
    Bytes palette256;
    for (std::uint32_t i = 0; i < 256; ++i)
        palette256 = Cat({palette256, {std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i ^ 0x55), 0xEE}});
    // 4 bits, 3 x 2, 3 colours used: rows of 4 bytes, high nibble first.
    const Bytes four = Cat({
        BitmapHeader(3, 4, 4, 3),
        {0x10, 0x20, 0x30, 0, 0x40, 0x50, 0x60, 0, 0x70, 0x80, 0x90, 0},   // palette: 3 entries
        {0x12, 0x0F, 0, 0,                                // bottom row: 1 2 0 (F is past the width)
         0x21, 0x20, 0, 0},                               // top row: 2 1 2
        {0x40, 0, 0, 0,                                   // bottom mask: pixel 1 transparent
         0x00, 0, 0, 0},
    });
    // 8 bits, 2 x 2, colours used 0: 256 palette entries, rows of 4 bytes.
    const Bytes eight = Cat({
        BitmapHeader(2, 4, 8, 0),
        palette256,
        {200, 201, 0xAA, 0xAA, 7, 0, 0xAA, 0xAA},         // bottom row 200 201, top row 7 0
        {0, 0, 0, 0, 0, 0, 0, 0},
    });
    // 1 bit, width 20: 3 data bytes and 1 filler byte per pixel and mask row;
    // colours used 300 is out of range, so 2 entries.
    const Bytes one = Cat({
        BitmapHeader(20, 2, 1, 300),
        {0, 0, 0, 0, 0x10, 0x20, 0x30, 0},
        {0xF0, 0x00, 0x10, 0xFF},                         // pixels 0-3 and 19; filler 0xFF
        {0x00, 0x00, 0x0F, 0xFF},                         // bits past the width and filler: not pixels
    });
    const std::uint32_t base = 6 + 3 * 16;
    const Bytes file = Cat({
        Header(3),
        Entry(3, 2, 4, std::uint32_t(four.size()), base),
        Entry(2, 2, 8, std::uint32_t(eight.size()), base + std::uint32_t(four.size())),
        Entry(20, 1, 1, std::uint32_t(one.size()), base + std::uint32_t(four.size() + eight.size())),
        four, eight, one,
    });
    IconHandle* icon = LoadIco(file);
    ASSERT_NE(icon, nullptr);
    std::vector<IconImage*> images = Images(icon);
    ASSERT_EQ(images.size(), 3u);

    EXPECT_EQ(images[0]->depth, 4);
    EXPECT_EQ(images[0]->transparentPen, 3);              // 0, 1, 2 in use
    EXPECT_EQ(Indices(images[0]), (Bytes{2, 1, 2, 1, 3, 0}));
    EXPECT_EQ(images[0]->palette[0], 0x302010u);
    EXPECT_EQ(images[0]->palette[2], 0x908070u);
    EXPECT_EQ(images[0]->palette[3], 0u);

    EXPECT_EQ(images[1]->depth, 8);
    EXPECT_EQ(Indices(images[1]), (Bytes{7, 0, 200, 201}));
    EXPECT_EQ(images[1]->palette[201], 0x9C36C9u);        // B 201, G 54, R 201 ^ 0x55
    EXPECT_EQ(images[1]->transparentPen, -1);             // a free index, but nothing masked

    EXPECT_EQ(images[2]->depth, 1);
    EXPECT_EQ(images[2]->width, 20);
    EXPECT_EQ(images[2]->height, 1);
    Bytes row(20, 0);
    row[0] = row[1] = row[2] = row[3] = row[19] = 1;
    EXPECT_EQ(Indices(images[2]), row);
    EXPECT_EQ(images[2]->palette[1], 0x302010u);
    EXPECT_EQ(images[2]->transparentPen, -1);
    FreeIcon(icon);
}

// 24 bits: opaque words, the mask gives alpha 0; rows padded to 4 bytes.
// 32 bits: the file's alpha stands, and the mask (here: all transparent, then
// the end of the file) is never read.
TEST_F(IcoReader, TrueColourEntries)
{
    const Bytes twentyFour = Cat({
        BitmapHeader(2, 4, 24),
        {1, 2, 3, 4, 5, 6, 0xEE, 0xEE,                   // bottom row, 2 filler bytes
         7, 8, 9, 10, 11, 12, 0xEE, 0xEE},               // top row
        {0x80, 0, 0, 0, 0x40, 0, 0, 0},                   // bottom pixel 0, top pixel 1
    });
    const Bytes thirtyTwo = Cat({
        BitmapHeader(2, 2, 32),
        {1, 2, 3, 0, 4, 5, 6, 0x80},                      // one row: alpha 0 and 0x80
        {0xFF, 0xFF, 0xFF, 0xFF},                         // a mask claiming all transparent
    });
    const Bytes file = Cat({
        Header(2),
        Entry(2, 2, 24, std::uint32_t(twentyFour.size()), 38),
        Entry(2, 1, 32, 0, 38 + std::uint32_t(twentyFour.size())),
        twentyFour, thirtyTwo,
    });
    IconHandle* icon = LoadIco(file);
    ASSERT_NE(icon, nullptr);
    std::vector<IconImage*> images = Images(icon);
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0]->depth, 32);
    EXPECT_EQ(images[0]->transparentPen, -1);
    EXPECT_EQ(Words(images[0]), (std::vector<std::uint32_t>{0xFF090807, 0x000C0B0A,
                                                            0x00030201, 0xFF060504}));
    EXPECT_EQ(images[1]->depth, 32);
    EXPECT_EQ(Words(images[1]), (std::vector<std::uint32_t>{0x00030201, 0x80060504}));
    FreeIcon(icon);

    // The same 32-bit entry with its file cut right after the pixels.
    Bytes cut(file.begin(), file.end() - 4);
    icon = LoadIco(cut);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(Words(Images(icon)[1]), (std::vector<std::uint32_t>{0x00030201, 0x80060504}));
    FreeIcon(icon);
}

std::vector<std::uint32_t> Picture(std::int32_t width, std::int32_t height, std::uint32_t seed)
{
    std::vector<std::uint32_t> pixels;
    for (std::int32_t i = 0; i < width * height; ++i)
        pixels.push_back((std::uint32_t(i) * 0x9E3779B1u + seed) | (i % 3 ? 0xFF000000u : 0u));
    return pixels;
}

Bytes PngBytes(const std::vector<std::uint32_t>& pixels, std::int32_t width, std::int32_t height)
{
    Bytes png;
    EXPECT_TRUE(rt::EncodePng(pixels.data(), width, height, png));
    return png;
}

// A PNG entry takes the PNG's own size, whatever its directory entry says
// (here 16 x 16 at 32 bits); a bitmap after it still loads.
TEST_F(IcoReader, PngEntryKeepsItsOwnSize)
{
    std::vector<std::uint32_t> picture = Picture(3, 5, 11);
    Bytes png = PngBytes(picture, 3, 5);
    const Bytes bitmap = Cat({BitmapHeader(1, 2, 32), {9, 8, 7, 0xFF}});
    const Bytes file = Cat({
        Header(2),
        Entry(16, 16, 32, std::uint32_t(png.size()), 38),
        Entry(1, 1, 32, 44, 38 + std::uint32_t(png.size())),
        png, bitmap,
    });
    IconHandle* icon = LoadIco(file);
    ASSERT_NE(icon, nullptr);
    std::vector<IconImage*> images = Images(icon);
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0]->width, 3);
    EXPECT_EQ(images[0]->height, 5);
    EXPECT_EQ(images[0]->depth, 32);
    EXPECT_EQ(Words(images[0]), picture);
    EXPECT_EQ(Words(images[1]), std::vector<std::uint32_t>{0xFF070809});
    FreeIcon(icon);
    EXPECT_EQ(rt::LiveImages(), 0);

    // The same PNG with its stated size cut into its image data cannot decode.
    Bytes shortPng = file;
    shortPng[6 + 8] = std::uint8_t(png.size() - 16);
    shortPng[6 + 9] = std::uint8_t((png.size() - 16) >> 8);
    EXPECT_EQ(LoadIco(shortPng), nullptr);
}

// A 24-bit image gives way to another image of its size; of several 24-bit
// images of one size alone, the last stays. Sizes differ from 2 x 2 only in
// the last case.
TEST_F(IcoReader, TwentyFourBitImagesGiveWay)
{
    auto bmp24 = [](std::uint8_t blue, std::int32_t side) {
        Bytes rows;
        for (std::int32_t i = 0; i < side; ++i)
            rows = Cat({rows, Bytes(std::size_t(side) * 3, blue), Bytes((4 - side * 3 % 4) % 4, 0)});
        return Cat({BitmapHeader(side, side * 2, 24), rows, Bytes(std::size_t(side) * 4, 0)});
    };
    const Bytes bmp8 = Cat({BitmapHeader(2, 4, 8, 1), {0, 0, 0, 0}, Bytes(8, 0), Bytes(8, 0)});
    auto icoOf = [](std::initializer_list<Bytes> entries) {
        Bytes directory;
        Bytes data;
        std::uint32_t offset = 6 + 16 * std::uint32_t(entries.size());
        for (const Bytes& entry : entries) {
            directory = Cat({directory, Entry(0, 0, 0, std::uint32_t(entry.size()), offset + std::uint32_t(data.size()))});
            data = Cat({data, entry});
        }
        return Cat({Header(std::uint32_t(entries.size())), directory, data});
    };
    struct Case {
        const char* what;
        Bytes file;
        std::vector<std::uint32_t> blues;   // surviving images: blue of pixel 0, or 0x100 for the 8-bit one
    };
    const Case cases[] = {
        {"24 then 8", icoOf({bmp24(1, 2), bmp8}), {0x100}},
        {"8 then 24", icoOf({bmp8, bmp24(1, 2)}), {0x100}},
        {"two 24", icoOf({bmp24(1, 2), bmp24(2, 2)}), {2}},
        {"three 24 and a 3x3", icoOf({bmp24(1, 2), bmp24(5, 3), bmp24(2, 2), bmp24(3, 2)}), {5, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IconHandle* icon = LoadIco(c.file);
        ASSERT_NE(icon, nullptr);
        std::vector<std::uint32_t> blues;
        for (const IconImage* image : Images(icon))
            blues.push_back(image->depth == 8 ? 0x100 : Words(image)[0] & 0xFF);
        EXPECT_EQ(blues, c.blues);
        FreeIcon(icon);
    }
}

// The directory caps the bitmap's size, its 0 standing for 256 before the
// comparison. A narrower directory reads rows at its own width: 2 pixels of
// data and the filler for 2 pixels.
TEST_F(IcoReader, DirectorySizesCapTheBitmap)
{
    const Bytes wideBitmap = Cat({
        BitmapHeader(4, 4, 8, 1), {0, 0, 0, 0},
        {1, 2, 3, 4,                                      // read as row 1 (2 pixels + 2 filler)
         5, 6, 7, 8},                                     // read as row 0
        Bytes(8, 0),
    });
    IconHandle* icon = LoadIco(Cat({Header(1), Entry(2, 2, 8, 0, 22), wideBitmap}));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(Images(icon)[0]->width, 2);
    EXPECT_EQ(Indices(Images(icon)[0]), (Bytes{5, 6, 1, 2}));
    FreeIcon(icon);

    // Directory 0 x 0 (256) with a 5 x 3 bitmap: 5 x 3, not 256 x 256.
    const Bytes small = Cat({BitmapHeader(5, 6, 32), Bytes(5 * 4 * 3, 0x40)});
    icon = LoadIco(Cat({Header(1), Entry(0, 0, 32, 0, 22), small}));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(Images(icon)[0]->width, 5);
    EXPECT_EQ(Images(icon)[0]->height, 3);
    FreeIcon(icon);
}

// Damaged and hostile files fail cleanly.
TEST_F(IcoReader, DamagedFilesFail)
{
    const Bytes good = Cat({BitmapHeader(2, 4, 8, 1), {1, 2, 3, 0}, Bytes(16, 0)});
    struct Case {
        const char* what;
        Bytes file;
    };
    const Case cases[] = {
        {"no entries", Header(0)},
        {"three bytes", {0, 0, 1}},
        {"directory past the end", Cat({Header(3), Entry(2, 2, 8, 0, 22)})},
        {"offset at the end", Cat({Header(1), Entry(2, 2, 8, 0, 22 + std::uint32_t(good.size())), good})},
        {"offset far beyond", Cat({Header(1), Entry(2, 2, 8, 0, 0xFFFFFFF0), good})},
        {"width -16", Cat({Header(1), Entry(16, 16, 8, 0, 22), BitmapHeader(-16, 32, 8, 1), Bytes(600, 0)})},
        {"width 0", Cat({Header(1), Entry(16, 16, 8, 0, 22), BitmapHeader(0, 32, 8, 1), Bytes(600, 0)})},
        {"height field 1", Cat({Header(1), Entry(16, 16, 8, 0, 22), BitmapHeader(16, 1, 8, 1), Bytes(600, 0)})},
        {"16 bits", Cat({Header(1), Entry(2, 2, 16, 0, 22), BitmapHeader(2, 4, 16), Bytes(32, 0)})},
        {"palette cut short", Cat({Header(1), Entry(2, 2, 8, 0, 22), BitmapHeader(2, 4, 8, 200), Bytes(20, 0)})},
        {"second entry bad", Cat({Header(2), Entry(2, 2, 8, 0, 38), Entry(2, 2, 8, 0, 5000), good})},
        {"PNG claiming past the end",
         Cat({Header(1), Entry(1, 1, 32, 200, 22), {0x89, 'P', 'N', 'G', 13, 10, 26, 10}, Bytes(100, 0)})},
        {"PNG header with garbage", Cat({Header(1), Entry(1, 1, 32, 40, 22), Bytes(12, 0),
                                         {'I', 'H', 'D', 'R', 0, 0, 0, 1, 0, 0, 0, 1}, Bytes(16, 0)})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IconHandle* icon = LoadIco(c.file);
        EXPECT_EQ(icon, nullptr);
        FreeIcon(icon);
        EXPECT_EQ(rt::LiveBlocks(), 0);
        EXPECT_EQ(rt::LiveImages(), 0);
    }
    // The entry the damaged ones start from loads on its own.
    IconHandle* icon = LoadIco(Cat({Header(1), Entry(2, 2, 8, 0, 22), good}));
    EXPECT_NE(icon, nullptr);
    FreeIcon(icon);
}

// A PNG entry claiming 0xFFFFFFF0 bytes in a 1 KB file is refused before any
// large block is asked for.
TEST_F(IcoReader, HugePngSizeFailsBeforeAllocating)
{
    Bytes file = Cat({Header(1), Entry(0, 0, 32, 0xFFFFFFF0, 22),
                      {0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0, 0, 0, 13, 'I', 'H', 'D', 'R'}});
    file.resize(1024, 0);
    rt::MemoryFaults faults;
    faults.failAboveBytes = 1 << 20;
    rt::SetMemoryFaults(faults);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LoadIco(file), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_FALSE(rt::MemoryFaultFired()) << "a block over 1 MiB was requested";
}

// 65,535 entries all pointing at one 256 x 256 32-bit bitmap describe 16 GiB
// of images in 1.3 MB: refused as a whole, quickly, without making any.
TEST_F(IcoReader, ManyEntriesOnOneBitmapStayWithinTheBudget)
{
    const std::uint32_t count = 65535;
    const std::uint32_t offset = 6 + 16 * count;
    Bytes file = Header(count);
    file.reserve(offset + 40 + 256 * 256 * 4 + 256 * 32);
    for (std::uint32_t i = 0; i < count; ++i) {
        Bytes entry = Entry(0, 0, 32, 40 + 256 * 256 * 4, offset);
        file.insert(file.end(), entry.begin(), entry.end());
    }
    Bytes bitmap = Cat({BitmapHeader(256, 512, 32), Bytes(256 * 256 * 4, 0x7F), Bytes(256 * 32, 0)});
    file.insert(file.end(), bitmap.begin(), bitmap.end());

    rt::SetMemoryFaults(rt::MemoryFaults{});          // counts allocations from here
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LoadIco(file), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_LE(rt::AllocationsSinceFaultsSet(), 3u) << "images were made before the sum was refused";

    // 100 such entries (25 MiB) are within the budget: they all load, and
    // none gives way since none is 24-bit.
    const std::uint32_t few = 100;
    Bytes within = Header(few);
    for (std::uint32_t i = 0; i < few; ++i)
        within = Cat({within, Entry(0, 0, 32, 0, 6 + 16 * few)});
    within.insert(within.end(), bitmap.begin(), bitmap.end());
    IconHandle* icon = LoadIco(within);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(Images(icon).size(), few);
    FreeIcon(icon);
}

// 65,535 entries all pointing at one 1 x 1 24-bit bitmap: every image but
// the last gives way to another of its size. The pass that decides it must
// not compare every image with every other (2 billion comparisons).
TEST_F(IcoReader, ManyTwentyFourBitRepeatsCollapseQuickly)
{
    const std::uint32_t count = 65535;
    const std::uint32_t offset = 6 + 16 * count;
    Bytes file = Header(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        Bytes entry = Entry(1, 1, 24, 52, offset);
        file.insert(file.end(), entry.begin(), entry.end());
    }
    Bytes bitmap = Cat({BitmapHeader(1, 2, 24), {1, 2, 3, 0}, {0, 0, 0, 0}});
    file.insert(file.end(), bitmap.begin(), bitmap.end());
    auto start = std::chrono::steady_clock::now();
    IconHandle* icon = LoadIco(file);
    // Making and freeing 65,535 images takes a fraction of this, even under
    // sanitizers; comparing all pairs takes several times as long.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_NE(icon, nullptr);
    ASSERT_EQ(Images(icon).size(), 1u);
    EXPECT_EQ(Words(icon->images), std::vector<std::uint32_t>{0xFF030201});
    FreeIcon(icon);
}

// Every allocation of a load with bitmap, palette and PNG entries fails in
// turn; each failure is clean.
TEST_F(IcoReader, AllocationFailuresAreClean)
{
    Bytes png = PngBytes(Picture(4, 4, 3), 4, 4);
    const Bytes bmp4 = Cat({BitmapHeader(3, 4, 4, 2), {0, 0, 0, 0, 1, 1, 1, 0}, {0x10, 0, 0, 0, 0x01, 0, 0, 0},
                            {0x80, 0, 0, 0, 0, 0, 0, 0}});
    const Bytes bmp24 = Cat({BitmapHeader(1, 2, 24), {1, 2, 3, 0}, {0, 0, 0, 0}});
    const Bytes bmp24same = Cat({BitmapHeader(3, 4, 24), Bytes(24, 9), Bytes(8, 0)});
    std::uint32_t offset = 6 + 4 * 16;
    const Bytes file = Cat({
        Header(4),
        Entry(3, 2, 4, std::uint32_t(bmp4.size()), offset),
        Entry(4, 4, 32, std::uint32_t(png.size()), offset + std::uint32_t(bmp4.size())),
        Entry(1, 1, 24, std::uint32_t(bmp24.size()), offset + std::uint32_t(bmp4.size() + png.size())),
        Entry(3, 2, 24, std::uint32_t(bmp24same.size()), offset + std::uint32_t(bmp4.size() + png.size() + bmp24.size())),
        bmp4, png, bmp24, bmp24same,
    });
    std::uint64_t failedRuns = tessel::test::SweepAllocationFailures([&] {
        IconHandle* icon = LoadIco(file);
        if (!icon)
            return false;
        EXPECT_EQ(Images(icon).size(), 3u);     // the 3 x 2 24-bit image gave way to the 4-bit one
        FreeIcon(icon);
        return true;
    });
    // At least: the handle, the directory, the 4-bit image's record, pixels,
    // palette and palette scratch, the PNG buffer, its image's record and
    // pixels, the two 24-bit images' records and pixels, the size table.
    EXPECT_GE(failedRuns, 14u);
    EXPECT_EQ(rt::LiveImages(), 0);
}

// ---- Corpus against independent decoders ------------------------------------

// Pillow decodes every entry; each is written as raw RGBA, named by the
// entry's file offset (Pillow orders its entries by size, not by directory).
const char* PILLOW_SCRIPT = R"(
import sys
from PIL import IcoImagePlugin, Image
Image.MAX_IMAGE_PIXELS = 1 << 26
ico = IcoImagePlugin.IcoFile(open(sys.argv[1], 'rb'))
with open(sys.argv[2] + '/index.txt', 'w') as index:
    for i, entry in enumerate(ico.entry):
        try:
            im = ico.frame(i).convert('RGBA')
        except Exception as e:
            index.write('%d fail\n' % entry['offset'])
            continue
        open('%s/%d.rgba' % (sys.argv[2], entry['offset']), 'wb').write(im.tobytes())
        index.write('%d %d %d\n' % (entry['offset'], im.size[0], im.size[1]))
)";

struct Frame {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint32_t> argb;   // empty when the oracle could not decode it
};

struct DirectoryEntry {
    std::uint32_t offset;
    std::uint32_t bitCount;            // the bitmap's own; 0 for PNG
    std::uint32_t directoryBitCount;
    bool sizeFieldExact;               // the directory's size is what the bitmap needs
};

std::vector<DirectoryEntry> ParseDirectory(const Bytes& file)
{
    auto le16 = [&](std::size_t at) { return std::uint32_t(file.at(at)) | std::uint32_t(file.at(at + 1)) << 8; };
    auto le32 = [&](std::size_t at) { return le16(at) | le16(at + 2) << 16; };
    std::vector<DirectoryEntry> entries;
    for (std::uint32_t i = 0; i < le16(4); ++i) {
        std::uint32_t offset = le32(6 + 16 * i + 12);
        bool png = file.at(offset) == 0x89 && file.at(offset + 1) == 'P';
        std::uint32_t bitCount = png ? 0 : le16(offset + 14);
        // A bitmap needs its header, palette, pixel rows and (below 32 bits) mask rows.
        std::uint64_t width = le32(offset + 4);
        std::uint64_t height = le32(offset + 8) / 2;
        std::uint64_t colours = le32(offset + 32);
        std::uint64_t paletteEntries = bitCount > 8 ? 0 : (colours >= 1 && colours <= 256 ? colours : 1u << bitCount);
        auto rowBytes = [](std::uint64_t w, std::uint64_t bits) { return (w * bits + 31) / 32 * 4; };
        std::uint64_t needed = 40 + 4 * paletteEntries + height * rowBytes(width, bitCount) +
                               (bitCount == 32 ? 0 : height * rowBytes(width, 1));
        entries.push_back({offset, bitCount, le16(6 + 16 * i + 6), png || le32(6 + 16 * i + 8) == needed});
    }
    return entries;
}

int RunQuietly(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str());
}

// One frame per directory entry, in directory order.
std::vector<Frame> PillowFrames(const std::string& path, const std::vector<DirectoryEntry>& entries,
                                const tessel::test::TempDir& dir)
{
    std::string script = dir.File("oracle.py");
    std::ofstream(script) << PILLOW_SCRIPT;
    std::vector<Frame> frames(entries.size());
    if (RunQuietly("/usr/bin/python3 " + script + " '" + path + "' " + dir.Path()) != 0)
        return frames;
    std::ifstream index(dir.File("index.txt"));
    std::map<std::uint32_t, Frame> byOffset;
    std::string line;
    while (std::getline(index, line)) {
        std::istringstream fields(line);
        std::uint32_t offset = 0;
        Frame frame;
        if (!(fields >> offset >> frame.width >> frame.height))
            continue;
        Bytes rgba = tessel::test::ReadFileBytes(dir.File(std::to_string(offset) + ".rgba"));
        for (std::size_t i = 0; i + 3 < rgba.size(); i += 4)
            frame.argb.push_back(std::uint32_t(rgba[i + 3]) << 24 | std::uint32_t(rgba[i]) << 16 |
                                 std::uint32_t(rgba[i + 1]) << 8 | rgba[i + 2]);
        byOffset[offset] = frame;
    }
    for (std::size_t i = 0; i < entries.size(); ++i)
        frames[i] = byOffset[entries[i].offset];
    return frames;
}

// ImageMagick writes one RGBA PNG per entry, in directory order.
std::vector<Frame> MagickFrames(const std::string& path, std::size_t count, const tessel::test::TempDir& dir)
{
    std::vector<Frame> frames(count);
    if (RunQuietly("/usr/bin/convert '" + path + "' PNG32:" + dir.File("im-%d.png")) != 0)
        return frames;
    for (std::size_t i = 0; i < count; ++i) {
        std::string name = dir.File("im-" + std::to_string(i) + ".png");
        if (!tessel::test::FileExists(name))
            continue;
        Bytes png = tessel::test::ReadFileBytes(name);
        if (!rt::DecodeImage(png.data(), png.size(), &frames[i].width, &frames[i].height, frames[i].argb))
            frames[i].argb.clear();
    }
    return frames;
}

// Pixels that differ, judged as a viewer sees them: two fully transparent
// pixels are equal whatever their colour.
struct Comparison {
    std::size_t differing = 0;
    std::size_t byDesign = 0;          // the pen's colour shown transparent, or a masked pixel shown
};

Comparison Compare(const IconImage* image, const Frame& frame, bool colourOnly)
{
    Comparison result;
    std::vector<std::uint32_t> ours = Argb(image);
    if (colourOnly) {
        for (std::size_t i = 0; i < ours.size(); ++i)
            result.differing += ((ours[i] ^ frame.argb[i]) & 0x00FFFFFF) != 0;
        return result;
    }
    std::int32_t pen = image->depth <= 8 ? image->transparentPen : -1;
    // With no free index the pen is the colour of the first masked pixel in
    // the mask's order (bottom row first) and that colour is transparent
    // everywhere, while other masked pixels keep their colour. Seen from
    // here: an unmasked pixel holds the pen, or a masked one does not. (A
    // free index as pen is held by masked pixels only, by all of them.)
    bool fallback = false;
    const Bytes indices = image->depth <= 8 ? Indices(image) : Bytes{};
    for (std::size_t i = 0; i < ours.size() && pen >= 0; ++i)
        fallback = fallback || (((frame.argb[i] >> 24) == 0) != (indices[i] == pen));
    if (fallback) {
        std::int64_t first = -1;
        for (std::int32_t y = image->height - 1; y >= 0 && first < 0; --y) {
            for (std::int32_t x = 0; x < image->width && first < 0; ++x) {
                if ((frame.argb[std::size_t(y) * image->width + x] >> 24) == 0)
                    first = std::int64_t(y) * image->width + x;
            }
        }
        EXPECT_EQ(indices.at(std::size_t(first)), pen) << "the pen is not the first masked pixel's colour";
        // No index was free: the mask changed no pixel, so all are still there.
        std::vector<bool> seen(std::size_t(1) << image->depth);
        for (std::uint8_t index : indices)
            seen.at(index) = true;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), true), std::ptrdiff_t(seen.size()))
            << "a free index existed, yet masked pixels do not hold the pen";
    }
    for (std::size_t i = 0; i < ours.size(); ++i) {
        bool bothClear = (ours[i] >> 24) == 0 && (frame.argb[i] >> 24) == 0;
        if (bothClear || ours[i] == frame.argb[i])
            continue;
        bool penShownClear = fallback && (ours[i] >> 24) == 0 && indices[i] == pen;
        bool maskedShown = (frame.argb[i] >> 24) == 0;
        if (fallback && (penShownClear || maskedShown))
            ++result.byDesign;
        else
            ++result.differing;
    }
    return result;
}

// Tessel's images are the directory's entries less the 24-bit bitmaps that
// give way to another image of their size, a rule of this reader that the
// other decoders do not have. Entries are matched to images by that rule,
// with the sizes the oracle reports.
std::vector<std::size_t> SurvivingEntries(const std::vector<DirectoryEntry>& entries, const std::vector<Frame>& frames)
{
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        bool givesWay = false;
        for (std::size_t j = 0; j < entries.size() && entries[i].bitCount == 24; ++j) {
            bool sameSize = j != i && frames[j].width == frames[i].width && frames[j].height == frames[i].height;
            givesWay = givesWay || (sameSize && (entries[j].bitCount != 24 || j > i));
        }
        if (!givesWay)
            kept.push_back(i);
    }
    return kept;
}

// Directory bytes 0, 0 stand for 256 before they cap the bitmap: a 48 x 48
// 4-bit bitmap loads at 48 x 48, as Pillow reads it.
TEST(IcoReaderOracle, ZeroDirectorySizeMatchesPillow)
{
    Bytes palette;
    for (std::uint32_t i = 0; i < 16; ++i)
        palette = Cat({palette, {std::uint8_t(i * 16), std::uint8_t(255 - i * 8), std::uint8_t(i * 5), 0}});
    Bytes rows;                                          // bottom row first: index (x + y) mod 15
    for (std::int32_t y = 47; y >= 0; --y) {
        for (std::int32_t x = 0; x < 48; x += 2)
            rows.push_back(std::uint8_t(((x + y) % 15) << 4 | (x + 1 + y) % 15));
    }
    Bytes mask;                                          // a transparent square, rows 10-19 and columns 8-23
    for (std::int32_t y = 47; y >= 0; --y) {
        bool inside = y >= 10 && y < 20;
        mask = Cat({mask, {0, std::uint8_t(inside ? 0xFF : 0), std::uint8_t(inside ? 0xFF : 0), 0, 0, 0, 0, 0}});
    }
    const Bytes bitmap = Cat({BitmapHeader(48, 96, 4, 16), palette, rows, mask});
    const Bytes file = Cat({Header(1), Entry(0, 0, 4, std::uint32_t(bitmap.size()), 22), bitmap});

    IconHandle* icon = LoadIco(file);
    ASSERT_NE(icon, nullptr);
    const IconImage* image = icon->images;
    EXPECT_EQ(image->width, 48);
    EXPECT_EQ(image->height, 48);
    EXPECT_EQ(image->transparentPen, 15);
    tessel::test::TempDir dir;
    tessel::test::WriteFileBytes(dir.File("zero.ico"), file);
    std::vector<Frame> pillow = PillowFrames(dir.File("zero.ico"), ParseDirectory(file), dir);
    ASSERT_EQ(pillow.size(), 1u);
    ASSERT_EQ(pillow[0].width, 48);
    ASSERT_EQ(pillow[0].height, 48);
    Comparison comparison = Compare(image, pillow[0], false);
    EXPECT_EQ(comparison.differing, 0u);
    EXPECT_EQ(comparison.byDesign, 0u);
    std::size_t clear = 0;
    for (std::uint32_t argb : pillow[0].argb)
        clear += (argb >> 24) == 0;
    EXPECT_EQ(clear, 10u * 16u);
    FreeIcon(icon);
}

std::vector<std::string> CorpusIcons()
{
    std::vector<std::string> paths;
    for (const auto& item : std::filesystem::directory_iterator(std::string(TESSEL_CORPUS_DIR) + "/windows")) {
        if (item.path().extension() == ".ico")
            paths.push_back(item.path().string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

TEST(IcoReaderOracle, CorpusMatchesPillowAndImageMagick)
{
    std::vector<std::string> paths = CorpusIcons();
    ASSERT_GE(paths.size(), 30u);
    std::map<std::string, int> filesJudged;
    for (const std::string& path : paths) {
        std::string name = std::filesystem::path(path).filename().string();
        SCOPED_TRACE(name);
        Bytes file = tessel::test::ReadFileBytes(path);
        IconHandle* icon = LoadIco(file);
        ASSERT_NE(icon, nullptr) << "every corpus icon has loadable entries";
        std::vector<IconImage*> images = Images(icon);
        std::vector<DirectoryEntry> entries = ParseDirectory(file);
        tessel::test::TempDir dir;
        std::vector<Frame> pillow = PillowFrames(path, entries, dir);
        std::vector<Frame> magick = MagickFrames(path, entries.size(), dir);

        int oracles = 0;
        for (const auto* frames : {&pillow, &magick}) {
            const char* oracle = frames == &pillow ? "pillow" : "imagemagick";
            bool complete = true;
            for (const Frame& frame : *frames)
                complete = complete && !frame.argb.empty();
            if (!complete)
                continue;                   // this decoder refuses the file (the decompression bomb)
            ++oracles;
            ++filesJudged[oracle];
            std::vector<std::size_t> kept = SurvivingEntries(entries, *frames);
            ASSERT_EQ(images.size(), kept.size()) << oracle;
            for (std::size_t k = 0; k < kept.size(); ++k) {
                const Frame& frame = (*frames)[kept[k]];
                const IconImage* image = images[k];
                SCOPED_TRACE(std::string(oracle) + ", entry " + std::to_string(kept[k]));
                ASSERT_EQ(image->width, frame.width);
                ASSERT_EQ(image->height, frame.height);
                // Pillow decides by the directory's bit count whether a
                // bitmap has an alpha channel, and finds the mask by counting
                // back from the end of the entry as the directory's size puts
                // it. This reader, like ImageMagick, goes by the bitmap's own
                // bit count and reads the mask right after the pixel rows.
                // Where the directory is wrong about either, Pillow's
                // transparency is not the file's, and only colours compare.
                const DirectoryEntry& entry = entries[kept[k]];
                bool colourOnly = frames == &pillow && ((entry.bitCount == 32 && entry.directoryBitCount != 32) ||
                                                        (entry.bitCount != 32 && !entry.sizeFieldExact));
                Comparison comparison = Compare(image, frame, colourOnly);
                EXPECT_EQ(comparison.differing, 0u);
                if (comparison.byDesign)
                    std::printf("note: %s entry %zu, %s: %zu pixels differ by design (no free index: the pen is"
                                " the first masked pixel's colour)\n",
                                name.c_str(), kept[k], oracle, comparison.byDesign);
            }
        }
        EXPECT_GE(oracles, 1) << "no independent decoder read the file";
        FreeIcon(icon);
        EXPECT_EQ(rt::LiveBlocks(), 0);
    }
    // Pillow refuses only the decompression bomb (65535 x 32767 in its
    // header); ImageMagick reads it at the directory's 16 x 16, as here.
    EXPECT_EQ(filesJudged["pillow"], int(paths.size()) - 1);
    EXPECT_EQ(filesJudged["imagemagick"], int(paths.size()));
}

// Load, save as a Windows icon (plain and with PNG entries), load again:
// every image the format can hold (sides up to 256) comes back with its
// depth and as the same picture.
TEST(IcoReaderModule, CorpusSurvivesARoundTrip)
{
    tessel::runtime::Module& module = tessel::test::SharedModule();
    Bytes probe = tessel::test::ReadFileBytes(CorpusIcons().at(0));
    IconHandle* wired = tessel::test::LoadBytes(probe);
    if (!wired)
        GTEST_SKIP() << "LoadIcon does not hand Windows icons to their reader in this build";
    module.FreeIcon(wired);
    tessel::test::TempDir dir;
    for (const std::string& path : CorpusIcons()) {
        SCOPED_TRACE(path);
        IconHandle* icon = tessel::test::LoadBytes(tessel::test::ReadFileBytes(path));
        ASSERT_NE(icon, nullptr);
        std::vector<IconImage*> expected;
        for (IconImage* image = module.GetIconImages(icon); image; image = image->next) {
            if (image->width <= 256 && image->height <= 256)
                expected.push_back(image);
        }
        for (std::uintptr_t compress : {0, 1}) {
            SCOPED_TRACE(compress ? "with PNG entries" : "bitmaps only");
            std::string saved = dir.File("saved.ico");
            const TagItem tags[] = {{SAVEICON_TAG_FORMAT, 0x4FF820F7}, {SAVEICON_TAG_COMPRESS, compress}, {0, 0}};
            std::int32_t ok = module.SaveIcon(saved.c_str(), module.GetIconImages(icon), tags);
            if (expected.empty()) {
                EXPECT_EQ(ok, 0) << "nothing the format can hold, yet the save succeeded";
                continue;
            }
            ASSERT_EQ(ok, 1);
            IconHandle* again = tessel::test::LoadBytes(tessel::test::ReadFileBytes(saved));
            ASSERT_NE(again, nullptr);
            std::vector<IconImage*> images;
            for (IconImage* image = module.GetIconImages(again); image; image = image->next)
                images.push_back(image);
            // The writer chooses the order of its entries: match each image
            // to an unmatched one of the same size, depth and picture.
            ASSERT_EQ(images.size(), expected.size());
            std::vector<bool> matched(images.size());
            for (const IconImage* want : expected) {
                bool found = false;
                for (std::size_t i = 0; i < images.size() && !found; ++i) {
                    found = !matched[i] && images[i]->width == want->width && images[i]->height == want->height &&
                            images[i]->depth == want->depth && Argb(images[i]) == Argb(want);
                    if (found)
                        matched[i] = true;
                }
                EXPECT_TRUE(found) << want->width << " x " << want->height << " depth " << want->depth
                                   << " did not come back";
            }
            module.FreeIcon(again);
        }
        module.FreeIcon(icon);
        EXPECT_EQ(rt::LiveBlocks(), 0);
    }
}

// The tool's extract command shows each image as the reader made it: one
// RGBA PNG per image, palette images through their palette with the pen clear.
TEST(IcoReaderModule, ToolExtractsTheReadersImages)
{
    IconHandle* wired = tessel::test::LoadBytes(tessel::test::ReadFileBytes(CorpusIcons().at(0)));
    if (!wired)
        GTEST_SKIP() << "LoadIcon does not hand Windows icons to their reader in this build";
    tessel::test::SharedModule().FreeIcon(wired);
    for (const char* stem : {"putty-puttyins", "winuae-winuae", "rapps-efsearch"}) {
        SCOPED_TRACE(stem);
        std::string path = std::string(TESSEL_CORPUS_DIR) + "/windows/" + stem + ".ico";
        tessel::test::TempDir dir;
        ASSERT_EQ(RunQuietly(std::string(TESSEL_TOOL_PATH) + " extract '" + path + "' -o " + dir.Path()), 0);
        IconHandle* icon = LoadIco(tessel::test::ReadFileBytes(path));
        ASSERT_NE(icon, nullptr);
        std::vector<IconImage*> images = Images(icon);
        for (std::size_t i = 0; i < images.size(); ++i) {
            Bytes png = tessel::test::ReadFileBytes(dir.File(std::string(stem) + "-" + std::to_string(i) + ".png"));
            std::int32_t width = 0;
            std::int32_t height = 0;
            std::vector<std::uint32_t> argb;
            ASSERT_TRUE(rt::DecodeImage(png.data(), png.size(), &width, &height, argb)) << i;
            EXPECT_EQ(width, images[i]->width);
            EXPECT_EQ(height, images[i]->height);
            std::vector<std::uint32_t> ours = Argb(images[i]);
            for (std::size_t p = 0; p < ours.size() && p < argb.size(); ++p) {
                if ((ours[p] >> 24) == 0 && (argb[p] >> 24) == 0)
                    ours[p] = argb[p];              // clear is clear, whatever the colour
            }
            EXPECT_EQ(argb, ours) << "image " << i;
        }
        EXPECT_FALSE(tessel::test::FileExists(dir.File(std::string(stem) + "-" + std::to_string(images.size()) + ".png")));
        FreeIcon(icon);
    }
    EXPECT_EQ(rt::LiveBlocks(), 0);
}

}  // namespace
