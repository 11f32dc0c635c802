// Every Windows icon of the corpus, loaded, saved as a Windows icon (bitmap
// entries, and with PNG entries for large true-colour images), and loaded
// again: every image of depth 1, 4, 8 and 32 comes back as the user saw it,
// transparency included.
#include "tests/support/host_images.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace tessel::test;
namespace rt = tessel::runtime;

bool Writable(const IconImage* image)
{
    bool depth = image->depth == 1 || image->depth == 4 || image->depth == 8 || image->depth == 32;
    return depth && image->width <= 256 && image->height <= 256;
}

class IcoRoundTrip : public testing::TestWithParam<std::uint32_t> {};

TEST_P(IcoRoundTrip, EveryCorpusIconComesBack)
{
    const std::uint32_t compress = GetParam();
    TempDir dir;
    std::size_t compared = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(TESSEL_CORPUS_DIR) + "/windows")) {
        std::string source = entry.path().string();
        SCOPED_TRACE(source);
        IconHandle* original = SharedModule().LoadIcon(source.c_str(), nullptr);
        if (!original)
            continue;
        std::vector<const IconImage*> images = ImagesOf(SharedModule().GetIconImages(original));
        std::string path = dir.File("copy.ico");
        bool anyWritable = false;
        for (const IconImage* image : images)
            anyWritable = anyWritable || Writable(image);
        std::int32_t result = SaveWith(path, SharedModule().GetIconImages(original), FORMAT_WINDOWS, nullptr, compress);
        ASSERT_EQ(result, anyWritable ? 1 : 0);
        if (result == 1) {
            IconHandle* copy = SharedModule().LoadIcon(path.c_str(), nullptr);
            ASSERT_NE(copy, nullptr);
            std::vector<const IconImage*> reloaded = ImagesOf(SharedModule().GetIconImages(copy));
            for (const IconImage* image : images) {
                if (!Writable(image))
                    continue;
                std::vector<std::uint32_t> seen = SeenPixels(*image);
                bool found = false;
                for (const IconImage* back : reloaded)
                    found = found || (back->width == image->width && back->height == image->height &&
                                      back->depth == image->depth && SeenPixels(*back) == seen);
                EXPECT_TRUE(found) << image->width << "x" << image->height << "/" << image->depth
                                   << " did not come back unchanged";
                ++compared;
            }
            SharedModule().FreeIcon(copy);
        }
        SharedModule().FreeIcon(original);
        EXPECT_EQ(rt::LiveBlocks(), 0);
    }
    EXPECT_GT(compared, 100u);
}

INSTANTIATE_TEST_SUITE_P(Compression, IcoRoundTrip, testing::Values(0u, 1u),
                         [](const testing::TestParamInfo<std::uint32_t>& param) {
                             return param.param ? std::string("WithPngEntries") : std::string("BitmapsOnly");
                         });

}  // namespace
