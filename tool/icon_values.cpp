#include "tool/icon_values.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace tessel::tool {

bool HasAttributes(const Attributes& attributes)
{
    return attributes.type != 0 || attributes.defaultTool.has_value() || !attributes.toolTypes.empty();
}

bool CopyImages(const IconImage* first, std::vector<Image>& images, std::string* why, bool withPixels)
{
    auto fail = [&](const std::string& reason) {
        if (why)
            *why = reason;
        images.clear();
        return false;
    };
    images.clear();
    std::uint64_t trueColourBytes = 0;
    for (const IconImage* record = first; record; record = record->next) {
        if (images.size() == MAX_IMAGES_PER_ICON)
            return fail("more than " + std::to_string(MAX_IMAGES_PER_ICON) + " images");
        std::uint64_t bytes = IconPixelBytes(record->width, record->height, record->depth);
        if (bytes == 0)
            return fail("image " + std::to_string(images.size()) + " has an impossible size or depth");
        if (!record->pixels)
            return fail("image " + std::to_string(images.size()) + " has no pixels");
        trueColourBytes += std::uint64_t(record->width) * std::uint64_t(record->height) * 4;
        if (withPixels && trueColourBytes > MAX_ICON_WORKING_BYTES)
            return fail("its images need more than " + std::to_string(MAX_ICON_WORKING_BYTES >> 20) +
                        " MiB as true colour, more than the tool works on");
        Image image;
        image.width = record->width;
        image.height = record->height;
        image.depth = record->depth;
        image.flags = record->flags;
        image.transparentPen = record->transparentPen;
        if (!withPixels) {
            images.push_back(std::move(image));
            continue;
        }
        image.pixels.assign(record->pixels, record->pixels + bytes);
        if (record->depth <= 8) {
            // A missing palette reads as all black rather than failing the load:
            // the pixels are still worth showing.
            image.palette.assign(ICON_PALETTE_ENTRIES, 0);
            if (record->palette)
                std::copy_n(record->palette, ICON_PALETTE_ENTRIES, image.palette.begin());
        }
        images.push_back(std::move(image));
    }
    return true;
}

Attributes CopyAttributes(const IconAttributes& record)
{
    Attributes attributes;
    attributes.type = record.type;
    attributes.viewMode = record.viewMode;
    attributes.posX = record.posX;
    attributes.posY = record.posY;
    attributes.drawerLeft = record.drawerLeft;
    attributes.drawerTop = record.drawerTop;
    attributes.drawerWidth = record.drawerWidth;
    attributes.drawerHeight = record.drawerHeight;
    attributes.stackSize = record.stackSize;
    attributes.showAll = record.showAll;
    if (record.defaultTool)
        attributes.defaultTool = std::string(record.defaultTool);
    if (record.toolTypes) {
        std::size_t i = 0;
        for (; i < MAX_TOOL_TYPES && record.toolTypes[i]; ++i)
            attributes.toolTypes.emplace_back(record.toolTypes[i]);
        attributes.toolTypesCut = i == MAX_TOOL_TYPES && record.toolTypes[i];
    }
    return attributes;
}

Icon MergeIcons(std::vector<Icon>&& icons)
{
    Icon merged;
    bool haveAttributes = false;
    for (Icon& icon : icons) {
        if (!haveAttributes && HasAttributes(icon.attributes)) {
            merged.attributes = icon.attributes;
            haveAttributes = true;
        }
        std::move(icon.images.begin(), icon.images.end(), std::back_inserter(merged.images));
    }
    icons.clear();
    return merged;
}

std::uint64_t TrueColourBytes(const std::vector<Image>& images)
{
    std::uint64_t bytes = 0;
    for (const Image& image : images)
        bytes += std::uint64_t(image.width) * std::uint64_t(image.height) * 4;
    return bytes;
}

SaveImageList::SaveImageList(const std::vector<Image>& images)
{
    records_.resize(images.size());
    pixels_.reserve(images.size());
    palettes_.reserve(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const Image& image = images[i];
        IconImage& record = records_[i];
        record = IconImage{};
        record.next = i + 1 < images.size() ? &records_[i + 1] : nullptr;
        record.width = image.width;
        record.height = image.height;
        record.flags = image.flags;
        record.transparentPen = image.transparentPen;
        record.depth = image.depth;
        record.mark = 0;
        // The module only reads the pixels, so a whole buffer is lent as it
        // is; a short one is copied and padded so the module never reads
        // past it (the module itself refuses sizes it cannot store).
        const std::uint64_t needed = IconPixelBytes(image.width, image.height, image.depth);
        if (needed > image.pixels.size()) {
            pixels_.push_back(image.pixels);
            pixels_.back().resize(needed, 0);
            record.pixels = pixels_.back().data();
        } else {
            record.pixels = const_cast<std::uint8_t*>(image.pixels.data());
        }
        if (image.depth <= 8) {
            // Always a full 256-entry palette, so no pixel byte can index past it.
            std::vector<std::uint32_t> palette(ICON_PALETTE_ENTRIES, 0);
            std::copy_n(image.palette.begin(), std::min<std::size_t>(image.palette.size(), ICON_PALETTE_ENTRIES), palette.begin());
            palettes_.push_back(std::move(palette));
            record.palette = palettes_.back().data();
        }
    }
}

static std::vector<char> Terminated(const std::string& text)
{
    std::vector<char> bytes(text.begin(), text.end());
    bytes.push_back('\0');
    return bytes;
}

AttributesRecord::AttributesRecord(const Attributes& attributes)
{
    record_.type = attributes.type;
    record_.viewMode = attributes.viewMode;
    record_.posX = attributes.posX;
    record_.posY = attributes.posY;
    record_.drawerLeft = attributes.drawerLeft;
    record_.drawerTop = attributes.drawerTop;
    record_.drawerWidth = attributes.drawerWidth;
    record_.drawerHeight = attributes.drawerHeight;
    record_.stackSize = attributes.stackSize;
    record_.showAll = attributes.showAll;
    if (attributes.defaultTool) {
        defaultTool_ = Terminated(*attributes.defaultTool);
        record_.defaultTool = defaultTool_.data();
    }
    if (!attributes.toolTypes.empty()) {
        toolTypes_.reserve(attributes.toolTypes.size());
        for (const std::string& line : attributes.toolTypes) {
            toolTypes_.push_back(Terminated(line));
            toolTypePointers_.push_back(toolTypes_.back().data());
        }
        toolTypePointers_.push_back(nullptr);
        record_.toolTypes = toolTypePointers_.data();
    }
}

}  // namespace tessel::tool
