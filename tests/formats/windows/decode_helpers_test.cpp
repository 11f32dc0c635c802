// The decoding helpers the icon readers share: masks in both layouts applied
// to images built here, and PNG bytes decoded through the host, including a
// host whose naming service refuses.
#include "host/host_calls.h"
#include "icon/decode_helpers.h"
#include "icon/icon_model.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

namespace rt = tessel::runtime;
using tessel::test::Bytes;

class DecodeHelpers : public testing::Test {
protected:
    void SetUp() override { SetHostApi(rt::GetHostApi()); }
    void TearDown() override
    {
        if (file)
            HostClose(file);
        rt::ClearCallMemFiles();
        IconImage* image = icon.images;
        while (image) {
            IconImage* next = image->next;
            FreeIconImage(image);
            image = next;
        }
        EXPECT_EQ(rt::LiveBlocks(), 0);
        EXPECT_EQ(rt::LiveImages(), 0);
    }

    // A palette image whose pixels are given row by row, top row first.
    IconImage* Palette(std::int32_t width, std::int32_t height, std::int32_t depth, const Bytes& pixels)
    {
        IconImage* image = NewIconImage(width, height, depth, -1, 0, &icon, &tail);
        EXPECT_NE(image, nullptr);
        EXPECT_EQ(pixels.size(), std::size_t(width) * std::size_t(height));
        std::memcpy(image->pixels, pixels.data(), pixels.size());
        return image;
    }

    // Opens the mask bytes as a file, positioned at the first of them.
    HostFile* Mask(const Bytes& bytes)
    {
        maskBytes = bytes;
        std::string name = rt::RegisterMemFile(maskBytes.data(), maskBytes.size(), "bin");
        file = HostOpen(name.c_str(), HOST_MODE_READ);
        EXPECT_NE(file, nullptr);
        return file;
    }

    std::int64_t Position() { return HostSeek(file, 0, HOST_SEEK_CURRENT); }

    static Bytes Pixels(const IconImage* image)
    {
        return Bytes(image->pixels, image->pixels + std::size_t(image->width) * std::size_t(image->height));
    }

    IconHandle icon{};
    IconImage* tail = nullptr;
    Bytes maskBytes;
    HostFile* file = nullptr;
};

// Width 20: 3 bytes of bits (the last counting 4) and 1 filler byte per row;
// width 32: 4 bytes, nothing skipped. Bottom row first, 1 = transparent.
TEST_F(DecodeHelpers, WindowsMaskRowsArePaddedToFourBytes)
{
    Bytes pixels(20 * 2, 1);
    IconImage* image = Palette(20, 2, 4, pixels);
    Mask({
        0x00, 0x00, 0x1F, 0xAA,     // bottom row: pixels 19 and (ignored bits) ..., filler 0xAA
        0x80, 0x00, 0x00, 0xFF,     // top row: pixel 0; filler 0xFF must not count
        0x77,                       // after the mask
    });
    ApplyBitMask(file, image, 4, MASK_LAYOUT_WINDOWS);
    EXPECT_EQ(Position(), 8);
    EXPECT_EQ(image->transparentPen, 0);    // index 0 is the smallest one no pixel holds
    Bytes expected(40, 1);
    expected[0] = 0;                        // top row, pixel 0
    expected[20 + 19] = 0;                  // bottom row, pixel 19 (0x1F: bits for 19..23, only 19 is a pixel)
    EXPECT_EQ(Pixels(image), expected);

    IconImage* wide = Palette(32, 1, 8, Bytes(32, 7));
    HostClose(file);
    Mask({0x00, 0x00, 0x00, 0x01, 0x99});
    ApplyBitMask(file, wide, 8, MASK_LAYOUT_WINDOWS);
    EXPECT_EQ(Position(), 4);
    Bytes wideExpected(32, 7);
    wideExpected[31] = 0;
    EXPECT_EQ(Pixels(wide), wideExpected);
}

// A 4-bit image using 15 of its 16 indices: the free one becomes the pen and
// every masked pixel takes it. A mask without transparent bits leaves no pen.
TEST_F(DecodeHelpers, FreeIndexBecomesThePen)
{
    Bytes pixels;
    for (int i = 0; i < 16; ++i)
        pixels.push_back(static_cast<std::uint8_t>(i == 9 ? 3 : i));     // 9 unused
    IconImage* image = Palette(16, 1, 4, pixels);
    Mask({0xC0, 0x01, 0, 0});
    ApplyBitMask(file, image, 4, MASK_LAYOUT_WINDOWS);
    EXPECT_EQ(image->transparentPen, 9);
    Bytes expected = pixels;
    expected[0] = 9;
    expected[1] = 9;
    expected[15] = 9;
    EXPECT_EQ(Pixels(image), expected);

    IconImage* opaque = Palette(16, 1, 4, pixels);
    HostClose(file);
    Mask({0, 0, 0, 0});
    ApplyBitMask(file, opaque, 4, MASK_LAYOUT_WINDOWS);
    EXPECT_EQ(opaque->transparentPen, -1);
    EXPECT_EQ(Pixels(opaque), pixels);
}

