// The Amiga icon writer, end to end through the module: lists of images as a
// host hands them over, saved in the four Amiga formats, judged by the bytes
// of the file (written out here from the layout) and by loading it again.
#include "tests/support/host_images.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using tessel::test::Bytes;
using tessel::test::HostImageList;
using tessel::test::ImagesOf;
using tessel::test::ReadFileBytes;
using tessel::test::SaveWith;
using tessel::test::SeenPixels;
using tessel::test::SharedModule;
using tessel::test::TempDir;
using namespace tessel::test;
namespace rt = tessel::runtime;

constexpr char MARKER[] = "*** DON'T EDIT THE FOLLOWING LINES!! ***";

std::uint32_t Be32At(const Bytes& bytes, std::size_t at)
{
    return std::uint32_t{bytes.at(at)} << 24 | std::uint32_t{bytes.at(at + 1)} << 16 |
           std::uint32_t{bytes.at(at + 2)} << 8 | bytes.at(at + 3);
}

std::uint32_t Be16At(const Bytes& bytes, std::size_t at)
{
    return std::uint32_t{bytes.at(at)} << 8 | bytes.at(at + 1);
}

// Palette indices (x + y) mod 4.
std::vector<std::uint8_t> Diagonal(int width, int height, int colours)
{
    std::vector<std::uint8_t> pixels;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixels.push_back(static_cast<std::uint8_t>((x + y) % colours));
    return pixels;
}

// A true-colour picture of four opaque colours in quarters, with a transparent
// border one pixel wide.
std::vector<std::uint32_t> Quarters(int side)
{
    const std::uint32_t colours[4] = {0xFFCC2020, 0xFF20CC20, 0xFF2020CC, 0xFFEEEE00};
    std::vector<std::uint32_t> pixels;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            bool border = x == 0 || y == 0 || x == side - 1 || y == side - 1;
            pixels.push_back(border ? 0x00000000 : colours[(y >= side / 2) * 2 + (x >= side / 2)]);
        }
    return pixels;
}

class AmigaWriter : public testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(rt::LiveBlocks(), 0); }

    // Saves, loads back, and hands the loaded icon to check.
    template <typename Check>
    void SaveAndReload(std::uint32_t format, Check check, std::uint32_t compress = 0)
    {
        std::string path = dir.File("icon.info");
        ASSERT_EQ(SaveWith(path, list.First(), format, &attributes, compress), 1);
        IconAttributes loaded{};
        const TagItem tags[] = {{LOADICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&loaded)}, {0, 0}};
        IconHandle* icon = SharedModule().LoadIcon(path.c_str(), tags);
        ASSERT_NE(icon, nullptr);
        check(ImagesOf(SharedModule().GetIconImages(icon)), loaded, ReadFileBytes(path));
        SharedModule().FreeIcon(icon);
    }

    TempDir dir;
    HostImageList list;
    IconAttributes attributes{};
};

TEST_F(AmigaWriter, OneTwoPlaneImageIsWrittenAsItIs)
{
    std::vector<std::uint32_t> palette = {0x112233, 0x445566, 0x778899, 0xAABBCC};
    list.AddPalette(48, 48, 2, Diagonal(48, 48, 4), palette);
    attributes.type = 3;
    attributes.posX = 10;
    attributes.posY = -20;
    attributes.stackSize = 4096;
    SaveAndReload(FORMAT_AMIGAOS, [&](auto images, const IconAttributes& loaded, const Bytes& file) {
        const Bytes header = {
            0xE3, 0x10, 0x00, 0x01,                 //  0 magic, version
            0, 0, 0, 0,                             //  4 next gadget
            0, 0, 0, 0,                             //  8 left, top
            0, 48, 0, 48,                           // 12 width, height
            0, 4, 0, 3, 0, 1,                       // 16 one image, activation, gadget type
            0, 0, 0, 1,                             // 22 first image
            0, 0, 0, 0,                             // 26 no second image
            0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,     // 30 text, exclude, special info
            0, 0,                                   // 42 gadget id
            0, 0, 0, 1,                             // 44 user data
            3, 0,                                   // 48 type tool, padding
            0, 0, 0, 0,                             // 50 no default tool
            0, 0, 0, 0,                             // 54 no tooltypes
            0, 0, 0, 10,                            // 58 x
            0xFF, 0xFF, 0xFF, 0xEC,                 // 62 y = -20
            0, 0, 0, 0,                             // 66 no drawer data
            0, 0, 0, 0,                             // 70 tool window
            0, 0, 0x10, 0x00,                       // 74 stack 4096
        };
        const Bytes imageHeader = {0, 0, 0, 0, 0, 48, 0, 48, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
        ASSERT_EQ(file.size(), 78u + 20u + 2u * 48u * 6u);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 78), header);
        EXPECT_EQ(Bytes(file.begin() + 78, file.begin() + 98), imageHeader);
        // Row 0 holds 0,1,2,3,0,1,...: plane 0 is 0101..., plane 1 is 0011...
        EXPECT_EQ(Bytes(file.begin() + 98, file.begin() + 104), Bytes(6, 0x55));
        EXPECT_EQ(Bytes(file.begin() + 98 + 48 * 6, file.begin() + 104 + 48 * 6), Bytes(6, 0x33));

        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0]->flags, IMAGEFLAG_PRIMARY);
        EXPECT_EQ(std::vector<std::uint8_t>(images[0]->pixels, images[0]->pixels + 48 * 48), Diagonal(48, 48, 4));
        EXPECT_EQ(loaded.posY, -20);
        EXPECT_EQ(loaded.stackSize, 4096);
    });
}

