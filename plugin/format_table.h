// The format table: the four containers a file can be and the seven save
// formats written in them, with what each save format can store. One row a
// container and one a format; everything here is a constant, so the tool, the
// tests, the benchmark and the fuzz targets read the same rows without
// linking the module. The module attaches a reader and a writer to each
// container in plugin/format_handlers.cpp.
#pragma once

#include "formats/amiga/diskobject_layout.h"
#include "formats/amiga/icon_chunk_layout.h"
#include "formats/amiga/newicons_layout.h"
#include "formats/amiga/png_icon_layout.h"
#include "formats/macos/icns_layout.h"
#include "formats/windows/ico_layout.h"
#include "icon/icon_limits.h"
#include "io/crc32.h"

#include <cstdint>

// ---- Containers -----------------------------------------------------------------

enum IconContainer : int {
    CONTAINER_DISKOBJECT,       // Amiga icons, with NewIcons lines or a FORM inside
    CONTAINER_PNG_ICON,         // a PNG picture with an "icOn" chunk
    CONTAINER_WINDOWS_ICON,     // ".ico"
    CONTAINER_MAC_ICON,         // ".icns"
};

inline constexpr int ICON_CONTAINER_COUNT = 4;

struct ContainerRow {
    IconContainer container;
    std::uint32_t magic;        // the file's first four bytes as a big-endian word
};

// The magic selects the reader.
// container, magic
inline constexpr ContainerRow ContainerTable[ICON_CONTAINER_COUNT] = {
    {CONTAINER_DISKOBJECT, DISKOBJECT_MAGIC},      // E3 10 00 01
    {CONTAINER_PNG_ICON, PNG_ICON_MAGIC},           // 89 50 4E 47, the start of the PNG signature
    {CONTAINER_WINDOWS_ICON, ICO_MAGIC},            // 00 00 01 00
    {CONTAINER_MAC_ICON, ICNS_MAGIC},               // "icns"
};

// Row i is IconContainer i.
constexpr bool ContainerRowsInOrder()
{
    int misplaced = 0;
    for (int i = 0; i < ICON_CONTAINER_COUNT; ++i)
        misplaced += ContainerTable[i].container != i;
    return misplaced == 0;
}
static_assert(ContainerRowsInOrder());

// The four DiskObject formats share one writer: the variant says what it
// adds to the classic images.
enum AmigaIconVariant : int {
    AMIGA_CLASSIC,      // the classic planar images only
    AMIGA_NEWICONS,     // plus NewIcons tooltype lines
    AMIGA_OS35,         // plus a FORM with IMAG palette images
    AMIGA_OS40,         // plus a FORM with ARGB true-colour images
};

// ---- What a save format stores ----------------------------------------------------

// A set of image depths: bit d stands for depth d, 0 to 32.
using DepthSet = std::uint64_t;

constexpr DepthSet Depth(std::int32_t depth)
{
    return DepthSet{1} << depth;
}

// Depths first to last.
constexpr DepthSet DepthRange(std::int32_t first, std::int32_t last)
{
    DepthSet set = 0;
    for (std::int32_t depth = first; depth <= last; ++depth)
        set |= Depth(depth);
    return set;
}

constexpr bool HasDepth(DepthSet set, std::int32_t depth)
{
    // A negative depth turns into a large one.
    return static_cast<std::uint32_t>(depth) <= 32 && ((set >> depth) & 1) != 0;
}

struct FormatCapacity {
    std::int32_t maxSide;       // largest width and height of an image it stores
    DepthSet depths;            // depths it stores images of as they are
    DepthSet reducedDepths;     // depths it converts into one of those when no image of them fits
    bool selectedState;         // stores a selected image, the normal one's twin, beside it
    bool namedSidesOnly;        // only square images of the sides its entry types name (IcnsWritesImage)
};

// The classic planar images every DiskObject format starts with: the first
// 2- or 3-plane image as it is, else the shallowest normal-state image of
// any palette depth (0 to 8) or true colour reduced to 2 planes. The selected
// twin is the next image when it has the same size (and, as it is, the same
// depth).
inline constexpr FormatCapacity AMIGA_CLASSIC_CAPACITY = {
    256, Depth(2) | Depth(3), DepthRange(0, 8) | Depth(32), true, false};

// NewIcons lines: a palette image whose sides fit a header character, else
// a true-colour image quantised.
inline constexpr FormatCapacity NEWICONS_CAPACITY = {
    NEWICONS_MAX_SIDE, DepthRange(1, NEWICONS_MAX_BITS), Depth(32), true, false};

// The FORM: "FACE" keeps each side minus 1 in a byte. "IMAG" chunks hold
// palette images (a true-colour image is quantised when no palette image
// fits), "ARGB" chunks true-colour images.
inline constexpr FormatCapacity FORM_IMAG_CAPACITY = {
    ICON_FACE_MAX_SIDE, DepthRange(1, ICON_IMAG_MAX_DEPTH), Depth(32), true, false};
inline constexpr FormatCapacity FORM_ARGB_CAPACITY = {ICON_FACE_MAX_SIDE, Depth(ICON_ARGB_DEPTH), 0, true, false};

// A PNG icon is one true-colour picture of any size the model allows, and
// its selected twin as a second picture (a palette twin made true colour).
inline constexpr FormatCapacity PNG_ICON_CAPACITY = {ICON_MAX_SIDE, Depth(32), 0, true, false};

// Selected images are written as entries of their own: the state is lost.
inline constexpr FormatCapacity WINDOWS_ICON_CAPACITY = {
    ICO_MAX_SIDE, Depth(1) | Depth(4) | Depth(8) | Depth(32), 0, false, false};

