#include "tool/resize.h"

#include "tool/picture_export.h"

#include "plugin/format_table.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <map>

namespace tessel::tool {

namespace {

// Why a box filter of our own: icons are reduced by factors such as 2, 4,
// 256/48 or 512/24, and the right answer for "what colour does this output
// pixel show" is the average of exactly the source area under it. Taking
// each source pixel's overlap with that area as its weight (fractional at
// the footprint's edges) gives that average exactly, with no ringing and no
// dependence on a resampling library's choice of kernel. The averaging is
// done on premultiplied alpha, so a transparent pixel's hidden colour (often
// black) adds nothing and an opaque edge keeps its colour instead of a dark
// fringe.

// One source pixel's share of one output pixel along one axis.
struct Tap {
    std::int32_t source;
    double weight;
};

// For each of outSize output pixels, the source pixels its footprint covers
// with their overlap as a fraction of the footprint. Positions are counted in
// units of 1/outSize source pixel, so every boundary is an exact integer.
std::vector<std::vector<Tap>> AxisTaps(std::int32_t inSize, std::int32_t outSize)
{
    std::vector<std::vector<Tap>> taps(static_cast<std::size_t>(outSize));
    const std::int64_t in = inSize, out = outSize;
    std::int64_t o = 0;
    for (std::vector<Tap>& outputTaps : taps) {
        const std::int64_t start = o * in, end = (o + 1) * in;   // footprint, in 1/out units
        ++o;
        // Every source pixel from the one holding start to the last one
        // starting before end overlaps the footprint by more than nothing.
        for (std::int64_t s = start / out; s * out < end; ++s) {
            std::int64_t overlap = std::min(end, (s + 1) * out) - std::max(start, s * out);
            outputTaps.push_back({static_cast<std::int32_t>(s), double(overlap) / double(in)});
        }
    }
    return taps;
}

std::uint8_t ToByte(double value)
{
    return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

// Alpha-premultiplied channels of one pixel, in the order A, R, G, B.
void AddPremultiplied(std::uint32_t argb, double weight, double* sums)
{
    const double alpha = argb >> 24;
    sums[0] += weight * alpha;
    sums[1] += weight * double(std::uint8_t(argb >> 16)) * alpha / 255.0;
    sums[2] += weight * double(std::uint8_t(argb >> 8)) * alpha / 255.0;
    sums[3] += weight * double(std::uint8_t(argb)) * alpha / 255.0;
}

std::uint32_t FromPremultiplied(const double* sums)
{
    const double alpha = sums[0];
    if (alpha <= 0.0)
        return 0;
    std::uint32_t word = std::uint32_t{ToByte(alpha)} << 24;
    for (int channel = 1; channel <= 3; ++channel)
        word |= std::uint32_t{ToByte(sums[channel] * 255.0 / alpha)} << (8 * (3 - channel));
    return word;
}

constexpr int CHANNELS = 4;

// The sizes a Windows icon is usually given; the directory holds any side up
// to its largest.
constexpr std::int32_t WindowsIconSides[] = {16, 24, 32, 48, 64, 128, 256};

// A Workbench icon's usual picture, and that of the formats made for larger
// true-colour screens.
constexpr std::int32_t WORKBENCH_SIDE = 46;
constexpr std::int32_t TRUE_COLOUR_SIDE = 64;
static_assert(WindowsIconSides[std::size(WindowsIconSides) - 1] <= WINDOWS_ICON_CAPACITY.maxSide);

}  // namespace

std::vector<std::uint32_t> ScaleArgb(const std::vector<std::uint32_t>& source, std::int32_t sourceWidth,
                                     std::int32_t sourceHeight, std::int32_t width, std::int32_t height)
{
    const auto columns = AxisTaps(sourceWidth, width);
    const auto rows = AxisTaps(sourceHeight, height);
    std::vector<std::uint32_t> result(std::size_t(width) * std::size_t(height));
    // One output row at a time: each source row under it is filtered across,
    // then added with its vertical weight, so memory stays one row of sums.
    std::vector<double> rowSums(std::size_t(width) * CHANNELS);
    std::vector<double> across(std::size_t(width) * CHANNELS);
    for (std::int32_t y = 0; y < height; ++y) {
        std::fill(rowSums.begin(), rowSums.end(), 0.0);
        for (const Tap& down : rows[y]) {
            const std::uint32_t* sourceRow = source.data() + std::size_t(down.source) * std::size_t(sourceWidth);
            std::fill(across.begin(), across.end(), 0.0);
            for (std::int32_t x = 0; x < width; ++x) {
                for (const Tap& tap : columns[x])
                    AddPremultiplied(sourceRow[tap.source], tap.weight, &across[std::size_t(x) * CHANNELS]);
            }
            for (std::size_t i = 0; i < rowSums.size(); ++i)
                rowSums[i] += down.weight * across[i];
        }
        for (std::int32_t x = 0; x < width; ++x)
            result[std::size_t(y) * std::size_t(width) + std::size_t(x)] =
                FromPremultiplied(&rowSums[std::size_t(x) * CHANNELS]);
    }
    return result;
}

bool HoldsOnePicture(const SaveFormatRow& format)
{
    return format.container == CONTAINER_DISKOBJECT || format.container == CONTAINER_PNG_ICON;
}

std::int32_t UsualPictureSide(const SaveFormatRow& format)
{
    const bool trueColour = format.container == CONTAINER_PNG_ICON || format.variant == AMIGA_OS40;
    return std::min(trueColour ? TRUE_COLOUR_SIDE : WORKBENCH_SIDE, format.images.maxSide);
}

std::vector<std::int32_t> ResizeTargetSizes(const SaveFormatRow& format)
{
    std::vector<std::int32_t> sides;
    if (format.container == CONTAINER_WINDOWS_ICON) {
        for (std::int32_t side : WindowsIconSides)
            if (StoresImage(format.images, side, side, 32))
                sides.push_back(side);
    } else if (format.container == CONTAINER_MAC_ICON) {
        // Every side the writer makes a true-colour entry of, smallest first.
        for (const IcnsTypeRow& row : IcnsTypeTable)
            if (IcnsWritesImage(row.width, 32) && std::find(sides.begin(), sides.end(), row.width) == sides.end())
                sides.push_back(row.width);
        std::sort(sides.begin(), sides.end());
    }
    return sides;
}

namespace {

// A picture to scale from, as 0xAARRGGBB words.
struct Picture {
    std::vector<std::uint32_t> argb;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// A source of more pixels than this is first reduced by a whole factor, to
// no less than twice the largest side asked for, so that each size made
// after costs no more than that: otherwise every size would average the
// whole of a huge source again. Icons of 1024 x 1024 and less never are.
constexpr std::uint64_t PRE_REDUCED_PIXELS = 4ull << 20;

Picture WorkingPicture(const Image& image, std::int32_t largestSide)
{
    Picture picture{ImageToArgb(image), image.width, image.height};
    const std::int32_t factor = std::max(image.width, image.height) / (2 * largestSide);
    if (std::uint64_t(image.width) * std::uint64_t(image.height) > PRE_REDUCED_PIXELS && factor >= 2) {
        picture.width = std::max(1, image.width / factor);
        picture.height = std::max(1, image.height / factor);
        picture.argb = ScaleArgb(picture.argb, image.width, image.height, picture.width, picture.height);
    }
    return picture;
}

// image scaled, from picture (the image itself or its reduction), as
// ScaleImage says.
Image ScalePicture(const Image& image, const Picture& picture, std::int32_t side, bool square)
{
    const std::int32_t longer = std::max(image.width, image.height);
    const std::int32_t width =
        std::max<std::int32_t>(1, static_cast<std::int32_t>(std::lround(double(image.width) * side / longer)));
    const std::int32_t height =
        std::max<std::int32_t>(1, static_cast<std::int32_t>(std::lround(double(image.height) * side / longer)));
    const std::vector<std::uint32_t> scaled = ScaleArgb(picture.argb, picture.width, picture.height, width, height);
    Image made;
    made.width = square ? side : width;
    made.height = square ? side : height;
    made.depth = 32;
    made.flags = image.flags;
    made.pixels.assign(std::size_t(made.width) * std::size_t(made.height) * 4, 0);
    const std::int32_t left = (made.width - width) / 2, top = (made.height - height) / 2;
    for (std::int32_t y = 0; y < height; ++y)
        std::memcpy(made.pixels.data() + (std::size_t(top + y) * std::size_t(made.width) + std::size_t(left)) * 4,
                    scaled.data() + std::size_t(y) * std::size_t(width), std::size_t(width) * 4);
    return made;
}

}  // namespace

Image ScaleImage(const Image& image, std::int32_t side, bool square)
{
    return ScalePicture(image, WorkingPicture(image, side), side, square);
}

std::size_t AddResizedImages(std::vector<Image>& images, const std::vector<std::int32_t>& sizes)
{
    const std::size_t existing = images.size();
    images.reserve(existing + 2 * sizes.size());   // the sources stay where they are
    std::map<const Image*, Picture> pictures;
    for (bool selected : {false, true}) {
        auto inState = [&](const Image& image) { return ((image.flags & IMAGEFLAG_SELECTED) != 0) == selected; };
        for (std::int32_t size : sizes) {
            const Image* nearest = nullptr;
            bool present = false;
            for (std::size_t i = 0; i < existing; ++i) {
                const Image& image = images[i];
                if (!inState(image))
                    continue;
                if (image.width == size && image.height == size)
                    present = true;
                const std::int32_t side = std::max(image.width, image.height);
                // The nearest larger image; at equal sides the deeper one.
                if (side > size &&
                    (!nearest || side < std::max(nearest->width, nearest->height) ||
                     (side == std::max(nearest->width, nearest->height) && image.depth > nearest->depth)))
                    nearest = &image;
            }
            if (present || !nearest)
                continue;
            // Each source is made a working picture once, for the largest size.
            auto [cached, added] = pictures.try_emplace(nearest);
            if (added)
                cached->second = WorkingPicture(*nearest, *std::max_element(sizes.begin(), sizes.end()));
            Image made = ScalePicture(*nearest, cached->second, size, true);
            made.flags &= IMAGEFLAG_SELECTED;
            images.push_back(std::move(made));
        }
    }
    return images.size() - existing;
}

}  // namespace tessel::tool
