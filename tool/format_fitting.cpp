#include "tool/format_fitting.h"

#include <cstring>

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
    for (std::size_t i = 0; i < count && i < image.pixels.size(); ++i) {
        std::uint8_t index = image.pixels[i];
        std::uint32_t word = index == image.transparentPen
                                 ? 0
                                 : 0xFF000000u | (index < image.palette.size() ? image.palette[index] & 0xFFFFFF : 0);
        std::memcpy(out.pixels.data() + 4 * i, &word, 4);
    }
    return out;
}

static bool HasTrueColourOfSize(const std::vector<Image>& images, const Image& like)
{
    for (const Image& image : images)
        if (image.depth > 8 && image.width == like.width && image.height == like.height)
            return true;
    return false;
}

void FitImagesToFormat(std::vector<Image>& images, const std::string& keyword)
{
    if (keyword == "WINDOWS") {
        for (Image& image : images) {
            if (image.depth == 0)
                image.depth = 1;
            else if (image.depth == 2 || image.depth == 3)
                image.depth = 4;
            else if (image.depth >= 5 && image.depth <= 7)
                image.depth = 8;
        }
    } else if (keyword == "MACOS") {
        for (Image& image : images) {
            if (image.depth <= 8 && !HasTrueColourOfSize(images, image))
                image = ToTrueColour(image);
        }
    } else if (keyword == "PNG") {
        for (const Image& image : images)
            if (image.depth > 8)
                return;
        for (Image& image : images) {
            if (!(image.flags & IMAGEFLAG_SELECTED)) {
                image = ToTrueColour(image);
                return;
            }
        }
    }
}

}  // namespace tessel::tool
