// The tool's command line: global options, a command, its options and files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessel::tool {

enum class Command { Help, Version, Formats, Info, Extract, Convert, Preview, Check };

struct CommandLine {
    Command command = Command::Help;
    std::string helpTopic;            // Help: a command name, or empty for the overview
    std::string modulePath;           // --module; empty: the default place
    std::vector<std::string> files;   // info: files; extract: one file; convert: inputs
    std::string output;               // -o
    std::int32_t previewScale = 1;    // preview --scale
    std::int32_t previewColumns = 0;  // preview --columns; 0: as many as fit
    std::string formatKeyword;        // -f, as typed
    bool compress = false;            // --compress
    bool json = false;                // --json
    bool brief = false;               // info --brief
    bool selectedOnly = false;        // extract --selected-only
    bool normalOnly = false;          // extract --normal-only
    // convert: attributes set on the way, over what the inputs gave
    std::optional<std::int32_t> setType;          // --type
    std::optional<std::string> setDefaultTool;    // --default-tool
    std::vector<std::string> setToolTypes;        // --tooltype, in order
    std::optional<std::int32_t> setPositionX;     // --position X,Y
    std::optional<std::int32_t> setPositionY;
    std::optional<std::int32_t> setStack;         // --stack
    bool resize = false;                          // --resize
    // convert in batch: one output per input in outDir
    std::string outDir;                           // --out-dir
    bool recursive = false;                       // --recursive
    int jobs = 1;                                 // --jobs
};

struct ParseResult {
    bool ok = false;
    CommandLine line;
    std::string error;      // one line, when !ok
    std::string command;    // the command the error is about, for the usage hint; may be empty
};

// Parses the arguments after the program name. --module may come anywhere
// before "--"; --help anywhere asks for the help of the command given.
ParseResult ParseCommandLine(const std::vector<std::string>& args);

// Full help for a command ("info", ...), or the overview for an empty topic.
// Empty when there is no such command.
std::string HelpText(const std::string& topic);

// The short usage lines shown after a usage error.
std::string UsageHint(const std::string& command);

}  // namespace tessel::tool
