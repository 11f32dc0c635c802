// Memory streams: growable blocks of bytes under a "mem:" name, opened with
// HostOpenMemStream, written and read through host files of that name, read
// back whole with HostGetMemStreamData and ended with HostCloseMemStream. A
// read handle takes a copy of the bytes at open; a write handle truncates the
// stream and writes straight into it.
#include "runtime/host_file.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace tessel::runtime {
namespace {

constexpr const char* MEM_STREAM_EXTENSION = "png";

}  // namespace

HostFile* OpenStreamFile(const HostStream& stream, std::int32_t mode)
{
    std::unique_ptr<HostFile> file(NewFile(FileKind::Stream, mode == HOST_MODE_WRITE));
    if (!file)
        return nullptr;
    try {
        if (mode == HOST_MODE_WRITE) {
            file->stream = stream.bytes;
            file->stream->clear();
        } else {
            file->stream = std::make_shared<StreamBytes>(*stream.bytes);
            file->window = file->stream->data();
            file->windowLength = static_cast<std::int64_t>(file->stream->size());
            file->size = file->windowLength;
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return file.release();
}

bool StreamWrite(HostFile* file, const std::uint8_t* data, std::int64_t n)
{
    auto end = static_cast<std::uint64_t>(file->position + n);
    if (end > STREAM_MAX_BYTES)
        return false;
    StreamBytes& bytes = *file->stream;
    try {
        bytes.resize(std::max<std::uint64_t>(bytes.size(), end));
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::copy_n(data, n, bytes.begin() + file->position);
    return true;
}

bool ReplaceStreamBytes(HostStream& stream, const std::uint8_t* data, std::size_t size)
{
    if (size > STREAM_MAX_BYTES)
        return false;
    std::int64_t allowed = 0;
    bool ok = TakeWriteBudget(static_cast<std::int64_t>(size), &allowed);
    try {
        stream.bytes->assign(data, data + allowed);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return ok;
}

}  // namespace tessel::runtime

extern "C" HostStream* TesselHostOpenMemStream(char* nameBuffer, std::int32_t bufferSize, std::int32_t /*reserved*/)
{
    using namespace tessel::runtime;
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
    using namespace tessel::runtime;
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
    using namespace tessel::runtime;
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
