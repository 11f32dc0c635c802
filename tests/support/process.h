// Running programs from tests: the tool itself and the independent tools
// that judge its output.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace tessel::test {

struct ProcessResult {
    int exitCode = -1;      // 128 + the signal when the program was killed
    std::string out;
    std::string err;
};

// Runs argv (found on PATH when not a path), stdin from stdinPath, stdout
// and stderr into files so that no pipe can fill and stall it and stderr is
// never a terminal. The environment is this process's plus extraEnvironment.
ProcessResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment = {},
                         const std::string& stdinPath = "/dev/null");

// Runs the tessel tool built with the tests, on the module built with them.
ProcessResult RunTessel(std::vector<std::string> args, const std::vector<std::string>& extraEnvironment = {});

std::string ReadText(const std::string& path);

// The names in a directory.
std::set<std::string> DirectoryEntries(const std::string& directory);

}  // namespace tessel::test
