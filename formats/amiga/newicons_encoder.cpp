// NewIcons images: writing a picture as tooltype lines of a DiskObject
// (layout in newicons_layout.h). The encoder writes "C" for no transparency,
// only the characters of the group's own range, and a colour count above 222
// as 0x22 and colours - 31. A line holds whole values only: the reader drops
// the bits left at its end, so each line starts again at the first bit of the
// value the last one cut. Each line is a tooltype record: 32-bit big-endian
// length counting the NUL, the text, the NUL.
#include "formats/amiga/amiga_icon.h"
#include "formats/amiga/newicons_layout.h"

#include "host/host_calls.h"
#include "io/byte_io.h"
#include "plugin/format_table.h"

#include <algorithm>
#include <cstring>

static constexpr std::int32_t NEWICONS_SMALL_COLOURS = 222;   // beyond: two-character colour count
static constexpr int NEWICONS_LARGE_COLOURS_HIGH = 0x22;
static constexpr int NEWICONS_LARGE_COLOURS_OFFSET = 31;
static constexpr std::uint32_t NEWICONS_GROUP_MASK = 0x7F;
static constexpr std::uint32_t NEWICONS_LAST_LOW_GROUP = 79;
static constexpr std::uint32_t NEWICONS_MAX_RUN = 47;
static constexpr char NEWICONS_OPAQUE = 'C';
// A line is closed once it holds more than this many characters, prefix
// included; the last group can add two, and a pending zero run one more.
static constexpr std::int32_t NEWICONS_LINE_CLOSE_AFTER = 126;
static constexpr std::uint32_t NEWICONS_PALETTE_BYTES = 3 * ICON_PALETTE_ENTRIES;
static constexpr std::int32_t NEWICONS_MAX_PEN = 255;

static constexpr std::uint32_t NEWICONS_MAX_PIXELS = NEWICONS_CAPACITY.maxSide * NEWICONS_CAPACITY.maxSide;

static_assert(NEWICONS_RUN_CHARACTER_BASE + NEWICONS_MAX_RUN == 0xFF);
static_assert(NEWICONS_HIGH_CHARACTER_BASE + NEWICONS_GROUP_MASK == NEWICONS_RUN_CHARACTER_BASE);

// Cuts values of bits bits, most significant bit first, into 7-bit groups;
// the last group of the data is filled up with 0 bits. Values are masked to
// their width so a stray high bit cannot spill into the neighbour.
struct GroupCutter {
    const std::uint8_t* values;
    std::uint32_t count;
    int bits;
    std::uint32_t next;           // index of the next value to take in
    std::uint32_t accumulator;    // only its low have bits are pending
    int have;
};

static void StartCutAt(GroupCutter* cutter, std::uint32_t index)
{
    cutter->next = index;
    cutter->accumulator = 0;
    cutter->have = 0;
}

static int GroupsRemain(const GroupCutter& cutter)
{
    return cutter.have > 0 || cutter.next < cutter.count;
}

// The next group; call only while GroupsRemain.
static std::uint32_t CutGroup(GroupCutter* cutter)
{
    const std::uint32_t mask = (1u << cutter->bits) - 1;
    while (cutter->have < NEWICONS_GROUP_BITS && cutter->next < cutter->count) {
        // At most 6 + 8 bits are pending: 16 bits of accumulator suffice.
        cutter->accumulator = ((cutter->accumulator << cutter->bits) | (cutter->values[cutter->next++] & mask)) &
                              0xFFFF;
        cutter->have += cutter->bits;
    }
    if (cutter->have >= NEWICONS_GROUP_BITS) {
        cutter->have -= NEWICONS_GROUP_BITS;
        return (cutter->accumulator >> cutter->have) & NEWICONS_GROUP_MASK;
    }
    // The data ends inside this group: its low bits are fill.
    std::uint32_t group = (cutter->accumulator << (NEWICONS_GROUP_BITS - cutter->have)) & NEWICONS_GROUP_MASK;
    cutter->have = 0;
    return group;
}

