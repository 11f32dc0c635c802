#include "tool/output_files.h"

#include "tool/text_encoding.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ostream>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessel::tool {

namespace {

// A temporary name is the target's name with this around it; the target's
// part is cut so the whole stays within a file-name component's limit.
constexpr std::size_t TEMPORARY_BASE_MAX = 200;
constexpr char TEMPORARY_SUFFIX[] = ".tessel-XXXXXX";

// Links followed before giving up, as the kernel does.
constexpr int MAX_LINK_HOPS = 40;

// What the signal handler may touch: plain memory, set with the signals
// blocked.
constexpr int SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int MAX_WORKERS = 64;
char g_temporary[PATH_MAX];
volatile sig_atomic_t g_temporarySet = 0;
pid_t g_workers[MAX_WORKERS];
volatile sig_atomic_t g_workerCount = 0;
volatile sig_atomic_t g_batchMode = 0;
volatile sig_atomic_t g_signal = 0;

extern "C" void OnSignal(int signal)
{
    const int saved = errno;
    // A batch finishes the file it is writing, then stops.
    if (g_temporarySet && !g_batchMode)
        ::unlink(g_temporary);
    for (int i = 0; i < g_workerCount; ++i)
        ::kill(g_workers[i], SIGTERM);
    g_signal = signal;
    if (!g_batchMode) {
        std::signal(signal, SIG_DFL);
        ::raise(signal);
    }
    errno = saved;
}

// Runs change with the cleanup signals held back, so the handler never sees
// a half-recorded name.
template <typename Change>
void WithSignalsBlocked(Change change)
{
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    for (int signal : SIGNALS)
        sigaddset(&blocked, signal);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    change();
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// The mode of an ordinary new file. The process's umask is read once: it
// can only be read by setting it, and nothing here changes it.
mode_t NewFileMode()
{
    static const mode_t mode = [] {
        mode_t mask = ::umask(0);
        ::umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes)
{
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = TEMP_FAILURE_RETRY(::write(fd, bytes.data() + written, bytes.size() - written));
        if (n <= 0)
            return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The name a dangling link finally points at, or *why.
bool FollowLinks(std::string* path, std::string* why)
{
    for (int hops = 0; hops < MAX_LINK_HOPS; ++hops) {
        struct stat status{};
        if (::lstat(path->c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return true;
        char target[PATH_MAX];
        const ssize_t length = ::readlink(path->c_str(), target, sizeof target);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof target) {
            *why = "cannot follow the link (" + SystemReason(length < 0 ? errno : ENAMETOOLONG) + ")";
            return false;
        }
        const std::string link(target, static_cast<std::size_t>(length));
        *path = link.front() == '/' ? link : FolderOf(*path) + "/" + link;
    }
    *why = "cannot follow the link (" + SystemReason(ELOOP) + ")";
    return false;
}

// Writes into an existing file that is not a regular one, as it is.
bool WriteInPlace(const std::string& output, const std::vector<std::uint8_t>& bytes, std::string* why)
{
    const int fd = TEMP_FAILURE_RETRY(::open(output.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (fd < 0) {
        *why = "cannot open (" + SystemReason(errno) + ")";
        return false;
    }
    const bool written = WriteAll(fd, bytes);
    const int error = errno;
    if (::close(fd) != 0 || !written) {
        *why = "cannot write (" + SystemReason(written ? errno : error) + ")";
        return false;
    }
    return true;
}

// Replaces the regular file at target (or makes it) by way of a private
// temporary file beside it.
bool ReplaceRegular(const std::string& target, mode_t mode, const std::vector<std::uint8_t>& bytes, std::string* why)
{
    const std::string folder = FolderOf(target);
    const std::string base = target.substr(target.rfind('/') + 1).substr(0, TEMPORARY_BASE_MAX);
    std::string name = folder + "/." + base + TEMPORARY_SUFFIX;
    int fd = -1;
    int error = 0;
    WithSignalsBlocked([&] {
        fd = ::mkstemp(name.data());
        error = errno;
        if (fd >= 0 && name.size() < sizeof g_temporary) {
            std::memcpy(g_temporary, name.c_str(), name.size() + 1);
            g_temporarySet = 1;
        }
    });
    if (fd < 0) {
        *why = "cannot create a temporary file in " + Shown(folder) + " (" + SystemReason(error) + ")";
        return false;
    }
    bool ok = WriteAll(fd, bytes);
    error = errno;
    // The permissions are set on the descriptor, which stays writable
    // whatever they say.
    ok = ok && ::fchmod(fd, mode) == 0;
    if (!ok && error == 0)
        error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(name.c_str(), target.c_str()) != 0) {
        *why = "cannot replace (" + SystemReason(errno) + ")";
        ::unlink(name.c_str());
        ok = false;
    } else if (!ok) {
        *why = "cannot write (" + SystemReason(error) + ")";
        ::unlink(name.c_str());
    }
    WithSignalsBlocked([] { g_temporarySet = 0; });
    return ok;
}

}  // namespace

std::string SystemReason(int errorNumber)
{
    std::string reason = std::strerror(errorNumber);
    if (!reason.empty())
        reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    return reason;
}

bool IsStandardOutput(const std::string& output)
{
    struct stat named{}, standard{};
    return output == STANDARD_STREAM || (::stat(output.c_str(), &named) == 0 && ::fstat(STDOUT_FILENO, &standard) == 0 &&
                                         named.st_dev == standard.st_dev && named.st_ino == standard.st_ino);
}

bool CommitBytes(const std::string& output, const std::vector<std::uint8_t>& bytes, std::ostream& standardOutput,
                 std::string* why)
{
    if (output == STANDARD_STREAM) {
        standardOutput.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return true;
    }
    if (output.empty() || output.back() == '/') {
        *why = "is a directory";
        return false;
    }
    struct stat status{};
    if (::stat(output.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) {
            *why = "is a directory";
            return false;
        }
        if (!S_ISREG(status.st_mode))
            return WriteInPlace(output, bytes, why);
        // The regular file the name finally leads to is the one replaced.
        char real[PATH_MAX];
        if (!::realpath(output.c_str(), real)) {
            *why = "cannot follow the name (" + SystemReason(errno) + ")";
            return false;
        }
        return ReplaceRegular(real, status.st_mode & 07777, bytes, why);
    }
    std::string target = output;
    return FollowLinks(&target, why) && ReplaceRegular(target, NewFileMode(), bytes, why);
}

void InstallSignalCleanup(bool batchMode)
{
    g_batchMode = batchMode ? 1 : 0;
    g_signal = 0;
    struct sigaction action{};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : SIGNALS)
        sigaddset(&action.sa_mask, signal);
    for (int signal : SIGNALS)
        ::sigaction(signal, &action, nullptr);
}

int InterruptingSignal()
{
    return g_signal;
}

void RegisterWorker(pid_t pid)
{
    WithSignalsBlocked([&] {
        if (g_workerCount < MAX_WORKERS) {
            g_workers[g_workerCount] = pid;
            g_workerCount = g_workerCount + 1;
        }
    });
}

void UnregisterWorkers()
{
    WithSignalsBlocked([] { g_workerCount = 0; });
}

}  // namespace tessel::tool
