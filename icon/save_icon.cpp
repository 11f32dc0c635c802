// SaveIcon: pick the writer by FormatId, check the host's images, open the
// output file and let the writer fill it.
#include "formats/amiga/amiga_icon.h"
#include "formats/amiga/png_icon.h"
#include "formats/macos/macos_icon.h"
#include "formats/windows/windows_icon.h"
#include "host/host_calls.h"
#include "icon/icon_flows.h"
#include "plugin/entry_points.h"
#include "plugin/format_table.h"

// Save-format indices from 0 to this one store attributes and need a record.
static constexpr int LAST_FORMAT_WITH_ATTRIBUTES = 4;

int ValidateImageList(const IconImage* first)
{
    std::uint32_t count = 0;
    for (const IconImage* image = first; image; image = image->next) {
        if (++count > SAVE_MAX_IMAGES)
            return 0;
        if (!image->pixels || IconPixelBytes(image->width, image->height, image->depth) == 0)
            return 0;
        if (image->depth <= 8 && !image->palette)
            return 0;
        if (image->transparentPen < -1 || image->transparentPen > 255)
            return 0;
    }
    return 1;
}

// Save-format indices, in the order of the format table.
static constexpr int FORMAT_INDEX_PNG = 4;
static constexpr int FORMAT_INDEX_WINDOWS = 5;
static constexpr int FORMAT_INDEX_MACOS = 6;

static int WriteIconBody(HostFile* file, int formatIndex, IconImage* first,
                         const IconAttributes* attributes, std::uint32_t compress)
{
    switch (formatIndex) {
    case AMIGA_FORMAT_CLASSIC:
    case AMIGA_FORMAT_NEWICON:
    case AMIGA_FORMAT_OS35:
    case AMIGA_FORMAT_OS40:
        return WriteAmigaIcon(file, first, attributes, compress, formatIndex);
    case FORMAT_INDEX_PNG:
        return SavePngIcon(file, first, attributes);
    case FORMAT_INDEX_WINDOWS:
        return SaveWinIcon(file, first, compress);
    case FORMAT_INDEX_MACOS:
        // Every entry type has its own fixed encoding: nothing to compress.
        return WriteIcns(file, first);
    default:
        return 0;
    }
}

extern "C" std::int32_t SaveIcon(const char* name, IconImage* first, const TagItem* tags) noexcept
{
    if (!tags || tags->tag == 0 || !GetHostApi() || !name)
        return 0;
    std::uint32_t formatId = 0;
    std::uint32_t compress = 0;
    const IconAttributes* attributes = nullptr;
    for (const TagItem* tag = tags; tag->tag != 0; ++tag) {
        if (tag->tag == SAVEICON_TAG_FORMAT)
            formatId = static_cast<std::uint32_t>(tag->value);
        else if (tag->tag == SAVEICON_TAG_COMPRESS)
            compress = static_cast<std::uint32_t>(tag->value);
        else if (tag->tag == SAVEICON_TAG_ATTRIBUTES)
            attributes = reinterpret_cast<const IconAttributes*>(tag->value);
    }
    int formatIndex = FormatIndexOf(formatId);
    if (formatIndex < 0)
        return 0;
    // Refusals that need no file come before the file is created.
    if (formatIndex <= LAST_FORMAT_WITH_ATTRIBUTES && !attributes)
        return 0;
    if (!ValidateImageList(first))
        return 0;

    HostFile* file = HostOpen(name, HOST_MODE_WRITE);
    if (!file)
        return 0;
    int ok = WriteIconBody(file, formatIndex, first, attributes, compress);
    // A write that failed anywhere, or a failed flush, makes the save fail
    // even when the writer saw nothing wrong.
    if (HostClose(file) != 0)
        ok = 0;
    return ok;
}