// All 256 indices in use: the first transparent pixel in walk order (lowest
// row first) gives its own index as the pen, nothing changes, and the mask
// is not read further. Its colour is transparent everywhere by design.
TEST_F(DecodeHelpers, EveryIndexInUseTakesTheFirstMaskedColour)
{
    Bytes pixels(256 * 2);
    for (int i = 0; i < 512; ++i)
        pixels[i] = static_cast<std::uint8_t>(i * 7);     // 7 is odd: each row holds every index
    IconImage* image = Palette(256, 2, 8, pixels);
    Bytes mask(2 * 32, 0);
    mask[2] = 0x20;            // bottom row, pixel 18
    mask[32] = 0x80;           // top row, pixel 0: later in the walk
    Mask(mask);
    ApplyBitMask(file, image, 8, MASK_LAYOUT_WINDOWS);
    EXPECT_EQ(image->transparentPen, (256 + 18) * 7 % 256);
    EXPECT_EQ(Pixels(image), pixels);
    EXPECT_EQ(Position(), 3);  // stopped in the byte that held the bit
}

// Source depth 24 (true-colour pixels stored as words): alpha becomes 0 or
// 0xFF, colour stays, the pen is untouched.
TEST_F(DecodeHelpers, TrueColourMaskSetsAlphaOnly)
{
    IconImage* image = NewIconImage(3, 2, 32, -1, 0, &icon, &tail);
    ASSERT_NE(image, nullptr);
    auto* words = reinterpret_cast<std::uint32_t*>(image->pixels);
    const std::uint32_t colours[6] = {0x80112233, 0xFF445566, 0x00778899, 0x12ABCDEF, 0xFF000000, 0x00FFFFFF};
    std::memcpy(words, colours, sizeof colours);
    Mask({0xA0, 0, 0, 0,       // bottom row: pixels 0 and 2
          0x40, 0, 0, 0});     // top row: pixel 1
    ApplyBitMask(file, image, 24, MASK_LAYOUT_WINDOWS);
    const std::uint32_t expected[6] = {0xFF112233, 0x00445566, 0xFF778899,
                                       0x00ABCDEF, 0xFF000000, 0x00FFFFFF};
    EXPECT_EQ(std::vector<std::uint32_t>(words, words + 6), std::vector<std::uint32_t>(expected, expected + 6));
    EXPECT_EQ(image->transparentPen, -1);
    EXPECT_EQ(Position(), 8);
}

// Mac layout: top row first, whole bytes only, 0 = transparent. Width 12
// reads one byte a row and leaves the last 4 pixels of each row alone.
TEST_F(DecodeHelpers, MacMaskRunsTopDownInWholeBytes)
{
    IconImage* image = Palette(16, 2, 8, Bytes(32, 5));
    Mask({0x7F, 0xFF,          // top row: pixel 0 transparent
          0xFF, 0xFE,          // bottom row: pixel 15
          0x00});
    ApplyBitMask(file, image, 8, MASK_LAYOUT_MAC);
    EXPECT_EQ(Position(), 4);
    EXPECT_EQ(image->transparentPen, 0);
    Bytes expected(32, 5);
    expected[0] = 0;
    expected[31] = 0;
    EXPECT_EQ(Pixels(image), expected);

    IconImage* narrow = Palette(12, 2, 4, Bytes(24, 2));
    HostClose(file);
    Mask({0x00, 0xFE, 0x00});
    ApplyBitMask(file, narrow, 4, MASK_LAYOUT_MAC);
    EXPECT_EQ(Position(), 2);
    Bytes narrowExpected(24, 2);
    for (int x = 0; x < 8; ++x)
        narrowExpected[x] = 0;              // top row: 8 pixels masked, 4 without a bit
    narrowExpected[12 + 7] = 0;             // bottom row: pixel 7
    EXPECT_EQ(Pixels(narrow), narrowExpected);
}

