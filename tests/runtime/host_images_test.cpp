// The runtime's PNG services: EncodePng/DecodeImage and the host operations
// around them. Expected pixels come from hand-built datastreams or from
// Pillow (an independent decoder); the encoder's output is judged by pngcheck.
#include "runtime/host_services.h"
#include "tests/support/byte_builders.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using tessel::test::Bytes;
using tessel::test::Cat;
using tessel::test::ReadFileBytes;
using tessel::test::TempDir;
using tessel::test::WriteFileBytes;
namespace rt = tessel::runtime;

const Bytes PNG_SIGNATURE = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
const Bytes IEND_CHUNK = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};

void AppendBE32(Bytes& out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

std::uint32_t ReadBE32(const Bytes& in, std::size_t offset)
{
    return (std::uint32_t{in[offset]} << 24) | (std::uint32_t{in[offset + 1]} << 16) |
           (std::uint32_t{in[offset + 2]} << 8) | in[offset + 3];
}

Bytes Chunk(const char* type, const Bytes& data)
{
    Bytes out;
    AppendBE32(out, static_cast<std::uint32_t>(data.size()));
    Bytes typed(type, type + 4);
    typed.insert(typed.end(), data.begin(), data.end());
    out.insert(out.end(), typed.begin(), typed.end());
    AppendBE32(out, static_cast<std::uint32_t>(crc32(0L, typed.data(), static_cast<uInt>(typed.size()))));
    return out;
}

Bytes Ihdr(std::uint32_t width, std::uint32_t height, std::uint8_t depth, std::uint8_t colourType)
{
    Bytes data;
    AppendBE32(data, width);
    AppendBE32(data, height);
    data.insert(data.end(), {depth, colourType, 0, 0, 0});  // deflate, adaptive filters, not interlaced
    return Chunk("IHDR", data);
}

Bytes Deflate(const Bytes& raw)
{
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(size);
    EXPECT_EQ(compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9), Z_OK);
    out.resize(size);
    return out;
}

std::vector<std::uint32_t> RandomPixels(std::size_t count, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<std::uint32_t> pixels(count);
    for (auto& pixel : pixels)
        pixel = static_cast<std::uint32_t>(random());
    return pixels;
}

// Chunk types in file order; stops at the first chunk that does not fit.
std::vector<std::string> ChunkTypes(const Bytes& png)
{
    std::vector<std::string> types;
    std::size_t offset = PNG_SIGNATURE.size();
    while (offset + 12 <= png.size()) {
        const std::uint32_t length = ReadBE32(png, offset);
        if (length > png.size() - offset - 12)
            break;
        types.emplace_back(png.begin() + static_cast<std::ptrdiff_t>(offset + 4),
                           png.begin() + static_cast<std::ptrdiff_t>(offset + 8));
        offset += 12 + length;
    }
    return types;
}

int RunCommand(const std::string& command)
{
    return std::system(command.c_str());
}

