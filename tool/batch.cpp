#include "tool/batch.h"

#include "tool/commands.h"
#include "tool/format_fitting.h"
#include "tool/icon_files.h"
#include "tool/resize.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <iostream>
#include <ostream>
#include <set>

namespace tessel::tool {

namespace {

namespace fs = std::filesystem;

std::string Lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string ToolTypeKey(const std::string& toolType)
{
    return Lowered(toolType.substr(0, toolType.find('=')));
}

// Sides of the square images a macOS icon family has entries for.
constexpr std::int32_t MacosSides[] = {16, 32, 48, 64, 128, 256, 512, 1024};
// Windows icon directories and Amiga icon image chunks hold at most this side.
constexpr std::int32_t ICON_MAX_STORED_SIDE = 256;
// NewIcons image lines describe at most this side.
constexpr std::int32_t NEWICONS_MAX_STORED_SIDE = 93;

enum class Outcome : char { Converted = 'c', Failed = 'f', Skipped = 's' };

struct BatchItem {
    std::string input;
    std::string output;    // empty when the input could not even be listed
    Outcome outcome = Outcome::Failed;
    std::string reason;    // for Failed and Skipped
    bool done = false;
};

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

// OUT/<stem>.<extension> for each input, in input order; a name already given
// to an earlier input or belonging to an input itself gets -2, -3, ...
void AssignOutputNames(std::vector<BatchItem>& items, const std::string& outDir, const std::string& extension)
{
    std::set<std::string> inputs, taken;
    for (const BatchItem& item : items)
        inputs.insert(CanonicalName(item.input));
    for (BatchItem& item : items) {
        if (item.done)
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
    }
}

void ConvertOne(runtime::Module& module, const CommandLine& line, const runtime::SaveFormat& format,
                BatchItem& item)
{
    item.done = true;
    item.outcome = Outcome::Failed;
    SniffResult sniff = SniffFile(item.input);
    if (!sniff.opened) {
        item.reason = sniff.error;
        return;
    }
    if (sniff.format.empty()) {
        item.outcome = Outcome::Skipped;
        item.reason = "not an icon file (" + DescribeLeadingBytes(sniff.leadingBytes) + ")";
        return;
    }
    LoadResult loaded = LoadIconFile(module, item.input, &sniff);
    if (!loaded.ok) {
        item.reason = loaded.error;
        return;
    }
    if (loaded.icon.images.empty()) {
        item.outcome = Outcome::Skipped;
        item.reason = "holds no images";
        return;
    }
    PrepareIconForFormat(line, format.keyword, loaded.icon);
    if (std::string why = WhyNothingFits(loaded.icon.images, format.keyword); !why.empty()) {
        item.outcome = Outcome::Skipped;
        item.reason = why;
        return;
    }
    SaveRequest request;
    request.formatId = format.formatId;
    request.formatName = format.displayName.empty() ? format.keyword : format.displayName;
    request.compress = line.compress;
    if (!SaveIconFile(module, item.output, request, loaded.icon, &item.reason))
        return;
    item.outcome = Outcome::Converted;
    item.reason.clear();
}

// A bar on standard error, redrawn in place, only when that is a terminal.
class ProgressBar {
public:
    ProgressBar(std::ostream& err, std::size_t total)
        : err_(err), total_(total), shown_(&err == &std::cerr && ::isatty(STDERR_FILENO) == 1)
    {
    }
    ~ProgressBar()
    {
        if (shown_ && drawn_)
            err_ << "\r" << std::string(LINE_WIDTH, ' ') << "\r" << std::flush;
    }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void Advance(const std::string& file)
    {
        ++done_;
        if (!shown_ || total_ == 0)
            return;
        const std::size_t filled = done_ * BAR_WIDTH / total_;
        std::string text = "[" + std::string(filled, '#') + std::string(BAR_WIDTH - filled, ' ') + "] " +
                           std::to_string(done_) + "/" + std::to_string(total_) + " " +
                           fs::path(file).filename().string();
        text.resize(LINE_WIDTH, ' ');
        err_ << "\r" << text << std::flush;
        drawn_ = true;
    }

private:
    static constexpr std::size_t BAR_WIDTH = 30;
    static constexpr std::size_t LINE_WIDTH = 79;
    std::ostream& err_;
    std::size_t total_;
    std::size_t done_ = 0;
    bool shown_;
    bool drawn_ = false;
};

// A worker's report on one file: "index<TAB>outcome<TAB>reason<LF>", the
// reason with tabs and line breaks made spaces.
std::string ResultRecord(std::size_t index, const BatchItem& item)
{
    std::string reason = item.reason;
    std::replace_if(reason.begin(), reason.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
    return std::to_string(index) + "\t" + static_cast<char>(item.outcome) + "\t" + reason + "\n";
}

bool WriteAll(int fd, const std::string& text)
{
    std::size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

// Takes one record off the front of buffer into items; false when the
// record is damaged (then the rest of that worker's output is ignored).
bool TakeRecord(std::string& buffer, std::size_t lineEnd, std::vector<BatchItem>& items, ProgressBar& progress)
{
    std::string record = buffer.substr(0, lineEnd);
    buffer.erase(0, lineEnd + 1);
    std::size_t tab1 = record.find('\t');
    std::size_t tab2 = tab1 == std::string::npos ? std::string::npos : record.find('\t', tab1 + 1);
    if (tab2 != tab1 + 2)
        return false;
    std::size_t index = 0;
    for (std::size_t i = 0; i < tab1; ++i) {
        if (record[i] < '0' || record[i] > '9' || index > items.size())
            return false;
        index = index * 10 + std::size_t(record[i] - '0');
    }
    char outcome = record[tab1 + 1];
    if (tab1 == 0 || index >= items.size() || items[index].done ||
        (outcome != 'c' && outcome != 'f' && outcome != 's'))
        return false;
    items[index].outcome = static_cast<Outcome>(outcome);
    items[index].reason = record.substr(tab2 + 1);
    items[index].done = true;
    progress.Advance(items[index].input);
    return true;
}

struct Worker {
    pid_t pid = -1;
    int fd = -1;
    std::string buffer;
    bool damaged = false;
    int signal = 0;   // the signal that ended it, or 0
};

// The child's whole life: its own module, its share of the files, one record
// each down the pipe. Never returns.
[[noreturn]] void RunWorker(const CommandLine& line, const std::string& modulePath, const std::string& keyword,
                            std::vector<BatchItem>& items, const std::vector<std::size_t>& share, int fd)
{
    int status = 0;
    try {
        std::string error;
        std::unique_ptr<runtime::Module> module = runtime::Module::Open(modulePath, &error);
        const runtime::SaveFormat* format = nullptr;
        std::vector<runtime::SaveFormat> formats;
        if (module) {
            formats = module->SaveFormats();
            for (const runtime::SaveFormat& candidate : formats)
                if (candidate.keyword == keyword)
                    format = &candidate;
        }
        for (std::size_t index : share) {
            BatchItem& item = items[index];
            if (!format) {
                item.outcome = Outcome::Failed;
                item.reason = module ? "the worker's module has no format " + keyword
                                     : (error.empty() ? "the worker cannot load the module" : error);
            } else {
                ConvertOne(*module, line, *format, item);
            }
            if (!WriteAll(fd, ResultRecord(index, item))) {
                status = 1;
                break;
            }
        }
    } catch (...) {
        status = 1;
    }
    ::close(fd);
    // _exit: the parent's buffered output and atexit work are the parent's.
    ::_exit(status);
}

// Splits the pending files over jobs workers (file k to worker k mod jobs),
// gathers their records, and marks any file a worker never reported as
// failed with the way the worker ended.
void RunWorkers(const CommandLine& line, const std::string& modulePath, const std::string& keyword,
                std::vector<BatchItem>& items, ProgressBar& progress, std::ostream& out, std::ostream& err)
{
    std::vector<std::size_t> pending;
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!items[i].done)
            pending.push_back(i);
    const std::size_t jobs = std::min<std::size_t>(std::size_t(line.jobs), pending.size());
    out.flush();
    err.flush();
    // A worker whose parent is gone gets an error from write, not a signal.
    struct sigaction ignore{}, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);

    std::vector<Worker> workers;
    for (std::size_t w = 0; w < jobs; ++w) {
        std::vector<std::size_t> share;
        for (std::size_t k = w; k < pending.size(); k += jobs)
            share.push_back(pending[k]);
        int fds[2];
        pid_t pid = -1;
        if (::pipe(fds) == 0) {
            pid = ::fork();
            if (pid == 0) {
                ::close(fds[0]);
                for (const Worker& other : workers)
                    ::close(other.fd);
                RunWorker(line, modulePath, keyword, items, share, fds[1]);
            }
            ::close(fds[1]);
            if (pid < 0)
                ::close(fds[0]);
        }
        if (pid < 0) {
            // No process for this share: convert it here instead.
            std::string error;
            std::unique_ptr<runtime::Module> module = runtime::Module::Open(modulePath, &error);
            std::vector<runtime::SaveFormat> formats = module ? module->SaveFormats() : std::vector<runtime::SaveFormat>{};
            for (std::size_t index : share) {
                auto format = std::find_if(formats.begin(), formats.end(),
                                           [&](const runtime::SaveFormat& f) { return f.keyword == keyword; });
                if (format == formats.end()) {
                    items[index].done = true;
                    items[index].reason = error.empty() ? "cannot load the module" : error;
                } else {
                    ConvertOne(*module, line, *format, items[index]);
                }
                progress.Advance(items[index].input);
            }
            continue;
        }
        Worker worker;
        worker.pid = pid;
        worker.fd = fds[0];
        workers.push_back(std::move(worker));
    }

    std::size_t open = workers.size();
    while (open > 0) {
        std::vector<pollfd> polls;
        std::vector<Worker*> polled;
        for (Worker& worker : workers) {
            if (worker.fd >= 0) {
                polls.push_back({worker.fd, POLLIN, 0});
                polled.push_back(&worker);
            }
        }
        if (::poll(polls.data(), polls.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (std::size_t p = 0; p < polls.size(); ++p) {
            if (polls[p].revents == 0)
                continue;
            Worker& worker = *polled[p];
            char chunk[4096];
            ssize_t n = ::read(worker.fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ::close(worker.fd);
                worker.fd = -1;
                --open;
                continue;
            }
            worker.buffer.append(chunk, static_cast<std::size_t>(n));
            for (std::size_t end; !worker.damaged && (end = worker.buffer.find('\n')) != std::string::npos;)
                worker.damaged = !TakeRecord(worker.buffer, end, items, progress);
        }
    }
    for (Worker& worker : workers) {
        if (worker.fd >= 0)
            ::close(worker.fd);
        int status = 0;
        while (::waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
        }
        worker.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    ::sigaction(SIGPIPE, &previous, nullptr);
    // Files a worker never reported: the worker is the reason.
    for (std::size_t k = 0; k < pending.size(); ++k) {
        BatchItem& item = items[pending[k]];
        if (item.done)
            continue;
        const Worker* worker = nullptr;
        if (k % jobs < workers.size())
            worker = &workers[k % jobs];
        item.done = true;
        item.outcome = Outcome::Failed;
        item.reason = worker && worker->signal ? "the worker converting it stopped (signal " +
                                                     std::to_string(worker->signal) + ")"
                                               : "the worker converting it stopped before reporting";
        // Its output may be a temporary file or nothing; never a finished one
        // that the summary calls failed.
        std::error_code ignored;
        fs::remove(item.output, ignored);
        progress.Advance(item.input);
    }
}

}  // namespace

// The writers leave out images they cannot store and fail when none is left;
// saying which rule did it is more use than "cannot save". The rules follow
// the writers'.
std::string WhyNothingFits(const std::vector<Image>& images, const std::string& keyword)
{
    auto any = [&](auto fits) { return std::any_of(images.begin(), images.end(), fits); };
    auto small = [](const Image& image) {
        return image.width <= ICON_MAX_STORED_SIDE && image.height <= ICON_MAX_STORED_SIDE;
    };
    if (keyword == "WINDOWS" && !any([&](const Image& image) {
            return small(image) && (image.depth == 1 || image.depth == 4 || image.depth == 8 || image.depth == 32);
        }))
        return "nothing the format can hold (Windows icons store images of at most 256x256)";
    if (keyword == "MACOS" && !any([](const Image& image) {
            return image.width == image.height &&
                   std::find(std::begin(MacosSides), std::end(MacosSides), image.width) != std::end(MacosSides);
        }))
        return "nothing the format can hold (macOS icons store only square images of 16, 32, 48, 64, 128, 256, "
               "512 or 1024 pixels; --resize makes them from larger images)";
    const bool amiga = keyword == "AMIGAOS" || keyword == "NEWICON" || keyword == "AMIGAOS35" || keyword == "AMIGAOS40";
    auto normal = [](const Image& image) { return (image.flags & IMAGEFLAG_SELECTED) == 0; };
    if (amiga && !any([&](const Image& image) {
            return normal(image) && small(image) && (image.depth <= 8 || image.depth == 32);
        }))
        return "nothing the format can hold (Amiga icons need a normal-state image of at most 256x256)";
    if (keyword == "AMIGAOS40" && !any([&](const Image& image) { return image.depth == 32 && small(image); }))
        return "nothing the format can hold (AmigaOS 4.0 icons store a true-colour image of at most 256x256)";
    if (keyword == "NEWICON" || keyword == "AMIGAOS35") {
        // The classic part keeps the first 2- or 3-plane image as it is; the
        // colour part needs another normal-state image, or a true-colour one.
        auto classic = std::find_if(images.begin(), images.end(), [&](const Image& image) {
            return small(image) && (image.depth == 2 || image.depth == 3);
        });
        const std::int32_t side = keyword == "NEWICON" ? NEWICONS_MAX_STORED_SIDE : ICON_MAX_STORED_SIDE;
        bool colour = false;
        for (auto image = images.begin(); image != images.end() && !colour; ++image)
            colour = image != classic && normal(*image) && image->width <= side && image->height <= side &&
                     ((image->depth >= 1 && image->depth <= 8) || image->depth == 32);
        if (!colour)
            return "nothing the format can hold (its colour image needs a normal-state image of at most " +
                   std::to_string(side) + "x" + std::to_string(side) +
                   " besides the 2- or 3-plane one kept as the classic image)";
    }
    return {};
}

void ApplyAttributeOptions(const CommandLine& line, Attributes& attributes)
{
    if (line.setType)
        attributes.type = *line.setType;
    if (line.setDefaultTool)
        attributes.defaultTool = *line.setDefaultTool;
    if (line.setPositionX && line.setPositionY) {
        attributes.posX = *line.setPositionX;
        attributes.posY = *line.setPositionY;
    }
    if (line.setStack)
        attributes.stackSize = *line.setStack;
    for (const std::string& toolType : line.setToolTypes) {
        const std::string key = ToolTypeKey(toolType);
        auto same = std::find_if(attributes.toolTypes.begin(), attributes.toolTypes.end(),
                                 [&](const std::string& existing) { return ToolTypeKey(existing) == key; });
        if (same != attributes.toolTypes.end())
            *same = toolType;
        else if (attributes.toolTypes.size() < MAX_TOOL_TYPES)
            attributes.toolTypes.push_back(toolType);
    }
}

void PrepareIconForFormat(const CommandLine& line, const std::string& keyword, Icon& icon)
{
    ApplyAttributeOptions(line, icon.attributes);
    if (line.resize)
        AddResizedImages(icon.images, keyword);
    FitImagesToFormat(icon.images, keyword);
}

int RunBatchConvert(const CommandLine& line, const std::string& modulePath, std::ostream& out, std::ostream& err)
{
    std::string error;
    std::unique_ptr<runtime::Module> module = runtime::Module::Open(modulePath, &error);
    if (!module) {
        err << "tessel: " << (error.empty() ? modulePath + ": cannot load module" : error) << "\n";
        return EXIT_FAILED;
    }
    const std::vector<runtime::SaveFormat> formats = module->SaveFormats();
    FormatChoice choice = ChooseSaveFormat(formats, line.formatKeyword, "");
    if (!choice.format) {
        err << "tessel: " << choice.error << "\n" << UsageHint("convert");
        return EXIT_USAGE;
    }
    const runtime::SaveFormat format = *choice.format;

    std::error_code dirError;
    fs::create_directories(line.outDir, dirError);
    if (dirError || !fs::is_directory(line.outDir, dirError)) {
        err << "tessel: " << line.outDir << ": cannot create directory ("
            << (dirError ? SystemReason(dirError.value()) : std::string("a file of that name exists")) << ")\n";
        return EXIT_FAILED;
    }
    std::vector<BatchItem> items = ListInputs(line);
    AssignOutputNames(items, line.outDir, format.extension);

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
                if (item.done)
                    continue;
                ConvertOne(*module, line, format, item);
                progress.Advance(item.input);
            }
        }
    }

