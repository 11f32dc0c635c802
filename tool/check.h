// What "tessel check" reports: whether each file loads through the module,
// and what a strict reader would object to in its bytes. The structural
// checks read the bytes themselves, independently of the module's readers:
// they look at lengths, offsets, ids and tables, never at pixels.
#pragma once

#include "plugin/format_table.h"
#include "runtime/module.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace tessel::tool {

struct CommandLine;

struct CheckFinding {
    bool problem = false;   // true: breaks the format's layout; false: a note (odd, but tolerated)
    std::string text;       // one line, lower case, without the "problem:"/"note:" prefix
};

// The structural findings for a whole file's bytes, recognised by its first
// bytes as a DiskObject, a PNG (icon), a Windows icon or a macOS icon; a
// file whose name ends in ".ico" is checked as a Windows icon even when its
// reserved and type fields are wrong. Other bytes give no findings. Bounded
// in time and never reads past bytes.
std::vector<CheckFinding> CheckIconBytes(const std::vector<std::uint8_t>& bytes, const std::string& fileName = "");

// The save format that writes files like these bytes, by the same reading:
// for a DiskObject the Amiga kind its parts show (an ARGB chunk AMIGAOS40, an
// IMAG chunk AMIGAOS35, NewIcons lines NEWICON, else AMIGAOS); null for bytes
// of no icon family.
const SaveFormatRow* SaveFormatOfBytes(const std::vector<std::uint8_t>& bytes);

// Runs "tessel check" over line.files: one verdict line per file on out, its
// findings indented below. Returns 1 when any file did not load, else 0.
int RunCheck(runtime::Module& module, const CommandLine& line, std::ostream& out, std::ostream& err);

}  // namespace tessel::tool