// Decodes through HostLoadImage from a memory file; empty when refused.
// Checks the live-image count and that width and height are written only on
// success.
std::vector<std::uint32_t> LoadThroughHost(const Bytes& file, std::int32_t* width = nullptr,
                                           std::int32_t* height = nullptr)
{
    const std::int64_t liveBefore = rt::LiveImages();
    const std::string name = rt::RegisterMemFile(file.data(), file.size(), "png");
    std::int32_t w = -7, h = -7;
    HostImage* image = TesselHostLoadImage(name.c_str(), nullptr, &w, &h, 0);
    rt::ClearCallMemFiles();
    if (!image) {
        EXPECT_EQ(w, -7);
        EXPECT_EQ(h, -7);
        EXPECT_EQ(rt::LiveImages(), liveBefore);
        return {};
    }
    EXPECT_EQ(rt::LiveImages(), liveBefore + 1);
    const std::uint32_t* words = TesselHostGetImagePixels(image);
    std::vector<std::uint32_t> pixels(words, words + static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    TesselHostFreeImage(image);
    EXPECT_EQ(rt::LiveImages(), liveBefore);
    if (width)
        *width = w;
    if (height)
        *height = h;
    return pixels;
}

// Pillow's RGBA bytes as 0xAARRGGBB words.
std::vector<std::uint32_t> RgbaToWords(const Bytes& rgba)
{
    std::vector<std::uint32_t> words(rgba.size() / 4);
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::uint8_t* p = rgba.data() + i * 4;
        words[i] = (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
    }
    return words;
}

// A 3x2 picture, 2-bit palette of three entries, tRNS for the first two.
const Bytes HandBuiltPalettePng = Cat({
    PNG_SIGNATURE,
    Ihdr(3, 2, 2, 3),
    Chunk("PLTE", {0x10, 0x20, 0x30, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0x00}),
    Chunk("tRNS", {0x80, 0xFF}),                           // entry 2 stays opaque
    Chunk("IDAT", Deflate({0, 0x18,                       // filter 0; pixels 0 1 2 (00 01 10 00)
                           0, 0xA0})),                    // filter 0; pixels 2 2 0 (10 10 00 00)
    IEND_CHUNK,
});

TEST(PngCodec, EncodeDecodeRoundTripIsExactAndWellFormed)
{
    TempDir dir;
    const struct {
        std::int32_t width, height;
    } sizes[] = {{1, 1}, {17, 5}, {256, 256}};
    for (const auto& size : sizes) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        const auto pixels = RandomPixels(static_cast<std::size_t>(size.width) * size.height, 12345);
        Bytes png;
        ASSERT_TRUE(rt::EncodePng(pixels.data(), size.width, size.height, png));

        // IHDR by hand: width, height, depth 8, colour type 6, no interlace.
        ASSERT_GE(png.size(), 33u + 12u);
        EXPECT_TRUE(std::equal(PNG_SIGNATURE.begin(), PNG_SIGNATURE.end(), png.begin()));
        EXPECT_EQ(ReadBE32(png, 16), static_cast<std::uint32_t>(size.width));
        EXPECT_EQ(ReadBE32(png, 20), static_cast<std::uint32_t>(size.height));
        EXPECT_EQ((Bytes{png[24], png[25], png[26], png[27], png[28]}), (Bytes{8, 6, 0, 0, 0}));

        const auto types = ChunkTypes(png);
        ASSERT_GE(types.size(), 3u);
        EXPECT_EQ(types.front(), "IHDR");
        EXPECT_EQ(types.back(), "IEND");
        for (std::size_t i = 1; i + 1 < types.size(); ++i)
            EXPECT_EQ(types[i], "IDAT");
        EXPECT_TRUE(std::equal(IEND_CHUNK.begin(), IEND_CHUNK.end(), png.end() - 12));

        const std::string path = dir.File("roundtrip.png");
        WriteFileBytes(path, png);
        EXPECT_EQ(RunCommand("/usr/bin/pngcheck -q " + path + " >/dev/null"), 0);

        Bytes again;
        ASSERT_TRUE(rt::EncodePng(pixels.data(), size.width, size.height, again));
        EXPECT_EQ(again, png);

        std::int32_t width = 0, height = 0;
        std::vector<std::uint32_t> decoded;
        ASSERT_TRUE(rt::DecodeImage(png.data(), png.size(), &width, &height, decoded));
        EXPECT_EQ(width, size.width);
        EXPECT_EQ(height, size.height);
        EXPECT_EQ(decoded, pixels);  // straight alpha: colour survives under alpha 0
    }
}

TEST(PngCodec, HandBuiltDatastreamsDecodeToKnownWords)
{
    EXPECT_EQ(LoadThroughHost(HandBuiltPalettePng),
              (std::vector<std::uint32_t>{0x80102030, 0xFFFF0000, 0xFF00FF00,     // top row
                                          0xFF00FF00, 0xFF00FF00, 0x80102030}));  // bottom row

    // 16-bit grey with tRNS 0x1234: the key matches the whole sample, and the
    // delivered byte is the sample's high byte.
    const Bytes grey16 = Cat({
        PNG_SIGNATURE,
        Ihdr(3, 1, 16, 0),
        Chunk("tRNS", {0x12, 0x34}),
        Chunk("IDAT", Deflate({0, 0x12, 0x34, 0x12, 0xFF, 0xAB, 0xCD})),
        IEND_CHUNK,
    });
    std::int32_t width = 0, height = 0;
    EXPECT_EQ(LoadThroughHost(grey16, &width, &height),
              (std::vector<std::uint32_t>{0x00121212, 0xFF121212, 0xFFABABAB}));
    EXPECT_EQ(width, 3);
    EXPECT_EQ(height, 1);
}

