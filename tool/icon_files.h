// Icon files on disk: recognising them by their first bytes, loading them
// through the module into plain values, and saving without ever leaving a
// half-written file behind.
#pragma once

#include "plugin/format_table.h"
#include "runtime/module.h"
#include "tool/icon_values.h"
#include "tool/output_files.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace tessel::tool {

// The format an icon file's first four bytes announce ("Amiga icon", "PNG
// icon", "Windows icon", "macOS icon"), or an empty string.
std::string FormatFromMagic(const std::vector<std::uint8_t>& leadingBytes);

// "starts with 3F 00 12 00", "is empty", "is only 2 bytes long (3F 00)".
std::string DescribeLeadingBytes(const std::vector<std::uint8_t>& leadingBytes);

struct SniffResult {
    bool opened = false;
    std::string error;                       // why it could not be read, when !opened
    std::vector<std::uint8_t> leadingBytes;  // up to four
    std::string format;                      // empty when not an icon file
};
SniffResult SniffFile(const std::string& path);

struct LoadResult {
    bool ok = false;
    Icon icon;
    std::string error;  // "not an icon file (starts with ...)", "cannot read Windows icon (...)"
    std::string warning;   // when a picture inside was not read, and the icon was read without it
};
// Sniffs the file (unless the caller already did: sniffed), then loads it
// through the module and copies the result before handing the icon back
// with FreeIcon. The path "-" is standard input, read whole once.
// With Pixels::No the images say what they are but hold no pixels (for
// reports), and no size is too large.
enum class Pixels { Yes, No };
LoadResult LoadIconFile(runtime::Module& module, const std::string& path, const SniffResult* sniffed = nullptr,
                        Pixels pixels = Pixels::Yes);

// Loads an icon from bytes in memory, as LoadIconFile does from a file.
LoadResult LoadIconBytes(runtime::Module& module, const std::vector<std::uint8_t>& bytes, Pixels pixels = Pixels::Yes);

struct SaveRequest {
    std::uint32_t formatId = 0;
    std::string formatName;  // for messages
    bool compress = false;
};
// Saves the images and attributes through SaveIcon into memory, loads what
// was written into *written (without pixels) and, unless verify returns a reason (then *why),
// writes it as output by way of CommitBytes.
bool SaveIconFile(runtime::Module& module, const std::string& output, const SaveRequest& request, Icon icon,
                  std::ostream& standardOutput, const std::function<std::string(const Icon& written)>& verify,
                  Icon* written, std::string* why);

// Reads at most maxBytes of a file ("-": standard input) into bytes.
bool ReadFileBytes(const std::string& path, std::uint64_t maxBytes, std::vector<std::uint8_t>* bytes);

// Creates the directory at path and any parents it lacks, unless it is a
// directory already. On failure says why: "cannot create directory (...)".
bool MakeDirectory(const std::string& path, std::string* why);


}  // namespace tessel::tool
