// macOS icon families (".icns"): typed entries holding palette images,
// run-length RGB, alpha planes, 1-bit masks and embedded PNG or JPEG 2000
// files.
#pragma once

#include "icon/icon_model.h"

#include <cstdint>

// One row of the entry type table: the type code as a big-endian word, the
// side in pixels, the depth as the data stores it, and whether the entry is
// a mask. The writer walks the rows in this order.
struct IcnsTypeRow {
    std::uint32_t type;
    std::int32_t side;
    std::int32_t depth;
    int mask;
};

inline constexpr int ICNS_TYPE_COUNT = 24;
extern const IcnsTypeRow IcnsTypeTable[ICNS_TYPE_COUNT];

// Palettes of 4-bit and 8-bit entries, 0x00RRGGBB.
extern const std::uint32_t MacPalette16[16];
extern const std::uint32_t (&MacPalette256)[256];

// Reads a macOS icon family; the file is open just after "icns". Returns 1 or
// 0; on 0 the handle may hold part of the icon, for the caller to release.
int ReadIcns(HostFile* file, IconHandle* icon);

// Writes a macOS icon family from the images whose sizes and depths the
// entry types take. Returns 1 when at least one entry was written and
// everything succeeded.
int WriteIcns(HostFile* file, IconImage* first);

// Run-length RGB: decodes three channel streams (red, green, blue) of
// width x height values from dataBytes bytes into the 32-bit image's pixels
// (alpha 0xFF). Four leading zero bytes are skipped. Values the data does not
// reach are left as they are.
void DecodeIcnsRle(const std::uint8_t* data, std::uint64_t dataBytes, IconImage* image);

// Encodes count values of one channel, taken every fourth byte from values,
// as run-length packets appended at output[*position]; *position advances.
// The output must hold at least count + count / 128 + 2 more bytes.
void EncodeIcnsRle(const std::uint8_t* values, std::uint64_t count, std::uint8_t* output, std::uint64_t* position);
