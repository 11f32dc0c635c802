// convert --jobs: the pending files of a batch shared out among worker
// processes, each with its own module, each reporting over a pipe.
#pragma once

#include "tool/batch_item.h"
#include "tool/command_line.h"
#include "tool/progress_bar.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace tessel::tool {

// Splits the items not yet done over line.jobs workers (file k to worker k
// mod jobs), each opening the module at modulePath and saving in the format
// with this keyword; gathers their records into items, advancing progress.
// Any file a worker never reported is marked failed with the way the worker
// ended, or with why no worker could be started for it. out and err are flushed before the workers start.
void RunWorkers(const CommandLine& line, const std::string& modulePath, const std::string& keyword,
                std::vector<BatchItem>& items, ProgressBar& progress, std::ostream& out, std::ostream& err);

}  // namespace tessel::tool
