// The limits of the icon model: how large an image, a load and a save's list
// may be. Only constants, so code that does not link the module (the tool)
// holds images to the same limits.
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
// Longest image list a save accepts; a longer or cyclic list is refused.
inline constexpr std::uint32_t SAVE_MAX_IMAGES = 65535;
