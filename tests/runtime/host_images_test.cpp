// The host's picture services: PNG and JPEG 2000 decoding, PNG encoding, HostLoadImage, HostSavePng,
// HostQuantize. Pillow and pngcheck judge; pictures built by hand have expectations worked out from the formats.
#include "runtime/host_services.h"
#include "runtime/picture_codecs.h"
#include "tests/support/byte_builders.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <random>

namespace {

using namespace tessel::test;
namespace rt = tessel::runtime;
using Words = std::vector<std::uint32_t>;

// A PNG chunk, or a JPEG 2000 box (length, type, data).
Bytes Chunk(const char* type, const Bytes& data, bool box = false)
{
    return box ? Cat({Be32(std::uint32_t(data.size() + 8)), Bytes(type, type + 4), data}) : PngChunk(type, data);
}

// Signature and IHDR (deflate, adaptive filters, interlaced by Adam7 or not), other chunks, the rows in one IDAT, IEND.
Bytes Png(std::uint32_t width, std::uint32_t height, std::uint8_t depth, std::uint8_t colourType, const Bytes& rows,
          const Bytes& chunks = {}, std::uint8_t adam7 = 0)
{
    const Bytes ihdr = Chunk("IHDR", Cat({Be32(width), Be32(height), {depth, colourType, 0, 0, adam7}}));
    return Cat({{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, ihdr, chunks, Chunk("IDAT", Deflate(rows)), Chunk("IEND", {})});
}

// Pillow's decoding of each file as 0xAARRGGBB words; 16-bit grey by its high bytes and its key (Pillow's own
// conversion clips).
std::vector<Words> PillowWords(const std::vector<Bytes>& files)
{
    TempDir dir;
    std::vector<std::string> argv = {"/usr/bin/python3", "-c", "import sys\nfrom PIL import Image\nfor path in sys.argv[1:]:\n"
        "    im = Image.open(path)\n    key = im.info.get('transparency')\n    im = Image.frombytes('LA', im.size, bytes("
        "b for v in im.getdata() for b in (v >> 8, 255 * (v != key)))) if im.mode[0] == 'I' else im\n"
        "    open(path + '.rgba', 'wb').write(im.convert('RGBA').tobytes())\n"};
    for (const Bytes& file : files)
        WriteFileBytes(argv.emplace_back(dir.File(std::to_string(argv.size()))), file);
    EXPECT_EQ(RunProgram(argv).exitCode, 0);
    std::vector<Words> decoded(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        const Bytes rgba = ReadFileBytes(argv[i + 3] + ".rgba");
        for (std::size_t p = 0; p < rgba.size(); p += 4)
            decoded[i].push_back(std::uint32_t{rgba[p + 3]} << 24 | rgba[p] << 16 | rgba[p + 1] << 8 | rgba[p + 2]);
    }
    return decoded;
}

struct Loaded {
    std::int32_t width = -7, height = -7;  // written only on success
    Words pixels;
    bool operator==(const Loaded&) const = default;
};

// DecodeImage, and HostLoadImage on a memory file, which must agree.
Loaded Decode(const Bytes& file)
{
    Loaded direct, host;
    const bool decoded = rt::DecodeImage(file.data(), file.size(), &direct.width, &direct.height, direct.pixels);
    const std::string name = rt::RegisterMemFile(file.data(), file.size(), "bin");
    HostImage* image = TesselHostLoadImage(name.c_str(), nullptr, &host.width, &host.height, 0);
    const std::uint32_t* words = TesselHostGetImagePixels(image);
    host.pixels.assign(words, words + (image ? host.width * host.height : 0));
    EXPECT_EQ(rt::LiveImages(), image ? 1 : 0);
    TesselHostFreeImage(image);
    rt::ClearCallMemFiles();
    EXPECT_TRUE(rt::LiveImages() == 0 && decoded == (direct.width > 0) && host == direct);
    return direct;
}

// A JPEG 2000 codestream: SOC, SIZ, COD, QCD, one tile of one part, EOC. No wavelet levels, one layer, the
// reversible filter and every packet empty (a lone 0 bit padded to a byte), so every sample decodes to the
// DC level: 2^(precision-1) unsigned, 0 signed. Per component Ssiz (bit 7 signed, bits 0-6 precision - 1),
// XRsiz, YRsiz. Given a colour space, in a JP2 file: signature, 'ftyp', 'jp2h' holding 'ihdr' and 'colr'
// (enumerated: 16 sRGB, 17 grey, 18 sYCC, 24 e-sYCC, 12 CMYK), 'jp2c'.
Bytes Jpeg2000(std::uint32_t width, std::uint32_t height, const Bytes& components, std::uint32_t colourSpace = 0)
{
    const auto count = std::uint16_t(components.size() / 3);
    const Bytes codestream = Cat({{0xFF, 0x4F, 0xFF, 0x51}, Be16(38 + 3 * count), Be16(0), Be32(width), Be32(height),
        Be32(0), Be32(0), Be32(std::max(width, 1u)), Be32(std::max(height, 1u)), Be32(0), Be32(0), Be16(count), components,
        {0xFF, 0x52, 0, 12, 0, 0, 0, 1, 0, 0, 4, 4, 0, 1},    // COD: LRCP, one layer, no levels, 64x64 blocks, 5/3
        {0xFF, 0x5C, 0, 4, 0x40, 8 << 3},                     // QCD: two guard bits, no quantisation, exponent 8
        {0xFF, 0x90, 0, 10, 0, 0}, Be32(14 + count), {0, 1},  // SOT: tile 0, Psot, part 0 of 1
        {0xFF, 0x93}, Bytes(count, 0), {0xFF, 0xD9}});        // SOD, an empty packet a component, EOC
    const Bytes header = Cat({Chunk("ihdr", Cat({Be32(height), Be32(width), Be16(count), {7, 7, 0, 0}}), true),
                              Chunk("colr", Cat({{1, 0, 0}, Be32(colourSpace)}), true)});
    return !colourSpace ? codestream : Cat({Chunk("jP  ", {0x0D, 0x0A, 0x87, 0x0A}, true), Chunk("ftyp", {'j', 'p', '2', ' ',
        0, 0, 0, 0, 'j', 'p', '2', ' '}, true), Chunk("jp2h", header, true), Chunk("jp2c", codestream, true)});
}

// A 3x2 picture, 2-bit palette of three entries, tRNS for the first two; filter 0, pixels 0 1 2, then 2 2 0.
const Bytes PalettePng = Png(3, 2, 2, 3, {0, 0x18, 0, 0xA0}, Cat({Chunk("PLTE", {0x10, 0x20, 0x30, 0xFF, 0, 0, 0, 0xFF, 0}),
                                                              Chunk("tRNS", {0x80, 0xFF})}));
const Words PaletteWords = {0x80102030, 0xFFFF0000, 0xFF00FF00, 0xFF00FF00, 0xFF00FF00, 0x80102030};

// Every row gives its expected words by hand (each PNG row starts with its filter byte, 0); Pillow agrees on
// every PNG that decodes.
TEST(ImageDecode, HandBuiltPicturesDecodeToKnownWordsOrAreRefused)
{
    Bytes raw(24 * 97, 0);  // 24x24 RGBA: each pixel its R, G, B, A bytes
    Words words;
    for (std::uint32_t i = 0; i < 24 * 24; ++i) {
        const std::uint8_t r = std::uint8_t(i * 7), g = std::uint8_t(i / 24 * 13), b = std::uint8_t(i ^ 90), a = std::uint8_t(~i);
        std::copy_n(Bytes{r, g, b, a}.begin(), 4, raw.begin() + i / 24 * 97 + 1 + i % 24 * 4);
        words.push_back(std::uint32_t{a} << 24 | r << 16 | g << 8 | b);
    }
    const Bytes good = PalettePng, whole = Png(24, 24, 8, 6, raw), text = Chunk("tEXt", {'a', 0});
    const Bytes head(whole.begin(), whole.begin() + 33), data(whole.begin() + 41, whole.end() - 16), end(whole.end() - 12, whole.end());
    const Bytes two = Chunk("PLTE", {0x10, 0x20, 0x30, 0x40, 0x50, 0x60}), p0 = {1, 2, 3, 4}, p1 = {5, 6, 7, 8}, p2 = {9, 10, 11, 12};
    Bytes split = head, encoded, badAdler = Deflate({0, 0x18, 0, 0xA0}), badText = text;
    for (std::size_t at = 0; at < data.size(); at += 7)
        split = Cat({split, Chunk("IDAT", Bytes(data.begin() + at, data.begin() + std::min(data.size(), at + 7)))});
    ASSERT_TRUE(rt::EncodePng(words.data(), 24, 24, encoded));
    badAdler.back() ^= 1, badText.back() ^= 1;
    const std::size_t idat = 8 + 25 + 21 + 14;  // signature, IHDR, PLTE, tRNS
    auto cut = [&](std::size_t from, std::size_t to) { return Bytes(good.begin() + from, good.begin() + to); };
    auto sized = [](std::uint32_t width, std::uint32_t height) { return Png(width, height, 8, 6, {}); };
    const Bytes grey = {7, 1, 1}, rgb = Cat({grey, grey, grey}), jp2 = Jpeg2000(5, 3, rgb, 16);
    Bytes staleHeight = jp2;   // the header box says 2 rows, the codestream 3
    staleHeight[std::string(jp2.begin(), jp2.end()).find("ihdr") + 7] ^= 1;
    // what, file, width (-7: refused), words
    const struct { const char* what; Bytes file; std::int32_t width; Words pixels; } rows[] = {
        {"grey, 1 bit", Png(2, 1, 1, 0, {0, 0x40}), 2, {0xFF000000, 0xFFFFFFFF}},
        {"grey, 2 bits", Png(4, 1, 2, 0, {0, 0x1B}), 4, {0xFF000000, 0xFF555555, 0xFFAAAAAA, 0xFFFFFFFF}},
        {"grey, 4 bits", Png(2, 1, 4, 0, {0, 0x1F}), 2, {0xFF111111, 0xFFFFFFFF}},
        {"grey, 8 bits, key 0x40", Png(2, 1, 8, 0, {0, 0x40, 0x41}, Chunk("tRNS", {0, 0x40})), 2, {0x00404040, 0xFF414141}},
        // The key matches the whole 16-bit sample; the word takes its high byte.
        {"grey, 16 bits, key 0x1234", Png(3, 1, 16, 0, {0, 0x12, 0x34, 0x12, 0xFF, 0xAB, 0xCD}, Chunk("tRNS", {0x12, 0x34})),
         3, {0x00121212, 0xFF121212, 0xFFABABAB}},
        {"RGB, 8 bits, key 102030", Png(2, 1, 8, 2, {0, 0x10, 0x20, 0x30, 0x10, 0x20, 0x31}, Chunk("tRNS", {0, 0x10, 0, 0x20, 0, 0x30})),
         2, {0x00102030, 0xFF102031}},
        {"RGB, 16 bits", Png(1, 1, 16, 2, {0, 0x11, 0x99, 0x22, 0x99, 0x33, 0x99}), 1, {0xFF112233}},
        {"palette, 1 bit", Png(2, 1, 1, 3, {0, 0x40}, two), 2, {0xFF102030, 0xFF405060}},
        {"palette, 2 bits, tRNS", good, 3, PaletteWords},
        {"palette, 4 bits", Png(2, 1, 4, 3, {0, 0x01}, two), 2, {0xFF102030, 0xFF405060}},
        {"palette, 8 bits, tRNS", Png(2, 1, 8, 3, {0, 0, 1}, Cat({two, Chunk("tRNS", {0})})), 2, {0x00102030, 0xFF405060}},
        {"grey and alpha, 8 bits", Png(1, 1, 8, 4, {0, 0x40, 0x80}), 1, {0x80404040}},
        {"grey and alpha, 16 bits", Png(1, 1, 16, 4, {0, 0x40, 0x99, 0x80, 0x99}), 1, {0x80404040}},
        {"RGBA, 16 bits", Png(1, 1, 16, 6, {0, 0x11, 0x99, 0x22, 0x99, 0x33, 0x99, 0x44, 0x99}), 1, {0x44112233}},
        // Adam7 passes of a 3x1 picture: 1 holds pixel 0, 4 pixel 2, 6 pixel 1.
        {"RGBA, interlaced", Png(3, 1, 8, 6, Cat({{0}, p0, {0}, p2, {0}, p1}), {}, 1), 3, {0x04010203, 0x08050607, 0x0C090A0B}},
        {"RGBA, IDAT chunks of 7 bytes", Cat({split, end}), 24, words},
        {"a spare row after the last", Png(24, 24, 8, 6, Cat({raw, Bytes(97, 0)})), 24, words},
        {"only the first datastream", Cat({encoded, good}), 24, words},
        {"IDAT chunks apart", Cat({head, Chunk("IDAT", Bytes(data.begin(), data.begin() + 9)), text,
                                   Chunk("IDAT", Bytes(data.begin() + 9, data.end())), end}), -7, {}},
        {"empty", {}, -7, {}},
        {"neither PNG nor JPEG 2000", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0}, -7, {}},
        {"cut inside IDAT", cut(0, idat + 12), -7, {}},
        {"ancillary chunk CRC wrong", Cat({cut(0, 33), badText, cut(33, good.size())}), -7, {}},
        {"Adler-32 wrong", Cat({cut(0, idat), Chunk("IDAT", badAdler), end}), -7, {}},
        {"pixel data one row short", Cat({cut(0, idat), Chunk("IDAT", Deflate({0, 0x18})), end}), -7, {}},
        {"IHDR not first", Cat({cut(0, 8), text, cut(8, good.size())}), -7, {}},
        {"wider than 16384", sized(16385, 1), -7, {}}, {"taller than 16384", sized(1, 16385), -7, {}},
        {"sides fit, bytes do not", sized(8193, 8193), -7, {}},
        {"zero width", sized(0, 5), -7, {}}, {"zero height", sized(5, 0), -7, {}},
        // JPEG 2000: above 8 bits the top 8 are kept; below, v * 255 / (2^p - 1) rounded; signed samples are
        // moved up by 2^(p-1).
        {"1 bit: 1 of 1", Jpeg2000(5, 3, {0, 1, 1}), 5, Words(15, 0xFFFFFFFF)},
        {"8 bits signed: 0 + 128", Jpeg2000(5, 3, {0x87, 1, 1}), 5, Words(15, 0xFF808080)},
        {"5 bits signed: 16 of 31 is 131.6", Jpeg2000(5, 3, {0x84, 1, 1}), 5, Words(15, 0xFF848484)},
        {"16 bits signed, 1-bit signed alpha", Jpeg2000(5, 3, {0x8F, 1, 1, 0x80, 1, 1}), 5, Words(15, 0xFF808080)},
        {"grey 4 bits: 8 of 15 is 136, alpha 1", Jpeg2000(5, 3, {3, 1, 1, 0, 1, 1}), 5, Words(15, 0xFF888888)},
        {"RGB 1, 2, 4 bits", Jpeg2000(5, 3, {0, 1, 1, 1, 1, 1, 3, 1, 1}), 5, Words(15, 0xFFFFAA88)},
        {"RGBA, alpha 4 of 7 is 145.7", Jpeg2000(5, 3, Cat({rgb, {2, 1, 1}})), 5, Words(15, 0x92808080)},
        {"RGBA 16, 12, 10, 9 bits", Jpeg2000(5, 3, {15, 1, 1, 11, 1, 1, 9, 1, 1, 8, 1, 1}), 5, Words(15, 0x80808080)},
        {"JP2, sRGB", jp2, 5, Words(15, 0xFF808080)}, {"JP2, the codestream's size", staleHeight, 5, Words(15, 0xFF808080)},
        {"JP2, sYCC", Jpeg2000(5, 3, rgb, 18), -7, {}}, {"JP2, e-sYCC", Jpeg2000(5, 3, rgb, 24), -7, {}},
        {"JP2, CMYK", Jpeg2000(5, 3, Cat({rgb, grey}), 12), -7, {}},
        {"JP2 cut in its codestream", Bytes(jp2.begin(), jp2.end() - 5), -7, {}},
        {"sides fit, bytes do not", Jpeg2000(16384, 4097, grey), -7, {}},
        {"17-bit samples", Jpeg2000(8, 8, {16, 1, 1}), -7, {}},
        {"chroma at half width", Jpeg2000(8, 8, {7, 1, 1, 7, 2, 1, 7, 1, 1}), -7, {}},
        {"chroma at half height", Jpeg2000(8, 8, {7, 1, 1, 7, 1, 2, 7, 1, 1}), -7, {}},
        {"five components", Jpeg2000(8, 8, Cat({rgb, grey, grey})), -7, {}},
    };
    std::vector<Bytes> pngs;
    std::vector<Words> expected;
    for (const auto& row : rows) {
        const Loaded loaded = Decode(row.file);
        EXPECT_TRUE(loaded.width == row.width && loaded.pixels == row.pixels) << row.what;
        if (row.width > 0 && row.file[0] == 0x89)
            pngs.push_back(row.file), expected.push_back(row.pixels);
    }
    EXPECT_EQ(PillowWords(pngs), expected);
    EXPECT_TRUE(rt::FitsImageLimits(16384, 4096));   // the bytes exactly at the limit
    std::int32_t side = 0;
    EXPECT_FALSE(rt::DecodeImage(good.data(), good.size(), nullptr, &side, words) ||
                 rt::DecodeImage(good.data(), good.size(), &side, nullptr, words) || rt::DecodeImage(nullptr, 0, &side, &side, words));
}

// Encoded pictures are 8-bit RGBA in one IDAT, the same bytes every time and from R, G, B, A bytes, and come
// back exactly through the host; colour survives under alpha 0. (pngcheck and Pillow judge the encoder's output
// in the formats' and the tool's oracle tests.)
TEST(PngEncode, PicturesComeBackExactlyThroughTheHost)
{
    std::vector<Bytes> files;
    std::vector<Words> pictures;
    for (const auto& [width, height] : {std::pair{1, 1}, {17, 5}, {256, 256}, {16384, 1}, {1, 16384}}) {
        Words& words = pictures.emplace_back(std::size_t(width) * height);
        std::generate(words.begin(), words.end(), std::mt19937(width));
        Bytes& png = files.emplace_back();
        Bytes again, fromRgba, rgba;
        for (std::uint32_t w : words)
            rgba.insert(rgba.end(), {std::uint8_t(w >> 16), std::uint8_t(w >> 8), std::uint8_t(w), std::uint8_t(w >> 24)});
        ASSERT_TRUE(rt::EncodePng(words.data(), width, height, png) && rt::EncodePng(words.data(), width, height, again) &&
                    rt::EncodePngFromRgba(rgba.data(), width, height, fromRgba));
        const Bytes ihdr = Png(width, height, 8, 6, {});
        EXPECT_EQ(Cat({Bytes(png.begin(), png.begin() + 33), Bytes(png.begin() + 37, png.begin() + 41), Bytes(png.end() - 12, png.end())}),
                  Cat({Bytes(ihdr.begin(), ihdr.begin() + 33), {'I', 'D', 'A', 'T'}, Bytes(ihdr.end() - 12, ihdr.end())}));
        EXPECT_TRUE(again == png && fromRgba == png && Decode(png).pixels == words) << width;
    }
    for (const auto& [width, height] : {std::pair{16385, 1}, {1, 16385}, {8193, 8193}, {0, 5}, {5, 0}, {-1, 5}, {5, -1}}) {
        Bytes png = {1};  // refused, nothing written
        EXPECT_FALSE(rt::EncodePng(pictures[2].data(), width, height, png) ||
                     rt::EncodePngFromRgba(files[2].data(), width, height, png) || png != Bytes{1}) << width << "x" << height;
    }
    Bytes png;
    EXPECT_FALSE(rt::EncodePng(nullptr, 1, 1, png) || rt::EncodePngFromRgba(nullptr, 1, 1, png));
}

TEST(HostImages, LoadOptionsAndSavesThroughStreamsAndPaths)
{
    const std::string name = rt::RegisterMemFile(PalettePng.data(), PalettePng.size(), "png");
    std::vector<TagItem> endless(300, TagItem{77, 0}), last(256, TagItem{77, 0});
    last.back() = {0, 0};
    // options, whether they load: unknown tags are skipped, the last of a tag counts, a PNG has only
    // picture 0, only ARGB is delivered, nothing after the end is read, the end comes within 256 items
    const std::pair<std::vector<TagItem>, bool> options[] = {{{{HOSTIMAGE_TAG_ARGB, 1}, {77, 5}, {0, 0}}, true},
        {{{HOSTIMAGE_TAG_INDEX, 1}, {0, 0}}, false}, {{{HOSTIMAGE_TAG_INDEX, 1}, {HOSTIMAGE_TAG_INDEX, 0}, {0, 0}}, true},
        {{{HOSTIMAGE_TAG_ARGB, 0}, {0, 0}}, false}, {{{0, 0}, {HOSTIMAGE_TAG_INDEX, 1}}, true}, {endless, false}, {last, true}};
    for (const auto& [tags, loads] : options) {
        HostImage* image = TesselHostLoadImage(name.c_str(), tags.data(), nullptr, nullptr, 0);
        const std::uint32_t* words = TesselHostGetImagePixels(image);
        EXPECT_EQ(words ? Words(words, words + 6) : Words{}, loads ? PaletteWords : Words{}) << tags.size();
        TesselHostFreeImage(image);
    }
    EXPECT_FALSE(TesselHostLoadImage(nullptr, nullptr, nullptr, nullptr, 0) || TesselHostGetImagePixels(nullptr));
    TesselHostFreeImage(nullptr);
    Words pixels(19 * 11);
    std::generate(pixels.begin(), pixels.end(), std::mt19937(3));
    Bytes expected, saved;
    ASSERT_TRUE(rt::EncodePng(pixels.data(), 19, 11, expected));
    TempDir dir;
    char stream[HOST_NAME_BUFFER_SIZE];
    HostStream* handle = TesselHostOpenMemStream(stream, sizeof stream, 0);
    for (const std::string& target : {std::string(stream), dir.File("saved.png")}) {
        EXPECT_TRUE(TesselHostSavePng(target.c_str(), pixels.data(), 19, 11, 1, 0, 0) &&
                    rt::ReadNamedFile(target.c_str(), 1 << 20, saved) && saved == expected) << target;
        HostImage* image = TesselHostLoadImage(target.c_str(), nullptr, nullptr, nullptr, 0);
        EXPECT_TRUE(image && Words(TesselHostGetImagePixels(image), TesselHostGetImagePixels(image) + 19 * 11) == pixels);
        TesselHostFreeImage(image);
    }
    TesselHostCloseMemStream(handle);
    EXPECT_EQ(TesselHostLoadImage(dir.File("missing").c_str(), nullptr, nullptr, nullptr, 0), nullptr);
    rt::SetFaultsFromText("write-after=40", nullptr);
    EXPECT_EQ(TesselHostSavePng(dir.File("full.png").c_str(), pixels.data(), 19, 11, 1, 0, 0), 0);  // a full disk
    rt::ClearFileFaults();
    // name, pixels, width, alpha, reserved, reserved: refused, nothing written
    const std::string noFile = dir.File("no.png");   // in the test's own folder: a stray file cannot outlive the run
    const char* no = noFile.c_str();
    const std::tuple<const char*, const std::uint32_t*, std::int32_t, std::int32_t, std::int32_t, std::int32_t> refused[] = {
        {no, pixels.data(), 19, 0, 0, 0}, {no, pixels.data(), 19, 1, 1, 0}, {no, pixels.data(), 19, 1, 0, 1},
        {no, nullptr, 19, 1, 0, 0}, {no, pixels.data(), 0, 1, 0, 0}, {nullptr, pixels.data(), 19, 1, 0, 0}};
    for (const auto& [target, words, width, alpha, reserved1, reserved2] : refused)
        EXPECT_EQ(TesselHostSavePng(target, words, width, 11, alpha, reserved1, reserved2) + FileExists(no), 0) << width << alpha;
    rt::ClearCallMemFiles();
}

// HostQuantize with 16 guard words and bytes after its outputs, which must stay; for a map, the given palette
// (the rest of the 256 words are guards).
struct Quantized {
    std::int32_t result;
    Bytes indices;
    Words palette;
};
Quantized Quantize(const void* pixels, std::int32_t width, std::int32_t height, std::int32_t sourceDepth,
                   std::int32_t targetDepth, const std::uint32_t* sourcePalette, std::int32_t sourcePen,
                   std::int32_t targetPen, std::int32_t mode = HOST_QUANTIZE_CHOOSE, const Words& given = {})
{
    const std::size_t count = std::size_t(std::max(width, 0)) * std::size_t(std::max(height, 0));
    Quantized out{0, Bytes(count + 16, 0xCC), Words(256 + 16, 0xDEADBEEF)};
    std::copy(given.begin(), given.end(), out.palette.begin());
    QuantizeParams params{width, height, sourceDepth, targetDepth, sourcePalette, out.palette.data(), sourcePen, targetPen};
    out.result = TesselHostQuantize(pixels, out.indices.data(), &params, mode, 0);
    EXPECT_TRUE(Bytes(out.indices.begin() + count, out.indices.end()) == Bytes(16, 0xCC) &&
                Words(out.palette.begin() + 256, out.palette.end()) == Words(16, 0xDEADBEEF));
    out.indices.resize(count), out.palette.resize(256);
    return out;
}

TEST(HostQuantize, SmallPicturesComeOutAsWorkedOutByHand)
{
    // Green, red, transparent, green; blue at alpha 128 (opaque), red, white at alpha 127 (transparent), blue.
    const std::uint32_t few[8] = {0xFF00FF00, 0xFFFF0000, 0x00123456, 0xFF00FF00, 0x800000FF, 0xFFFF0000, 0x7FFFFFFF, 0xFF0000FF};
    Words source(256, 0);
    source[5] = 0x112233, source[7] = 0xAB445566, source[9] = 0x778899;  // a top byte is no part of the colour
    const std::uint8_t eight[6] = {5, 7, 9, 7, 5, 5};
    // Black, 8 from black and from 0x000010, transparent red, next to red, exactly 0x000010 at alpha 128.
    const std::uint32_t toMap[5] = {0xFF000000, 0xFF000008, 0x00FF0000, 0xFFFE0101, 0x80000010}, blue = 0xFF0000FF;
    const Words given = {0xFF0000, 0x000000, 0x000010, 0x000000}, clear = {0x00FFFFFF, 0x10ABCDEF, 0x7F000000};
    // Choosing: the picture's own colours in order of first appearance, stepping over the pen, which only
    // transparent pixels take; without a pen they are colours like any other. One entry and a pen: the mean
    // of the opaque pixels. Mapping: the nearest entry, the lowest on a tie, never the pen.
    const struct { Quantized got; Words palette; Bytes indices; } rows[] = {
        {Quantize(few, 4, 2, 32, 2, nullptr, -1, 0), {0, 0x00FF00, 0xFF0000, 0x0000FF}, {1, 2, 0, 1, 3, 2, 0, 3}},
        {Quantize(few, 4, 2, 32, 2, nullptr, -1, 2), {0x00FF00, 0xFF0000, 0, 0x0000FF}, {0, 1, 2, 0, 3, 1, 2, 3}},
        {Quantize(few, 4, 2, 32, 2, nullptr, -1, 3), {0x00FF00, 0xFF0000, 0x0000FF}, {0, 1, 3, 0, 2, 1, 3, 2}},
        {Quantize(few, 4, 2, 32, 3, nullptr, -1, -1), {0x00FF00, 0xFF0000, 0x123456, 0x0000FF, 0xFFFFFF}, {0, 1, 2, 0, 3, 1, 4, 3}},
        {Quantize(few, 4, 2, 32, 1, nullptr, -1, 0), {0, 0x555555}, {1, 1, 0, 1, 1, 1, 0, 1}},  // (2 green + 2 red + 2 blue) / 6
        {Quantize(clear.data(), 3, 1, 32, 4, nullptr, -1, 5), {}, {5, 5, 5}},
        {Quantize(eight, 3, 2, 8, 2, source.data(), 9, 3), {0x112233, 0x445566}, {0, 1, 3, 1, 0, 0}},
        {Quantize(eight, 3, 2, 8, 2, source.data(), -1, 3), {0x112233, 0x445566, 0x778899}, {0, 1, 2, 1, 0, 0}},
        {Quantize(eight, 3, 2, 8, 2, source.data(), 9, 0, 0, {0x112233, 0, 0x102030, 0x445566}), {0x112233, 0, 0x102030, 0x445566},
         {2, 3, 0, 3, 2, 2}},
        {Quantize(toMap, 5, 1, 32, 2, nullptr, -1, 1, 0, given), given, {3, 2, 1, 0, 2}},
        {Quantize(toMap, 5, 1, 32, 2, nullptr, -1, -1, 0, given), given, {1, 1, 0, 0, 2}},
        {Quantize(&blue, 1, 1, 32, 1, nullptr, -1, -1, 0, {0xFF0000, 0xFF00, 0xFF}), {0xFF0000, 0xFF00, 0xFF}, {0}},  // 2 entries
    };
    for (const auto& row : rows) {
        Words palette = row.palette;
        palette.resize(256, row.got.palette[255]);  // zeros after a choice, the guard after a map
        EXPECT_TRUE(row.got.result == 1 && row.got.indices == row.indices && row.got.palette == palette) << &row - rows;
    }
}

// Many colours: the pen (0) exactly for transparent pixels, every other pixel on a nearest entry, unused
// entries 0, a mean error within a bound worked out from the picture: a 64x64 gradient of 4096 colours
// (its top-left 8x8 transparent) cut into a 4x4 grid of squares flat at their means is 27.3 off; 160,000
// colours spread through the cube (multiplying by an odd number permutes them), more than are handed to
// libimagequant at once, in 255 equal cubes of side 40.4 are 19.5 off. The same answer twice.
TEST(HostQuantize, ManyColoursAreReducedWithinBounds)
{
    Words gradient, noise(400 * 400);
    for (std::uint32_t i = 0; i < 64 * 64; ++i)
        gradient.push_back((i % 64 < 8 && i < 512 ? 0x40u : 0xFFu) << 24 | i % 64 * 4 << 16 | i / 64 * 4 << 8 | (i % 64 + i / 64) * 2);
    for (std::uint32_t i = 0; i < noise.size(); ++i)
        noise[i] = 0xFF000000 | ((i * 0x9E3779u) & 0xFFFFFF);
    for (const auto& [pixels, depth, bound] : {std::tuple{gradient, 4, 30.0}, {noise, 8, 25.0}}) {
        const Quantized got = Quantize(pixels.data(), 64, std::int32_t(pixels.size() / 64), 32, depth, nullptr, -1, 0);
        const std::size_t entries = std::size_t{1} << depth;
        EXPECT_TRUE(got.result && Words(got.palette.begin() + entries, got.palette.end()) == Words(256 - entries, 0) && !got.palette[0]);
        auto distance = [](std::uint32_t a, std::uint32_t b) {
            return std::pow(int(a >> 16 & 255) - int(b >> 16 & 255), 2) + std::pow(int(a >> 8 & 255) - int(b >> 8 & 255), 2) +
                   std::pow(int(a & 255) - int(b & 255), 2);
        };
        double error = 0, opaque = 0;
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            ASSERT_EQ(got.indices[i] == 0, pixels[i] >> 24 < 128) << i;
            for (std::size_t e = 1; e < entries && got.indices[i] && i % 7 == 0; ++e)
                ASSERT_LE(distance(pixels[i], got.palette[got.indices[i]]), distance(pixels[i], got.palette[e])) << i;
            error += got.indices[i] ? std::sqrt(distance(pixels[i], got.palette[got.indices[i]])) : 0, opaque += got.indices[i] != 0;
        }
        EXPECT_LT(error / opaque, bound);
    }
    const Quantized once = Quantize(gradient.data(), 64, 64, 32, 4, nullptr, -1, 0), again = Quantize(gradient.data(), 64, 64, 32, 4, nullptr, -1, 0);
    EXPECT_TRUE(once.indices == again.indices && once.palette == again.palette);
}

