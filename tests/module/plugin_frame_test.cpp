// The module as the host sees it: its header, entry points, information
// record and the save formats it announces, judged against the format table
// and zlib's CRC-32.
#include "plugin/format_table.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>

namespace {

using namespace tessel::test;
namespace rt = tessel::runtime;

TEST(PluginFrame, HeaderEntriesAndInfo)
{
    const struct PluginHeader& header = SharedModule().Header();
    EXPECT_EQ(std::memcmp(header.magic, "QUILMORE", 8), 0);
    EXPECT_EQ(header.headerVersion, 3u);
    for (const char* name : {"InitPlugin", "ClosePlugin", "LoadIcon", "GetIconImages", "FreeIcon",
                             "RegisterIconSaver", "SaveIcon"})
        EXPECT_NE(SharedModule().Lookup(name), nullptr) << name;
    for (const char* name : {"saveicon", "SaveIcon ", "SaveIco", "", "PluginHeader"})
        EXPECT_EQ(SharedModule().Lookup(name), nullptr) << name;
    const PluginInfo& info = SharedModule().Info();
    EXPECT_EQ(std::vector<std::uint32_t>({info.capabilities, info.version, info.revision, info.hostVersion,
                                          info.hostRevision, info.reserved[0], info.reserved[1]}),
              std::vector<std::uint32_t>({0x00300000u, 1, 0, 9, 0, 0, 0}));
    EXPECT_EQ(std::vector<std::string>({info.name, info.moduleName, info.description, info.date}),
              std::vector<std::string>({"Tessel", "tessel", "The Cross-Platform Icon Loader and Saver", "22.01.22"}));
    EXPECT_TRUE(info.author && info.copyright && info.url);
}

// RegisterIconSaver walks the table from one FormatId to the next (the tool's
// "formats" lists what the walk gives); a FormatId is zlib's CRC-32 of
// "tessel/" and the display name. The last or an unknown id ends the walk
// with an empty record.
TEST(PluginFrame, SaverWalkFollowsTheTable)
{
    IconSaverInfo saver{};
    for (int row = 0; row < SAVE_FORMAT_COUNT; ++row) {
        SharedModule().RegisterIconSaver(&saver);
        const std::string key = std::string("tessel/") + SaveFormatTable[row].displayName;
        EXPECT_EQ(saver.formatId, crc32(0, reinterpret_cast<const Bytef*>(key.data()), uInt(key.size())));
        EXPECT_EQ(saver.hasMore, row + 1 < SAVE_FORMAT_COUNT ? 1u : 0u);
    }
    for (std::uint32_t id : {SaveFormatTable[SAVE_FORMAT_COUNT - 1].formatId, 0x12345678u}) {
        IconSaverInfo stale{1, id, "stale"};
        SharedModule().RegisterIconSaver(&stale);
        EXPECT_TRUE(stale.hasMore == 0 && stale.formatId == 0 && stale.keyword == nullptr) << id;
    }
}

// HostRegisterFormat as a recorder of what InitPlugin passes; it refuses,
// which the module must shrug off.
std::vector<std::string> Registrations;
extern "C" std::int32_t RecordRegistration(PluginInfo* info, std::int32_t kind, const char* name, std::int32_t reserved,
                                           const char* extension, std::uint32_t formatId, std::int32_t caps)
{
    char text[160];
    std::snprintf(text, sizeof text, "%d %d %s %d %s %08X %d", info != nullptr, kind, name, reserved, extension,
                  formatId, caps);
    Registrations.push_back(text);
    return 0;
}

TEST(PluginFrame, InitPluginRegistersEachFormatOnce)
{
    const HostApi* real = rt::GetHostApi();
    std::vector<PluginFunction> memory(HOST_MEMORY_TABLE_SIZE);
    std::memcpy(memory.data(), reinterpret_cast<const void*>(real->words[HOSTAPI_WORD_MEMORY]),
                sizeof(PluginFunction) * HOST_MEMORY_TABLE_SIZE);
    memory[HOST_MEMORY_REGISTER_FORMAT] = reinterpret_cast<PluginFunction>(&RecordRegistration);
    HostApi api = *real;
    api.words[HOSTAPI_WORD_MEMORY] = reinterpret_cast<std::uintptr_t>(memory.data());
    std::vector<std::string> expected;
    char text[160];
    for (const SaveFormatRow& format : SaveFormatTable) {
        std::snprintf(text, sizeof text, "1 4 %s 0 %s %08X 3", format.displayName, format.extension, format.formatId);
        expected.push_back(text);
    }
    FreshModule fresh;
    PluginInfo info{};
    for (int start = 0; start < 2; ++start) {   // a second start registers again, the same ids
        Registrations.clear();
        ASSERT_EQ(fresh.Entry<InitPluginFn>("InitPlugin")(&info, &api), 1);
        EXPECT_EQ(Registrations, expected);
    }
}

// Without a HostApi only the information record is filled; nothing loads,
// saves or is announced, and null handles are harmless.
TEST(PluginFrame, NullHostApiAndNullHandles)
{
    FreshModule fresh;
    PluginInfo info{};
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(fresh.Entry<InitPluginFn>("InitPlugin")(&info, nullptr), 1);
    EXPECT_TRUE(info.hostVersion == 9 && info.reserved[1] == 0 && std::string(info.name) == "Tessel");
    IconSaverInfo saver{};
    fresh.Entry<RegisterIconSaverFn>("RegisterIconSaver")(&saver);
    EXPECT_TRUE(saver.formatId == 0 && saver.keyword == nullptr);
    EXPECT_EQ(fresh.Entry<LoadIconFn>("LoadIcon")(TESSEL_CORPUS_DIR "/windows/py27-wish.ico", nullptr), nullptr);
    const TagItem tags[] = {{SAVEICON_TAG_FORMAT, SaveFormatId("WINDOWS")}, {0, 0}};
    EXPECT_EQ(fresh.Entry<SaveIconFn>("SaveIcon")("/nonexistent/never-written.ico", nullptr, tags), 0);
    EXPECT_EQ(fresh.Entry<InitPluginFn>("InitPlugin")(nullptr, nullptr), 0);
    EXPECT_EQ(SharedModule().GetIconImages(nullptr), nullptr);
    SharedModule().FreeIcon(nullptr);
    SharedModule().RegisterIconSaver(nullptr);
    EXPECT_EQ(rt::LiveBlocks(), 0);
}

}  // namespace
