// The HostFile handle and what the pieces of the file services share: the
// registry of names and open handles, the injected fault budgets, and the
// calls each kind of file offers the host operations (host_files.cpp).
//
// A HostFile is one of three kinds:
//   - descriptor (descriptor_files.cpp): a real path. Reads go through a
//     64 KiB window filled with pread; writes collect in a 64 KiB buffer of
//     dirty bytes that is written out with pwrite when a write lands outside
//     it, and on close.
//   - memory (memory_files.cpp): a block registered with HostMemFileName.
//     The read window is the block itself; the handle keeps (pointer, size),
//     so it never reads past the size it was given. The block belongs to the
//     module, which keeps it alive for the call that registered it; a handle
//     opened on it must be closed within that call.
//   - stream (memory_streams.cpp): the bytes of a HostOpenMemStream stream. A
//     read handle takes a copy of the bytes at open; a write handle truncates
//     the stream and writes straight into it.
// Every kind keeps a logical position and size. HostGetC and HostPutC first
// try a few-instruction path on the window or buffer, so a byte-per-call
// reader costs little more than a bulk read.
//
// Memory-file and stream names are "mem:<16 hex digits>.<ext>" with a random
// token; only a name in the registry opens memory, every other name is a path.
#pragma once

#include "runtime/host_services.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tessel::runtime {

inline constexpr std::int64_t FILE_BUFFER_SIZE = 64 * 1024;
// A stream never grows past this: a seek to a huge position followed by a
// write must fail rather than ask for the memory.
inline constexpr std::uint64_t STREAM_MAX_BYTES = HOST_ALLOC_CEILING;
inline constexpr std::int64_t POSITION_MAX = std::numeric_limits<std::int64_t>::max();

enum class FileKind { Descriptor, Memory, Stream };

using StreamBytes = std::vector<std::uint8_t>;

}  // namespace tessel::runtime

struct HostStream {
    std::string name;
    // Shared with write handles, so a handle left open past
    // HostCloseMemStream writes into bytes nobody reads instead of freed memory.
    std::shared_ptr<tessel::runtime::StreamBytes> bytes;
};

struct HostFile {
    tessel::runtime::FileKind kind = tessel::runtime::FileKind::Descriptor;
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
    std::shared_ptr<tessel::runtime::StreamBytes> stream;
};

namespace tessel::runtime {

// ---- The registry (memory_files.cpp) ----------------------------------------

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
    // Seeded from std::random_device when the first name is made, not when
    // the registry is: most runs of the tool never make one.
    std::mt19937_64 random;
    bool randomSeeded = false;
};

// Never destroyed: handles may be closed by static objects at exit.
FileState& Files();

// The entry registered under name, or null. Caller holds the lock.
const NamedEntry* FindNamed(FileState& state, const char* name);
// A fresh name not in the registry. Caller holds the lock.
std::string NewMemName(FileState& state, const std::string& extension);
// Copies name into a caller's buffer of at least one byte (the entry points
// refuse a smaller or missing one) with its terminator, or returns false
// leaving an empty string.
bool CopyName(const std::string& name, char* buffer, std::int32_t bufferSize);

// A read handle on a memory file; null for writing, as the block belongs to
// the module.
HostFile* OpenMemoryFile(const NamedEntry& entry, std::int32_t mode);

// ---- Handles (host_files.cpp) -----------------------------------------------

// A handle of the given kind with nothing open, or null when out of memory.
HostFile* NewFile(FileKind kind, bool writable);

// ---- Descriptor files (descriptor_files.cpp) --------------------------------

HostFile* OpenDescriptorFile(const char* path, std::int32_t mode);
// Writes out the buffered bytes. A failure sets the sticky flag.
bool Flush(HostFile* file);
// Reads up to n bytes at offset; stops early only at end of file. -1 on error.
std::int64_t ReadAt(int fd, std::uint8_t* data, std::int64_t n, std::int64_t offset);
// Fills the window from the position of a descriptor read handle. Returns the
// bytes now in it: 0 at the end of the file, -1 on a read error.
std::int64_t RefillWindow(HostFile* file);
// Puts n bytes at the position of a descriptor handle, through the buffer.
bool BufferedWrite(HostFile* file, const std::uint8_t* data, std::int64_t n);
// Whole files by path, for ReadNamedFile and WriteNamedFile.
bool ReadPath(const char* path, std::uint64_t maxBytes, std::vector<std::uint8_t>& out);
bool WritePath(const char* path, const std::uint8_t* data, std::size_t size);

// ---- Memory streams (memory_streams.cpp) ------------------------------------

// A handle on a stream: for writing, the stream emptied; for reading, a copy
// of its bytes. Caller holds the lock.
HostFile* OpenStreamFile(const HostStream& stream, std::int32_t mode);
// Puts n bytes at the position of a stream write handle; a gap before it
// becomes zeros.
bool StreamWrite(HostFile* file, const std::uint8_t* data, std::int64_t n);
// Replaces a stream's bytes, within the write budget. Caller holds the lock.
bool ReplaceStreamBytes(HostStream& stream, const std::uint8_t* data, std::size_t size);

// ---- Fault injection (file_faults.cpp) --------------------------------------

// Closing a file opened for writing reports failure: an injected fault, set
// by SetFileFaults.
extern bool g_failClose;

// Takes n bytes from the write budget. When fewer are left, takes what is
// left and reports how many may still be written in *allowed.
bool TakeWriteBudget(std::int64_t n, std::int64_t* allowed);
// How many of n bytes the read budget still allows to be fetched; they are
// taken from it with SpendReadBudget once fetched.
std::int64_t ReadAllowance(std::int64_t n);
void SpendReadBudget(std::int64_t n);

}  // namespace tessel::runtime
