// Text as the tool handles it: strings from icons as it prints them, and names
// compared without regard to case. Icon strings are raw bytes: mostly ASCII,
// often Latin-1 (the Amiga's character set), sometimes UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace tessel::tool {

// A JSON string literal, quotes included. Well-formed UTF-8 passes through;
// control characters and DEL are escaped; every other byte of 0x80 or more is
// taken as Latin-1 and written as \u00XX.
std::string JsonString(std::string_view bytes);

// A quoted string for a terminal: UTF-8 kept, other high bytes converted from
// Latin-1 to UTF-8, quotes, backslashes and control characters escaped in C
// style.
std::string DisplayString(std::string_view bytes);

// A file name or other text for a line of output: UTF-8 kept, backslashes,
// control characters and bytes that are not UTF-8 escaped in C style, so that
// no name can break a line, forge one or reach the terminal as a command.
std::string Shown(std::string_view name);

// The text with A..Z made a..z and every other byte kept, for names typed in
// any case: format keywords, extensions, icon types, tooltype keys.
std::string LowerAscii(std::string_view text);

}  // namespace tessel::tool
