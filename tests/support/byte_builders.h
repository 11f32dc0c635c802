// Building file bytes by hand in tests: parts joined, integers in either
// byte order, and the chunks and streams whose checksums and compression come
// from zlib, never from the module.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tessel::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Cat(const std::vector<Bytes>& parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}
// clang-format off
inline Bytes Be16(std::uint32_t v) { return {std::uint8_t(v >> 8), std::uint8_t(v)}; }
inline Bytes Le16(std::uint32_t v) { return {std::uint8_t(v), std::uint8_t(v >> 8)}; }
inline Bytes Be32(std::uint32_t v) { return Cat({Be16(v >> 16), Be16(v)}); }
inline Bytes Le32(std::uint32_t v) { return Cat({Le16(v), Le16(v >> 16)}); }
// clang-format on

// A PNG chunk: length (the data's unless given), type, data, CRC-32 of type and data.
inline Bytes PngChunk(const std::string& type, const Bytes& data, std::uint32_t length = 0)
{
    const Bytes typed = Cat({Bytes(type.begin(), type.end()), data});
    return Cat({Be32(length ? length : std::uint32_t(data.size())), typed,
                Be32(std::uint32_t(crc32(0, typed.data(), uInt(typed.size()))))});
}
// An IFF chunk: id, length, data, a pad byte after an odd length.
inline Bytes IffChunk(const std::string& id, const Bytes& data)
{
    return Cat({Bytes(id.begin(), id.end()), Be32(std::uint32_t(data.size())), data, Bytes(data.size() & 1, 0)});
}
// A zlib stream of raw at the best compression.
inline Bytes Deflate(const Bytes& raw)
{
    uLongf size = compressBound(uLong(raw.size()));
    Bytes out(size);
    return compress2(out.data(), &size, raw.data(), uLong(raw.size()), 9) == Z_OK ? Bytes(out.begin(), out.begin() + long(size))
                                                                                 : Bytes{};
}

}  // namespace tessel::test
