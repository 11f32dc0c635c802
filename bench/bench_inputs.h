// The benchmark's inputs, made the same way on every run: pictures drawn from
// fixed seeds, wrapped in icon files built byte by byte here (not by the
// module under test), so the loads read files no Tessel writer produced.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessel::bench {

using Bytes = std::vector<std::uint8_t>;

// A picture of 0xAARRGGBB words: a shaded, lightly textured disc with a soft
// edge on a transparent ground, like an application icon. The same side and
// seed always give the same pixels.
struct Picture {
    std::int32_t side = 0;
    std::vector<std::uint32_t> argb;
};
Picture DrawPicture(std::int32_t side, std::uint32_t seed);

// The same picture on a palette for the Amiga formats: pen 0 transparent,
// then a uniform colour cube with as many levels a channel as fit in
// colours entries; each pixel takes the nearest cube colour.
struct PalettePicture {
    std::int32_t side = 0;
    std::vector<std::uint8_t> indices;
    std::vector<std::uint32_t> palette;  // 256 entries
};
PalettePicture ReducePicture(const Picture& picture, std::uint32_t colours);

// An 8-bit RGBA PNG of the picture, encoded with the runtime's encoder.
Bytes EncodePicture(const Picture& picture);

// "icns" with one PNG entry per picture, typed by side (ic07 128, ic08 256,
// ic09 512, ic10 1024).
Bytes MakeIcnsWithPngs(const std::vector<Bytes>& pngs, const std::vector<std::int32_t>& sides);

// "icns" with run-length colour entries and 8-bit masks for sides 16, 32,
// 48 and 128 (is32/s8mk, il32/l8mk, ih32/h8mk, it32/t8mk).
Bytes MakeIcnsWithRunLengths(const std::vector<Picture>& pictures);

// A Windows icon with one entry per PNG, each stored as that PNG.
Bytes MakeIcoWithPngs(const std::vector<Bytes>& pngs, const std::vector<std::int32_t>& sides);

// A Windows icon with one 32-bit bitmap entry per picture (BGRA rows bottom
// up, then the 1-bit AND mask).
Bytes MakeIcoWithBitmaps(const std::vector<Picture>& pictures);

// Writes bytes to path; throws std::runtime_error on failure.
void WriteFile(const std::string& path, const Bytes& bytes);

}  // namespace tessel::bench
