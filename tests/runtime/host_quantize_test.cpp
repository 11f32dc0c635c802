// HostQuantize: palette mapping (mode 0) and palette choice (mode 2).
// Small cases are worked out by hand; large ones are judged by properties
// (index range, pen never used for opaque pixels, nearest-colour mapping,
// error bound, determinism).
#include "runtime/host_services.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr std::uint8_t INDEX_GUARD = 0xCC;
constexpr std::uint32_t PALETTE_GUARD = 0xDEADBEEF;
constexpr std::size_t GUARD_COUNT = 16;

struct Request {
    const void* pixels = nullptr;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t sourceDepth = 32;
    const std::uint32_t* sourcePalette = nullptr;
    std::int32_t targetDepth = 4;
    std::int32_t sourcePen = -1;
    std::int32_t targetPen = -1;
    std::int32_t mode = HOST_QUANTIZE_CHOOSE;
    std::vector<std::uint32_t> palette;  // given palette for mode 0; the rest is filled with the guard
};

struct Outcome {
    std::int32_t result = 0;
    std::vector<std::uint8_t> indices;  // width * height
    std::vector<std::uint32_t> palette; // 256 words
};

// Runs HostQuantize with guard bytes after both output buffers and checks
// nothing was written past them.
Outcome Quantize(const Request& request)
{
    const std::size_t pixelCount = static_cast<std::size_t>(std::max(request.width, 0)) *
                                   static_cast<std::size_t>(std::max(request.height, 0));
    std::vector<std::uint8_t> indices(pixelCount + GUARD_COUNT, INDEX_GUARD);
    std::vector<std::uint32_t> palette(256 + GUARD_COUNT, PALETTE_GUARD);
    std::copy(request.palette.begin(), request.palette.end(), palette.begin());
    QuantizeParams params{request.width,         request.height,      request.sourceDepth, request.targetDepth,
                          request.sourcePalette, palette.data(),      request.sourcePen,   request.targetPen};
    Outcome outcome;
    outcome.result = TesselHostQuantize(request.pixels, indices.data(), &params, request.mode, 0);
    for (std::size_t i = pixelCount; i < indices.size(); ++i)
        EXPECT_EQ(indices[i], INDEX_GUARD) << "index written past the end at " << i;
    for (std::size_t i = 256; i < palette.size(); ++i)
        EXPECT_EQ(palette[i], PALETTE_GUARD) << "palette written past the end at " << i;
    outcome.indices.assign(indices.begin(), indices.begin() + static_cast<std::ptrdiff_t>(pixelCount));
    outcome.palette.assign(palette.begin(), palette.begin() + 256);
    return outcome;
}

// The 256-word palette a choice should leave: the given words, then zeros.
std::vector<std::uint32_t> PaletteOf(std::initializer_list<std::uint32_t> used)
{
    std::vector<std::uint32_t> palette(used);
    palette.resize(256, 0);
    return palette;
}

double Distance(std::uint32_t a, std::uint32_t b)
{
    const double dr = static_cast<double>((a >> 16) & 0xFF) - static_cast<double>((b >> 16) & 0xFF);
    const double dg = static_cast<double>((a >> 8) & 0xFF) - static_cast<double>((b >> 8) & 0xFF);
    const double db = static_cast<double>(a & 0xFF) - static_cast<double>(b & 0xFF);
    return std::sqrt(dr * dr + dg * dg + db * db);
}

// Green, red, a transparent pixel, green; blue at alpha 128 (opaque), red,
// white at alpha 127 (transparent), blue.
const std::uint32_t FewColours[8] = {
    0xFF00FF00, 0xFFFF0000, 0x00123456, 0xFF00FF00,
    0x800000FF, 0xFFFF0000, 0x7FFFFFFF, 0xFF0000FF,
};

