// The tool's commands, run on parsed arguments with the module loaded only
// when a command needs it.
#pragma once

#include "runtime/module.h"

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace tessel::tool {

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;   // a file not read or written, or no module
inline constexpr int EXIT_USAGE = 2;    // the command line was wrong

struct FormatChoice {
    const runtime::SaveFormat* format = nullptr;  // null when there is no single answer
    std::string error;                            // one line, when format is null
};
// The format named by keyword (any case) or, when keyword is empty, the only
// format whose extension matches output's.
FormatChoice ChooseSaveFormat(const std::vector<runtime::SaveFormat>& formats, const std::string& keyword,
                              const std::string& output);

// The module at modulePath, or null after saying on err why it cannot be
// loaded.
std::unique_ptr<runtime::Module> OpenModule(const std::string& modulePath, std::ostream& err);

// Runs the tool on the arguments after the program name; returns the exit
// status. Messages go to err, one line each, naming the file.
int RunTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace tessel::tool
