#include "tool/batch_workers.h"

#include "tool/output_files.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <span>

namespace tessel::tool {

namespace {

// A worker's report on one file of its share, in the order of the share:
// "outcome<TAB>reason[<TAB>loss]...<LF>", each text with tabs and line
// breaks made spaces.
std::string ResultRecord(const BatchItem& item)
{
    auto field = [](std::string text) {
        std::replace_if(text.begin(), text.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
        return "\t" + text;
    };
    std::string record(1, static_cast<char>(item.outcome));
    record += field(item.reason);
    for (const std::string& loss : item.losses)
        record += field(loss);
    return record + "\n";
}

bool WriteAll(int fd, const std::string& text)
{
    std::size_t written = 0;
    while (written < text.size()) {
        ssize_t n = TEMP_FAILURE_RETRY(::write(fd, text.data() + written, text.size() - written));
        if (n <= 0)
            return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

struct Worker {
    std::vector<std::size_t> share;   // the items it converts, in order
    std::size_t reported = 0;         // how many of them it has reported
    pid_t pid = -1;
    int fd = -1;
    std::string buffer;
    int signal = 0;   // the signal that ended it, or 0
};

// Takes the whole records off the front of the worker's buffer: each is the
// next file of its share. A line reaches the buffer only from the worker this
// process started, whole once its end has arrived.
void TakeRecords(Worker& worker, std::vector<BatchItem>& items, ProgressBar& progress)
{
    // The records are read where they lie, and the buffer cut once after.
    std::size_t start = 0;
    for (std::size_t end; (end = worker.buffer.find('\n', start)) != std::string::npos; start = end + 1) {
        BatchItem& item = items[worker.share.at(worker.reported++)];
        item.outcome = static_cast<BatchOutcome>(worker.buffer[start]);
        std::vector<std::string> fields;
        for (std::size_t at = start + 2, tab; at <= end; at = tab + 1) {
            tab = std::min(worker.buffer.find('\t', at), end);
            fields.push_back(worker.buffer.substr(at, tab - at));
        }
        item.reason = fields.front();
        item.losses.assign(fields.begin() + 1, fields.end());
        item.done = true;
        progress.Advance(item.input);
    }
    worker.buffer.erase(0, start);
}

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
            if (!WriteAll(fd, ResultRecord(item))) {
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
    std::vector<Worker> workers(std::min<std::size_t>(std::size_t(line.jobs), pending.size()));
    for (std::size_t k = 0; k < pending.size(); ++k)
        workers[k % workers.size()].share.push_back(pending[k]);
    out.flush();
    err.flush();
    // A worker whose parent is gone gets an error from write, not a signal.
    struct sigaction ignore{}, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);

    std::string startError;   // why the last worker could not be started
    for (Worker& worker : workers) {
        int fds[2];
        if (::pipe(fds) != 0) {
            startError = std::strerror(errno);
            continue;
        }
        worker.pid = ::fork();
        if (worker.pid == 0) {
            // A signal ends a worker at once, its temporary file removed.
            UnregisterWorkers();
            InstallSignalCleanup(false);
            ::close(fds[0]);
            for (const Worker& other : workers)
                if (other.fd >= 0)
                    ::close(other.fd);
            RunWorker(line, modulePath, keyword, items, worker.share, fds[1]);
        }
        if (worker.pid == -1) {
            startError = std::strerror(errno);
            ::close(fds[0]);
        } else {
            worker.fd = fds[0];
            RegisterWorker(worker.pid);
        }
        ::close(fds[1]);
    }

    std::vector<pollfd> polls;
    for (const Worker& worker : workers)
        if (worker.fd >= 0)
            polls.push_back({worker.fd, POLLIN, 0});
    for (std::size_t open = polls.size(); open > 0;) {
        if (TEMP_FAILURE_RETRY(::poll(polls.data(), polls.size(), -1)) < 0)
            break;
        for (pollfd& watched : polls) {
            if (watched.revents == 0)
                continue;
            Worker& worker = *std::find_if(workers.begin(), workers.end(), [&](const Worker& w) { return w.fd == watched.fd; });
            char chunk[4096];
            ssize_t n = TEMP_FAILURE_RETRY(::read(worker.fd, chunk, sizeof chunk));
            if (n <= 0) {
                watched.fd = -1;   // poll leaves a negative descriptor alone
                --open;
                continue;
            }
            worker.buffer.append(chunk, static_cast<std::size_t>(n));
            TakeRecords(worker, items, progress);
        }
    }
    for (Worker& worker : workers) {
        if (worker.fd >= 0)
            ::close(worker.fd);
        int status = 0;
        if (worker.pid != -1)
            TEMP_FAILURE_RETRY(::waitpid(worker.pid, &status, 0));
        worker.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        // Files it never reported: how the worker ended is the reason, unless
        // the batch was interrupted (then they are left undone). Their output
        // may be a temporary file or nothing; never a finished one that the
        // summary calls failed.
        for (std::size_t index : std::span(worker.share).subspan(worker.reported)) {
            BatchItem& item = items[index];
            std::error_code ignored;
            std::filesystem::remove(item.staging, ignored);
            if (InterruptingSignal())
                continue;
            item.done = true;
            item.outcome = BatchOutcome::Failed;
            if (worker.pid == -1)
                item.reason = "no worker process could be started (" + startError + ")";
            else if (worker.signal)
                item.reason = "the worker converting it stopped (signal " + std::to_string(worker.signal) + ")";
            else
                item.reason = "the worker converting it stopped before reporting";
            progress.Advance(item.input);
        }
    }
    UnregisterWorkers();
    ::sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace tessel::tool
