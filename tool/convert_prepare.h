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

// Everything convert does to an icon before saving it in the format with this
// keyword: the attribute options (--type, --default-tool, --position,
// --stack, and each --tooltype KEY=VALUE in order, replacing the first
// tooltype with the same KEY in any case or appended after the others), then
// --resize, then FitImagesToFormat.
void PrepareIconForFormat(const CommandLine& line, const std::string& keyword, Icon& icon);

// Why the format with this keyword can keep none of the images (as
// PrepareIconForFormat left them): "nothing the format can hold (...)" with
// the rule they break; an empty string when some image can be saved.
std::string WhyNothingFits(const std::vector<Image>& images, const std::string& keyword);

// The request that saves in format, compressed when --compress asks; the
// format is named by its display name, or its keyword when it has none.
SaveRequest SaveRequestFor(const CommandLine& line, const runtime::SaveFormat& format);

}  // namespace tessel::tool
