// LoadIcon: the tag list, how the file is opened, refusals, and the attribute
// record with its tooltype array.
#include "icon/icon_flows.h"
#include "host/host_calls.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using tessel::test::Bytes;
using tessel::test::FreshModule;
using tessel::test::SharedModule;
using tessel::test::TempDir;
namespace rt = tessel::runtime;

class LoadIconFlow : public testing::Test {
protected:
    void SetUp() override { rt::ResetFileCounters(); }
    void TearDown() override
    {
        EXPECT_EQ(rt::LiveBlocks(), 0);
        EXPECT_EQ(rt::GetFileCounters().liveFiles, 0);
    }
    TempDir dir;
};

TEST_F(LoadIconFlow, RefusesWhatIsNoIcon)
{
    const Bytes refused[] = {
        {0x00, 0x00, 0x02, 0x00, 0x01, 0x00},   // a cursor file
        {0x00, 0x00, 0x01},                     // short: reads as 00 00 01 00 with no entries
        {},                                     // empty
        {'G', 'I', 'F', '8', '9', 'a'},
    };
    for (const Bytes& bytes : refused) {
        std::string path = dir.File("refused.bin");
        tessel::test::WriteFileBytes(path, bytes);
        IconAttributes attributes{};
        attributes.type = 77;
        const TagItem tags[] = {{LOADICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&attributes)},
                                {0, 0}};
        EXPECT_EQ(SharedModule().LoadIcon(path.c_str(), tags), nullptr);
        EXPECT_EQ(attributes.type, 77) << "a failed load must leave the record alone";
    }
    EXPECT_EQ(SharedModule().LoadIcon(dir.File("missing.info").c_str(), nullptr), nullptr);
    EXPECT_EQ(SharedModule().LoadIcon(dir.Path().c_str(), nullptr), nullptr);   // a directory
    EXPECT_EQ(SharedModule().LoadIcon(nullptr, nullptr), nullptr);
}

TEST_F(LoadIconFlow, PlainOpenUnlessAnAdapterIsGiven)
{
    std::string path = dir.File("x.bin");
    tessel::test::WriteFileBytes(path, {0x00, 0x00, 0x02, 0x00});

    SharedModule().LoadIcon(path.c_str(), nullptr);
    const TagItem onlyEnd[] = {{0, 0}};
    SharedModule().LoadIcon(path.c_str(), onlyEnd);
    const TagItem zeroAdapter[] = {{LOADICON_TAG_ADAPTER, 0}, {0, 0}};
    SharedModule().LoadIcon(path.c_str(), zeroAdapter);
    EXPECT_EQ(rt::GetFileCounters().opens, 3u);
    EXPECT_EQ(rt::GetFileCounters().opensWithTags, 0u);

    // Unknown tags are skipped with their value; the last adapter wins.
    const TagItem adapters[] = {{LOADICON_TAG_ADAPTER, 0x1111}, {99, 0x2222}, {LOADICON_TAG_ADAPTER, 0x3333},
                                {0, 0x4444}, {LOADICON_TAG_ADAPTER, 0x5555}};
    SharedModule().LoadIcon(path.c_str(), adapters);
    EXPECT_EQ(rt::GetFileCounters().opensWithTags, 1u);
    EXPECT_EQ(rt::GetFileCounters().lastAdapter, 0x3333u);
}

TEST_F(LoadIconFlow, OldHostInterfaceIgnoresTheAdapter)
{
    std::string path = dir.File("x.bin");
    tessel::test::WriteFileBytes(path, {0x00, 0x00, 0x02, 0x00});
    FreshModule fresh;
    PluginInfo info{};
    ASSERT_EQ(fresh.Entry<InitPluginFn>("InitPlugin")(&info, rt::GetHostApiWithVersion(5)), 1);
    const TagItem tags[] = {{LOADICON_TAG_ADAPTER, 0x1234}, {0, 0}};
    EXPECT_EQ(fresh.Entry<LoadIconFn>("LoadIcon")(path.c_str(), tags), nullptr);
    EXPECT_EQ(rt::GetFileCounters().opens, 1u);
    EXPECT_EQ(rt::GetFileCounters().opensWithTags, 0u);
}

// The attribute steps, on handles built by hand through the module's own
// allocation path.
class ToolTypeArray : public testing::Test {
protected:
    void SetUp() override { SetHostApi(rt::GetHostApi()); }
    void TearDown() override
    {
        HostFreeMem(icon.toolTypeBlock);
        HostFreeMem(icon.toolTypeArray);
        EXPECT_EQ(rt::LiveBlocks(), 0);
    }

    // A block of exactly the bytes of a literal (without the literal's own
    // terminator), in a block of its own size.
    template <std::size_t N>
    void SetBlock(const char (&literal)[N])
    {
        SetBlock(std::string(literal, N - 1));
    }

    void SetBlock(const std::string& bytes)
    {
        icon.toolTypeBlock = static_cast<char*>(HostAllocMem(bytes.size(), 0, "tooltypes"));
        std::memcpy(icon.toolTypeBlock, bytes.data(), bytes.size());
        icon.toolTypeBlockBytes = static_cast<std::uint32_t>(bytes.size());
    }

