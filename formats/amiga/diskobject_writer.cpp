// Writes the four Amiga save formats: a complete DiskObject (header, drawer
// data for drawers, one or two planar images, default tool, tooltypes, second
// drawer data), plus NewIcons lines among the tooltypes ("NEWICON") or an icon
// FORM after it ("AMIGAOS35", "AMIGAOS40"). The layout is the reader's.
//
// Header, 78 bytes, big-endian:
//   0 E310, 1   4 next gadget 0   8 left, top 0   12 width   14 height
//  16 gadget flags (4 one image, 6 two)   18 activation 3   20 gadget type 1
//  22 first image 1   26 second image 0/1   30..43 zeros   44 user data 1
//  48 type   49 0   50 default-tool flag   54 tooltypes flag   58 x   62 y
//  66 drawer-data flag   70 tool window 0   74 stack size
// Image header, 20 bytes: left 0, top 0, width, height, depth, image-data
// flag 1 (32 bits), plane pick 0, plane on/off 0, next image 0 (32 bits).
#include "formats/amiga/amiga_icon.h"

#include "host/host_calls.h"
#include "io/byte_io.h"

#include <cstring>

static constexpr std::int32_t CLASSIC_MAX_SIDE = 256;
static constexpr std::int32_t NEWICONS_MAX_SIDE = 93;
static constexpr std::int32_t CLASSIC_CONVERTED_DEPTH = 2;
static constexpr std::int32_t ICON_TYPE_DRAWER = 2;
static constexpr std::int32_t ICON_TYPE_TOOL = 3;
static constexpr std::uint32_t GADGET_FLAGS_ONE_IMAGE = 4;
static constexpr std::uint32_t GADGET_FLAGS_TWO_IMAGES = 6;
static constexpr std::uint32_t GADGET_ACTIVATION = 3;
static constexpr std::uint32_t GADGET_TYPE_BOOL = 1;
static constexpr std::uint32_t NEWER_ICON_USER_DATA = 1;

struct PaletteBuffer {
    std::uint32_t entries[ICON_PALETTE_ENTRIES];
};

// Images made during one save: converted classic images, then images
// quantised for the NewIcons or FORM part. Their pixel buffers are the
// writer's own and are released before it returns.
struct WriterTemporaries {
    IconImage normal;
    IconImage selected;
    PaletteBuffer palette1;
    PaletteBuffer palette2;
};

static void ReleaseTemporaries(WriterTemporaries* temps)
{
    HostFreeMem(temps->normal.pixels);
    HostFreeMem(temps->selected.pixels);
    std::memset(&temps->normal, 0, sizeof temps->normal);
    std::memset(&temps->selected, 0, sizeof temps->selected);
}

static int FitsIn(const IconImage* image, std::int32_t maxWidth, std::int32_t maxHeight)
{
    return image->width <= maxWidth && image->height <= maxHeight;
}

static int IsSelected(const IconImage* image)
{
    return (image->flags & IMAGEFLAG_SELECTED) != 0;
}

// The image after normal when it can stand for normal's selected state.
static const IconImage* TwinOf(const IconImage* normal, std::int32_t depth)
{
    const IconImage* next = normal->next;
    if (next && IsSelected(next) && next->depth == depth && next->width == normal->width &&
        next->height == normal->height)
        return next;
    return nullptr;
}

// Converts source into temp (width x height bytes of indices): onto a given
// palette (mode HOST_QUANTIZE_MAP) or onto one the host chooses. Each image
// is converted from its own kind of pixels, with its own palette and pen.
static int ConvertImage(const IconImage* source, IconImage* temp, std::int32_t targetDepth,
                        std::uint32_t* targetPalette, std::int32_t mode)
{
    temp->width = source->width;
    temp->height = source->height;
    temp->depth = targetDepth;
    temp->transparentPen = 0;
    temp->palette = targetPalette;
    temp->pixels = static_cast<std::uint8_t*>(
        HostAllocMem(std::uint64_t(source->width) * std::uint64_t(source->height), 1, "iedata"));
    if (!temp->pixels)
        return 0;
    int trueColour = source->depth > 8;
    QuantizeParams params{source->width,
                          source->height,
                          trueColour ? 32 : 8,
                          targetDepth,
                          trueColour ? nullptr : source->palette,
                          targetPalette,
                          trueColour ? -1 : source->transparentPen,
                          0};
    return HostQuantize(source->pixels, temp->pixels, &params, mode, 0) != 0;
}

