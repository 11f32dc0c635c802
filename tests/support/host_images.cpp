#include "tests/support/host_images.h"

#include "tests/support/test_host.h"

#include <algorithm>
#include <cstring>

namespace tessel::test {

IconImage& HostImageList::Link(Owned& owned)
{
    owned.image.pixels = owned.pixels.data();
    owned.image.palette = owned.palette.empty() ? nullptr : owned.palette.data();
    if (images_.size() > 1)
        images_[images_.size() - 2].image.next = &owned.image;
    return owned.image;
}

IconImage& HostImageList::AddPalette(std::int32_t width, std::int32_t height, std::int32_t depth,
                                     const std::vector<std::uint8_t>& pixels,
                                     const std::vector<std::uint32_t>& palette, std::int32_t pen,
                                     std::uint32_t flags)
{
    Owned& owned = images_.emplace_back();
    owned.pixels = pixels;
    owned.pixels.resize(std::size_t(width) * height);
    owned.palette = palette;
    owned.palette.resize(256);
    owned.image.width = width;
    owned.image.height = height;
    owned.image.depth = depth;
    owned.image.transparentPen = pen;
    owned.image.flags = flags;
    return Link(owned);
}

IconImage& HostImageList::AddArgb(std::int32_t width, std::int32_t height, const std::vector<std::uint32_t>& pixels,
                                  std::uint32_t flags)
{
    Owned& owned = images_.emplace_back();
    owned.pixels.resize(std::size_t(width) * height * 4);
    if (!pixels.empty())
        std::memcpy(owned.pixels.data(), pixels.data(), std::min(owned.pixels.size(), pixels.size() * 4));
    owned.image.width = width;
    owned.image.height = height;
    owned.image.depth = 32;
    owned.image.transparentPen = -1;
    owned.image.flags = flags;
    return Link(owned);
}

std::vector<std::uint32_t> SeenPixels(const IconImage& image)
{
    std::size_t count = std::size_t(image.width) * image.height;
    std::vector<std::uint32_t> seen(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t word;
        if (image.depth <= 8) {
            std::uint8_t index = image.pixels[i];
            word = index == image.transparentPen ? 0 : (image.palette[index] & 0xFFFFFF) | 0xFF000000;
        } else {
            std::memcpy(&word, image.pixels + 4 * i, 4);
        }
        seen[i] = (word >> 24) < 128 ? 0 : (word & 0xFFFFFF) | 0xFF000000;
    }
    return seen;
}

std::vector<const IconImage*> ImagesOf(IconImage* first)
{
    std::vector<const IconImage*> images;
    for (IconImage* image = first; image && images.size() < 100000; image = image->next)
        images.push_back(image);
    return images;
}

std::int32_t SaveWith(const std::string& path, IconImage* first, std::uint32_t formatId,
                      const IconAttributes* attributes, std::uint32_t compress)
{
    const TagItem tags[] = {{SAVEICON_TAG_FORMAT, formatId},
                            {SAVEICON_TAG_COMPRESS, compress},
                            {SAVEICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(attributes)},
                            {0, 0}};
    return SharedModule().SaveIcon(path.c_str(), first, tags);
}

}  // namespace tessel::test
