// Every file of the corpus under faults: each allocation of a load failing in
// turn, and reads that stop with an I/O error part-way. Loads fail cleanly or
// give what is sound; nothing is ever left allocated or open.
#include "tests/support/host_images.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace tessel::test;
namespace rt = tessel::runtime;

std::vector<std::string> CorpusFiles()
{
    std::vector<std::string> files;
    for (const char* folder : {"amiga", "windows", "macos"})
        for (const auto& entry : std::filesystem::directory_iterator(std::string(TESSEL_CORPUS_DIR) + "/" + folder))
            files.push_back(entry.path().string());
    return files;
}

bool LoadAndFree(const std::string& path)
{
    IconAttributes attributes{};
    const TagItem tags[] = {{LOADICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&attributes)}, {0, 0}};
    IconHandle* icon = SharedModule().LoadIcon(path.c_str(), tags);
    if (!icon)
        return false;
    SharedModule().FreeIcon(icon);
    return true;
}

void ExpectNothingLeft(const std::string& what)
{
    EXPECT_EQ(rt::LiveBlocks(), 0) << what;
    EXPECT_EQ(rt::GetFileCounters().liveFiles, 0) << what;
    EXPECT_EQ(rt::GetFileCounters().liveStreams, 0) << what;
    EXPECT_EQ(rt::LiveImages(), 0) << what;
}

TEST(CorpusFaults, EveryAllocationOfEveryLoadMayFail)
{
    std::size_t swept = 0;
    for (const std::string& path : CorpusFiles()) {
        SCOPED_TRACE(path);
        if (LoadAndFree(path)) {
            swept += SweepAllocationFailures([&] { return LoadAndFree(path); });
        } else {
            // A file that does not load must not load under faults either.
            for (std::uint64_t n = 1; n <= 8; ++n) {
                rt::MemoryFaults faults;
                faults.failNth = n;
                rt::SetMemoryFaults(faults);
                EXPECT_FALSE(LoadAndFree(path));
                rt::ClearMemoryFaults();
            }
        }
        ExpectNothingLeft(path);
        if (testing::Test::HasFailure())
            break;
    }
    EXPECT_GT(swept, 500u);
}

TEST(CorpusFaults, ReadsThatStopPartWayFailCleanly)
{
    for (const std::string& path : CorpusFiles()) {
        SCOPED_TRACE(path);
        auto size = static_cast<std::int64_t>(std::filesystem::file_size(path));
        bool loads = LoadAndFree(path);
        if (size == 0)
            continue;
        // The header is always needed. Later bytes may not be (a pad byte,
        // stray bytes after the icon, an entry type the reader skips), so
        // there the load may succeed, but it must stay clean.
        for (std::int64_t allowed : {std::int64_t{0}, std::int64_t{1}, std::int64_t{8}, size / 2}) {
            rt::FileFaults faults;
            faults.failReadsAfterBytes = allowed;
            rt::SetFileFaults(faults);
            bool loaded = LoadAndFree(path);
            rt::ClearFileFaults();
            if (allowed <= 8 || !loads) {
                EXPECT_FALSE(loaded) << "after " << allowed << " bytes";
            }
            ExpectNothingLeft(path + " after " + std::to_string(allowed) + " bytes");
        }
    }
}

// One icon that every format can take, saved with each allocation failing
// in turn: every failed save reports 0 and leaves nothing behind.
TEST(CorpusFaults, EveryAllocationOfEverySaveMayFail)
{
    IconAttributes attributes{};
    const TagItem tags[] = {{LOADICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&attributes)}, {0, 0}};
    std::string source = std::string(TESSEL_CORPUS_DIR) + "/amiga/yam-check_os4.info";
    IconHandle* icon = SharedModule().LoadIcon(source.c_str(), tags);
    ASSERT_NE(icon, nullptr);
    // Add 32x32 and 16x16 true-colour and 8-bit images so the Windows and
    // macOS writers find entries of every kind.
    HostImageList extra;
    std::vector<std::uint32_t> argb(32 * 32);
    for (std::size_t i = 0; i < argb.size(); ++i)
        argb[i] = (i % 5 ? 0xFF000000u : 0x40000000u) | static_cast<std::uint32_t>(i * 40503u);
    extra.AddArgb(32, 32, argb);
    std::vector<std::uint8_t> indices(16 * 16);
    for (std::size_t i = 0; i < indices.size(); ++i)
        indices[i] = static_cast<std::uint8_t>(i % 11);
    extra.AddPalette(16, 16, 8, indices, {0x000000, 0x123456, 0xFEDCBA, 0xFF0000}, 3);
    extra.First()->next->next = SharedModule().GetIconImages(icon);

    TempDir dir;
    std::string path = dir.File("saved");
    const std::int64_t loadedBlocks = rt::LiveBlocks();
    for (std::uint32_t format : {FORMAT_AMIGAOS, FORMAT_NEWICON, FORMAT_AMIGAOS35, FORMAT_AMIGAOS40, FORMAT_PNG,
                                 FORMAT_WINDOWS, FORMAT_MACOS}) {
        SCOPED_TRACE(format);
        std::uint64_t failures = SweepAllocationFailures(
            [&] { return SaveWith(path, extra.First(), format, &attributes, 1) == 1; });
        EXPECT_GT(failures, 0u);
        EXPECT_EQ(rt::LiveBlocks(), loadedBlocks);
        EXPECT_EQ(rt::GetFileCounters().liveFiles, 0);
        EXPECT_EQ(rt::GetFileCounters().liveStreams, 0);
    }
    extra.First()->next->next = nullptr;
    SharedModule().FreeIcon(icon);
    EXPECT_EQ(rt::LiveBlocks(), 0);
}

}  // namespace
