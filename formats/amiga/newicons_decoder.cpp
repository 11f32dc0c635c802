// NewIcons images: pictures carried in the tooltype lines of a DiskObject
// (layout in newicons_layout.h). The decoder is lenient about characters:
//   up to 0x9F     group (c - 0x20) mod 256
//   0xA0 to 0xD0   group c - 0x51
//   0xD1 to 0xFF   c - 0xD0 groups of seven 0 bits
#include "formats/amiga/amiga_icon.h"
#include "formats/amiga/newicons_layout.h"

#include "host/host_calls.h"

#include <algorithm>
#include <cstring>

static constexpr std::int32_t NEWICONS_MAX_PALETTE = 256;
static constexpr unsigned NEWICONS_FIRST_HIGH_CHARACTER = 0xA0;
static constexpr unsigned NEWICONS_FIRST_RUN_CHARACTER = NEWICONS_RUN_CHARACTER_BASE + 1;

struct NewIconsHeader {
    int transparent;
    std::int32_t width;
    std::int32_t height;
    std::int32_t colours;
};

// Walks the lines of a tooltype block. next is the line the cursor stands on
// (null when the block has no more), blockEnd one past the block's last byte.
struct LineCursor {
    const char* next;
    const char* blockEnd;
};

// The NUL that ends the line at line, or blockEnd when the block ends first.
static const char* LineEnd(const char* line, const char* blockEnd)
{
    auto* nul = static_cast<const char*>(std::memchr(line, 0, static_cast<std::size_t>(blockEnd - line)));
    return nul ? nul : blockEnd;
}

// Moves the cursor to the line after the one ending at lineEnd. The empty line
// that closes the block, and the block's end, leave no line to stand on.
static void StepPast(LineCursor* cursor, const char* lineEnd)
{
    const char* following = lineEnd < cursor->blockEnd ? lineEnd + 1 : cursor->blockEnd;
    cursor->next = (following < cursor->blockEnd && *following != 0) ? following : nullptr;
}

// Takes the cursor's line as the next line of data for image digit: it must
// repeat the prefix and hold at least one character after it. On success
// *at and *lineEnd frame the line's data and the cursor moves on.
static int TakeDataLine(LineCursor* cursor, char digit, const char** at, const char** lineEnd)
{
    const char* line = cursor->next;
    if (!line)
        return 0;
    const char* end = LineEnd(line, cursor->blockEnd);
    const char* prefix = digit == '1' ? NEWICONS_NORMAL_PREFIX : NEWICONS_SELECTED_PREFIX;
    if (end - line <= NEWICONS_PREFIX_LENGTH || std::memcmp(line, prefix, NEWICONS_PREFIX_LENGTH) != 0)
        return 0;
    *at = line + NEWICONS_PREFIX_LENGTH;
    *lineEnd = end;
    StepPast(cursor, end);
    return 1;
}

// Decodes count values of bits bits (1 to 9; each stored as its low 8 bits)
// into destination. With first set the data starts at character 9 of the
// cursor's line (the palette after the header), otherwise at character 4 of
// the cursor's line. When the lines run out first, the values not decoded
// are 0: the image keeps what its lines hold.
static void DecodeNewIconData(LineCursor* cursor, std::uint8_t* destination, int bits, std::uint32_t count,
                              char digit, int first)
{
    const char* at = nullptr;               // no current line: the next character opens one
    const char* lineEnd = nullptr;
    // The header line is taken even for an empty palette, so the pixels always
    // start on the line after it.
    if (first && cursor->next) {
        lineEnd = LineEnd(cursor->next, cursor->blockEnd);
        at = cursor->next + NEWICONS_HEADER_LENGTH;   // the caller checked the header's length
        StepPast(cursor, lineEnd);
    }
    // The accumulator keeps only its low 16 bits: at most 15 are ever pending
    // (fewer than 9 left over plus one group).
    std::uint32_t accumulator = 0;
    int have = 0;
    unsigned zeroRun = 0;
    const std::uint32_t mask = (1u << bits) - 1;
    std::uint32_t produced = 0;
    while (produced < count) {
        std::uint32_t group = 0;
        if (zeroRun > 0) {
            --zeroRun;
            have += NEWICONS_GROUP_BITS;
        } else {
            if (!at || at >= lineEnd) {
                if (!TakeDataLine(cursor, digit, &at, &lineEnd)) {
                    std::memset(destination + produced, 0, count - produced);
                    return;
                }
                have = NEWICONS_GROUP_BITS;     // the bits left on the last line are dropped
            } else {
                have += NEWICONS_GROUP_BITS;
            }
            unsigned c = static_cast<unsigned char>(*at++);
            if (c >= NEWICONS_FIRST_RUN_CHARACTER)
                zeroRun = c - NEWICONS_FIRST_RUN_CHARACTER;   // this group and zeroRun more
            else if (c >= NEWICONS_FIRST_HIGH_CHARACTER)
                group = c - NEWICONS_HIGH_CHARACTER_BASE;
            else
                group = (c - NEWICONS_LOW_CHARACTER_BASE) & 0xFF;   // below 0x20: junk bits, harmless
        }
        accumulator = ((accumulator << NEWICONS_GROUP_BITS) + group) & 0xFFFF;
        while (have >= bits && produced < count) {
            have -= bits;
            destination[produced++] = static_cast<std::uint8_t>((accumulator >> have) & mask);
        }
    }
}

