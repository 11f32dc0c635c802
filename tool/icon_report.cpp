#include "tool/icon_report.h"

#include "plugin/format_table.h"
#include "tool/text_encoding.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <limits>
#include <string_view>

namespace tessel::tool {

namespace {

// Icon types, numbered as the Amiga's Workbench numbers them.
constexpr const char* IconTypeNames[] = {
    // 0..8
    "", "disk", "drawer", "tool", "project", "garbage", "device", "kick", "appicon",
};
static_assert(std::size(IconTypeNames) == ICON_TYPE_HIGHEST + 1);

// Drawer view modes, same numbering.
constexpr const char* ViewModeNames[] = {
    // 0..5
    "default", "by icon", "by name", "by date", "by size", "by type",
};

// The name a table gives a number, or "" for a number it has no row for.
template <std::size_t N>
std::string NameOf(const char* const (&names)[N], std::int32_t number)
{
    return static_cast<std::uint32_t>(number) < N ? names[number] : "";  // a negative number turns into a large one
}

// The position a Workbench icon has when the system is left to place it.
constexpr std::int32_t NO_ICON_POSITION = std::numeric_limits<std::int32_t>::min();

std::string PaddedTo(const std::string& text, std::size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string Hex32(std::uint32_t value)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08x", value);
    return buffer;
}

std::string FlagNames(std::uint32_t flags)
{
    std::string names;
    if (flags & IMAGEFLAG_PRIMARY)
        names += "primary";
    if (flags & IMAGEFLAG_SELECTED)
        names += names.empty() ? "selected" : ", selected";
    if (flags & ~(IMAGEFLAG_PRIMARY | IMAGEFLAG_SELECTED))
        names += names.empty() ? "other" : ", other";
    return names.empty() ? "none" : names;
}

std::string Field(const char* label, const std::string& value)
{
    return "  " + PaddedTo(std::string(label) + ":", 15) + value + "\n";
}

// The file's format, with the keyword that writes it when its extension is
// shared by several formats: "Amiga icon (AMIGAOS35)".
std::string FormatLabel(const Icon& icon)
{
    if (!icon.savedAs)
        return icon.format;
    const auto sharing = std::count_if(std::begin(SaveFormatTable), std::end(SaveFormatTable), [&](const SaveFormatRow& row) {
        return std::string_view(row.extension) == icon.savedAs->extension;
    });
    return sharing > 1 ? icon.format + " (" + icon.savedAs->keyword + ")" : icon.format;
}

// Whether the file's format has the Amiga attributes; when not known, they
// are shown.
bool ShowsAttributes(const Icon& icon)
{
    return !icon.savedAs || icon.savedAs->carriesAttributes;
}

// The transparent pen as info shows it: true-colour images have none.
std::int32_t ShownPen(const Image& image)
{
    return image.depth > 8 ? -1 : image.transparentPen;
}

}  // namespace

std::string FormatsTable(const std::vector<runtime::SaveFormat>& formats)
{
    auto orDash = [](const std::string& text) { return text.empty() ? std::string("-") : text; };
    auto extensionOf = [&](const runtime::SaveFormat& format) {
        return format.extension.empty() ? std::string("-") : "." + format.extension;
    };
    std::size_t keywordWidth = 0, nameWidth = 0, extensionWidth = 0;
    for (const runtime::SaveFormat& format : formats) {
        keywordWidth = std::max(keywordWidth, orDash(format.keyword).size());
        nameWidth = std::max(nameWidth, orDash(format.displayName).size());
        extensionWidth = std::max(extensionWidth, extensionOf(format).size());
    }
    std::string table;
    for (const runtime::SaveFormat& format : formats) {
        table += PaddedTo(orDash(format.keyword), keywordWidth + 2);
        table += PaddedTo(orDash(format.displayName), nameWidth + 2);
        table += PaddedTo(extensionOf(format), extensionWidth + 2);
        table += Hex32(format.formatId) + "\n";
    }
    return table;
}

std::string IconTypeName(std::int32_t type)
{
    return NameOf(IconTypeNames, type);
}

// The palette entries a palette image's depth can address; 0 for true colour.
static std::int64_t PaletteSize(const Image& image)
{
    return image.depth > 8 ? 0 : std::int64_t{1} << image.depth;
}

static std::string AttributeLines(const Attributes& a);

std::string InfoText(const std::string& file, const Icon& icon)
{
    const Attributes& a = icon.attributes;
    std::string text = Shown(file) + ": " + FormatLabel(icon) + "\n";
    if (ShowsAttributes(icon))
        text += AttributeLines(a);
    text += Field("images", std::to_string(icon.images.size()));
    for (std::size_t i = 0; i < icon.images.size(); ++i) {
        const Image& image = icon.images[i];
        text += "    #" + std::to_string(i) + ": " + std::to_string(image.width) + " x " +
                std::to_string(image.height) + ", depth " + std::to_string(image.depth) + ", flags " +
                std::to_string(image.flags) + " (" + FlagNames(image.flags) + "), transparent pen " +
                (ShownPen(image) < 0 ? std::string("none") : std::to_string(image.transparentPen)) +
                (image.depth <= 8 ? ", palette " + std::to_string(PaletteSize(image)) + " colours" : std::string()) +
                "\n";
    }
    return text;
}

static std::string AttributeLines(const Attributes& a)
{
    std::string text;
    std::string typeName = a.type == 0 ? "none" : IconTypeName(a.type);
    text += Field("type", typeName.empty() ? std::to_string(a.type) : typeName + " (" + std::to_string(a.type) + ")");
    if (a.posX == NO_ICON_POSITION || a.posY == NO_ICON_POSITION)
        text += Field("position", "unset (placed by the system)");
    else
        text += Field("position", std::to_string(a.posX) + ", " + std::to_string(a.posY));
    text += Field("drawer window", std::to_string(a.drawerLeft) + ", " + std::to_string(a.drawerTop) + ", " +
                                       std::to_string(a.drawerWidth) + " x " + std::to_string(a.drawerHeight));
    const std::string viewModeName = NameOf(ViewModeNames, a.viewMode);
    text += Field("view mode", viewModeName.empty() ? std::to_string(a.viewMode)
                                                    : viewModeName + " (" + std::to_string(a.viewMode) + ")");
    text += Field("show all", a.showAll ? "yes" : "no");
    text += Field("stack size", std::to_string(a.stackSize));
    text += Field("default tool", a.defaultTool ? DisplayString(*a.defaultTool) : "none");
    text += Field("tooltypes", std::to_string(a.toolTypes.size()));
    for (const std::string& line : a.toolTypes)
        text += "    " + DisplayString(line) + "\n";
    return text;
}

std::string InfoJson(const std::string& file, const Icon& icon)
{
    const Attributes& a = icon.attributes;
    auto number = [](std::int64_t value) { return std::to_string(value); };
    std::string json = "{\"file\":" + JsonString(file) + ",\"format\":" + JsonString(icon.format) +
                       ",\"keyword\":" + (icon.savedAs ? JsonString(icon.savedAs->keyword) : "null");
    if (!ShowsAttributes(icon)) {
        json += ",\"attributes\":null";
    } else {
        json += ",\"attributes\":{\"type\":" + number(a.type) + ",\"typeName\":" + JsonString(IconTypeName(a.type)) +
            ",\"posX\":" + number(a.posX) + ",\"posY\":" + number(a.posY) +
            ",\"drawerLeft\":" + number(a.drawerLeft) + ",\"drawerTop\":" + number(a.drawerTop) +
            ",\"drawerWidth\":" + number(a.drawerWidth) + ",\"drawerHeight\":" + number(a.drawerHeight) +
            ",\"viewMode\":" + number(a.viewMode) + ",\"showAll\":" + (a.showAll ? "true" : "false") +
            ",\"stackSize\":" + number(a.stackSize) +
            ",\"defaultTool\":" + (a.defaultTool ? JsonString(*a.defaultTool) : "null") + ",\"toolTypes\":[";
        for (std::size_t i = 0; i < a.toolTypes.size(); ++i)
            json += (i ? "," : "") + JsonString(a.toolTypes[i]);
        json += "]}";
    }

    json += ",\"images\":[";
    for (std::size_t i = 0; i < icon.images.size(); ++i) {
        const Image& image = icon.images[i];
        json += std::string(i ? "," : "") + "{\"index\":" + number(static_cast<std::int64_t>(i)) +
                ",\"width\":" + number(image.width) + ",\"height\":" + number(image.height) +
                ",\"depth\":" + number(image.depth) + ",\"flags\":" + number(image.flags) +
                ",\"transparentPen\":" + number(ShownPen(image)) +
                ",\"paletteSize\":" + number(PaletteSize(image)) + "}";
    }
    json += "]}";
    return json;
}

std::string InfoBriefLine(const std::string& file, const Icon& icon)
{
    std::string text = Shown(file) + "  " + FormatLabel(icon) + "  " + std::to_string(icon.images.size()) +
                       (icon.images.size() == 1 ? " image" : " images");
    for (std::size_t i = 0; i < icon.images.size(); ++i) {
        const Image& image = icon.images[i];
        text += (i == 0 ? "  " : " ") + std::to_string(image.width) + "x" + std::to_string(image.height) + "/" +
                std::to_string(image.depth);
        if (image.flags & IMAGEFLAG_PRIMARY)
            text += "p";
        if (image.flags & IMAGEFLAG_SELECTED)
            text += "s";
    }
    return text;
}

}  // namespace tessel::tool
