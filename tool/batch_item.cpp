#include "tool/batch_item.h"

#include "tool/convert_prepare.h"
#include "tool/icon_files.h"

namespace tessel::tool {

void ConvertOne(runtime::Module& module, const CommandLine& line, const runtime::SaveFormat& format,
                BatchItem& item)
{
    item.done = true;
    item.outcome = BatchOutcome::Failed;
    SniffResult sniff = SniffFile(item.input);
    if (!sniff.opened) {
        item.reason = sniff.error;
        return;
    }
    if (sniff.format.empty()) {
        item.outcome = BatchOutcome::Skipped;
        item.reason = "not an icon file (" + DescribeLeadingBytes(sniff.leadingBytes) + ")";
        return;
    }
    LoadResult loaded = LoadIconFile(module, item.input, &sniff);
    if (!loaded.ok) {
        item.reason = loaded.error;
        return;
    }
    if (loaded.icon.images.empty()) {
        item.outcome = BatchOutcome::Skipped;
        item.reason = "holds no images";
        return;
    }
    PrepareIconForFormat(line, format.keyword, loaded.icon);
    if (std::string why = WhyNothingFits(loaded.icon.images, format.keyword); !why.empty()) {
        item.outcome = BatchOutcome::Skipped;
        item.reason = why;
        return;
    }
    if (!SaveIconFile(module, item.output, SaveRequestFor(line, format), loaded.icon, &item.reason))
        return;
    item.outcome = BatchOutcome::Converted;
    item.reason.clear();
}

}  // namespace tessel::tool
