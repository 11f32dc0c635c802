// Load -> save -> load: synthetic image lists saved in every format, each
// image the format's table row says it stores as it is must come back as a
// viewer sees it, and the Amiga formats keep the attributes.
#include "plugin/format_table.h"
#include "tests/support/host_images.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace tessel::test;

constexpr std::uint32_t SELECTED = IMAGEFLAG_SELECTED;

struct Picture {
    std::int32_t width, height, depth;
    std::uint32_t flags = 0;
};

struct ListCase {
    const char* what;
    std::vector<Picture> pictures;
};

const ListCase Lists[] = {
    {"1 bit, odd width, with its selected twin", {{13, 7, 1}, {13, 7, 1, SELECTED}}},
    {"2 planes with a selected twin", {{21, 9, 2}, {21, 9, 2, SELECTED}}},
    {"3 planes, odd sides", {{31, 17, 3}}},
    {"4 bits", {{15, 15, 4}, {32, 32, 4}}},
    {"8 bits at the sides an ICNS 8-bit type names", {{16, 16, 8}, {32, 32, 8}, {48, 48, 8}}},
    {"8 bits, a side over 255", {{257, 3, 8}}},
    {"true colour, odd sides, with its selected twin", {{33, 5, 32}, {33, 5, 32, SELECTED}}},
    {"true colour at named sides", {{16, 16, 32}, {32, 32, 32}, {128, 128, 32}, {256, 256, 32}}},
    {"true colour, a side over 255", {{300, 40, 32}}},
};

// Palette colours from the 6x6x6 cube, which the 8-bit ICNS palette holds.
std::uint32_t CubeColour(std::uint32_t k)
{
    k = (k * 37) % 216;
    return (k / 36 * 0x33) << 16 | (k / 6 % 6 * 0x33) << 8 | (k % 6 * 0x33);
}

void AddPicture(HostImageList& list, const Picture& p, std::uint32_t seed)
{
    std::size_t count = std::size_t(p.width) * p.height;
    if (p.depth == 32) {
        std::vector<std::uint32_t> argb(count);
        for (std::size_t i = 0; i < count; ++i)
            argb[i] = (i + seed) % 7 == 0 ? 0 : 0xFF000000u | std::uint32_t((i + seed) * 2654435761u >> 8);
        list.AddArgb(p.width, p.height, argb, p.flags);
        return;
    }
    std::uint32_t colours = std::min(1u << p.depth, 216u);
    std::vector<std::uint8_t> indices(count);
    for (std::size_t i = 0; i < count; ++i)
        indices[i] = std::uint8_t((i * 5 + i / p.width + seed) % colours);
    std::vector<std::uint32_t> palette(256);
    for (std::uint32_t k = 0; k < 256; ++k)
        palette[k] = CubeColour(k + seed);
    list.AddPalette(p.width, p.height, p.depth, indices, palette, p.depth > 1 ? 1 : -1, p.flags);
}

// The images of the list a format stores as they are: all of them, or in a
// format of one picture the deepest normal one (the first on a tie; not the
// one the classic images were made from) and its selected twin.
std::vector<const IconImage*> StoredAsTheyAre(const std::vector<const IconImage*>& list, const FormatCapacity& c,
                                              bool onePicture, const IconImage* taken = nullptr)
{
    std::vector<const IconImage*> stored;
    for (const IconImage* image : list) {
        if (!StoresImage(c, image->width, image->height, image->depth) || image == taken)
            continue;
        if (!onePicture)
            stored.push_back(image);
        else if (!(image->flags & SELECTED) && (stored.empty() || image->depth > stored[0]->depth))
            stored = {image};
    }
    if (onePicture && c.selectedState && !stored.empty()) {
        const IconImage* twin = stored[0]->next;
        if (twin && (twin->flags & SELECTED) && twin->width == stored[0]->width &&
            twin->height == stored[0]->height && twin->depth == stored[0]->depth)
            stored.push_back(twin);
    }
    return stored;
}