// A second mask on an image that already has a pen keeps that pen and adds
// its transparent pixels, even when it has none; odd source depths read
// nothing.
TEST_F(DecodeHelpers, SecondMaskKeepsThePenAndOddDepthsReadNothing)
{
    IconImage* image = Palette(8, 1, 8, Bytes{4, 4, 4, 4, 4, 4, 4, 4});
    image->transparentPen = 4;                      // every index but 4 is free
    Mask({0xFF, 0x00, 0x7F});
    ApplyBitMask(file, image, 8, MASK_LAYOUT_MAC);  // 0xFF: nothing transparent
    EXPECT_EQ(image->transparentPen, 4);
    ApplyBitMask(file, image, 8, MASK_LAYOUT_MAC);  // 0x00: all transparent, with the kept pen
    EXPECT_EQ(image->transparentPen, 4);
    EXPECT_EQ(Pixels(image), Bytes(8, 4));
    image->pixels[0] = 9;
    image->transparentPen = 2;
    ApplyBitMask(file, image, 8, MASK_LAYOUT_MAC);  // 0x7F: pixel 0 takes pen 2
    EXPECT_EQ(image->pixels[0], 2);
    EXPECT_EQ(image->transparentPen, 2);
    EXPECT_EQ(Position(), 3);

    ApplyBitMask(file, image, 16, MASK_LAYOUT_WINDOWS);
    ApplyBitMask(file, image, 24, MASK_LAYOUT_WINDOWS);   // 24 needs word pixels
    ApplyBitMask(file, image, 8, 7);                      // no such layout
    EXPECT_EQ(Position(), 3);
    EXPECT_EQ(image->pixels[0], 2);
}

// A mask cut short by the end of the file reads as zeros: opaque in the
// Windows layout.
TEST_F(DecodeHelpers, ShortWindowsMaskReadsOpaque)
{
    IconImage* image = Palette(8, 2, 1, Bytes{0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 0});
    Mask({0x80});                                   // bottom row, pixel 0; then nothing
    ApplyBitMask(file, image, 1, MASK_LAYOUT_WINDOWS);
    // Both indices in use: pixel 0 of the bottom row gives its index, 1.
    EXPECT_EQ(image->transparentPen, 1);

    IconImage* sparse = Palette(8, 2, 4, Bytes(16, 3));
    HostClose(file);
    Mask({0x01});
    ApplyBitMask(file, sparse, 4, MASK_LAYOUT_WINDOWS);
    Bytes expected(16, 3);
    expected[8 + 7] = 0;
    EXPECT_EQ(Pixels(sparse), expected);
    EXPECT_EQ(sparse->transparentPen, 0);
}

// ---- DecodeEmbeddedPng -------------------------------------------------------

std::vector<std::uint32_t> Gradient(std::int32_t width, std::int32_t height)
{
    std::vector<std::uint32_t> pixels;
    for (std::int32_t i = 0; i < width * height; ++i)
        pixels.push_back(std::uint32_t(i * 0x01030507u) ^ (std::uint32_t(i % 5) << 29));
    return pixels;
}

TEST_F(DecodeHelpers, EmbeddedPngBecomesA32BitImage)
{
    std::vector<std::uint32_t> picture = Gradient(16, 16);
    Bytes png;
    ASSERT_TRUE(rt::EncodePng(picture.data(), 16, 16, png));
    ASSERT_EQ(DecodeEmbeddedPng(png.data(), static_cast<std::uint32_t>(png.size()), "png", &icon, &tail), 1);
    ASSERT_NE(icon.images, nullptr);
    const IconImage* image = icon.images;
    EXPECT_EQ(tail, image);
    EXPECT_EQ(image->width, 16);
    EXPECT_EQ(image->height, 16);
    EXPECT_EQ(image->depth, 32);
    EXPECT_EQ(image->transparentPen, 0);
    EXPECT_EQ(image->palette, nullptr);
    EXPECT_EQ(icon.imageBytesCharged, 1024u);
    const auto* words = reinterpret_cast<const std::uint32_t*>(image->pixels);
    EXPECT_EQ(std::vector<std::uint32_t>(words, words + 256), picture);

    // A second one is appended after the first.
    ASSERT_EQ(DecodeEmbeddedPng(png.data(), static_cast<std::uint32_t>(png.size()), "bin", &icon, &tail), 1);
    EXPECT_EQ(icon.images->next, tail);
}

TEST_F(DecodeHelpers, UndecodableBytesAttachNothing)
{
    std::vector<std::uint32_t> picture = Gradient(4, 4);
    Bytes png;
    ASSERT_TRUE(rt::EncodePng(picture.data(), 4, 4, png));
    Bytes cut(png.begin(), png.begin() + 40);
    Bytes text = {'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'};
    for (const Bytes& bad : {cut, text}) {
        EXPECT_EQ(DecodeEmbeddedPng(bad.data(), static_cast<std::uint32_t>(bad.size()), "png", &icon, &tail), 0);
        EXPECT_EQ(icon.images, nullptr);
    }
    EXPECT_EQ(DecodeEmbeddedPng(png.data(), 0, "png", &icon, &tail), 0);
    // Over the load's budget: the host's image is released, nothing attached.
    icon.imageBytesCharged = ICON_LOAD_BUDGET_BYTES - 32;
    EXPECT_EQ(DecodeEmbeddedPng(png.data(), static_cast<std::uint32_t>(png.size()), "png", &icon, &tail), 0);
    EXPECT_EQ(icon.images, nullptr);
}

