#include "tool/convert_prepare.h"

#include "plugin/format_table.h"

#include "tool/format_fitting.h"
#include "tool/resize.h"
#include "tool/text_encoding.h"

#include <algorithm>

namespace tessel::tool {

namespace {

std::string ToolTypeKey(const std::string& toolType)
{
    return LowerAscii(toolType.substr(0, toolType.find('=')));
}

// The sides the macOS writer makes entries of, smallest first, as "16, 32,
// ... or 1024".
std::string IcnsSidesText()
{
    std::vector<std::int32_t> sides;
    for (const IcnsTypeRow& row : IcnsTypeTable)
        if (row.writtenFrom != 0 && std::find(sides.begin(), sides.end(), row.width) == sides.end())
            sides.push_back(row.width);
    std::sort(sides.begin(), sides.end());
    std::string text;
    for (std::size_t i = 0; i < sides.size(); ++i)
        text += (i == 0 ? "" : i + 1 == sides.size() ? " or " : ", ") + std::to_string(sides[i]);
    return text;
}

std::string SideText(std::int32_t side)
{
    return std::to_string(side) + "x" + std::to_string(side);
}

// Whether the capacity holds the image as it is or after reducing its depth.
bool HoldsImage(const FormatCapacity& capacity, const Image& image)
{
    return FitsSides(capacity, image.width, image.height) &&
           HasDepth(capacity.depths | capacity.reducedDepths, image.depth);
}

void ApplyAttributeOptions(const CommandLine& line, Attributes& attributes)
{
    if (line.setType)
        attributes.type = *line.setType;
    if (line.setDefaultTool)
        attributes.defaultTool = *line.setDefaultTool;
    if (line.setPositionX && line.setPositionY) {
        attributes.posX = *line.setPositionX;
        attributes.posY = *line.setPositionY;
    }
    if (line.setStack)
        attributes.stackSize = *line.setStack;
    for (const std::string& toolType : line.setToolTypes) {
        const std::string key = ToolTypeKey(toolType);
        auto same = std::find_if(attributes.toolTypes.begin(), attributes.toolTypes.end(),
                                 [&](const std::string& existing) { return ToolTypeKey(existing) == key; });
        if (same != attributes.toolTypes.end())
            *same = toolType;
        else if (attributes.toolTypes.size() < MAX_TOOL_TYPES)
            attributes.toolTypes.push_back(toolType);
    }
}

}  // namespace

void PrepareIconForFormat(const CommandLine& line, const std::string& keyword, Icon& icon)
{
    ApplyAttributeOptions(line, icon.attributes);
    if (line.resize)
        AddResizedImages(icon.images, keyword);
    FitImagesToFormat(icon.images, keyword);
}

// The writers leave out images they cannot store and fail when none is left;
// saying which rule did it is more use than "cannot save". The rules follow
// the writers'.
std::string WhyNothingFits(const std::vector<Image>& images, const std::string& keyword)
{
    const SaveFormatRow* found = FindSaveFormat(keyword.c_str());
    if (!found)
        return {};
    const SaveFormatRow& format = *found;
    const FormatCapacity& capacity = format.images;
    auto any = [&](auto fits) { return std::any_of(images.begin(), images.end(), fits); };
    auto stored = [](const FormatCapacity& part) {
        return [&part](const Image& image) { return StoresImage(part, image.width, image.height, image.depth); };
    };
    if (format.container == CONTAINER_WINDOWS_ICON && !any(stored(capacity)))
        return "nothing the format can hold (Windows icons store images of at most " + SideText(capacity.maxSide) +
               ")";
    if (format.container == CONTAINER_MAC_ICON &&
        !any([](const Image& image) { return image.width == image.height && IcnsWritesImage(image.width, 0); }))
        return "nothing the format can hold (macOS icons store only square images of " + IcnsSidesText() +
               " pixels; --resize makes them from larger images)";
    if (format.container != CONTAINER_DISKOBJECT)
        return {};
    auto normal = [](const Image& image) { return (image.flags & IMAGEFLAG_SELECTED) == 0; };
    const FormatCapacity& classicPart = AMIGA_CLASSIC_CAPACITY;
    if (!any([&](const Image& image) { return normal(image) && HoldsImage(classicPart, image); }))
        return "nothing the format can hold (Amiga icons need a normal-state image of at most " +
               SideText(classicPart.maxSide) + ")";
    if (format.variant == AMIGA_CLASSIC)
        return {};
    if (capacity.reducedDepths == 0 && !any(stored(capacity)))
        return "nothing the format can hold (" + std::string(format.displayName) + "s store a true-colour image of " +
               "at most " + SideText(capacity.maxSide) + ")";
    if (capacity.reducedDepths != 0) {
        // The classic part keeps the first 2- or 3-plane image as it is; the
        // colour part needs another normal-state image, or a true-colour one.
        auto classic = std::find_if(images.begin(), images.end(), stored(classicPart));
        bool colour = false;
        for (auto image = images.begin(); image != images.end() && !colour; ++image)
            colour = image != classic && normal(*image) && HoldsImage(capacity, *image);
        if (!colour)
            return "nothing the format can hold (its colour image needs a normal-state image of at most " +
                   SideText(capacity.maxSide) + " besides the 2- or 3-plane one kept as the classic image)";
    }
    return {};
}

SaveRequest SaveRequestFor(const CommandLine& line, const runtime::SaveFormat& format)
{
    SaveRequest request;
    request.formatId = format.formatId;
    request.formatName = format.displayName.empty() ? format.keyword : format.displayName;
    request.compress = line.compress;
    return request;
}

}  // namespace tessel::tool