TEST(HostQuantize, ChooseKeepsFewColoursExactlyInFirstAppearanceOrder)
{
    Request request;
    request.pixels = FewColours;
    request.width = 4;
    request.height = 2;
    request.targetDepth = 2;

    request.targetPen = 0;
    Outcome pen0 = Quantize(request);
    ASSERT_EQ(pen0.result, 1);
    EXPECT_EQ(pen0.palette, PaletteOf({0x000000, 0x00FF00, 0xFF0000, 0x0000FF}));
    EXPECT_EQ(pen0.indices, (std::vector<std::uint8_t>{1, 2, 0, 1,
                                                       3, 2, 0, 3}));

    // The pen in the middle: the colours step over it.
    request.targetPen = 2;
    Outcome pen2 = Quantize(request);
    ASSERT_EQ(pen2.result, 1);
    EXPECT_EQ(pen2.palette, PaletteOf({0x00FF00, 0xFF0000, 0x000000, 0x0000FF}));
    EXPECT_EQ(pen2.indices, (std::vector<std::uint8_t>{0, 1, 2, 0,
                                                       3, 1, 2, 3}));

    // No pen: transparent pixels keep their colour and take entries like any other.
    request.targetPen = -1;
    request.targetDepth = 3;
    Outcome noPen = Quantize(request);
    ASSERT_EQ(noPen.result, 1);
    EXPECT_EQ(noPen.palette, PaletteOf({0x00FF00, 0xFF0000, 0x123456, 0x0000FF, 0xFFFFFF}));
    EXPECT_EQ(noPen.indices, (std::vector<std::uint8_t>{0, 1, 2, 0,
                                                        3, 1, 4, 3}));

    // Depth 1 with a pen leaves one entry: it gets the mean of the opaque
    // pixels, (2*green + 2*red + 2*blue) / 6 = 0x555555.
    request.targetDepth = 1;
    request.targetPen = 0;
    Outcome single = Quantize(request);
    ASSERT_EQ(single.result, 1);
    EXPECT_EQ(single.palette, PaletteOf({0x000000, 0x555555}));
    EXPECT_EQ(single.indices, (std::vector<std::uint8_t>{1, 1, 0, 1,
                                                         1, 1, 0, 1}));

    // Only transparent pixels: nothing but the pen, a palette of zeros.
    const std::uint32_t clear[3] = {0x00FFFFFF, 0x10ABCDEF, 0x7F000000};
    request.pixels = clear;
    request.width = 3;
    request.height = 1;
    request.targetDepth = 4;
    request.targetPen = 5;
    Outcome empty = Quantize(request);
    ASSERT_EQ(empty.result, 1);
    EXPECT_EQ(empty.palette, PaletteOf({}));
    EXPECT_EQ(empty.indices, (std::vector<std::uint8_t>{5, 5, 5}));
}

TEST(HostQuantize, EightBitSourceUsesItsPaletteAndPen)
{
    std::array<std::uint32_t, 256> sourcePalette{};
    sourcePalette[5] = 0x112233;
    sourcePalette[7] = 0xAB445566;  // the top byte is not part of the colour
    sourcePalette[9] = 0x778899;
    const std::uint8_t pixels[6] = {5, 7, 9,
                                    7, 5, 5};
    Request request;
    request.pixels = pixels;
    request.width = 3;
    request.height = 2;
    request.sourceDepth = 8;
    request.sourcePalette = sourcePalette.data();
    request.targetDepth = 2;
    request.sourcePen = 9;
    request.targetPen = 3;
    Outcome chosen = Quantize(request);
    ASSERT_EQ(chosen.result, 1);
    EXPECT_EQ(chosen.palette, PaletteOf({0x112233, 0x445566}));
    EXPECT_EQ(chosen.indices, (std::vector<std::uint8_t>{0, 1, 3,
                                                         1, 0, 0}));

    // Without a source pen, byte 9 is just another colour.
    request.sourcePen = -1;
    Outcome noSourcePen = Quantize(request);
    ASSERT_EQ(noSourcePen.result, 1);
    EXPECT_EQ(noSourcePen.palette, PaletteOf({0x112233, 0x445566, 0x778899}));
    EXPECT_EQ(noSourcePen.indices, (std::vector<std::uint8_t>{0, 1, 2,
                                                              1, 0, 0}));

    // Mapped onto a given palette; the pen's entry matches 0x112233 exactly
    // but is not for opaque pixels.
    request.mode = HOST_QUANTIZE_MAP;
    request.sourcePen = 9;
    request.targetPen = 0;
    request.palette = {0x112233, 0x000000, 0x102030, 0x445566};
    Outcome mapped = Quantize(request);
    ASSERT_EQ(mapped.result, 1);
    EXPECT_EQ(mapped.indices, (std::vector<std::uint8_t>{2, 3, 0,
                                                         3, 2, 2}));

    request.sourcePalette = nullptr;
    EXPECT_EQ(Quantize(request).result, 0);
}

