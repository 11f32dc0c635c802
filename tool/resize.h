// Making the image sizes a format stores from larger images of the same icon.
#pragma once

#include "tool/icon_values.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tessel::tool {

// Scales a picture of 0xAARRGGBB words, top row first, from sourceWidth x
// sourceHeight to width x height by averaging the area each output pixel
// covers, on premultiplied alpha. Meant for reductions; it also enlarges, by
// repeating pixels. The sides are 1 to ICON_MAX_SIDE and source holds
// sourceWidth x sourceHeight words: the caller's images are whole.
std::vector<std::uint32_t> ScaleArgb(const std::vector<std::uint32_t>& source, std::int32_t sourceWidth,
                                     std::int32_t sourceHeight, std::int32_t width, std::int32_t height);

// The square sizes the format with this keyword stores (WINDOWS the usual 16,
// 24, 32, 48, 256; MACOS every side it writes true colour at: 16, 32, 48, 64,
// 128, 256, 512, 1024); empty for formats that need no particular size.
std::vector<std::int32_t> ResizeTargetSizes(const std::string& keyword);

// For each state (normal, selected) the images have, adds an image of each
// target size that state lacks, scaled down from the nearest larger image of
// the same state and centred on transparency when that image is not square.
// A size with no larger image is skipped: nothing is ever enlarged. The new
// images are true colour (depth 32) and follow the existing ones. Returns the
// number of images added.
std::size_t AddResizedImages(std::vector<Image>& images, const std::string& keyword);

}  // namespace tessel::tool