// One line record being written.
struct LineRecord {
    HostFile* file;
    std::int64_t lengthPosition;  // where its 32-bit length field is
    std::int32_t length;          // characters written, NUL not counted
    std::uint32_t groups;         // groups the characters stand for
    std::uint32_t pendingZeros;   // 0 groups counted but not yet written
};

static void PutCharacter(LineRecord* line, std::uint32_t character)
{
    HostPutC(line->file, static_cast<std::int32_t>(character));
    ++line->length;
}

static void OpenLine(LineRecord* line, std::string_view lineStart, std::int32_t* recordCount)
{
    line->lengthPosition = Position(line->file);
    WriteBE32(line->file, 0);
    line->length = 0;
    line->groups = 0;
    line->pendingZeros = 0;
    for (char c : lineStart)
        PutCharacter(line, static_cast<unsigned char>(c));
    ++*recordCount;
}

// Writes the pending zero run first: it belongs to this line's bits, and the
// next line starts again at a value boundary, so carrying it over would shift
// every later value. That run can take the line to 128 characters.
static void CloseLine(LineRecord* line)
{
    if (line->pendingZeros > 0) {
        PutCharacter(line, NEWICONS_RUN_CHARACTER_BASE + line->pendingZeros);
        line->pendingZeros = 0;
    }
    HostPutC(line->file, 0);
    PatchBE32(line->file, line->lengthPosition, static_cast<std::uint32_t>(line->length) + 1);
}

// Adds one group to the line. A 0 group is held back to join a run, written
// as 0xFF once a 48th arrives; any other group first writes the run held.
static void PutGroup(LineRecord* line, std::uint32_t group)
{
    ++line->groups;
    if (group == 0) {
        if (line->pendingZeros == NEWICONS_MAX_RUN) {
            PutCharacter(line, NEWICONS_RUN_CHARACTER_BASE + NEWICONS_MAX_RUN);
            line->pendingZeros = 0;
        }
        ++line->pendingZeros;
        return;
    }
    if (line->pendingZeros > 0) {
        PutCharacter(line, NEWICONS_RUN_CHARACTER_BASE + line->pendingZeros);
        line->pendingZeros = 0;
    }
    PutCharacter(line, group <= NEWICONS_LAST_LOW_GROUP ? group + NEWICONS_LOW_CHARACTER_BASE
                                                        : group + NEWICONS_HIGH_CHARACTER_BASE);
}

void EncodeNewIconLines(HostFile* file, std::string_view lineStart, const std::uint8_t* values, int bits,
                        std::uint32_t count, std::int32_t* recordCount)
{
    // A palette line starts with the whole header, a pixel line with the prefix.
    const std::string_view prefix = lineStart.substr(0, NEWICONS_PREFIX_LENGTH);

    GroupCutter cutter{values, count, bits, 0, 0, 0};
    LineRecord line{file, 0, 0, 0, 0};
    std::uint32_t lineFirstValue = 0;
    OpenLine(&line, lineStart, recordCount);
    // Every turn cuts a group; every closed line holds at least 118 groups,
    // so the restart index moves forward and the loop ends.
    while (GroupsRemain(cutter)) {
        PutGroup(&line, CutGroup(&cutter));
        if (line.length <= NEWICONS_LINE_CLOSE_AFTER)
            continue;
        CloseLine(&line);
        // The reader takes the whole values of this line's bits and drops
        // the rest: the next line restarts at the first value it dropped.
        lineFirstValue += line.groups * NEWICONS_GROUP_BITS / static_cast<std::uint32_t>(bits);
        if (lineFirstValue >= count)
            return;
        StartCutAt(&cutter, lineFirstValue);
        OpenLine(&line, prefix, recordCount);
    }
    CloseLine(&line);
}

// ---- Images -----------------------------------------------------------------

// A size and depth NewIcons store (header characters stay 7-bit and decode
// back), pixels and palette present.
static int CanEncode(const IconImage* image)
{
    return StoresImage(NEWICONS_CAPACITY, image->width, image->height, image->depth) && image->pixels &&
           image->palette;
}

