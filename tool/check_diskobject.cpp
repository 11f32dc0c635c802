// The checks of a DiskObject icon, with the NewIcons images in its tooltypes
// and the "FORM" "ICON" that may follow it.
//
// Header 78 bytes (big-endian): 0 magic E310, 2 version 1, 12/14 gadget
// width/height, 22 image flag, 26 second-image flag, 44 user data, 50
// default-tool flag, 54 tooltypes flag, 66 drawer-data flag, 70 tool-window
// flag. Then drawer data (56), images (20-byte header + planes), texts (32-bit
// length + text with NUL), tooltypes (4 x (count + 1), then texts), the tool
// window text, second drawer data (6, newer icons with drawer data), and
// optionally a "FORM" "ICON": chunks of an id, a 32-bit length counting the
// data only, the data and a pad byte when the length is odd.
#include "formats/amiga/amiga_icon.h"
#include "formats/amiga/icon_chunk_layout.h"
#include "tool/check_bytes.h"

#include <algorithm>

namespace tessel::tool::check {

namespace {

// The tooltypes' count word, 4 x (tooltypes + 1), is a 32-bit word.
constexpr std::uint64_t DISKOBJECT_TOOL_TYPES_WORD_SIZE = 4;
// A FORM's type follows its id and length.
constexpr std::uint64_t ICON_FORM_TYPE_OFFSET = ICON_CHUNK_HEADER_SIZE;
constexpr std::uint64_t ICON_CHUNK_ID_SIZE = ICON_CHUNK_LENGTH;

void CheckIconForm(const ByteView& file, std::uint64_t start, Findings& findings, AmigaParts& parts)
{
    if (!file.Fits(start, ICON_FORM_HEADER_SIZE) || file.BE32(start + ICON_FORM_TYPE_OFFSET) != ICON_FORM_TYPE) {
        Problem(findings, "FORM after the DiskObject is not an ICON FORM");
        return;
    }
    const std::uint64_t declared = file.BE32(start + ICON_CHUNK_LENGTH);
    const std::uint64_t available = file.Size() - start - ICON_CHUNK_HEADER_SIZE;
    if (declared != available)
        Problem(findings, "FORM length " + Str(declared) + " disagrees with the file (" + Str(available) +
                              " bytes after the FORM header)");
    const std::uint64_t formEnd = start + ICON_CHUNK_HEADER_SIZE + std::min(declared, available);
    std::uint64_t at = start + ICON_FORM_HEADER_SIZE;
    while (at + ICON_CHUNK_HEADER_SIZE <= formEnd) {     // every turn moves at on by 8 or more
        const std::uint32_t id = file.BE32(at);
        const std::uint64_t length = file.BE32(at + ICON_CHUNK_LENGTH);
        const std::uint64_t data = at + ICON_CHUNK_HEADER_SIZE;
        if (id != ICON_CHUNK_FACE && id != ICON_CHUNK_IMAG && id != ICON_CHUNK_ARGB)
            Problem(findings, "unknown chunk " + QuotedId(id) + " in the FORM");
        if (length > formEnd - data) {
            Problem(findings, "chunk " + QuotedId(id) + " (" + Str(length) + " bytes) runs past the FORM");
            return;
        }
        parts.imag = parts.imag || id == ICON_CHUNK_IMAG;
        parts.argb = parts.argb || id == ICON_CHUNK_ARGB;
        if (id == ICON_CHUNK_IMAG) {
            if (length < ICON_IMAG_HEADER_SIZE) {
                Problem(findings, "IMAG chunk of " + Str(length) + " bytes is shorter than its header");
            } else {
                const std::uint32_t depth = file.Byte(data + ICON_IMAG_DEPTH);
                if (depth < 1 || depth > ICON_IMAG_MAX_DEPTH)
                    Problem(findings, "IMAG depth " + Str(depth) + " outside 1..8");
                const std::uint64_t imageBytes = file.BE16(data + ICON_IMAG_IMAGE_BYTES) + 1ull;
                const std::uint64_t paletteBytes = (file.Byte(data + ICON_IMAG_FLAGS) & ICON_IMAG_FLAG_PALETTE)
                                                       ? file.BE16(data + ICON_IMAG_PALETTE_BYTES) + 1ull
                                                       : 0;
                if (ICON_IMAG_HEADER_SIZE + imageBytes + paletteBytes > length)
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
    if (!file.Fits(at, DISKOBJECT_TEXT_LENGTH_SIZE)) {
        Problem(findings, what + " length cut off by the end of the file");
        return 0;
    }
    const std::uint64_t length = file.BE32(at);
    const std::uint64_t textStart = at + DISKOBJECT_TEXT_LENGTH_SIZE;
    if (!file.Fits(textStart, length)) {
        Problem(findings, what + " length " + Str(length) + " runs past the end of the file (" +
                              Str(file.Size() - textStart) + " bytes left)");
        return 0;
    }
    if (length == 0 || file.Byte(textStart + length - 1) != 0)
        Problem(findings, what + " text without NUL");
    const auto* first = reinterpret_cast<const char*>(file.At(textStart));
    text->assign(first, first + length);
    if (const std::size_t nul = text->find('\0'); nul != std::string::npos)
        text->resize(nul);
    return textStart + length;
}

void CheckNewIcons(const std::vector<std::string>& toolTypes, Findings& findings, AmigaParts& parts)
{
    std::size_t marker = toolTypes.size();
    for (std::size_t i = 0; i < toolTypes.size() && marker == toolTypes.size(); ++i) {
        if (toolTypes[i] == NEWICONS_MARKER)
            marker = i;
    }
    if (marker == toolTypes.size())
        return;
    parts.newIcons = true;
    if (marker == 0 || toolTypes[marker - 1] != " ")
        Problem(findings, "NewIcons marker without a \" \" line before it");
    for (const char* prefix : {"IM1=", "IM2="}) {
        // The first line of each image carries its header. The walk starts
        // at the marker, which never carries the prefix.
        for (std::size_t i = marker; i < toolTypes.size(); ++i) {
            const std::string& line = toolTypes[i];
            if (line.rfind(prefix, 0) != 0)
                continue;
            const std::string name(prefix, 3);
            if (line.size() < NEWICONS_HEADER_LENGTH) {
                Problem(findings, "NewIcons " + name + " header shorter than 9 characters");
            } else {
                const int width =
                    static_cast<int>(static_cast<std::uint8_t>(line[NEWICONS_WIDTH])) - NEWICONS_HEADER_BIAS;
                const int height =
                    static_cast<int>(static_cast<std::uint8_t>(line[NEWICONS_HEIGHT])) - NEWICONS_HEADER_BIAS;
                if (width < 1 || height < 1)
                    Problem(findings, "NewIcons " + name + " size " + std::to_string(width) + "x" +
                                          std::to_string(height) + " below 1");
            }
            break;
        }
    }
}

}  // namespace

void CheckDiskObject(const ByteView& file, Findings& findings, AmigaParts* found)
{
    AmigaParts scratch;
    AmigaParts& parts = found ? *found : scratch;
    if (file.Size() < DISKOBJECT_HEADER_SIZE) {
        Problem(findings, "header cut short: " + Str(file.Size()) + " bytes, a DiskObject needs 78");
        return;
    }
    if (file.BE32(DISKOBJECT_MAGIC_WORD) != DISKOBJECT_MAGIC)
        Problem(findings, "header magic/version " + Hex32(file.BE32(DISKOBJECT_MAGIC_WORD)) + " is not E3100001");
    const std::uint32_t gadgetWidth = file.BE16(DISKOBJECT_GADGET_WIDTH);
    const std::uint32_t gadgetHeight = file.BE16(DISKOBJECT_GADGET_HEIGHT);
    const std::uint32_t userData = file.BE32(DISKOBJECT_USER_DATA);
    // Only a word of 0 marks an old-style icon; readers take any other as new.
    if (userData > 1) {
        if ((userData & 0xFF) <= 1)
            Note(findings, "user-data word " + Hex32(userData) + " has junk in its upper bytes");
        else
            Note(findings, "user-data word " + Hex32(userData) + " is neither 0 nor 1");
    }
    const bool oldStyle = userData == 0;
    const bool hasDrawerData = file.BE32(DISKOBJECT_DRAWER_DATA_FLAG) != 0;
    std::uint64_t at = DISKOBJECT_HEADER_SIZE;
    if (hasDrawerData) {
        if (!file.Fits(at, DISKOBJECT_DRAWER_DATA_SIZE)) {
            Problem(findings, "drawer data runs past the end of the file");
            return;
        }
        at += DISKOBJECT_DRAWER_DATA_SIZE;
    }
    const std::uint32_t imageFlags[2] = {file.BE32(DISKOBJECT_IMAGE_FLAG), file.BE32(DISKOBJECT_SECOND_IMAGE_FLAG)};
    for (int i = 0; i < 2; ++i) {
        if (imageFlags[i] == 0)
            continue;
        if (!file.Fits(at, DISKOBJECT_IMAGE_HEADER_SIZE)) {
            Problem(findings, "image " + Str(i + 1) + " header runs past the end of the file");
            return;
        }
        const std::uint32_t left = file.BE16(at + DISKOBJECT_IMAGE_LEFT);
        const std::uint32_t top = file.BE16(at + DISKOBJECT_IMAGE_TOP);
        const std::uint32_t width = file.BE16(at + DISKOBJECT_IMAGE_WIDTH);
        const std::uint32_t height = file.BE16(at + DISKOBJECT_IMAGE_HEIGHT);
        const std::uint32_t depth = file.BE16(at + DISKOBJECT_IMAGE_DEPTH);
        if (width > gadgetWidth || height > gadgetHeight)
            Problem(findings, "image " + Str(i + 1) + " (" + Str(width) + "x" + Str(height) + " at " + Str(left) + "," +
                                  Str(top) + ") larger than gadget " + Str(gadgetWidth) + "x" + Str(gadgetHeight));
        if (depth > DISKOBJECT_MAX_DEPTH)
            Problem(findings, "image " + Str(i + 1) + " plane depth " + Str(depth) + " above 8");
        // Each plane: height rows of whole 16-bit words.
        const std::uint64_t planeBytes = (width + 15ull) / 16 * 2 * height * depth;
        at += DISKOBJECT_IMAGE_HEADER_SIZE;
        if (!file.Fits(at, planeBytes)) {
            Problem(findings, "image " + Str(i + 1) + " planes (" + Str(planeBytes) + " bytes) run past the end of the file");
            return;
        }
        at += planeBytes;
    }
    std::string text;
    if (file.BE32(DISKOBJECT_DEFAULT_TOOL_FLAG) != 0 && (at = CheckText(file, at, "default tool", &text, findings)) == 0)
        return;
    if (file.BE32(DISKOBJECT_TOOL_TYPES_FLAG) != 0) {
        if (!file.Fits(at, DISKOBJECT_TOOL_TYPES_WORD_SIZE)) {
            Problem(findings, "tooltype count cut off by the end of the file");
            return;
        }
        const std::uint32_t word = file.BE32(at);
        if (word < DISKOBJECT_TOOL_TYPE_SLOT || word % DISKOBJECT_TOOL_TYPE_SLOT != 0)
            Problem(findings, "tooltype count word " + Hex32(word) + " is not 4 x (tooltypes + 1)");
        const std::uint64_t slots = word / DISKOBJECT_TOOL_TYPE_SLOT;
        const std::uint64_t count = slots > 0 ? slots - 1 : 0;
        at += DISKOBJECT_TOOL_TYPES_WORD_SIZE;
        std::vector<std::string> toolTypes;
        for (std::uint64_t i = 0; i < count; ++i) {     // each turn consumes 4 bytes or more
            if ((at = CheckText(file, at, "tooltype " + Str(i), &text, findings)) == 0)
                return;
            if (text.empty())
                Note(findings, "tooltype " + Str(i) + " is empty");
            toolTypes.push_back(text);
        }
        CheckNewIcons(toolTypes, findings, parts);
    }
    if (file.BE32(DISKOBJECT_TOOL_WINDOW_FLAG) != 0 && (at = CheckText(file, at, "tool window", &text, findings)) == 0)
        return;
    if (hasDrawerData && !oldStyle) {
        if (!file.Fits(at, DISKOBJECT_DRAWER_DATA2_SIZE)) {
            Problem(findings, "second drawer data runs past the end of the file");
            return;
        }
        at += DISKOBJECT_DRAWER_DATA2_SIZE;
    }
    if (at == file.Size())
        return;
    if (file.Fits(at, ICON_CHUNK_ID_SIZE) && file.BE32(at) == ICON_CHUNK_FORM)
        CheckIconForm(file, at, findings, parts);
    else
        Note(findings, Str(file.Size() - at) + " non-FORM bytes after the DiskObject");
}

}  // namespace tessel::tool::check
