#include "tool/convert_prepare.h"

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

// Sides of the square images a macOS icon family has entries for.
constexpr std::int32_t MacosSides[] = {16, 32, 48, 64, 128, 256, 512, 1024};
// Windows icon directories and Amiga icon image chunks hold at most this side.
constexpr std::int32_t ICON_MAX_STORED_SIDE = 256;
// NewIcons image lines describe at most this side.
constexpr std::int32_t NEWICONS_MAX_STORED_SIDE = 93;

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
    auto any = [&](auto fits) { return std::any_of(images.begin(), images.end(), fits); };
    auto small = [](const Image& image) {
        return image.width <= ICON_MAX_STORED_SIDE && image.height <= ICON_MAX_STORED_SIDE;
    };
    if (keyword == "WINDOWS" && !any([&](const Image& image) {
            return small(image) && (image.depth == 1 || image.depth == 4 || image.depth == 8 || image.depth == 32);
        }))
        return "nothing the format can hold (Windows icons store images of at most 256x256)";
    if (keyword == "MACOS" && !any([](const Image& image) {
            return image.width == image.height &&
                   std::find(std::begin(MacosSides), std::end(MacosSides), image.width) != std::end(MacosSides);
        }))
        return "nothing the format can hold (macOS icons store only square images of 16, 32, 48, 64, 128, 256, "
               "512 or 1024 pixels; --resize makes them from larger images)";
    const bool amiga = keyword == "AMIGAOS" || keyword == "NEWICON" || keyword == "AMIGAOS35" || keyword == "AMIGAOS40";
    auto normal = [](const Image& image) { return (image.flags & IMAGEFLAG_SELECTED) == 0; };
    if (amiga && !any([&](const Image& image) {
            return normal(image) && small(image) && (image.depth <= 8 || image.depth == 32);
        }))
        return "nothing the format can hold (Amiga icons need a normal-state image of at most 256x256)";
    if (keyword == "AMIGAOS40" && !any([&](const Image& image) { return image.depth == 32 && small(image); }))
        return "nothing the format can hold (AmigaOS 4.0 icons store a true-colour image of at most 256x256)";
    if (keyword == "NEWICON" || keyword == "AMIGAOS35") {
        // The classic part keeps the first 2- or 3-plane image as it is; the
        // colour part needs another normal-state image, or a true-colour one.
        auto classic = std::find_if(images.begin(), images.end(), [&](const Image& image) {
            return small(image) && (image.depth == 2 || image.depth == 3);
        });
        const std::int32_t side = keyword == "NEWICON" ? NEWICONS_MAX_STORED_SIDE : ICON_MAX_STORED_SIDE;
        bool colour = false;
        for (auto image = images.begin(); image != images.end() && !colour; ++image)
            colour = image != classic && normal(*image) && image->width <= side && image->height <= side &&
                     ((image->depth >= 1 && image->depth <= 8) || image->depth == 32);
        if (!colour)
            return "nothing the format can hold (its colour image needs a normal-state image of at most " +
                   std::to_string(side) + "x" + std::to_string(side) +
                   " besides the 2- or 3-plane one kept as the classic image)";
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
