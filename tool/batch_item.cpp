#include "tool/batch_item.h"

#include "tool/convert_prepare.h"
#include "tool/icon_files.h"

#include <sstream>

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
    const SaveFormatRow* row = FindSaveFormat(format.keyword.c_str());
    if (!row) {
        item.reason = "the module's format " + format.keyword + " is not known here";
        return;
    }
    const std::vector<ImageShape> inputs = ShapesOf(loaded.icon.images);
    PrepareIconForFormat(line, format.keyword, loaded.icon);
    if (std::string why = WhyNothingFits(loaded.icon.images, format.keyword); !why.empty()) {
        item.outcome = BatchOutcome::Skipped;
        item.reason = why;
        return;
    }
    std::ostringstream unused;   // a batch never writes to standard output
    Icon written;
    auto verify = [&](const Icon& result) {
        item.losses = DescribeLosses(inputs, result.images, line, *row);
        return line.strict && !item.losses.empty() ? "not written: it would lose images (--strict)" : std::string();
    };
    const bool cut = loaded.icon.attributes.toolTypesCut;
    const std::string warning = loaded.warning;
    if (!SaveIconFile(module, item.staging, SaveRequestFor(line, format), std::move(loaded.icon), unused, verify, &written,
                      &item.reason))
        return;
    if (!warning.empty())
        item.losses.push_back(warning);
    if (cut && row->carriesAttributes)
        item.losses.push_back("only the first " + std::to_string(MAX_TOOL_TYPES) + " tooltypes are kept");
    item.outcome = BatchOutcome::Converted;
    item.reason.clear();
}

}  // namespace tessel::tool