TEST(HostQuantize, InvalidRequestsFailAndWriteNothing)
{
    const std::uint32_t pixels[4] = {0xFF000000, 0xFFFFFFFF, 0xFF808080, 0xFF0000FF};
    const Words source(256, 0);
    // width, height, source depth, target depth, source palette, target pen, mode; accepted
    const struct { std::int32_t width, height, sourceDepth, targetDepth; bool palette; std::int32_t pen, mode; bool ok; } rows[] = {
        {2, 2, 32, 4, false, 15, 2, true}, {2, 2, 32, 8, false, 255, 2, true}, {2, 2, 32, 1, false, -1, 2, true},
        {2, 2, 8, 4, true, -1, 2, true}, {2, 2, 24, 4, false, -1, 2, false}, {2, 2, 8, 4, false, -1, 2, false},
        {2, 2, 32, 0, false, -1, 2, false}, {2, 2, 32, 9, false, -1, 2, false}, {0, 2, 32, 4, false, -1, 2, false},
        {2, 0, 32, 4, false, -1, 2, false}, {2, 2, 32, 4, false, -2, 2, false}, {2, 2, 32, 4, false, 16, 2, false},
        {2, 2, 32, 1, false, 2, 2, false}, {2, 2, 32, 4, false, -1, 1, false}, {2, 2, 32, 4, false, -1, 3, false},
        {2, 2, 32, 4, false, 16, 0, false},
    };
    for (const auto& row : rows) {
        const Quantized got = Quantize(pixels, row.width, row.height, row.sourceDepth, row.targetDepth,
                                       row.palette ? source.data() : nullptr, -1, row.pen, row.mode);
        EXPECT_EQ(got.result, row.ok) << row.width << " " << row.sourceDepth << " " << row.targetDepth << " " << row.pen;
        EXPECT_TRUE(row.ok || (got.palette == Words(256, 0xDEADBEEF) && got.indices == Bytes(got.indices.size(), 0xCC)));
    }
    // No buffers or record; over 2^26 pixels, from the record alone, also when the product wraps to 0 in 32 bits.
    std::uint8_t indices[4];
    std::uint32_t palette[256];
    QuantizeParams params{2, 2, 32, 4, nullptr, palette, -1, -1}, noPalette{2, 2, 32, 4, nullptr, nullptr, -1, -1};
    EXPECT_EQ(TesselHostQuantize(nullptr, indices, &params, 2, 0) + TesselHostQuantize(pixels, nullptr, &params, 2, 0), 0);
    EXPECT_EQ(TesselHostQuantize(pixels, indices, nullptr, 2, 0) + TesselHostQuantize(pixels, indices, &noPalette, 2, 0), 0);
    for (auto [width, height] : {std::pair{16384, 4097}, {0x10000, 0x10000}, {8193, 8192}}) {
        params.width = width, params.height = height;
        EXPECT_EQ(TesselHostQuantize(pixels, indices, &params, 0, 0), 0) << width;
    }
}

}  // namespace
