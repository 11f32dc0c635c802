// Palette mapping and palette choice for the host's image services.
//
// HostQuantize turns a picture (32-bit 0xAARRGGBB words, or bytes through a
// 256-word 0x00RRGGBB palette) into one index byte per pixel for a palette of
// 2^targetDepth entries. Mode HOST_QUANTIZE_MAP maps onto the caller's
// palette; mode HOST_QUANTIZE_CHOOSE picks the palette first: the picture's
// own colours when they fit, otherwise a reduction by libimagequant (loaded
// then, shared_libraries.h). Both are deterministic: the same input always
// gives the same indices and palette.
#include "runtime/host_services.h"
#include "runtime/shared_libraries.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <unordered_map>
#include <vector>

namespace {

constexpr int QUANTIZE_PALETTE_WORDS = 256;
constexpr std::uint32_t QUANTIZE_RGB_MASK = 0x00FFFFFF;
// 32-bit pixels with alpha below this are transparent.
constexpr std::uint32_t QUANTIZE_ALPHA_OPAQUE_MIN = 128;
constexpr std::uint64_t QUANTIZE_MAX_PIXELS = tessel::runtime::HOST_IMAGE_MAX_BYTES / 4;

// Fixed libimagequant settings: full quality range and a middling speed.
// Dithering does not arise: libimagequant only chooses the colours, and the
// pixels are mapped here by nearest colour.
constexpr int QUANTIZE_LIQ_SPEED = 4;
constexpr int QUANTIZE_LIQ_MIN_QUALITY = 0;
constexpr int QUANTIZE_LIQ_MAX_QUALITY = 100;
constexpr std::size_t QUANTIZE_LIQ_MAX_HISTOGRAM = std::size_t{1} << 17;
// Pictures above this many pixels count colours in a table of all 2^24.
constexpr std::size_t QUANTIZE_DENSE_TABLE_MIN_PIXELS = std::size_t{1} << 20;

using Palette = std::array<std::uint32_t, QUANTIZE_PALETTE_WORDS>;

// What the picture holds once the source depth is dealt with: per pixel its
// 0x00RRGGBB colour and whether it is transparent.
struct SourceView {
    const void* pixels = nullptr;
    std::int32_t depth = 0;
    const std::uint32_t* palette = nullptr;
    std::int32_t pen = -1;

