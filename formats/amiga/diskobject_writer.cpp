// Writes the four Amiga save formats: a complete DiskObject (header, drawer
// data for drawers, one or two planar images, default tool, tooltypes, second
// drawer data), plus NewIcons lines among the tooltypes ("NEWICON") or an icon
// FORM after it ("AMIGAOS35", "AMIGAOS40"). The layout is in
// diskobject_layout.h; what each part takes is in the format table's
// capacities (AMIGA_CLASSIC_CAPACITY, then the format's own).
//
// The header is written with gadget flags 4 (one image) or 6 (two), activation
// 3, gadget type 1, the first-image flag and user data 1 (a newer icon); an
// image header with the image-data flag 1. Every other field the icon's
// attributes do not give is 0.
#include "formats/amiga/amiga_icon.h"
#include "formats/amiga/diskobject_layout.h"

#include "host/host_calls.h"
#include "io/byte_io.h"
#include "plugin/format_table.h"

#include <algorithm>
#include <cstring>
#include <iterator>

// Classic images that are not 2 or 3 planes deep are converted to 2 planes.
static constexpr std::int32_t CLASSIC_CONVERTED_DEPTH = 2;
static_assert(HasDepth(AMIGA_CLASSIC_CAPACITY.depths, CLASSIC_CONVERTED_DEPTH));
static constexpr std::uint32_t GADGET_FLAGS_ONE_IMAGE = 4;
static constexpr std::uint32_t GADGET_FLAGS_TWO_IMAGES = 6;
static constexpr std::uint32_t GADGET_ACTIVATION = 3;
static constexpr std::uint32_t GADGET_TYPE_BOOL = 1;
static constexpr std::uint32_t NEWER_ICON_USER_DATA = 1;
// The window a drawer opens in: both pens the screen's, the flags of an
// ordinary sizeable window, a 100 x 70 minimum and no maximum.
static constexpr std::uint32_t DRAWER_PEN_DEFAULT = 0xFF;
static constexpr std::uint32_t DRAWER_WINDOW_FLAGS = 0x0200127F;
static constexpr std::uint32_t DRAWER_MIN_WIDTH = 100;
static constexpr std::uint32_t DRAWER_MIN_HEIGHT = 70;
static constexpr std::uint32_t DRAWER_NO_MAXIMUM = 0xFFFF;
static constexpr std::uint32_t DRAWER_SCREEN_TYPE = 1;

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

static int FitsIn(const IconImage* image, const FormatCapacity& capacity)
{
    return FitsSides(capacity, image->width, image->height);
}

