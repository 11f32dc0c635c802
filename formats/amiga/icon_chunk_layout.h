// What the icon FORM's reader and writer share: chunk ids and IMAG/ARGB
// fields.
#pragma once

#include "io/byte_io.h"

#include <cstdint>

inline constexpr std::uint32_t ICON_CHUNK_FORM = FourCc('F', 'O', 'R', 'M');
inline constexpr std::uint32_t ICON_FORM_TYPE = FourCc('I', 'C', 'O', 'N');
inline constexpr std::uint32_t ICON_CHUNK_FACE = FourCc('F', 'A', 'C', 'E');
inline constexpr std::uint32_t ICON_CHUNK_IMAG = FourCc('I', 'M', 'A', 'G');
inline constexpr std::uint32_t ICON_CHUNK_ARGB = FourCc('A', 'R', 'G', 'B');
static_assert(ICON_CHUNK_FORM == 0x464F524D && ICON_CHUNK_FACE == 0x46414345 && ICON_CHUNK_ARGB == 0x41524742);

// IMAG flags: the pen applies; a palette follows the image bytes.
inline constexpr std::uint8_t ICON_IMAG_FLAG_PEN = 1;
inline constexpr std::uint8_t ICON_IMAG_FLAG_PALETTE = 2;
inline constexpr int ICON_IMAG_MAX_DEPTH = 8;
inline constexpr std::int32_t ICON_ARGB_DEPTH = 32;
