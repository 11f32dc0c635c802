// Host files: buffered files on POSIX descriptors, read-only memory files,
// growable memory streams, and the names that reach them.
//
// A HostFile is one of three kinds:
//   - descriptor: a real path. Reads go through a 64 KiB window filled with
//     pread; writes collect in a 64 KiB buffer of dirty bytes that is written
//     out with pwrite when a write lands outside it, and on close.
//   - memory: a block registered with HostMemFileName. The read window is the
//     block itself; the handle keeps (pointer, size), so it never reads past
//     the size it was given. The block belongs to the module, which keeps it
//     alive for the call that registered it; a handle opened on it must be
//     closed within that call.
//   - stream: the bytes of a HostOpenMemStream stream. A read handle takes a
//     copy of the bytes at open; a write handle truncates the stream and
//     writes straight into it.
// Every kind keeps a logical position and size. HostGetC and HostPutC first
// try a few-instruction path on the window or buffer, so a byte-per-call
// reader costs little more than a bulk read.
//
// Memory-file and stream names are "mem:<16 hex digits>.<ext>" with a random
// token; only a name in the registry opens memory, every other name is a path.
#include "runtime/host_services.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <unordered_map>
#include <unordered_set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::int64_t FILE_BUFFER_SIZE = 64 * 1024;
// A stream never grows past this: a seek to a huge position followed by a
// write must fail rather than ask for the memory.
constexpr std::uint64_t STREAM_MAX_BYTES = tessel::runtime::HOST_ALLOC_CEILING;
constexpr std::int64_t POSITION_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t NO_WRITE_LIMIT = std::numeric_limits<std::int64_t>::max();
// A tag list longer than this is treated as ended: a list without its
// terminator must not walk through memory forever.
constexpr int OPEN_TAGS_MAX = 1024;

constexpr char MEM_NAME_PREFIX[] = "mem:";
constexpr std::size_t MEM_NAME_PREFIX_LENGTH = sizeof(MEM_NAME_PREFIX) - 1;
constexpr std::size_t MEM_EXTENSION_MAX = 8;
constexpr const char* MEM_EXTENSION_DEFAULT = "bin";
constexpr const char* MEM_STREAM_EXTENSION = "png";

enum class FileKind { Descriptor, Memory, Stream };

using StreamBytes = std::vector<std::uint8_t>;

// Bytes that may still be written before the injected write fault fires.
// Read on every write, so it is a plain constant-initialised global.
std::int64_t g_writeBudget = NO_WRITE_LIMIT;
bool g_failClose = false;
// Bytes that may still be fetched for reading before the injected read fault
// fires.
std::int64_t g_readBudget = NO_WRITE_LIMIT;

}  // namespace

struct HostStream {
    std::string name;
    // Shared with write handles, so a handle left open past
    // HostCloseMemStream writes into bytes nobody reads instead of freed memory.
    std::shared_ptr<StreamBytes> bytes;
};

struct HostFile {
    FileKind kind = FileKind::Descriptor;
    bool writable = false;
    bool failed = false;  // sticky: a write, flush, seek or close failed
    int fd = -1;
    std::int64_t position = 0;
    std::int64_t size = 0;  // read: the size at open; write: grows with the writes

    // Read window: file bytes [windowStart, windowStart + windowLength) are at window.
    const std::uint8_t* window = nullptr;
    std::int64_t windowStart = 0;
    std::int64_t windowLength = 0;

    // Descriptor writes: file bytes [bufferStart, bufferStart + bufferLength)
    // are in buffer and not yet written out. Descriptor reads use it as the window.
    std::unique_ptr<std::uint8_t[]> buffer;
    std::int64_t bufferStart = 0;
    std::int64_t bufferLength = 0;
    // Where the descriptor's own offset is, for descriptors that cannot pwrite.
    std::int64_t descriptorOffset = 0;

    // Stream handles: the stream's bytes (write) or the copy taken at open (read).
    std::shared_ptr<StreamBytes> stream;
};

namespace tessel::runtime {
namespace {

struct NamedEntry {
    const std::uint8_t* data = nullptr;  // memory file
    std::uint64_t size = 0;
    HostStream* stream = nullptr;  // or a stream
};

struct FileState {
    std::mutex lock;
    std::unordered_map<std::string, NamedEntry> names;
    std::unordered_set<HostFile*> files;
    std::unordered_set<HostStream*> streams;
    FileCounters counters;
    std::mt19937_64 random;

