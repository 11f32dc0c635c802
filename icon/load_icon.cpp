// LoadIcon: open the file, recognise its container by the first four bytes,
// let that container's reader fill a new handle, then complete the host's
// record.
#include "host/host_calls.h"
#include "icon/icon_flows.h"
#include "io/byte_io.h"
#include "plugin/entry_points.h"
#include "plugin/format_handlers.h"
#include "plugin/format_table.h"

#include <cstring>

// Hands the file, positioned after the magic, to the reader of its container.
static int ReadIconBody(HostFile* file, const char* name, std::uint32_t magic, IconHandle* icon)
{
    for (const ContainerRow& row : ContainerTable) {
        if (row.magic == magic)
            return ReaderOf(row.container)(name, file, icon);
    }
    return 0;
}

// A NewIcons image line: not a tooltype the host is shown.
static int IsNewIconsLine(const char* line)
{
    return std::strncmp(line, NEWICONS_NORMAL_PREFIX, NEWICONS_PREFIX_LENGTH) == 0 ||
           std::strncmp(line, NEWICONS_SELECTED_PREFIX, NEWICONS_PREFIX_LENGTH) == 0;
}

int BuildToolTypeArray(IconHandle* icon)
{
    if (!icon->toolTypeBlock || icon->toolTypeBlockBytes == 0 || icon->toolTypeBlock[0] == 0)
        return 1;
    std::uint64_t lines = 0;
    ForEachToolType(icon, [&](const char*) { ++lines; });
    auto** array = static_cast<char**>(HostAllocMem((lines + 1) * sizeof(char*), 1, "ttarray"));
    if (!array)
        return 0;
    icon->toolTypeArray = array;
    std::uint64_t slot = 0;
    ForEachToolType(icon, [&](const char* line) {
        if (!IsNewIconsLine(line))
            array[slot++] = const_cast<char*>(line);
    });
    return 1;
}

void CopyIconAttributes(const IconHandle* icon, IconAttributes* attributes)
{
    attributes->type = icon->type;
    attributes->viewMode = icon->viewMode;
    attributes->posX = icon->posX;
    attributes->posY = icon->posY;
    attributes->drawerLeft = icon->drawerLeft;
    attributes->drawerTop = icon->drawerTop;
    attributes->drawerWidth = icon->drawerWidth;
    attributes->drawerHeight = icon->drawerHeight;
    attributes->stackSize = icon->stackSize;
    attributes->defaultTool = icon->defaultTool;
    attributes->showAll = icon->showAll != 0 ? 1 : 0;
    if (icon->toolTypeArray)
        attributes->toolTypes = icon->toolTypeArray;
}

static HostFile* OpenForReading(const char* name, std::uintptr_t adapter)
{
    if (adapter != 0 && HostInterfaceVersion() >= HOST_INTERFACE_VERSION_ADAPTER_MIN) {
        const TagItem tags[] = {{HOSTOPEN_TAG_ADAPTER, adapter}, {0, 0}};
        return HostOpenWithTags(name, HOST_MODE_READ, tags);
    }
    return HostOpen(name, HOST_MODE_READ);
}

extern "C" IconHandle* LoadIcon(const char* name, const TagItem* tags) noexcept
{
    if (!GetHostApi() || !name)
        return nullptr;
    std::uintptr_t adapter = 0;
    IconAttributes* attributes = nullptr;
    for (const TagItem* tag = tags; tag && tag->tag != 0; ++tag) {
        if (tag->tag == LOADICON_TAG_ADAPTER)
            adapter = tag->value;
        else if (tag->tag == LOADICON_TAG_ATTRIBUTES)
            attributes = reinterpret_cast<IconAttributes*>(tag->value);
    }

    HostFile* file = OpenForReading(name, adapter);
    if (!file)
        return nullptr;
    auto* icon = static_cast<IconHandle*>(HostAllocMem(sizeof(IconHandle), 1, "iconinfo"));
    if (!icon) {
        HostClose(file);
        return nullptr;
    }
    int ok = ReadIconBody(file, name, ReadBE32(file), icon);
    // The readers take a failed byte read for the end of the file; the host
    // reports an I/O error met anywhere when the file is closed, and then the
    // icon is not what the file holds.
    if (HostClose(file) != 0)
        ok = 0;
    if (!ok) {
        FreeIcon(icon);
        return nullptr;
    }
    if (!attributes)
        return icon;
    // The array first: if it cannot be had, the host's record stays untouched
    // rather than pointing into a released handle.
    if (!BuildToolTypeArray(icon)) {
        FreeIcon(icon);
        return nullptr;
    }
    CopyIconAttributes(icon, attributes);
    return icon;
}
