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

#include <filesystem>
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
        LoadResult loaded = LoadIconFile(module, file);
        if (!loaded.ok && line.brief) {
            // One line per file, a failure too, so the listing stays complete.
            out << file << "  error: " << loaded.error << "\n";
            status = EXIT_FAILED;
            continue;
        }
        if (!loaded.ok) {
            err << "tessel: " << file << ": " << loaded.error << "\n";
            status = EXIT_FAILED;
            continue;
        }
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

int RunExtract(runtime::Module& module, const CommandLine& line, std::ostream& out, std::ostream& err)
{
    namespace fs = std::filesystem;
    const std::string& file = line.files.front();
    LoadResult loaded = LoadIconFile(module, file);
    if (!loaded.ok) {
        err << "tessel: " << file << ": " << loaded.error << "\n";
        return EXIT_FAILED;
    }
    if (std::string why; !MakeDirectory(line.output, &why)) {
        err << "tessel: " << line.output << ": " << why << "\n";
        return EXIT_FAILED;
    }
    for (std::size_t i = 0; i < loaded.icon.images.size(); ++i) {
        // The filters keep the numbering of the full list, so names stay stable.
        const bool selected = (loaded.icon.images[i].flags & IMAGEFLAG_SELECTED) != 0;
        if ((line.selectedOnly && !selected) || (line.normalOnly && selected))
            continue;
        std::string path = (fs::path(line.output) / ExtractFileName(file, i)).string();
        std::string why;
        if (!WriteImagePng(loaded.icon.images[i], path, &why)) {
            err << "tessel: " << path << ": " << why << "\n";
            return EXIT_FAILED;
        }
        out << path << "\n";
    }
    return EXIT_OK;
}

int RunConvert(runtime::Module& module, const CommandLine& line, std::ostream& out, std::ostream& err)
{
    std::vector<runtime::SaveFormat> formats = module.SaveFormats();
    FormatChoice choice = ChooseSaveFormat(formats, line.formatKeyword, line.output);
    if (!choice.format) {
        err << "tessel: " << choice.error << "\n" << UsageHint("convert");
        return EXIT_USAGE;
    }
    std::vector<Icon> icons;
    int status = EXIT_OK;
    for (const std::string& input : line.files) {
        LoadResult loaded = LoadIconFile(module, input);
        if (!loaded.ok) {
            err << "tessel: " << input << ": " << loaded.error << "\n";
            status = EXIT_FAILED;
            continue;
        }
        icons.push_back(std::move(loaded.icon));
    }
    if (status != EXIT_OK)
        return status;
    Icon merged = MergeIcons(icons);
    if (merged.images.empty()) {
        err << "tessel: " << line.output << ": nothing to save (the inputs hold no images)\n";
        return EXIT_FAILED;
    }
    PrepareIconForFormat(line, choice.format->keyword, merged);
    if (std::string refusal = WhyNothingFits(merged.images, choice.format->keyword); !refusal.empty()) {
        err << "tessel: " << line.output << ": " << refusal << "\n";
        return EXIT_FAILED;
    }
    const SaveRequest request = SaveRequestFor(line, *choice.format);
    std::string why;
    if (!SaveIconFile(module, line.output, request, merged, &why)) {
        err << "tessel: " << line.output << ": " << why << "\n";
        return EXIT_FAILED;
    }
    out << line.output << ": " << request.formatName << ", " << merged.images.size()
        << (merged.images.size() == 1 ? " image\n" : " images\n");
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
    if (line.command == Command::Convert && !line.outDir.empty())
        return RunBatchConvert(line, modulePath, out, err);
    std::unique_ptr<runtime::Module> module = OpenModule(modulePath, err);
    if (!module)
        return EXIT_FAILED;
    switch (line.command) {
    case Command::Version:
        out << DescribeModule(module->Info()) << "\nmodule: " << modulePath << "\n";
        return EXIT_OK;
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
        break;
    }
    return EXIT_OK;
}

}  // namespace tessel::tool
