// The Amiga icon family: the DiskObject container, the NewIcons images kept
// in its tooltypes, and the "FORM" "ICON" chunk appended after it.
#pragma once

#include "formats/amiga/newicons_layout.h"
#include "icon/icon_model.h"
#include "plugin/format_table.h"

#include <cstdint>
#include <string_view>

// ---- DiskObject -------------------------------------------------------------

// Disks, drawers and the trash open a window: their icons carry the drawer
// data (its place and size, view mode and show-all).
constexpr bool OpensWindow(std::int32_t type)
{
    return type == ICON_TYPE_DISK || type == ICON_TYPE_DRAWER || type == ICON_TYPE_GARBAGE;
}

// Reads a DiskObject icon; the file is open and its first four bytes are
// E3 10 00 01 (name is not used). Fills the handle's attributes and appends
// the classic images, then the NewIcons images, then the chunk images.
// Returns 1 or 0; on 0 the handle may hold part of the icon, for the caller
// to release.
int ReadDiskObject(const char* name, HostFile* file, IconHandle* icon);

// Palettes of classic images: the 256-colour default, the four colours of
// newer icons and of old-style ones (user data word 0). 0x00RRGGBB.
extern const std::uint32_t (&DefaultPalette256)[256];
extern const std::uint32_t IconPalette4[4];
extern const std::uint32_t OldIconPalette4[4];

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

// Writes the NewIcons lines of normal (as NEWICONS_CAPACITY stores it: depth
// 1 to 8, at most 93 x 93) and of its selected twin (the next image, when it
// carries IMAGEFLAG_SELECTED, is stored too and has the same size), each line
// one tooltype record.
// Adds the number of records written to *recordCount. Returns 1, or 0 when
// scratch memory cannot be had.
int WriteNewIcons(HostFile* file, const IconImage* normal, std::int32_t* recordCount);

// Writes count values of bits bits (1..8) as NewIcons line records starting with
// lineStart (the 9-character header line start for a palette, the 4-character
// prefix for pixels). Adds the records written to *recordCount.
void EncodeNewIconLines(HostFile* file, std::string_view lineStart, const std::uint8_t* values, int bits,
                        std::uint32_t count, std::int32_t* recordCount);

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

// Writes the FORM of an icon: FACE, then one or two IMAG chunks (variant
// AMIGA_OS35, normal as FORM_IMAG_CAPACITY stores it) or ARGB
// chunks (variant AMIGA_OS40, normal as FORM_ARGB_CAPACITY
// stores it). The selected twin is the next image
// when it carries IMAGEFLAG_SELECTED, has the right kind of depth and the
// normal image's size. compress asks for packed IMAG data. Returns 1 or 0.
int WriteIconForm(HostFile* file, const IconImage* normal, int variant, std::uint32_t compress);

// Packs n values of bits bits (1..8, which the caller ensures; each masked to
// its width) into a new block (tag "rlebuf") holding the run-length stream, or
// the n values as raw bytes when packing is not asked for (*packed 0 on entry)
// or would be longer than n bytes. On return *packed says which, *byteCount
// the block's length. Null when the block cannot be had; the caller releases
// it.
std::uint8_t* PackRle(const std::uint8_t* values, std::uint32_t n, int bits, int* packed,
                      std::uint32_t* byteCount);

// Back-patches the length of the chunk whose 32-bit length field is at
// lengthPosition, from the current position, and pads an odd length.
void EndChunk(HostFile* file, std::int64_t lengthPosition);

// ---- Amiga icon writer ------------------------------------------------------

// Writes a DiskObject icon in one of the four Amiga save formats (variant, an
// AmigaIconVariant), choosing and converting the images it needs. attributes
// must not be null.
int WriteAmigaIcon(HostFile* file, IconImage* first, const IconAttributes* attributes, std::uint32_t compress,
                   int variant);

// Bit-packed run-length stream: decodes count values of bits bits (1..8, which
// the caller ensures) from sourceBytes bytes into count bytes of destination.
// Stops at whichever runs out first; values not decoded keep what destination
// held. Returns 1 when all count values were produced.
int UnpackRle(const std::uint8_t* source, std::uint64_t sourceBytes, std::uint8_t* destination,
              int bits, std::uint64_t count);
