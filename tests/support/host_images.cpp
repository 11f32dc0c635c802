#include "tests/support/host_images.h"

#include "tests/support/test_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace tessel::test {

IconImage& HostImageList::Add(std::int32_t width, std::int32_t height, std::int32_t depth, std::int32_t pen,
                              std::uint32_t flags)
{
    Owned& owned = images_.emplace_back();
    owned.pixels.resize(std::size_t(width) * height * (depth > 8 ? 4 : 1));
    owned.image = {nullptr, owned.pixels.data(), width, height, flags, 0, nullptr, pen, depth, 0, 0};
    if (images_.size() > 1)
        images_[images_.size() - 2].image.next = &owned.image;
    return owned.image;
}

IconImage& HostImageList::AddPalette(std::int32_t width, std::int32_t height, std::int32_t depth,
                                     const std::vector<std::uint8_t>& pixels,
                                     const std::vector<std::uint32_t>& palette, std::int32_t pen, std::uint32_t flags)
{
    IconImage& image = Add(width, height, depth, pen, flags);
    Owned& owned = images_.back();
    std::copy_n(pixels.begin(), std::min(pixels.size(), owned.pixels.size()), owned.pixels.begin());
    owned.palette = palette;
    owned.palette.resize(256);
    image.palette = owned.palette.data();
    return image;
}

IconImage& HostImageList::AddArgb(std::int32_t width, std::int32_t height, const std::vector<std::uint32_t>& pixels,
                                  std::uint32_t flags)
{
    IconImage& image = Add(width, height, 32, -1, flags);
    if (!pixels.empty())
        std::memcpy(image.pixels, pixels.data(), std::min(images_.back().pixels.size(), pixels.size() * 4));
    return image;
}

std::vector<std::uint32_t> SeenPixels(const IconImage& image)
{
    std::vector<std::uint32_t> seen(std::size_t(image.width) * image.height);
    for (std::size_t i = 0; i < seen.size(); ++i) {
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

std::vector<std::string> CorpusFiles()
{
    std::ifstream catalogue(CorpusPath("SOURCES.tsv"));
    std::vector<std::string> files;
    std::string line;
    std::getline(catalogue, line);   // the column names
    while (std::getline(catalogue, line))
        files.push_back(line.substr(0, line.find('\t')));
    return files;
}

std::string CorpusPath(const std::string& file)
{
    return std::string(TESSEL_CORPUS_DIR) + "/" + file;
}

std::uint64_t Fnv(const void* bytes, std::size_t n, std::uint64_t hash)
{
    for (std::size_t i = 0; i < n; ++i)
        hash = (hash ^ static_cast<const std::uint8_t*>(bytes)[i]) * 0x100000001B3ull;
    return hash;
}

LoadedIcon::LoadedIcon(const std::string& path)
{
    const TagItem tags[] = {{LOADICON_TAG_ATTRIBUTES, reinterpret_cast<std::uintptr_t>(&attributes)}, {0, 0}};
    icon = SharedModule().LoadIcon(path.c_str(), tags);
    images = icon ? SharedModule().GetIconImages(icon) : nullptr;
}

LoadedIcon::~LoadedIcon()
{
    SharedModule().FreeIcon(icon);
}

std::string DescribeLoad(const LoadedIcon& loaded)
{
    if (!loaded.icon)
        return "fails";
    const IconAttributes& a = loaded.attributes;
    const std::int32_t numbers[] = {a.type,      a.viewMode,    a.posX,         a.posY,      a.drawerLeft,
                                    a.drawerTop, a.drawerWidth, a.drawerHeight, a.stackSize, a.showAll};
    std::uint64_t hash = Fnv(numbers, sizeof numbers);
    if (a.defaultTool)
        hash = Fnv(a.defaultTool, std::strlen(a.defaultTool) + 1, hash);
    for (char** line = a.toolTypes; line && *line; ++line)
        hash = Fnv(*line, std::strlen(*line) + 1, hash);
    std::string text;
    for (const IconImage* image = loaded.images; image; image = image->next) {
        char shape[64];
        std::snprintf(shape, sizeof shape, "%dx%d/%d/%u ", image->width, image->height, image->depth, image->flags);
        text += shape;
        hash = Fnv(&image->transparentPen, 4, hash);
        hash = Fnv(image->pixels, std::size_t(image->width) * image->height * (image->depth <= 8 ? 1 : 4), hash);
        if (image->depth <= 8)
            hash = Fnv(image->palette, 4u << image->depth, hash);
    }
    char fingerprint[24];
    std::snprintf(fingerprint, sizeof fingerprint, "#%016llX", static_cast<unsigned long long>(hash));
    return text + fingerprint;
}

}  // namespace tessel::test
