// HostAllocMem/HostFreeMem accounting and injected faults; the HostApi
// tables and the format registry that HostRegisterFormat fills.
#include "runtime/host_services.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace tessel::runtime;

namespace {

class HostMemory : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearMemoryFaults();
        SetPoisonScratch(true);
        baseBlocks_ = LiveBlocks();
    }
    void TearDown() override
    {
        ClearMemoryFaults();
        EXPECT_EQ(LiveBlocks(), baseBlocks_);
    }

private:
    std::int64_t baseBlocks_ = 0;
};

// Allocates blocks with the given tags and sizes; returns which ones succeeded.
std::vector<bool> AllocateAll(const std::vector<std::pair<const char*, std::uint64_t>>& requests,
                              std::vector<void*>& blocks)
{
    std::vector<bool> succeeded;
    for (const auto& [tag, size] : requests) {
        void* block = TesselHostAllocMem(size, 0, tag);
        succeeded.push_back(block != nullptr);
        if (block)
            blocks.push_back(block);
    }
    return succeeded;
}

void FreeAll(std::vector<void*>& blocks)
{
    for (void* block : blocks)
        TesselHostFreeMem(block);
    blocks.clear();
}

}  // namespace

TEST_F(HostMemory, CountsLiveBlocksAndBytesPerTag)
{
    void* a = TesselHostAllocMem(10, 1, "pixels");
    void* b = TesselHostAllocMem(20, 0, "pixels");
    void* c = TesselHostAllocMem(30, 0, "palette");
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(LiveBlocks("pixels"), 2);
    EXPECT_EQ(LiveBlocks("palette"), 1);
    EXPECT_EQ(LiveBlocks("nothing"), 0);
    EXPECT_EQ(LiveBytes(), 60u + 0u);
    auto byTag = LiveBlocksByTag();
    EXPECT_EQ(byTag["pixels"], 2);
    EXPECT_EQ(byTag["palette"], 1);

    TesselHostFreeMem(a);
    TesselHostFreeMem(c);
    EXPECT_EQ(LiveBlocks("pixels"), 1);
    EXPECT_EQ(LiveBlocksByTag().count("palette"), 0u);  // only tags with live blocks
    EXPECT_EQ(LiveBytes(), 20u);
    TesselHostFreeMem(b);
    TesselHostFreeMem(nullptr);  // a no-op
    EXPECT_EQ(LiveBytes(), 0u);
    EXPECT_TRUE(LiveBlocksByTag().empty());
}

TEST_F(HostMemory, ZeroSizeGivesDistinctBlocksAndFillFollowsTheFlag)
{
    void* first = TesselHostAllocMem(0, 0, "empty");
    void* second = TesselHostAllocMem(0, 1, "empty");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(LiveBlocks("empty"), 2);

    auto* zeroed = static_cast<std::uint8_t*>(TesselHostAllocMem(4097, 1, "zeroed"));
    auto* poisoned = static_cast<std::uint8_t*>(TesselHostAllocMem(4097, 0, "poisoned"));
    ASSERT_TRUE(zeroed && poisoned);
    EXPECT_EQ(std::vector<std::uint8_t>(zeroed, zeroed + 4097), std::vector<std::uint8_t>(4097, 0x00));
    EXPECT_EQ(std::vector<std::uint8_t>(poisoned, poisoned + 4097), std::vector<std::uint8_t>(4097, 0xA5));

    for (void* block : {first, second, static_cast<void*>(zeroed), static_cast<void*>(poisoned)})
        TesselHostFreeMem(block);
}

TEST_F(HostMemory, RequestsAboveTheCeilingFailWithoutCountingAsAFault)
{
    EXPECT_EQ(TesselHostAllocMem(HOST_ALLOC_CEILING + 1, 0, "huge"), nullptr);
    EXPECT_EQ(TesselHostAllocMem(~std::uint64_t{0}, 1, "huge"), nullptr);
    EXPECT_FALSE(MemoryFaultFired());
    EXPECT_EQ(AllocationsSinceFaultsSet(), 2u);
    EXPECT_EQ(LiveBlocks("huge"), 0);
}

