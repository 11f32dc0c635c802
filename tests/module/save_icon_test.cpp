// SaveIcon: the tag list, the FormatId lookup, and the refusals that must
// leave the file system untouched.
#include "tests/support/host_images.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using tessel::test::FileExists;
using tessel::test::SharedModule;
using tessel::test::TempDir;
namespace rt = tessel::runtime;

const std::uint32_t FormatIds[] = {0x2CDC9BA4, 0x4B6273B7, 0x048ACE1F, 0x5E8256B5,
                                   0x66299321, 0x4FF820F7, 0xBBA9467B};
constexpr std::uint32_t WINDOWS_ID = 0x4FF820F7;
constexpr std::uint32_t MACOS_ID = 0xBBA9467B;

// An image the host owns: 4x4, depth 8, pen -1.
struct HostImageRecord {
    std::vector<std::uint8_t> pixels = std::vector<std::uint8_t>(16, 1);
    std::vector<std::uint32_t> palette = std::vector<std::uint32_t>(256, 0x00FF8000);
    IconImage image{};
    HostImageRecord()
    {
        image.pixels = pixels.data();
        image.palette = palette.data();
        image.width = 4;
        image.height = 4;
        image.depth = 8;
        image.transparentPen = -1;
    }
};

class SaveIconFlow : public testing::Test {
protected:
    void TearDown() override
    {
        EXPECT_EQ(rt::LiveBlocks(), 0);
        EXPECT_EQ(rt::GetFileCounters().liveFiles, 0);
    }
    std::int32_t Save(const std::string& name, IconImage* first, std::vector<TagItem> tags)
    {
        tags.push_back({0, 0});
        return SharedModule().SaveIcon(name.c_str(), first, tags.data());
    }
    TempDir dir;
    IconAttributes attributes{};
    HostImageRecord record;
};

TEST_F(SaveIconFlow, UnknownOrMissingFormatTouchesNothing)
{
    std::string path = dir.File("out.icon");
    EXPECT_EQ(SharedModule().SaveIcon(path.c_str(), &record.image, nullptr), 0);
    const TagItem empty[] = {{0, 0}};
    EXPECT_EQ(SharedModule().SaveIcon(path.c_str(), &record.image, empty), 0);
    EXPECT_EQ(Save(path, &record.image, {{SAVEICON_TAG_FORMAT, 0}}), 0);
    // The CRC-32 of "tessel/GIF picture": a well-made id of no format here.
    EXPECT_EQ(Save(path, &record.image, {{SAVEICON_TAG_FORMAT, 0x7718EEFD}}), 0);
    // The first pair must not be the end even when a format follows.
    EXPECT_EQ(Save(path, &record.image, {{0, 0}, {SAVEICON_TAG_FORMAT, WINDOWS_ID}}), 0);
    EXPECT_FALSE(FileExists(path));
}

TEST_F(SaveIconFlow, LastFormatTagWinsAndUnknownTagsAreSkipped)
{
    // A known format opens (creates) the file, an unknown one touches
    // nothing: whether the file appears shows which FormatId won.
    std::string chosen = dir.File("chosen.ico");
    Save(chosen, &record.image, {{SAVEICON_TAG_FORMAT, 0x12345678}, {99, 5}, {SAVEICON_TAG_FORMAT, WINDOWS_ID}});
    EXPECT_TRUE(FileExists(chosen));
    std::string refused = dir.File("refused.ico");
    EXPECT_EQ(Save(refused, &record.image, {{SAVEICON_TAG_FORMAT, WINDOWS_ID}, {99, 5},
                                            {SAVEICON_TAG_FORMAT, 0x12345678}}), 0);
    EXPECT_FALSE(FileExists(refused));
}

TEST_F(SaveIconFlow, AmigaFamilyNeedsAnAttributesRecord)
{
    for (int index = 0; index < 5; ++index) {
        std::string path = dir.File("amiga" + std::to_string(index) + ".info");
        EXPECT_EQ(Save(path, &record.image, {{SAVEICON_TAG_FORMAT, FormatIds[index]}}), 0);
        EXPECT_FALSE(FileExists(path)) << "format " << index;
        Save(path, &record.image,
             {{SAVEICON_TAG_FORMAT, FormatIds[index]},
              {SAVEICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&attributes)}});
        EXPECT_TRUE(FileExists(path)) << "format " << index;
    }
}