// Finds the first true-colour image that fits, without IMAGEFLAG_SELECTED, and
// has the host choose a palette for it (index 0 kept for transparency); its
// selected twin, when the next image is one, likewise. Returns the converted
// normal image, or null.
static IconImage* QuantizeForIcon(const IconImage* list, std::int32_t maxWidth, std::int32_t maxHeight,
                                  WriterTemporaries* temps)
{
    const IconImage* source = list;
    while (source && !(source->depth == 32 && !IsSelected(source) && FitsIn(source, maxWidth, maxHeight)))
        source = source->next;
    if (!source)
        return nullptr;
    if (!ConvertImage(source, &temps->normal, 8, temps->palette1.entries, HOST_QUANTIZE_CHOOSE))
        return nullptr;
    std::uint64_t count = std::uint64_t(source->width) * std::uint64_t(source->height);
    temps->normal.depth = BitsForColours(CountColours(temps->normal.pixels, count));

    const IconImage* twin = source->next;
    if (twin && IsSelected(twin)) {
        if (!ConvertImage(twin, &temps->selected, 8, temps->palette2.entries, HOST_QUANTIZE_CHOOSE))
            return nullptr;
        std::uint64_t twinCount = std::uint64_t(twin->width) * std::uint64_t(twin->height);
        temps->selected.depth = BitsForColours(CountColours(temps->selected.pixels, twinCount));
        temps->selected.flags = IMAGEFLAG_SELECTED;
        temps->normal.next = &temps->selected;
    }
    return &temps->normal;
}

// The image for the classic part: a 2- or 3-plane image as it is, else the
// shallowest normal-state image converted to IconPalette4. *unchanged is the
// list image used as it is, or null when a converted one is used.
static const IconImage* ChooseClassicImage(const IconImage* list, WriterTemporaries* temps,
                                           const IconImage** unchanged)
{
    *unchanged = nullptr;
    for (const IconImage* image = list; image; image = image->next) {
        if (FitsIn(image, CLASSIC_MAX_SIDE, CLASSIC_MAX_SIDE) && (image->depth == 2 || image->depth == 3)) {
            *unchanged = image;
            return image;
        }
    }
    const IconImage* source = nullptr;
    for (const IconImage* image = list; image; image = image->next) {
        if (!IsSelected(image) && FitsIn(image, CLASSIC_MAX_SIDE, CLASSIC_MAX_SIDE) &&
            (!source || image->depth < source->depth))
            source = image;
    }
    if (!source || (source->depth > 8 && source->depth != 32))
        return nullptr;

    for (std::uint32_t i = 0; i < ICON_PALETTE_ENTRIES; ++i)
        temps->palette1.entries[i] = i < 4 ? IconPalette4[i] : 0;
    if (!ConvertImage(source, &temps->normal, CLASSIC_CONVERTED_DEPTH, temps->palette1.entries, HOST_QUANTIZE_MAP))
        return nullptr;
    // A twin of another size would be read past its pixels or sheared.
    const IconImage* twin = source->next;
    if (twin && IsSelected(twin) && twin->width == source->width && twin->height == source->height) {
        if (!ConvertImage(twin, &temps->selected, CLASSIC_CONVERTED_DEPTH, temps->palette1.entries,
                          HOST_QUANTIZE_MAP))
            return nullptr;
        temps->selected.flags = IMAGEFLAG_SELECTED;
        temps->normal.next = &temps->selected;
    }
    return &temps->normal;
}

