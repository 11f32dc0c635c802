// Every Amiga icon of the corpus, loaded, saved in each Amiga format and as a
// PNG icon, and loaded again: the attributes come back, and every image the
// format stores comes back as the user saw it, unless it had to be reduced.
#include "tests/support/host_images.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace tessel::test;
namespace rt = tessel::runtime;

struct SavedAttributes {
    std::int32_t type, posX, posY, stackSize, drawerLeft, drawerTop, drawerWidth, drawerHeight, viewMode, showAll;
    std::optional<std::string> defaultTool;
    std::vector<std::string> toolTypes;
};

SavedAttributes Copy(const IconAttributes& a)
{
    SavedAttributes s{a.type,       a.posX,        a.posY,         a.stackSize, a.drawerLeft,
                      a.drawerTop, a.drawerWidth, a.drawerHeight, a.viewMode,  a.showAll,
                      std::nullopt, {}};
    if (a.defaultTool)
        s.defaultTool = a.defaultTool;
    for (char** line = a.toolTypes; line && *line; ++line)
        s.toolTypes.emplace_back(*line);
    return s;
}

bool Fits(const IconImage* image, int side)
{
    return image->width <= side && image->height <= side;
}

const IconImage* FirstTwoOrThreePlaneImage(const std::vector<const IconImage*>& images)
{
    for (const IconImage* image : images)
        if (Fits(image, 256) && (image->depth == 2 || image->depth == 3))
            return image;
    return nullptr;
}

// Whether the writer finds (or can make) the image a format part needs:
// a palette image of the right size other than the one kept as the classic
// image, or else a true-colour one to reduce.
bool HasPaletteCandidate(const std::vector<const IconImage*>& images, int side, const IconImage* classic)
{
    for (const IconImage* image : images)
        if (image != classic && !(image->flags & IMAGEFLAG_SELECTED) && Fits(image, side) && image->depth >= 1 &&
            image->depth <= 8)
            return true;
    return false;
}

bool HasTrueColour(const std::vector<const IconImage*>& images, int side, bool normalOnly)
{
    for (const IconImage* image : images)
        if (image->depth == 32 && Fits(image, side) && !(normalOnly && (image->flags & IMAGEFLAG_SELECTED)))
            return true;
    return false;
}

bool SameRawPixels(const IconImage* a, const IconImage* b)
{
    if (a->width != b->width || a->height != b->height || (a->depth > 8) != (b->depth > 8))
        return false;
    std::size_t bytes = std::size_t(a->width) * a->height * (a->depth > 8 ? 4 : 1);
    return std::memcmp(a->pixels, b->pixels, bytes) == 0;
}

struct Format {
    const char* keyword;
    std::uint32_t id;
};

const Format Formats[] = {{"AMIGAOS", FORMAT_AMIGAOS},
                          {"NEWICON", FORMAT_NEWICON},
                          {"AMIGAOS35", FORMAT_AMIGAOS35},
                          {"AMIGAOS40", FORMAT_AMIGAOS40},
                          {"PNG", FORMAT_PNG}};

class AmigaRoundTrip : public testing::TestWithParam<Format> {};

