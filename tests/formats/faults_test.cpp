// Loads and saves under faults: each allocation failing in turn, reads that
// stop with an I/O error, a disk that fills up, a close that fails. Every
// failure is clean (no block, file or stream left) and every success is the
// result the unhindered run gives.
#include "plugin/format_table.h"
#include "tests/support/host_images.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using namespace tessel::test;
namespace rt = tessel::runtime;

// One file a container, with as many kinds of content as a small file has.
const char* const Representatives[] = {
    "amiga/yam-empty.info",               // classic images and NewIcons lines
    "amiga/hst-drawer-coloricon.info",    // a drawer whose FORM holds two IMAG chunks
    "amiga/netsurf-runwg.info",           // a PNG icon with a default tool and a tooltype
    "windows/py27-wish.ico",              // four bitmap entries
    "macos/adium-adiumscripts.icns",      // 1-bit, RLE and mask entries
    "amiga/yam-check_os4.info",           // ARGB chunks
    "windows/rapps-miktex.ico",           // 8-, 24- and 32-bit bitmaps and a PNG
    "macos/py27-pythonlauncher.icns",     // 4- and 8-bit entries
    "macos/rsicns-ic07.icns",             // a PNG entry
};

void ExpectNothingLeft(std::int64_t blocks = 0)
{
    EXPECT_EQ(rt::LiveBlocks(), blocks);
    EXPECT_EQ(rt::GetFileCounters().liveFiles, 0);
    EXPECT_EQ(rt::GetFileCounters().liveStreams, 0);
    EXPECT_EQ(rt::LiveImages(), 0);
}

TEST(Faults, LoadsFailCleanlyOrGiveTheSoundResult)
{
    for (const char* file : Representatives) {
        SCOPED_TRACE(file);
        const std::string path = CorpusPath(file);
        const std::string sound = DescribeLoad(LoadedIcon(path));
        ASSERT_NE(sound, "fails");
        EXPECT_GT(SweepAllocationFailures([&] { return LoadedIcon(path).icon != nullptr; }), 0u);
        auto size = static_cast<std::int64_t>(std::filesystem::file_size(path));
        for (std::int64_t allowed : {std::int64_t{0}, std::int64_t{4}, std::int64_t{8}, size / 2, size - 1}) {
            rt::FileFaults faults;
            faults.failReadsAfterBytes = allowed;
            rt::SetFileFaults(faults);
            std::string got = DescribeLoad(LoadedIcon(path));
            rt::ClearFileFaults();
            EXPECT_TRUE(got == "fails" || (allowed > 8 && got == sound)) << "after " << allowed << " bytes";
            ExpectNothingLeft();
        }
    }
}

// A list every format takes something from: an Amiga icon with its own
// images and attributes, a 32x32 true-colour and a 16x16 8-bit image.
TEST(Faults, SavesFailCleanly)
{
    LoadedIcon amiga(CorpusPath("amiga/yam-check_os4.info"));
    ASSERT_NE(amiga.icon, nullptr);
    HostImageList list;
    std::vector<std::uint32_t> argb(32 * 32);
    for (std::size_t i = 0; i < argb.size(); ++i)
        argb[i] = (i % 5 ? 0xFF000000u : 0x40000000u) | static_cast<std::uint32_t>(i * 40503u);
    list.AddArgb(32, 32, argb);
    std::vector<std::uint8_t> indices(16 * 16);
    for (std::size_t i = 0; i < indices.size(); ++i)
        indices[i] = static_cast<std::uint8_t>(i % 11);
    list.AddPalette(16, 16, 8, indices, {0x000000, 0x123456, 0xFEDCBA, 0xFF0000}, 3);
    list.First()->next->next = amiga.images;
    std::string longLine(70000, 'T');   // more than the first block of the PNG icon's item buffer (F06)
    char* lines[] = {longLine.data(), nullptr};
    amiga.attributes.toolTypes = lines;

    TempDir dir;
    const std::int64_t blocks = rt::LiveBlocks();
    for (const SaveFormatRow& format : SaveFormatTable) {
        SCOPED_TRACE(format.keyword);
        const std::string path = dir.File(std::string("saved.") + format.extension);
        auto save = [&] { return SaveWith(path, list.First(), format.formatId, &amiga.attributes, 1) == 1; };
        EXPECT_GT(SweepAllocationFailures(save), 0u);
        ExpectNothingLeft(blocks);
        const auto size = static_cast<std::int64_t>(ReadFileBytes(path).size());
        for (std::int64_t allowed : {std::int64_t{0}, std::int64_t{1}, size / 3, size - 1, std::int64_t{-2}}) {
            rt::FileFaults faults;
            faults.failWritesAfterBytes = std::max<std::int64_t>(allowed, -1);
            faults.failClose = allowed == -2;
            rt::SetFileFaults(faults);
            EXPECT_FALSE(save()) << "writes fail after " << allowed << " bytes (-2: the close fails)";
            rt::ClearFileFaults();
            ExpectNothingLeft(blocks);
        }
    }
    list.First()->next->next = nullptr;
}

}  // namespace
