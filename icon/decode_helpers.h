// Decoding steps that the Windows and macOS readers share.
#pragma once

#include "icon/icon_model.h"

#include <cstdint>

// Mask layouts: Windows (bottom row first, rows padded to 32 bits, 1 =
// transparent) and Mac (top row first, whole bytes only, 0 = transparent).
inline constexpr int MASK_LAYOUT_WINDOWS = 0;
inline constexpr int MASK_LAYOUT_MAC = 1;

// Decodes PNG (or, with typeHint "bin", any picture the host reads) bytes
// held in memory into a new 32-bit image appended to the icon, marked
// selected when selected is 1. Returns 1 when the image was made,
// PICTURE_NOT_DECODED when the host reads no picture in the bytes, 0 when the
// image cannot be had (no memory, or over the load's budget).
inline constexpr int PICTURE_NOT_DECODED = -1;
int DecodeEmbeddedPng(const std::uint8_t* data, std::uint32_t length, const char* typeHint, int selected,
                      IconHandle* icon, IconImage** tail);

// Reads length bytes (at most 4 GiB - 1) from the file's position into a
// block of its own and decodes them as DecodeEmbeddedPng does, with its
// results; 0 as well when the block cannot be had or the bytes read.
int DecodePictureFromFile(HostFile* file, std::uint64_t length, const char* typeHint, int selected, IconHandle* icon,
                          IconImage** tail);

// Reads a 1-bit mask from the file (positioned at its first byte) and applies
// it to image: a transparent pen for palette images (source depth 1, 4 or 8,
// the image's own depth), an alpha of 0 or 0xFF for the 32-bit pixels the
// caller decoded from 24 bits (source depth 24, Windows layout only).
void ApplyBitMask(HostFile* file, IconImage* image, int sourceDepth, int layout);