// Pillow writes what it can and ImageMagick the rest (low-depth grey,
// 16-bit colour, interlacing); Pillow's decode, converted to RGBA, is the
// expectation. 16-bit grey Pillow keeps as integers, so its high byte is
// taken by hand. manifest: name colour-type bit-depth interlace.
const char* const OracleScript = R"PY(
import random, struct, subprocess, sys
from PIL import Image
out = sys.argv[1]
rnd = random.Random(7)
manifest = []
def rbytes(n): return bytes(rnd.randrange(256) for _ in range(n))
def magick(args, name, coder="PNG"):
    subprocess.run(["convert"] + args + [f"{coder}:{out}/{name}.png"], check=True)
def raw16(name, count):
    path = f"{out}/{name}.bin"
    open(path, "wb").write(struct.pack(f">{count}H", *[rnd.randrange(65536) for _ in range(count)]))
    return path
def add(name, ct, depth, interlace=0):
    manifest.append(f"{name} {ct} {depth} {interlace}")
W, H = 13, 7
Image.frombytes("1", (W, H), rbytes((W + 7) // 8 * H)).save(f"{out}/g1.png"); add("g1", 0, 1)
Image.frombytes("L", (W, H), bytes(rnd.randrange(4) * 85 for _ in range(W * H))).save(f"{out}/g2src.png")
magick([f"{out}/g2src.png", "-define", "png:bit-depth=2"], "g2"); add("g2", 0, 2)
Image.frombytes("L", (W, H), bytes(rnd.randrange(16) * 17 for _ in range(W * H))).save(f"{out}/g4src.png")
magick([f"{out}/g4src.png", "-define", "png:bit-depth=4"], "g4"); add("g4", 0, 4)
grey = rbytes(W * H)
Image.frombytes("L", (W, H), grey).save(f"{out}/g8t.png", transparency=grey[3]); add("g8t", 0, 8)
magick(["-size", f"{W}x{H}", "-depth", "16", "-endian", "MSB", "gray:" + raw16("g16", W * H),
        "-define", "png:bit-depth=16"], "g16"); add("g16", 0, 16)
colours = [tuple(rbytes(3)) for _ in range(5)]
rgb = Image.new("RGB", (W, H)); rgb.putdata([rnd.choice(colours) for _ in range(W * H)])
rgb.save(f"{out}/rgb8t.png", transparency=colours[2]); add("rgb8t", 2, 8)
magick(["-size", f"{W}x{H}", "-depth", "16", "-endian", "MSB", "rgb:" + raw16("rgb16", W * H * 3)], "rgb16", "PNG48")
add("rgb16", 2, 16)
for bits in (1, 2, 4, 8):
    n = 1 << bits
    p = Image.frombytes("P", (W, H), bytes(rnd.randrange(n) for _ in range(W * H)))
    p.putpalette(list(rbytes(3 * n)))
    p.save(f"{out}/p{bits}.png", bits=bits, transparency=bytes(rnd.randrange(256) for _ in range(n // 2 + 1)))
    add(f"p{bits}", 3, bits)
Image.frombytes("LA", (W, H), rbytes(W * H * 2)).save(f"{out}/la8.png"); add("la8", 4, 8)
grey16 = [rnd.randrange(65536) for _ in range(W * H * 2)]
rgba16 = []
for i in range(W * H):
    rgba16 += [grey16[2 * i]] * 3 + [grey16[2 * i + 1]]
open(f"{out}/la16.bin", "wb").write(struct.pack(f">{len(rgba16)}H", *rgba16))
magick(["-size", f"{W}x{H}", "-depth", "16", "-endian", "MSB", f"rgba:{out}/la16.bin",
        "-define", "png:color-type=4", "-define", "png:bit-depth=16"], "la16"); add("la16", 4, 16)
Image.frombytes("RGBA", (W, H), rbytes(W * H * 4)).save(f"{out}/rgba8.png"); add("rgba8", 6, 8)
magick(["-size", f"{W}x{H}", "-depth", "16", "-endian", "MSB", "rgba:" + raw16("rgba16", W * H * 4)], "rgba16", "PNG64")
add("rgba16", 6, 16)
Image.frombytes("RGBA", (37, 29), rbytes(37 * 29 * 4)).save(f"{out}/il8src.png")
magick([f"{out}/il8src.png", "-interlace", "PNG"], "rgba8i", "PNG32"); add("rgba8i", 6, 8, 1)
magick(["-size", "37x29", "-depth", "16", "-endian", "MSB", "rgb:" + raw16("rgb16i", 37 * 29 * 3),
        "-interlace", "PNG"], "rgb16i", "PNG48"); add("rgb16i", 2, 16, 1)
for line in manifest:
    name = line.split()[0]
    im = Image.open(f"{out}/{name}.png")
    if im.mode.startswith("I"):
        im = Image.frombytes("L", im.size, bytes(v >> 8 for v in im.getdata()))
    open(f"{out}/{name}.rgba", "wb").write(im.convert("RGBA").tobytes())
open(f"{out}/manifest.txt", "w").write("\n".join(manifest) + "\n")
)PY";

TEST(PngCodecOracle, EveryColourTypeAndDepthMatchesPillow)
{
    TempDir dir;
    WriteFileBytes(dir.File("oracle.py"), Bytes(OracleScript, OracleScript + std::strlen(OracleScript)));
    ASSERT_EQ(RunCommand("/usr/bin/python3 " + dir.File("oracle.py") + " " + dir.Path()), 0);

    std::ifstream manifest(dir.File("manifest.txt"));
    std::string line;
    int cases = 0;
    while (std::getline(manifest, line)) {
        std::istringstream fields(line);
        std::string name;
        int colourType = -1, depth = -1, interlace = -1;
        fields >> name >> colourType >> depth >> interlace;
        SCOPED_TRACE(name);
        const Bytes png = ReadFileBytes(dir.File(name + ".png"));
        ASSERT_GE(png.size(), 29u);
        // The writer produced the layout this case stands for.
        EXPECT_EQ(png[24], depth);
        EXPECT_EQ(png[25], colourType);
        EXPECT_EQ(png[28], interlace);

        std::int32_t width = 0, height = 0;
        const auto decoded = LoadThroughHost(png, &width, &height);
        EXPECT_EQ(width, static_cast<std::int32_t>(ReadBE32(png, 16)));
        EXPECT_EQ(height, static_cast<std::int32_t>(ReadBE32(png, 20)));
        EXPECT_EQ(decoded, RgbaToWords(ReadFileBytes(dir.File(name + ".rgba"))));
        ++cases;
    }
    EXPECT_EQ(cases, 17);
}

TEST(PngCodecOracle, CorpusPngIconsMatchPillow)
{
    const std::string corpus = TESSEL_CORPUS_DIR;
    std::ifstream sources(corpus + "/SOURCES.tsv");
    ASSERT_TRUE(sources);
    TempDir dir;
    std::string line;
    int decodedFiles = 0;
    while (std::getline(sources, line)) {
        if (line.find("\tamiga-png") == std::string::npos)
            continue;
        const std::string file = line.substr(0, line.find('\t'));
        SCOPED_TRACE(file);
        const Bytes bytes = ReadFileBytes(corpus + "/" + file);
        if (bytes.size() < 8 || !std::equal(PNG_SIGNATURE.begin(), PNG_SIGNATURE.end(), bytes.begin()))
            continue;
        // Pillow reads the first datastream and stops at its IEND.
        const std::string expectedPath = dir.File("expected.rgba");
        ASSERT_EQ(RunCommand("/usr/bin/python3 -c \"import sys; from PIL import Image; "
                      "open(sys.argv[2], 'wb').write(Image.open(sys.argv[1]).convert('RGBA').tobytes())\" '" +
                      corpus + "/" + file + "' " + expectedPath),
                  0);
        const auto decoded = LoadThroughHost(bytes);
        ASSERT_FALSE(decoded.empty());
        EXPECT_EQ(decoded, RgbaToWords(ReadFileBytes(expectedPath)));
        ++decodedFiles;
    }
    EXPECT_GE(decodedFiles, 10);
}

TEST(PngCodec, DamagedOrOversizedDataIsRefused)
{
    const Bytes& good = HandBuiltPalettePng;
    ASSERT_FALSE(LoadThroughHost(good).empty());

    auto cut = [&](std::size_t length) { return Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length)); };
    auto flip = [&](std::size_t offset) {
        Bytes damaged = good;
        damaged[offset] ^= 0x01;
        return damaged;
    };
    // Offsets from the layout above: signature 8, IHDR 25, PLTE 21, tRNS 14.
    const std::size_t idatOffset = 8 + 25 + 21 + 14;
    const std::size_t idatLength = ReadBE32(good, idatOffset);

    // A valid header with a correct CRC, a token IDAT and IEND.
    auto headerOnly = [](std::uint32_t width, std::uint32_t height, std::uint8_t depth, std::uint8_t colourType) {
        return Cat({PNG_SIGNATURE, Ihdr(width, height, depth, colourType), Chunk("IDAT", Deflate({0, 0, 0, 0, 0})),
                       IEND_CHUNK});
    };
    // The pixel data of the 3x2 picture with a wrong Adler-32 but correct chunk CRCs.
    Bytes badAdler = Deflate({0, 0x18, 0, 0xA0});
    badAdler.back() ^= 0x01;
    // A comment chunk, placed after IHDR, whose CRC does not match.
    Bytes badText = Chunk("tEXt", {'a', 0, 'b'});
    badText.back() ^= 0xFF;
    // One row of pixel data for a two-row picture.
    const Bytes shortData = Deflate({0, 0x18});

    const struct {
        const char* what;
        Bytes data;
    } cases[] = {
        {"empty", {}},
        {"signature only", cut(8)},
        {"cut inside IHDR", cut(20)},
        {"cut inside IDAT", cut(idatOffset + 8 + idatLength / 2)},
        {"no IEND", cut(good.size() - 12)},
        {"IEND CRC cut short", cut(good.size() - 1)},
        {"IHDR CRC wrong", flip(8 + 21)},
        {"IDAT data damaged", flip(idatOffset + 8 + 1)},
        {"ancillary chunk CRC wrong",
         Cat({Bytes(good.begin(), good.begin() + 33), badText, Bytes(good.begin() + 33, good.end())})},
        {"Adler-32 wrong", Cat({Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(idatOffset)),
                                   Chunk("IDAT", badAdler), IEND_CHUNK})},
        {"pixel data one row short",
         Cat({Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(idatOffset)), Chunk("IDAT", shortData),
                 IEND_CHUNK})},
        {"IHDR not first", Cat({PNG_SIGNATURE, Chunk("tEXt", {'a', 0, 'b'}),
                                   Bytes(good.begin() + 8, good.end())})},
        {"20000x20000", headerOnly(20000, 20000, 8, 6)},
        {"side over the limit", headerOnly(rt::HOST_IMAGE_MAX_SIDE + 1, 1, 8, 6)},
        {"sides fit, bytes do not", headerOnly(8193, 8193, 8, 6)},
        {"zero width", headerOnly(0, 5, 8, 6)},
        {"GIF", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0}},
        {"signature one byte off", Cat({Bytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x00},
                                           Bytes(good.begin() + 8, good.end())})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(LoadThroughHost(c.data).empty());
        std::int32_t width = -7, height = -7;
        std::vector<std::uint32_t> pixels{1, 2, 3};
        EXPECT_FALSE(rt::DecodeImage(c.data.data(), c.data.size(), &width, &height, pixels));
        EXPECT_EQ(width, -7);
        EXPECT_EQ(height, -7);
    }
}