TEST_P(AmigaRoundTrip, EveryCorpusIconComesBack)
{
    const Format format = GetParam();
    TempDir dir;
    std::size_t saved = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(TESSEL_CORPUS_DIR) + "/amiga")) {
        std::string source = entry.path().string();
        SCOPED_TRACE(source + " as " + format.keyword);
        IconAttributes attributes{};
        const TagItem tags[] = {{LOADICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&attributes)}, {0, 0}};
        IconHandle* original = SharedModule().LoadIcon(source.c_str(), tags);
        if (!original)
            continue;                                   // the corpus test says which fail, and why
        std::vector<const IconImage*> images = ImagesOf(SharedModule().GetIconImages(original));
        const IconImage* classic = FirstTwoOrThreePlaneImage(images);
        bool expected = true;
        switch (format.id) {
        case FORMAT_NEWICON:
            expected = HasPaletteCandidate(images, 93, classic) || HasTrueColour(images, 93, true);
            break;
        case FORMAT_AMIGAOS35:
            expected = HasPaletteCandidate(images, 256, classic) || HasTrueColour(images, 256, true);
            break;
        case FORMAT_AMIGAOS40:
        case FORMAT_PNG:
            expected = HasTrueColour(images, 256, false);
            break;
        default:
            break;
        }

        std::string path = dir.File("copy.info");
        std::int32_t result = SaveWith(path, SharedModule().GetIconImages(original), format.id, &attributes);
        EXPECT_EQ(result, expected ? 1 : 0);
        if (result != 1) {
            SharedModule().FreeIcon(original);
            continue;
        }
        ++saved;

        IconAttributes again{};
        const TagItem againTags[] = {{LOADICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&again)}, {0, 0}};
        IconHandle* copy = SharedModule().LoadIcon(path.c_str(), againTags);
        ASSERT_NE(copy, nullptr);
        SavedAttributes before = Copy(attributes), after = Copy(again);
        EXPECT_EQ(after.type, before.type ? before.type : 3);
        EXPECT_EQ(after.posX, before.posX);
        EXPECT_EQ(after.posY, before.posY);
        EXPECT_EQ(after.stackSize, before.stackSize);
        EXPECT_EQ(after.defaultTool, before.defaultTool);
        EXPECT_EQ(after.toolTypes, before.toolTypes);
        if (before.type == 2) {
            EXPECT_EQ(after.drawerLeft, before.drawerLeft);
            EXPECT_EQ(after.drawerTop, before.drawerTop);
            EXPECT_EQ(after.drawerWidth, before.drawerWidth);
            EXPECT_EQ(after.drawerHeight, before.drawerHeight);
            EXPECT_EQ(after.showAll, before.showAll);
            // View modes outside 1..5 (damaged flags words) are not stored.
            if (before.viewMode >= 1 && before.viewMode <= 5) {
                EXPECT_EQ(after.viewMode, before.viewMode);
            }
        }

        std::vector<const IconImage*> reloaded = ImagesOf(SharedModule().GetIconImages(copy));
        ASSERT_FALSE(reloaded.empty());
        std::size_t firstStored = 0;
        if (format.id != FORMAT_PNG) {
            Bytes file = ReadFileBytes(path);
            firstStored = file.at(29) != 0 ? 2 : 1;     // one or two classic images
            // A two- or three-plane image is kept as it is.
            if (classic) {
                EXPECT_TRUE(SameRawPixels(reloaded[0], classic));
            }
        }
        bool reduced = (format.id == FORMAT_NEWICON && !HasPaletteCandidate(images, 93, classic)) ||
                       (format.id == FORMAT_AMIGAOS35 && !HasPaletteCandidate(images, 256, classic));
        for (std::size_t i = firstStored; i < reloaded.size(); ++i) {
            const IconImage* image = reloaded[i];
            bool matched = false;
            for (const IconImage* candidate : images) {
                if (candidate->width != image->width || candidate->height != image->height)
                    continue;
                if (image->depth == 32 ? SameRawPixels(image, candidate)
                                       : (reduced || SeenPixels(*image) == SeenPixels(*candidate)))
                    matched = true;
            }
            EXPECT_TRUE(matched) << "stored image " << i << " (" << image->width << "x" << image->height << "/"
                                 << image->depth << ") is none of the icon's images";
        }
        SharedModule().FreeIcon(copy);
        SharedModule().FreeIcon(original);
        EXPECT_EQ(rt::LiveBlocks(), 0);
    }
    EXPECT_GT(saved, 10u);
}

INSTANTIATE_TEST_SUITE_P(EachFormat, AmigaRoundTrip, testing::ValuesIn(Formats),
                         [](const testing::TestParamInfo<Format>& param) { return std::string(param.param.keyword); });

}  // namespace