static void WriteHeader(HostFile* file, const IconImage* classic, int twoImages, const IconAttributes* attributes,
                        int hasToolTypes)
{
    std::int32_t type = attributes->type ? attributes->type : ICON_TYPE_TOOL;
    WriteBE16(file, 0xE310);
    WriteBE16(file, 1);
    WriteBE32(file, 0);                                         // next gadget
    WriteBE32(file, 0);                                         // left and top edges
    WriteBE16(file, static_cast<std::uint32_t>(classic->width));
    WriteBE16(file, static_cast<std::uint32_t>(classic->height));
    WriteBE16(file, twoImages ? GADGET_FLAGS_TWO_IMAGES : GADGET_FLAGS_ONE_IMAGE);
    WriteBE16(file, GADGET_ACTIVATION);
    WriteBE16(file, GADGET_TYPE_BOOL);
    WriteBE32(file, 1);                                         // first image
    WriteBE32(file, twoImages ? 1 : 0);                         // second image
    WriteZeros(file, 12);                                       // text, exclude, special info
    WriteBE16(file, 0);                                         // gadget id
    WriteBE32(file, NEWER_ICON_USER_DATA);
    HostPutC(file, type & 0xFF);
    HostPutC(file, 0);
    WriteBE32(file, attributes->defaultTool ? 1 : 0);
    WriteBE32(file, hasToolTypes ? 1 : 0);
    WriteBE32(file, static_cast<std::uint32_t>(attributes->posX));
    WriteBE32(file, static_cast<std::uint32_t>(attributes->posY));
    WriteBE32(file, type == ICON_TYPE_DRAWER ? 1 : 0);
    WriteBE32(file, 0);                                         // tool window
    WriteBE32(file, static_cast<std::uint32_t>(attributes->stackSize));

    if (type == ICON_TYPE_DRAWER) {
        // The window record a drawer opens with, and its scroll position.
        WriteBE16(file, static_cast<std::uint32_t>(attributes->drawerLeft));
        WriteBE16(file, static_cast<std::uint32_t>(attributes->drawerTop));
        WriteBE16(file, static_cast<std::uint32_t>(attributes->drawerWidth));
        WriteBE16(file, static_cast<std::uint32_t>(attributes->drawerHeight));
        HostPutC(file, 0xFF);                                   // detail pen
        HostPutC(file, 0xFF);                                   // block pen
        WriteBE32(file, 0);                                     // event flags
        WriteBE32(file, 0x0200127F);                            // window flags
        WriteZeros(file, 20);                                   // five links
        WriteBE16(file, 100);                                   // minimum width
        WriteBE16(file, 70);                                    // minimum height
        WriteBE16(file, 0xFFFF);                                // maximum width
        WriteBE16(file, 0xFFFF);                                // maximum height
        WriteBE16(file, 1);                                     // screen type
        WriteZeros(file, 8);                                    // scroll position
    }
}

// One image record: its header, then depth planes of the normal image's size,
// each row whole 16-bit words, bit 7 of a byte the leftmost pixel.
static int WritePlanarImage(HostFile* file, const IconImage* image, std::int32_t width, std::int32_t height)
{
    std::uint32_t depth = static_cast<std::uint32_t>(image->depth);
    WriteBE16(file, 0);
    WriteBE16(file, 0);
    WriteBE16(file, static_cast<std::uint32_t>(width));
    WriteBE16(file, static_cast<std::uint32_t>(height));
    WriteBE16(file, depth);
    WriteBE32(file, 1);                                         // image data present
    HostPutC(file, 0);                                          // plane pick
    HostPutC(file, 0);                                          // plane on/off
    WriteBE32(file, 0);                                         // next image

    std::uint64_t rowBytes = ((std::uint64_t(width) + 15) >> 3) & ~std::uint64_t{1};
    std::uint64_t planeBytes = rowBytes * std::uint64_t(height);
    std::uint64_t dataSize = planeBytes * depth;
    if (dataSize == 0)
        return 1;
    auto* planes = static_cast<std::uint8_t*>(HostAllocMem(dataSize, 1, "buf"));
    if (!planes)
        return 0;
    for (std::uint32_t p = 0; p < depth; ++p) {
        std::uint8_t* plane = planes + p * planeBytes;
        for (std::int32_t y = 0; y < height; ++y) {
            const std::uint8_t* row = image->pixels + std::uint64_t(y) * std::uint64_t(width);
            std::uint8_t* out = plane + std::uint64_t(y) * rowBytes;
            for (std::int32_t x = 0; x < width; ++x) {
                if (row[x] & (1u << p))
                    out[x >> 3] = static_cast<std::uint8_t>(out[x >> 3] | (0x80 >> (x & 7)));
            }
        }
    }
    HostWrite(file, planes, static_cast<std::int64_t>(dataSize));
    HostFreeMem(planes);
    return 1;
}

// A text record: its length with the NUL, then the text and the NUL.
static void WriteText(HostFile* file, const char* text)
{
    std::size_t length = std::strlen(text) + 1;
    WriteBE32(file, static_cast<std::uint32_t>(length));
    HostWrite(file, text, static_cast<std::int64_t>(length));
}

// The deepest palette image that fits, is not selected and is not the image
// already used for the classic part; the first one on a tie.
static const IconImage* DeepestPaletteImage(const IconImage* list, std::int32_t maxSide, const IconImage* excluded)
{
    const IconImage* best = nullptr;
    for (const IconImage* image = list; image; image = image->next) {
        if (image == excluded || IsSelected(image) || !FitsIn(image, maxSide, maxSide) || image->depth < 1 ||
            image->depth > 8)
            continue;
        if (!best || image->depth > best->depth)
            best = image;
    }
    return best;
}

