// Icon images as ordinary RGBA pictures, for extract.
#pragma once

#include "tool/icon_values.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace tessel::tool {

// The image as 0xAARRGGBB words, top row first. Palette images go through
// their palette (0x00RRGGBB entries): the transparent pen gets alpha 0, every
// other pen alpha 255. Images above depth 8 already hold 0xAARRGGBB words.
std::vector<std::uint32_t> ImageToArgb(const Image& image);

// The name extract gives image n of the icon at inputPath: the input's file
// name without its last extension, then "-n-WxH", "-selected" for the
// selected state, ".png".
std::string ExtractFileName(const std::string& inputPath, std::size_t index, const Image& image);

// Writes the image as an 8-bit RGBA PNG file at path ("-": standard output).
// On failure says why.
bool WriteImagePng(const Image& image, const std::string& path, std::ostream& standardOutput, std::string* why);

// Writes width x height 0xAARRGGBB words, top row first, as an 8-bit RGBA PNG
// file at path ("-": standard output), through a temporary file so that a
// failed write leaves no half picture. On failure says why.
bool WriteArgbPng(const std::uint32_t* argb, std::int32_t width, std::int32_t height, const std::string& path,
                  std::ostream& standardOutput, std::string* why);

}  // namespace tessel::tool
