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
    std::vector<std::string> files;   // the FILE or INPUT operands; "-" is standard input
    std::string output;               // -o; "-" is standard output
    bool quiet = false;               // --quiet: nothing on standard output but what was asked for
    std::int32_t previewScale = 1;    // preview --scale
    std::int32_t previewColumns = 0;  // preview --columns; 0: as many as fit
    std::string formatKeyword;        // -f, as typed
    std::optional<bool> compress;     // --compress, --no-compress; unset: the format's default
    bool strict = false;              // --strict: any image left out or reduced fails the save
    bool json = false;                // --json
    bool brief = false;               // info --brief
    bool selectedOnly = false;        // extract --selected-only
    bool normalOnly = false;          // extract --normal-only
    bool largest = false;             // extract --largest
    std::optional<std::int32_t> extractIndex;     // extract --index
    // convert: attributes set on the way, over what the inputs gave
    std::optional<std::int32_t> setType;          // --type
    std::optional<std::string> setDefaultTool;    // --default-tool
    std::vector<std::string> setToolTypes;        // --tooltype, in order
    std::vector<std::string> removeToolTypes;     // --remove-tooltype KEY
    bool clearToolTypes = false;                  // --clear-tooltypes
    std::optional<std::int32_t> setPositionX;     // --position X,Y
    std::optional<std::int32_t> setPositionY;
    std::optional<std::int32_t> setStack;         // --stack
    bool resize = false;                          // --resize, or implied by --sizes
    std::vector<std::int32_t> sizes;              // --sizes, ascending without repeats
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

// The options section of a command's help (the global options for an empty
// topic), one option a line with its help indented under it.
std::string OptionsHelp(const std::string& topic);

// The bash completion script for the tessel command, made from the same
// tables as the help.
std::string BashCompletion();

// Full help for a command ("info", ...), or the overview for an empty topic.
// Empty when there is no such command.
std::string HelpText(const std::string& topic);

// The short usage lines shown after a usage error.
std::string UsageHint(const std::string& command);

}  // namespace tessel::tool