TEST_F(AmigaWriter, SelectedTwinOfTheSameDepthAndSize)
{
    list.AddPalette(20, 10, 3, Diagonal(20, 10, 8), {});
    list.AddPalette(20, 10, 3, Diagonal(20, 10, 5), {}, -1, IMAGEFLAG_SELECTED);
    SaveAndReload(FORMAT_AMIGAOS, [&](auto images, const IconAttributes& loaded, const Bytes& file) {
        EXPECT_EQ(Be16At(file, 16), 6u);                // gadget flags: two images
        EXPECT_EQ(Be32At(file, 26), 1u);                // second image
        EXPECT_EQ(file[48], 3);                         // type 0 is written as a tool
        EXPECT_EQ(loaded.type, 3);
        // rowBytes 4 (20 pixels in two words), 3 planes of 10 rows, twice.
        EXPECT_EQ(file.size(), 78u + 2u * (20u + 3u * 10u * 4u));
        ASSERT_EQ(images.size(), 2u);
        EXPECT_EQ(images[1]->flags, IMAGEFLAG_SELECTED);
        EXPECT_EQ(std::vector<std::uint8_t>(images[1]->pixels, images[1]->pixels + 200), Diagonal(20, 10, 5));
    });
}

TEST_F(AmigaWriter, TwinOfAnotherSizeIsLeftOut)
{
    list.AddPalette(48, 48, 2, Diagonal(48, 48, 4), {});
    list.AddPalette(32, 32, 2, Diagonal(32, 32, 4), {}, -1, IMAGEFLAG_SELECTED);
    SaveAndReload(FORMAT_AMIGAOS, [&](auto images, const IconAttributes&, const Bytes& file) {
        EXPECT_EQ(Be16At(file, 16), 4u);
        EXPECT_EQ(Be32At(file, 26), 0u);
        EXPECT_EQ(images.size(), 1u);
    });
}

TEST_F(AmigaWriter, DrawerWritesItsWindow)
{
    list.AddPalette(8, 8, 2, Diagonal(8, 8, 4), {});
    attributes.type = 2;
    attributes.drawerLeft = 10;
    attributes.drawerTop = 20;
    attributes.drawerWidth = 300;
    attributes.drawerHeight = 200;
    attributes.showAll = 1;
    attributes.viewMode = 3;
    SaveAndReload(FORMAT_AMIGAOS, [&](auto, const IconAttributes& loaded, const Bytes& file) {
        EXPECT_EQ(Be32At(file, 66), 1u);
        const Bytes drawer = {
            0, 10, 0, 20, 0x01, 0x2C, 0, 200,   // left, top, width, height
            0xFF, 0xFF,                         // detail and block pens
            0, 0, 0, 0,                         // event flags
            0x02, 0x00, 0x12, 0x7F,             // window flags
        };
        EXPECT_EQ(Bytes(file.begin() + 78, file.begin() + 96), drawer);
        EXPECT_EQ(Be16At(file, 78 + 38), 100u);     // minimum width
        EXPECT_EQ(Be16At(file, 78 + 40), 70u);      // minimum height
        EXPECT_EQ(Be16At(file, 78 + 42), 0xFFFFu);
        EXPECT_EQ(Be16At(file, 78 + 44), 0xFFFFu);
        EXPECT_EQ(Be16At(file, 78 + 46), 1u);       // screen type
        EXPECT_EQ(Bytes(file.end() - 6, file.end()), (Bytes{0, 0, 0, 2, 0, 3}));
        EXPECT_EQ(loaded.type, 2);
        EXPECT_EQ(loaded.drawerWidth, 300);
        EXPECT_EQ(loaded.showAll, 1);
        EXPECT_EQ(loaded.viewMode, 3);
    });
}