// Writes one image. scratch holds NEWICONS_PALETTE_BYTES palette bytes, then
// room for the pixels. The reader makes only entry 0 transparent, so a pen
// above 0 is moved there: entries 0 and pen swap places, and so do the pixel
// values, leaving every pixel's colour as it was.
static void WriteNewIconsImage(HostFile* file, const IconImage* image, const char* prefix, std::uint8_t* scratch,
                               std::int32_t* recordCount)
{
    std::uint8_t* paletteBytes = scratch;
    std::uint8_t* pixels = scratch + NEWICONS_PALETTE_BYTES;
    std::uint32_t pixelCount = static_cast<std::uint32_t>(image->width) * static_cast<std::uint32_t>(image->height);
    std::int32_t pen = image->transparentPen;
    bool transparent = pen >= 0 && pen <= NEWICONS_MAX_PEN;
    std::uint8_t swap = transparent ? static_cast<std::uint8_t>(pen) : 0;
    for (std::uint32_t i = 0; i < pixelCount; ++i) {
        std::uint8_t value = image->pixels[i];
        pixels[i] = value == swap ? 0 : value == 0 ? swap : value;
    }
    std::int32_t colours = CountColours(pixels, pixelCount);
    for (std::int32_t i = 0; i < colours; ++i) {
        std::int32_t entry = i == 0 ? swap : i == swap ? 0 : i;
        std::uint32_t rgb = image->palette[entry];
        paletteBytes[3 * i] = static_cast<std::uint8_t>(rgb >> 16);
        paletteBytes[3 * i + 1] = static_cast<std::uint8_t>(rgb >> 8);
        paletteBytes[3 * i + 2] = static_cast<std::uint8_t>(rgb);
    }

    char header[NEWICONS_HEADER_LENGTH] = {};
    std::memcpy(header, prefix, NEWICONS_PREFIX_LENGTH);
    header[NEWICONS_TRANSPARENCY] = transparent ? NEWICONS_TRANSPARENT : NEWICONS_OPAQUE;
    header[NEWICONS_WIDTH] = static_cast<char>(image->width + NEWICONS_HEADER_BIAS);
    header[NEWICONS_HEIGHT] = static_cast<char>(image->height + NEWICONS_HEADER_BIAS);
    if (colours <= NEWICONS_SMALL_COLOURS) {
        header[NEWICONS_COLOURS] = static_cast<char>(NEWICONS_HEADER_BIAS);
        header[NEWICONS_COLOURS + 1] = static_cast<char>(colours + NEWICONS_HEADER_BIAS);
    } else {
        header[NEWICONS_COLOURS] = static_cast<char>(NEWICONS_LARGE_COLOURS_HIGH);
        header[NEWICONS_COLOURS + 1] = static_cast<char>(colours - NEWICONS_LARGE_COLOURS_OFFSET);
    }
    EncodeNewIconLines(file, {header, NEWICONS_HEADER_LENGTH}, paletteBytes, NEWICONS_MAX_BITS,
                       3 * static_cast<std::uint32_t>(colours), recordCount);
    EncodeNewIconLines(file, {header, NEWICONS_PREFIX_LENGTH}, pixels, BitsForColours(colours), pixelCount,
                       recordCount);
}

int WriteNewIcons(HostFile* file, const IconImage* normal, std::int32_t* recordCount)
{
    // Refused before the first byte: a larger side would not survive the
    // header's one character.
    if (!CanEncode(normal))
        return 0;
    auto* scratch = static_cast<std::uint8_t*>(HostAllocMem(NEWICONS_PALETTE_BYTES + NEWICONS_MAX_PIXELS, 0, "pbuf"));
    if (!scratch)
        return 0;
    WriteNewIconsImage(file, normal, NEWICONS_NORMAL_PREFIX, scratch, recordCount);
    // The reader drops a twin of another size, so none is written.
    const IconImage* twin = SelectedTwin(normal);
    if (twin && CanEncode(twin))
        WriteNewIconsImage(file, twin, NEWICONS_SELECTED_PREFIX, scratch, recordCount);
    HostFreeMem(scratch);
    return 1;
}