// A host whose naming service fails: no name, so no image load is tried. A
// host that returns no pixels: its image is released and the decode fails.
int NameCalls = 0;
int LoadCalls = 0;
int FreeCalls = 0;

extern "C" std::int32_t RefuseName(char* buffer, std::int32_t, const MemFileDesc*, std::int32_t)
{
    ++NameCalls;
    buffer[0] = 'x';                    // leaves a name behind yet reports failure
    buffer[1] = '\0';
    return 0;
}

extern "C" std::int32_t EmptyName(char* buffer, std::int32_t, const MemFileDesc*, std::int32_t)
{
    ++NameCalls;
    buffer[0] = '\0';
    return 1;
}

extern "C" HostImage* CountingLoad(const char* name, const TagItem* options, std::int32_t* width,
                                   std::int32_t* height, std::int32_t reserved)
{
    ++LoadCalls;
    return TesselHostLoadImage(name, options, width, height, reserved);
}

extern "C" const std::uint32_t* NoPixels(HostImage*)
{
    return nullptr;
}

extern "C" void CountingFree(HostImage* image)
{
    ++FreeCalls;
    TesselHostFreeImage(image);
}

struct PatchedHost {
    std::vector<PluginFunction> fileTable;
    std::vector<PluginFunction> imageTable;
    HostApi api;

    PatchedHost()
    {
        const HostApi* real = rt::GetHostApi();
        fileTable.assign(reinterpret_cast<const PluginFunction*>(real->words[HOSTAPI_WORD_FILE]),
                         reinterpret_cast<const PluginFunction*>(real->words[HOSTAPI_WORD_FILE]) +
                             HOST_FILE_TABLE_SIZE);
        imageTable.assign(reinterpret_cast<const PluginFunction*>(real->words[HOSTAPI_WORD_IMAGE]),
                          reinterpret_cast<const PluginFunction*>(real->words[HOSTAPI_WORD_IMAGE]) +
                              HOST_IMAGE_TABLE_SIZE);
        imageTable[HOST_IMAGE_LOAD] = reinterpret_cast<PluginFunction>(&CountingLoad);
        imageTable[HOST_IMAGE_FREE] = reinterpret_cast<PluginFunction>(&CountingFree);
        api = *real;
        api.words[HOSTAPI_WORD_FILE] = reinterpret_cast<std::uintptr_t>(fileTable.data());
        api.words[HOSTAPI_WORD_IMAGE] = reinterpret_cast<std::uintptr_t>(imageTable.data());
        NameCalls = LoadCalls = FreeCalls = 0;
    }
};

TEST_F(DecodeHelpers, RefusedNameOrMissingPixelsFail)
{
    std::vector<std::uint32_t> picture = Gradient(4, 4);
    Bytes png;
    ASSERT_TRUE(rt::EncodePng(picture.data(), 4, 4, png));
    auto decode = [&] {
        return DecodeEmbeddedPng(png.data(), static_cast<std::uint32_t>(png.size()), "png", &icon, &tail);
    };

    {
        PatchedHost host;
        SetHostApi(&host.api);
        EXPECT_EQ(decode(), 1);         // the wrappers alone change nothing
        EXPECT_EQ(LoadCalls, 1);
        EXPECT_EQ(FreeCalls, 1);
        SetHostApi(rt::GetHostApi());
    }
    for (auto nameSlot : {&RefuseName, &EmptyName}) {
        PatchedHost host;
        host.fileTable[HOST_FILE_MEM_FILE_NAME] = reinterpret_cast<PluginFunction>(nameSlot);
        SetHostApi(&host.api);
        EXPECT_EQ(decode(), 0);
        SetHostApi(rt::GetHostApi());
        EXPECT_EQ(NameCalls, 1);
        EXPECT_EQ(LoadCalls, 0) << "an image was loaded without a name";
    }
    {
        PatchedHost host;
        host.imageTable[HOST_IMAGE_GET_PIXELS] = reinterpret_cast<PluginFunction>(&NoPixels);
        SetHostApi(&host.api);
        EXPECT_EQ(decode(), 0);
        SetHostApi(rt::GetHostApi());
        EXPECT_EQ(LoadCalls, 1);
        EXPECT_EQ(FreeCalls, 1);
        EXPECT_EQ(rt::LiveImages(), 0);
    }
    ASSERT_NE(icon.images, nullptr);
    EXPECT_EQ(icon.images->next, nullptr);  // only the first, successful decode attached an image
}

}  // namespace
