// Adapting an icon's images to what the chosen save format can store, so that
// converting loses nothing the target could have kept.
#pragma once

#include "tool/icon_values.h"

#include <string>
#include <vector>

namespace tessel::tool {

// The image as 0xAARRGGBB words: palette images expanded through their
// palette, the transparent pen fully transparent.
Image ToTrueColour(const Image& image);

// Raises or expands images for the format with this keyword:
// - WINDOWS stores palette depths 1, 4 and 8 only: depths 0, 2, 3 and 5..7
//   are raised to the next of those (the pixels and colours stay the same);
// - MACOS stores true colour at every size: a palette image becomes true
//   colour when no true-colour image of its size is in the list;
// - PNG and AMIGAOS40 store true colour only: when the list has none within
//   the format's largest side, a true-colour copy of the richest
//   normal-state palette image (the primary one, else the largest, else the
//   deepest) and of its selected twin is added at the end.
// Other formats convert for themselves; their images are left alone. What
// each format stores comes from its row of the format table.
void FitImagesToFormat(std::vector<Image>& images, const std::string& keyword);

}  // namespace tessel::tool