    std::vector<std::string> Lines(std::size_t* slots = nullptr) const
    {
        std::vector<std::string> lines;
        std::size_t n = 0;
        for (; icon.toolTypeArray[n]; ++n)
            lines.emplace_back(icon.toolTypeArray[n]);
        if (slots)
            *slots = n;
        return lines;
    }

    IconHandle icon{};
};

TEST_F(ToolTypeArray, NewIconsLinesAreLeftOut)
{
    SetBlock("IM1=abc\0PLAIN=1\0IM2=def\0\0");
    ASSERT_EQ(BuildToolTypeArray(&icon), 1);
    ASSERT_NE(icon.toolTypeArray, nullptr);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"PLAIN=1"}));
    // Four slots: the ordinary line, then nulls for the two skipped lines and the end.
    EXPECT_EQ(icon.toolTypeArray[1], nullptr);
    EXPECT_EQ(icon.toolTypeArray[2], nullptr);
    EXPECT_EQ(icon.toolTypeArray[3], nullptr);
    EXPECT_EQ(rt::LiveBlocks("ttarray"), 1);
}

TEST_F(ToolTypeArray, OnlyExactPrefixesCount)
{
    SetBlock("IM10=x\0im1=y\0IM1\0IM1=\0IM2\0IM2=\0DONE\0\0");
    ASSERT_EQ(BuildToolTypeArray(&icon), 1);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"IM10=x", "im1=y", "IM1", "IM2", "DONE"}));
}

TEST_F(ToolTypeArray, AllImageLinesGiveAnEmptyArray)
{
    SetBlock("IM1=a\0IM1=b\0\0");
    ASSERT_EQ(BuildToolTypeArray(&icon), 1);
    ASSERT_NE(icon.toolTypeArray, nullptr);
    EXPECT_EQ(icon.toolTypeArray[0], nullptr);
}

TEST_F(ToolTypeArray, ShortLastLineStaysInsideTheBlock)
{
    // "A" then the end: the four-byte prefix test must stop at the NUL.
    SetBlock("A\0\0");
    ASSERT_EQ(BuildToolTypeArray(&icon), 1);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"A"}));
}

TEST_F(ToolTypeArray, UnterminatedBlockStopsAtItsEnd)
{
    SetBlock("ONE\0TWO");
    ASSERT_EQ(BuildToolTypeArray(&icon), 1);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"ONE"}));
}

TEST_F(ToolTypeArray, NoToolTypesNoArray)
{
    ASSERT_EQ(BuildToolTypeArray(&icon), 1);
    EXPECT_EQ(icon.toolTypeArray, nullptr);
    SetBlock("\0\0");
    ASSERT_EQ(BuildToolTypeArray(&icon), 1);
    EXPECT_EQ(icon.toolTypeArray, nullptr);

    char* callersList[] = {nullptr};
    IconAttributes attributes{};
    attributes.toolTypes = callersList;
    CopyIconAttributes(&icon, &attributes);
    EXPECT_EQ(attributes.toolTypes, callersList);
}

TEST_F(ToolTypeArray, FailedArrayLeavesNoArray)
{
    SetBlock("A=1\0\0");
    rt::MemoryFaults faults;
    faults.failTag = "ttarray";
    faults.failTagNth = 1;
    rt::SetMemoryFaults(faults);
    EXPECT_EQ(BuildToolTypeArray(&icon), 0);
    EXPECT_TRUE(rt::MemoryFaultFired());
    rt::ClearMemoryFaults();
    EXPECT_EQ(icon.toolTypeArray, nullptr);
}

TEST_F(ToolTypeArray, AttributesAreCopiedInTheRecordsOrder)
{
    SetBlock("K=V\0\0");
    char tool[] = "SYS:Utilities/More";
    icon.type = 3;
    icon.posX = -5;
    icon.posY = 40;
    icon.drawerLeft = 1;
    icon.drawerTop = 2;
    icon.drawerWidth = 300;
    icon.drawerHeight = 200;
    icon.viewMode = 2;
    icon.showAll = 2;
    icon.stackSize = 8192;
    icon.defaultTool = tool;
    ASSERT_EQ(BuildToolTypeArray(&icon), 1);
    IconAttributes attributes{};
    CopyIconAttributes(&icon, &attributes);
    EXPECT_EQ(attributes.type, 3);
    EXPECT_EQ(attributes.viewMode, 2);
    EXPECT_EQ(attributes.posX, -5);
    EXPECT_EQ(attributes.posY, 40);
    EXPECT_EQ(attributes.drawerLeft, 1);
    EXPECT_EQ(attributes.drawerTop, 2);
    EXPECT_EQ(attributes.drawerWidth, 300);
    EXPECT_EQ(attributes.drawerHeight, 200);
    EXPECT_EQ(attributes.stackSize, 8192);
    EXPECT_EQ(attributes.defaultTool, tool);
    EXPECT_EQ(attributes.showAll, 1);   // any non-zero value arrives as 1
    ASSERT_NE(attributes.toolTypes, nullptr);
    EXPECT_STREQ(attributes.toolTypes[0], "K=V");
    EXPECT_EQ(attributes.toolTypes[1], nullptr);
}

}  // namespace
