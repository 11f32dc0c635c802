// The module as the host sees it: its header, its entry points and the save
// formats it announces, through the real shared object.
#include "tests/support/test_host.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using tessel::test::FreshModule;
using tessel::test::SharedModule;

const char* const EntryNames[] = {"InitPlugin", "ClosePlugin", "LoadIcon", "GetIconImages",
                                  "FreeIcon", "RegisterIconSaver", "SaveIcon"};

struct ExpectedFormat {
    const char* keyword;
    const char* displayName;
    const char* extension;
    std::uint32_t formatId;
};

// FormatIds as the host knows them: CRC-32 of "tessel/" and the display name.
const ExpectedFormat ExpectedFormats[] = {
    {"AMIGAOS", "Amiga icon", "info", 0x2CDC9BA4},
    {"NEWICON", "NewIcon", "info", 0x4B6273B7},
    {"AMIGAOS35", "AmigaOS 3.5 icon", "info", 0x048ACE1F},
    {"AMIGAOS40", "AmigaOS 4.0 icon", "info", 0x5E8256B5},
    {"PNG", "PNG icon", "info", 0x66299321},
    {"WINDOWS", "Windows icon", "ico", 0x4FF820F7},
    {"MACOS", "macOS icon", "icns", 0xBBA9467B},
};

TEST(PluginFrame, HeaderAndLookup)
{
    const struct PluginHeader& header = SharedModule().Header();
    EXPECT_EQ(std::memcmp(header.magic, "QUILMORE", 8), 0);
    EXPECT_EQ(header.headerVersion, 3u);
    for (const char* name : EntryNames)
        EXPECT_NE(SharedModule().Lookup(name), nullptr) << name;
    EXPECT_EQ(SharedModule().Lookup("saveicon"), nullptr);
    EXPECT_EQ(SharedModule().Lookup("SaveIcon "), nullptr);
    EXPECT_EQ(SharedModule().Lookup(""), nullptr);
    EXPECT_EQ(SharedModule().Lookup("PluginHeader"), nullptr);
}

TEST(PluginFrame, InfoRecord)
{
    const PluginInfo& info = SharedModule().Info();
    EXPECT_EQ(info.capabilities, 0x00300000u);
    EXPECT_EQ(info.version, 1u);
    EXPECT_EQ(info.revision, 0u);
    EXPECT_EQ(info.hostVersion, 9u);
    EXPECT_EQ(info.hostRevision, 0u);
    EXPECT_STREQ(info.name, "Tessel");
    EXPECT_STREQ(info.moduleName, "tessel");
    EXPECT_STREQ(info.description, "The Cross-Platform Icon Loader and Saver");
    EXPECT_STREQ(info.date, "22.01.22");
    EXPECT_NE(info.author, nullptr);
    EXPECT_NE(info.copyright, nullptr);
    EXPECT_NE(info.url, nullptr);
    EXPECT_EQ(info.reserved[0], 0u);
    EXPECT_EQ(info.reserved[1], 0u);
}

TEST(PluginFrame, SaveFormatsWalkInTableOrder)
{
    IconSaverInfo saver{};
    for (std::size_t row = 0; row < std::size(ExpectedFormats); ++row) {
        SharedModule().RegisterIconSaver(&saver);
        const ExpectedFormat& expected = ExpectedFormats[row];
        ASSERT_NE(saver.keyword, nullptr);
        EXPECT_STREQ(saver.keyword, expected.keyword);
        EXPECT_EQ(saver.formatId, expected.formatId) << expected.keyword;
        EXPECT_EQ(saver.hasMore, row + 1 < std::size(ExpectedFormats) ? 1u : 0u) << expected.keyword;
        // zlib's CRC-32 is the independent judge of the FormatId.
        std::string key = std::string("tessel/") + expected.displayName;
        EXPECT_EQ(saver.formatId, crc32(0, reinterpret_cast<const Bytef*>(key.data()),
                                        static_cast<uInt>(key.size())));
    }
}

TEST(PluginFrame, SaverWalkEndsOnLastOrUnknownId)
{
    for (std::uint32_t id : {0xBBA9467Bu, 0x12345678u}) {
        IconSaverInfo saver{1, id, "stale"};
        SharedModule().RegisterIconSaver(&saver);
        EXPECT_EQ(saver.hasMore, 0u);
        EXPECT_EQ(saver.formatId, 0u);
        EXPECT_EQ(saver.keyword, nullptr);
    }
}

TEST(PluginFrame, RuntimeSeesTheSevenRegistrations)
{
    std::vector<tessel::runtime::SaveFormat> formats = SharedModule().SaveFormats();
    ASSERT_EQ(formats.size(), std::size(ExpectedFormats));
    for (std::size_t row = 0; row < formats.size(); ++row) {
        EXPECT_EQ(formats[row].keyword, ExpectedFormats[row].keyword);
        EXPECT_EQ(formats[row].displayName, ExpectedFormats[row].displayName);
        EXPECT_EQ(formats[row].extension, ExpectedFormats[row].extension);
        EXPECT_EQ(formats[row].formatId, ExpectedFormats[row].formatId);
    }
}

