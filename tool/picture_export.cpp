#include "tool/picture_export.h"

#include "runtime/host_services.h"
#include "tool/icon_files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace tessel::tool {

static constexpr std::uint32_t OPAQUE = 0xFF000000;
static constexpr std::uint32_t RGB_MASK = 0x00FFFFFF;

std::vector<std::uint32_t> ImageToArgb(const Image& image)
{
    std::size_t count = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
    std::vector<std::uint32_t> argb(count);
    if (image.depth > 8) {
        // Native-order words, copied as words: the buffer may not be aligned for them.
        std::memcpy(argb.data(), image.pixels.data(), count * sizeof(std::uint32_t));
        return argb;
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t pen = image.pixels[i];
        std::uint32_t alpha = pen == image.transparentPen ? 0 : OPAQUE;
        argb[i] = alpha | (image.palette[pen] & RGB_MASK);
    }
    return argb;
}

std::string ExtractFileName(const std::string& inputPath, std::size_t index, const Image& image)
{
    std::string stem = inputPath == "-" ? "stdin" : std::filesystem::path(inputPath).filename().stem().string();
    if (stem.empty())
        stem = "icon";
    return stem + "-" + std::to_string(index) + "-" + std::to_string(image.width) + "x" + std::to_string(image.height) +
           ((image.flags & IMAGEFLAG_SELECTED) ? "-selected" : "") + ".png";
}

bool WriteImagePng(const Image& image, const std::string& path, std::ostream& standardOutput, std::string* why)
{
    std::vector<std::uint32_t> argb = ImageToArgb(image);
    return WriteArgbPng(argb.data(), image.width, image.height, path, standardOutput, why);
}

bool WriteArgbPng(const std::uint32_t* argb, std::int32_t width, std::int32_t height, const std::string& path,
                  std::ostream& standardOutput, std::string* why)
{
    if (std::uint64_t(width) * std::uint64_t(height) * 4 > runtime::HOST_IMAGE_MAX_BYTES) {
        *why = "cannot write a " + std::to_string(width) + "x" + std::to_string(height) + " picture (more than " +
               std::to_string(runtime::HOST_IMAGE_MAX_BYTES >> 20) + " MiB of 32-bit pixels)";
        return false;
    }
    std::vector<std::uint8_t> png;
    if (!runtime::EncodePng(argb, width, height, png)) {
        *why = "cannot encode PNG";
        return false;
    }
    return CommitBytes(path, png, standardOutput, why);
}

}  // namespace tessel::tool
