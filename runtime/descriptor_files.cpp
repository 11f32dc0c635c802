// Descriptor files: host files on real paths, through POSIX descriptors.
// Reads go through a 64 KiB window filled with pread; writes collect in a
// 64 KiB buffer of dirty bytes that is written out with pwrite when a write
// lands outside it, and on close. Also the whole-file reads and writes of
// ReadNamedFile and WriteNamedFile on paths.
#include "runtime/host_file.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessel::runtime {
namespace {

// Opens a path with O_NONBLOCK so that a FIFO cannot hang the open, then
// clears the flag for the reads and writes.
int OpenPath(const char* path, int flags)
{
    int fd = TEMP_FAILURE_RETRY(::open(path, flags | O_CLOEXEC | O_NONBLOCK, 0666));
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

// Writes all n bytes at offset. Devices and pipes that cannot pwrite get a
// plain write when the descriptor is already at offset.
bool WriteAt(HostFile* file, const std::uint8_t* data, std::int64_t n, std::int64_t offset)
{
    std::int64_t done = 0;
    while (done < n) {
        std::size_t piece = static_cast<std::size_t>(n - done);
        ssize_t put = TEMP_FAILURE_RETRY(::pwrite(file->fd, data + done, piece, offset + done));
        if (put < 0 && errno == ESPIPE && offset + done == file->descriptorOffset) {
            put = TEMP_FAILURE_RETRY(::write(file->fd, data + done, piece));
            file->descriptorOffset += std::max<ssize_t>(put, 0);
        }
        if (put <= 0)
            return false;
        done += put;
    }
    return true;
}

}  // namespace

std::int64_t ReadAt(int fd, std::uint8_t* data, std::int64_t n, std::int64_t offset)
{
    const std::int64_t allowed = ReadAllowance(n);
    if (n > 0 && allowed == 0)
        return -1;  // the injected read fault
    n = allowed;
    std::int64_t done = 0;
    while (done < n) {
        ssize_t got = TEMP_FAILURE_RETRY(::pread(fd, data + done, static_cast<std::size_t>(n - done), offset + done));
        if (got < 0)
            return done > 0 ? done : -1;
        if (got == 0)
            break;
        done += got;
    }
    SpendReadBudget(done);
    return done;
}

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

std::int64_t RefillWindow(HostFile* file)
{
    // Past the end there is nothing to want, and reading nothing gives 0.
    std::int64_t want = std::clamp<std::int64_t>(file->size - file->position, 0, FILE_BUFFER_SIZE);
    std::int64_t got = ReadAt(file->fd, file->buffer.get(), want, file->position);
    file->windowStart = file->position;
    file->windowLength = std::max<std::int64_t>(got, 0);
    if (got < 0)
        file->failed = true;    // an I/O error, which HostClose reports
    return got;
}

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
    // A write of nothing may come with no data pointer at all; it copies nothing.
    std::copy_n(data, n, file->buffer.get() + (file->position - file->bufferStart));
    file->bufferLength = std::max(file->bufferLength, end - file->bufferStart);
    return true;
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

bool WritePath(const char* path, const std::uint8_t* data, std::size_t size)
{
    int fd = OpenPath(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0)
        return false;
    std::int64_t allowed = 0;
    bool ok = TakeWriteBudget(static_cast<std::int64_t>(size), &allowed);
    std::size_t done = 0;
    while (done < static_cast<std::size_t>(allowed)) {
        ssize_t put = TEMP_FAILURE_RETRY(::write(fd, data + done, static_cast<std::size_t>(allowed) - done));
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

}  // namespace tessel::runtime
