// The icon records (limits at their edges, the load budget, the tooltype
// array), byte-order streams and the growable buffers.
#include "host/host_calls.h"
#include "icon/icon_flows.h"
#include "icon/icon_model.h"
#include "io/buffers.h"
#include "io/byte_io.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace tessel::test;
namespace rt = tessel::runtime;

struct ToolTypeCase {
    std::string block;                 // as the file holds it; "" = no block
    std::vector<std::string> lines;    // what the array shows
    bool array;
};
const ToolTypeCase ToolTypeCases[] = {
    {{"IM1=abc\0PLAIN=1\0IM2=def\0\0", 25}, {"PLAIN=1"}, true},     // NewIcons lines are left out
    {{"IM10=x\0im1=y\0IM1\0IM1=\0IM2\0IM2=\0DONE\0\0", 36}, {"IM10=x", "im1=y", "IM1", "IM2", "DONE"}, true},
    {{"IM1=a\0IM1=b\0\0", 13}, {}, true},
    {{"A\0\0", 3}, {"A"}, true},                                     // the prefix test stops at the NUL
    {{"ONE\0TWO", 7}, {"ONE"}, true},                                // an unterminated line is no line
    {{"\0\0", 2}, {}, false},
    {"", {}, false},
};

TEST(IconModel, ToolTypeArrayAndAttributes)
{
    SetHostApi(rt::GetHostApi());
    for (const ToolTypeCase& row : ToolTypeCases) {
        SCOPED_TRACE(row.block);
        IconHandle icon{};
        if (!row.block.empty()) {
            icon.toolTypeBlock = static_cast<char*>(HostAllocMem(row.block.size(), 0, "tooltypes"));
            std::memcpy(icon.toolTypeBlock, row.block.data(), row.block.size());
            icon.toolTypeBlockBytes = std::uint32_t(row.block.size());
        }
        ASSERT_EQ(BuildToolTypeArray(&icon), 1);
        ASSERT_EQ(icon.toolTypeArray != nullptr, row.array);
        std::vector<std::string> lines;
        for (char** line = icon.toolTypeArray; line && *line; ++line)
            lines.emplace_back(*line);
        EXPECT_EQ(lines, row.lines);
        char tool[] = "C:More";
        icon = {nullptr, 3, -5, 40, 1, 2, 300, 200, 2, 2, 8192, tool, icon.toolTypeBlock, 0, icon.toolTypeArray, 0, 0};
        char* callers[] = {nullptr};
        IconAttributes a{};
        a.toolTypes = callers;
        CopyIconAttributes(&icon, &a);
        EXPECT_EQ(std::vector<std::int32_t>({a.type, a.viewMode, a.posX, a.posY, a.drawerLeft, a.drawerTop,
                                             a.drawerWidth, a.drawerHeight, a.stackSize, a.showAll}),
                  std::vector<std::int32_t>({3, 2, -5, 40, 1, 2, 300, 200, 8192, 1}));   // showAll as 0 or 1
        EXPECT_EQ(a.defaultTool, tool);
        EXPECT_EQ(a.toolTypes, row.array ? icon.toolTypeArray : callers);
        HostFreeMem(icon.toolTypeBlock);
        HostFreeMem(icon.toolTypeArray);
    }
    EXPECT_EQ(rt::LiveBlocks(), 0);
}

TEST(IconModel, LimitsAtTheirEdges)
{
    SetHostApi(rt::GetHostApi());
    std::uint8_t pixel = 0;
    std::uint32_t palette[256] = {};
    struct { std::int32_t width, height, depth, pen; bool palette, valid; } rows[] = {
        {ICON_MAX_SIDE, ICON_MAX_SIDE, 8, -1, true, true},     {ICON_MAX_SIDE + 1, 1, 8, -1, true, false},
        {1, ICON_MAX_SIDE + 1, 32, -1, false, false},          {8192, 8192, 32, -1, false, true},   // 256 MiB
        {8192, 8193, 32, -1, false, false},                    {1, 0, 8, -1, true, false},
        {1, 1, 0, 255, true, true},                            {1, 1, 8, 256, true, false},
        {1, 1, -1, -1, true, false},                           {1, 1, 8, -2, true, false},
        {1, 1, 8, 0, false, false},                            {1, 1, 9, 0, false, true},
    };
    for (const auto& r : rows) {
        IconImage image{nullptr, &pixel, r.width, r.height, 0, 0, r.palette ? palette : nullptr, r.pen, r.depth, 0, 0};
        EXPECT_EQ(ValidateImageList(&image), r.valid) << r.width << "x" << r.height << "/" << r.depth << " " << r.pen;
    }
    std::vector<IconImage> list(SAVE_MAX_IMAGES, IconImage{nullptr, &pixel, 1, 1, 0, 0, nullptr, -1, 32, 0, 0});
    for (std::size_t i = 0; i + 1 < list.size(); ++i)
        list[i].next = &list[i + 1];
    EXPECT_EQ(ValidateImageList(&list[0]), 1);
    // The load budget: a 10x10 palette image is charged 100 + 1,024 bytes.
    for (std::uint64_t left : {1124u, 1123u}) {
        IconHandle icon{};
        IconImage* tail = nullptr;
        icon.imageBytesCharged = ICON_LOAD_BUDGET_BYTES - left;
        EXPECT_EQ(NewIconImage(10, 10, 8, -1, 1, &icon, &tail) != nullptr, left == 1124u);
        EXPECT_EQ(icon.imageBytesCharged, ICON_LOAD_BUDGET_BYTES - (left == 1124u ? 0 : left));
        if (tail) {
            EXPECT_EQ(std::vector<std::uint32_t>({tail->flags, tail->pixels[99], tail->palette[255]}),
                      std::vector<std::uint32_t>({IMAGEFLAG_SELECTED, 0, 0}));
        }
        if (icon.images)
            FreeIconImage(icon.images);
    }
    EXPECT_EQ(rt::LiveBlocks(), 0);
}

