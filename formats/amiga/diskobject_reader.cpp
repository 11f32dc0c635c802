// DiskObject icons (layout in diskobject_layout.h): the header, optional
// drawer data, one or two planar images, the default tool, the tooltypes
// (where NewIcons images hide), the second drawer data, then optionally a
// "FORM" "ICON" with newer images. Of the drawer data only the window's
// edges are read, of an image header only the size, position and depth; the
// tool window text is not read.
#include "formats/amiga/amiga_icon.h"
#include "formats/amiga/diskobject_layout.h"
#include "formats/amiga/icon_chunk_layout.h"

#include "host/host_calls.h"
#include "io/byte_io.h"

#include <algorithm>
#include <cstring>

struct DiskObjectHeader {
    std::uint32_t gadgetWidth;
    std::uint32_t gadgetHeight;
    std::uint32_t hasSecondImage;
    int oldStyle;
    std::uint32_t hasDefaultTool;
    std::uint32_t hasToolTypes;
    std::uint32_t hasDrawerData;
};

struct ReadState {
    HostFile* file;
    std::uint64_t fileSize;
    IconHandle* icon;
    IconImage* tail;
};

static std::uint64_t BytesLeft(const ReadState& state)
{
    return BytesLeft(state.file, state.fileSize);
}

// Reads the header from the start of the file, and the drawer data after it.
static void ReadHeader(ReadState& state, DiskObjectHeader* header)
{
    HostFile* file = state.file;
    IconHandle* icon = state.icon;
    std::uint8_t bytes[DISKOBJECT_HEADER_SIZE];
    HostSeek(file, 0, HOST_SEEK_START);
    ReadRecord(file, bytes, DISKOBJECT_HEADER_SIZE);
    header->gadgetWidth = LoadBE16(bytes + DISKOBJECT_GADGET_WIDTH);
    header->gadgetHeight = LoadBE16(bytes + DISKOBJECT_GADGET_HEIGHT);
    header->hasSecondImage = LoadBE32(bytes + DISKOBJECT_SECOND_IMAGE_FLAG);
    // Only 0 means old-style; real files carry junk in the upper bytes.
    header->oldStyle = LoadBE32(bytes + DISKOBJECT_USER_DATA) == 0;
    icon->type = bytes[DISKOBJECT_TYPE];
    header->hasDefaultTool = LoadBE32(bytes + DISKOBJECT_DEFAULT_TOOL_FLAG);
    header->hasToolTypes = LoadBE32(bytes + DISKOBJECT_TOOL_TYPES_FLAG);
    icon->posX = static_cast<std::int32_t>(LoadBE32(bytes + DISKOBJECT_X));
    icon->posY = static_cast<std::int32_t>(LoadBE32(bytes + DISKOBJECT_Y));
    header->hasDrawerData = LoadBE32(bytes + DISKOBJECT_DRAWER_DATA_FLAG);
    icon->stackSize = static_cast<std::int32_t>(LoadBE32(bytes + DISKOBJECT_STACK_SIZE));

    if (header->hasDrawerData) {
        std::uint8_t drawer[DISKOBJECT_DRAWER_DATA_SIZE];
        ReadRecord(file, drawer, DISKOBJECT_DRAWER_DATA_SIZE);
        // Read unsigned: a window edge of -1 becomes 65535, and writing the
        // low 16 bits back gives the same file.
        icon->drawerLeft = static_cast<std::int32_t>(LoadBE16(drawer + DISKOBJECT_DRAWER_LEFT));
        icon->drawerTop = static_cast<std::int32_t>(LoadBE16(drawer + DISKOBJECT_DRAWER_TOP));
        icon->drawerWidth = static_cast<std::int32_t>(LoadBE16(drawer + DISKOBJECT_DRAWER_WIDTH));
        icon->drawerHeight = static_cast<std::int32_t>(LoadBE16(drawer + DISKOBJECT_DRAWER_HEIGHT));
    }
}

static void BuildClassicPalette(std::uint32_t* palette, std::uint32_t depth, int oldStyle)
{
    std::memcpy(palette, DefaultPalette256, sizeof DefaultPalette256);
    if (depth == 3) {
        static constexpr std::uint32_t Depth3Extra[4] = {0x7B7B7B, 0xAFAFAF, 0xAA907C, 0xFFA997};
        std::memcpy(palette + 4, Depth3Extra, sizeof Depth3Extra);
    }
    if (depth == 2 || depth == 3)
        std::memcpy(palette, oldStyle ? OldIconPalette4 : IconPalette4, sizeof IconPalette4);
}

