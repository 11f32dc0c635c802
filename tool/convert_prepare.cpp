#include "tool/convert_prepare.h"

#include "plugin/format_table.h"

#include "tool/format_fitting.h"
#include "tool/picture_export.h"
#include "tool/resize.h"
#include "tool/text_encoding.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <tuple>

namespace tessel::tool {

namespace {

// A tooltype's key in lower case, without the parentheses that disable it.
std::string ToolTypeKey(const std::string& toolType)
{
    std::string key = toolType.substr(0, toolType.find('='));
    if (key.size() >= 2 && key.front() == '(')
        key = key.substr(1, key.back() == ')' ? key.size() - 2 : key.size() - 1);
    return LowerAscii(key);
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

std::string SideText(std::int32_t width, std::int32_t height)
{
    return std::to_string(width) + "x" + std::to_string(height);
}

std::string SideText(std::int32_t side)
{
    return SideText(side, side);
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
    if (line.clearToolTypes)
        attributes.toolTypes.clear();
    for (const std::string& key : line.removeToolTypes)
        std::erase_if(attributes.toolTypes,
                      [&](const std::string& existing) { return ToolTypeKey(existing) == LowerAscii(key); });
    for (const std::string& toolType : line.setToolTypes) {
        const std::string key = ToolTypeKey(toolType);
        auto same = std::find_if(attributes.toolTypes.begin(), attributes.toolTypes.end(),
                                 [&](const std::string& existing) { return ToolTypeKey(existing) == key; });
        if (same != attributes.toolTypes.end())
            *same = toolType;
        else if (attributes.toolTypes.size() < MAX_TOOL_TYPES)
            attributes.toolTypes.push_back(toolType);
        else
            attributes.toolTypesCut = true;
    }
}

// The image that shows the icon best among the normal-state ones: the one
// the reader marked as the main picture, else the largest, else the deepest.
std::size_t MainPicture(const std::vector<Image>& images)
{
    std::size_t best = images.size();
    auto rank = [](const Image& image) {
        return std::tuple((image.flags & IMAGEFLAG_PRIMARY) != 0, std::int64_t{image.width} * image.height, image.depth);
    };
    for (std::size_t i = 0; i < images.size(); ++i)
        if (!(images[i].flags & IMAGEFLAG_SELECTED) && (best == images.size() || rank(images[i]) > rank(images[best])))
            best = i;
    return best;
}

// A one-picture format takes its pictures from the front of the list: the
// main picture and its selected twin go there, and palette images smaller
// than a main picture the format can hold are placeholders that would stand
// in for it, so they go.
void PutMainPictureFirst(std::vector<Image>& images, const SaveFormatRow& format)
{
    const std::size_t main = MainPicture(images);
    if (main == images.size())
        return;
    const Image& picture = images[main];
    auto twinOf = [&](const Image& image) {
        return (image.flags & IMAGEFLAG_SELECTED) && image.width == picture.width && image.height == picture.height;
    };
    // The twin: the image right after it, else one of its depth, else any.
    std::size_t twin = main + 1 < images.size() && twinOf(images[main + 1]) ? main + 1 : images.size();
    for (int pass = 0; pass < 2 && twin == images.size(); ++pass)
        for (std::size_t i = 0; i < images.size() && twin == images.size(); ++i)
            if (twinOf(images[i]) && (pass == 1 || images[i].depth == picture.depth))
                twin = i;
    const std::int64_t area = std::int64_t{picture.width} * picture.height;
    const bool holdsMain = FitsSides(format.images, picture.width, picture.height);
    std::vector<Image> ordered;
    ordered.push_back(std::move(images[main]));
    if (twin != images.size())
        ordered.push_back(std::move(images[twin]));
    for (std::size_t i = 0; i < images.size(); ++i) {
        const Image& image = images[i];
        const bool placeholder =
            holdsMain && image.depth <= 8 && std::int64_t{image.width} * image.height < area;
        if (i != main && i != twin && !placeholder)
            ordered.push_back(std::move(images[i]));
    }
    images = std::move(ordered);
}

// More colours than this never fit a palette.
constexpr std::size_t MAX_PALETTE_COLOURS = 256;

// The distinct colours an image shows, transparency one of them, counted up
// to one more than any palette holds; and whether some pixel is neither
// opaque nor fully transparent. One pass, a few comparisons a pixel.
std::int32_t CountColours(const Image& image, bool* translucent)
{
    const std::size_t count = std::size_t(image.width) * std::size_t(image.height);
    if (image.depth <= 8) {
        std::array<bool, ICON_PALETTE_ENTRIES> used{};
        for (std::size_t i = 0; i < count; ++i)
            used[image.pixels[i]] = true;
        return static_cast<std::int32_t>(std::count(used.begin(), used.end(), true));
    }
    std::vector<std::uint32_t> seen;   // sorted
    std::uint32_t last = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t word;
        std::memcpy(&word, image.pixels.data() + 4 * i, 4);
        const std::uint32_t alpha = word >> 24;
        *translucent = *translucent || (alpha != 0 && alpha != 0xFF);
        if (alpha == 0)
            word = 0;
        if ((i > 0 && word == last) || seen.size() > MAX_PALETTE_COLOURS)
            continue;
        last = word;
        if (auto at = std::lower_bound(seen.begin(), seen.end(), word); at == seen.end() || *at != word)
            seen.insert(at, word);
    }
    return static_cast<std::int32_t>(seen.size());
}

// Which written image each input takes, written.size() for none: one of its
// size and state, first one written at the input's own depth (the last such),
// then, for the inputs left, one of the greatest depth left (the first such);
// the deepest inputs choose first. The written images are grouped by size,
// state and depth once, so that an input looks only at its own group.
std::vector<std::size_t> MatchWrittenImages(const std::vector<ImageShape>& inputs, const std::vector<Image>& written)
{
    // Per size and state, per depth, the images not yet taken, in list order.
    using Group = std::map<std::int32_t, std::deque<std::size_t>>;
    std::map<std::tuple<std::int32_t, std::int32_t, bool>, Group> groups;
    for (std::size_t i = 0; i < written.size(); ++i) {
        const Image& image = written[i];
        groups[{image.width, image.height, (image.flags & IMAGEFLAG_SELECTED) != 0}][image.depth].push_back(i);
    }
    std::vector<std::size_t> match(inputs.size(), written.size());
    auto take = [&](std::size_t k, bool sameDepth) {
        const ImageShape& input = inputs[k];
        auto group = groups.find({input.width, input.height, input.selected});
        if (group == groups.end() || group->second.empty())
            return;
        Group& byDepth = group->second;
        auto left = sameDepth ? byDepth.find(input.depth) : std::prev(byDepth.end());
        if (left == byDepth.end())
            return;
        std::deque<std::size_t>& indices = left->second;
        if (sameDepth) {
            match[k] = indices.back();
            indices.pop_back();
        } else {
            match[k] = indices.front();
            indices.pop_front();
        }
        if (indices.empty())
            byDepth.erase(left);
    };
    std::vector<std::size_t> order(inputs.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return inputs[a].depth > inputs[b].depth; });
    for (bool sameDepth : {true, false})
        for (std::size_t k : order)
            if (match[k] == written.size())
                take(k, sameDepth);
    return match;
}

}  // namespace