// Values written and read in each byte order; a patch goes back and returns
// to the end; reads past the end give zeros.
TEST(ByteIo, StreamsAndBuffers)
{
    SetHostApi(rt::GetHostApi());
    TempDir dir;
    HostFile* file = HostOpen(dir.File("w").c_str(), HOST_MODE_WRITE);
    WriteBE32(file, 0x89504E47), WriteLE32(file, 0x89504E47), WriteLE16(file, 0x0100), WriteBE16(file, 0x12345678);
    WriteZeros(file, -3), WriteZeros(file, 2), PatchBE32(file, 4, 0x102), WriteBE16(file, 0xCCDD);
    PatchLE32(file, 0, 0x01020304);
    EXPECT_EQ(HostClose(file), 0);
    EXPECT_EQ(ReadFileBytes(dir.File("w")), (Bytes{4, 3, 2, 1, 0, 0, 1, 2, 0, 1, 0x56, 0x78, 0, 0, 0xCC, 0xDD}));
    WriteFileBytes(dir.File("r"), {0xE3, 0x10, 0x00, 0x01, 0xFF, 0xFE, 0x12, 0x34, 0x78, 0x56, 0x34, 0x12, 0xAB});
    file = HostOpen(dir.File("r").c_str(), HOST_MODE_READ);
    std::vector<std::uint32_t> read = {ReadBE32(file), ReadLE16(file), ReadBE16(file), ReadLE32(file)};
    EXPECT_EQ(HostEof(file), 0);
    read.push_back(ReadBE32(file));
    EXPECT_EQ(read, std::vector<std::uint32_t>({0xE3100001u, 0xFEFFu, 0x1234u, 0x12345678u, 0xAB000000u}));
    EXPECT_NE(HostEof(file), 0);
    EXPECT_EQ(HostClose(file), 0);

    // EnsureBuffer keeps a block strictly larger than the need, and otherwise
    // takes a new one: when that fails, no block and capacity 0. A need of 0
    // still gets a block; a negative need frees it.
    std::int32_t capacity = 0;
    std::uint8_t* block = EnsureBuffer(nullptr, 100, &capacity);
    rt::MemoryFaults firstFails;
    firstFails.failNth = 1;
    rt::SetMemoryFaults(firstFails);
    EXPECT_EQ(EnsureBuffer(block, 99, &capacity), block);
    EXPECT_EQ(EnsureBuffer(block, 0, &capacity), block);
    EXPECT_EQ(EnsureBuffer(block, 100, &capacity), nullptr);
    rt::ClearMemoryFaults();
    EXPECT_EQ(capacity, 0);
    EXPECT_NE(block = EnsureBuffer(nullptr, 0, &capacity), nullptr);
    EXPECT_EQ(EnsureBuffer(block, -1, &capacity), nullptr);

    // Tag items as big-endian words (a zero value only when forced); growth to
    // the next 64 KiB step, however far; a failed growth is sticky and keeps the bytes.
    AppendBuffer buffer;
    ASSERT_EQ(StartAppendBuffer(&buffer), 1);
    AppendTagValue(0x11, 0, 0, &buffer), AppendTagValue(0x11, 0, 1, &buffer);
    AppendTagValue(0x01020304, 0xA0B0C0D0, 0, &buffer), AppendTagString(0x15, "abc", &buffer);
    AppendTagString(0x16, nullptr, &buffer), AppendBytes("x", 0, &buffer);
    EXPECT_EQ(Bytes(buffer.data, buffer.data + buffer.used), (Bytes{0, 0, 0, 0x11, 0, 0, 0, 0, 1, 2, 3, 4, 0xA0, 0xB0,
                                                                    0xC0, 0xD0, 0, 0, 0, 0x15, 'a', 'b', 'c', 0, 'x', 0}));
    struct { std::int32_t n, capacity; } growth[] = {{65536 - 26, 65536}, {1, 131072}, {131071, 196608}};   // (F04)
    for (const auto& step : growth) {
        ASSERT_EQ(ReserveBuffer(step.n, &buffer), 1);
        buffer.used += step.n;
        EXPECT_EQ(buffer.capacity, step.capacity) << step.n;
    }
    rt::MemoryFaults againFails;   // exactly full: only the next growth allocates
    againFails.failNth = 1;
    rt::SetMemoryFaults(againFails);
    EXPECT_EQ(ReserveBuffer(0, &buffer), 1);
    EXPECT_EQ(ReserveBuffer(65536, &buffer), 0);
    rt::ClearMemoryFaults();
    AppendBytes("y", 1, &buffer);
    EXPECT_EQ(std::vector<std::int32_t>({buffer.failed, buffer.used, buffer.capacity, buffer.data[25]}),
              std::vector<std::int32_t>({1, 196608, 196608, 0}));
    ReleaseAppendBuffer(&buffer);
    ASSERT_EQ(StartAppendBuffer(&buffer), 1);
    EXPECT_EQ(ReserveBuffer(-1, &buffer) * 10 + buffer.failed, 1);   // a negative need is a failure
    ReleaseAppendBuffer(&buffer);
    EXPECT_EQ(rt::LiveBlocks(), 0);
}

}  // namespace
