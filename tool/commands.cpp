#include "tool/commands.h"

#include "tool/batch_convert.h"
#include "tool/check.h"
#include "tool/command_line.h"
#include "tool/convert_prepare.h"
#include "tool/icon_files.h"
#include "tool/icon_report.h"
#include "tool/picture_export.h"
#include "tool/preview.h"
#include "tool/text_encoding.h"

#include <cstdint>
#include <filesystem>
#include <tuple>
#include <ostream>

namespace tessel::tool {

namespace {

std::string KeywordList(const std::vector<runtime::SaveFormat>& formats)
{
    std::string list;
    for (const runtime::SaveFormat& format : formats)
        list += (list.empty() ? "" : ", ") + format.keyword;
    return list;
}

std::string DescribeModule(const PluginInfo& info)
{
    std::string text = info.name ? info.name : "unnamed module";
    text += " " + std::to_string(info.version) + "." + std::to_string(info.revision);
    if (info.date)
        text += std::string(" (") + info.date + ")";
    return text;
}

int RunFormats(runtime::Module& module, std::ostream& out, std::ostream& err)
{
    std::vector<runtime::SaveFormat> formats = module.SaveFormats();
    if (formats.empty()) {
        err << "tessel: the module offers no save formats\n";
        return EXIT_FAILED;
    }
    out << FormatsTable(formats);
    return EXIT_OK;
}

int RunInfo(runtime::Module& module, const CommandLine& line, std::ostream& out, std::ostream& err)
{
    int status = EXIT_OK;
    bool first = true;
    for (const std::string& file : line.files) {
        LoadResult loaded = LoadIconFile(module, file, nullptr, Pixels::No);
        if (!loaded.ok && line.brief) {
            // One line per file, a failure too, so the listing stays complete.
            out << Shown(file) << "  error: " << loaded.error << "\n";
            status = EXIT_FAILED;
            continue;
        }
        if (!loaded.ok) {
            err << "tessel: " << Shown(file) << ": " << loaded.error << "\n";
            status = EXIT_FAILED;
            continue;
        }
        if (loaded.icon.attributes.toolTypesCut)
            err << "tessel: " << Shown(file) << ": warning: only the first " << MAX_TOOL_TYPES << " tooltypes are shown\n";
        if (line.brief) {
            out << InfoBriefLine(file, loaded.icon) << "\n";
        } else if (line.json) {
            out << InfoJson(file, loaded.icon) << "\n";
        } else {
            out << (first ? "" : "\n") << InfoText(file, loaded.icon);
            first = false;
        }
    }
    return status;
}

// The image --largest takes: the largest, the deepest of equal size, the
// first of equal ones.
std::size_t LargestImage(const std::vector<Image>& images)
{
    std::size_t best = 0;
    for (std::size_t i = 1; i < images.size(); ++i)
        if (std::tuple(std::int64_t{images[i].width} * images[i].height, images[i].depth) >
            std::tuple(std::int64_t{images[best].width} * images[best].height, images[best].depth))
            best = i;
    return best;
}

int RunExtract(runtime::Module& module, const CommandLine& line, std::ostream& out, std::ostream& err)
{
    namespace fs = std::filesystem;
    if (std::string why; line.output != "-" && !MakeDirectory(line.output, &why)) {
        err << "tessel: " << Shown(line.output) << ": " << why << "\n";
        return EXIT_FAILED;
    }
    int status = EXIT_OK;
    for (const std::string& file : line.files) {
        LoadResult loaded = LoadIconFile(module, file);
        if (!loaded.ok) {
            err << "tessel: " << Shown(file) << ": " << loaded.error << "\n";
            status = EXIT_FAILED;
            continue;
        }
        if (!loaded.warning.empty())
            err << "tessel: " << Shown(file) << ": warning: " << loaded.warning << "\n";
        const std::vector<Image>& images = loaded.icon.images;
        if (line.extractIndex && std::size_t(*line.extractIndex) >= images.size()) {
            err << "tessel: " << Shown(file) << ": no image " << *line.extractIndex << " (it has " << images.size() << ")\n";
            status = EXIT_FAILED;
            continue;
        }
        const std::size_t largest = LargestImage(images);
        for (std::size_t i = 0; i < images.size(); ++i) {
            // The filters keep the numbering of the full list, so names stay stable.
            const bool selected = (images[i].flags & IMAGEFLAG_SELECTED) != 0;
            if ((line.selectedOnly && !selected) || (line.normalOnly && selected) ||
                (line.extractIndex && i != std::size_t(*line.extractIndex)) || (line.largest && i != largest))
                continue;
            const std::string path =
                line.output == "-" ? line.output : (fs::path(line.output) / ExtractFileName(file, i, images[i])).string();
            std::string why;
            if (!WriteImagePng(images[i], path, out, &why)) {
                err << "tessel: " << Shown(path) << ": " << why << "\n";
                status = EXIT_FAILED;
                break;
            }
            if (!line.quiet && !IsStandardOutput(path))
                out << Shown(path) << "\n";
        }
    }
    return status;
}

// The keyword of the format the file at output is in, when it is one of the
// inputs: editing an icon in place keeps its kind.
std::string InPlaceKeyword(const CommandLine& line)
{
    namespace fs = std::filesystem;
    if (line.output == "-")
        return {};
    for (const std::string& input : line.files) {
        std::error_code error;
        if (input != "-" && fs::equivalent(input, line.output, error)) {
            std::vector<std::uint8_t> bytes;
            const SaveFormatRow* format = ReadFileBytes(input, UINT32_MAX, &bytes) ? SaveFormatOfBytes(bytes) : nullptr;
            return format ? format->keyword : "";
        }
    }
    return {};
}

// "16x16/32 24x24/32 ..." for the report.
std::string ShapesText(const std::vector<Image>& images)
{
    std::string text;
    for (const ImageShape& shape : ShapesOf(images))
        text += (text.empty() ? "" : " ") + ShapeText(shape);
    return text;
}

int RunConvert(runtime::Module& module, const CommandLine& line, std::ostream& out, std::ostream& err)
{
    std::vector<runtime::SaveFormat> formats = module.SaveFormats();
    FormatChoice choice = ChooseSaveFormat(formats, line.formatKeyword.empty() ? InPlaceKeyword(line) : line.formatKeyword,
                                           line.output);
    const SaveFormatRow* row = choice.format ? FindSaveFormat(choice.format->keyword.c_str()) : nullptr;
    if (choice.format && row)
        choice.error = CheckSizes(line, *row);
    if (!choice.format || !row || !choice.error.empty()) {
        err << "tessel: " << (choice.error.empty() ? "the module's format is not known here" : choice.error) << "\n"
            << UsageHint("convert");
        return EXIT_USAGE;
    }
    std::vector<Icon> icons;
    int status = EXIT_OK;
    std::uint64_t working = 0;
    for (const std::string& input : line.files) {
        LoadResult loaded = LoadIconFile(module, input);
        if (!loaded.ok) {
            err << "tessel: " << Shown(input) << ": " << loaded.error << "\n";
            status = EXIT_FAILED;
            continue;
        }
        if (!loaded.warning.empty())
            err << "tessel: " << Shown(input) << ": warning: " << loaded.warning << "\n";
        working += TrueColourBytes(loaded.icon.images);
        if (working > MAX_ICON_WORKING_BYTES) {
            err << "tessel: " << Shown(input) << ": the inputs' images need more than "
                << (MAX_ICON_WORKING_BYTES >> 20) << " MiB as true colour, more than the tool works on\n";
            return EXIT_FAILED;
        }
        icons.push_back(std::move(loaded.icon));
    }
    if (status != EXIT_OK)
        return status;
    Icon merged = MergeIcons(std::move(icons));
    if (merged.images.empty()) {
        err << "tessel: " << line.output << ": nothing to save (the inputs hold no images)\n";
        return EXIT_FAILED;
    }
    const std::vector<ImageShape> inputs = ShapesOf(merged.images);
    PrepareIconForFormat(line, choice.format->keyword, merged);
    if (merged.attributes.toolTypesCut && row->carriesAttributes)
        err << "tessel: " << Shown(line.output) << ": warning: only the first " << MAX_TOOL_TYPES
            << " tooltypes are kept\n";
    if (std::string refusal = WhyNothingFits(merged.images, choice.format->keyword); !refusal.empty()) {
        err << "tessel: " << Shown(line.output) << ": " << refusal << "\n";
        return EXIT_FAILED;
    }
    const SaveRequest request = SaveRequestFor(line, *choice.format);
    std::vector<std::string> losses;
    Icon written;
    std::string why;
    const bool saved = SaveIconFile(
        module, line.output, request, std::move(merged), out,
        [&](const Icon& result) {
            losses = DescribeLosses(inputs, result.images, line, *row);
            return line.strict && !losses.empty() ? "not written: it would lose " + std::to_string(losses.size()) +
                                                        (losses.size() == 1 ? " image (--strict)" : " images (--strict)")
                                                  : std::string();
        },
        &written, &why);
    // The report goes where the icon does not; warnings always reach the user.
    const bool reportOut = !line.quiet && !IsStandardOutput(line.output);
    std::ostream& lossStream = reportOut && saved ? out : err;
    if (reportOut && saved)
        out << Shown(line.output) << ": " << request.formatName << ", " << written.images.size()
            << (written.images.size() == 1 ? " image: " : " images: ") << ShapesText(written.images) << "\n";
    for (const std::string& loss : losses)
        lossStream << (reportOut && saved ? "  " : "tessel: " + Shown(line.output) + ": ") << loss << "\n";
    if (!saved) {
        err << "tessel: " << Shown(line.output) << ": " << why << "\n";
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

}  // namespace

FormatChoice ChooseSaveFormat(const std::vector<runtime::SaveFormat>& formats, const std::string& keyword,
                              const std::string& output)
{
    FormatChoice choice;
    const std::string keywords = KeywordList(formats);
    if (!keyword.empty()) {
        for (const runtime::SaveFormat& format : formats) {
            if (LowerAscii(format.keyword) == LowerAscii(keyword)) {
                choice.format = &format;
                return choice;
            }
        }
        // An extension no other format shares names its format too.
        const runtime::SaveFormat* byExtension = nullptr;
        int users = 0;
        for (const runtime::SaveFormat& format : formats) {
            if (LowerAscii(format.extension) == LowerAscii(keyword)) {
                byExtension = &format;
                ++users;
            }
        }
        if (users == 1) {
            choice.format = byExtension;
            return choice;
        }
        choice.error = "unknown format keyword '" + keyword + "' (one of: " + keywords + ")";
        return choice;
    }
    std::string extension = std::filesystem::path(output).extension().string();
    if (extension.size() <= 1) {
        choice.error = "cannot tell the format from '" + output + "': give -f KEYWORD (one of: " + keywords + ")";
        return choice;
    }
    extension = LowerAscii(extension.substr(1));
    std::vector<const runtime::SaveFormat*> matches;
    for (const runtime::SaveFormat& format : formats) {
        if (!format.extension.empty() && LowerAscii(format.extension) == extension)
            matches.push_back(&format);
    }
    if (matches.size() == 1) {
        choice.format = matches.front();
        return choice;
    }
    if (matches.empty()) {
        choice.error = "no format uses '." + extension + "': give -f KEYWORD (one of: " + keywords + ")";
        return choice;
    }
    std::string sharing;
    for (const runtime::SaveFormat* format : matches)
        sharing += (sharing.empty() ? "" : ", ") + format->keyword;
    choice.error = "several formats use '." + extension + "' (" + sharing + "): choose one with -f KEYWORD";
    return choice;
}

std::unique_ptr<runtime::Module> OpenModule(const std::string& modulePath, std::ostream& err)
{
    std::string error;
    std::unique_ptr<runtime::Module> module = runtime::Module::Open(modulePath, &error);
    if (!module)
        err << "tessel: " << (error.empty() ? modulePath + ": cannot load module" : error) << "\n";
    return module;
}

int RunTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    ParseResult parsed = ParseCommandLine(args);
    if (!parsed.ok) {
        err << "tessel: " << parsed.error << "\n" << UsageHint(parsed.command);
        return EXIT_USAGE;
    }
    const CommandLine& line = parsed.line;
    if (line.command == Command::Help) {
        out << HelpText(line.helpTopic);
        return EXIT_OK;
    }

    std::string modulePath = line.modulePath.empty() ? runtime::DefaultModulePath() : line.modulePath;
    if (line.command == Command::Version) {
        // The tool's own version needs no module; the module's is shown
        // when it loads, and why not when it does not.
        out << "tessel " << TESSEL_VERSION << "\n";
        std::string error;
        std::unique_ptr<runtime::Module> module = runtime::Module::Open(modulePath, &error);
        if (module)
            out << "module: " << DescribeModule(module->Info()) << "\n        " << modulePath << "\n";
        else
            out << "module: not loaded: " << (error.empty() ? modulePath + ": cannot load module" : error) << "\n";
        return EXIT_OK;
    }
    if (line.command == Command::Convert && !line.outDir.empty())
        return RunBatchConvert(line, modulePath, out, err);
    std::unique_ptr<runtime::Module> module = OpenModule(modulePath, err);
    if (!module)
        return EXIT_FAILED;
    switch (line.command) {
    case Command::Formats:
        return RunFormats(*module, out, err);
    case Command::Info:
        return RunInfo(*module, line, out, err);
    case Command::Extract:
        return RunExtract(*module, line, out, err);
    case Command::Convert:
        return RunConvert(*module, line, out, err);
    case Command::Preview:
        return RunPreview(*module, line, out, err);
    case Command::Check:
        return RunCheck(*module, line, out, err);
    case Command::Help:
    case Command::Version:
        break;
    }
    return EXIT_OK;
}

}  // namespace tessel::tool
