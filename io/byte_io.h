// Integers in a stated byte order, one host byte call at a time. The host's
// file layer does the buffering.
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

// Overwrites the 32-bit word at position with v, then returns to where the
// file was. Lengths known only after writing are written as 0 and patched.
void PatchBE32(HostFile* file, std::int64_t position, std::uint32_t v);
void PatchLE32(HostFile* file, std::int64_t position, std::uint32_t v);
