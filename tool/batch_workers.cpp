#include "tool/batch_workers.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <ostream>

namespace tessel::tool {

namespace {

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
    items[index].outcome = static_cast<BatchOutcome>(outcome);
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
                item.outcome = BatchOutcome::Failed;
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

}  // namespace

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
        item.outcome = BatchOutcome::Failed;
        item.reason = worker && worker->signal ? "the worker converting it stopped (signal " +
                                                     std::to_string(worker->signal) + ")"
                                               : "the worker converting it stopped before reporting";
        // Its output may be a temporary file or nothing; never a finished one
        // that the summary calls failed.
        std::error_code ignored;
        std::filesystem::remove(item.output, ignored);
        progress.Advance(item.input);
    }
}

}  // namespace tessel::tool