// HostRegisterFormat as a recorder, so the arguments InitPlugin passes can be
// checked one by one.
struct Registration {
    PluginInfo* info;
    std::int32_t kind;
    std::string displayName;
    std::int32_t reserved;
    std::string extension;
    std::uint32_t formatId;
    std::int32_t caps;
};
std::vector<Registration> Registrations;

extern "C" std::int32_t RecordRegistration(PluginInfo* info, std::int32_t kind, const char* displayName,
                                           std::int32_t reserved, const char* extension,
                                           std::uint32_t formatId, std::int32_t caps)
{
    Registrations.push_back({info, kind, displayName, reserved, extension, formatId, caps});
    return 0;   // a refusal the module must shrug off
}

TEST(PluginFrame, InitPluginRegistersEachFormatOnce)
{
    const HostApi* real = tessel::runtime::GetHostApi();
    std::vector<PluginFunction> memory(HOST_MEMORY_TABLE_SIZE);
    std::memcpy(memory.data(), reinterpret_cast<const void*>(real->words[HOSTAPI_WORD_MEMORY]),
                sizeof(PluginFunction) * HOST_MEMORY_TABLE_SIZE);
    memory[HOST_MEMORY_REGISTER_FORMAT] = reinterpret_cast<PluginFunction>(&RecordRegistration);
    HostApi api = *real;
    api.words[HOSTAPI_WORD_MEMORY] = reinterpret_cast<std::uintptr_t>(memory.data());

    FreshModule fresh;
    PluginInfo info{};
    Registrations.clear();
    ASSERT_EQ(fresh.Entry<InitPluginFn>("InitPlugin")(&info, &api), 1);
    ASSERT_EQ(Registrations.size(), std::size(ExpectedFormats));
    for (std::size_t row = 0; row < Registrations.size(); ++row) {
        const Registration& r = Registrations[row];
        EXPECT_EQ(r.info, &info);
        EXPECT_EQ(r.kind, 4);
        EXPECT_EQ(r.displayName, ExpectedFormats[row].displayName);
        EXPECT_EQ(r.reserved, 0);
        EXPECT_EQ(r.extension, ExpectedFormats[row].extension);
        EXPECT_EQ(r.formatId, ExpectedFormats[row].formatId);
        EXPECT_EQ(r.caps, 3);
    }
    // A second start registers again and gives the same ids.
    Registrations.clear();
    ASSERT_EQ(fresh.Entry<InitPluginFn>("InitPlugin")(&info, &api), 1);
    EXPECT_EQ(Registrations.size(), std::size(ExpectedFormats));
}

TEST(PluginFrame, WithoutHostApiOnlyTheInfoIsFilled)
{
    FreshModule fresh;
    PluginInfo info{};
    std::memset(&info, 0xEE, sizeof info);
    info.hostVersion = 51;
    info.hostRevision = 7;
    ASSERT_EQ(fresh.Entry<InitPluginFn>("InitPlugin")(&info, nullptr), 1);
    EXPECT_EQ(info.capabilities, 0x00300000u);
    EXPECT_EQ(info.hostVersion, 9u);
    EXPECT_EQ(info.hostRevision, 0u);
    EXPECT_STREQ(info.name, "Tessel");
    EXPECT_EQ(info.reserved[0], 0u);
    EXPECT_EQ(info.reserved[1], 0u);

    // No HostApi: no FormatIds, nothing can be loaded or saved, and the
    // saver walk is empty.
    IconSaverInfo saver{};
    fresh.Entry<RegisterIconSaverFn>("RegisterIconSaver")(&saver);
    EXPECT_EQ(saver.formatId, 0u);
    EXPECT_EQ(saver.keyword, nullptr);
    EXPECT_EQ(fresh.Entry<LoadIconFn>("LoadIcon")(TESSEL_MODULE_PATH, nullptr), nullptr);
    const TagItem tags[] = {{SAVEICON_TAG_FORMAT, 0x4FF820F7}, {0, 0}};
    EXPECT_EQ(fresh.Entry<SaveIconFn>("SaveIcon")("/nonexistent/never-written.ico", nullptr, tags), 0);
    EXPECT_EQ(fresh.Entry<InitPluginFn>("InitPlugin")(nullptr, nullptr), 0);
}

TEST(PluginFrame, NullHandlesAreHarmless)
{
    EXPECT_EQ(SharedModule().GetIconImages(nullptr), nullptr);
    SharedModule().FreeIcon(nullptr);
    SharedModule().RegisterIconSaver(nullptr);
    EXPECT_EQ(tessel::runtime::LiveBlocks(), 0);
}

}  // namespace
