// The host's file operations on handles of every kind: opening a name (a
// registered memory file or stream, otherwise a path), closing, seeking,
// reading and writing, and the byte calls HostGetC and HostPutC; HostGetC's
// fast path reads the handle's window here without a call. Also the
// whole-file calls ReadNamedFile and WriteNamedFile, and the counters.
#include "runtime/host_file.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <unistd.h>

namespace tessel::runtime {
namespace {

// A tag list longer than this is treated as ended: a list without its
// terminator must not walk through memory forever.
constexpr int OPEN_TAGS_MAX = 1024;

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

HostFile* OpenAnyName(const char* name, std::int32_t mode)
{
    if (!name || (mode != HOST_MODE_READ && mode != HOST_MODE_WRITE))
        return nullptr;
    FileState& state = Files();
    std::lock_guard<std::mutex> guard(state.lock);
    const NamedEntry* entry = FindNamed(state, name);
    HostFile* file = nullptr;
    if (!entry)
        file = OpenDescriptorFile(name, mode);
    else if (entry->stream)
        file = OpenStreamFile(*entry->stream, mode);
    else
        file = OpenMemoryFile(*entry, mode);
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

// Looks name up in the registry and runs onEntry on what it finds, with the
// lock held; a name not registered is a path, and onPath runs without the
// lock.
template <typename OnEntry, typename OnPath>
bool WithNamedFile(const char* name, OnEntry onEntry, OnPath onPath)
{
    FileState& state = Files();
    std::unique_lock<std::mutex> guard(state.lock);
    const NamedEntry* entry = FindNamed(state, name);
    if (!entry) {
        guard.unlock();
        return onPath();
    }
    return onEntry(*entry);
}

}  // namespace

HostFile* NewFile(FileKind kind, bool writable)
{
    auto* file = new (std::nothrow) HostFile;
    if (!file)
        return nullptr;
    file->kind = kind;
    file->writable = writable;
    return file;
}

bool ReadNamedFile(const char* name, std::uint64_t maxBytes, std::vector<std::uint8_t>& out)
{
    out.clear();
    if (!name)
        return false;
    auto readEntry = [&](const NamedEntry& entry) {
        const std::uint8_t* data = entry.stream ? entry.stream->bytes->data() : entry.data;
        std::uint64_t size = entry.stream ? entry.stream->bytes->size() : entry.size;
        if (size > maxBytes)
            return false;
        try {
            out.assign(data, data + size);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    };
    return WithNamedFile(name, readEntry, [&] { return ReadPath(name, maxBytes, out); });
}

bool WriteNamedFile(const char* name, const std::uint8_t* data, std::size_t size)
{
    if (!name || (!data && size != 0) || size > static_cast<std::size_t>(POSITION_MAX))
        return false;
    // A memory file belongs to the module and is read-only.
    auto writeEntry = [&](const NamedEntry& entry) {
        return entry.stream && ReplaceStreamBytes(*entry.stream, data, size);
    };
    return WithNamedFile(name, writeEntry, [&] { return WritePath(name, data, size); });
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
    std::int64_t want = std::clamp<std::int64_t>(left, 0, n);
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
