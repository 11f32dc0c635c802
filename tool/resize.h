// Making the image sizes a format stores from larger images of the same icon.
#pragma once

#include "plugin/format_table.h"
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

// Whether the format keeps one picture per state (the Amiga formats and PNG
// icons) rather than a set of sizes.
bool HoldsOnePicture(const SaveFormatRow& format);

// The side a one-picture format's picture is usually given: the Workbench's
// 46 for the classic, NewIcons and OS 3.5 icons, 64 for OS 4 and PNG icons.
std::int32_t UsualPictureSide(const SaveFormatRow& format);

// The square sizes a set-of-sizes format stores (WINDOWS the usual 16, 24, 32,
// 48, 64, 128, 256; MACOS every side it writes true colour at: 16, 32, 48,
// 64, 128, 256, 512, 1024); empty for the one-picture formats.
std::vector<std::int32_t> ResizeTargetSizes(const SaveFormatRow& format);

// The image scaled so that its longer side is side (palette images become
// true colour), the other in proportion; on a square canvas of side x side,
// centred on transparency, when square is set.
Image ScaleImage(const Image& image, std::int32_t side, bool square);

// For each state (normal, selected) the images have, adds a square image of
// each of sizes that state lacks, scaled down from the nearest larger image of
// the same state. A size with no larger image is skipped: nothing is ever
// enlarged. The new images are true colour (depth 32) and follow the existing
// ones. Returns the number of images added.
std::size_t AddResizedImages(std::vector<Image>& images, const std::vector<std::int32_t>& sizes);

}  // namespace tessel::tool
