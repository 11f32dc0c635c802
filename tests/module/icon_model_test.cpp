// The icon records: building image lists, the size limits and the load budget.
#include "host/host_calls.h"
#include "icon/icon_model.h"
#include "plugin/entry_points.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

namespace {

namespace rt = tessel::runtime;

class IconModel : public testing::Test {
protected:
    void SetUp() override { SetHostApi(rt::GetHostApi()); }
    void TearDown() override
    {
        IconImage* image = icon.images;
        while (image) {
            IconImage* next = image->next;
            FreeIconImage(image);
            image = next;
        }
        EXPECT_EQ(rt::LiveBlocks(), 0);
    }
    IconHandle icon{};
    IconImage* tail = nullptr;
};

TEST_F(IconModel, PaletteAndTrueColourImages)
{
    IconImage* palette = NewIconImage(16, 16, 8, -1, 0, &icon, &tail);
    ASSERT_NE(palette, nullptr);
    EXPECT_EQ(palette->flags, 0u);
    EXPECT_EQ(palette->mark, 0u);
    EXPECT_EQ(palette->transparentPen, -1);
    EXPECT_NE(palette->palette, nullptr);
    EXPECT_EQ(rt::LiveBlocks("icdata"), 1);
    EXPECT_EQ(rt::LiveBlocks("icpalette"), 1);

    IconImage* argb = NewIconImage(16, 16, 32, 0, 1, &icon, &tail);
    ASSERT_NE(argb, nullptr);
    EXPECT_EQ(argb->palette, nullptr);
    EXPECT_EQ(argb->flags, IMAGEFLAG_SELECTED);
    EXPECT_EQ(rt::LiveBlocks("icpalette"), 1);
    EXPECT_EQ(icon.images, palette);
    EXPECT_EQ(palette->next, argb);
    EXPECT_EQ(tail, argb);
    // 256 + 1,024 pixel bytes and one 1,024-byte palette.
    EXPECT_EQ(icon.imageBytesCharged, 256u + 1024u + 1024u);
    // Zero-filled: the last byte of each buffer is 0, not the scratch poison.
    EXPECT_EQ(palette->pixels[255], 0);
    EXPECT_EQ(argb->pixels[1023], 0);
    EXPECT_EQ(palette->palette[255], 0u);
}

TEST_F(IconModel, ImpossibleSizesLeaveTheListAlone)
{
    ASSERT_NE(NewIconImage(2, 2, 4, -1, 0, &icon, &tail), nullptr);
    IconImage* before = tail;
    struct { std::int32_t w, h, depth; } refused[] = {
        {65536, 65536, 32}, {-1, 16, 8}, {16, 0, 8}, {16384, 16385, 8}, {16384, 16384, 32}, {4, 4, -2},
    };
    for (auto r : refused) {
        EXPECT_EQ(NewIconImage(r.w, r.h, r.depth, -1, 0, &icon, &tail), nullptr) << r.w << "x" << r.h;
        EXPECT_EQ(tail, before);
        EXPECT_EQ(before->next, nullptr);
    }
    // The largest square a byte-per-pixel image may have is fine.
    EXPECT_EQ(IconPixelBytes(16384, 16384, 8), 16384ull * 16384ull);
    EXPECT_EQ(IconPixelBytes(16384, 16384, 32), 0u);   // 1 GiB of words: over the image ceiling
}

TEST_F(IconModel, LoadBudgetStopsAmplification)
{
    // 1,123 bytes left: a 10x10 palette image needs 100 + 1,024.
    icon.imageBytesCharged = ICON_LOAD_BUDGET_BYTES - 1123;
    EXPECT_EQ(NewIconImage(10, 10, 8, -1, 0, &icon, &tail), nullptr);
    EXPECT_EQ(icon.images, nullptr);
    ASSERT_NE(NewIconImage(10, 10, 32, -1, 0, &icon, &tail), nullptr);   // 400 bytes, no palette
    EXPECT_EQ(icon.imageBytesCharged, ICON_LOAD_BUDGET_BYTES - 723);
    icon.imageBytesCharged = ICON_LOAD_BUDGET_BYTES;
    EXPECT_EQ(NewIconImage(1, 1, 32, -1, 0, &icon, &tail), nullptr) << "the budget is spent";
}

TEST_F(IconModel, PartialImageStaysLinkedForRelease)
{
    rt::MemoryFaults faults;
    faults.failTag = "icpalette";
    faults.failTagNth = 1;
    rt::SetMemoryFaults(faults);
    EXPECT_EQ(NewIconImage(8, 8, 4, 0, 0, &icon, &tail), nullptr);
    rt::ClearMemoryFaults();
    ASSERT_NE(icon.images, nullptr);       // reachable, so the owner releases it
    EXPECT_EQ(tail, nullptr);              // but the tail did not move
    EXPECT_EQ(rt::LiveBlocks("icdata"), 1);
}

TEST_F(IconModel, FindIconImageMatchesAllThree)
{
    IconImage* deep = NewIconImage(32, 32, 32, -1, 0, &icon, &tail);
    IconImage* eight = NewIconImage(32, 32, 8, -1, 0, &icon, &tail);
    ASSERT_NE(eight, nullptr);
    EXPECT_EQ(FindIconImage(32, 32, 8, icon.images), eight);
    EXPECT_EQ(FindIconImage(32, 32, 32, icon.images), deep);
    EXPECT_EQ(FindIconImage(32, 32, 4, icon.images), nullptr);
    EXPECT_EQ(FindIconImage(32, 16, 8, icon.images), nullptr);
    EXPECT_EQ(FindIconImage(32, 32, 8, nullptr), nullptr);
}

TEST_F(IconModel, FreeIconReleasesEverything)
{
    auto* handle = static_cast<IconHandle*>(HostAllocMem(sizeof(IconHandle), 1, "iconinfo"));
    ASSERT_NE(handle, nullptr);
    FreeIcon(handle);
    EXPECT_EQ(rt::LiveBlocks(), 0);

    handle = static_cast<IconHandle*>(HostAllocMem(sizeof(IconHandle), 1, "iconinfo"));
    IconImage* handleTail = nullptr;
    ASSERT_NE(NewIconImage(3, 3, 1, 0, 0, handle, &handleTail), nullptr);
    ASSERT_NE(NewIconImage(3, 3, 32, -1, 1, handle, &handleTail), nullptr);
    handle->defaultTool = static_cast<char*>(HostAllocMem(4, 1, "deftool"));
    handle->toolTypeBlock = static_cast<char*>(HostAllocMem(4, 1, "tooltypes"));
    handle->toolTypeArray = static_cast<char**>(HostAllocMem(16, 1, "ttarray"));
    EXPECT_EQ(GetIconImages(handle), handle->images);
    FreeIcon(handle);
}

}  // namespace

namespace {

TEST(IconModelSweep, EveryAllocationFailureIsCleanlyUndone)
{
    SetHostApi(rt::GetHostApi());
    // A reader in miniature: a handle and two images, released whatever happens.
    auto build = [] {
        auto* handle = static_cast<IconHandle*>(HostAllocMem(sizeof(IconHandle), 1, "iconinfo"));
        if (!handle)
            return false;
        IconImage* tail = nullptr;
        bool ok = NewIconImage(5, 7, 4, 0, 0, handle, &tail) && NewIconImage(5, 7, 32, -1, 1, handle, &tail);
        FreeIcon(handle);
        return ok;
    };
    // The handle, then record, pixels and palette, then record and pixels.
    EXPECT_EQ(tessel::test::SweepAllocationFailures(build), 6u);
    EXPECT_EQ(rt::LiveBlocks(), 0);
}

}  // namespace
