// Building file bytes by hand in tests: parts joined, integers in either
// byte order.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace tessel::test {

inline std::vector<std::uint8_t> Cat(std::initializer_list<std::vector<std::uint8_t>> parts)
{
    std::vector<std::uint8_t> out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}
// clang-format off
inline std::vector<std::uint8_t> Be16(std::uint32_t v) { return {std::uint8_t(v >> 8), std::uint8_t(v)}; }
inline std::vector<std::uint8_t> Le16(std::uint32_t v) { return {std::uint8_t(v), std::uint8_t(v >> 8)}; }
inline std::vector<std::uint8_t> Be32(std::uint32_t v) { return Cat({Be16(v >> 16), Be16(v)}); }
inline std::vector<std::uint8_t> Le32(std::uint32_t v) { return Cat({Le16(v), Le16(v >> 16)}); }
// clang-format on

}  // namespace tessel::test
