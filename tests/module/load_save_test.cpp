// LoadIcon and SaveIcon: their tag lists, and the refusals that must leave
// the caller's record and the file system untouched.
#include "plugin/format_table.h"
#include "tests/support/host_images.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

namespace {

using namespace tessel::test;
namespace rt = tessel::runtime;

TEST(LoadIconFlow, RefusalsAndTheAdapterTag)
{
    TempDir dir;
    std::string path = dir.File("refused.bin");
    IconAttributes attributes{};
    attributes.type = 77;
    const TagItem withRecord[] = {{LOADICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&attributes)}, {0, 0}};
    rt::MemoryFaults noArray;   // the first: an icon with a tooltype, its array refused (F09)
    noArray.failTag = "ttarray", noArray.failTagNth = 1;
    rt::SetMemoryFaults(noArray);
    for (const Bytes& bytes : {ReadFileBytes(CorpusPath("amiga/yam-check_os4.info")), Bytes{0, 0, 2, 0, 1, 0},
                               Bytes{0, 0, 1}, Bytes{}, Bytes{'G', 'I', 'F', '8'}}) {
        WriteFileBytes(path, bytes);   // then a cursor, a short header, nothing, another picture
        EXPECT_EQ(SharedModule().LoadIcon(path.c_str(), withRecord), nullptr);
        EXPECT_EQ(attributes.type, 77) << "a failed load must leave the record alone";
    }
    rt::ClearMemoryFaults();
    for (const std::string& name : {dir.File("missing.info"), dir.Path()})
        EXPECT_EQ(SharedModule().LoadIcon(name.c_str(), nullptr), nullptr);
    EXPECT_EQ(SharedModule().LoadIcon(nullptr, nullptr), nullptr);

    // No adapter: a plain open. Unknown tags are skipped with their value,
    // the list ends at tag 0, and the last adapter before it wins.
    rt::ResetFileCounters();
    const TagItem onlyEnd[] = {{0, 0}}, zeroAdapter[] = {{LOADICON_TAG_ADAPTER, 0}, {0, 0}};
    for (const TagItem* tags : {static_cast<const TagItem*>(nullptr), onlyEnd, zeroAdapter})
        SharedModule().LoadIcon(path.c_str(), tags);
    EXPECT_EQ(rt::GetFileCounters().opens, 3u);
    EXPECT_EQ(rt::GetFileCounters().opensWithTags, 0u);
    const TagItem adapters[] = {{LOADICON_TAG_ADAPTER, 0x1111}, {99, 0x2222}, {LOADICON_TAG_ADAPTER, 0x3333},
                                {0, 0x4444}, {LOADICON_TAG_ADAPTER, 0x5555}};
    SharedModule().LoadIcon(path.c_str(), adapters);
    EXPECT_EQ(rt::GetFileCounters().opensWithTags, 1u);
    EXPECT_EQ(rt::GetFileCounters().lastAdapter, 0x3333u);

    // A host of interface version 5 has no adapters: a plain open.
    FreshModule fresh;
    PluginInfo info{};
    ASSERT_EQ(fresh.Entry<InitPluginFn>("InitPlugin")(&info, rt::GetHostApiWithVersion(5)), 1);
    fresh.Entry<LoadIconFn>("LoadIcon")(path.c_str(), adapters);
    EXPECT_EQ(rt::GetFileCounters().opens, 4u);
    EXPECT_EQ(rt::GetFileCounters().opensWithTags, 1u);
    EXPECT_EQ(rt::LiveBlocks(), 0);
}

// Whether a save opened (created) the file shows whether it was refused.
TEST(SaveIconFlow, TagListsAndRefusalsBeforeOpening)
{
    TempDir dir;
    HostImageList list;
    IconImage& image = list.AddPalette(4, 4, 8, Bytes(16, 1), {0xFF8000, 0x00FF00});
    IconAttributes attributes{};
    const std::uintptr_t record = reinterpret_cast<std::uintptr_t>(&attributes);
    const std::uint32_t windows = SaveFormatId("WINDOWS");
    struct TagCase {
        const char* what;
        std::vector<TagItem> tags;
        bool opens;
    };
    std::vector<TagCase> cases = {
        {"no format", {}, false},
        {"format 0", {{SAVEICON_TAG_FORMAT, 0}}, false},
        {"a well-made id of no format here", {{SAVEICON_TAG_FORMAT, 0x7718EEFD}}, false},
        {"the list ends before the format", {{0, 0}, {SAVEICON_TAG_FORMAT, windows}}, false},
        {"the last format wins", {{SAVEICON_TAG_FORMAT, 0x12345678}, {99, 5}, {SAVEICON_TAG_FORMAT, windows}}, true},
        {"the last format wins, unknown", {{SAVEICON_TAG_FORMAT, windows}, {SAVEICON_TAG_FORMAT, 7}}, false},
    };
    for (const SaveFormatRow& format : SaveFormatTable) {
        cases.push_back({format.keyword, {{SAVEICON_TAG_FORMAT, format.formatId}}, !format.carriesAttributes});
        cases.push_back({format.keyword, {{SAVEICON_TAG_FORMAT, format.formatId}, {SAVEICON_TAG_ATTRIBUTES, record}},
                         true});
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        std::string path = dir.File(std::to_string(i));
        cases[i].tags.push_back({0, 0});
        const std::int32_t saved = SharedModule().SaveIcon(path.c_str(), &image, cases[i].tags.data());
        EXPECT_EQ(FileExists(path), cases[i].opens);
        EXPECT_TRUE(cases[i].opens || saved == 0);   // a refusal is reported
    }
    EXPECT_EQ(SharedModule().SaveIcon(dir.File("x").c_str(), &image, nullptr), 0);
    EXPECT_FALSE(FileExists(dir.File("x")));
    EXPECT_EQ(SaveWith(dir.File("no/such/dir.ico"), &image, windows, nullptr), 0);
    EXPECT_EQ(SaveWith(dir.File("empty.icns"), nullptr, SaveFormatId("MACOS"), nullptr), 0);
    EXPECT_TRUE(FileExists(dir.File("empty.icns")));   // a null list still opens the file

    // A list a writer could not read safely (here 65,536 images; the image
    // limits are rows of LimitsAtTheirEdges) is refused before the file opens.
    std::vector<IconImage> images(SAVE_MAX_IMAGES + 1, image);
    for (std::size_t i = 0; i + 1 < images.size(); ++i)
        images[i].next = &images[i + 1];
    for (const SaveFormatRow& format : SaveFormatTable) {
        EXPECT_EQ(SaveWith(dir.File("long"), &images[0], format.formatId, &attributes), 0);
        EXPECT_FALSE(FileExists(dir.File("long"))) << format.keyword;
    }
    EXPECT_EQ(rt::LiveBlocks(), 0);
}

}  // namespace
