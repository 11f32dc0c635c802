// Load, then save what the load produced in every format, then load each
// saved file again: no save may crash on anything a load can make, and what
// a save writes must load without a fault too.
#include "fuzz/fuzz_harness.h"

#include "plugin/entry_points.h"
#include "plugin/format_table.h"
#include "runtime/host_services.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tessel::fuzz;
    StartModule();
    IconAttributes attributes{};
    IconHandle* icon = LoadBytes(data, size, &attributes);
    if (!icon) {
        CheckNothingLeft();
        return 0;
    }
    std::int64_t iconBlocks = tessel::runtime::LiveBlocks();
    IconImage* images = GetIconImages(icon);
    TouchImages(images);
    // The last byte picks compression, so both kinds of save are reached.
    int compress = size ? (data[size - 1] & 1) : 0;
    std::vector<std::uint8_t> saved;
    for (const SaveFormatRow& format : SaveFormatTable) {
        // The record points into the icon, so every save happens before FreeIcon.
        if (SaveToBytes(images, format.formatId, compress, &attributes, saved) == 1)
            LoadAndFree(saved.data(), saved.size());
        CheckNothingLeft(iconBlocks);
    }
    FreeIcon(icon);
    CheckNothingLeft();
    return 0;
}