// Ors the planes into the image, pixels from the top-left corner. The image's
// own edges only shorten what is copied, so it fits the gadget.
static void CopyPlanes(const std::uint8_t* planes, std::uint32_t width, std::uint32_t height,
                       std::uint32_t depth, std::uint32_t left, std::uint32_t top, IconImage* image)
{
    std::uint64_t rowBytes = DiskObjectRowBytes(width);
    // Either is 0 or less when the image starts outside the gadget.
    const std::int64_t copyWidth = std::min<std::int64_t>(width, std::int64_t{image->width} - left);
    const std::int64_t copyHeight = std::min<std::int64_t>(height, std::int64_t{image->height} - top);
    for (std::uint32_t p = depth; p-- > 0;) {
        const std::uint8_t* plane = planes + p * height * rowBytes;
        for (std::int64_t y = 0; y < copyHeight; ++y) {
            const std::uint8_t* row = plane + y * rowBytes;
            std::uint8_t* out = image->pixels + y * image->width;
            for (std::int64_t x = 0; x < copyWidth; ++x) {
                if (row[x >> 3] & (0x80 >> (x & 7)))
                    out[x] |= static_cast<std::uint8_t>(1u << p);
            }
        }
    }
}

// One image header and its planes. Makes an image of the gadget's size
// unless the gadget has no area; *made receives it (or null).
static int ReadClassicImage(ReadState& state, const DiskObjectHeader& header, int selected, IconImage** made)
{
    HostFile* file = state.file;
    *made = nullptr;
    std::uint8_t bytes[DISKOBJECT_IMAGE_HEADER_SIZE];
    ReadRecord(file, bytes, DISKOBJECT_IMAGE_HEADER_SIZE);
    std::uint32_t left = LoadBE16(bytes + DISKOBJECT_IMAGE_LEFT);
    std::uint32_t top = LoadBE16(bytes + DISKOBJECT_IMAGE_TOP);
    std::uint32_t width = LoadBE16(bytes + DISKOBJECT_IMAGE_WIDTH);
    std::uint32_t height = LoadBE16(bytes + DISKOBJECT_IMAGE_HEIGHT);
    std::uint32_t depth = LoadBE16(bytes + DISKOBJECT_IMAGE_DEPTH);
    if (depth > DISKOBJECT_MAX_DEPTH)
        return 0;
    std::uint64_t dataSize = std::uint64_t{depth} * height * DiskObjectRowBytes(width);
    if (dataSize > BytesLeft(state))
        return 0;

    auto* planes = static_cast<std::uint8_t*>(HostAllocMem(dataSize, 0, "buf"));
    if (!planes)
        return 0;
    int ok = ReadExactly(file, planes, dataSize);
    // A gadget without area still has its planes read and checked, but gives
    // no image: a zero-sized picture is of no use to anyone.
    if (ok && header.gadgetWidth > 0 && header.gadgetHeight > 0) {
        IconImage* image = NewIconImage(static_cast<std::int32_t>(header.gadgetWidth),
                                        static_cast<std::int32_t>(header.gadgetHeight),
                                        static_cast<std::int32_t>(depth), 0, selected, state.icon, &state.tail);
        if (image) {
            CopyPlanes(planes, width, height, depth, left, top, image);
            BuildClassicPalette(image->palette, depth, header.oldStyle);
            *made = image;
        } else {
            ok = 0;
        }
    }
    HostFreeMem(planes);
    return ok;
}

static int ReadDefaultTool(ReadState& state)
{
    std::uint32_t length = ReadBE32(state.file);
    if (length > BytesLeft(state))
        return 0;
    if (length == 0)
        return 1;                                           // no tool
    // One more byte for a terminator: stored texts are not always ended.
    auto* text = static_cast<char*>(HostAllocMem(std::uint64_t{length} + 1, 1, "deftool"));
    if (!text)
        return 0;
    state.icon->defaultTool = text;
    return ReadExactly(state.file, text, length);
}

struct ToolTypeLines {
    const char* im1;
    const char* im2;
    int markerSeen;
};

