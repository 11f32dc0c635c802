// convert's work between loading and saving, batch conversion of many files
// (one output each, in worker processes when asked), and info's one-line form.
#pragma once

#include "tool/command_line.h"
#include "tool/icon_values.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace tessel::tool {

// Sets on the attributes what the command line asks for: --type,
// --default-tool, --position, --stack, and each --tooltype KEY=VALUE in
// order, replacing the first tooltype with the same KEY (any case) or
// appended after the others.
void ApplyAttributeOptions(const CommandLine& line, Attributes& attributes);

// Everything convert does to an icon before saving it in the format with this
// keyword: the attribute options, --resize, then FitImagesToFormat.
void PrepareIconForFormat(const CommandLine& line, const std::string& keyword, Icon& icon);

// Why the format with this keyword can keep none of the images (as
// PrepareIconForFormat left them): "nothing the format can hold (...)" with
// the rule they break; an empty string when some image can be saved.
std::string WhyNothingFits(const std::vector<Image>& images, const std::string& keyword);

// convert with --out-dir: each input file (every regular file of a directory
// argument) converted on its own into line.outDir, a summary on out, a
// progress bar on err when standard error is a terminal. The module at
// modulePath is opened here, and once in each worker process of --jobs.
// Returns EXIT_OK, EXIT_FAILED when any file failed, EXIT_USAGE for an
// unknown format keyword.
int RunBatchConvert(const CommandLine& line, const std::string& modulePath, std::ostream& out, std::ostream& err);

// info --brief: "FILE  FORMAT  N images  WxH/DEPTH..." where each image may be
// followed by p (primary) and s (selected). No newline.
std::string InfoBriefLine(const std::string& file, const Icon& icon);

}  // namespace tessel::tool