    FileState()
    {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
        random.seed(seed);
    }
};

// Never destroyed: handles may be closed by static objects at exit.
FileState& Files()
{
    static FileState* state = new FileState;
    return *state;
}

// Takes n bytes from the injected write budget. When fewer are left, takes
// what is left and reports how many may still be written in *allowed.
bool TakeWriteBudget(std::int64_t n, std::int64_t* allowed)
{
    if (n <= g_writeBudget) {
        if (g_writeBudget != NO_WRITE_LIMIT)
            g_writeBudget -= n;
        *allowed = n;
        return true;
    }
    *allowed = g_writeBudget;
    g_writeBudget = 0;
    return false;
}

bool IsMemName(const char* name)
{
    return std::strncmp(name, MEM_NAME_PREFIX, MEM_NAME_PREFIX_LENGTH) == 0;
}

// The entry registered under name, or null. Caller holds the lock.
const NamedEntry* FindNamed(FileState& state, const char* name)
{
    if (!IsMemName(name))
        return nullptr;
    auto found = state.names.find(name);
    return found == state.names.end() ? nullptr : &found->second;
}

// Only [a-z0-9], 1 to 8 characters (upper case is folded); anything else is "bin".
std::string SanitiseExtension(const char* hint)
{
    if (!hint)
        return MEM_EXTENSION_DEFAULT;
    std::string extension;
    for (std::size_t i = 0; hint[i] != '\0'; ++i) {
        char c = hint[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!allowed || extension.size() == MEM_EXTENSION_MAX)
            return MEM_EXTENSION_DEFAULT;
        extension.push_back(c);
    }
    return extension.empty() ? MEM_EXTENSION_DEFAULT : extension;
}

// A fresh name not in the registry. Caller holds the lock.
std::string NewMemName(FileState& state, const std::string& extension)
{
    for (;;) {
        char token[17];
        std::snprintf(token, sizeof token, "%016llx", static_cast<unsigned long long>(state.random()));
        std::string name = std::string(MEM_NAME_PREFIX) + token + "." + extension;
        if (state.names.find(name) == state.names.end())
            return name;
    }
}

// Copies name into a caller's buffer with its terminator, or returns false
// leaving an empty string when there is room for one.
bool CopyName(const std::string& name, char* buffer, std::int32_t bufferSize)
{
    if (!buffer || bufferSize < 1)
        return false;
    if (name.size() + 1 > static_cast<std::size_t>(bufferSize)) {
        buffer[0] = '\0';
        return false;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return true;
}

// ---- Descriptor I/O ---------------------------------------------------------

// Opens a path with O_NONBLOCK so that a FIFO cannot hang the open, then
// clears the flag for the reads and writes.
int OpenPath(const char* path, int flags)
{
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// An open read descriptor on a regular file, with its size; -1 otherwise.
int OpenRegularFile(const char* path, std::int64_t* size)
{
    int fd = OpenPath(path, O_RDONLY);
    if (fd < 0)
        return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        ::close(fd);
        return -1;
    }
    *size = info.st_size;
    return fd;
}

// Reads up to n bytes at offset; stops early only at end of file. -1 on error.
std::int64_t ReadAt(int fd, std::uint8_t* data, std::int64_t n, std::int64_t offset)
{
    if (g_readBudget != NO_WRITE_LIMIT) {
        if (n > 0 && g_readBudget == 0)
            return -1;
        n = std::min(n, g_readBudget);
    }
    std::int64_t done = 0;
    while (done < n) {
        ssize_t got = ::pread(fd, data + done, static_cast<std::size_t>(n - done), offset + done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return done > 0 ? done : -1;
        if (got == 0)
            break;
        done += got;
    }
    if (g_readBudget != NO_WRITE_LIMIT)
        g_readBudget -= done;
    return done;
}

// Writes all n bytes at offset. Devices and pipes that cannot pwrite get a
// plain write when the descriptor is already at offset.
bool WriteAt(HostFile* file, const std::uint8_t* data, std::int64_t n, std::int64_t offset)
{
    std::int64_t done = 0;
    while (done < n) {
        std::size_t piece = static_cast<std::size_t>(n - done);
        ssize_t put = ::pwrite(file->fd, data + done, piece, offset + done);
        if (put < 0 && errno == ESPIPE && offset + done == file->descriptorOffset) {
            put = ::write(file->fd, data + done, piece);
            if (put > 0)
                file->descriptorOffset += put;
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += put;
    }
    return true;
}

// Writes out the buffered bytes. A failure sets the sticky flag.
bool Flush(HostFile* file)
{
    if (file->bufferLength == 0)
        return true;
    bool ok = WriteAt(file, file->buffer.get(), file->bufferLength, file->bufferStart);
    file->bufferLength = 0;
    if (!ok)
        file->failed = true;
    return ok;
}

// Fills the window from the position of a descriptor read handle. Returns the
// bytes now in it: 0 at the end of the file, -1 on a read error.
std::int64_t RefillWindow(HostFile* file)
{
    std::int64_t want = std::min(FILE_BUFFER_SIZE, file->size - file->position);
    std::int64_t got = want > 0 ? ReadAt(file->fd, file->buffer.get(), want, file->position) : 0;
    file->windowStart = file->position;
    file->windowLength = got > 0 ? got : 0;
    if (got < 0)
        file->failed = true;    // an I/O error, which HostClose reports
    return got;
}

// ---- Writing ----------------------------------------------------------------

// Puts n bytes at the position of a descriptor handle, through the buffer.
bool BufferedWrite(HostFile* file, const std::uint8_t* data, std::int64_t n)
{
    std::int64_t end = file->position + n;
    bool outside = file->position < file->bufferStart ||
                   file->position > file->bufferStart + file->bufferLength ||
                   end - file->bufferStart > FILE_BUFFER_SIZE;
    if (file->bufferLength > 0 && outside && !Flush(file))
        return false;
    if (file->bufferLength == 0) {
        file->bufferStart = file->position;
        if (n >= FILE_BUFFER_SIZE) {
            if (!WriteAt(file, data, n, file->position)) {
                file->failed = true;
                return false;
            }
            return true;
        }
    }
    std::memcpy(file->buffer.get() + (file->position - file->bufferStart), data, static_cast<std::size_t>(n));
    file->bufferLength = std::max(file->bufferLength, end - file->bufferStart);
    return true;
}

// Puts n bytes at the position of a stream write handle; a gap before it
// becomes zeros.
bool StreamWrite(HostFile* file, const std::uint8_t* data, std::int64_t n)
{
    auto end = static_cast<std::uint64_t>(file->position + n);
    if (end > STREAM_MAX_BYTES)
        return false;
    StreamBytes& bytes = *file->stream;
    try {
        if (bytes.size() < end)
            bytes.resize(end);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (n > 0)
        std::memcpy(bytes.data() + file->position, data, static_cast<std::size_t>(n));
    return true;
}

// Writes n bytes at the position of a write handle and moves past them.
// Returns n, or -1 (sticky flag set) when any of them could not be written.
std::int64_t WriteBytes(HostFile* file, const std::uint8_t* data, std::int64_t n)
{
    if (!file->writable || n > POSITION_MAX - file->position) {
        file->failed = true;
        return -1;
    }
    // Under an injected fault the bytes before the limit still land, as
    // they would on a disk that fills up part way through a write.
    std::int64_t allowed = 0;
    bool whole = TakeWriteBudget(n, &allowed);
    bool ok = file->kind == FileKind::Stream ? StreamWrite(file, data, allowed)
                                             : BufferedWrite(file, data, allowed);
    if (ok) {
        file->position += allowed;
        file->size = std::max(file->size, file->position);
    }
    if (!ok || !whole) {
        file->failed = true;
        return -1;
    }
    return n;
}

// ---- Opening ----------------------------------------------------------------

HostFile* NewFile(FileKind kind, bool writable)
{
    auto* file = new (std::nothrow) HostFile;
    if (!file)
        return nullptr;
    file->kind = kind;
    file->writable = writable;
    return file;
}

HostFile* OpenDescriptorFile(const char* path, std::int32_t mode)
{
    std::unique_ptr<HostFile> file(NewFile(FileKind::Descriptor, mode == HOST_MODE_WRITE));
    if (!file)
        return nullptr;
    file->buffer.reset(new (std::nothrow) std::uint8_t[FILE_BUFFER_SIZE]);
    if (!file->buffer)
        return nullptr;
    if (mode == HOST_MODE_READ) {
        file->fd = OpenRegularFile(path, &file->size);
        file->window = file->buffer.get();
    } else {
        file->fd = OpenPath(path, O_WRONLY | O_CREAT | O_TRUNC);
    }
    if (file->fd < 0)
        return nullptr;
    return file.release();
}

// Opens a registered name. Caller holds the lock.
HostFile* OpenNamedEntry(const NamedEntry& entry, std::int32_t mode)
{
    if (!entry.stream) {
        // A memory file belongs to the module and is read-only.
        if (mode != HOST_MODE_READ)
            return nullptr;
        HostFile* file = NewFile(FileKind::Memory, false);
        if (!file)
            return nullptr;
        file->window = entry.data;
        file->size = static_cast<std::int64_t>(entry.size);
        // Under an injected read fault only the bytes still allowed are
        // readable; the rest of the memory file reads as an I/O error.
        file->windowLength = file->size;
        if (g_readBudget != NO_WRITE_LIMIT) {
            file->windowLength = std::min(file->size, g_readBudget);
            g_readBudget -= file->windowLength;
        }
        return file;
    }
    std::unique_ptr<HostFile> file(NewFile(FileKind::Stream, mode == HOST_MODE_WRITE));
    if (!file)
        return nullptr;
    try {
        if (mode == HOST_MODE_WRITE) {
            file->stream = entry.stream->bytes;
            file->stream->clear();
        } else {
            file->stream = std::make_shared<StreamBytes>(*entry.stream->bytes);
            file->window = file->stream->data();
            file->windowLength = static_cast<std::int64_t>(file->stream->size());
            file->size = file->windowLength;
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return file.release();
}

HostFile* OpenAnyName(const char* name, std::int32_t mode)
{
    if (!name || (mode != HOST_MODE_READ && mode != HOST_MODE_WRITE))
        return nullptr;
    FileState& state = Files();
    std::lock_guard<std::mutex> guard(state.lock);
    const NamedEntry* entry = FindNamed(state, name);
    HostFile* file = entry ? OpenNamedEntry(*entry, mode) : OpenDescriptorFile(name, mode);
    if (!file)
        return nullptr;
    try {
        state.files.insert(file);
    } catch (const std::bad_alloc&) {
        if (file->fd >= 0)
            ::close(file->fd);
        delete file;
        return nullptr;
    }
    ++state.counters.liveFiles;
    return file;
}

bool WritePath(const char* path, const std::uint8_t* data, std::size_t size)
{
    int fd = OpenPath(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0)
        return false;
    std::int64_t allowed = 0;
    bool ok = TakeWriteBudget(static_cast<std::int64_t>(size), &allowed);
    std::size_t done = 0;
    while (done < static_cast<std::size_t>(allowed)) {
        ssize_t put = ::write(fd, data + done, static_cast<std::size_t>(allowed) - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(put);
    }
    if (::close(fd) != 0)
        ok = false;
    return ok;
}

bool ReadPath(const char* path, std::uint64_t maxBytes, std::vector<std::uint8_t>& out)
{
    std::int64_t size = 0;
    int fd = OpenRegularFile(path, &size);
    if (fd < 0)
        return false;
    bool ok = static_cast<std::uint64_t>(size) <= maxBytes;
    try {
        if (ok)
            out.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (ok) {
        // The size came from fstat; a file that changed since is refused.
        std::int64_t got = ReadAt(fd, out.data(), size, 0);
        std::uint8_t probe = 0;
        ok = got == size && ReadAt(fd, &probe, 1, size) == 0;
    }
    ::close(fd);
    if (!ok)
        out.clear();
    return ok;
}

}  // namespace

// ---- Controls ---------------------------------------------------------------

void SetFileFaults(const FileFaults& faults)
{
    g_writeBudget = faults.failWritesAfterBytes < 0 ? NO_WRITE_LIMIT : faults.failWritesAfterBytes;
    g_failClose = faults.failClose;
    g_readBudget = faults.failReadsAfterBytes < 0 ? NO_WRITE_LIMIT : faults.failReadsAfterBytes;
}

void ClearFileFaults()
{
    SetFileFaults(FileFaults{});
}

FileCounters GetFileCounters()
{
    FileState& state = Files();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.counters;
}

void ResetFileCounters()
{
    FileState& state = Files();
    std::lock_guard<std::mutex> guard(state.lock);
    state.counters.opens = 0;
    state.counters.opensWithTags = 0;
    state.counters.lastAdapter = 0;
}

std::string RegisterMemFile(const void* data, std::uint64_t size, const char* extension)
{
    if ((!data && size != 0) || size > static_cast<std::uint64_t>(POSITION_MAX))
        return {};
    FileState& state = Files();
    std::lock_guard<std::mutex> guard(state.lock);
    try {
        std::string name = NewMemName(state, SanitiseExtension(extension));
        state.names.emplace(name, NamedEntry{static_cast<const std::uint8_t*>(data), size, nullptr});
        return name;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

void ClearCallMemFiles()
{
    FileState& state = Files();
    std::lock_guard<std::mutex> guard(state.lock);
    for (auto entry = state.names.begin(); entry != state.names.end();) {
        if (entry->second.stream)
            ++entry;
        else
            entry = state.names.erase(entry);
    }
}

bool ViewMemFile(const char* name, const std::uint8_t** data, std::uint64_t* size)
{
    if (!name || !data || !size)
        return false;
    FileState& state = Files();
    std::lock_guard<std::mutex> guard(state.lock);
    const NamedEntry* entry = FindNamed(state, name);
    if (!entry || entry->stream)
        return false;
    *data = entry->data;
    *size = entry->size;
    return true;
}

bool ReadNamedFile(const char* name, std::uint64_t maxBytes, std::vector<std::uint8_t>& out)
{
    out.clear();
    if (!name)
        return false;
    FileState& state = Files();
    std::unique_lock<std::mutex> guard(state.lock);
    const NamedEntry* entry = FindNamed(state, name);
    if (!entry) {
        guard.unlock();
        return ReadPath(name, maxBytes, out);
    }
    const std::uint8_t* data = entry->stream ? entry->stream->bytes->data() : entry->data;
    std::uint64_t size = entry->stream ? entry->stream->bytes->size() : entry->size;
    if (size > maxBytes)
        return false;
    try {
        out.assign(data, data + size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool WriteNamedFile(const char* name, const std::uint8_t* data, std::size_t size)
{
    if (!name || (!data && size != 0) || size > static_cast<std::size_t>(POSITION_MAX))
        return false;
    FileState& state = Files();
    std::unique_lock<std::mutex> guard(state.lock);
    const NamedEntry* entry = FindNamed(state, name);
    if (!entry) {
        guard.unlock();
        return WritePath(name, data, size);
    }
    if (!entry->stream || size > STREAM_MAX_BYTES)
        return false;
    std::int64_t allowed = 0;
    bool ok = TakeWriteBudget(static_cast<std::int64_t>(size), &allowed);
    try {
        entry->stream->bytes->assign(data, data + allowed);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return ok;
}

}  // namespace tessel::runtime

// ---- The host operations ----------------------------------------------------

using namespace tessel::runtime;

extern "C" HostFile* TesselHostOpen(const char* name, std::int32_t mode)
{
    {
        FileState& state = Files();
        std::lock_guard<std::mutex> guard(state.lock);
        ++state.counters.opens;
    }
    return OpenAnyName(name, mode);
}

// Tags: HOSTOPEN_TAG_ADAPTER is recorded and otherwise ignored, like every
// other tag; the last occurrence wins.
extern "C" HostFile* TesselHostOpenWithTags(const char* name, std::int32_t mode, const TagItem* tags)
{
    std::uintptr_t adapter = 0;
    for (int i = 0; tags && i < OPEN_TAGS_MAX && tags[i].tag != 0; ++i) {
        if (tags[i].tag == HOSTOPEN_TAG_ADAPTER)
            adapter = tags[i].value;
    }
    {
        FileState& state = Files();
        std::lock_guard<std::mutex> guard(state.lock);
        ++state.counters.opensWithTags;
        state.counters.lastAdapter = adapter;
    }
    return OpenAnyName(name, mode);
}

// Non-zero when anything failed on the handle: a write, a flush, a seek, or
// the close itself. Everything is released either way.
extern "C" std::int32_t TesselHostClose(HostFile* file)
{
    if (!file)
        return -1;
    FileState& state = Files();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (state.files.erase(file) == 0) {
            std::fprintf(stderr, "tessel: HostClose: %p is not an open file (closed twice?)\n",
                         static_cast<void*>(file));
            std::abort();
        }
        --state.counters.liveFiles;
    }
    bool failed = file->failed;
    if (file->writable) {
        if (file->kind == FileKind::Descriptor && !Flush(file))
            failed = true;
        if (g_failClose)
            failed = true;
    }
    if (file->fd >= 0 && ::close(file->fd) != 0)
        failed = true;
    delete file;
    return failed ? 1 : 0;
}

// Returns the previous position, or -1 leaving the position as it was. A
// position past the end is allowed: reads there find the end of the file and
// a write there leaves zeros in the gap.
extern "C" std::int64_t TesselHostSeek(HostFile* file, std::int64_t offset, std::int32_t from)
{
    if (!file)
        return -1;
    std::int64_t base;
    switch (from) {
    case HOST_SEEK_CURRENT: base = file->position; break;
    case HOST_SEEK_START: base = 0; break;
    case HOST_SEEK_END: base = file->size; break;
    default: base = -1; break;
    }
    std::int64_t target = -1;
    if (base < 0 || __builtin_add_overflow(base, offset, &target) || target < 0) {
        if (file->writable)
            file->failed = true;
        return -1;
    }
    std::int64_t previous = file->position;
    file->position = target;
    return previous;
}

extern "C" std::int64_t TesselHostRead(HostFile* file, void* buffer, std::int64_t n)
{
    if (!file || n < 0 || (!buffer && n > 0) || file->writable)
        return -1;
    std::int64_t left = file->size - file->position;
    std::int64_t want = std::min(n, left > 0 ? left : 0);
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::int64_t done = 0;
    while (done < want) {
        std::int64_t offset = file->position - file->windowStart;
        if (offset >= 0 && offset < file->windowLength) {
            std::int64_t piece = std::min(want - done, file->windowLength - offset);
            std::memcpy(out + done, file->window + offset, static_cast<std::size_t>(piece));
            done += piece;
            file->position += piece;
            continue;
        }
        if (file->kind != FileKind::Descriptor) {
            // Bytes the memory file has but cannot give (an injected read
            // fault) are an I/O error.
            file->failed = true;
            break;
        }
        if (want - done >= FILE_BUFFER_SIZE) {
            // Large reads skip the window.
            std::int64_t got = ReadAt(file->fd, out + done, want - done, file->position);
            if (got < 0) {
                file->failed = true;
                return done > 0 ? done : -1;
            }
            done += got;
            file->position += got;
            break;
        }
        std::int64_t got = RefillWindow(file);
        if (got < 0)
            return done > 0 ? done : -1;
        if (got == 0)
            break;  // the file shrank since it was opened
    }
    return done;
}

extern "C" std::int64_t TesselHostWrite(HostFile* file, const void* buffer, std::int64_t n)
{
    if (!file)
        return -1;
    if (n < 0 || (!buffer && n > 0)) {
        file->failed = true;
        return -1;
    }
    return WriteBytes(file, static_cast<const std::uint8_t*>(buffer), n);
}

extern "C" std::int32_t TesselHostGetC(HostFile* file)
{
    if (!file)
        return -1;
    std::int64_t offset = file->position - file->windowStart;
    if (offset >= 0 && offset < file->windowLength) {
        ++file->position;
        return file->window[offset];
    }
    if (file->writable || file->position >= file->size)
        return -1;
    if (file->kind != FileKind::Descriptor) {
        file->failed = true;    // inside the file, outside what it can give
        return -1;
    }
    if (RefillWindow(file) <= 0)
        return -1;
    ++file->position;
    return file->window[0];
}

extern "C" std::int32_t TesselHostPutC(HostFile* file, std::int32_t byte)
{
    if (!file)
        return -1;
    auto value = static_cast<std::uint8_t>(byte & 0xFF);
    // The common case: appending to a descriptor's buffer that has room.
    if (file->kind == FileKind::Descriptor && file->bufferLength > 0 && file->bufferLength < FILE_BUFFER_SIZE &&
        file->position == file->bufferStart + file->bufferLength && g_writeBudget > 0) {
        if (g_writeBudget != NO_WRITE_LIMIT)
            --g_writeBudget;
        file->buffer[static_cast<std::size_t>(file->bufferLength++)] = value;
        ++file->position;
        file->size = std::max(file->size, file->position);
        return value;
    }
    return WriteBytes(file, &value, 1) == 1 ? value : -1;
}

// True at or past the end, without a failed read first: readers test it
// before reading the next chunk.
extern "C" std::int32_t TesselHostEof(HostFile* file)
{
    if (!file)
        return 1;
    return file->position >= file->size ? 1 : 0;
}

// Registers desc's block as a memory file until the call ends. The block is
// not copied.
extern "C" std::int32_t TesselHostMemFileName(char* buffer, std::int32_t bufferSize, const MemFileDesc* desc,
                                              std::int32_t /*reserved*/)
{
    if (!buffer || bufferSize < 1)
        return 0;
    buffer[0] = '\0';
    if (!desc)
        return 0;
    std::uint64_t size = (static_cast<std::uint64_t>(desc->sizeHigh) << 32) | desc->sizeLow;
    std::string extension = SanitiseExtension(desc->extensionHint);
    // The name's length is fixed by its extension: refuse before registering.
    std::size_t nameLength = MEM_NAME_PREFIX_LENGTH + 16 + 1 + extension.size();
    if (nameLength + 1 > static_cast<std::size_t>(bufferSize))
        return 0;
    std::string name = RegisterMemFile(desc->data, size, extension.c_str());
    if (name.empty())
        return 0;
    return CopyName(name, buffer, bufferSize) ? 1 : 0;
}

extern "C" HostStream* TesselHostOpenMemStream(char* nameBuffer, std::int32_t bufferSize, std::int32_t /*reserved*/)
{
    if (!nameBuffer || bufferSize < 1)
        return nullptr;
    nameBuffer[0] = '\0';
    FileState& state = Files();
    std::lock_guard<std::mutex> guard(state.lock);
    try {
        auto stream = std::make_unique<HostStream>();
        stream->bytes = std::make_shared<StreamBytes>();
        stream->name = NewMemName(state, MEM_STREAM_EXTENSION);
        if (!CopyName(stream->name, nameBuffer, bufferSize))
            return nullptr;
        state.streams.insert(stream.get());
        try {
            state.names.emplace(stream->name, NamedEntry{nullptr, 0, stream.get()});
        } catch (const std::bad_alloc&) {
            state.streams.erase(stream.get());
            throw;
        }
        ++state.counters.liveStreams;
        return stream.release();
    } catch (const std::bad_alloc&) {
        nameBuffer[0] = '\0';
        return nullptr;
    }
}

// The bytes written so far. The pointer stays valid until the stream is
// written again or closed; it is never null, even for an empty stream.
extern "C" const void* TesselHostGetMemStreamData(HostStream* stream, std::uint64_t* lengthOut,
                                                  std::int32_t /*reserved*/)
{
    static const std::uint8_t EMPTY_STREAM = 0;
    if (!stream || !lengthOut)
        return nullptr;
    FileState& state = Files();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.streams.count(stream) == 0)
        return nullptr;
    const StreamBytes& bytes = *stream->bytes;
    *lengthOut = bytes.size();
    return bytes.empty() ? &EMPTY_STREAM : bytes.data();
}

extern "C" void TesselHostCloseMemStream(HostStream* stream)
{
    if (!stream)
        return;
    FileState& state = Files();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (state.streams.erase(stream) == 0) {
            std::fprintf(stderr, "tessel: HostCloseMemStream: %p is not an open stream (closed twice?)\n",
                         static_cast<void*>(stream));
            std::abort();
        }
        state.names.erase(stream->name);
        --state.counters.liveStreams;
    }
    delete stream;
}
