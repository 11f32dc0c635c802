#include "io/byte_io.h"

#include "host/host_calls.h"

#include <algorithm>

std::uint8_t ReadByte(HostFile* file)
{
    return static_cast<std::uint8_t>(std::max(HostGetC(file), std::int32_t{0}));   // end of file or failure: 0
}

std::uint16_t ReadLE16(HostFile* file)
{
    std::uint32_t b0 = ReadByte(file);
    std::uint32_t b1 = ReadByte(file);
    return static_cast<std::uint16_t>(b0 | (b1 << 8));
}

std::uint16_t ReadBE16(HostFile* file)
{
    std::uint32_t b0 = ReadByte(file);
    std::uint32_t b1 = ReadByte(file);
    return static_cast<std::uint16_t>((b0 << 8) | b1);
}

std::uint32_t ReadLE32(HostFile* file)
{
    std::uint32_t b0 = ReadByte(file);
    std::uint32_t b1 = ReadByte(file);
    std::uint32_t b2 = ReadByte(file);
    std::uint32_t b3 = ReadByte(file);
    return b0 | (b1 << 8) | (b2 << 16) | (b3 << 24);
}

std::uint32_t ReadBE32(HostFile* file)
{
    std::uint32_t b0 = ReadByte(file);
    std::uint32_t b1 = ReadByte(file);
    std::uint32_t b2 = ReadByte(file);
    std::uint32_t b3 = ReadByte(file);
    return (b0 << 24) | (b1 << 16) | (b2 << 8) | b3;
}

void ReadRecord(HostFile* file, std::uint8_t* bytes, std::uint32_t n)
{
    // A failed or short read leaves the rest zero.
    const std::int64_t got = std::max<std::int64_t>(HostRead(file, bytes, n), 0);
    std::fill(bytes + got, bytes + n, 0);
}

bool ReadExactly(HostFile* file, void* buffer, std::uint64_t n)
{
    return HostRead(file, buffer, static_cast<std::int64_t>(n)) == static_cast<std::int64_t>(n);
}

void WriteZeros(HostFile* file, std::int64_t n)
{
    for (std::int64_t i = 0; i < n; ++i)
        HostPutC(file, 0);
}

void WriteLE16(HostFile* file, std::uint32_t v)
{
    HostPutC(file, static_cast<std::uint8_t>(v));
    HostPutC(file, static_cast<std::uint8_t>(v >> 8));
}

void WriteBE16(HostFile* file, std::uint32_t v)
{
    HostPutC(file, static_cast<std::uint8_t>(v >> 8));
    HostPutC(file, static_cast<std::uint8_t>(v));
}

void WriteLE32(HostFile* file, std::uint32_t v)
{
    for (int shift = 0; shift <= 24; shift += 8)
        HostPutC(file, static_cast<std::uint8_t>(v >> shift));
}

void WriteBE32(HostFile* file, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        HostPutC(file, static_cast<std::uint8_t>(v >> shift));
}

void PatchBE32(HostFile* file, std::int64_t position, std::uint32_t v)
{
    std::int64_t back = HostSeek(file, position, HOST_SEEK_START);
    WriteBE32(file, v);
    HostSeek(file, back, HOST_SEEK_START);
}

void PatchLE32(HostFile* file, std::int64_t position, std::uint32_t v)
{
    std::int64_t back = HostSeek(file, position, HOST_SEEK_START);
    WriteLE32(file, v);
    HostSeek(file, back, HOST_SEEK_START);
}

std::int64_t Position(HostFile* file)
{
    return HostSeek(file, 0, HOST_SEEK_CURRENT);
}

std::int64_t FileSize(HostFile* file)
{
    // Seeking to the end returns where the file was, and back there the
    // returned position is the end.
    return HostSeek(file, HostSeek(file, 0, HOST_SEEK_END), HOST_SEEK_START);
}

std::uint64_t BytesLeft(HostFile* file, std::uint64_t fileSize)
{
    const auto position = static_cast<std::uint64_t>(Position(file));
    return fileSize - std::min(position, fileSize);
}
