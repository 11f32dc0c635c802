#include "plugin/format_handlers.h"

#include "formats/amiga/amiga_icon.h"
#include "formats/amiga/png_icon.h"
#include "formats/macos/macos_icon.h"
#include "formats/windows/windows_icon.h"

#include <algorithm>

namespace {

struct ContainerHandlers {
    IconContainer container;
    IconReader reader;
    IconWriter writer;
};

}  // namespace

// container, reader, writer
static constexpr ContainerHandlers HandlerTable[ICON_CONTAINER_COUNT] = {
    {CONTAINER_DISKOBJECT, &ReadDiskObject, &WriteAmigaIcon},
    {CONTAINER_PNG_ICON, &LoadPngIcon, &SavePngIcon},
    {CONTAINER_WINDOWS_ICON, &LoadWinIcon, &SaveWinIcon},
    {CONTAINER_MAC_ICON, &ReadIcns, &WriteIcns},
};

// Row i serves IconContainer i, like the rows of ContainerTable.
static constexpr bool HandlersInOrder()
{
    int misplaced = 0;
    for (int i = 0; i < ICON_CONTAINER_COUNT; ++i)
        misplaced += HandlerTable[i].container != i;
    return misplaced == 0;
}
static_assert(HandlersInOrder());

IconReader ReaderOf(IconContainer container)
{
    return HandlerTable[container].reader;
}

IconWriter WriterOf(IconContainer container)
{
    return HandlerTable[container].writer;
}

std::uint32_t FormatIdTable[SAVE_FORMAT_COUNT + 1];

void PublishFormatIds()
{
    std::ranges::transform(SaveFormatTable, FormatIdTable, &SaveFormatRow::formatId);
    FormatIdTable[SAVE_FORMAT_COUNT] = 0;
}

int FormatIndexOf(std::uint32_t formatId)
{
    // 0 is no format; it is also what the table holds before it is published.
    const std::uint32_t* begin = FormatIdTable;
    const std::uint32_t* end = begin + SAVE_FORMAT_COUNT;
    const std::uint32_t* found = std::find(begin, end, formatId);
    return formatId == 0 || found == end ? -1 : static_cast<int>(found - begin);
}
