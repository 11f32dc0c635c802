// "tessel check": the verdict of the module (does the file load?) and the
// structural findings of the family the file's first bytes point to, one
// family per file: check_diskobject.cpp, check_png_icon.cpp, check_ico.cpp,
// check_icns.cpp.
#include "tool/check.h"

#include "formats/macos/icns_layout.h"
#include "formats/windows/ico_layout.h"
#include "io/byte_io.h"
#include "tool/check_bytes.h"
#include "tool/command_line.h"
#include "tool/commands.h"
#include "tool/icon_files.h"
#include "tool/text_encoding.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <ostream>

namespace tessel::tool {

namespace check {

void Problem(Findings& findings, std::string text) { findings.push_back({true, std::move(text)}); }
void Note(Findings& findings, std::string text) { findings.push_back({false, std::move(text)}); }

std::string Hex32(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string QuotedId(std::uint32_t id)
{
    std::string text = "'";
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned c = std::uint8_t(id >> shift);
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '\'') {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        }
    }
    return text + "'";
}

std::string Str(std::uint64_t value) { return std::to_string(value); }

}  // namespace check

using namespace check;

namespace {

// A file larger than this is checked only as far as its first bytes go.
constexpr std::uint64_t CHECK_MAX_FILE_BYTES = 256ull << 20;

// The first bytes that tell the families apart (a DiskObject needs only two).
constexpr std::uint64_t MAGIC_BYTES = 4;
// Cursors share the Windows icon's layout; the checker takes them too.
constexpr std::uint32_t ICO_TYPE_CURSOR = 2;

// Reserved word 0, type 1 (icon) or 2 (cursor).
bool StartsLikeIco(const ByteView& file)
{
    const std::uint32_t type = file.LE16(ICO_HEADER_TYPE);
    return file.Fits(0, MAGIC_BYTES) && file.LE16(ICO_HEADER_RESERVED) == 0 && (type == ICO_TYPE_ICON || type == ICO_TYPE_CURSOR);
}

bool NamedIco(const std::string& fileName)
{
    const std::string_view icoSuffix = ".ico";
    return fileName.size() >= icoSuffix.size() &&
           LowerAscii(std::string_view(fileName).substr(fileName.size() - icoSuffix.size())) == icoSuffix;
}

}  // namespace

std::vector<CheckFinding> CheckIconBytes(const std::vector<std::uint8_t>& bytes, const std::string& fileName)
{
    Findings findings;
    const ByteView file(bytes);
    // Looser than the module's loader on purpose, so that a damaged header
    // still gets its family's findings: two bytes make a DiskObject, a
    // cursor's type passes for an icon's, and a name ending in ".ico" is
    // enough for the Windows checks.
    if (file.Fits(0, 2) && file.BE16(0) == DISKOBJECT_MAGIC_HIGH)
        CheckDiskObject(file, findings);
    else if (HasPngSignature(file, 0))
        CheckPng(file, findings);
    else if (StartsLikeIco(file) || NamedIco(fileName))
        CheckIco(file, findings);
    else if (file.Fits(0, MAGIC_BYTES) && file.BE32(0) == ICNS_MAGIC)
        CheckIcns(file, findings);
    return findings;
}

const SaveFormatRow* SaveFormatOfBytes(const std::vector<std::uint8_t>& bytes)
{
    const ByteView file(bytes);
    auto inContainer = [](IconContainer container, std::int32_t variant) -> const SaveFormatRow* {
        for (const SaveFormatRow& row : SaveFormatTable)
            if (row.container == container && row.variant == variant)
                return &row;
        return nullptr;
    };
    if (file.Fits(0, 2) && file.BE16(0) == DISKOBJECT_MAGIC_HIGH) {
        Findings findings;
        AmigaParts parts;
        CheckDiskObject(file, findings, &parts);
        return inContainer(CONTAINER_DISKOBJECT, parts.argb       ? AMIGA_OS40
                                                 : parts.imag     ? AMIGA_OS35
                                                 : parts.newIcons ? AMIGA_NEWICONS
                                                                  : AMIGA_CLASSIC);
    }
    if (HasPngSignature(file, 0))
        return inContainer(CONTAINER_PNG_ICON, 0);
    if (StartsLikeIco(file))
        return inContainer(CONTAINER_WINDOWS_ICON, 0);
    if (file.Fits(0, MAGIC_BYTES) && file.BE32(0) == ICNS_MAGIC)
        return inContainer(CONTAINER_MAC_ICON, 0);
    return nullptr;
}

int RunCheck(runtime::Module& module, const CommandLine& line, std::ostream& out, std::ostream& err)
{
    int status = EXIT_OK;
    for (const std::string& file : line.files) {
        SniffResult sniff = SniffFile(file);
        if (!sniff.opened) {
            err << "tessel: " << Shown(file) << ": " << sniff.error << "\n";
            status = EXIT_FAILED;
            continue;
        }
        LoadResult loaded = LoadIconFile(module, file, nullptr, Pixels::No);
        if (loaded.ok) {
            const std::size_t count = loaded.icon.images.size();
            out << Shown(file) << ": sound (" << loaded.icon.format << ", " << count << (count == 1 ? " image)\n" : " images)\n");
        } else if (sniff.format.empty()) {
            out << Shown(file) << ": " << loaded.error << "\n";
            status = EXIT_FAILED;
        } else {
            out << Shown(file) << ": damaged: " << loaded.error << "\n";
            status = EXIT_FAILED;
        }
        // The layout of a larger file is not read: its lengths would be
        // measured against a part of it.
        std::error_code sizeError;
        if (file != STANDARD_STREAM && std::filesystem::file_size(file, sizeError) > CHECK_MAX_FILE_BYTES && !sizeError) {
            out << "  note: not checked byte by byte: the file is larger than " << (CHECK_MAX_FILE_BYTES >> 20)
                << " MiB\n";
            continue;
        }
        std::vector<std::uint8_t> bytes;
        if (!ReadFileBytes(file, CHECK_MAX_FILE_BYTES, &bytes)) {
            err << "tessel: " << Shown(file) << ": cannot read (" << SystemReason(errno) << ")\n";
            status = EXIT_FAILED;
            continue;
        }
        for (const CheckFinding& finding : CheckIconBytes(bytes, file))
            out << (finding.problem ? "  problem: " : "  note: ") << finding.text << "\n";
    }
    return status;
}

}  // namespace tessel::tool