// Reads characters 4 to 8 of an image's first line. Returns 0 when the header
// is damaged: the line is shorter than 9 characters, or gives a width or
// height below 1 or a negative colour count.
static int ReadNewIconsHeader(const char* line, const char* blockEnd, NewIconsHeader* header)
{
    if (!line || LineEnd(line, blockEnd) - line < NEWICONS_HEADER_LENGTH)
        return 0;
    auto character = [line](int i) { return static_cast<std::int32_t>(static_cast<unsigned char>(line[i])); };
    header->transparent = line[NEWICONS_TRANSPARENCY] == NEWICONS_TRANSPARENT;
    header->width = character(NEWICONS_WIDTH) - NEWICONS_HEADER_BIAS;
    header->height = character(NEWICONS_HEIGHT) - NEWICONS_HEADER_BIAS;
    header->colours = (character(NEWICONS_COLOURS) - NEWICONS_HEADER_BIAS) * NEWICONS_COLOUR_HIGH_SCALE +
                      (character(NEWICONS_COLOURS + 1) - NEWICONS_HEADER_BIAS);
    return header->width >= 1 && header->height >= 1 && header->colours >= 0;
}

// Decodes the palette bytes into scratch, then the pixels, into an image
// already appended with the header's size.
static void DecodeNewIconsImage(LineCursor* cursor, const NewIconsHeader& header, char digit,
                                std::uint8_t* scratch, IconImage* image)
{
    std::uint32_t paletteBytes = 3 * static_cast<std::uint32_t>(header.colours);
    // Left unchecked on purpose: data that runs out leaves the rest 0.
    DecodeNewIconData(cursor, scratch, NEWICONS_MAX_BITS, paletteBytes, digit, 1);
    int bits = BitsForColours(header.colours);
    image->depth = std::min(bits, NEWICONS_MAX_BITS);
    std::uint32_t pixelCount =
        static_cast<std::uint32_t>(header.width) * static_cast<std::uint32_t>(header.height);
    DecodeNewIconData(cursor, image->pixels, bits, pixelCount, digit, 0);

    // Beyond 256 colours only the first 256 fit the palette; pixels keep their
    // low 8 bits.
    std::int32_t entries = std::min(header.colours, NEWICONS_MAX_PALETTE);
    for (std::int32_t i = 0; i < entries; ++i) {
        const std::uint8_t* rgb = scratch + 3 * i;
        image->palette[i] = std::uint32_t{rgb[0]} << 16 | std::uint32_t{rgb[1]} << 8 | rgb[2];
    }
}

// Appends the image of one header and decodes it. Returns the image, or null
// when the image or the scratch block cannot be had.
static IconImage* MakeNewIconsImage(const char* line, const char* blockEnd, const NewIconsHeader& header,
                                    char digit, IconHandle* icon, IconImage** tail)
{
    // The width and height fit in a byte each, so only the load's budget or
    // a failed allocation can refuse the image; either ends the load.
    IconImage* image = NewIconImage(header.width, header.height, NEWICONS_MAX_BITS,
                                    header.transparent ? 0 : -1, digit == '2', icon, tail);
    if (!image)
        return nullptr;
    // One byte more than the palette, so an empty palette still asks for a block.
    std::uint64_t scratchBytes = 3 * std::uint64_t(header.colours) + 1;
    auto* scratch = static_cast<std::uint8_t*>(HostAllocMem(scratchBytes, 0, "pbuf"));
    if (!scratch)
        return nullptr;
    LineCursor cursor{line, blockEnd};
    DecodeNewIconsImage(&cursor, header, digit, scratch, image);
    HostFreeMem(scratch);
    return image;
}

int DecodeNewIcons(IconHandle* icon, IconImage** tail, const char* im1Line, const char* im2Line,
                   const char* blockEnd, IconImage** im1Image)
{
    *im1Image = nullptr;
    NewIconsHeader normal{};
    // A damaged normal image makes no image, and then the selected one is not
    // looked at either: it has nothing to be the twin of.
    if (!ReadNewIconsHeader(im1Line, blockEnd, &normal))
        return 1;
    IconImage* normalImage = MakeNewIconsImage(im1Line, blockEnd, normal, '1', icon, tail);
    if (!normalImage)
        return 0;
    *im1Image = normalImage;

    NewIconsHeader selected{};
    if (!ReadNewIconsHeader(im2Line, blockEnd, &selected))
        return 1;
    // A selected image of another size is not a twin of the normal one: skipped.
    if (selected.width != normal.width || selected.height != normal.height)
        return 1;
    return MakeNewIconsImage(im2Line, blockEnd, selected, '2', icon, tail) != nullptr;
}

int BitsForColours(std::int32_t colours)
{
    if (colours > NEWICONS_MAX_PALETTE)
        return NEWICONS_MAX_BITS + 1;
    int bits = 1;
    while (bits < NEWICONS_MAX_BITS && (std::int32_t{1} << bits) < colours)
        ++bits;
    return bits;
}

std::int32_t CountColours(const std::uint8_t* pixels, std::uint64_t count)
{
    std::int32_t highest = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (pixels[i] > highest)
            highest = pixels[i];
    }
    return highest + 1;
}