// Reads the tooltype texts into one block of NUL-ended lines ended by an
// empty line. Empty texts are dropped (the block cannot hold them without
// ending early), and the NewIcons marker goes with the " " line before it.
static int ReadToolTypes(ReadState& state, ToolTypeLines* lines)
{
    HostFile* file = state.file;
    IconHandle* icon = state.icon;
    auto countWord = static_cast<std::int32_t>(ReadBE32(file));
    std::int32_t entries = countWord / static_cast<std::int32_t>(DISKOBJECT_TOOL_TYPE_SLOT) - 1;
    if (entries == 0)
        return 1;
    // Each stored line is at most its text and a NUL, and each text came with
    // a 4-byte length: the rest of the file, plus the final empty line, holds
    // them all.
    std::uint64_t blockBytes = BytesLeft(state) + 2;
    auto* block = static_cast<char*>(HostAllocMem(blockBytes, 1, "tooltypes"));
    if (!block)
        return 0;
    icon->toolTypeBlock = block;
    icon->toolTypeBlockBytes = static_cast<std::uint32_t>(blockBytes);
    if (entries < 0)
        return 1;                                           // the block is one NUL

    std::uint64_t write = 0;
    std::int64_t lastStored = -1;
    for (std::int32_t entry = 0; entry < entries; ++entry) {
        if (BytesLeft(state) < DISKOBJECT_TEXT_LENGTH_SIZE)
            return 0;
        std::uint32_t length = ReadBE32(file);
        if (length > BytesLeft(state))
            return 0;
        char* text = block + write;
        if (!ReadExactly(file, text, length))
            return 0;
        // The text ends at its first NUL, or at its length when it has none.
        auto* nul = static_cast<char*>(std::memchr(text, 0, length));
        std::uint64_t textLength = nul ? static_cast<std::uint64_t>(nul - text) : length;
        text[textLength] = 0;
        if (textLength == 0)
            continue;
        // The marker starts the NewIcons lines and goes, with the " " line
        // before it when there is one (some writers leave that out).
        if (std::strcmp(text, NEWICONS_MARKER) == 0) {
            if (lastStored >= 0 && std::strcmp(block + lastStored, " ") == 0)
                write = static_cast<std::uint64_t>(lastStored);
            lastStored = -1;
            lines->markerSeen = 1;
            continue;
        }
        if (!lines->im1 && std::strncmp(text, NEWICONS_NORMAL_PREFIX, NEWICONS_PREFIX_LENGTH) == 0)
            lines->im1 = text;
        else if (!lines->im2 && std::strncmp(text, NEWICONS_SELECTED_PREFIX, NEWICONS_PREFIX_LENGTH) == 0)
            lines->im2 = text;
        lastStored = static_cast<std::int64_t>(write);
        write += textLength + 1;
    }
    block[write] = 0;
    return 1;
}

int ReadDiskObject(const char* /*name*/, HostFile* file, IconHandle* icon)
{
    ReadState state{file, static_cast<std::uint64_t>(FileSize(file)), icon, nullptr};
    DiskObjectHeader header{};
    ReadHeader(state, &header);

    IconImage* primary = nullptr;
    IconImage* selected = nullptr;
    if (!ReadClassicImage(state, header, 0, &primary))
        return 0;
    if (header.hasSecondImage && !ReadClassicImage(state, header, 1, &selected))
        return 0;
    if (header.hasDefaultTool && !ReadDefaultTool(state))
        return 0;
    ToolTypeLines lines{};
    if (header.hasToolTypes && !ReadToolTypes(state, &lines))
        return 0;
    // A marker that was never seen means the IM lines are ordinary tooltypes.
    if (lines.im1 && lines.markerSeen) {
        IconImage* newIcon = nullptr;
        if (!DecodeNewIcons(icon, &state.tail, lines.im1, lines.im2,
                            icon->toolTypeBlock + icon->toolTypeBlockBytes, &newIcon))
            return 0;
        if (newIcon)
            primary = newIcon;
    }
    if (header.hasDrawerData && !header.oldStyle) {
        std::uint8_t drawer[DISKOBJECT_DRAWER_DATA2_SIZE];
        ReadRecord(file, drawer, DISKOBJECT_DRAWER_DATA2_SIZE);
        icon->showAll = (LoadBE32(drawer + DISKOBJECT_DRAWER2_FLAGS) & DISKOBJECT_DRAWER2_SHOW_ALL) ? 1 : 0;
        std::uint32_t viewMode = LoadBE16(drawer + DISKOBJECT_DRAWER2_VIEW_MODE);
        icon->viewMode = viewMode ? static_cast<std::int32_t>(viewMode) : 1;
    }

    // Whatever follows that is not a FORM (a tool-window text, stray bytes,
    // nothing at all) is ignored.
    std::uint8_t id[4];
    if (ReadExactly(file, id, 4) && LoadBE32(id) == ICON_CHUNK_FORM &&
        !ReadIconChunks(file, icon, &state.tail, state.fileSize, &primary))
        return 0;
    if (primary)
        primary->flags |= IMAGEFLAG_PRIMARY;
    return 1;
}
