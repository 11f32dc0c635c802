// SaveIcon: find the save format by FormatId, check the host's images, open
// the output file and let the writer of the format's container fill it.
#include "host/host_calls.h"
#include "icon/icon_model.h"
#include "plugin/entry_points.h"
#include "plugin/format_handlers.h"

extern "C" std::int32_t SaveIcon(const char* name, IconImage* first, const TagItem* tags) noexcept
{
    // A null name is the host's open to refuse, after the checks below.
    if (!tags || !GetHostApi())
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
    const SaveFormatRow& format = SaveFormatTable[formatIndex];
    // Refusals that need no file come before the file is created.
    if (format.carriesAttributes && !attributes)
        return 0;
    if (!ValidateImageList(first))
        return 0;

    HostFile* file = HostOpen(name, HOST_MODE_WRITE);
    if (!file)
        return 0;
    int ok = WriterOf(format.container)(file, first, attributes, compress, format.variant);
    // A write that failed anywhere, or a failed flush, makes the save fail
    // even when the writer saw nothing wrong.
    if (HostClose(file) != 0)
        ok = 0;
    return ok;
}
