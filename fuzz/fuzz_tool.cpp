// The tool's whole path on one input, as `tessel info` and `tessel convert`
// take it: the reports of the icon, then a load with pixels, the preparation
// for a format the input's last byte picks (with --resize when its next bit
// is set), the save in memory, its read-back and the report of what it left
// out. Run with -rss_limit_mb=1024 and -timeout=10 (fuzz/run does), so that
// an input that makes the tool use too much memory or time is a finding.
#include "plugin/plugin_abi.h"
#include "runtime/module.h"
#include "tool/convert_prepare.h"
#include "tool/icon_files.h"
#include "tool/icon_report.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

extern "C" const struct PluginHeader PluginHeader;

namespace {

tessel::runtime::Module& LinkedModule()
{
    static const std::unique_ptr<tessel::runtime::Module> module = [] {
        std::string error;
        auto started = tessel::runtime::Module::Linked(&PluginHeader, &error);
        if (!started) {
            std::fprintf(stderr, "fuzz: %s\n", error.c_str());
            std::abort();
        }
        return started;
    }();
    return *module;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tessel::tool;
    tessel::runtime::Module& module = LinkedModule();
    const std::vector<std::uint8_t> bytes(data, data + size);
    LoadResult shapes = LoadIconBytes(module, bytes, Pixels::No);
    if (!shapes.ok)
        return 0;
    InfoText("fuzz", shapes.icon);
    InfoJson("fuzz", shapes.icon);
    InfoBriefLine("fuzz", shapes.icon);

    LoadResult loaded = LoadIconBytes(module, bytes);
    if (!loaded.ok || loaded.icon.images.empty())
        return 0;
    const std::uint8_t choice = data[size - 1];
    const SaveFormatRow& format = SaveFormatTable[choice % SAVE_FORMAT_COUNT];
    CommandLine line;
    line.resize = (choice & 0x80) != 0;
    const std::vector<ImageShape> inputs = ShapesOf(loaded.icon.images);
    PrepareIconForFormat(line, format.keyword, loaded.icon);
    if (!WhyNothingFits(loaded.icon.images, format.keyword).empty())
        return 0;
    SaveRequest request;
    request.formatId = format.formatId;
    request.formatName = format.displayName;
    std::ostringstream out;
    Icon written;
    std::string why;
    SaveIconFile(
        module, "-", request, std::move(loaded.icon), out,
        [&](const Icon& result) {
            DescribeLosses(inputs, result.images, line, format);
            return std::string();
        },
        &written, &why);
    return 0;
}