std::string CheckSizes(const CommandLine& line, const SaveFormatRow& format)
{
    if (line.sizes.empty())
        return {};
    const std::string names = std::string(format.displayName) + "s";
    if (HoldsOnePicture(format))
        return line.sizes.size() == 1 ? std::string()
                                      : names + " hold one picture per state: give --sizes one size";
    const std::vector<std::int32_t> stored = ResizeTargetSizes(format);
    for (std::int32_t side : line.sizes)
        if (format.images.namedSidesOnly ? std::find(stored.begin(), stored.end(), side) == stored.end()
                                         : !FitsSides(format.images, side, side))
            return names + " cannot hold " + SideText(side) +
                   (format.images.namedSidesOnly ? " (their sides: " + IcnsSidesText() + ")"
                                                 : " (at most " + SideText(format.images.maxSide) + ")");
    return {};
}

void PrepareIconForFormat(const CommandLine& line, const std::string& keyword, Icon& icon)
{
    ApplyAttributeOptions(line, icon.attributes);
    const SaveFormatRow* format = FindSaveFormat(keyword.c_str());
    if (!format)
        return;
    std::vector<Image>& images = icon.images;
    if (HoldsOnePicture(*format)) {
        // The main picture shrinks to the asked or usual side when larger.
        if (line.resize && !images.empty()) {
            PutMainPictureFirst(images, *format);
            const std::int32_t side = line.sizes.empty() ? UsualPictureSide(*format) : line.sizes.front();
            for (std::size_t i = 0; i < std::min<std::size_t>(2, images.size()); ++i)
                if (std::max(images[i].width, images[i].height) > side && (i == 0 || (images[i].flags & IMAGEFLAG_SELECTED)))
                    images[i] = ScaleImage(images[i], side, false);
        }
        PutMainPictureFirst(images, *format);
    } else if (line.resize) {
        AddResizedImages(images, line.sizes.empty() ? ResizeTargetSizes(*format) : line.sizes);
        if (!line.sizes.empty())
            std::erase_if(images, [&](const Image& image) {
                return image.width != image.height ||
                       std::find(line.sizes.begin(), line.sizes.end(), image.width) == line.sizes.end();
            });
    }
    FitImagesToFormat(images, keyword);
}

