#include "tool/batch_convert.h"

#include "tool/batch_item.h"
#include "tool/batch_workers.h"
#include "tool/commands.h"
#include "tool/convert_prepare.h"
#include "tool/icon_files.h"
#include "tool/output_files.h"
#include "tool/progress_bar.h"

#include "tool/text_encoding.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <ostream>
#include <set>
#include <vector>

#include <unistd.h>

namespace tessel::tool {

namespace {

namespace fs = std::filesystem;

// A run ended by a signal exits as shells report one: 128 + the signal.
constexpr int EXIT_SIGNAL_BASE = 128;

// The files named on the command line, directories opened (recursively with
// --recursive) into their regular files sorted by path, so that every run
// lists them in the same order. A name that is neither becomes an item that
// has already failed.
std::vector<BatchItem> ListInputs(const CommandLine& line)
{
    std::vector<BatchItem> items;
    for (const std::string& argument : line.files) {
        std::error_code error;
        if (!fs::is_directory(argument, error)) {
            BatchItem item;
            item.input = argument;
            if (!fs::exists(fs::symlink_status(argument, error))) {
                item.reason = "cannot open (" + SystemReason(ENOENT) + ")";
                item.done = true;
            }
            items.push_back(std::move(item));
            continue;
        }
        std::vector<std::string> found;
        auto collect = [&](const fs::directory_entry& entry) {
            std::error_code entryError;
            if (entry.is_regular_file(entryError))
                found.push_back(entry.path().string());
        };
        if (line.recursive) {
            for (fs::recursive_directory_iterator it(argument, error), end; !error && it != end; it.increment(error)) {
                // The output directory may lie inside an input one: what an
                // earlier run wrote there is not taken as input again.
                std::error_code sameError;
                if (it->is_directory(sameError) && fs::equivalent(it->path(), line.outDir, sameError)) {
                    it.disable_recursion_pending();
                    continue;
                }
                collect(*it);
            }
        } else {
            for (fs::directory_iterator it(argument, error), end; !error && it != end; it.increment(error))
                collect(*it);
        }
        if (error) {
            BatchItem item;
            item.input = argument;
            item.reason = "cannot list directory (" + SystemReason(error.value()) + ")";
            item.done = true;
            items.push_back(std::move(item));
        }
        std::sort(found.begin(), found.end());
        for (std::string& file : found) {
            BatchItem item;
            item.input = std::move(file);
            items.push_back(std::move(item));
        }
    }
    return items;
}

std::string CanonicalName(const std::string& path)
{
    std::error_code error;
    fs::path canonical = fs::weakly_canonical(path, error);
    return error ? fs::absolute(path, error).lexically_normal().string() : canonical.string();
}

// A hidden name in OUT for each file to convert: the conversions write there,
// and only the files converted get their real names afterwards.
void AssignStagingNames(std::vector<BatchItem>& items, const std::string& outDir)
{
    const std::string prefix = ".tessel-batch-" + std::to_string(::getpid()) + "-";
    for (std::size_t i = 0; i < items.size(); ++i)
        items[i].staging = (fs::path(outDir) / (prefix + std::to_string(i))).string();
}

// OUT/<stem>.<extension> for each converted file, in input order; a name
// already given to an earlier file or belonging to an input itself gets -2,
// -3, ... The converted file moves there; a file that cannot is failed.
void MoveToOutputNames(std::vector<BatchItem>& items, const std::string& outDir, const std::string& extension)
{
    std::set<std::string> inputs, taken;
    for (const BatchItem& item : items)
        inputs.insert(CanonicalName(item.input));
    for (BatchItem& item : items) {
        if (item.outcome != BatchOutcome::Converted)
            continue;
        const std::string stem = fs::path(item.input).stem().string();
        const std::string suffix = extension.empty() ? "" : "." + extension;
        for (std::size_t n = 1;; ++n) {
            std::string name = stem + (n == 1 ? "" : "-" + std::to_string(n)) + suffix;
            std::string path = (fs::path(outDir) / name).string();
            std::string canonical = CanonicalName(path);
            if (!taken.count(canonical) && !inputs.count(canonical)) {
                taken.insert(canonical);
                item.output = path;
                break;
            }
        }
        if (::rename(item.staging.c_str(), item.output.c_str()) != 0) {
            item.outcome = BatchOutcome::Failed;
            item.reason = item.output + ": cannot replace (" + SystemReason(errno) + ")";
            ::unlink(item.staging.c_str());
        }
    }
}

}  // namespace

int RunBatchConvert(const CommandLine& line, const std::string& modulePath, std::ostream& out, std::ostream& err)
{
    std::unique_ptr<runtime::Module> module = OpenModule(modulePath, err);
    if (!module)
        return EXIT_FAILED;
    const std::vector<runtime::SaveFormat> formats = module->SaveFormats();
    FormatChoice choice = ChooseSaveFormat(formats, line.formatKeyword, "");
    if (!choice.format) {
        err << "tessel: " << choice.error << "\n" << UsageHint("convert");
        return EXIT_USAGE;
    }
    const runtime::SaveFormat format = *choice.format;
    const SaveFormatRow* row = FindSaveFormat(format.keyword.c_str());
    if (std::string why = row ? CheckSizes(line, *row) : ""; !why.empty()) {
        err << "tessel: " << why << "\n" << UsageHint("convert");
        return EXIT_USAGE;
    }

    if (std::string why; !MakeDirectory(line.outDir, &why)) {
        err << "tessel: " << Shown(line.outDir) << ": " << why << "\n";
        return EXIT_FAILED;
    }
    std::vector<BatchItem> items = ListInputs(line);
    AssignStagingNames(items, line.outDir);
    InstallSignalCleanup(true);

    {
        ProgressBar progress(err, items.size());
        for (const BatchItem& item : items)
            if (item.done)
                progress.Advance(item.input);
        if (line.jobs > 1) {
            // Each worker opens the module for itself; this process's copy
            // is closed first so no worker starts with a module in use.
            module.reset();
            RunWorkers(line, modulePath, format.keyword, items, progress, out, err);
        } else {
            for (BatchItem& item : items) {
                if (item.done || InterruptingSignal())
                    continue;
                ConvertOne(*module, line, format, item);
                progress.Advance(item.input);
            }
        }
    }

    MoveToOutputNames(items, line.outDir, format.extension);

    std::size_t converted = 0, failed = 0, skipped = 0, lost = 0, undone = 0;
    for (const BatchItem& item : items) {
        if (!item.done) {
            ++undone;
            continue;
        }
        converted += item.outcome == BatchOutcome::Converted;
        failed += item.outcome == BatchOutcome::Failed;
        skipped += item.outcome == BatchOutcome::Skipped;
        lost += item.losses.size();
    }
    if (!line.quiet || failed || skipped || lost)
        out << "converted " << converted << ", failed " << failed << ", skipped " << skipped
            << (lost ? ", " + std::to_string(lost) + (lost == 1 ? " image" : " images") + " left out or reduced" : "")
            << " (" << items.size() << (items.size() == 1 ? " file" : " files") << " to " << format.keyword << " in "
            << Shown(line.outDir) << ")\n";
    const int signal = InterruptingSignal();
    InstallSignalCleanup(false);
    if (signal)
        out << "interrupted by signal " << signal << ": " << undone << (undone == 1 ? " file" : " files")
            << " not converted\n";
    for (const BatchItem& item : items) {
        if (item.done && item.outcome == BatchOutcome::Failed)
            out << "failed: " << Shown(item.input) << ": " << Shown(item.reason) << "\n";
    }
    for (const BatchItem& item : items) {
        if (item.outcome == BatchOutcome::Skipped)
            out << "skipped: " << Shown(item.input) << ": " << Shown(item.reason) << "\n";
    }
    for (const BatchItem& item : items)
        for (const std::string& loss : item.losses)
            out << "lost: " << Shown(item.input) << ": " << loss << "\n";
    return signal ? EXIT_SIGNAL_BASE + signal : failed ? EXIT_FAILED : EXIT_OK;
}

}  // namespace tessel::tool
