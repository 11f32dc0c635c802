// The tool's own copy of an icon: plain C++ values that outlive the module's
// handle, and the records built from them when an icon goes back to the module.
#pragma once

#include "icon/icon_limits.h"
#include "plugin/format_table.h"
#include "plugin/plugin_abi.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessel::tool {

// An image list from the module longer than the longest one a save accepts
// is taken as broken (a cycle) rather than walked for ever.
inline constexpr std::size_t MAX_IMAGES_PER_ICON = SAVE_MAX_IMAGES;
// The module sets no count of tooltypes: it builds the array from the lines
// of the file's tooltype block. This guard only keeps an array without its
// null end from being walked for ever, and caps what --tooltype adds; 65,536
// lines is far past what any icon carries.
inline constexpr std::size_t MAX_TOOL_TYPES = 65536;
// The true-colour bytes of all of an icon's images the tool works on: a
// 4096 x 4096 picture, four times the largest side any icon format names.
// The few working copies a conversion makes then stay far within a
// gigabyte, and the passes over the pixels within seconds.
inline constexpr std::uint64_t MAX_ICON_WORKING_BYTES = 64ull << 20;

// An image as CopyImages makes it, whole: its pixel buffer and palette always
// have the sizes written here, which the code drawing and writing it relies on.
struct Image {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t depth = 0;               // 0..8: palette indices; above 8: 0xAARRGGBB words
    std::uint32_t flags = 0;              // IMAGEFLAG_PRIMARY, IMAGEFLAG_SELECTED
    std::int32_t transparentPen = -1;     // -1: none
    std::vector<std::uint8_t> pixels;     // width*height bytes, or width*height*4 above depth 8
    std::vector<std::uint32_t> palette;   // 256 entries 0x00RRGGBB up to depth 8, else empty
};

struct Attributes {
    std::int32_t type = 0;
    std::int32_t viewMode = 0;
    std::int32_t posX = 0;
    std::int32_t posY = 0;
    std::int32_t drawerLeft = 0;
    std::int32_t drawerTop = 0;
    std::int32_t drawerWidth = 0;
    std::int32_t drawerHeight = 0;
    std::int32_t stackSize = 0;
    std::int32_t showAll = 0;
    std::optional<std::string> defaultTool;
    std::vector<std::string> toolTypes;
    bool toolTypesCut = false;   // more than MAX_TOOL_TYPES were given: the rest are not kept    // raw bytes, usually Latin-1
};

struct Icon {
    std::string format;                    // display name of the file's format
    const SaveFormatRow* savedAs = nullptr;   // the save format that writes files like it, when known
    Attributes attributes;
    std::vector<Image> images;
};

// True when the icon carries attributes worth keeping: a type, a default tool
// or tooltypes.
bool HasAttributes(const Attributes& attributes);

// Copies the module's image list and attribute record into plain values.
// Returns false, with *why set, when the list is not one the tool can trust
// (an impossible size, no pixels, an endless list).
// withPixels false copies what each image is (sides, depth, flags, pen) but
// neither pixels nor palette, for reports; with them, an icon whose images
// would need more than MAX_ICON_WORKING_BYTES as true colour is refused.
bool CopyImages(const IconImage* first, std::vector<Image>& images, std::string* why, bool withPixels = true);
Attributes CopyAttributes(const IconAttributes& record);

// Images of every icon in order, attributes from the first icon that has any
// (zeroed when none has).
// The icons' images are moved, and the list left empty.
Icon MergeIcons(std::vector<Icon>&& icons);

// What the images would take as true colour.
std::uint64_t TrueColourBytes(const std::vector<Image>& images);

// A linked list of IconImage records over copies of the images, for SaveIcon.
// The records and buffers live as long as the list.
class SaveImageList {
public:
    explicit SaveImageList(const std::vector<Image>& images);
    SaveImageList(const SaveImageList&) = delete;
    SaveImageList& operator=(const SaveImageList&) = delete;

    IconImage* First() { return records_.empty() ? nullptr : records_.data(); }
    std::size_t Size() const { return records_.size(); }

private:
    std::vector<IconImage> records_;
    std::vector<std::vector<std::uint8_t>> pixels_;
    std::vector<std::vector<std::uint32_t>> palettes_;
};

// An IconAttributes record whose strings and tooltype array live in this
// object.
class AttributesRecord {
public:
    explicit AttributesRecord(const Attributes& attributes);
    AttributesRecord(const AttributesRecord&) = delete;
    AttributesRecord& operator=(const AttributesRecord&) = delete;

    IconAttributes* Get() { return &record_; }

private:
    IconAttributes record_{};
    std::vector<char> defaultTool_;
    std::vector<std::vector<char>> toolTypes_;
    std::vector<char*> toolTypePointers_;
};

}  // namespace tessel::tool