std::vector<ImageShape> ShapesOf(const std::vector<Image>& images)
{
    std::vector<ImageShape> shapes;
    for (const Image& image : images) {
        ImageShape shape{image.width, image.height, image.depth, (image.flags & IMAGEFLAG_SELECTED) != 0};
        if (image.pixels.empty()) {   // loaded without its pixels: what it is is all there is
            shapes.push_back(shape);
            continue;
        }
        shape.colours = CountColours(image, &shape.translucent);
        shapes.push_back(shape);
    }
    return shapes;
}

std::string ShapeText(const ImageShape& shape)
{
    return std::to_string(shape.width) + "x" + std::to_string(shape.height) + "/" + std::to_string(shape.depth) +
           (shape.selected ? " selected" : "");
}

std::vector<std::string> DescribeLosses(const std::vector<ImageShape>& inputs, const std::vector<Image>& written,
                                        const CommandLine& line, const SaveFormatRow& format)
{
    const std::string names = std::string(format.displayName) + "s";
    const FormatCapacity& capacity = format.images;
    std::int32_t largestWritten = 0;
    const Image* mainWritten = nullptr;
    for (const Image& image : written) {
        largestWritten = std::max({largestWritten, image.width, image.height});
        if (!(image.flags & IMAGEFLAG_SELECTED) &&
            (!mainWritten || std::int64_t{image.width} * image.height > std::int64_t{mainWritten->width} * mainWritten->height))
            mainWritten = &image;
    }
    const std::vector<std::size_t> match = MatchWrittenImages(inputs, written);
    std::vector<std::string> lines;
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        const ImageShape& input = inputs[k];
        if (match[k] != written.size()) {
            const std::int32_t depth = written[match[k]].depth;
            if (depth < input.depth && (input.translucent || input.colours > (std::int64_t{1} << depth)))
                lines.push_back("reduced " + ShapeText(input) + " to " + std::to_string(depth) + " bits: " + names +
                                " keep it as a palette image of " + std::to_string(1 << depth) + " colours");
            continue;
        }
        const std::int32_t side = std::max(input.width, input.height);
        const bool scaled = line.resize && side > largestWritten && largestWritten > 0;
        const bool unasked = !line.sizes.empty() && (input.width != input.height ||
                                                     std::find(line.sizes.begin(), line.sizes.end(), side) == line.sizes.end());
        if (scaled || unasked)
            continue;
        std::string why;
        if (input.selected && !capacity.selectedState)
            why = names + " have no selected state";
        else if (!FitsSides(capacity, input.width, input.height))
            why = names + " hold at most " + SideText(capacity.maxSide) + "; use --resize";
        else if (capacity.namedSidesOnly && (input.width != input.height || !IcnsWritesImage(input.width, 0)))
            why = names + " hold only square images of " + IcnsSidesText() + " pixels; use --resize";
        else if (HoldsOnePicture(format) && mainWritten &&
                 std::int64_t{input.width} * input.height < std::int64_t{mainWritten->width} * mainWritten->height)
            why = "a placeholder for the " + SideText(mainWritten->width, mainWritten->height) + " picture";
        else if (HoldsOnePicture(format))
            why = names + " hold one picture per state";
        else
            why = names + " hold one image of each size and state";
        lines.push_back("left out " + ShapeText(input) + ": " + why);
    }
    return lines;
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
               "; --resize makes them from larger images)";
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
               SideText(classicPart.maxSide) + "; --resize makes one from a larger image)";
    if (format.variant == AMIGA_CLASSIC)
        return {};
    if (capacity.reducedDepths == 0 && !any(stored(capacity)))
        return "nothing the format can hold (" + std::string(format.displayName) + "s store a true-colour image of " +
               "at most " + SideText(capacity.maxSide) + "; --resize makes one from a larger image)";
    if (capacity.reducedDepths != 0) {
        // The classic part keeps the first 2- or 3-plane image as it is; the
        // colour part needs another normal-state image, or a true-colour one.
        auto classic = std::find_if(images.begin(), images.end(), stored(classicPart));
        bool colour = false;
        for (auto image = images.begin(); image != images.end() && !colour; ++image)
            colour = image != classic && normal(*image) && HoldsImage(capacity, *image);
        if (!colour)
            return "nothing the format can hold (its colour image needs a normal-state image of at most " +
                   SideText(capacity.maxSide) + " besides the 2- or 3-plane one kept as the classic image; " +
                   "--resize makes one from a larger image)";
    }
    return {};
}

SaveRequest SaveRequestFor(const CommandLine& line, const runtime::SaveFormat& format)
{
    SaveRequest request;
    request.formatId = format.formatId;
    request.formatName = format.displayName.empty() ? format.keyword : format.displayName;
    request.compress = line.compress.value_or(FindSaveFormat(format.keyword.c_str()) &&
                                              FindSaveFormat(format.keyword.c_str())->container == CONTAINER_WINDOWS_ICON);
    return request;
}

}  // namespace tessel::tool