TEST_F(HostMemory, InjectedFaultsFireExactlyWhereAsked)
{
    std::vector<void*> blocks;

    MemoryFaults nth;
    nth.failNth = 3;
    SetMemoryFaults(nth);
    EXPECT_EQ(AllocateAll({{"a", 1}, {"b", 1}}, blocks), (std::vector<bool>{true, true}));
    EXPECT_FALSE(MemoryFaultFired());
    EXPECT_EQ(AllocateAll({{"a", 1}, {"b", 1}, {"c", 1}}, blocks), (std::vector<bool>{false, true, true}));
    EXPECT_TRUE(MemoryFaultFired());
    EXPECT_EQ(AllocationsSinceFaultsSet(), 5u);
    FreeAll(blocks);

    MemoryFaults tagged;
    tagged.failTag = "icon";
    tagged.failTagNth = 2;
    SetMemoryFaults(tagged);
    EXPECT_FALSE(MemoryFaultFired());
    EXPECT_EQ(AllocateAll({{"icon", 8}, {"other", 8}, {nullptr, 8}, {"icon", 8}, {"icon", 8}}, blocks),
              (std::vector<bool>{true, true, true, false, true}));
    EXPECT_TRUE(MemoryFaultFired());
    FreeAll(blocks);

    MemoryFaults above;
    above.failAboveBytes = 100;
    SetMemoryFaults(above);
    EXPECT_EQ(AllocateAll({{"x", 100}, {"x", 0}}, blocks), (std::vector<bool>{true, true}));
    EXPECT_FALSE(MemoryFaultFired());
    EXPECT_EQ(AllocateAll({{"x", 101}, {"x", 99}}, blocks), (std::vector<bool>{false, true}));
    EXPECT_TRUE(MemoryFaultFired());
    FreeAll(blocks);

    ClearMemoryFaults();
    EXPECT_FALSE(MemoryFaultFired());
    EXPECT_EQ(AllocationsSinceFaultsSet(), 0u);
}

TEST(HostMemoryDeathTest, FreeingAForeignPointerStopsWithAMessage)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int local = 0;
    EXPECT_DEATH(TesselHostFreeMem(&local), "HostFreeMem: .* was not allocated");
    EXPECT_DEATH(
        {
            void* block = TesselHostAllocMem(16, 0, "twice");
            TesselHostFreeMem(block);
            TesselHostFreeMem(block);
        },
        "HostFreeMem: .* freed twice");
}

// ---- The HostApi tables --------------------------------------------------------

namespace {

const PluginFunction* TableOf(const HostApi* api, HostApiWord word)
{
    return reinterpret_cast<const PluginFunction*>(api->words[word]);
}

struct SlotRow {
    HostApiWord word;
    HostSlot slot;
    PluginFunction expected;
};

}  // namespace