static int IsSelected(const IconImage* image)
{
    return (image->flags & IMAGEFLAG_SELECTED) != 0;
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

// Finds the first image of a depth the part reduces (true colour) that fits,
// without IMAGEFLAG_SELECTED, and has the host choose a palette for it (index
// 0 kept for transparency); its selected twin, when the next image is one,
// likewise. Returns the converted normal image, or null.
static IconImage* QuantizeForIcon(const IconImage* list, const FormatCapacity& capacity, WriterTemporaries* temps)
{
    const IconImage* source = list;
    while (source && !(HasDepth(capacity.reducedDepths, source->depth) && !IsSelected(source) &&
                       FitsIn(source, capacity)))
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
    const FormatCapacity& classic = AMIGA_CLASSIC_CAPACITY;
    *unchanged = nullptr;
    for (const IconImage* image = list; image; image = image->next) {
        if (FitsIn(image, classic) && HasDepth(classic.depths, image->depth)) {
            *unchanged = image;
            return image;
        }
    }
    const IconImage* source = nullptr;
    for (const IconImage* image = list; image; image = image->next) {
        if (!IsSelected(image) && FitsIn(image, classic) && (!source || image->depth < source->depth))
            source = image;
    }
    if (!source || !HasDepth(classic.reducedDepths, source->depth))
        return nullptr;

    std::uint32_t* entries = temps->palette1.entries;
    std::fill(std::copy(std::begin(IconPalette4), std::end(IconPalette4), entries), entries + ICON_PALETTE_ENTRIES, 0);
    if (!ConvertImage(source, &temps->normal, CLASSIC_CONVERTED_DEPTH, temps->palette1.entries, HOST_QUANTIZE_MAP))
        return nullptr;
    if (const IconImage* twin = SelectedTwin(source)) {
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
    std::uint8_t header[DISKOBJECT_HEADER_SIZE] = {};
    StoreBE32(header + DISKOBJECT_MAGIC_WORD, DISKOBJECT_MAGIC);
    StoreBE16(header + DISKOBJECT_GADGET_WIDTH, static_cast<std::uint32_t>(classic->width));
    StoreBE16(header + DISKOBJECT_GADGET_HEIGHT, static_cast<std::uint32_t>(classic->height));
    StoreBE16(header + DISKOBJECT_GADGET_FLAGS, twoImages ? GADGET_FLAGS_TWO_IMAGES : GADGET_FLAGS_ONE_IMAGE);
    StoreBE16(header + DISKOBJECT_ACTIVATION, GADGET_ACTIVATION);
    StoreBE16(header + DISKOBJECT_GADGET_TYPE, GADGET_TYPE_BOOL);
    StoreBE32(header + DISKOBJECT_IMAGE_FLAG, 1);
    StoreBE32(header + DISKOBJECT_SECOND_IMAGE_FLAG, twoImages ? 1 : 0);
    StoreBE32(header + DISKOBJECT_USER_DATA, NEWER_ICON_USER_DATA);
    header[DISKOBJECT_TYPE] = static_cast<std::uint8_t>(type & 0xFF);
    StoreBE32(header + DISKOBJECT_DEFAULT_TOOL_FLAG, attributes->defaultTool ? 1 : 0);
    StoreBE32(header + DISKOBJECT_TOOL_TYPES_FLAG, hasToolTypes ? 1 : 0);
    StoreBE32(header + DISKOBJECT_X, static_cast<std::uint32_t>(attributes->posX));
    StoreBE32(header + DISKOBJECT_Y, static_cast<std::uint32_t>(attributes->posY));
    StoreBE32(header + DISKOBJECT_DRAWER_DATA_FLAG, OpensWindow(type) ? 1 : 0);
    StoreBE32(header + DISKOBJECT_STACK_SIZE, static_cast<std::uint32_t>(attributes->stackSize));
    HostWrite(file, header, DISKOBJECT_HEADER_SIZE);
    if (!OpensWindow(type))
        return;

    // The window record the icon opens; no links, scrolled to the origin.
    std::uint8_t drawer[DISKOBJECT_DRAWER_DATA_SIZE] = {};
    StoreBE16(drawer + DISKOBJECT_DRAWER_LEFT, static_cast<std::uint32_t>(attributes->drawerLeft));
    StoreBE16(drawer + DISKOBJECT_DRAWER_TOP, static_cast<std::uint32_t>(attributes->drawerTop));
    StoreBE16(drawer + DISKOBJECT_DRAWER_WIDTH, static_cast<std::uint32_t>(attributes->drawerWidth));
    StoreBE16(drawer + DISKOBJECT_DRAWER_HEIGHT, static_cast<std::uint32_t>(attributes->drawerHeight));
    drawer[DISKOBJECT_DRAWER_DETAIL_PEN] = DRAWER_PEN_DEFAULT;
    drawer[DISKOBJECT_DRAWER_BLOCK_PEN] = DRAWER_PEN_DEFAULT;
    StoreBE32(drawer + DISKOBJECT_DRAWER_WINDOW_FLAGS, DRAWER_WINDOW_FLAGS);
    StoreBE16(drawer + DISKOBJECT_DRAWER_MIN_WIDTH, DRAWER_MIN_WIDTH);
    StoreBE16(drawer + DISKOBJECT_DRAWER_MIN_HEIGHT, DRAWER_MIN_HEIGHT);
    StoreBE16(drawer + DISKOBJECT_DRAWER_MAX_WIDTH, DRAWER_NO_MAXIMUM);
    StoreBE16(drawer + DISKOBJECT_DRAWER_MAX_HEIGHT, DRAWER_NO_MAXIMUM);
    StoreBE16(drawer + DISKOBJECT_DRAWER_SCREEN_TYPE, DRAWER_SCREEN_TYPE);
    HostWrite(file, drawer, DISKOBJECT_DRAWER_DATA_SIZE);
}

// One image record: its header, then depth planes of the normal image's size,
// each row whole 16-bit words, bit 7 of a byte the leftmost pixel.
static int WritePlanarImage(HostFile* file, const IconImage* image, std::int32_t width, std::int32_t height)
{
    std::uint32_t depth = static_cast<std::uint32_t>(image->depth);
    // At the top left, planes present, no plane pick, no next image.
    std::uint8_t header[DISKOBJECT_IMAGE_HEADER_SIZE] = {};
    StoreBE16(header + DISKOBJECT_IMAGE_WIDTH, static_cast<std::uint32_t>(width));
    StoreBE16(header + DISKOBJECT_IMAGE_HEIGHT, static_cast<std::uint32_t>(height));
    StoreBE16(header + DISKOBJECT_IMAGE_DEPTH, depth);
    StoreBE32(header + DISKOBJECT_IMAGE_DATA, 1);
    HostWrite(file, header, DISKOBJECT_IMAGE_HEADER_SIZE);

    std::uint64_t rowBytes = DiskObjectRowBytes(static_cast<std::uint64_t>(width));
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

// The deepest image of a depth the part stores (palette depths) that fits,
// is not selected and is not the image already used for the classic part;
// the first one on a tie.
static const IconImage* DeepestPaletteImage(const IconImage* list, const FormatCapacity& capacity,
                                            const IconImage* excluded)
{
    const IconImage* best = nullptr;
    for (const IconImage* image = list; image; image = image->next) {
        if (image == excluded || IsSelected(image) || !FitsIn(image, capacity) ||
            !HasDepth(capacity.depths, image->depth))
            continue;
        if (!best || image->depth > best->depth)
            best = image;
    }
    return best;
}

static int WriteToolTypes(HostFile* file, const IconImage* list, const IconAttributes* attributes, int variant,
                          const IconImage* classicUnchanged, WriterTemporaries* temps)
{
    std::int64_t countPosition = Position(file);
    std::int32_t records = 0;
    int markerPresent = 0;
    if (attributes->toolTypes) {
        for (char** entry = attributes->toolTypes; *entry; ++entry)
            ++records;
    }
    WriteBE32(file, DISKOBJECT_TOOL_TYPE_SLOT * static_cast<std::uint32_t>(records + 1));
    for (std::int32_t i = 0; i < records; ++i) {
        const char* text = attributes->toolTypes[i];
        if (i > 0 && std::strcmp(text, NEWICONS_MARKER) == 0 && std::strcmp(attributes->toolTypes[i - 1], " ") == 0)
            markerPresent = 1;
        WriteText(file, text);
    }
    if (variant != AMIGA_NEWICONS)
        return 1;

    if (!markerPresent) {
        WriteText(file, " ");
        WriteText(file, NEWICONS_MARKER);
        records += 2;
    }
    const IconImage* image = DeepestPaletteImage(list, NEWICONS_CAPACITY, classicUnchanged);
    if (!image)
        image = QuantizeForIcon(list, NEWICONS_CAPACITY, temps);
    if (!image || !WriteNewIcons(file, image, &records))
        return 0;
    PatchBE32(file, countPosition, DISKOBJECT_TOOL_TYPE_SLOT * static_cast<std::uint32_t>(records + 1));
    HostSeek(file, 0, HOST_SEEK_END);
    return 1;
}

static int WriteAmigaIconWork(HostFile* file, IconImage* list, const IconAttributes* attributes,
                              std::uint32_t compress, int variant, WriterTemporaries* temps)
{
    const IconImage* unchanged = nullptr;
    const IconImage* classic = ChooseClassicImage(list, temps, &unchanged);
    if (!classic)
        return 0;
    // The planes of both images are written with the normal image's depth.
    const IconImage* twin = SelectedTwin(classic);
    if (twin && twin->depth != classic->depth)
        twin = nullptr;
    int hasToolTypes = attributes->toolTypes != nullptr || variant == AMIGA_NEWICONS;
    WriteHeader(file, classic, twin != nullptr, attributes, hasToolTypes);
    if (!WritePlanarImage(file, classic, classic->width, classic->height))
        return 0;
    if (twin && !WritePlanarImage(file, twin, classic->width, classic->height))
        return 0;
    ReleaseTemporaries(temps);

    if (attributes->defaultTool)
        WriteText(file, attributes->defaultTool);
    if (hasToolTypes && !WriteToolTypes(file, list, attributes, variant, unchanged, temps))
        return 0;
    std::int32_t type = attributes->type ? attributes->type : ICON_TYPE_TOOL;
    if (OpensWindow(type)) {
        std::uint8_t drawer[DISKOBJECT_DRAWER_DATA2_SIZE] = {};
        StoreBE32(drawer + DISKOBJECT_DRAWER2_FLAGS, (attributes->showAll & 1) ? DISKOBJECT_DRAWER2_SHOW_ALL : 0);
        StoreBE16(drawer + DISKOBJECT_DRAWER2_VIEW_MODE, static_cast<std::uint32_t>(attributes->viewMode));
        HostWrite(file, drawer, DISKOBJECT_DRAWER_DATA2_SIZE);
    }

    const IconImage* formImage = nullptr;
    if (variant == AMIGA_OS35) {
        ReleaseTemporaries(temps);
        formImage = DeepestPaletteImage(list, FORM_IMAG_CAPACITY, unchanged);
        if (!formImage)
            formImage = QuantizeForIcon(list, FORM_IMAG_CAPACITY, temps);
    } else if (variant == AMIGA_OS40) {
        const FormatCapacity& argb = FORM_ARGB_CAPACITY;
        for (const IconImage* image = list; image && !formImage; image = image->next) {
            if (HasDepth(argb.depths, image->depth) && FitsIn(image, argb))
                formImage = image;
        }
    } else {
        return 1;
    }
    return formImage && WriteIconForm(file, formImage, variant, compress);
}

int WriteAmigaIcon(HostFile* file, IconImage* first, const IconAttributes* attributes, std::uint32_t compress,
                   int variant)
{
    WriterTemporaries temps{};
    int ok = WriteAmigaIconWork(file, first, attributes, compress, variant, &temps);
    ReleaseTemporaries(&temps);
    return ok;
}
