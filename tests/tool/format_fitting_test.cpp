// Converting keeps what the target format can hold: palette depths the
// Windows writer skips are raised, and true colour is made where macOS and
// PNG icons need it.
#include "tool/format_fitting.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using tessel::tool::FitImagesToFormat;
using tessel::tool::Image;

Image PaletteImage(std::int32_t side, std::int32_t depth, std::int32_t pen = -1, std::uint32_t flags = 0)
{
    Image image;
    image.width = side;
    image.height = side;
    image.depth = depth;
    image.transparentPen = pen;
    image.flags = flags;
    image.pixels.assign(std::size_t(side) * side, 1);
    image.pixels[0] = 0;
    image.palette.assign(256, 0);
    image.palette[0] = 0x102030;
    image.palette[1] = 0xA0B0C0;
    return image;
}

std::uint32_t Word(const Image& image, std::size_t i)
{
    std::uint32_t word;
    std::memcpy(&word, image.pixels.data() + 4 * i, 4);
    return word;
}

TEST(FormatFitting, WindowsRaisesDepthsItCannotWrite)
{
    const int from[] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    const int to[] = {1, 1, 4, 4, 4, 8, 8, 8, 8};
    for (std::size_t i = 0; i < std::size(from); ++i) {
        std::vector<Image> images = {PaletteImage(16, from[i])};
        FitImagesToFormat(images, "WINDOWS");
        EXPECT_EQ(images[0].depth, to[i]) << "depth " << from[i];
        EXPECT_EQ(images[0].pixels[1], 1);             // pixels untouched
    }
}

TEST(FormatFitting, MacosAndPngGetTrueColour)
{
    // macOS: the 16x16 palette image has no true-colour twin and is expanded,
    // the 32x32 one has one and stays.
    std::vector<Image> images = {PaletteImage(16, 4, 0), PaletteImage(32, 8), PaletteImage(32, 8)};
    images[2] = tessel::tool::ToTrueColour(images[2]);
    FitImagesToFormat(images, "MACOS");
    EXPECT_EQ(images[0].depth, 32);
    EXPECT_EQ(Word(images[0], 0), 0x00000000u);        // the pen: transparent
    EXPECT_EQ(Word(images[0], 1), 0xFFA0B0C0u);
    EXPECT_EQ(images[1].depth, 8);

    // PNG and AmigaOS 4.0: a true-colour copy of the richest normal-state
    // palette image (here the deepest of equal size), and of its selected
    // twin, is added at the end.
    for (const char* keyword : {"PNG", "AMIGAOS40"}) {
        std::vector<Image> list = {PaletteImage(8, 2, -1, IMAGEFLAG_SELECTED), PaletteImage(8, 2),
                                   PaletteImage(8, 4), PaletteImage(8, 4, -1, IMAGEFLAG_SELECTED)};
        FitImagesToFormat(list, keyword);
        ASSERT_EQ(list.size(), 6u) << keyword;
        EXPECT_EQ(list[2].depth, 4);                            // the palette images stay
        EXPECT_EQ(list[4].depth, 32);
        EXPECT_EQ(list[4].flags, 0u);
        EXPECT_EQ(Word(list[4], 0), 0xFF102030u);
        EXPECT_EQ(list[5].depth, 32);
        EXPECT_EQ(list[5].flags, IMAGEFLAG_SELECTED);
        FitImagesToFormat(list, keyword);                       // once is enough
        EXPECT_EQ(list.size(), 6u);
    }
    // The primary image wins over a larger or deeper one; then size wins.
    std::vector<Image> marked = {PaletteImage(32, 8), PaletteImage(16, 3, -1, IMAGEFLAG_PRIMARY)};
    FitImagesToFormat(marked, "PNG");
    ASSERT_EQ(marked.size(), 3u);
    EXPECT_EQ(marked[2].width, 16);
    std::vector<Image> sized = {PaletteImage(8, 8), PaletteImage(32, 2)};
    FitImagesToFormat(sized, "PNG");
    ASSERT_EQ(sized.size(), 3u);
    EXPECT_EQ(sized[2].width, 32);

    // The Amiga writers convert for themselves.
    std::vector<Image> amiga = {PaletteImage(8, 5)};
    FitImagesToFormat(amiga, "AMIGAOS");
    EXPECT_EQ(amiga[0].depth, 5);
}

}  // namespace