TEST_F(SaveIconFlow, NullImageListStillOpensTheFile)
{
    std::string path = dir.File("empty.icns");
    EXPECT_EQ(Save(path, nullptr, {{SAVEICON_TAG_FORMAT, MACOS_ID}}), 0);
    EXPECT_TRUE(FileExists(path));
}

TEST_F(SaveIconFlow, UnsafeImageListsAreRefusedBeforeOpening)
{
    struct Case {
        const char* what;
        void (*spoil)(IconImage&);
    };
    const Case cases[] = {
        {"null palette on a palette image", [](IconImage& i) { i.palette = nullptr; }},
        {"null pixels", [](IconImage& i) { i.pixels = nullptr; }},
        {"zero width", [](IconImage& i) { i.width = 0; }},
        {"negative height", [](IconImage& i) { i.height = -4; }},
        {"side over the limit", [](IconImage& i) { i.width = 70000; }},
        {"negative depth", [](IconImage& i) { i.depth = -1; }},
        {"pen below -1", [](IconImage& i) { i.transparentPen = -2; }},
        {"pen above 255", [](IconImage& i) { i.transparentPen = 256; }},
        {"a list that loops", [](IconImage& i) { i.next = &i; }},
    };
    for (const Case& c : cases) {
        for (int index = 0; index < 7; ++index) {
            HostImageRecord spoiled;
            c.spoil(spoiled.image);
            std::string path = dir.File("spoiled" + std::to_string(index));
            EXPECT_EQ(Save(path, &spoiled.image,
                           {{SAVEICON_TAG_FORMAT, FormatIds[index]},
                            {SAVEICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&attributes)}}),
                      0);
            EXPECT_FALSE(FileExists(path)) << c.what << ", format " << index;
        }
    }
}

TEST_F(SaveIconFlow, UnwritablePlaceFails)
{
    EXPECT_EQ(Save(dir.File("no/such/dir.ico"), &record.image, {{SAVEICON_TAG_FORMAT, WINDOWS_ID}}), 0);
}

}  // namespace

namespace {

// A disk that fills up part-way: whatever the format, and wherever the write
// stops, the save reports failure.
TEST(SaveIconFaults, AWriteThatFailsFailsTheSave)
{
    tessel::test::HostImageList list;
    std::vector<std::uint32_t> argb(32 * 32);
    for (std::size_t i = 0; i < argb.size(); ++i)
        argb[i] = 0xFF000000u | static_cast<std::uint32_t>(i * 2654435761u >> 8);
    list.AddArgb(32, 32, argb);
    std::vector<std::uint8_t> indices(32 * 32);
    for (std::size_t i = 0; i < indices.size(); ++i)
        indices[i] = static_cast<std::uint8_t>(i % 7);
    list.AddPalette(32, 32, 8, indices, {0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0x00FFFF, 0xFF00FF}, 0);
    IconAttributes attributes{};
    TempDir dir;
    std::string path = dir.File("full-disk");
    for (std::uint32_t format : FormatIds) {
        // Unhindered, every format can save this list.
        ASSERT_EQ(tessel::test::SaveWith(path, list.First(), format, &attributes), 1) << std::hex << format;
        auto size = static_cast<std::int64_t>(tessel::test::ReadFileBytes(path).size());
        for (std::int64_t allowed : {std::int64_t{0}, std::int64_t{1}, size / 3, size - 1}) {
            rt::FileFaults faults;
            faults.failWritesAfterBytes = allowed;
            rt::SetFileFaults(faults);
            EXPECT_EQ(tessel::test::SaveWith(path, list.First(), format, &attributes), 0)
                << std::hex << format << std::dec << " after " << allowed << " bytes";
            rt::ClearFileFaults();
        }
    }
    EXPECT_EQ(rt::LiveBlocks(), 0);
    EXPECT_EQ(rt::GetFileCounters().liveFiles, 0);
    EXPECT_EQ(rt::GetFileCounters().liveStreams, 0);
}

}  // namespace
