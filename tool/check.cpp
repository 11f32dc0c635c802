// "tessel check": the verdict of the module (does the file load?) and a
// linter over the file's bytes. Each linter walks its format's containers
// with every offset checked against the bytes it has, in 64-bit arithmetic,
// and every loop consuming input or running over a bounded count.
#include "tool/check.h"

#include "tool/command_line.h"
#include "tool/commands.h"
#include "tool/icon_files.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>

namespace tessel::tool {

namespace {

using Findings = std::vector<CheckFinding>;

// A file larger than this is checked only as far as its first bytes go.
constexpr std::uint64_t CHECK_MAX_FILE_BYTES = 256ull << 20;

constexpr std::uint32_t FourCc(char a, char b, char c, char d)
{
    return (std::uint32_t{static_cast<std::uint8_t>(a)} << 24) | (std::uint32_t{static_cast<std::uint8_t>(b)} << 16) |
           (std::uint32_t{static_cast<std::uint8_t>(c)} << 8) | std::uint32_t{static_cast<std::uint8_t>(d)};
}
static_assert(FourCc('F', 'O', 'R', 'M') == 0x464F524D);

// Read-only view of the file with bounds-checked readers: a read that does
// not fit gives 0, so callers test Fits first where the answer matters.
class ByteView {
public:
    explicit ByteView(const std::vector<std::uint8_t>& bytes) : data_(bytes.data()), size_(bytes.size()) {}
    std::uint64_t Size() const { return size_; }
    bool Fits(std::uint64_t offset, std::uint64_t count) const
    {
        return offset <= size_ && count <= size_ - offset;
    }
    std::uint32_t Byte(std::uint64_t offset) const { return Fits(offset, 1) ? data_[offset] : 0; }
    std::uint32_t BE16(std::uint64_t offset) const { return Fits(offset, 2) ? (Byte(offset) << 8) | Byte(offset + 1) : 0; }
    std::uint32_t BE32(std::uint64_t offset) const
    {
        return Fits(offset, 4) ? (BE16(offset) << 16) | BE16(offset + 2) : 0;
    }
    std::uint32_t LE16(std::uint64_t offset) const { return Fits(offset, 2) ? Byte(offset) | (Byte(offset + 1) << 8) : 0; }
    std::uint32_t LE32(std::uint64_t offset) const
    {
        return Fits(offset, 4) ? LE16(offset) | (LE16(offset + 2) << 16) : 0;
    }
    const std::uint8_t* At(std::uint64_t offset) const { return data_ + offset; }

private:
    const std::uint8_t* data_;
    std::uint64_t size_;
};

void Problem(Findings& findings, std::string text) { findings.push_back({true, std::move(text)}); }
void Note(Findings& findings, std::string text) { findings.push_back({false, std::move(text)}); }

std::string Hex32(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// A four-character id in quotes, bytes outside printable ASCII as \xNN.
std::string QuotedId(std::uint32_t id)
{
    std::string text = "'";
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned c = (id >> shift) & 0xFF;
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

// ---- DiskObject ---------------------------------------------------------------
// Header 78 bytes (big-endian): 0 magic E310, 2 version 1, 12/14 gadget
// width/height, 22 image flag, 26 second-image flag, 44 user data, 50
// default-tool flag, 54 tooltypes flag, 66 drawer-data flag, 70 tool-window
// flag. Then drawer data (56), images (20-byte header + planes), texts (32-bit
// length + text with NUL), tooltypes (4 x (count + 1), then texts), the tool
// window text, second drawer data (6, newer icons with drawer data), and
// optionally a "FORM" "ICON".

constexpr std::uint64_t DO_HEADER_SIZE = 78;
constexpr std::uint64_t DO_DRAWER_DATA_SIZE = 56;
constexpr std::uint64_t DO_DRAWER_DATA2_SIZE = 6;
constexpr std::uint64_t DO_IMAGE_HEADER_SIZE = 20;
constexpr std::uint32_t DO_MAGIC = 0xE310;
constexpr std::uint32_t DO_VERSION = 1;
constexpr std::uint32_t DO_MAX_DEPTH = 8;
constexpr std::size_t NEWICONS_HEADER_CHARS = 9;   // "IM1=", pen flag, width, height, two colour digits
constexpr std::uint32_t NEWICONS_DIGIT_ZERO = 0x21;
constexpr char NEWICONS_MARKER_LINE[] = "*** DON'T EDIT THE FOLLOWING LINES!! ***";

constexpr std::uint64_t FORM_HEADER_SIZE = 12;      // "FORM", length, "ICON"
constexpr std::uint64_t CHUNK_HEADER_SIZE = 8;
constexpr std::uint64_t IMAG_HEADER_SIZE = 10;
constexpr std::uint32_t IMAG_FLAG_PALETTE = 2;
constexpr std::uint32_t IMAG_MAX_DEPTH = 8;
constexpr std::uint32_t FORM_ID = FourCc('F', 'O', 'R', 'M');
constexpr std::uint32_t ICON_ID = FourCc('I', 'C', 'O', 'N');
constexpr std::uint32_t FACE_ID = FourCc('F', 'A', 'C', 'E');
constexpr std::uint32_t IMAG_ID = FourCc('I', 'M', 'A', 'G');
constexpr std::uint32_t ARGB_ID = FourCc('A', 'R', 'G', 'B');

void CheckIconForm(const ByteView& file, std::uint64_t start, Findings& findings)
{
    if (!file.Fits(start, FORM_HEADER_SIZE) || file.BE32(start + 8) != ICON_ID) {
        Problem(findings, "FORM after the DiskObject is not an ICON FORM");
        return;
    }
    const std::uint64_t declared = file.BE32(start + 4);
    const std::uint64_t available = file.Size() - start - CHUNK_HEADER_SIZE;
    if (declared != available)
        Problem(findings, "FORM length " + Str(declared) + " disagrees with the file (" + Str(available) +
                              " bytes after the FORM header)");
    const std::uint64_t formEnd = start + CHUNK_HEADER_SIZE + std::min(declared, available);
    std::uint64_t at = start + FORM_HEADER_SIZE;
    while (at + CHUNK_HEADER_SIZE <= formEnd) {     // every turn moves at on by 8 or more
        const std::uint32_t id = file.BE32(at);
        const std::uint64_t length = file.BE32(at + 4);
        const std::uint64_t data = at + CHUNK_HEADER_SIZE;
        if (id != FACE_ID && id != IMAG_ID && id != ARGB_ID)
            Problem(findings, "unknown chunk " + QuotedId(id) + " in the FORM");
        if (length > formEnd - data) {
            Problem(findings, "chunk " + QuotedId(id) + " (" + Str(length) + " bytes) runs past the FORM");
            return;
        }
        if (id == IMAG_ID) {
            if (length < IMAG_HEADER_SIZE) {
                Problem(findings, "IMAG chunk of " + Str(length) + " bytes is shorter than its header");
            } else {
                const std::uint32_t depth = file.Byte(data + 5);
                if (depth < 1 || depth > IMAG_MAX_DEPTH)
                    Problem(findings, "IMAG depth " + Str(depth) + " outside 1..8");
                const std::uint64_t imageBytes = file.BE16(data + 6) + 1ull;
                const std::uint64_t paletteBytes =
                    (file.Byte(data + 2) & IMAG_FLAG_PALETTE) ? file.BE16(data + 8) + 1ull : 0;
                if (IMAG_HEADER_SIZE + imageBytes + paletteBytes > length)
                    Problem(findings, "IMAG counts (" + Str(imageBytes) + " image, " + Str(paletteBytes) +
                                          " palette bytes) larger than the chunk (" + Str(length) + " bytes)");
            }
        }
        at = data + length + (length & 1);
    }
    if (at < formEnd)
        Problem(findings, Str(formEnd - at) + " stray bytes at the end of the FORM");
}

// Where a DiskObject text ends, or 0 (and a finding) when it cannot be read.
std::uint64_t CheckText(const ByteView& file, std::uint64_t at, const std::string& what, std::string* text,
                        Findings& findings)
{
    if (!file.Fits(at, 4)) {
        Problem(findings, what + " length cut off by the end of the file");
        return 0;
    }
    const std::uint64_t length = file.BE32(at);
    if (!file.Fits(at + 4, length)) {
        Problem(findings, what + " length " + Str(length) + " runs past the end of the file (" +
                              Str(file.Size() - at - 4) + " bytes left)");
        return 0;
    }
    if (length == 0 || file.Byte(at + 4 + length - 1) != 0)
        Problem(findings, what + " text without NUL");
    const auto* first = reinterpret_cast<const char*>(file.At(at + 4));
    text->assign(first, first + length);
    if (const std::size_t nul = text->find('\0'); nul != std::string::npos)
        text->resize(nul);
    return at + 4 + length;
}

void CheckNewIcons(const std::vector<std::string>& toolTypes, Findings& findings)
{
    std::size_t marker = toolTypes.size();
    for (std::size_t i = 0; i < toolTypes.size() && marker == toolTypes.size(); ++i) {
        if (toolTypes[i] == NEWICONS_MARKER_LINE)
            marker = i;
    }
    if (marker == toolTypes.size())
        return;
    if (marker == 0 || toolTypes[marker - 1] != " ")
        Problem(findings, "NewIcons marker without a \" \" line before it");
    for (const char* prefix : {"IM1=", "IM2="}) {
        // The first line of each image carries its header.
        for (std::size_t i = marker + 1; i < toolTypes.size(); ++i) {
            const std::string& line = toolTypes[i];
            if (line.rfind(prefix, 0) != 0)
                continue;
            const std::string name(prefix, 3);
            if (line.size() < NEWICONS_HEADER_CHARS) {
                Problem(findings, "NewIcons " + name + " header shorter than 9 characters");
            } else {
                const int width = static_cast<int>(static_cast<std::uint8_t>(line[5])) - NEWICONS_DIGIT_ZERO;
                const int height = static_cast<int>(static_cast<std::uint8_t>(line[6])) - NEWICONS_DIGIT_ZERO;
                if (width < 1 || height < 1)
                    Problem(findings, "NewIcons " + name + " size " + std::to_string(width) + "x" +
                                          std::to_string(height) + " below 1");
            }
            break;
        }
    }
}

void CheckDiskObject(const ByteView& file, Findings& findings)
{
    if (file.Size() < DO_HEADER_SIZE) {
        Problem(findings, "header cut short: " + Str(file.Size()) + " bytes, a DiskObject needs 78");
        return;
    }
    if (file.BE16(0) != DO_MAGIC || file.BE16(2) != DO_VERSION)
        Problem(findings, "header magic/version " + Hex32(file.BE32(0)) + " is not E3100001");
    const std::uint32_t gadgetWidth = file.BE16(12), gadgetHeight = file.BE16(14);
    const std::uint32_t userData = file.BE32(44);
    // Only a word of 0 marks an old-style icon; readers take any other as new.
    if (userData > 1) {
        if ((userData & 0xFF) <= 1)
            Note(findings, "user-data word " + Hex32(userData) + " has junk in its upper bytes");
        else
            Note(findings, "user-data word " + Hex32(userData) + " is neither 0 nor 1");
    }
    const bool oldStyle = userData == 0;
    const bool hasDrawerData = file.BE32(66) != 0;
    std::uint64_t at = DO_HEADER_SIZE;
    if (hasDrawerData) {
        if (!file.Fits(at, DO_DRAWER_DATA_SIZE)) {
            Problem(findings, "drawer data runs past the end of the file");
            return;
        }
        at += DO_DRAWER_DATA_SIZE;
    }
    const std::uint32_t imageFlags[2] = {file.BE32(22), file.BE32(26)};
    for (int i = 0; i < 2; ++i) {
        if (imageFlags[i] == 0)
            continue;
        if (!file.Fits(at, DO_IMAGE_HEADER_SIZE)) {
            Problem(findings, "image " + Str(i + 1) + " header runs past the end of the file");
            return;
        }
        const std::uint32_t left = file.BE16(at), top = file.BE16(at + 2);
        const std::uint32_t width = file.BE16(at + 4), height = file.BE16(at + 6), depth = file.BE16(at + 8);
        if (width > gadgetWidth || height > gadgetHeight)
            Problem(findings, "image " + Str(i + 1) + " (" + Str(width) + "x" + Str(height) + " at " + Str(left) + "," +
                                  Str(top) + ") larger than gadget " + Str(gadgetWidth) + "x" + Str(gadgetHeight));
        if (depth > DO_MAX_DEPTH)
            Problem(findings, "image " + Str(i + 1) + " plane depth " + Str(depth) + " above 8");
        const std::uint64_t planeBytes = (width + 15ull) / 16 * 2 * height * depth;
        at += DO_IMAGE_HEADER_SIZE;
        if (!file.Fits(at, planeBytes)) {
            Problem(findings, "image " + Str(i + 1) + " planes (" + Str(planeBytes) + " bytes) run past the end of the file");
            return;
        }
        at += planeBytes;
    }
    std::string text;
    if (file.BE32(50) != 0 && (at = CheckText(file, at, "default tool", &text, findings)) == 0)
        return;
    if (file.BE32(54) != 0) {
        if (!file.Fits(at, 4)) {
            Problem(findings, "tooltype count cut off by the end of the file");
            return;
        }
        const std::uint32_t word = file.BE32(at);
        if (word < 4 || word % 4 != 0)
            Problem(findings, "tooltype count word " + Hex32(word) + " is not 4 x (tooltypes + 1)");
        const std::uint64_t count = word / 4 > 0 ? word / 4 - 1 : 0;
        at += 4;
        std::vector<std::string> toolTypes;
        for (std::uint64_t i = 0; i < count; ++i) {     // each turn consumes 4 bytes or more
            if ((at = CheckText(file, at, "tooltype " + Str(i), &text, findings)) == 0)
                return;
            if (text.empty())
                Note(findings, "tooltype " + Str(i) + " is empty");
            toolTypes.push_back(text);
        }
        CheckNewIcons(toolTypes, findings);
    }
    if (file.BE32(70) != 0 && (at = CheckText(file, at, "tool window", &text, findings)) == 0)
        return;
    if (hasDrawerData && !oldStyle) {
        if (!file.Fits(at, DO_DRAWER_DATA2_SIZE)) {
            Problem(findings, "second drawer data runs past the end of the file");
            return;
        }
        at += DO_DRAWER_DATA2_SIZE;
    }
    if (at == file.Size())
        return;
    if (file.Fits(at, 4) && file.BE32(at) == FORM_ID)
        CheckIconForm(file, at, findings);
    else
        Note(findings, Str(file.Size() - at) + " non-FORM bytes after the DiskObject");
}

// ---- PNG icon -------------------------------------------------------------------
// Signature, then chunks: 32-bit length, id, data, CRC of id and data. An
// icon's "icOn" chunk holds items: a 32-bit tag, then a 32-bit value or, for
// the default tool and tooltypes, a NUL-terminated text.

constexpr std::array<std::uint8_t, 8> PngSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint32_t IEND_ID = FourCc('I', 'E', 'N', 'D');
constexpr std::uint32_t ICON_CHUNK_ID = FourCc('i', 'c', 'O', 'n');
constexpr std::uint32_t ICON_TAG_FIRST = 0x80001001;
constexpr std::uint32_t ICON_TAG_LAST = 0x80001012;
constexpr std::uint32_t ICON_TAG_EXTRA = 0x80001107;
constexpr std::uint32_t ICON_TAG_DRAWER_FLAGS = 0x80001007;
constexpr std::uint32_t ICON_TAG_DEFAULT_TOOL = 0x8000100A;
constexpr std::uint32_t ICON_TAG_TOOL_TYPE = 0x8000100B;
constexpr std::uint32_t ICON_DRAWER_FLAG_BITS = 0xF;
constexpr int PNG_MAX_STREAMS = 16;

std::uint32_t Crc32(const std::uint8_t* data, std::uint64_t count)
{
    static const auto Table = [] {
        std::array<std::uint32_t, 256> table{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        return table;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint64_t i = 0; i < count; ++i)
        crc = Table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

bool HasPngSignature(const ByteView& file, std::uint64_t at)
{
    if (!file.Fits(at, PngSignature.size()))
        return false;
    for (std::size_t i = 0; i < PngSignature.size(); ++i) {
        if (file.Byte(at + i) != PngSignature[i])
            return false;
    }
    return true;
}

void CheckIconItems(const ByteView& file, std::uint64_t at, std::uint64_t end, const std::string& where,
                    Findings& findings)
{
    while (at < end) {                              // every turn consumes the tag at least
        if (end - at < 4) {
            Problem(findings, where + "icOn item runs past the chunk");
            return;
        }
        const std::uint32_t tag = file.BE32(at);
        at += 4;
        if ((tag < ICON_TAG_FIRST || tag > ICON_TAG_LAST) && tag != ICON_TAG_EXTRA) {
            // Items carry no length: nothing after an unknown tag can be found.
            Problem(findings, where + "icOn tag " + Hex32(tag) + " outside the table");
            return;
        }
        if (tag == ICON_TAG_DEFAULT_TOOL || tag == ICON_TAG_TOOL_TYPE) {
            std::uint64_t nul = at;
            while (nul < end && file.Byte(nul) != 0)
                ++nul;
            if (nul == end) {
                Problem(findings, where + "icOn text of tag " + Hex32(tag) + " runs past the chunk");
                return;
            }
            at = nul + 1;
            continue;
        }
        if (end - at < 4) {
            Problem(findings, where + "icOn item " + Hex32(tag) + " runs past the chunk");
            return;
        }
        const std::uint32_t value = file.BE32(at);
        at += 4;
        if (tag == ICON_TAG_DRAWER_FLAGS && (value & ~ICON_DRAWER_FLAG_BITS) != 0)
            Note(findings, where + "icOn drawer flags " + Hex32(value) + " use bits above bit 3");
    }
}

// Checks one PNG datastream from at; returns where it ended (after IEND), or
// 0 when it could not be followed to its end.
std::uint64_t CheckPngStream(const ByteView& file, std::uint64_t at, const std::string& where, Findings& findings)
{
    at += PngSignature.size();
    while (true) {                                  // every turn consumes 12 bytes or more
        if (!file.Fits(at, CHUNK_HEADER_SIZE)) {
            Problem(findings, where + "no IEND chunk before the end of the file");
            return 0;
        }
        const std::uint64_t length = file.BE32(at);
        const std::uint32_t id = file.BE32(at + 4);
        if (!file.Fits(at + CHUNK_HEADER_SIZE, length + 4ull)) {
            Problem(findings, where + "chunk " + QuotedId(id) + " (" + Str(length) + " bytes) runs past the end of the file");
            return 0;
        }
        const std::uint64_t data = at + CHUNK_HEADER_SIZE;
        if (Crc32(file.At(at + 4), length + 4) != file.BE32(data + length))
            Problem(findings, where + "CRC error in chunk " + QuotedId(id));
        if (id == ICON_CHUNK_ID)
            CheckIconItems(file, data, data + length, where, findings);
        at = data + length + 4;
        if (id == IEND_ID)
            return at;
    }
}

void CheckPng(const ByteView& file, Findings& findings)
{
    std::uint64_t at = 0;
    for (int stream = 0; stream < PNG_MAX_STREAMS; ++stream) {
        const std::string where = stream == 0 ? "" : "PNG " + Str(stream + 1) + ": ";
        at = CheckPngStream(file, at, where, findings);
        if (at == 0 || at == file.Size())
            return;
        if (!HasPngSignature(file, at)) {
            if (file.Fits(at, CHUNK_HEADER_SIZE))
                Problem(findings, where + "chunks after IEND (" + Str(file.Size() - at) + " bytes, starting " +
                                      QuotedId(file.BE32(at + 4)) + ")");
            else
                Problem(findings, where + Str(file.Size() - at) + " bytes after IEND");
            return;
        }
        Note(findings, "a second PNG datastream follows at byte " + Str(at));
    }
}

// ---- Windows icon ---------------------------------------------------------------
// Header 6 bytes (little-endian): reserved 0, type 1, entry count. Entries
// 16 bytes: width, height (0 means 256), colours, reserved, planes, bit
// count, data size, data offset. Data is a PNG or a bitmap header (40 bytes:
// size, width, height of image and mask, planes, bit count, compression, ...,
// colours used at 32) with palette, colour rows and a 1-bit AND mask.

constexpr std::uint64_t ICO_HEADER_SIZE = 6;
constexpr std::uint64_t ICO_ENTRY_SIZE = 16;
constexpr std::uint64_t ICO_BITMAP_HEADER_SIZE = 40;
constexpr std::uint32_t ICO_TYPE_ICON = 1;
constexpr std::uint64_t PNG_IHDR_WIDTH_OFFSET = 16;
// Bitmap sides above this (a negative height read unsigned, say) are only
// reported, so the byte counts below stay far inside 64 bits.
constexpr std::uint64_t ICO_MAX_BITMAP_SIDE = 1u << 20;

std::uint64_t IcoSide(std::uint32_t directoryByte) { return directoryByte == 0 ? 256 : directoryByte; }

void CheckIcoBitmap(const ByteView& file, std::uint64_t entry, std::uint64_t offset, std::uint64_t size,
                    Findings& findings)
{
    const std::string name = "entry " + Str(entry) + ": ";
    const std::uint64_t dirWidth = IcoSide(file.Byte(ICO_HEADER_SIZE + entry * ICO_ENTRY_SIZE));
    const std::uint64_t dirHeight = IcoSide(file.Byte(ICO_HEADER_SIZE + entry * ICO_ENTRY_SIZE + 1));
    if (HasPngSignature(file, offset)) {
        if (size < PNG_IHDR_WIDTH_OFFSET + 8) {
            Problem(findings, name + "PNG too short for its header");
            return;
        }
        const std::uint64_t width = file.BE32(offset + PNG_IHDR_WIDTH_OFFSET);
        const std::uint64_t height = file.BE32(offset + PNG_IHDR_WIDTH_OFFSET + 4);
        if (width != dirWidth || height != dirHeight)
            Problem(findings, name + "PNG is " + Str(width) + "x" + Str(height) + ", directory says " +
                                  Str(dirWidth) + "x" + Str(dirHeight));
        return;
    }
    if (size < ICO_BITMAP_HEADER_SIZE) {
        Problem(findings, name + "too short (" + Str(size) + " bytes) for a bitmap header");
        return;
    }
    const std::uint64_t headerSize = file.LE32(offset);
    const std::uint64_t width = file.LE32(offset + 4);
    const std::uint64_t fullHeight = file.LE32(offset + 8);
    const std::uint32_t bitCount = file.LE16(offset + 14);
    const std::uint64_t coloursUsed = file.LE32(offset + 32);
    const std::uint32_t dirBitCount = file.LE16(ICO_HEADER_SIZE + entry * ICO_ENTRY_SIZE + 6);
    // The bitmap's height counts the colour rows and the mask rows: twice the size.
    if (width != dirWidth || fullHeight / 2 != dirHeight || fullHeight % 2 != 0) {
        const bool notDoubled = fullHeight == dirHeight && dirWidth == dirHeight;
        Problem(findings, name + "bitmap " + Str(width) + "x" + Str(fullHeight / 2) + ", directory " +
                              Str(dirWidth) + "x" + Str(dirHeight) +
                              (notDoubled ? " (bitmap height " + Str(fullHeight) + " is not twice the size)" : ""));
    }
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32) {
        Problem(findings, name + "bit count " + Str(bitCount) + " is not one the format has");
        return;
    }
    if (dirBitCount != 0 && dirBitCount != bitCount)
        Note(findings, name + "directory bit count " + Str(dirBitCount) + ", bitmap " + Str(bitCount));
    if (width > ICO_MAX_BITMAP_SIDE || fullHeight > 2 * ICO_MAX_BITMAP_SIDE)
        return;                                     // reported above; its byte count would mean nothing
    const std::uint64_t height = fullHeight / 2;
    const std::uint64_t paletteColours = bitCount > 8 ? 0 : (coloursUsed != 0 ? coloursUsed : 1ull << bitCount);
    const std::uint64_t colourBytes = (width * bitCount + 31) / 32 * 4 * height;
    const std::uint64_t maskBytes = (width + 31) / 32 * 4 * height;
    const std::uint64_t needed = headerSize + paletteColours * 4 + colourBytes + maskBytes;
    if (bitCount == 32 && size == needed - maskBytes)
        Note(findings, name + "32-bit bitmap without AND mask");
    if (size < needed)
        Problem(findings, name + "needs " + Str(needed) + " bytes, size field " + Str(size));
    else if (size > needed)
        Note(findings, name + Str(size - needed) + " spare bytes");
}

void CheckIco(const ByteView& file, Findings& findings)
{
    if (!file.Fits(0, ICO_HEADER_SIZE)) {
        Problem(findings, "header cut short: " + Str(file.Size()) + " bytes");
        return;
    }
    if (file.LE16(0) != 0)
        Problem(findings, "reserved field " + Str(file.LE16(0)) + ", not 0");
    if (file.LE16(2) != ICO_TYPE_ICON)
        Problem(findings, "type field " + Str(file.LE16(2)) + ", not 1 (icon)");
    const std::uint64_t count = file.LE16(4);
    if (count == 0) {
        Problem(findings, "entry count 0");
        return;
    }
    if (!file.Fits(ICO_HEADER_SIZE, count * ICO_ENTRY_SIZE)) {
        Problem(findings, "directory of " + Str(count) + " entries runs past the end of the file");
        return;
    }
    std::uint64_t lastEnd = ICO_HEADER_SIZE + count * ICO_ENTRY_SIZE;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t entry = ICO_HEADER_SIZE + i * ICO_ENTRY_SIZE;
        if (const std::uint32_t reserved = file.Byte(entry + 3); reserved != 0)
            Note(findings, "entry " + Str(i) + " reserved byte " + Str(reserved));
        const std::uint64_t size = file.LE32(entry + 8);
        const std::uint64_t offset = file.LE32(entry + 12);
        if (!file.Fits(offset, size)) {
            Problem(findings, "entry " + Str(i) + ": offset " + Str(offset) + " and size " + Str(size) +
                                  " run past the end of the file (" + Str(file.Size()) + " bytes)");
            continue;
        }
        lastEnd = std::max(lastEnd, offset + size);
        CheckIcoBitmap(file, i, offset, size, findings);
    }
    if (lastEnd < file.Size())
        Note(findings, Str(file.Size() - lastEnd) + " bytes after the last entry");
}

// ---- macOS icon -----------------------------------------------------------------
// Header 8 bytes (big-endian): "icns", total length. Entries: type, length
// counting its own 8-byte header, data.

constexpr std::uint64_t ICNS_HEADER_SIZE = 8;
constexpr std::uint32_t IcnsKnownTypes[] = {
    FourCc('i', 'c', 's', '#'), FourCc('i', 'c', 's', '4'), FourCc('i', 'c', 's', '8'), FourCc('i', 's', '3', '2'),
    FourCc('s', '8', 'm', 'k'), FourCc('I', 'C', 'N', '#'), FourCc('i', 'c', 'l', '4'), FourCc('i', 'c', 'l', '8'),
    FourCc('i', 'l', '3', '2'), FourCc('l', '8', 'm', 'k'), FourCc('i', 'c', 'h', '#'), FourCc('i', 'c', 'h', '4'),
    FourCc('i', 'c', 'h', '8'), FourCc('i', 'h', '3', '2'), FourCc('h', '8', 'm', 'k'), FourCc('i', 't', '3', '2'),
    FourCc('t', '8', 'm', 'k'), FourCc('i', 'c', 'm', '#'), FourCc('i', 'c', 'm', '4'), FourCc('i', 'c', 'm', '8'),
    FourCc('i', 'c', 'p', '4'), FourCc('i', 'c', 'p', '5'), FourCc('i', 'c', 'p', '6'), FourCc('i', 'c', '0', '4'),
    FourCc('i', 'c', '0', '5'), FourCc('i', 'c', '0', '7'), FourCc('i', 'c', '0', '8'), FourCc('i', 'c', '0', '9'),
    FourCc('i', 'c', '1', '0'), FourCc('i', 'c', '1', '1'), FourCc('i', 'c', '1', '2'), FourCc('i', 'c', '1', '3'),
    FourCc('i', 'c', '1', '4'), FourCc('i', 'c', 's', 'b'), FourCc('i', 'c', 's', 'B'), FourCc('s', 'b', '2', '4'),
    FourCc('S', 'B', '2', '4'), FourCc('T', 'O', 'C', ' '), FourCc('i', 'c', 'n', 'V'), FourCc('n', 'a', 'm', 'e'),
    FourCc('i', 'n', 'f', 'o'), FourCc('s', 'b', 't', 'p'), FourCc('s', 'l', 'c', 't'), FourCc('I', 'C', 'O', 'N'),
    FourCc(static_cast<char>(0xFD), static_cast<char>(0xD9), static_cast<char>(0x2F), static_cast<char>(0xA8)),
};

struct MaskPair {
    std::uint32_t mask;
    std::uint32_t image;
    std::uint32_t otherImage;   // 16 and 32: the newer 'icp4'/'icp5' may hold run-length colour too; else 0
};
constexpr MaskPair IcnsMaskPairs[] = {
    // mask, the image it belongs to, another image it may belong to
    {FourCc('s', '8', 'm', 'k'), FourCc('i', 's', '3', '2'), FourCc('i', 'c', 'p', '4')},
    {FourCc('l', '8', 'm', 'k'), FourCc('i', 'l', '3', '2'), FourCc('i', 'c', 'p', '5')},
    {FourCc('h', '8', 'm', 'k'), FourCc('i', 'h', '3', '2'), 0},
    {FourCc('t', '8', 'm', 'k'), FourCc('i', 't', '3', '2'), 0},
};

void CheckIcns(const ByteView& file, Findings& findings)
{
    if (!file.Fits(0, ICNS_HEADER_SIZE)) {
        Problem(findings, "header cut short: " + Str(file.Size()) + " bytes");
        return;
    }
    const std::uint64_t declared = file.BE32(4);
    if (declared != file.Size())
        Problem(findings, "header length " + Str(declared) + " disagrees with the file (" + Str(file.Size()) + " bytes)");
    std::vector<std::uint32_t> types;
    std::uint64_t at = ICNS_HEADER_SIZE;
    while (file.Size() - at >= ICNS_HEADER_SIZE) {  // every turn consumes 8 bytes or more
        const std::uint32_t type = file.BE32(at);
        const std::uint64_t length = file.BE32(at + 4);
        if (std::find(std::begin(IcnsKnownTypes), std::end(IcnsKnownTypes), type) == std::end(IcnsKnownTypes))
            Problem(findings, "entry " + QuotedId(type) + " has a type outside the known table");
        if (length < ICNS_HEADER_SIZE) {
            Problem(findings, "entry " + QuotedId(type) + " length " + Str(length) + " below 8");
            return;
        }
        if (!file.Fits(at, length)) {
            Problem(findings, "entry " + QuotedId(type) + " runs past the end of the file");
            return;
        }
        types.push_back(type);
        at += length;
    }
    if (at < file.Size())
        Note(findings, Str(file.Size() - at) + " stray bytes after the last entry");
    for (const MaskPair& pair : IcnsMaskPairs) {
        const bool hasMask = std::find(types.begin(), types.end(), pair.mask) != types.end();
        const bool hasImage = std::find(types.begin(), types.end(), pair.image) != types.end() ||
                              (pair.otherImage != 0 &&
                               std::find(types.begin(), types.end(), pair.otherImage) != types.end());
        if (hasMask && !hasImage)
            Problem(findings, "mask " + QuotedId(pair.mask) + " without its image " + QuotedId(pair.image));
    }
}

// Reads the file, at most CHECK_MAX_FILE_BYTES of it.
bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>* bytes)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
        return false;
    stream.seekg(0, std::ios::end);
    const std::streamoff size = stream.tellg();
    stream.seekg(0, std::ios::beg);
    if (size < 0 || !stream)
        return false;
    bytes->resize(static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(size), CHECK_MAX_FILE_BYTES)));
    stream.read(reinterpret_cast<char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
    bytes->resize(static_cast<std::size_t>(stream.gcount()));
    return !stream.bad();
}

}  // namespace

