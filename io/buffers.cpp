#include "io/buffers.h"

#include "host/host_calls.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

static constexpr std::uint64_t INT32_LIMIT = std::numeric_limits<std::int32_t>::max();

std::uint8_t* EnsureBuffer(std::uint8_t* buffer, std::int32_t need, std::int32_t* capacity)
{
    if (need >= 0 && *capacity > need && buffer)
        return buffer;
    HostFreeMem(buffer);
    *capacity = 0;
    if (need < 0)
        return nullptr;
    auto* fresh = static_cast<std::uint8_t*>(HostAllocMem(static_cast<std::uint64_t>(need), 0, "pbuf"));
    if (fresh)
        *capacity = need;
    return fresh;
}

int StartAppendBuffer(AppendBuffer* buffer)
{
    buffer->used = 0;
    buffer->capacity = 0;
    buffer->data = EnsureBuffer(nullptr, APPEND_BUFFER_STEP, &buffer->capacity);
    buffer->failed = buffer->data ? 0 : 1;
    return buffer->data != nullptr;
}

void ReleaseAppendBuffer(AppendBuffer* buffer)
{
    HostFreeMem(buffer->data);
    buffer->data = nullptr;
    buffer->used = 0;
    buffer->capacity = 0;
}

// Makes room for n more bytes; a buffer that would pass 2 GiB fails.
static int Reserve(std::uint64_t n, AppendBuffer* buffer)
{
    if (buffer->failed)
        return 0;
    const std::uint64_t want = static_cast<std::uint64_t>(buffer->used) + n;
    if (!std::in_range<std::int32_t>(want)) {   // the used count is 32 bits
        buffer->failed = 1;
        return 0;
    }
    if (buffer->data && want <= static_cast<std::uint64_t>(buffer->capacity))
        return 1;
    // Grow to the smallest multiple of the step that holds the request, so a
    // single large append cannot outrun the block.
    const std::uint64_t step = APPEND_BUFFER_STEP;
    const std::uint64_t grown = std::min((want + step - 1) / step * step, INT32_LIMIT);
    auto* fresh = static_cast<std::uint8_t*>(HostAllocMem(grown, 0, "pbuf"));
    if (!fresh) {
        buffer->failed = 1;                 // the old block and its bytes stay
        return 0;
    }
    std::copy_n(buffer->data, buffer->used, fresh);
    HostFreeMem(buffer->data);
    buffer->data = fresh;
    buffer->capacity = static_cast<std::int32_t>(grown);
    return 1;
}

int ReserveBuffer(std::int32_t n, AppendBuffer* buffer)
{
    if (n < 0) {
        buffer->failed = 1;
        return 0;
    }
    return Reserve(static_cast<std::uint64_t>(n), buffer);
}

void AppendBytes(const void* source, std::int32_t n, AppendBuffer* buffer)
{
    // A negative n reads as more than the buffer can hold, and fails it.
    const std::uint64_t length = n != 0 ? static_cast<std::uint64_t>(static_cast<std::int64_t>(n))
                                        : std::strlen(static_cast<const char*>(source)) + 1;
    if (!Reserve(length, buffer))
        return;
    std::memcpy(buffer->data + buffer->used, source, length);
    buffer->used += static_cast<std::int32_t>(length);
}

static void StoreBE32(std::uint8_t* at, std::uint32_t v)
{
    at[0] = static_cast<std::uint8_t>(v >> 24);
    at[1] = static_cast<std::uint8_t>(v >> 16);
    at[2] = static_cast<std::uint8_t>(v >> 8);
    at[3] = static_cast<std::uint8_t>(v);
}

void AppendTagValue(std::uint32_t tag, std::uint32_t value, int force, AppendBuffer* buffer)
{
    if (!force && value == 0)
        return;
    if (!ReserveBuffer(8, buffer))
        return;
    StoreBE32(buffer->data + buffer->used, tag);
    StoreBE32(buffer->data + buffer->used + 4, value);
    buffer->used += 8;
}

void AppendTagString(std::uint32_t tag, const char* string, AppendBuffer* buffer)
{
    if (!string)
        return;
    const std::size_t length = std::strlen(string) + 1;
    // One reservation for tag and text, so a failure cannot leave a tag
    // without its string.
    if (!Reserve(4 + length, buffer))
        return;
    StoreBE32(buffer->data + buffer->used, tag);
    std::memcpy(buffer->data + buffer->used + 4, string, length);
    buffer->used += static_cast<std::int32_t>(4 + length);
}