TEST(PngCodec, LimitsAreInclusive)
{
    // The widest picture allowed, one row high.
    const std::int32_t width = rt::HOST_IMAGE_MAX_SIDE;
    const auto pixels = RandomPixels(static_cast<std::size_t>(width), 99);
    Bytes png;
    ASSERT_TRUE(rt::EncodePng(pixels.data(), width, 1, png));
    std::int32_t decodedWidth = 0;
    EXPECT_EQ(LoadThroughHost(png, &decodedWidth), pixels);
    EXPECT_EQ(decodedWidth, width);
    EXPECT_FALSE(rt::EncodePng(pixels.data(), width + 1, 1, png));
}

TEST(PngCodec, OnlyTheFirstDatastreamIsDecoded)
{
    const auto first = RandomPixels(3 * 2, 1);
    const auto second = RandomPixels(5 * 5, 2);
    Bytes a, b;
    ASSERT_TRUE(rt::EncodePng(first.data(), 3, 2, a));
    ASSERT_TRUE(rt::EncodePng(second.data(), 5, 5, b));
    std::int32_t width = 0, height = 0;
    EXPECT_EQ(LoadThroughHost(Cat({a, b}), &width, &height), first);
    EXPECT_EQ(width, 3);
    EXPECT_EQ(height, 2);
    // Garbage after IEND is no part of the picture either.
    EXPECT_EQ(LoadThroughHost(Cat({a, Bytes{1, 2, 3}})), first);
}

