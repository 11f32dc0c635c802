// One file of a batch conversion: where it comes from, where it goes, what
// became of it, and converting it. The batch runner and its worker processes
// both work on these.
#pragma once

#include "runtime/module.h"
#include "tool/command_line.h"

#include <string>
#include <vector>

namespace tessel::tool {

// The letters are what a worker process writes in its record of a file.
enum class BatchOutcome : char { Converted = 'c', Failed = 'f', Skipped = 's' };

struct BatchItem {
    std::string input;
    std::string staging;   // where the conversion writes, hidden in the output directory
    std::string output;    // the name it gets once converted
    BatchOutcome outcome = BatchOutcome::Failed;
    std::string reason;    // for Failed and Skipped
    std::vector<std::string> losses;   // images left out or reduced, one line each
    bool done = false;
};

// Loads item.input, prepares it as convert does and saves it as item.staging
// in format; sets outcome, reason and losses and marks the item done. A file that is not
// an icon, holds no images or has nothing the format can hold is skipped.
void ConvertOne(runtime::Module& module, const CommandLine& line, const runtime::SaveFormat& format,
                BatchItem& item);

}  // namespace tessel::tool
