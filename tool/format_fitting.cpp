#include "tool/format_fitting.h"

#include "plugin/format_table.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <tuple>
#include <utility>

namespace tessel::tool {

Image ToTrueColour(const Image& image)
{
    if (image.depth > 8)
        return image;
    Image out;
    out.width = image.width;
    out.height = image.height;
    out.depth = 32;
    out.flags = image.flags;
    out.transparentPen = -1;
    std::size_t count = std::size_t(image.width) * std::size_t(image.height);
    out.pixels.resize(count * 4);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t index = image.pixels[i];
        std::uint32_t word = index == image.transparentPen
                                 ? 0
                                 : 0xFF000000u | (index < image.palette.size() ? image.palette[index] & 0xFFFFFF : 0);
        std::memcpy(out.pixels.data() + 4 * i, &word, 4);
    }
    return out;
}

// How well an image shows the icon, greater being better: the image the
// reader marked as the icon's main picture first, then the larger, then the
// deeper one.
static auto Richness(const Image& image)
{
    return std::tuple((image.flags & IMAGEFLAG_PRIMARY) != 0, std::int64_t{image.width} * image.height, image.depth);
}

// PNG icons and AmigaOS 4.0 icons store true colour only. When the list has
// no true-colour image that fits, a true-colour copy of the richest
// normal-state palette image (and of its selected twin) is added at the end,
// so the palette images still serve the parts that want them.
static void AddTrueColourCopy(std::vector<Image>& images, const FormatCapacity& capacity)
{
    auto fits = [&](const Image& image) { return FitsSides(capacity, image.width, image.height); };
    std::size_t best = images.size();
    for (std::size_t i = 0; i < images.size(); ++i) {
        const Image& image = images[i];
        if (image.depth > 8 && fits(image))
            return;
        if (image.depth <= 8 && !(image.flags & IMAGEFLAG_SELECTED) && fits(image) &&
            (best == images.size() || Richness(image) > Richness(images[best])))
            best = i;
    }
    if (best == images.size())
        return;
    Image normal = ToTrueColour(images[best]);
    std::optional<Image> selected;
    if (best + 1 < images.size()) {
        const Image& twin = images[best + 1];
        if ((twin.flags & IMAGEFLAG_SELECTED) && twin.width == normal.width && twin.height == normal.height)
            selected = ToTrueColour(twin);
    }
    normal.flags &= ~IMAGEFLAG_PRIMARY;
    images.push_back(std::move(normal));
    if (selected)
        images.push_back(std::move(*selected));
}

// The shallowest depth the format stores as it is that holds every pixel of
// a palette image of this depth, or 0 when it stores none.
static std::int32_t NextStoredDepth(const FormatCapacity& capacity, std::int32_t depth)
{
    for (std::int32_t stored = depth; stored <= 8; ++stored)
        if (stored >= 1 && HasDepth(capacity.depths, stored))
            return stored;
    return 0;
}

void FitImagesToFormat(std::vector<Image>& images, const std::string& keyword)
{
    const SaveFormatRow* found = FindSaveFormat(keyword.c_str());
    if (!found)
        return;
    const SaveFormatRow& format = *found;
    const FormatCapacity& capacity = format.images;
    // A format without a selected state would store a selected image as one
    // more image of its size: the normal images go alone, when there are any.
    const auto selected = [](const Image& image) { return (image.flags & IMAGEFLAG_SELECTED) != 0; };
    if (!capacity.selectedState && !std::all_of(images.begin(), images.end(), selected))
        std::erase_if(images, selected);
    if (format.container == CONTAINER_WINDOWS_ICON) {
        for (Image& image : images) {
            if (image.depth <= 8 && !HasDepth(capacity.depths, image.depth))
                if (std::int32_t stored = NextStoredDepth(capacity, image.depth))
                    image.depth = stored;
        }
    } else if (format.container == CONTAINER_MAC_ICON) {
        // The first palette image of a size that no true-colour image has
        // becomes the true-colour image of that size.
        std::set<std::pair<std::int32_t, std::int32_t>> trueColourSizes;
        for (const Image& image : images)
            if (image.depth > 8)
                trueColourSizes.emplace(image.width, image.height);
        for (Image& image : images) {
            if (image.depth <= 8 && trueColourSizes.emplace(image.width, image.height).second)
                image = ToTrueColour(image);
        }
    } else if (capacity.depths == Depth(32) && capacity.reducedDepths == 0) {
        AddTrueColourCopy(images, capacity);
    }
}

}  // namespace tessel::tool