static int WriteToolTypes(HostFile* file, const IconImage* list, const IconAttributes* attributes,
                          int formatIndex, const IconImage* classicUnchanged, WriterTemporaries* temps)
{
    std::int64_t countPosition = HostSeek(file, 0, HOST_SEEK_CURRENT);
    std::int32_t records = 0;
    int markerPresent = 0;
    if (attributes->toolTypes) {
        for (char** entry = attributes->toolTypes; *entry; ++entry)
            ++records;
    }
    WriteBE32(file, 4 * static_cast<std::uint32_t>(records + 1));
    for (std::int32_t i = 0; i < records; ++i) {
        const char* text = attributes->toolTypes[i];
        if (i > 0 && std::strcmp(text, NEWICONS_MARKER) == 0 && std::strcmp(attributes->toolTypes[i - 1], " ") == 0)
            markerPresent = 1;
        WriteText(file, text);
    }
    if (formatIndex != AMIGA_FORMAT_NEWICON)
        return 1;

    if (!markerPresent) {
        WriteText(file, " ");
        WriteText(file, NEWICONS_MARKER);
        records += 2;
    }
    const IconImage* image = DeepestPaletteImage(list, NEWICONS_MAX_SIDE, classicUnchanged);
    if (!image)
        image = QuantizeForIcon(list, NEWICONS_MAX_SIDE, NEWICONS_MAX_SIDE, temps);
    if (!image || !WriteNewIcons(file, image, &records))
        return 0;
    PatchBE32(file, countPosition, 4 * static_cast<std::uint32_t>(records + 1));
    HostSeek(file, 0, HOST_SEEK_END);
    return 1;
}

static int WriteAmigaIconWork(HostFile* file, IconImage* list, const IconAttributes* attributes,
                              std::uint32_t compress, int formatIndex, WriterTemporaries* temps)
{
    const IconImage* unchanged = nullptr;
    const IconImage* classic = ChooseClassicImage(list, temps, &unchanged);
    if (!classic)
        return 0;
    const IconImage* twin = TwinOf(classic, classic->depth);
    int hasToolTypes = attributes->toolTypes != nullptr || formatIndex == AMIGA_FORMAT_NEWICON;
    WriteHeader(file, classic, twin != nullptr, attributes, hasToolTypes);
    if (!WritePlanarImage(file, classic, classic->width, classic->height))
        return 0;
    if (twin && !WritePlanarImage(file, twin, classic->width, classic->height))
        return 0;
    ReleaseTemporaries(temps);

    if (attributes->defaultTool)
        WriteText(file, attributes->defaultTool);
    if (hasToolTypes && !WriteToolTypes(file, list, attributes, formatIndex, unchanged, temps))
        return 0;
    std::int32_t type = attributes->type ? attributes->type : ICON_TYPE_TOOL;
    if (type == ICON_TYPE_DRAWER) {
        WriteBE32(file, static_cast<std::uint32_t>(attributes->showAll & 1) << 1);
        WriteBE16(file, static_cast<std::uint32_t>(attributes->viewMode));
    }

    const IconImage* formImage = nullptr;
    if (formatIndex == AMIGA_FORMAT_OS35) {
        ReleaseTemporaries(temps);
        formImage = DeepestPaletteImage(list, CLASSIC_MAX_SIDE, unchanged);
        if (!formImage)
            formImage = QuantizeForIcon(list, CLASSIC_MAX_SIDE, CLASSIC_MAX_SIDE, temps);
    } else if (formatIndex == AMIGA_FORMAT_OS40) {
        for (const IconImage* image = list; image && !formImage; image = image->next) {
            if (image->depth == 32 && FitsIn(image, CLASSIC_MAX_SIDE, CLASSIC_MAX_SIDE))
                formImage = image;
        }
    } else {
        return 1;
    }
    return formImage && WriteIconForm(file, formImage, formatIndex, compress);
}

int WriteAmigaIcon(HostFile* file, IconImage* first, const IconAttributes* attributes, std::uint32_t compress,
                   int formatIndex)
{
    if (!first || !attributes || formatIndex < AMIGA_FORMAT_CLASSIC || formatIndex > AMIGA_FORMAT_OS40)
        return 0;
    WriterTemporaries temps{};
    int ok = WriteAmigaIconWork(file, first, attributes, compress, formatIndex, &temps);
    ReleaseTemporaries(&temps);
    return ok;
}
