// The limits of the icon model: how large an image, a load and a save's list
// may be. Only constants and constexpr rules, so code that does not link the
// module (the tool) holds images to the same limits.
#pragma once

#include <cstdint>

// A single image may have sides up to this and this many pixel bytes.
inline constexpr std::int32_t ICON_MAX_SIDE = 16384;
inline constexpr std::uint64_t ICON_MAX_IMAGE_BYTES = 256ull << 20;
// All images of one load together, pixels and palettes.
inline constexpr std::uint64_t ICON_LOAD_BUDGET_BYTES = 512ull << 20;
// Every palette image has a palette of this many 0x00RRGGBB words, so that a
// pixel byte cannot index past it.
inline constexpr std::uint32_t ICON_PALETTE_ENTRIES = 256;
// Bytes of pixels for an image of this size and depth: one byte a pixel up to
// depth 8 (depth 0 too: a palette image with no planes), four above; 0 when
// the image cannot be (a side outside 1..ICON_MAX_SIDE, a negative depth,
// more than ICON_MAX_IMAGE_BYTES).
constexpr std::uint64_t IconPixelBytes(std::int32_t width, std::int32_t height, std::int32_t depth)
{
    if (width < 1 || height < 1 || width > ICON_MAX_SIDE || height > ICON_MAX_SIDE || depth < 0)
        return 0;
    const std::uint64_t bytes = std::uint64_t(width) * std::uint64_t(height) * (depth <= 8 ? 1u : 4u);
    return bytes <= ICON_MAX_IMAGE_BYTES ? bytes : 0;
}
static_assert(IconPixelBytes(2, 3, 0) == 6 && IconPixelBytes(2, 3, 8) == 6 && IconPixelBytes(2, 3, 32) == 24);
static_assert(IconPixelBytes(ICON_MAX_SIDE, ICON_MAX_SIDE, 8) == ICON_MAX_IMAGE_BYTES);
static_assert(IconPixelBytes(ICON_MAX_SIDE + 1, 1, 8) == 0 && IconPixelBytes(1, 1, -1) == 0);
static_assert(IconPixelBytes(ICON_MAX_SIDE, ICON_MAX_SIDE, 32) == 0);

// Longest image list a save accepts; a longer or cyclic list is refused.
inline constexpr std::uint32_t SAVE_MAX_IMAGES = 65535;