TEST(HostApiTables, EveryOperationSitsInItsSlot)
{
    const HostApi* api = GetHostApi();
    ASSERT_NE(api, nullptr);
    EXPECT_EQ(api->words[HOSTAPI_WORD_VERSION], 9u);

    // word, slot, operation: one row per HostSlot value.
    const SlotRow rows[] = {
        {HOSTAPI_WORD_MEMORY, HOST_MEMORY_ALLOC, reinterpret_cast<PluginFunction>(&TesselHostAllocMem)},
        {HOSTAPI_WORD_MEMORY, HOST_MEMORY_FREE, reinterpret_cast<PluginFunction>(&TesselHostFreeMem)},
        {HOSTAPI_WORD_MEMORY, HOST_MEMORY_REGISTER_FORMAT,
         reinterpret_cast<PluginFunction>(&TesselHostRegisterFormat)},
        {HOSTAPI_WORD_FILE, HOST_FILE_OPEN, reinterpret_cast<PluginFunction>(&TesselHostOpen)},
        {HOSTAPI_WORD_FILE, HOST_FILE_CLOSE, reinterpret_cast<PluginFunction>(&TesselHostClose)},
        {HOSTAPI_WORD_FILE, HOST_FILE_SEEK, reinterpret_cast<PluginFunction>(&TesselHostSeek)},
        {HOSTAPI_WORD_FILE, HOST_FILE_READ, reinterpret_cast<PluginFunction>(&TesselHostRead)},
        {HOSTAPI_WORD_FILE, HOST_FILE_WRITE, reinterpret_cast<PluginFunction>(&TesselHostWrite)},
        {HOSTAPI_WORD_FILE, HOST_FILE_GETC, reinterpret_cast<PluginFunction>(&TesselHostGetC)},
        {HOSTAPI_WORD_FILE, HOST_FILE_PUTC, reinterpret_cast<PluginFunction>(&TesselHostPutC)},
        {HOSTAPI_WORD_FILE, HOST_FILE_EOF, reinterpret_cast<PluginFunction>(&TesselHostEof)},
        {HOSTAPI_WORD_FILE, HOST_FILE_OPEN_WITH_TAGS, reinterpret_cast<PluginFunction>(&TesselHostOpenWithTags)},
        {HOSTAPI_WORD_FILE, HOST_FILE_MEM_FILE_NAME, reinterpret_cast<PluginFunction>(&TesselHostMemFileName)},
        {HOSTAPI_WORD_FILE, HOST_FILE_OPEN_MEM_STREAM, reinterpret_cast<PluginFunction>(&TesselHostOpenMemStream)},
        {HOSTAPI_WORD_FILE, HOST_FILE_GET_MEM_STREAM_DATA,
         reinterpret_cast<PluginFunction>(&TesselHostGetMemStreamData)},
        {HOSTAPI_WORD_FILE, HOST_FILE_CLOSE_MEM_STREAM, reinterpret_cast<PluginFunction>(&TesselHostCloseMemStream)},
        {HOSTAPI_WORD_IMAGE, HOST_IMAGE_LOAD, reinterpret_cast<PluginFunction>(&TesselHostLoadImage)},
        {HOSTAPI_WORD_IMAGE, HOST_IMAGE_GET_PIXELS, reinterpret_cast<PluginFunction>(&TesselHostGetImagePixels)},
        {HOSTAPI_WORD_IMAGE, HOST_IMAGE_FREE, reinterpret_cast<PluginFunction>(&TesselHostFreeImage)},
        {HOSTAPI_WORD_IMAGE, HOST_IMAGE_SAVE_PNG, reinterpret_cast<PluginFunction>(&TesselHostSavePng)},
        {HOSTAPI_WORD_IMAGE, HOST_IMAGE_QUANTIZE, reinterpret_cast<PluginFunction>(&TesselHostQuantize)},
        {HOSTAPI_WORD_ZLIB, HOST_ZLIB_COMPRESS, reinterpret_cast<PluginFunction>(&TesselHostCompress)},
        {HOSTAPI_WORD_ZLIB, HOST_ZLIB_UNCOMPRESS, reinterpret_cast<PluginFunction>(&TesselHostUncompress)},
        {HOSTAPI_WORD_CHECKSUM, HOST_CHECKSUM_CRC32, reinterpret_cast<PluginFunction>(&TesselHostCrc32)},
    };
    for (const SlotRow& row : rows) {
        const PluginFunction* table = TableOf(api, row.word);
        ASSERT_NE(table, nullptr) << "word " << row.word;
        EXPECT_EQ(table[row.slot], row.expected) << "word " << row.word << " slot " << row.slot;
    }

    // Table length, word: slots of a table that hold no operation are null.
    const std::pair<int, HostApiWord> lengths[] = {
        {HOST_MEMORY_TABLE_SIZE, HOSTAPI_WORD_MEMORY}, {HOST_FILE_TABLE_SIZE, HOSTAPI_WORD_FILE},
        {HOST_IMAGE_TABLE_SIZE, HOSTAPI_WORD_IMAGE},   {HOST_ZLIB_TABLE_SIZE, HOSTAPI_WORD_ZLIB},
        {HOST_CHECKSUM_TABLE_SIZE, HOSTAPI_WORD_CHECKSUM},
    };
    for (const auto& [length, word] : lengths) {
        int filled = 0;
        for (int slot = 0; slot < length; ++slot)
            filled += TableOf(api, word)[slot] != nullptr;
        int expected = 0;
        for (const SlotRow& row : rows)
            expected += row.word == word;
        EXPECT_EQ(filled, expected) << "word " << word;
    }
    ASSERT_NE(TableOf(api, HOSTAPI_WORD_TEXT), nullptr);
    EXPECT_EQ(TableOf(api, HOSTAPI_WORD_TEXT)[0], nullptr);

    const int tableWords[] = {HOSTAPI_WORD_VERSION, HOSTAPI_WORD_TEXT, HOSTAPI_WORD_MEMORY, HOSTAPI_WORD_FILE,
                              HOSTAPI_WORD_IMAGE,   HOSTAPI_WORD_ZLIB, HOSTAPI_WORD_CHECKSUM};
    for (int word = 0; word < 16; ++word) {
        if (std::find(std::begin(tableWords), std::end(tableWords), word) == std::end(tableWords)) {
            EXPECT_EQ(api->words[word], 0u) << "word " << word;
        }
    }
}

