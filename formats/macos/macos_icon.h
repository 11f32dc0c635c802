// macOS icon families (".icns"): typed entries holding palette images,
// run-length RGB, alpha planes, 1-bit masks and embedded PNG or JPEG 2000
// files.
#pragma once

#include "formats/macos/icns_layout.h"
#include "icon/icon_model.h"

#include <cstdint>

// Palettes of 1-bit, 4-bit and 8-bit entries, 0x00RRGGBB.
extern const std::uint32_t MacPalette2[2];
extern const std::uint32_t MacPalette16[16];
extern const std::uint32_t (&MacPalette256)[256];

// Reads a macOS icon family; the file is open just after "icns" (name is not
// used). Returns 1 or 0; on 0 the handle may hold part of the icon, for the
// caller to release.
int ReadIcns(const char* name, HostFile* file, IconHandle* icon);

// Writes a macOS icon family from the images whose sizes and depths the
// entry types take (attributes, compress and variant are not used: every
// entry type has its own fixed encoding). Returns 1 when at least one entry
// was written and everything succeeded.
int WriteIcns(HostFile* file, IconImage* first, const IconAttributes* attributes, std::uint32_t compress,
              int variant);

// Run-length channels: decodes channel streams of width x height values
// from dataBytes bytes into the pixels of a 32-bit image the reader made:
// red, green and blue (ICNS_RGB_CHANNELS; alpha 0xFF, four leading zero
// bytes skipped), or alpha, red, green and blue (ICNS_ARGB_CHANNELS). Values
// the data does not reach are left as they are.
void DecodeIcnsRle(const std::uint8_t* data, std::uint64_t dataBytes, IconImage* image, int channels);

// Encodes count values of one channel, taken every fourth byte from values,
// as run-length packets appended at output[*position]; *position advances.
// The output must hold at least count + count / 128 + 2 more bytes.
void EncodeIcnsRle(const std::uint8_t* values, std::uint64_t count, std::uint8_t* output, std::uint64_t* position);
