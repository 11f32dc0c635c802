// The NewIcons layout that the decoder and the encoder share: pictures kept
// as tooltype lines of a DiskObject, after a " " line and NEWICONS_MARKER.
//
// First line of an image (offset in characters):
//   0  4   prefix "IM1=" (normal image) or "IM2=" (selected image)
//   4  1   "B": palette entry 0 is transparent; anything else: no transparency
//   5  1   width + 33
//   6  1   height + 33
//   7  2   colours = (c7 - 33) * 64 + (c8 - 33)
//   9  ... palette: red, green, blue of every colour, 8 bits each
// The pixels start at character 4 of the line after the palette's last line;
// every further line repeats the prefix. Values are packed most significant
// bit first into 7-bit groups, one group per character:
//   0x21 to 0x6F   groups 1 to 79 (group + 0x20)
//   0xA1 to 0xD0   groups 80 to 127 (group + 0x51)
//   0xD1 to 0xFF   c - 0xD0 groups of seven 0 bits
// A line holds whole values only: bits left over at its end are dropped.
#pragma once

#include <cstdint>

// The tooltype line that introduces the NewIcons image lines, after a " " line.
inline constexpr char NEWICONS_MARKER[] = "*** DON'T EDIT THE FOLLOWING LINES!! ***";

// Every line of the normal image starts with "IM1=", of the selected image
// with "IM2=".
inline constexpr char NEWICONS_NORMAL_PREFIX[] = "IM1=";
inline constexpr char NEWICONS_SELECTED_PREFIX[] = "IM2=";
inline constexpr int NEWICONS_PREFIX_LENGTH = 4;
static_assert(sizeof NEWICONS_NORMAL_PREFIX == NEWICONS_PREFIX_LENGTH + 1);

// First line: offset of each header character; the header's length.
inline constexpr int NEWICONS_TRANSPARENCY = 4;
inline constexpr int NEWICONS_WIDTH = 5;
inline constexpr int NEWICONS_HEIGHT = 6;
inline constexpr int NEWICONS_COLOURS = 7;          // two characters
inline constexpr int NEWICONS_HEADER_LENGTH = 9;
inline constexpr char NEWICONS_TRANSPARENT = 'B';
// Added to each header number to make a character.
inline constexpr int NEWICONS_HEADER_BIAS = 33;
inline constexpr int NEWICONS_COLOUR_HIGH_SCALE = 64;

// Width and height are at most 93: their characters stay 7-bit.
inline constexpr std::int32_t NEWICONS_MAX_SIDE = 93;
static_assert(NEWICONS_MAX_SIDE + NEWICONS_HEADER_BIAS < 0x80, "header characters stay 7-bit");

// Data characters.
inline constexpr int NEWICONS_GROUP_BITS = 7;
inline constexpr int NEWICONS_MAX_BITS = 8;         // bits of a palette value, and of a stored pixel
inline constexpr unsigned NEWICONS_LOW_CHARACTER_BASE = 0x20;
inline constexpr unsigned NEWICONS_HIGH_CHARACTER_BASE = 0x51;
inline constexpr unsigned NEWICONS_RUN_CHARACTER_BASE = 0xD0;