// Whether a loaded image shows the picture; a classic planar image carries
// no palette of its own, so there its pens are compared.
bool Shows(const IconImage& loaded, const IconImage& picture, bool planes, bool states)
{
    if (loaded.width != picture.width || loaded.height != picture.height ||
        (states && (loaded.flags & SELECTED) != (picture.flags & SELECTED)))
        return false;
    if (planes)
        return std::memcmp(loaded.pixels, picture.pixels, std::size_t(picture.width) * picture.height) == 0;
    return SeenPixels(loaded) == SeenPixels(picture);
}

TEST(RoundTrip, EveryFormatGivesBackWhatItStores)
{
    char tool[] = "SYS:Utilities/MultiView";
    char lineA[] = "PUBSCREEN=Workbench", lineB[] = "DONOTWAIT";
    char* toolTypes[] = {lineA, lineB, nullptr};
    IconAttributes attributes{1, 1, -12, 345, 10, 20, 300, 200, 8192, 0, tool, toolTypes, 1, 0};   // a disk
    TempDir dir;
    int checked = 0;
    for (const ListCase& row : Lists) {
        HostImageList list;
        for (std::size_t i = 0; i < row.pictures.size(); ++i)
            AddPicture(list, row.pictures[i], std::uint32_t(i * 3));
        std::vector<const IconImage*> pictures = ImagesOf(list.First());
        for (const SaveFormatRow& format : SaveFormatTable) {
            SCOPED_TRACE(std::string(row.what) + " as " + format.keyword);
            bool diskObject = format.container == CONTAINER_DISKOBJECT;
            bool onePicture = diskObject || format.container == CONTAINER_PNG_ICON;
            std::vector<const IconImage*> classic, stored;
            if (diskObject)
                classic = StoredAsTheyAre(pictures, AMIGA_CLASSIC_CAPACITY, true);
            if (!diskObject || format.variant != AMIGA_CLASSIC)
                stored = StoredAsTheyAre(pictures, format.images, onePicture, classic.empty() ? nullptr : classic[0]);
            std::string path = dir.File(std::string("trip.") + format.extension);
            if (SaveWith(path, list.First(), format.formatId, &attributes, checked % 2) != 1) {
                EXPECT_TRUE(stored.empty()) << "the save failed";
                continue;
            }
            LoadedIcon loaded(path);
            ASSERT_NE(loaded.icon, nullptr);
            std::vector<const IconImage*> images = ImagesOf(loaded.images);
            for (const auto* expected : {&stored, &classic}) {
                for (const IconImage* picture : *expected) {
                    bool shown = false;
                    for (const IconImage* image : images)
                        shown = shown || Shows(*image, *picture, expected == &classic, format.images.selectedState);
                    EXPECT_TRUE(shown) << picture->width << "x" << picture->height << "/" << picture->depth;
                    ++checked;
                }
            }
            if (!format.carriesAttributes)
                continue;
            const IconAttributes& a = loaded.attributes;
            EXPECT_EQ(std::vector<std::int32_t>({a.type, a.viewMode, a.posX, a.posY, a.drawerLeft, a.drawerTop,
                                                 a.drawerWidth, a.drawerHeight, a.stackSize, a.showAll}),
                      std::vector<std::int32_t>({1, 1, -12, 345, 10, 20, 300, 200, 8192, 1}));
            EXPECT_STREQ(a.defaultTool, tool);
            ASSERT_NE(a.toolTypes, nullptr);
            EXPECT_STREQ(a.toolTypes[0], lineA);
            EXPECT_STREQ(a.toolTypes[1], lineB);
            EXPECT_EQ(a.toolTypes[2], nullptr);
        }
    }
    EXPECT_GT(checked, 30);
    EXPECT_EQ(tessel::runtime::LiveBlocks(), 0);
}

}  // namespace
