// Integers in a stated byte order, one host byte call at a time (the host's
// file layer does the buffering), and fixed-size records read or built whole
// in memory, their fields at the offsets of the format's layout header.
#pragma once

#include "plugin/plugin_abi.h"

#include <cstdint>

// A four-character code as the big-endian word a file stores it as.
constexpr std::uint32_t FourCc(char a, char b, char c, char d)
{
    return std::uint32_t{static_cast<unsigned char>(a)} << 24 | std::uint32_t{static_cast<unsigned char>(b)} << 16 |
           std::uint32_t{static_cast<unsigned char>(c)} << 8 | std::uint32_t{static_cast<unsigned char>(d)};
}

// The next byte, or 0 past the end of the file: a file that ends early reads
// as if padded with zeros. Callers that must notice truncation test HostEof or
// compare lengths with what the file holds.
std::uint8_t ReadByte(HostFile* file);

std::uint16_t ReadLE16(HostFile* file);
std::uint16_t ReadBE16(HostFile* file);
std::uint32_t ReadLE32(HostFile* file);
std::uint32_t ReadBE32(HostFile* file);

void WriteZeros(HostFile* file, std::int64_t n);
void WriteLE16(HostFile* file, std::uint32_t v);
void WriteBE16(HostFile* file, std::uint32_t v);
void WriteLE32(HostFile* file, std::uint32_t v);
void WriteBE32(HostFile* file, std::uint32_t v);

// Reads a record of n bytes into bytes. Like the byte readers, a file that
// ends early reads as if padded with zeros: the bytes it does not give are 0.
void ReadRecord(HostFile* file, std::uint8_t* bytes, std::uint32_t n);

// Reads n bytes into buffer; whether all of them were there.
bool ReadExactly(HostFile* file, void* buffer, std::uint64_t n);

// Integers at the start of bytes, a record in memory.
constexpr std::uint32_t LoadLE16(const std::uint8_t* bytes)
{
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8;
}

constexpr std::uint32_t LoadBE16(const std::uint8_t* bytes)
{
    return std::uint32_t{bytes[0]} << 8 | std::uint32_t{bytes[1]};
}

constexpr std::uint32_t LoadLE32(const std::uint8_t* bytes)
{
    return LoadLE16(bytes) | LoadLE16(bytes + 2) << 16;
}

constexpr std::uint32_t LoadBE32(const std::uint8_t* bytes)
{
    return LoadBE16(bytes) << 16 | LoadBE16(bytes + 2);
}

// The low 16 or all 32 bits of v into bytes, in the stated order.
constexpr void StoreLE16(std::uint8_t* bytes, std::uint32_t v)
{
    bytes[0] = static_cast<std::uint8_t>(v);
    bytes[1] = static_cast<std::uint8_t>(v >> 8);
}

constexpr void StoreBE16(std::uint8_t* bytes, std::uint32_t v)
{
    bytes[0] = static_cast<std::uint8_t>(v >> 8);
    bytes[1] = static_cast<std::uint8_t>(v);
}

constexpr void StoreLE32(std::uint8_t* bytes, std::uint32_t v)
{
    StoreLE16(bytes, v);
    StoreLE16(bytes + 2, v >> 16);
}

constexpr void StoreBE32(std::uint8_t* bytes, std::uint32_t v)
{
    StoreBE16(bytes, v >> 16);
    StoreBE16(bytes + 2, v);
}

// Overwrites the 32-bit word at position with v, then returns to where the
// file was. Lengths known only after writing are written as 0 and patched.
void PatchBE32(HostFile* file, std::int64_t position, std::uint32_t v);
void PatchLE32(HostFile* file, std::int64_t position, std::uint32_t v);

// The file's size, with the position kept.
std::int64_t FileSize(HostFile* file);

// Where the next read or write happens.
std::int64_t Position(HostFile* file);

// The bytes from the file's position to fileSize: 0 at or past it.
std::uint64_t BytesLeft(HostFile* file, std::uint64_t fileSize);