TEST_F(AmigaWriter, TrueColourImageInEveryAmigaFormat)
{
    list.AddArgb(64, 64, Quarters(64));
    // Classic: mapped onto the four-colour palette, the border transparent.
    SaveAndReload(FORMAT_AMIGAOS, [&](auto images, const IconAttributes&, const Bytes&) {
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0]->depth, 2);
        EXPECT_EQ(images[0]->pixels[0], 0);                    // border: the transparent pen
        EXPECT_NE(images[0]->pixels[64 + 1], 0);               // opaque: never the pen
    });
    // Palette chunk: four colours fit exactly.
    SaveAndReload(FORMAT_AMIGAOS35, [&](auto images, const IconAttributes&, const Bytes&) {
        ASSERT_EQ(images.size(), 2u);
        EXPECT_EQ(images[1]->depth, 3);                        // pen 0 and four colours
        EXPECT_EQ(images[1]->flags, IMAGEFLAG_PRIMARY);
        EXPECT_EQ(SeenPixels(*images[1]), SeenPixels(*list.First()));
    });
    SaveAndReload(FORMAT_AMIGAOS40, [&](auto images, const IconAttributes&, const Bytes&) {
        ASSERT_EQ(images.size(), 2u);
        EXPECT_EQ(images[1]->depth, 32);
        EXPECT_EQ(std::memcmp(images[1]->pixels, list.First()->pixels, 64 * 64 * 4), 0);
    });
    SaveAndReload(FORMAT_NEWICON, [&](auto images, const IconAttributes& loaded, const Bytes&) {
        ASSERT_EQ(images.size(), 2u);
        EXPECT_EQ(images[1]->width, 64);
        EXPECT_EQ(SeenPixels(*images[1]), SeenPixels(*list.First()));
        // The image lines are not tooltypes: the host gets an empty list.
        ASSERT_NE(loaded.toolTypes, nullptr);
        EXPECT_EQ(loaded.toolTypes[0], nullptr);
    });
}

TEST_F(AmigaWriter, NewIconLinesFollowTheMarker)
{
    list.AddPalette(8, 8, 2, Diagonal(8, 8, 4), {0x000000, 0xFFFFFF, 0xFF0000, 0x00FF00});
    list.AddPalette(8, 8, 4, Diagonal(8, 8, 16), {0x102030, 0x405060}, 0);
    char line[] = "A=1";
    char* toolTypes[] = {line, nullptr};
    attributes.toolTypes = toolTypes;
    SaveAndReload(FORMAT_NEWICON, [&](auto images, const IconAttributes& loaded, const Bytes& file) {
        ASSERT_EQ(images.size(), 2u);                          // classic, then the NewIcons image
        EXPECT_EQ(images[1]->flags, IMAGEFLAG_PRIMARY);
        EXPECT_EQ(SeenPixels(*images[1]), SeenPixels(*list.First()->next));
        ASSERT_NE(loaded.toolTypes, nullptr);
        EXPECT_STREQ(loaded.toolTypes[0], "A=1");
        EXPECT_EQ(loaded.toolTypes[1], nullptr);
        // The count word after the one image record: "A=1", " ", the marker,
        // then the image lines, counted into the word.
        std::size_t at = 78 + 20 + 2 * 8 * 2;
        std::uint32_t entries = Be32At(file, at) / 4 - 1;
        at += 4;
        std::vector<std::string> texts;
        for (std::uint32_t i = 0; i < entries; ++i) {
            std::uint32_t length = Be32At(file, at);
            texts.emplace_back(reinterpret_cast<const char*>(&file[at + 4]));
            at += 4 + length;
        }
        ASSERT_GE(texts.size(), 5u);
        EXPECT_EQ(texts[0], "A=1");
        EXPECT_EQ(texts[1], " ");
        EXPECT_EQ(texts[2], MARKER);
        for (std::size_t i = 3; i < texts.size(); ++i)
            EXPECT_EQ(texts[i].rfind("IM1=", 0), 0u) << texts[i];
        EXPECT_EQ(at, file.size());
    });
}