// How the image data is laid out must not change the pixels: one IDAT or
// many, data that inflates to more rows than the picture has, pictures too
// large for the decoder's buffered path.
TEST(PngCodec, ImageDataLayoutsDecodeAlike)
{
    const std::uint32_t side = 24;
    Bytes rows;
    std::vector<std::uint32_t> expected;
    for (std::uint32_t y = 0; y < side; ++y) {
        rows.push_back(0);  // filter: none, so each pixel is its R, G, B, A bytes
        for (std::uint32_t x = 0; x < side; ++x) {
            const std::uint8_t r = static_cast<std::uint8_t>(x * 7), g = static_cast<std::uint8_t>(y * 13),
                               b = static_cast<std::uint8_t>(x ^ y), a = static_cast<std::uint8_t>(255 - x);
            rows.insert(rows.end(), {r, g, b, a});
            expected.push_back(std::uint32_t{a} << 24 | std::uint32_t{r} << 16 | std::uint32_t{g} << 8 | b);
        }
    }
    const Bytes data = Deflate(rows);
    EXPECT_EQ(LoadThroughHost(Cat({PNG_SIGNATURE, Ihdr(side, side, 8, 6), Chunk("IDAT", data), IEND_CHUNK})),
              expected);

    Bytes split = Cat({PNG_SIGNATURE, Ihdr(side, side, 8, 6)});
    for (std::size_t at = 0; at < data.size(); at += 7) {
        const Bytes piece(data.begin() + static_cast<std::ptrdiff_t>(at),
                          data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), at + 7)));
        split = Cat({split, Chunk("IDAT", piece)});
    }
    EXPECT_EQ(LoadThroughHost(Cat({split, IEND_CHUNK})), expected);

    // A spare row after the last one is ignored, as it always was.
    Bytes longer = rows;
    longer.insert(longer.end(), side * 4 + 1, 0);
    EXPECT_EQ(LoadThroughHost(Cat({PNG_SIGNATURE, Ihdr(side, side, 8, 6), Chunk("IDAT", Deflate(longer)),
                                      IEND_CHUNK})),
              expected);

    // 4,100 x 4,100 RGBA: 67 MB of rows, past the buffered path's limit.
    const std::uint32_t big = 4100;
    Bytes bigRows(std::size_t{big} * (big * 4 + 1), 0);
    bigRows[1] = 0x11;  // first pixel R
    bigRows[4] = 0xFF;  // first pixel A
    std::int32_t width = 0, height = 0;
    const auto bigPixels = LoadThroughHost(
        Cat({PNG_SIGNATURE, Ihdr(big, big, 8, 6), Chunk("IDAT", Deflate(bigRows)), IEND_CHUNK}), &width, &height);
    ASSERT_EQ(bigPixels.size(), std::size_t{big} * big);
    EXPECT_EQ(width, static_cast<std::int32_t>(big));
    EXPECT_EQ(bigPixels[0], 0xFF110000u);
    EXPECT_EQ(bigPixels.back(), 0u);
}

