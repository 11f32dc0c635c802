// convert with --out-dir: many input files, one output each.
#pragma once

#include "tool/command_line.h"

#include <iosfwd>
#include <string>

namespace tessel::tool {

// Each input file (every regular file of a directory argument) converted on
// its own into line.outDir, a summary on out, a progress bar on err when
// standard error is a terminal. The module at modulePath is opened here, and
// once in each worker process of --jobs. Returns EXIT_OK, EXIT_FAILED when
// any file failed, EXIT_USAGE for an unknown format keyword.
int RunBatchConvert(const CommandLine& line, const std::string& modulePath, std::ostream& out, std::ostream& err);

}  // namespace tessel::tool
