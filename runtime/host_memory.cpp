// HostAllocMem/HostFreeMem: memory for the module, with live-block accounting
// per tag and injected allocation failures for tests.
//
// Every block handed out is recorded in a table keyed by its address, so
// HostFreeMem can tell a block of ours from anything else without reading the
// memory around the pointer: a stray free is reported and stops the process
// instead of corrupting the heap. Guard bytes after every block catch a
// module that writes past its end, when the block is freed.
#include "runtime/host_services.h"

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_map>

namespace tessel::runtime {
namespace {

constexpr unsigned char MEMORY_POISON_BYTE = 0xA5;
// The bytes after every block, checked when it is freed: a text, not one
// repeated byte, so a write past the end that only moves them is seen too.
constexpr std::string_view MEMORY_GUARD = "<tessel guard 1>";
constexpr std::size_t MEMORY_GUARD_BYTES = MEMORY_GUARD.size();
// The tag recorded for a block allocated without one.
constexpr const char* MEMORY_UNTAGGED = "(untagged)";

struct TagCount {
    std::int64_t liveBlocks = 0;
};

struct BlockRecord {
    std::uint64_t sizeBytes = 0;
    std::map<std::string, TagCount>::iterator tag;
};

struct MemoryState {
    std::mutex lock;
    std::unordered_map<void*, BlockRecord> blocks;
    std::map<std::string, TagCount> tags;  // only tags with live blocks
    std::uint64_t liveBytes = 0;
    bool poison = true;

    MemoryFaults faults;
    std::uint64_t attempts = 0;     // allocations attempted since the faults were set
    std::uint64_t tagAttempts = 0;  // of those, the ones tagged faults.failTag
    bool faultFired = false;
};

// Never destroyed: a module or a static object may free blocks while the
// process exits, after function-local statics would have gone.
MemoryState& Memory()
{
    static MemoryState* state = new MemoryState;
    return *state;
}

// Decides, under the lock, whether an injected fault refuses this request.
// Every request counts, whether or not it then succeeds.
bool InjectedFault(MemoryState& state, std::uint64_t size, const char* tag)
{
    ++state.attempts;
    bool fail = state.faults.failNth != 0 && state.attempts == state.faults.failNth;
    if (state.faults.failAboveBytes != 0 && size > state.faults.failAboveBytes)
        fail = true;
    if (state.faults.failTagNth != 0 && tag && state.faults.failTag == tag) {
        ++state.tagAttempts;
        if (state.tagAttempts == state.faults.failTagNth)
            fail = true;
    }
    if (fail)
        state.faultFired = true;
    return fail;
}

}  // namespace

void SetMemoryFaults(const MemoryFaults& faults)
{
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> guard(state.lock);
    state.faults = faults;
    state.attempts = 0;
    state.tagAttempts = 0;
    state.faultFired = false;
}

void ClearMemoryFaults()
{
    SetMemoryFaults(MemoryFaults{});
}

std::uint64_t AllocationsSinceFaultsSet()
{
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.attempts;
}

bool MemoryFaultFired()
{
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.faultFired;
}

std::int64_t LiveBlocks()
{
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> guard(state.lock);
    return static_cast<std::int64_t>(state.blocks.size());
}

std::int64_t LiveBlocks(const std::string& tag)
{
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> guard(state.lock);
    auto found = state.tags.find(tag);
    return found == state.tags.end() ? 0 : found->second.liveBlocks;
}

std::map<std::string, std::int64_t> LiveBlocksByTag()
{
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> guard(state.lock);
    std::map<std::string, std::int64_t> result;
    for (const auto& [tag, count] : state.tags)
        result.emplace(tag, count.liveBlocks);
    return result;
}

std::uint64_t LiveBytes()
{
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.liveBytes;
}

void KeepPictureBuffersOnHeap()
{
    // Picture buffers come and go by the hundred in a run (decoded pixels,
    // the module's copies, encoder buffers), most between 128 KiB and a few
    // MiB.
    constexpr int MMAP_THRESHOLD_BYTES = 64 * 1024 * 1024;
    constexpr int TRIM_THRESHOLD_BYTES = 128 * 1024 * 1024;
    mallopt(M_MMAP_THRESHOLD, MMAP_THRESHOLD_BYTES);
    mallopt(M_TRIM_THRESHOLD, TRIM_THRESHOLD_BYTES);
}

void SetPoisonScratch(bool on)
{
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> guard(state.lock);
    state.poison = on;
}

}  // namespace tessel::runtime

using tessel::runtime::HOST_ALLOC_CEILING;

extern "C" void* TesselHostAllocMem(std::uint64_t size, std::int32_t zeroFill, const char* tag)
{
    using namespace tessel::runtime;
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> guard(state.lock);
    if (InjectedFault(state, size, tag) || size > HOST_ALLOC_CEILING)
        return nullptr;

    // A zero-byte request still gets a block of its own (its guard), so null
    // always means failure.
    const auto bytes = static_cast<std::size_t>(size);
    auto* block = static_cast<unsigned char*>(zeroFill ? std::calloc(1, bytes + MEMORY_GUARD_BYTES)
                                                       : std::malloc(bytes + MEMORY_GUARD_BYTES));
    if (!block)
        return nullptr;
    if (!zeroFill && state.poison)
        std::memset(block, MEMORY_POISON_BYTE, bytes);
    std::memcpy(block + bytes, MEMORY_GUARD.data(), MEMORY_GUARD_BYTES);

    try {
        auto tagEntry = state.tags.try_emplace(tag ? tag : MEMORY_UNTAGGED).first;
        try {
            state.blocks.emplace(block, BlockRecord{size, tagEntry});
        } catch (const std::bad_alloc&) {
            if (tagEntry->second.liveBlocks == 0)
                state.tags.erase(tagEntry);
            throw;
        }
        ++tagEntry->second.liveBlocks;
    } catch (const std::bad_alloc&) {
        // The bookkeeping itself ran out of memory: report failure.
        std::free(block);
        return nullptr;
    }
    state.liveBytes += size;
    return block;
}

extern "C" void TesselHostFreeMem(void* block)
{
    using namespace tessel::runtime;
    if (!block)
        return;
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> guard(state.lock);
    auto found = state.blocks.find(block);
    if (found == state.blocks.end()) {
        std::fprintf(stderr, "tessel: HostFreeMem: %p was not allocated by HostAllocMem or was freed twice\n",
                     block);
        std::abort();
    }
    const auto* tail = static_cast<const unsigned char*>(block) + found->second.sizeBytes;
    if (std::memcmp(tail, MEMORY_GUARD.data(), MEMORY_GUARD_BYTES) != 0) {
        std::fprintf(stderr, "tessel: HostFreeMem: the module wrote past the end of a %llu-byte block ('%s')\n",
                     static_cast<unsigned long long>(found->second.sizeBytes), found->second.tag->first.c_str());
        std::abort();
    }
    auto tagEntry = found->second.tag;
    state.liveBytes -= found->second.sizeBytes;
    state.blocks.erase(found);
    if (--tagEntry->second.liveBlocks == 0)
        state.tags.erase(tagEntry);
    std::free(block);
}
