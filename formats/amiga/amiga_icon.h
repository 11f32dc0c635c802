// The Amiga icon family: the DiskObject container, the NewIcons images kept
// in its tooltypes, and the "FORM" "ICON" chunk appended after it.
#pragma once

#include "icon/icon_model.h"

#include <cstdint>

// ---- DiskObject -------------------------------------------------------------

// Reads a DiskObject icon; the file is open and its first four bytes are
// E3 10 00 01. Fills the handle's attributes and appends the classic images,
// then the NewIcons images, then the chunk images. Returns 1 or 0; on 0 the
// handle may hold part of the icon, for the caller to release.
int ReadDiskObject(HostFile* file, IconHandle* icon);

// Palettes of classic images: the 256-colour default, the four colours of
// newer icons and of old-style ones (user data word 0). 0x00RRGGBB.
extern const std::uint32_t (&DefaultPalette256)[256];
extern const std::uint32_t IconPalette4[4];
extern const std::uint32_t OldIconPalette4[4];

// The tooltype line that introduces the NewIcons image lines, after a " " line.
inline constexpr char NEWICONS_MARKER[] = "*** DON'T EDIT THE FOLLOWING LINES!! ***";

// ---- NewIcons ---------------------------------------------------------------

// Decodes the NewIcons images whose first lines are im1Line and im2Line (may
// be null). Both point into a tooltype block of NUL-terminated lines that
// ends at blockEnd (one past its last byte); the decoder never reads at or
// past blockEnd. Appends the IM1 image and, when it has the same size, the
// IM2 image (IMAGEFLAG_SELECTED); *im1Image receives the IM1 image or null.
// Damaged data makes no image or leaves pixels 0 and still returns 1; only a
// failed allocation returns 0.
int DecodeNewIcons(IconHandle* icon, IconImage** tail, const char* im1Line, const char* im2Line,
                   const char* blockEnd, IconImage** im1Image);

// The smallest b from 1 to 8 with 2^b >= colours; 9 above 256 colours.
int BitsForColours(std::int32_t colours);
// Highest value + 1 among count bytes; 1 for an empty buffer.
std::int32_t CountColours(const std::uint8_t* pixels, std::uint64_t count);

// ---- "FORM" "ICON" ----------------------------------------------------------

// Reads the chunks of an icon FORM. The file is positioned just after the
// four bytes "FORM"; fileSize is the whole file's size. Appends "IMAG"
// palette images and "ARGB" true-colour images; *primary receives the last
// image made with index 0 (the normal image of the set read last), or is left
// alone when none was made. Returns 1, or 0 when the file is damaged beyond
// reading or an allocation fails.
int ReadIconChunks(HostFile* file, IconHandle* icon, IconImage** tail, std::uint64_t fileSize,
                   IconImage** primary);

// Bit-packed run-length stream: decodes count values of bits bits (1..8) from
// sourceBytes bytes into count bytes of destination. Stops at whichever runs
// out first; values not decoded keep what destination held. Returns 1 when
// all count values were produced.
int UnpackRle(const std::uint8_t* source, std::uint64_t sourceBytes, std::uint8_t* destination,
              int bits, std::uint64_t count);
