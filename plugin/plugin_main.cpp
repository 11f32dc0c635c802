// The frame through which the host finds, starts and enumerates the module.
#include "host/host_calls.h"
#include "plugin/entry_points.h"
#include "plugin/format_handlers.h"

#include <cstring>

// The platform's version tool looks for this text in the file.
[[gnu::used]] static const char VersionString[] = "$VER: tessel.qmp 1.0 (22.01.22) [AmigaOS4]";

static constexpr std::uint32_t PLUGIN_VERSION = 1;
static constexpr std::uint32_t PLUGIN_REVISION = 0;
static constexpr std::uint32_t PLUGIN_HOST_VERSION = 9;
static constexpr std::uint32_t PLUGIN_HOST_REVISION = 0;

// The host's own version, kept from PluginInfo before it is overwritten.
static std::uint32_t HostVersion;
static std::uint32_t HostRevision;

struct ExportRow {
    const char* name;
    PluginFunction entry;
};

static const ExportRow ExportTable[] = {
    // name, entry point
    {"InitPlugin", reinterpret_cast<PluginFunction>(&InitPlugin)},
    {"ClosePlugin", reinterpret_cast<PluginFunction>(&ClosePlugin)},
    {"LoadIcon", reinterpret_cast<PluginFunction>(&LoadIcon)},
    {"GetIconImages", reinterpret_cast<PluginFunction>(&GetIconImages)},
    {"FreeIcon", reinterpret_cast<PluginFunction>(&FreeIcon)},
    {"RegisterIconSaver", reinterpret_cast<PluginFunction>(&RegisterIconSaver)},
    {"SaveIcon", reinterpret_cast<PluginFunction>(&SaveIcon)},
    {nullptr, nullptr},
};

PluginFunction GetPluginFunction(const char* name)
{
    if (!name)
        return nullptr;
    for (const ExportRow* row = ExportTable; row->name; ++row) {
        if (std::strcmp(row->name, name) == 0)
            return row->entry;
    }
    return nullptr;
}

extern "C" [[gnu::visibility("default"), gnu::used]] const struct PluginHeader PluginHeader = {
    {'Q', 'U', 'I', 'L', 'M', 'O', 'R', 'E'},
    PLUGIN_HEADER_VERSION,
    0,
    &GetPluginFunction,
};

// Nothing to set up or tear down on this platform.
static int PlatformStartup()
{
    return 1;
}

static void PlatformCleanup() {}

extern "C" std::int32_t InitPlugin(PluginInfo* info, const HostApi* api) noexcept
{
    if (!info || !PlatformStartup())
        return 0;
    HostVersion = info->hostVersion;
    HostRevision = info->hostRevision;

    info->capabilities = PLUGIN_CAPABILITY_LOAD | PLUGIN_CAPABILITY_SAVE;
    info->version = PLUGIN_VERSION;
    info->revision = PLUGIN_REVISION;
    info->hostVersion = PLUGIN_HOST_VERSION;
    info->hostRevision = PLUGIN_HOST_REVISION;
    info->name = "Tessel";
    info->moduleName = "tessel";
    info->author = "Tessel developers";
    info->description = "The Cross-Platform Icon Loader and Saver";
    info->copyright = "Copyright 2022 Tessel developers";
    info->url = "https://tessel.invalid/";
    info->date = "22.01.22";
    info->reserved[0] = 0;
    info->reserved[1] = 0;

    if (!api)
        return 1;
    SetHostApi(api);
    PublishFormatIds();
    for (const SaveFormatRow& format : SaveFormatTable) {
        // The host's answer changes nothing here: a format it did not take
        // can still be asked for by FormatId.
        HostRegisterFormat(info, HOST_FORMAT_KIND_ICON, format.displayName, 0, format.extension, format.formatId,
                           HOST_FORMAT_CAPS_LOAD_SAVE);
    }
    return 1;
}

extern "C" void ClosePlugin(void) noexcept
{
    PlatformCleanup();
}

// Walks the formats one per call: FormatId 0 gives the first, each FormatId
// the one after it. The last format, or an id not in the table, gives the
// empty answer, so the host's walk always ends.
extern "C" void RegisterIconSaver(IconSaverInfo* info) noexcept
{
    if (!info)
        return;
    int answer = 0;
    if (info->formatId != 0) {
        int index = FormatIndexOf(info->formatId);
        answer = index < 0 ? SAVE_FORMAT_COUNT : index + 1;
    }
    // FormatIdTable ends in a 0, so the answer past the last format (and every
    // answer before the table is filled) reads as the empty one.
    info->formatId = FormatIdTable[answer];
    info->keyword = info->formatId != 0 ? SaveFormatTable[answer].keyword : nullptr;
    info->hasMore = info->formatId != 0 && answer + 1 < SAVE_FORMAT_COUNT;
}
