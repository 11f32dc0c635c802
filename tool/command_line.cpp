#include "tool/command_line.h"

#include "tool/icon_report.h"
#include "tool/preview.h"
#include "tool/text_encoding.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <iterator>

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
    {"extract", Command::Extract, "tessel extract FILE -o DIR [--selected-only | --normal-only]", "a DIR"},
    {"convert", Command::Convert,
     "tessel convert INPUT... -o OUTPUT [-f KEYWORD] [--compress] [--resize] [ATTRIBUTE OPTIONS]\n"
     "       tessel convert DIR_OR_FILES... --out-dir OUT -f KEYWORD [--recursive] [--jobs N] [...]",
     "an OUTPUT"},
    {"preview", Command::Preview, "tessel preview FILE... -o SHEET.png [--scale N] [--columns N]", "a SHEET file"},
    {"check", Command::Check, "tessel check FILE...", nullptr},
    {"help", Command::Help, "tessel help [COMMAND]", nullptr},
};

const CommandRow* FindCommand(const std::string& name)
{
    auto row = std::find_if(std::begin(CommandTable), std::end(CommandTable),
                            [&](const CommandRow& r) { return name == r.name; });
    return row == std::end(CommandTable) ? nullptr : row;
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

constexpr int JOBS_HIGHEST = 64;

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

// A preview count: plain decimal digits, within [lowest, highest].
bool ParsePreviewCount(const std::string& text, std::int32_t lowest, std::int32_t highest, std::int32_t* value)
{
    return text.find_first_not_of("0123456789") == std::string::npos && ParseNumber(text, lowest, highest, value);
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
        auto takeValue = [&]() {
            if (valueAttached)
                return true;
            if (i + 1 >= args.size())
                return false;
            value = args[++i];
            return true;
        };
        auto takeText = [&]() { return takeValue() && !value.empty(); };   // a value that is not ""
        auto isFlag = [&](const char* flag) { return name == flag; };

        if (isFlag("--help") || isFlag("-h")) {
            if (valueAttached)
                return fail("unknown option '" + arg + "'");
            helpWanted = true;
        } else if (isFlag("--module")) {
            if (!takeText())
                return fail("--module needs a PATH");
            line.modulePath = value;
        } else if (isFlag("--version") && !command && !valueAttached) {
            versionWanted = true;
        } else if (!command) {
            return fail("unknown option '" + arg + "'");
        } else if (command->command == Command::Info && isFlag("--json") && !valueAttached) {
            line.json = true;
        } else if (command->command == Command::Info && isFlag("--brief") && !valueAttached) {
            line.brief = true;
        } else if (command->command == Command::Extract && isFlag("--selected-only") && !valueAttached) {
            line.selectedOnly = true;
        } else if (command->command == Command::Extract && isFlag("--normal-only") && !valueAttached) {
            line.normalOnly = true;
        } else if (command->command == Command::Convert && isFlag("--type")) {
            std::int32_t type = 0;
            if (!takeValue() || !ParseIconType(value, &type))
                return fail("--type needs drawer, tool, project, disk, garbage or a number 1.." +
                            std::to_string(ICON_TYPE_HIGHEST));
            line.setType = type;
        } else if (command->command == Command::Convert && isFlag("--default-tool")) {
            if (!takeValue())
                return fail("--default-tool needs a TEXT");
            line.setDefaultTool = value;
        } else if (command->command == Command::Convert && isFlag("--tooltype")) {
            if (!takeText() || value.front() == '=')
                return fail("--tooltype needs KEY=VALUE");
            line.setToolTypes.push_back(value);
        } else if (command->command == Command::Convert && isFlag("--position")) {
            std::size_t comma = std::string::npos;
            std::int32_t x = 0, y = 0;
            if (!takeValue() || (comma = value.find(',')) == std::string::npos ||
                !ParseNumber(value.substr(0, comma), INT32_MIN, INT32_MAX, &x) ||
                !ParseNumber(value.substr(comma + 1), INT32_MIN, INT32_MAX, &y))
                return fail("--position needs X,Y (whole numbers, may be negative)");
            line.setPositionX = x;
            line.setPositionY = y;
        } else if (command->command == Command::Convert && isFlag("--stack")) {
            std::int32_t stack = 0;
            if (!takeValue() || !ParseNumber(value, 0, INT32_MAX, &stack))
                return fail("--stack needs a number of bytes (0 or more)");
            line.setStack = stack;
        } else if (command->command == Command::Convert && isFlag("--resize") && !valueAttached) {
            line.resize = true;
        } else if (command->command == Command::Convert && isFlag("--out-dir")) {
            if (!line.outDir.empty())
                return fail("--out-dir given twice");
            if (!takeText())
                return fail("--out-dir needs a DIR");
            line.outDir = value;
        } else if (command->command == Command::Convert && isFlag("--recursive") && !valueAttached) {
            line.recursive = true;
        } else if (command->command == Command::Convert && (isFlag("--jobs") || isFlag("-j"))) {
            std::int32_t jobs = 0;
            if (!takeValue() || !ParseNumber(value, 1, JOBS_HIGHEST, &jobs))
                return fail("--jobs needs a number 1.." + std::to_string(JOBS_HIGHEST));
            line.jobs = jobs;
        } else if (command->outputValue && (isFlag("-o") || isFlag("--output"))) {
            if (outputSeen)
                return fail("-o given twice");
            if (!takeText())
                return fail(std::string("-o needs ") + command->outputValue);
            line.output = value;
            outputSeen = true;
        } else if (command->command == Command::Convert && (isFlag("-f") || isFlag("--format"))) {
            if (formatSeen)
                return fail("-f given twice");
            if (!takeText())
                return fail("-f needs a KEYWORD (see 'tessel formats')");
            line.formatKeyword = value;
            formatSeen = true;
        } else if (command->command == Command::Convert && isFlag("--compress") && !valueAttached) {
            line.compress = true;
        } else if (command->command == Command::Preview && isFlag("--scale")) {
            if (!takeValue() || !ParsePreviewCount(value, 1, PREVIEW_MAX_SCALE, &line.previewScale))
                return fail("--scale needs a number 1.." + std::to_string(PREVIEW_MAX_SCALE));
        } else if (command->command == Command::Preview && isFlag("--columns")) {
            if (!takeValue() || !ParsePreviewCount(value, 1, PREVIEW_MAX_COLUMNS, &line.previewColumns))
                return fail("--columns needs a number 1.." + std::to_string(PREVIEW_MAX_COLUMNS));
        } else {
            return fail("unknown option '" + arg + "' for " + command->name);
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
        if (operands.size() != 1)
            return fail(operands.empty() ? "extract needs a FILE" : "extract takes one FILE");
        if (!outputSeen)
            return fail("extract needs -o DIR");
        if (line.selectedOnly && line.normalOnly)
            return fail("--selected-only and --normal-only exclude each other");
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
        break;
    case Command::Preview:
        if (operands.empty())
            return fail("preview needs at least one FILE");
        if (!outputSeen)
            return fail("preview needs -o SHEET");
        break;
    case Command::Check:
        if (operands.empty())
            return fail("check needs at least one FILE");
        break;
    case Command::Version:
        break;
    }
    line.files = std::move(operands);
    result.ok = true;
    return result;
}

std::string UsageHint(const std::string& command)
{
    if (const CommandRow* row = FindCommand(command))
        return std::string("usage: ") + row->usage + "\nrun 'tessel help " + row->name + "' for details\n";
    std::string hint = "usage: tessel [--module PATH] COMMAND [OPTIONS] [FILES]\n";
    for (const CommandRow& row : CommandTable)
        hint += std::string("       ") + row.usage + "\n";
    hint += "run 'tessel --help' for details\n";
    return hint;
}

}  // namespace tessel::tool