TEST(HostImages, LoadOptionsSelectDeliveryAndSubImage)
{
    const std::string name = rt::RegisterMemFile(HandBuiltPalettePng.data(), HandBuiltPalettePng.size(), "png");
    const struct {
        const char* what;
        std::vector<TagItem> tags;
        bool loads;
    } cases[] = {
        {"ARGB, first image", {{HOSTIMAGE_TAG_ARGB, 1}, {HOSTIMAGE_TAG_INDEX, 0}, {0, 0}}, true},
        {"empty list", {{0, 0}}, true},
        {"unknown tags ignored", {{77, 5}, {HOSTIMAGE_TAG_ARGB, 1}, {2, 9}, {0, 0}}, true},
        {"second image of a PNG", {{HOSTIMAGE_TAG_ARGB, 1}, {HOSTIMAGE_TAG_INDEX, 1}, {0, 0}}, false},
        {"last index wins", {{HOSTIMAGE_TAG_INDEX, 1}, {HOSTIMAGE_TAG_INDEX, 0}, {0, 0}}, true},
        {"last index wins, refused", {{HOSTIMAGE_TAG_INDEX, 0}, {HOSTIMAGE_TAG_INDEX, 3}, {0, 0}}, false},
        {"a delivery other than ARGB", {{HOSTIMAGE_TAG_ARGB, 0}, {0, 0}}, false},
        {"items after the end are not read", {{0, 0}, {HOSTIMAGE_TAG_INDEX, 1}}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::int32_t width = 0, height = 0;
        HostImage* image = TesselHostLoadImage(name.c_str(), c.tags.data(), &width, &height, 0);
        EXPECT_EQ(image != nullptr, c.loads);
        if (image) {
            EXPECT_EQ(width, 3);
            EXPECT_EQ(height, 2);
            EXPECT_EQ(TesselHostGetImagePixels(image)[1], 0xFFFF0000u);
        }
        TesselHostFreeImage(image);
    }
    EXPECT_EQ(TesselHostLoadImage(nullptr, nullptr, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(TesselHostLoadImage("/nonexistent/tessel/picture.png", nullptr, nullptr, nullptr, 0), nullptr);
    rt::ClearCallMemFiles();
    EXPECT_EQ(rt::LiveImages(), 0);
}

TEST(HostImages, SavePngThroughStreamAndPathLoadsBack)
{
    const std::int32_t width = 19, height = 11;
    const auto pixels = RandomPixels(static_cast<std::size_t>(width) * height, 3);
    Bytes expected;
    ASSERT_TRUE(rt::EncodePng(pixels.data(), width, height, expected));

    char streamName[HOST_NAME_BUFFER_SIZE] = {};
    HostStream* stream = TesselHostOpenMemStream(streamName, sizeof streamName, 0);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(TesselHostSavePng(streamName, pixels.data(), width, height, 1, 0, 0), 1);
    std::uint64_t length = 0;
    const auto* data = static_cast<const std::uint8_t*>(TesselHostGetMemStreamData(stream, &length, 0));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(Bytes(data, data + length), expected);
    std::int32_t w = 0, h = 0;
    HostImage* image = TesselHostLoadImage(streamName, nullptr, &w, &h, 0);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(std::vector<std::uint32_t>(TesselHostGetImagePixels(image), TesselHostGetImagePixels(image) + w * h),
              pixels);
    TesselHostFreeImage(image);
    TesselHostCloseMemStream(stream);

    TempDir dir;
    const std::string path = dir.File("saved.png");
    EXPECT_EQ(TesselHostSavePng(path.c_str(), pixels.data(), width, height, 1, 0, 0), 1);
    EXPECT_EQ(ReadFileBytes(path), expected);
    EXPECT_EQ(RunCommand("/usr/bin/pngcheck -q " + path + " >/dev/null"), 0);
    image = TesselHostLoadImage(path.c_str(), nullptr, &w, &h, 0);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(w, width);
    EXPECT_EQ(h, height);
    EXPECT_EQ(std::vector<std::uint32_t>(TesselHostGetImagePixels(image), TesselHostGetImagePixels(image) + w * h),
              pixels);
    TesselHostFreeImage(image);
    TesselHostFreeImage(nullptr);
    EXPECT_EQ(rt::LiveImages(), 0);

    // Refusals write nothing.
    const std::string refused = dir.File("refused.png");
    const struct {
        const char* what;
        const std::uint32_t* pixels;
        std::int32_t width, height, alpha, reserved1, reserved2;
    } cases[] = {
        {"no alpha", pixels.data(), width, height, 0, 0, 0},
        {"reserved 1", pixels.data(), width, height, 1, 1, 0},
        {"reserved 2", pixels.data(), width, height, 1, 0, 1},
        {"no pixels", nullptr, width, height, 1, 0, 0},
        {"zero width", pixels.data(), 0, height, 1, 0, 0},
        {"negative height", pixels.data(), width, -1, 1, 0, 0},
        {"too wide", pixels.data(), rt::HOST_IMAGE_MAX_SIDE + 1, 1, 1, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(TesselHostSavePng(refused.c_str(), c.pixels, c.width, c.height, c.alpha, c.reserved1, c.reserved2),
                  0);
        EXPECT_FALSE(tessel::test::FileExists(refused));
    }
}

}  // namespace