TEST(HostQuantize, MapPicksNearestLowestIndexAndSkipsThePen)
{
    // Entries: red, black, 0x000010, black again.
    const std::vector<std::uint32_t> given = {0xFF0000, 0x000000, 0x000010, 0x000000};
    const std::uint32_t pixels[5] = {
        0xFF000000,  // black
        0xFF000008,  // 8 from black and from 0x000010
        0x00FF0000,  // transparent red
        0xFFFE0101,  // next to red
        0x80000010,  // exactly entry 2
    };
    Request request;
    request.pixels = pixels;
    request.width = 5;
    request.height = 1;
    request.targetDepth = 2;
    request.mode = HOST_QUANTIZE_MAP;
    request.palette = given;

    request.targetPen = 1;
    Outcome withPen = Quantize(request);
    ASSERT_EQ(withPen.result, 1);
    // Black skips the pen for the other black; the tie 2/3 goes to 2.
    EXPECT_EQ(withPen.indices, (std::vector<std::uint8_t>{3, 2, 1, 0, 2}));
    EXPECT_TRUE(std::equal(given.begin(), given.end(), withPen.palette.begin()));  // given palette untouched
    EXPECT_EQ(withPen.palette[4], PALETTE_GUARD);

    request.targetPen = -1;
    Outcome noPen = Quantize(request);
    ASSERT_EQ(noPen.result, 1);
    // The three-way tie 1/2/3 goes to 1; transparent red maps by colour.
    EXPECT_EQ(noPen.indices, (std::vector<std::uint8_t>{1, 1, 0, 0, 2}));

    // Depth 1 uses only the first two entries, even when a later one matches.
    request.targetDepth = 1;
    request.palette = {0xFF0000, 0x00FF00, 0x0000FF};
    const std::uint32_t blue = 0xFF0000FF;
    request.pixels = &blue;
    request.width = 1;
    Outcome shallow = Quantize(request);
    ASSERT_EQ(shallow.result, 1);
    EXPECT_EQ(shallow.indices, (std::vector<std::uint8_t>{0}));  // red and green tie
}

// A 64x64 picture of 4096 colours; the top-left 8x8 is transparent.
std::vector<std::uint32_t> Gradient()
{
    std::vector<std::uint32_t> pixels;
    for (std::uint32_t y = 0; y < 64; ++y) {
        for (std::uint32_t x = 0; x < 64; ++x) {
            const std::uint32_t alpha = (x < 8 && y < 8) ? 0x40 : 0xFF;
            pixels.push_back((alpha << 24) | ((x * 4) << 16) | ((y * 4) << 8) | ((x + y) * 2));
        }
    }
    return pixels;
}

TEST(HostQuantize, ManyColoursAreReducedWithinBounds)
{
    const auto pixels = Gradient();
    Request request;
    request.pixels = pixels.data();
    request.width = 64;
    request.height = 64;
    request.targetDepth = 4;
    request.targetPen = 0;
    const Outcome first = Quantize(request);
    ASSERT_EQ(first.result, 1);
    EXPECT_EQ(first.palette[0], 0u);
    for (std::size_t i = 16; i < 256; ++i)
        ASSERT_EQ(first.palette[i], 0u) << i;

    double totalError = 0;
    std::size_t opaque = 0;
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const std::uint8_t index = first.indices[i];
        ASSERT_LT(index, 16);
        if ((pixels[i] >> 24) < 128) {
            EXPECT_EQ(index, 0) << i;
            continue;
        }
        ASSERT_NE(index, 0) << i;
        // The chosen entry is a nearest one among the non-pen entries.
        const double distance = Distance(pixels[i], first.palette[index]);
        for (std::size_t e = 1; e < 16; ++e)
            EXPECT_LE(distance, Distance(pixels[i], first.palette[e])) << i;
        totalError += distance;
        ++opaque;
    }
    // Cutting the gradient into a 4x4 grid of squares, each flat at its mean
    // colour, gives a mean error of 27.3, or about 28.1 for fifteen colours
    // (error over a surface grows with the square root of the cell area).
    // The chosen colours must do about as well.
    EXPECT_LT(totalError / static_cast<double>(opaque), 30.0);

    const Outcome second = Quantize(request);
    EXPECT_EQ(second.indices, first.indices);
    EXPECT_EQ(second.palette, first.palette);
}