TEST(HostApiTables, AnotherVersionDiffersOnlyInItsVersionWord)
{
    const HostApi* current = GetHostApi();
    const HostApi* old = GetHostApiWithVersion(5);
    ASSERT_NE(old, nullptr);
    EXPECT_NE(old, current);
    EXPECT_EQ(old->words[0], 5u);
    for (int word = 1; word < 16; ++word)
        EXPECT_EQ(old->words[word], current->words[word]) << "word " << word;
    EXPECT_EQ(GetHostApiWithVersion(5), old);  // one record per version, for the whole process
    EXPECT_EQ(GetHostApi(), current);
}

TEST(HostApiTables, RegisterFormatReplacesARowByFormatId)
{
    ResetRegisteredFormats();
    PluginInfo info{};
    EXPECT_EQ(TesselHostRegisterFormat(&info, HOST_FORMAT_KIND_ICON, "Windows icon", 0, "ico", 7,
                                       HOST_FORMAT_CAPS_LOAD_SAVE), 1);
    EXPECT_EQ(TesselHostRegisterFormat(&info, HOST_FORMAT_KIND_ICON, "Mac icon", 0, "icns", 9,
                                       HOST_FORMAT_CAPS_LOAD_SAVE), 1);
    EXPECT_EQ(TesselHostRegisterFormat(&info, HOST_FORMAT_KIND_ICON, "Windows icon file", 0, "ico", 7,
                                       HOST_FORMAT_CAPS_LOAD_SAVE), 1);
    EXPECT_EQ(TesselHostRegisterFormat(&info, HOST_FORMAT_KIND_ICON, nullptr, 0, nullptr, 11,
                                       HOST_FORMAT_CAPS_LOAD_SAVE), 1);

    const auto& formats = RegisteredFormats();
    ASSERT_EQ(formats.size(), 3u);
    EXPECT_EQ(formats[0].formatId, 7u);
    EXPECT_EQ(formats[0].displayName, "Windows icon file");
    EXPECT_EQ(formats[0].extension, "ico");
    EXPECT_EQ(formats[1].formatId, 9u);
    EXPECT_EQ(formats[1].displayName, "Mac icon");
    EXPECT_EQ(formats[2].formatId, 11u);
    EXPECT_EQ(formats[2].displayName, "");
    EXPECT_EQ(RegisterFormatCalls(), 4u);

    ResetRegisteredFormats();
    EXPECT_TRUE(RegisteredFormats().empty());
    EXPECT_EQ(RegisterFormatCalls(), 0u);
}