    std::size_t converted = 0, failed = 0, skipped = 0;
    for (const BatchItem& item : items) {
        converted += item.outcome == Outcome::Converted;
        failed += item.outcome == Outcome::Failed;
        skipped += item.outcome == Outcome::Skipped;
    }
    out << "converted " << converted << ", failed " << failed << ", skipped " << skipped << " (" << items.size()
        << (items.size() == 1 ? " file" : " files") << " to " << format.keyword << " in " << line.outDir << ")\n";
    for (const BatchItem& item : items) {
        if (item.outcome == Outcome::Failed)
            out << "failed: " << item.input << ": " << item.reason << "\n";
    }
    for (const BatchItem& item : items) {
        if (item.outcome == Outcome::Skipped)
            out << "skipped: " << item.input << ": " << item.reason << "\n";
    }
    return failed ? EXIT_FAILED : EXIT_OK;
}

std::string InfoBriefLine(const std::string& file, const Icon& icon)
{
    std::string text = file + "  " + icon.format + "  " + std::to_string(icon.images.size()) +
                       (icon.images.size() == 1 ? " image" : " images");
    for (std::size_t i = 0; i < icon.images.size(); ++i) {
        const Image& image = icon.images[i];
        text += (i == 0 ? "  " : " ") + std::to_string(image.width) + "x" + std::to_string(image.height) + "/" +
                std::to_string(image.depth);
        if (image.flags & IMAGEFLAG_PRIMARY)
            text += "p";
        if (image.flags & IMAGEFLAG_SELECTED)
            text += "s";
    }
    return text;
}

}  // namespace tessel::tool
