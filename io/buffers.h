// Scratch blocks that are replaced when too small, and a byte buffer that
// grows in 64 KiB steps to assemble a chunk before it is written.
#pragma once

#include <cstdint>

inline constexpr std::int32_t APPEND_BUFFER_STEP = 65536;

// Returns a block of at least need bytes: the given one when capacity is
// strictly greater than need, else a fresh block of exactly need bytes (tag
// "pbuf", contents not kept) after releasing the old one. On failure, or for
// a negative need, the old block is released, capacity becomes 0 and the
// result is null. Callers replace their pointer with the result.
std::uint8_t* EnsureBuffer(std::uint8_t* buffer, std::int32_t need, std::int32_t* capacity);

struct AppendBuffer {
    std::uint8_t* data;
    std::int32_t used;
    std::int32_t capacity;
    // Set by the first growth that fails; later appends then do nothing and
    // the owner treats the buffer's contents as incomplete.
    std::int32_t failed;
};

// Starts a buffer with one 64 KiB block. Returns 0 (and marks it failed) when
// the block cannot be had.
int StartAppendBuffer(AppendBuffer* buffer);
void ReleaseAppendBuffer(AppendBuffer* buffer);

int ReserveBuffer(std::int32_t n, AppendBuffer* buffer);
// n == 0 means the string at source, with its terminating NUL.
void AppendBytes(const void* source, std::int32_t n, AppendBuffer* buffer);
void AppendTagValue(std::uint32_t tag, std::uint32_t value, int force, AppendBuffer* buffer);
void AppendTagString(std::uint32_t tag, const char* string, AppendBuffer* buffer);
