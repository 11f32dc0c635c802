#include "tool/command_line.h"

#include "icon/icon_limits.h"
#include "tool/icon_report.h"
#include "tool/preview.h"
#include "tool/text_encoding.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <sstream>

namespace tessel::tool {

namespace {

struct CommandRow {
    const char* name;
    Command command;
    const char* usage;
    const char* outputValue;   // what -o names, for its message; null when the command takes no -o
};

constexpr CommandRow CommandTable[] = {
    // name, command, usage line, what -o names
    {"formats", Command::Formats, "tessel formats", nullptr},
    {"info", Command::Info, "tessel info FILE... [--json | --brief]", nullptr},
    {"extract", Command::Extract,
     "tessel extract FILE... -o DIR [--selected-only | --normal-only] [--largest | --index N]", "a DIR"},
    {"convert", Command::Convert,
     "tessel convert INPUT... -o OUTPUT [-f KEYWORD] [--resize | --sizes LIST] [--strict] [ATTRIBUTE OPTIONS]\n"
     "       tessel convert DIR_OR_FILES... --out-dir OUT -f KEYWORD [--recursive] [--jobs N] [...]",
     "an OUTPUT"},
    {"preview", Command::Preview, "tessel preview FILE... -o SHEET.png [--scale N] [--columns N]", "a SHEET file"},
    {"check", Command::Check, "tessel check FILE...", nullptr},
    {"help", Command::Help, "tessel help [COMMAND]", nullptr},
};

enum class Option {
    Help, Module, Version, Quiet, Json, Brief, SelectedOnly, NormalOnly, Largest, Index, Output, Format, Compress,
    NoCompress, Resize, Sizes, Strict, Type, DefaultTool, ToolType, RemoveToolType, ClearToolTypes, Position, Stack,
    OutDir, Recursive, Jobs, Scale, Columns,
};

constexpr unsigned For(Command command) { return 1u << static_cast<unsigned>(command); }
constexpr unsigned GLOBAL = 0;   // given before or after the command, whichever it is
constexpr unsigned OUTPUT_COMMANDS = For(Command::Extract) | For(Command::Convert) | For(Command::Preview);

struct OptionRow {
    Option option;
    const char* name;
    const char* shortName;   // or null
    unsigned commands;       // For() bits, or GLOBAL
    const char* value;       // the value's name in the help, or null for a flag
    const char* help;        // lines after the first are indented under it
};

constexpr std::int32_t JOBS_HIGHEST = 64;

// Every option, in the order the help lists them.
constexpr OptionRow OptionTable[] = {
    {Option::Module, "--module", nullptr, GLOBAL, "PATH",
     "use the module at PATH instead of the default: the file\nnamed by $TESSEL_MODULE, or tessel.qmp beside this program"},
    {Option::Help, "--help", "-h", GLOBAL, nullptr, "show this help, or the help of the command it follows"},
    {Option::Version, "--version", nullptr, GLOBAL, nullptr,
     "show the tool's version and the module's name, version and date\n(or why the module cannot be loaded)"},
    {Option::Quiet, "--quiet", "-q", GLOBAL, nullptr,
     "print nothing on standard output but what was asked for:\nno report of written files, no batch summary when "
     "all went\nwell; errors and warnings still go to standard error"},
    {Option::Json, "--json", nullptr, For(Command::Info), nullptr,
     "print one JSON document per file, one per line, for scripts:\n{\"file\": ..., \"format\": ..., \"keyword\": ..., "
     "\"attributes\": {...},\n \"images\": [{\"index\", \"width\", \"height\", \"depth\", \"flags\",\n"
     "             \"transparentPen\"}, ...]}\nText bytes that are not UTF-8 are read as Latin-1."},
    {Option::Brief, "--brief", nullptr, For(Command::Info), nullptr,
     "one line per file, for big folders: file, format, image count and\neach image as WIDTHxHEIGHT/DEPTH, followed by "
     "p when it is flagged\nprimary and s when it is the selected state. A file that cannot be\nread gets a line too: "
     "FILE  error: REASON."},
    {Option::Output, "--output", "-o", OUTPUT_COMMANDS, "NAME",
     "the file to write (extract: the directory); - is standard output"},
    {Option::SelectedOnly, "--selected-only", nullptr, For(Command::Extract), nullptr,
     "only the images of the selected state (drawn when the icon is\nclicked)"},
    {Option::NormalOnly, "--normal-only", nullptr, For(Command::Extract), nullptr, "only the images of the normal state"},
    {Option::Largest, "--largest", nullptr, For(Command::Extract), nullptr,
     "only the largest image (the deepest of equal size) of each FILE"},
    {Option::Index, "--index", nullptr, For(Command::Extract), "N", "only image N (as numbered by 'tessel info')"},
    {Option::Format, "--format", "-f", For(Command::Convert), "KEYWORD",
     "the format to write, by keyword or extension (ico, icns) in any\ncase; see 'tessel formats'. Without -f the "
     "format follows\nOUTPUT's extension (.ico WINDOWS, .icns MACOS), or, when OUTPUT\nis the INPUT, stays the input's "
     "own. Another .info OUTPUT\nneeds -f, since several Amiga formats use that extension."},
    {Option::Resize, "--resize", nullptr, For(Command::Convert), nullptr,
     "make the sizes the format needs from the largest picture:\nWINDOWS 16, 24, 32, 48, 64, 128 and 256; MACOS 16, "
     "32, 48, 64,\n128, 256, 512 and 1024; the one-picture formats shrink a larger\npicture to their usual size "
     "(AMIGAOS, NEWICON and AMIGAOS35\n46, AMIGAOS40 and PNG 64). Nothing is ever enlarged."},
    {Option::Sizes, "--sizes", nullptr, For(Command::Convert), "LIST",
     "the sizes to write, as 16,32,48,256: images of other sizes are\nleft out, missing ones made as --resize does. "
     "The one-picture\nformats take one size."},
    {Option::Compress, "--compress", nullptr, For(Command::Convert), nullptr,
     "compress where the format can (AMIGAOS35 run-length image data;\nWINDOWS stores images of 128 and more as PNG, "
     "its default)"},
    {Option::NoCompress, "--no-compress", nullptr, For(Command::Convert), nullptr,
     "store every Windows image as a bitmap, for readers older than\nWindows Vista"},
    {Option::Strict, "--strict", nullptr, For(Command::Convert), nullptr,
     "fail, writing nothing, when the file would not hold every input\nimage as it is (left out, or reduced to fewer "
     "colours)"},
    {Option::Type, "--type", nullptr, For(Command::Convert), "T", "drawer, tool, project, disk, garbage, or a number 1..8"},
    {Option::DefaultTool, "--default-tool", nullptr, For(Command::Convert), "TEXT", "the program that opens a project"},
    {Option::ToolType, "--tooltype", nullptr, For(Command::Convert), "KEY=VALUE",
     "a tooltype; repeat for more, kept in the order given. It\nreplaces an input's tooltype with the same KEY, or its "
     "disabled\nform (KEY=...)"},
    {Option::RemoveToolType, "--remove-tooltype", nullptr, For(Command::Convert), "KEY",
     "remove the tooltypes with this KEY, disabled (KEY) ones too"},
    {Option::ClearToolTypes, "--clear-tooltypes", nullptr, For(Command::Convert), nullptr,
     "remove every tooltype of the inputs (--tooltype still adds)"},
    {Option::Position, "--position", nullptr, For(Command::Convert), "X,Y", "the icon's place in its window (may be negative)"},
    {Option::Stack, "--stack", nullptr, For(Command::Convert), "N", "the stack size, in bytes"},
    {Option::OutDir, "--out-dir", nullptr, For(Command::Convert), "OUT", "batch: the directory to write into (not with -o)"},
    {Option::Recursive, "--recursive", nullptr, For(Command::Convert), nullptr, "batch: go into subdirectories"},
    {Option::Jobs, "--jobs", "-j", For(Command::Convert), "N",
     "batch: convert in N worker processes at once (1..64); the\nsummary is the same, in input order"},
    {Option::Scale, "--scale", nullptr, For(Command::Preview), "N",
     "magnify the whole sheet, text too, N times (1 to 8; default 1)"},
    {Option::Columns, "--columns", nullptr, For(Command::Preview), "N",
     "at most N images a row in each block (1 to 64); by default\nas many as fit in about 1024 pixels"},
};

const CommandRow* FindCommand(const std::string& name)
{
    auto row = std::find_if(std::begin(CommandTable), std::end(CommandTable),
                            [&](const CommandRow& r) { return name == r.name; });
    return row == std::end(CommandTable) ? nullptr : row;
}

bool Takes(const OptionRow& row, const CommandRow* command)
{
    return row.commands == GLOBAL || (command && (row.commands & For(command->command)) != 0);
}

const OptionRow* FindOption(const std::string& name, const CommandRow* command)
{
    for (const OptionRow& row : OptionTable)
        if ((name == row.name || (row.shortName && name == row.shortName)) && Takes(row, command))
            return &row;
    return nullptr;
}

// A whole decimal number, optionally signed, within [lowest, highest].
bool ParseNumber(const std::string& text, std::int64_t lowest, std::int64_t highest, std::int32_t* value)
{
    std::int64_t number = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+')
        ++first;
    auto [end, error] = std::from_chars(first, last, number);
    if (text.empty() || error != std::errc() || end != last || number < lowest || number > highest)
        return false;
    *value = static_cast<std::int32_t>(number);
    return true;
}

// An icon type by its name in any case, or by its number.
bool ParseIconType(const std::string& text, std::int32_t* type)
{
    const std::string lowered = LowerAscii(text);
    for (std::int32_t named = 1; named <= ICON_TYPE_HIGHEST; ++named) {
        if (lowered == IconTypeName(named)) {
            *type = named;
            return true;
        }
    }
    return ParseNumber(text, 1, ICON_TYPE_HIGHEST, type);
}

// A count: plain decimal digits, within [lowest, highest].
bool ParseCount(const std::string& text, std::int32_t lowest, std::int32_t highest, std::int32_t* value)
{
    return text.find_first_not_of("0123456789") == std::string::npos && ParseNumber(text, lowest, highest, value);
}

// "16,32,48": sides 1..ICON_MAX_SIDE, kept ascending without repeats.
bool ParseSizes(const std::string& text, std::vector<std::int32_t>* sizes)
{
    std::size_t start = 0;
    do {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        std::int32_t side = 0;
        if (!ParseCount(text.substr(start, comma - start), 1, ICON_MAX_SIDE, &side))
            return false;
        sizes->push_back(side);
        start = comma + 1;
    } while (start <= text.size());
    std::sort(sizes->begin(), sizes->end());
    sizes->erase(std::unique(sizes->begin(), sizes->end()), sizes->end());
    return true;
}

// "  -o NAME, --output NAME": how an option's help begins.
std::string OptionSynopsis(const OptionRow& row)
{
    const std::string value = row.value ? std::string(" ") + row.value : "";
    return std::string("  ") + (row.shortName ? row.shortName + value + ", " : "") + row.name + value;
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& args)
{
    ParseResult result;
    CommandLine& line = result.line;
    const CommandRow* command = nullptr;
    std::vector<std::string> operands;
    bool helpWanted = false, versionWanted = false, endOfOptions = false;
    bool outputSeen = false, formatSeen = false;

    auto fail = [&](const std::string& why) {
        result.ok = false;
        result.error = why;
        result.command = command ? command->name : "";
        return result;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (endOfOptions || arg.size() < 2 || arg[0] != '-') {
            if (command) {
                operands.push_back(arg);
                continue;
            }
            command = FindCommand(arg);
            if (!command)
                return fail("unknown command '" + arg + "'");
            continue;
        }
        if (arg == "--") {
            endOfOptions = true;
            continue;
        }
        // "--name=value", "-oVALUE", or the value in the next argument.
        std::string name = arg, value;
        bool valueAttached = false;
        if (arg.rfind("--", 0) == 0) {
            if (std::size_t equals = arg.find('='); equals != std::string::npos) {
                name = arg.substr(0, equals);
                value = arg.substr(equals + 1);
                valueAttached = true;
            }
        } else if (arg.size() > 2) {
            name = arg.substr(0, 2);
            value = arg.substr(2);
            valueAttached = true;
        }
        const OptionRow* row = FindOption(name, command);
        if (row && !row->value && valueAttached)
            row = nullptr;   // a flag takes no value
        if (!row)
            return fail("unknown option '" + arg + "'" + (command ? std::string(" for ") + command->name : ""));
        bool valueGiven = valueAttached;
        if (row->value && !valueAttached && i + 1 < args.size()) {
            value = args[++i];
            valueGiven = true;
        }
        switch (row->option) {
        case Option::Help:
            helpWanted = true;
            break;
        case Option::Module:
            if (value.empty())
                return fail("--module needs a PATH");
            line.modulePath = value;
            break;
        case Option::Version:
            versionWanted = true;
            break;
        case Option::Quiet:
            line.quiet = true;
            break;
        case Option::Json:
            line.json = true;
            break;
        case Option::Brief:
            line.brief = true;
            break;
        case Option::SelectedOnly:
            line.selectedOnly = true;
            break;
        case Option::NormalOnly:
            line.normalOnly = true;
            break;
        case Option::Largest:
            line.largest = true;
            break;
        case Option::Index: {
            std::int32_t index = 0;
            if (!ParseCount(value, 0, INT32_MAX, &index))
                return fail("--index needs an image number (0 or more)");
            line.extractIndex = index;
            break;
        }
        case Option::Output:
            if (outputSeen)
                return fail("-o given twice");
            if (value.empty())
                return fail(std::string("-o needs ") + command->outputValue);
            line.output = value;
            outputSeen = true;
            break;
        case Option::Format:
            if (formatSeen)
                return fail("-f given twice");
            if (value.empty())
                return fail("-f needs a KEYWORD (see 'tessel formats')");
            line.formatKeyword = value;
            formatSeen = true;
            break;
        case Option::Compress:
        case Option::NoCompress:
            if (line.compress && *line.compress != (row->option == Option::Compress))
                return fail("--compress and --no-compress exclude each other");
            line.compress = row->option == Option::Compress;
            break;
        case Option::Resize:
            line.resize = true;
            break;
        case Option::Sizes:
            line.sizes.clear();
            if (!ParseSizes(value, &line.sizes))
                return fail("--sizes needs sides 1.." + std::to_string(ICON_MAX_SIDE) + " between commas, as 16,32,48");
            line.resize = true;
            break;
        case Option::Strict:
            line.strict = true;
            break;
        case Option::Type: {
            std::int32_t type = 0;
            if (!ParseIconType(value, &type))
                return fail("--type needs drawer, tool, project, disk, garbage or a number 1.." +
                            std::to_string(ICON_TYPE_HIGHEST));
            line.setType = type;
            break;
        }
        case Option::DefaultTool:
            if (!valueGiven)
                return fail("--default-tool needs a TEXT");
            line.setDefaultTool = value;
            break;
        case Option::ToolType:
            if (value.empty() || value.front() == '=')
                return fail("--tooltype needs KEY=VALUE");
            line.setToolTypes.push_back(value);
            break;
        case Option::RemoveToolType:
            if (value.empty() || value.find('=') != std::string::npos)
                return fail("--remove-tooltype needs a KEY");
            line.removeToolTypes.push_back(value);
            break;
        case Option::ClearToolTypes:
            line.clearToolTypes = true;
            break;
        case Option::Position: {
            std::size_t comma = value.find(',');
            std::int32_t x = 0, y = 0;
            if (comma == std::string::npos || !ParseNumber(value.substr(0, comma), INT32_MIN, INT32_MAX, &x) ||
                !ParseNumber(value.substr(comma + 1), INT32_MIN, INT32_MAX, &y))
                return fail("--position needs X,Y (whole numbers, may be negative)");
            line.setPositionX = x;
            line.setPositionY = y;
            break;
        }
        case Option::Stack: {
            std::int32_t stack = 0;
            if (!ParseNumber(value, 0, INT32_MAX, &stack))
                return fail("--stack needs a number of bytes (0 or more)");
            line.setStack = stack;
            break;
        }
        case Option::OutDir:
            if (!line.outDir.empty())
                return fail("--out-dir given twice");
            if (value.empty())
                return fail("--out-dir needs a DIR");
            line.outDir = value;
            break;
        case Option::Recursive:
            line.recursive = true;
            break;
        case Option::Jobs: {
            std::int32_t jobs = 0;
            if (!ParseNumber(value, 1, JOBS_HIGHEST, &jobs))
                return fail("--jobs needs a number 1.." + std::to_string(JOBS_HIGHEST));
            line.jobs = jobs;
            break;
        }
        case Option::Scale:
            if (!ParseCount(value, 1, PREVIEW_MAX_SCALE, &line.previewScale))
                return fail("--scale needs a number 1.." + std::to_string(PREVIEW_MAX_SCALE));
            break;
        case Option::Columns:
            if (!ParseCount(value, 1, PREVIEW_MAX_COLUMNS, &line.previewColumns))
                return fail("--columns needs a number 1.." + std::to_string(PREVIEW_MAX_COLUMNS));
            break;
        }
    }

    if (helpWanted) {
        line.command = Command::Help;
        if (command && command->command == Command::Help)
            line.helpTopic = operands.empty() ? "" : operands.front();
        else
            line.helpTopic = command ? command->name : "";
        if (!line.helpTopic.empty() && !FindCommand(line.helpTopic))
            return fail("unknown command '" + line.helpTopic + "'");
        result.ok = true;
        return result;
    }
    if (versionWanted) {
        if (command)
            return fail("--version takes no command");
        line.command = Command::Version;
        result.ok = true;
        return result;
    }
    if (!command)
        return fail("no command given");

    line.command = command->command;
    switch (command->command) {
    case Command::Help:
        if (operands.size() > 1)
            return fail("help takes one COMMAND");
        line.helpTopic = operands.empty() ? "" : operands.front();
        if (!line.helpTopic.empty() && !FindCommand(line.helpTopic))
            return fail("unknown command '" + line.helpTopic + "'");
        break;
    case Command::Formats:
        if (!operands.empty())
            return fail("formats takes no arguments");
        break;
    case Command::Info:
        if (operands.empty())
            return fail("info needs at least one FILE");
        if (line.json && line.brief)
            return fail("--json and --brief exclude each other");
        break;
    case Command::Extract:
        if (operands.empty())
            return fail("extract needs a FILE");
        if (!outputSeen)
            return fail("extract needs -o DIR");
        if (line.selectedOnly && line.normalOnly)
            return fail("--selected-only and --normal-only exclude each other");
        if (line.largest && line.extractIndex)
            return fail("--largest and --index exclude each other");
        if (line.output == "-" && (operands.size() > 1 || !(line.largest || line.extractIndex)))
            return fail("-o - writes one picture: give one FILE and --largest or --index N");
        break;
    case Command::Convert:
        if (operands.empty())
            return fail("convert needs at least one INPUT");
        if (outputSeen && !line.outDir.empty())
            return fail("-o and --out-dir exclude each other");
        if (!line.outDir.empty() && !formatSeen)
            return fail("--out-dir needs -f KEYWORD (see 'tessel formats')");
        if (line.outDir.empty() && (line.recursive || line.jobs != 1))
            return fail(std::string(line.recursive ? "--recursive" : "--jobs") + " needs --out-dir");
        if (!outputSeen && line.outDir.empty())
            return fail("convert needs -o OUTPUT");
        if (!line.outDir.empty() && std::find(operands.begin(), operands.end(), "-") != operands.end())
            return fail("--out-dir converts files: standard input (-) is not one");
        break;
    case Command::Preview:
        if (operands.empty())
            return fail("preview needs at least one FILE");
        if (!outputSeen)
            return fail("preview needs -o SHEET");
        if (line.output != "-" && LowerAscii(std::filesystem::path(line.output).extension().string()) != ".png")
            return fail("preview writes a PNG picture: give -o a name ending in .png (or -)");
        break;
    case Command::Check:
        if (operands.empty())
            return fail("check needs at least one FILE");
        break;
    case Command::Version:
        break;
    }
    if (std::count(operands.begin(), operands.end(), "-") > 1)
        return fail("standard input (-) can be read once");
    line.files = std::move(operands);
    result.ok = true;
    return result;
}

std::string OptionsHelp(const std::string& topic)
{
    const CommandRow* command = topic.empty() ? nullptr : FindCommand(topic);
    constexpr std::size_t COLUMN = 24, WIDTH = 79;
    std::string text;
    for (const OptionRow& row : OptionTable) {
        if (command ? row.commands == GLOBAL || !Takes(row, command) : row.commands != GLOBAL)
            continue;
        // The help's words filled into lines under the column.
        std::string line = OptionSynopsis(row);
        if (line.size() + 2 > COLUMN) {
            text += line + "\n";
            line.clear();
        }
        line.resize(COLUMN, ' ');
        std::istringstream words(row.help);
        bool first = true;
        for (std::string word; words >> word; first = false) {
            if (!first && line.size() + 1 + word.size() > WIDTH) {
                text += line + "\n";
                line.assign(COLUMN, ' ');
                first = true;
            }
            line += (first ? "" : " ") + word;
        }
        text += line + "\n";
    }
    return text;
}

std::string BashCompletion()
{
    std::string commands, cases;
    for (const CommandRow& command : CommandTable) {
        commands += std::string(commands.empty() ? "" : " ") + command.name;
        std::string options;
        for (const OptionRow& row : OptionTable) {
            if (!Takes(row, &command))
                continue;
            options += std::string(" ") + row.name + (row.shortName ? std::string(" ") + row.shortName : "");
        }
        cases += std::string("        ") + command.name + ") options='" + options.substr(1) + "' ;;\n";
    }
    std::string valued;
    for (const OptionRow& row : OptionTable)
        if (row.value)
            valued += std::string(valued.empty() ? "" : "|") + row.name + (row.shortName ? std::string("|") + row.shortName : "");
    return "# bash completion for tessel, made from the tool's own tables\n"
           "_tessel()\n{\n"
           "    local current=${COMP_WORDS[COMP_CWORD]} previous=${COMP_WORDS[COMP_CWORD-1]} command='' word\n"
           "    for word in \"${COMP_WORDS[@]:1:COMP_CWORD-1}\"; do\n"
           "        case $word in -*) ;; *) command=$word; break ;; esac\n"
           "    done\n"
           "    case $previous in\n"
           "        -f|--format) COMPREPLY=($(compgen -W \"$(\"${COMP_WORDS[0]}\" formats 2>/dev/null | cut -d' ' -f1) ico icns\" -- \"$current\")); return ;;\n"
           "        --type) COMPREPLY=($(compgen -W 'drawer tool project disk garbage' -- \"$current\")); return ;;\n"
           "        -o|--output|--out-dir|--module) COMPREPLY=($(compgen -f -- \"$current\")); return ;;\n"
           "        " + valued + ") return ;;\n"
           "    esac\n"
           "    local options\n"
           "    case $command in\n" + cases +
           "        *) COMPREPLY=($(compgen -W '" + commands + " --help --version --module --quiet' -- \"$current\")); return ;;\n"
           "    esac\n"
           "    if [[ $current == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W \"$options\" -- \"$current\"))\n"
           "    else\n"
           "        COMPREPLY=($(compgen -f -- \"$current\"))\n"
           "    fi\n"
           "}\n"
           "complete -o filenames -F _tessel tessel\n";
}

std::string UsageHint(const std::string& command)
{
    if (const CommandRow* row = FindCommand(command))
        return std::string("usage: ") + row->usage + "\nrun 'tessel help " + row->name + "' for details\n";
    std::string hint = "usage: tessel [--module PATH] [--quiet] COMMAND [OPTIONS] [FILES]\n";
    for (const CommandRow& row : CommandTable)
        hint += std::string("       ") + row.usage + "\n";
    hint += "run 'tessel --help' for details\n";
    return hint;
}

}  // namespace tessel::tool
