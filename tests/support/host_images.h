// Image lists as the host hands them to SaveIcon, ways to look at what a load
// gave back, and the real icon files of ../shared/corpus.
#pragma once

#include "plugin/format_table.h"
#include "plugin/plugin_abi.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace tessel::test {

// A list of IconImage records whose buffers this object owns.
class HostImageList {
public:
    // A palette image: pixels one byte each, a 256-entry palette.
    IconImage& AddPalette(std::int32_t width, std::int32_t height, std::int32_t depth,
                          const std::vector<std::uint8_t>& pixels, const std::vector<std::uint32_t>& palette,
                          std::int32_t pen = -1, std::uint32_t flags = 0);
    // A true-colour image of 0xAARRGGBB words.
    IconImage& AddArgb(std::int32_t width, std::int32_t height, const std::vector<std::uint32_t>& pixels,
                       std::uint32_t flags = 0);
    IconImage* First() { return images_.empty() ? nullptr : &images_.front().image; }

private:
    struct Owned {
        std::vector<std::uint8_t> pixels;
        std::vector<std::uint32_t> palette;
        IconImage image{};
    };
    IconImage& Add(std::int32_t width, std::int32_t height, std::int32_t depth, std::int32_t pen, std::uint32_t flags);
    std::deque<Owned> images_;   // stable addresses
};

// An image as a user sees it: one 0xAARRGGBB word per pixel, palette images
// expanded through their palette with the pen transparent, and every pixel
// whose alpha is below 128 reduced to 0 (fully transparent, no colour).
std::vector<std::uint32_t> SeenPixels(const IconImage& image);
// The images of a loaded icon, in list order.
std::vector<const IconImage*> ImagesOf(IconImage* first);
// Saves through the shared module in the format with this FormatId.
std::int32_t SaveWith(const std::string& path, IconImage* first, std::uint32_t formatId,
                      const IconAttributes* attributes, std::uint32_t compress = 0);

inline constexpr std::uint32_t FORMAT_AMIGAOS = SaveFormatId("AMIGAOS");
inline constexpr std::uint32_t FORMAT_NEWICON = SaveFormatId("NEWICON");
inline constexpr std::uint32_t FORMAT_AMIGAOS35 = SaveFormatId("AMIGAOS35");
inline constexpr std::uint32_t FORMAT_AMIGAOS40 = SaveFormatId("AMIGAOS40");
inline constexpr std::uint32_t FORMAT_PNG = SaveFormatId("PNG");
inline constexpr std::uint32_t FORMAT_WINDOWS = SaveFormatId("WINDOWS");
inline constexpr std::uint32_t FORMAT_MACOS = SaveFormatId("MACOS");

// The corpus' files as SOURCES.tsv lists them ("amiga/x.info", ...), and
// where one lies.
std::vector<std::string> CorpusFiles();
std::string CorpusPath(const std::string& file);
// FNV-1a, 64 bits, continued from hash.
std::uint64_t Fnv(const void* bytes, std::size_t n, std::uint64_t hash = 0xCBF29CE484222325ull);

// A load through the shared module with an attributes record, freed at the end.
struct LoadedIcon {
    IconHandle* icon = nullptr;
    IconAttributes attributes{};
    IconImage* images = nullptr;
    explicit LoadedIcon(const std::string& path);
    ~LoadedIcon();
    LoadedIcon(const LoadedIcon&) = delete;
    LoadedIcon& operator=(const LoadedIcon&) = delete;
};
// "fails", or each image as WxH/depth/flags and one fingerprint over the
// attributes, tooltypes and every image's pen, pixels and palette.
std::string DescribeLoad(const LoadedIcon& loaded);

}  // namespace tessel::test