TEST(HostQuantize, LargePicturesStayExactOrBounded)
{
    // 160000 distinct colours: more than libimagequant is handed at once, so
    // they are merged into buckets first. Multiplying by an odd number is a
    // permutation of the 2^24 colours, spreading them through the cube.
    std::vector<std::uint32_t> noise(400 * 400);
    for (std::uint32_t i = 0; i < noise.size(); ++i)
        noise[i] = 0xFF000000 | ((i * 0x9E3779u) & 0xFFFFFF);
    Request request;
    request.pixels = noise.data();
    request.width = 400;
    request.height = 400;
    request.targetDepth = 8;
    request.targetPen = 0;
    const Outcome reduced = Quantize(request);
    ASSERT_EQ(reduced.result, 1);
    double error = 0;
    for (std::size_t i = 0; i < noise.size(); ++i) {
        ASSERT_NE(reduced.indices[i], 0) << i;
        error += Distance(noise[i], reduced.palette[reduced.indices[i]]);
    }
    // 255 equal cubes filling the colour cube have sides of 40.4; the mean
    // distance to a cube's centre is 0.48 of the side, 19.5.
    EXPECT_LT(error / static_cast<double>(noise.size()), 25.0);
    EXPECT_EQ(Quantize(request).indices, reduced.indices);

    // Over a million pixels of three colours: still exact, in order of first
    // appearance.
    std::vector<std::uint32_t> big(1100 * 1000, 0xFF336699);
    big[5000] = 0xFFFFFFFF;
    big[7] = 0xFF000001;
    big[8] = 0x10000001;  // transparent
    request.pixels = big.data();
    request.width = 1100;
    request.height = 1000;
    request.targetDepth = 2;
    request.targetPen = 1;
    const Outcome exact = Quantize(request);
    ASSERT_EQ(exact.result, 1);
    EXPECT_EQ(exact.palette, PaletteOf({0x336699, 0x000000, 0x000001, 0xFFFFFF}));
    EXPECT_EQ(exact.indices[0], 0);
    EXPECT_EQ(exact.indices[7], 2);
    EXPECT_EQ(exact.indices[8], 1);
    EXPECT_EQ(exact.indices[5000], 3);
    EXPECT_EQ(std::count(exact.indices.begin(), exact.indices.end(), 0), 1100 * 1000 - 3);
}

TEST(HostQuantize, InvalidRequestsFailAndWriteNothing)
{
    const std::uint32_t pixels[4] = {0xFF000000, 0xFFFFFFFF, 0xFF808080, 0xFF0000FF};
    const std::array<std::uint32_t, 256> sourcePalette{};
    Request valid;
    valid.pixels = pixels;
    valid.width = 2;
    valid.height = 2;
    valid.targetDepth = 4;
    ASSERT_EQ(Quantize(valid).result, 1);

    struct Case {
        const char* what;
        Request request;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, auto change) {
        Request request = valid;
        change(request);
        cases.push_back({what, request});
    };
    add("no pixels", [](Request& r) { r.pixels = nullptr; });
    add("source depth 24", [](Request& r) { r.sourceDepth = 24; });
    add("8-bit source without palette", [](Request& r) { r.sourceDepth = 8; });
    add("target depth 0", [](Request& r) { r.targetDepth = 0; });
    add("target depth 9", [](Request& r) { r.targetDepth = 9; });
    add("zero width", [](Request& r) { r.width = 0; });
    add("negative height", [](Request& r) { r.height = -2; });
    add("pen below -1", [](Request& r) { r.targetPen = -2; });
    add("pen past the palette", [](Request& r) { r.targetPen = 16; });
    add("pen past a 1-bit palette", [](Request& r) { r.targetDepth = 1; r.targetPen = 2; });
    add("mode 1", [](Request& r) { r.mode = 1; });
    add("mode 0, pen past the palette", [](Request& r) { r.mode = HOST_QUANTIZE_MAP; r.targetPen = 16; });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome outcome = Quantize(c.request);
        EXPECT_EQ(outcome.result, 0);
        for (std::uint8_t index : outcome.indices)
            EXPECT_EQ(index, INDEX_GUARD);
        for (std::uint32_t word : outcome.palette)
            EXPECT_EQ(word, PALETTE_GUARD);
    }

    // Missing output buffers or record.
    std::uint8_t indices[4];
    std::uint32_t palette[256];
    QuantizeParams params{2, 2, 32, 4, sourcePalette.data(), palette, -1, -1};
    EXPECT_EQ(TesselHostQuantize(pixels, nullptr, &params, HOST_QUANTIZE_CHOOSE, 0), 0);
    EXPECT_EQ(TesselHostQuantize(pixels, indices, nullptr, HOST_QUANTIZE_CHOOSE, 0), 0);
    params.targetPalette = nullptr;
    EXPECT_EQ(TesselHostQuantize(pixels, indices, &params, HOST_QUANTIZE_CHOOSE, 0), 0);

    // Over the pixel limit: refused from the record alone, before the
    // four-pixel buffers are touched.
    params = QuantizeParams{16384, 4097, 32, 4, nullptr, palette, -1, -1};
    EXPECT_EQ(TesselHostQuantize(pixels, indices, &params, HOST_QUANTIZE_CHOOSE, 0), 0);
    params.width = 0x10000;
    params.height = 0x10000;  // the product wraps to 0 in 32 bits
    EXPECT_EQ(TesselHostQuantize(pixels, indices, &params, HOST_QUANTIZE_MAP, 0), 0);

    // The edges of the pen's range are accepted.
    Request highestPen = valid;
    highestPen.targetPen = 15;
    EXPECT_EQ(Quantize(highestPen).result, 1);
    highestPen.targetDepth = 8;
    highestPen.targetPen = 255;
    EXPECT_EQ(Quantize(highestPen).result, 1);
}

}  // namespace