    std::uint32_t Colour(std::size_t i) const
    {
        if (depth == 32)
            return static_cast<const std::uint32_t*>(pixels)[i] & QUANTIZE_RGB_MASK;
        return palette[static_cast<const std::uint8_t*>(pixels)[i]] & QUANTIZE_RGB_MASK;
    }
    bool Transparent(std::size_t i) const
    {
        if (depth == 32)
            return (static_cast<const std::uint32_t*>(pixels)[i] >> 24) < QUANTIZE_ALPHA_OPAQUE_MIN;
        return pen >= 0 && static_cast<const std::uint8_t*>(pixels)[i] == pen;
    }
};

std::uint32_t SquaredDistance(std::uint32_t a, std::uint32_t b)
{
    const int dr = static_cast<int>(std::uint8_t(a >> 16)) - static_cast<int>(std::uint8_t(b >> 16));
    const int dg = static_cast<int>(std::uint8_t(a >> 8)) - static_cast<int>(std::uint8_t(b >> 8));
    const int db = static_cast<int>(std::uint8_t(a)) - static_cast<int>(std::uint8_t(b));
    return static_cast<std::uint32_t>(dr * dr + dg * dg + db * db);
}

// The entry of palette[0..count) nearest to colour, the lowest index on a tie,
// never the pen (when pen >= 0). The caller makes sure an entry other than
// the pen exists.
std::uint8_t NearestEntry(std::uint32_t colour, const Palette& palette, int count, int pen)
{
    int best = -1;
    std::uint32_t bestDistance = 0;
    for (int i = 0; i < count; ++i) {
        if (i == pen)
            continue;
        const std::uint32_t distance = SquaredDistance(colour, palette[i] & QUANTIZE_RGB_MASK);
        if (best < 0 || distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return static_cast<std::uint8_t>(best);
}

// A word per 0x00RRGGBB colour, 0 until set. Small pictures use a hash map;
// large ones a table of all 2^24 colours (64 MiB), so memory stays bounded
// however many distinct colours a picture holds.
class ColourTable {
public:
    // An 8-bit source has at most 256 colours and never needs the table.
    ColourTable(const SourceView& source, std::size_t pixelCount)
    {
        if (source.depth == 32 && pixelCount > QUANTIZE_DENSE_TABLE_MIN_PIXELS)
            dense_.assign(std::size_t{1} << 24, 0);
    }
    std::uint32_t& operator[](std::uint32_t colour)
    {
        return dense_.empty() ? sparse_[colour] : dense_[colour];
    }

private:
    std::vector<std::uint32_t> dense_;
    std::unordered_map<std::uint32_t, std::uint32_t> sparse_;
};

// Maps every pixel: transparent ones to the pen when there is one, the rest
// to their nearest entry. Each distinct colour is searched for once.
void MapPixels(const SourceView& source, std::size_t pixelCount, const Palette& palette, int count, int pen,
               std::uint8_t* indices)
{
    ColourTable nearest(source, pixelCount);  // entry + 1, 0 when not yet searched
    for (std::size_t i = 0; i < pixelCount; ++i) {
        if (pen >= 0 && source.Transparent(i)) {
            indices[i] = static_cast<std::uint8_t>(pen);
            continue;
        }
        const std::uint32_t colour = source.Colour(i);
        std::uint32_t& known = nearest[colour];
        if (known == 0)
            known = std::uint32_t{NearestEntry(colour, palette, count, pen)} + 1;
        indices[i] = static_cast<std::uint8_t>(known - 1);
    }
}

// The mean of count colours whose channels add up to the sums given, each
// channel rounded to the nearest, as 0x00RRGGBB. count is not 0.
std::uint32_t MeanColour(std::uint64_t sumRed, std::uint64_t sumGreen, std::uint64_t sumBlue, std::uint64_t count)
{
    const std::uint64_t r = (sumRed + count / 2) / count;
    const std::uint64_t g = (sumGreen + count / 2) / count;
    const std::uint64_t b = (sumBlue + count / 2) / count;
    return static_cast<std::uint32_t>((r << 16) | (g << 8) | b);
}

// The colours that take part in choosing a palette, in order of first
// appearance, with how many pixels carry each. With a pen, transparent
// pixels take the pen and have no say; without one they are mapped by colour
// like the rest and count like the rest.
struct ColourCounts {
    std::vector<std::uint32_t> colours;
    std::vector<std::uint32_t> counts;
    std::uint64_t pixels = 0;
    std::uint64_t sumRed = 0;
    std::uint64_t sumGreen = 0;
    std::uint64_t sumBlue = 0;
};

ColourCounts CountColours(const SourceView& source, std::size_t pixelCount, int pen)
{
    ColourCounts result;
    ColourTable slot(source, pixelCount);  // position in colours + 1, 0 when not yet seen
    for (std::size_t i = 0; i < pixelCount; ++i) {
        if (pen >= 0 && source.Transparent(i))
            continue;
        const std::uint32_t colour = source.Colour(i);
        std::uint32_t& position = slot[colour];
        if (position == 0) {
            result.colours.push_back(colour);
            result.counts.push_back(0);
            position = static_cast<std::uint32_t>(result.colours.size());  // at most 2^24 colours
        }
        ++result.counts[position - 1];  // at most 2^26 pixels: no overflow
        ++result.pixels;
        result.sumRed += std::uint8_t(colour >> 16);
        result.sumGreen += std::uint8_t(colour >> 8);
        result.sumBlue += std::uint8_t(colour);
    }
    return result;
}

// The deleters are the library's destroy functions, from its table.
using tessel::runtime::ImageQuantFunctions;
using LiqAttr = std::unique_ptr<liq_attr, void (*)(liq_attr*)>;
using LiqHistogram = std::unique_ptr<liq_histogram, void (*)(liq_histogram*)>;
using LiqResult = std::unique_ptr<liq_result, void (*)(liq_result*)>;

// libimagequant slows down sharply on histograms much past 2^17 colours.
// Bigger ones are first merged into buckets of nearby colours: the low bits
// of each channel are dropped (one more bit per try) until the buckets fit,
// and each bucket stands for its members by their count-weighted mean. Bucket
// order is the order of first appearance, so the result is deterministic.
ColourCounts ThinColours(const ColourCounts& counted)
{
    if (counted.colours.size() <= QUANTIZE_LIQ_MAX_HISTOGRAM)
        return counted;
    // Dropping 3 bits leaves at most 2^15 buckets, so the loop ends by then.
    for (int dropBits = 1; dropBits <= 8; ++dropBits) {
        const std::uint32_t keep = static_cast<std::uint8_t>(~0u << dropBits);
        const std::uint32_t keepMask = (keep << 16) | (keep << 8) | keep;
        std::unordered_map<std::uint32_t, std::size_t> bucketOf;
        struct Sums {
            std::uint64_t red = 0, green = 0, blue = 0, count = 0;
        };
        std::vector<Sums> sums;
        for (std::size_t i = 0; i < counted.colours.size(); ++i) {
            const std::uint32_t colour = counted.colours[i];
            auto [found, added] = bucketOf.emplace(colour & keepMask, sums.size());
            if (added)
                sums.emplace_back();
            Sums& bucket = sums[found->second];
            const std::uint64_t n = counted.counts[i];
            bucket.red += std::uint8_t(colour >> 16) * n;
            bucket.green += std::uint8_t(colour >> 8) * n;
            bucket.blue += std::uint8_t(colour) * n;
            bucket.count += n;
        }
        if (sums.size() > QUANTIZE_LIQ_MAX_HISTOGRAM)
            continue;
        ColourCounts thinned;
        for (const Sums& bucket : sums) {
            thinned.colours.push_back(MeanColour(bucket.red, bucket.green, bucket.blue, bucket.count));
            thinned.counts.push_back(static_cast<std::uint32_t>(bucket.count));
        }
        return thinned;
    }
    return counted;  // not reached: with every bit dropped there is one bucket
}

// Reduces the counted colours to at most maxColours (2..256) with
// libimagequant, fed the colour histogram so transparent pixels left out of
// the count stay out. Returns the chosen colours as 0x00RRGGBB, or nothing
// on failure.
std::vector<std::uint32_t> ReduceColours(const ColourCounts& allColours, int maxColours)
{
    const ImageQuantFunctions* liq = tessel::runtime::ImageQuant();
    if (!liq)
        return {};
    const ColourCounts counted = ThinColours(allColours);
    LiqAttr attr(liq->liq_attr_create(), liq->liq_attr_destroy);
    if (!attr || liq->liq_set_max_colors(attr.get(), maxColours) != LIQ_OK ||
        liq->liq_set_speed(attr.get(), QUANTIZE_LIQ_SPEED) != LIQ_OK ||
        liq->liq_set_quality(attr.get(), QUANTIZE_LIQ_MIN_QUALITY, QUANTIZE_LIQ_MAX_QUALITY) != LIQ_OK)
        return {};
    LiqHistogram histogram(liq->liq_histogram_create(attr.get()), liq->liq_histogram_destroy);
    if (!histogram)
        return {};
    std::vector<liq_histogram_entry> entries(counted.colours.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::uint32_t colour = counted.colours[i];
        entries[i].color = liq_color{static_cast<unsigned char>(colour >> 16), static_cast<unsigned char>(colour >> 8),
                                     static_cast<unsigned char>(colour), 255};
        entries[i].count = counted.counts[i];
    }
    if (entries.size() > static_cast<std::size_t>(INT32_MAX) ||
        liq->liq_histogram_add_colors(histogram.get(), attr.get(), entries.data(), static_cast<int>(entries.size()),
                                      0) != LIQ_OK)
        return {};
    liq_result* rawResult = nullptr;
    if (liq->liq_histogram_quantize(histogram.get(), attr.get(), &rawResult) != LIQ_OK || !rawResult)
        return {};
    LiqResult result(rawResult, liq->liq_result_destroy);
    const liq_palette* chosen = liq->liq_get_palette(result.get());
    if (!chosen || chosen->count < 1 || chosen->count > static_cast<unsigned>(maxColours))
        return {};
    std::vector<std::uint32_t> colours;
    for (unsigned i = 0; i < chosen->count; ++i) {
        const liq_color& c = chosen->entries[i];
        colours.push_back((std::uint32_t{c.r} << 16) | (std::uint32_t{c.g} << 8) | c.b);
    }
    return colours;
}

// Picks the palette for HOST_QUANTIZE_CHOOSE into palette (unused entries 0,
// the pen's entry 0) and sets usedEnd past the last entry filled, so mapping
// never lands on an unused entry. Returns false when libimagequant fails.
bool ChoosePalette(const ColourCounts& counted, int count, int pen, Palette& palette, int& usedEnd)
{
    palette.fill(0);
    const int freeEntries = pen >= 0 ? count - 1 : count;
    std::vector<std::uint32_t> chosen;
    if (counted.colours.size() <= static_cast<std::size_t>(freeEntries)) {
        chosen = counted.colours;  // exact: every colour keeps its own entry
    } else if (freeEntries == 1) {
        // libimagequant needs room for two colours; one entry gets the mean.
        chosen.push_back(MeanColour(counted.sumRed, counted.sumGreen, counted.sumBlue, counted.pixels));
    } else {
        chosen = ReduceColours(counted, freeEntries);
        if (chosen.empty())
            return false;
    }
    // Free entries in increasing order, stepping over the pen.
    std::size_t next = 0;
    usedEnd = 0;
    for (int i = 0; i < count && next < chosen.size(); ++i) {
        if (i != pen) {
            palette[i] = chosen[next++];
            usedEnd = i + 1;
        }
    }
    return true;
}

// Runs a request that has passed every check; count is 2^targetDepth.
std::int32_t RunQuantize(const void* pixels, std::uint8_t* indices, const QuantizeParams& p, std::int32_t mode,
                         int count)
{
    const std::size_t pixelCount = static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height);
    SourceView source;
    source.pixels = pixels;
    source.depth = p.sourceDepth;
    source.palette = p.sourcePalette;
    source.pen = p.sourceDepth == 8 ? p.sourcePen : -1;

    if (mode == HOST_QUANTIZE_MAP) {
        Palette palette{};
        std::copy(p.targetPalette, p.targetPalette + count, palette.begin());
        MapPixels(source, pixelCount, palette, count, p.targetPen, indices);
        return 1;
    }

    // Every pixel that is mapped by colour was counted, so when usedEnd
    // leaves no entry but the pen there is no such pixel.
    Palette palette;
    int usedEnd = 0;
    if (!ChoosePalette(CountColours(source, pixelCount, p.targetPen), count, p.targetPen, palette, usedEnd))
        return 0;
    MapPixels(source, pixelCount, palette, usedEnd, p.targetPen, indices);
    std::copy(palette.begin(), palette.end(), p.targetPalette);
    return 1;
}

}  // namespace

// The reserved argument is not looked at.
extern "C" std::int32_t TesselHostQuantize(const void* pixels, std::uint8_t* indices, QuantizeParams* params,
                                           std::int32_t mode, std::int32_t)
{
    if (!pixels || !indices || !params || !params->targetPalette)
        return 0;
    if (mode != HOST_QUANTIZE_MAP && mode != HOST_QUANTIZE_CHOOSE)
        return 0;
    const QuantizeParams p = *params;
    if (p.width < 1 || p.height < 1 ||
        std::uint64_t{static_cast<std::uint32_t>(p.width)} * static_cast<std::uint32_t>(p.height) >
            QUANTIZE_MAX_PIXELS)
        return 0;
    if (p.sourceDepth != 32 && !(p.sourceDepth == 8 && p.sourcePalette))
        return 0;
    if (p.targetDepth < 1 || p.targetDepth > 8)
        return 0;
    const int count = 1 << p.targetDepth;
    if (p.targetPen < -1 || p.targetPen >= count)
        return 0;
    try {
        return RunQuantize(pixels, indices, p, mode, count);
    } catch (const std::exception&) {
        return 0;  // out of memory: the module sees a plain failure
    }
}