TEST_F(AmigaWriter, MarkerAlreadyThereIsNotRepeated)
{
    list.AddPalette(8, 8, 2, Diagonal(8, 8, 4), {});
    list.AddPalette(8, 8, 3, Diagonal(8, 8, 8), {});
    char space[] = " ";
    char marker[sizeof MARKER];
    std::memcpy(marker, MARKER, sizeof MARKER);
    char* toolTypes[] = {space, marker, nullptr};
    attributes.toolTypes = toolTypes;
    SaveAndReload(FORMAT_NEWICON, [&](auto images, const IconAttributes&, const Bytes& file) {
        std::string text(file.begin(), file.end());
        EXPECT_EQ(text.find(MARKER), text.rfind(MARKER));
        EXPECT_EQ(images.size(), 2u);
    });
}

TEST_F(AmigaWriter, WhatCannotBeSaved)
{
    std::string path = dir.File("refused.info");
    HostImageList twoPlanes;
    twoPlanes.AddPalette(16, 16, 2, Diagonal(16, 16, 4), {});
    // The only image is the classic one; nothing is left to quantise.
    EXPECT_EQ(SaveWith(path, twoPlanes.First(), FORMAT_NEWICON, &attributes), 0);
    EXPECT_EQ(SaveWith(path, twoPlanes.First(), FORMAT_AMIGAOS35, &attributes), 0);
    EXPECT_EQ(SaveWith(path, twoPlanes.First(), FORMAT_AMIGAOS40, &attributes), 0);

    HostImageList large;
    large.AddArgb(100, 100, std::vector<std::uint32_t>(100 * 100, 0xFF808080));
    EXPECT_EQ(SaveWith(path, large.First(), FORMAT_NEWICON, &attributes), 0);
    EXPECT_EQ(SaveWith(path, large.First(), FORMAT_AMIGAOS35, &attributes), 1);

    HostImageList huge;
    huge.AddArgb(300, 300, std::vector<std::uint32_t>(300 * 300, 0xFF808080));
    for (std::uint32_t format : {FORMAT_AMIGAOS, FORMAT_NEWICON, FORMAT_AMIGAOS35, FORMAT_AMIGAOS40})
        EXPECT_EQ(SaveWith(path, huge.First(), format, &attributes), 0) << std::hex << format;
}

TEST_F(AmigaWriter, EachTwinIsConvertedFromItsOwnPixels)
{
    // A true-colour normal image with a palette twin, then the other way round.
    list.AddArgb(16, 16, Quarters(16));
    list.AddPalette(16, 16, 4, Diagonal(16, 16, 16),
                    {0x000000, 0xFFFFFF, 0x3B67A2, 0x959595, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00}, -1,
                    IMAGEFLAG_SELECTED);
    SaveAndReload(FORMAT_AMIGAOS, [&](auto images, const IconAttributes&, const Bytes&) {
        ASSERT_EQ(images.size(), 2u);
        EXPECT_EQ(images[1]->flags, IMAGEFLAG_SELECTED);
    });
    // NEWICON: the twin's colours come back exactly (at most 16 fit).
    SaveAndReload(FORMAT_NEWICON, [&](auto images, const IconAttributes&, const Bytes&) {
        ASSERT_EQ(images.size(), 4u);
        EXPECT_EQ(images[3]->flags, IMAGEFLAG_SELECTED);
        const IconImage* twin = list.First()->next;
        std::vector<std::uint32_t> expected = SeenPixels(*twin);
        EXPECT_EQ(SeenPixels(*images[3]), expected);
    });
}

TEST_F(AmigaWriter, AllocationFailuresAreCleanInEveryFormat)
{
    list.AddArgb(24, 24, Quarters(24));
    list.AddArgb(24, 24, Quarters(24), IMAGEFLAG_SELECTED);
    char tool[] = "SYS:Tools/Edit";
    char line[] = "KEY=VALUE";
    char* toolTypes[] = {line, nullptr};
    attributes.defaultTool = tool;
    attributes.toolTypes = toolTypes;
    attributes.type = 2;
    std::string path = dir.File("sweep.info");
    for (std::uint32_t format : {FORMAT_AMIGAOS, FORMAT_NEWICON, FORMAT_AMIGAOS35, FORMAT_AMIGAOS40}) {
        SCOPED_TRACE(format);
        std::uint64_t failures = tessel::test::SweepAllocationFailures(
            [&] { return SaveWith(path, list.First(), format, &attributes, 1) == 1; });
        EXPECT_GT(failures, 0u);
    }
}

}  // namespace
