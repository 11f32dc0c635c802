// convert's work between loading an icon and saving it, for one output file
// and for a batch alike: the attribute options, --resize, the fitting to the
// target format, why nothing may be left to save, and the save request.
#pragma once

#include "runtime/module.h"
#include "tool/command_line.h"
#include "tool/icon_files.h"
#include "tool/icon_values.h"

#include <string>
#include <vector>

namespace tessel::tool {

// Why --sizes cannot be met by the format (a size it cannot store, or more
// than one size for a one-picture format); empty when it can or is not given.
std::string CheckSizes(const CommandLine& line, const SaveFormatRow& format);

// Everything convert does to an icon before saving it in the format with this
// keyword: the attribute options (--type, --default-tool, --position,
// --stack; --clear-tooltypes, each --remove-tooltype KEY, then each
// --tooltype KEY=VALUE in order, replacing the first tooltype with the same
// KEY in any case, enabled or disabled, or appended after the others); for
// one-picture formats the main picture and its selected twin put first and
// smaller placeholders dropped; then --resize or --sizes, then
// FitImagesToFormat.
void PrepareIconForFormat(const CommandLine& line, const std::string& keyword, Icon& icon);

// What an input image was, for the report of what a save kept.
struct ImageShape {
    std::int32_t width = 0, height = 0, depth = 0;
    bool selected = false;
    std::int32_t colours = 0;   // distinct colours it shows, transparency one of them; at most 257
    bool translucent = false;   // some pixel neither opaque nor fully transparent
};
std::vector<ImageShape> ShapesOf(const std::vector<Image>& images);

// "48x48/8", "48x48/8 selected".
// (A reduction that keeps every colour and the transparency is no loss.)
std::string ShapeText(const ImageShape& shape);

// One line for each input image the written file does not hold as it was,
// and why: "left out 1024x1024/32: Windows icons hold at most 256x256; use
// --resize", "reduced 64x64/32 to 8 bits: ...". Images that --resize scaled
// down or --sizes did not ask for are not losses.
std::vector<std::string> DescribeLosses(const std::vector<ImageShape>& inputs, const std::vector<Image>& written,
                                        const CommandLine& line, const SaveFormatRow& format);

// Why the format with this keyword can keep none of the images (as
// PrepareIconForFormat left them): "nothing the format can hold (...)" with
// the rule they break; an empty string when some image can be saved.
std::string WhyNothingFits(const std::vector<Image>& images, const std::string& keyword);

// The request that saves in format, compressed when --compress asks or, for
// Windows icons (whose readers have taken PNG entries since Vista), unless
// --no-compress asks not to; the format is named by its display name, or its
// keyword when it has none.
SaveRequest SaveRequestFor(const CommandLine& line, const runtime::SaveFormat& format);

}  // namespace tessel::tool