// 8-bit images where an 8-bit entry type exists (up to 48 x 48), true-colour
// images at every side the entry types name.
inline constexpr FormatCapacity MAC_ICON_CAPACITY = {IcnsLargestWrittenSide(), Depth(8) | Depth(32), 0, false, true};

// Whether neither side is larger than the format's largest.
constexpr bool FitsSides(const FormatCapacity& capacity, std::int32_t width, std::int32_t height)
{
    return width <= capacity.maxSide && height <= capacity.maxSide;
}

// Whether the format stores an image of this size and depth as it is.
constexpr bool StoresImage(const FormatCapacity& capacity, std::int32_t width, std::int32_t height,
                           std::int32_t depth)
{
    if (capacity.namedSidesOnly)
        return width == height && IcnsWritesImage(width, depth);
    return width >= 1 && height >= 1 && FitsSides(capacity, width, height) && HasDepth(capacity.depths, depth);
}

static_assert(StoresImage(MAC_ICON_CAPACITY, 48, 48, 8) && !StoresImage(MAC_ICON_CAPACITY, 64, 64, 8));
static_assert(StoresImage(MAC_ICON_CAPACITY, 1024, 1024, 32) && !StoresImage(MAC_ICON_CAPACITY, 24, 24, 32));

// ---- Save formats ---------------------------------------------------------------------

struct SaveFormatRow {
    const char* keyword;        // what RegisterIconSaver reports
    const char* displayName;    // what the host lists; the FormatId is made from it
    const char* extension;
    std::uint32_t formatId;     // CRC-32 of "tessel/" and the display name
    IconContainer container;
    int variant;                // the writer's variant within the container: AmigaIconVariant, else 0
    bool carriesAttributes;     // stores the icon's attributes, so a save needs the host's record
    FormatCapacity images;      // what it stores; a DiskObject format writes AMIGA_CLASSIC_CAPACITY's images too
};

inline constexpr int SAVE_FORMAT_COUNT = 7;

// The order is the host's: RegisterIconSaver walks it.
// keyword, display name, extension, FormatId, container, variant, attributes, images
inline constexpr SaveFormatRow SaveFormatTable[SAVE_FORMAT_COUNT] = {
    {"AMIGAOS", "Amiga icon", "info", 0x2CDC9BA4, CONTAINER_DISKOBJECT, AMIGA_CLASSIC, true, AMIGA_CLASSIC_CAPACITY},
    {"NEWICON", "NewIcon", "info", 0x4B6273B7, CONTAINER_DISKOBJECT, AMIGA_NEWICONS, true, NEWICONS_CAPACITY},
    {"AMIGAOS35", "AmigaOS 3.5 icon", "info", 0x048ACE1F, CONTAINER_DISKOBJECT, AMIGA_OS35, true, FORM_IMAG_CAPACITY},
    {"AMIGAOS40", "AmigaOS 4.0 icon", "info", 0x5E8256B5, CONTAINER_DISKOBJECT, AMIGA_OS40, true, FORM_ARGB_CAPACITY},
    {"PNG", "PNG icon", "info", 0x66299321, CONTAINER_PNG_ICON, 0, true, PNG_ICON_CAPACITY},
    {"WINDOWS", "Windows icon", "ico", 0x4FF820F7, CONTAINER_WINDOWS_ICON, 0, false, WINDOWS_ICON_CAPACITY},
    {"MACOS", "macOS icon", "icns", 0xBBA9467B, CONTAINER_MAC_ICON, 0, false, MAC_ICON_CAPACITY},
};

constexpr bool SameText(const char* a, const char* b)
{
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

constexpr std::uint32_t TextLength(const char* text)
{
    std::uint32_t length = 0;
    while (text[length])
        ++length;
    return length;
}

// The FormatId the host knows a format by: the CRC-32 of "tessel/" followed
// by the format's display name.
constexpr std::uint32_t FormatIdOf(const char* displayName)
{
    return Crc32Update(Crc32("tessel/", 7), displayName, TextLength(displayName));
}

// Row index of the format with this keyword (compared exactly), or -1.
constexpr int SaveFormatIndex(const char* keyword)
{
    for (int index = 0; index < SAVE_FORMAT_COUNT; ++index)
        if (SameText(SaveFormatTable[index].keyword, keyword))
            return index;
    return -1;
}

// The row of the format with this keyword, or null.
constexpr const SaveFormatRow* FindSaveFormat(const char* keyword)
{
    const int index = SaveFormatIndex(keyword);
    return index < 0 ? nullptr : &SaveFormatTable[index];
}

// The FormatId of the format with this keyword, or 0. By index: a constant
// expression may not test a pointer into the table against null in every
// build (the sanitizers' checks make it a run-time test).
constexpr std::uint32_t SaveFormatId(const char* keyword)
{
    const int index = SaveFormatIndex(keyword);
    return index < 0 ? 0 : SaveFormatTable[index].formatId;
}
static_assert(SaveFormatId("") == 0 && SaveFormatId("AMIGAOS") == SaveFormatTable[0].formatId);

// Every FormatId is its display name's, and no two rows share a keyword or a
// FormatId: the host's walk over the formats goes from one FormatId to the next.
constexpr bool SaveFormatRowsAgree()
{
    int disagreements = 0;
    for (int i = 0; i < SAVE_FORMAT_COUNT; ++i) {
        const SaveFormatRow& row = SaveFormatTable[i];
        disagreements += (row.formatId == 0) + (row.formatId != FormatIdOf(row.displayName));
        for (int j = 0; j < i; ++j)
            disagreements += SameText(SaveFormatTable[j].keyword, row.keyword) + (SaveFormatTable[j].formatId == row.formatId);
    }
    return disagreements == 0;
}
static_assert(SaveFormatRowsAgree());