std::vector<CheckFinding> CheckIconBytes(const std::vector<std::uint8_t>& bytes, const std::string& fileName)
{
    const std::string icoSuffix = ".ico";
    const bool namedIco = fileName.size() >= icoSuffix.size() &&
                          std::equal(icoSuffix.rbegin(), icoSuffix.rend(), fileName.rbegin(), [](char a, char b) {
                              return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
                          });
    Findings findings;
    const ByteView file(bytes);
    const std::uint32_t magic = file.BE32(0);
    if (bytes.size() >= 2 && file.BE16(0) == DO_MAGIC)
        CheckDiskObject(file, findings);
    else if (HasPngSignature(file, 0))
        CheckPng(file, findings);
    else if ((bytes.size() >= 4 && (magic == 0x00000100 || magic == 0x00000200)) || namedIco)
        CheckIco(file, findings);
    else if (bytes.size() >= 4 && magic == FourCc('i', 'c', 'n', 's'))
        CheckIcns(file, findings);
    return findings;
}

int RunCheck(runtime::Module& module, const CommandLine& line, std::ostream& out, std::ostream& err)
{
    int status = EXIT_OK;
    for (const std::string& file : line.files) {
        SniffResult sniff = SniffFile(file);
        if (!sniff.opened) {
            err << "tessel: " << file << ": " << sniff.error << "\n";
            status = EXIT_FAILED;
            continue;
        }
        LoadResult loaded = LoadIconFile(module, file);
        if (loaded.ok) {
            const std::size_t count = loaded.icon.images.size();
            out << file << ": sound (" << loaded.icon.format << ", " << count << (count == 1 ? " image)\n" : " images)\n");
        } else if (sniff.format.empty()) {
            out << file << ": " << loaded.error << "\n";
            status = EXIT_FAILED;
        } else {
            out << file << ": damaged: " << loaded.error << "\n";
            status = EXIT_FAILED;
        }
        std::vector<std::uint8_t> bytes;
        if (!ReadWholeFile(file, &bytes)) {
            err << "tessel: " << file << ": cannot read (" << SystemReason(errno) << ")\n";
            status = EXIT_FAILED;
            continue;
        }
        for (const CheckFinding& finding : CheckIconBytes(bytes, file))
            out << (finding.problem ? "  problem: " : "  note: ") << finding.text << "\n";
    }
    return status;
}

}  // namespace tessel::tool
