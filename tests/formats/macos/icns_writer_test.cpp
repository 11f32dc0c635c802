// The macOS icon family writer. Entry layouts and run-length packets are
// checked against bytes written out by hand from the format's tables; whole
// files are read back by Pillow and by icnsutils' icns2png, which nobody here
// wrote, and by the module's own reader, corpus families included.
#include "formats/macos/macos_icon.h"
#include "host/host_calls.h"
#include "io/byte_io.h"
#include "plugin/entry_points.h"
#include "runtime/host_services.h"
#include "tests/support/byte_builders.h"
#include "tests/support/host_images.h"
#include "tests/support/reader_harness.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using tessel::test::Bytes;
using tessel::test::Cat;
using tessel::test::HostImageList;
using tessel::test::ReadFileBytes;
using tessel::test::TempDir;
using tessel::test::WriteFileBytes;
namespace rt = tessel::runtime;

const Bytes PNG_SIGNATURE = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

using SaveResult = tessel::test::WriterResult;

// Saves through the writer as SaveIcon does.
SaveResult Save(const std::string& path, IconImage* first)
{
    return tessel::test::RunWriter(path, [&](HostFile* file) { return WriteIcns(file, first, nullptr, 0, 0); });
}

Bytes SaveOk(IconImage* first)
{
    TempDir dir;
    SaveResult result = Save(dir.File("out.icns"), first);
    EXPECT_EQ(result.saved, 1);
    EXPECT_EQ(result.closeResult, 0);
    return result.file;
}

std::uint32_t Be32(const Bytes& b, std::size_t at)
{
    return (std::uint32_t{b.at(at)} << 24) | (std::uint32_t{b.at(at + 1)} << 16) |
           (std::uint32_t{b.at(at + 2)} << 8) | b.at(at + 3);
}

struct Entry {
    std::string type;
    Bytes data;
};

// The entries of a file, as far as their lengths hold.
std::vector<Entry> OriginalEntries(const Bytes& file)
{
    std::vector<Entry> entries;
    std::size_t at = 8;
    while (at + 8 <= file.size()) {
        std::uint32_t length = Be32(file, at + 4);
        if (length < 8 || length > file.size() - at)
            break;
        auto begin = file.begin() + static_cast<std::ptrdiff_t>(at);
        entries.push_back({std::string(begin, begin + 4), Bytes(begin + 8, begin + length)});
        at += length;
    }
    return entries;
}

// The entries of a written file, after checking its header and that the
// entries fill it exactly.
std::vector<Entry> Entries(const Bytes& file)
{
    EXPECT_GE(file.size(), 8u);
    if (file.size() < 8)
        return {};
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "icns");
    EXPECT_EQ(Be32(file, 4), file.size());
    std::vector<Entry> entries = OriginalEntries(file);
    std::size_t total = 8;
    for (const Entry& e : entries)
        total += 8 + e.data.size();
    EXPECT_EQ(total, file.size());
    return entries;
}

std::vector<std::string> Types(const std::vector<Entry>& entries)
{
    std::vector<std::string> types;
    for (const Entry& e : entries)
        types.push_back(e.type);
    return types;
}

// The 256-colour system palette written out from its rule: a 6 x 6 x 6 cube
// from white down, the cube's black left out, then ramps of red, green, blue
// and grey over the ten levels between the cube's, then black.
std::vector<std::uint32_t> SystemPalette()
{
    const std::uint32_t cube[6] = {0xFF, 0xCC, 0x99, 0x66, 0x33, 0x00};
    const std::uint32_t ramp[10] = {0xEE, 0xDD, 0xBB, 0xAA, 0x88, 0x77, 0x55, 0x44, 0x22, 0x11};
    std::vector<std::uint32_t> palette;
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                palette.push_back(cube[r] << 16 | cube[g] << 8 | cube[b]);
    palette.pop_back();
    for (std::uint32_t shift : {16u, 8u, 0u})
        for (std::uint32_t level : ramp)
            palette.push_back(level << shift);
    for (std::uint32_t level : ramp)
        palette.push_back(level << 16 | level << 8 | level);
    palette.push_back(0);
    return palette;
}

// Encodes one channel; the encoder reads every fourth byte, so the values
// are spread out with filler between them that must not reach the output.
Bytes Encode(const Bytes& channel)
{
    Bytes spread(channel.size() * 4, 0xEE);
    for (std::size_t i = 0; i < channel.size(); ++i)
        spread[i * 4] = channel[i];
    Bytes output(channel.size() + channel.size() / 128 + 2 + 16, 0xCD);
    std::uint64_t position = 3;
    EncodeIcnsRle(spread.data(), channel.size(), output.data(), &position);
    EXPECT_EQ(Bytes(output.begin(), output.begin() + 3), Bytes(3, 0xCD));        // nothing before the start
    EXPECT_LE(position - 3, channel.size() + channel.size() / 128 + 2);          // the promised bound
    EXPECT_EQ(Bytes(output.begin() + static_cast<std::ptrdiff_t>(position), output.end()),
              Bytes(output.size() - position, 0xCD));                            // nothing past the end
    return Bytes(output.begin() + 3, output.begin() + static_cast<std::ptrdiff_t>(position));
}

Bytes Repeat(std::size_t n, std::uint8_t v)
{
    return Bytes(n, v);
}

Bytes Counting(std::size_t n)
{
    Bytes values(n);
    for (std::size_t i = 0; i < n; ++i)
        values[i] = static_cast<std::uint8_t>(i);
    return values;
}

// Random values with runs of random length, so that literal packets, runs
// of every length and runs cut at 130 all occur.
Bytes Patchy(std::size_t n, std::mt19937& random, std::uint32_t maxRun, std::uint32_t alphabet)
{
    Bytes values;
    while (values.size() < n) {
        std::size_t run = 1 + random() % maxRun;
        values.insert(values.end(), std::min(run, n - values.size()),
                      static_cast<std::uint8_t>(random() % alphabet));
    }
    return values;
}

std::vector<std::uint32_t> RandomArgb(std::size_t n, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<std::uint32_t> pixels;
    while (pixels.size() < n) {
        std::uint32_t alphaPick = random() % 4;
        std::uint32_t alpha = alphaPick == 0 ? 0 : alphaPick == 1 ? 0xFF : random() & 0xFF;
        std::uint32_t colour = random() % 3 == 0 ? random() % 4 * 0x404040 : random() & 0xFFFFFF;
        pixels.insert(pixels.end(), std::min<std::size_t>(1 + random() % 6, n - pixels.size()),
                      (alpha << 24) | colour);
    }
    return pixels;
}

Bytes RandomIndices(std::size_t n, std::uint32_t seed)
{
    std::mt19937 random(seed);
    Bytes pixels(n);
    for (auto& p : pixels)
        p = static_cast<std::uint8_t>(random());
    return pixels;
}

// An image as a reader's user sees it: 32-bit pixels as they are, palette
// images through their palette with the pen transparent, "#" entries (depth
// 1) black where the mask is set. Every alpha-0 pixel is 0, whatever colour
// it hides.
std::vector<std::uint32_t> Seen(const IconImage& image, int depth)
{
    std::size_t n = std::size_t(image.width) * image.height;
    std::vector<std::uint32_t> words(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t word;
        if (image.depth <= 8) {
            std::uint8_t index = image.pixels[i];
            std::uint32_t colour = depth == 1 ? 0 : image.palette[index] & 0xFFFFFF;
            word = index == image.transparentPen ? 0 : 0xFF000000 | colour;
        } else {
            std::memcpy(&word, image.pixels + 4 * i, 4);
        }
        words[i] = (word >> 24) == 0 ? 0 : word;
    }
    return words;
}

std::vector<std::uint32_t> Seen(const IconImage& image)
{
    return Seen(image, image.depth);
}

// ---- Run-length packets ---------------------------------------------------------

TEST(IcnsRle, PacketsByteForByte)
{
    const std::uint8_t v = 0x5A, w = 0x11, a = 1, b = 2, c = 0xC3;
    const Bytes counting128 = Counting(128);
    const std::vector<std::pair<Bytes, Bytes>> cases = {
        {{v}, {0x00, v}},
        {{v, w}, {0x01, v, w}},
        {{v, v}, {0x01, v, v}},
        {Repeat(3, v), {0x80, v}},
        {Repeat(130, v), {0xFF, v}},
        {Repeat(131, v), {0xFF, v, 0x00, v}},
        {Repeat(132, v), {0xFF, v, 0x01, v, v}},
        {Repeat(133, v), {0xFF, v, 0x80, v}},
        {Repeat(300, v), {0xFF, v, 0xFF, v, 0xA5, v}},                         // 130 + 130 + 40
        {{v, v, v, v, w}, {0x81, v, 0x00, w}},
        {{a, b, b, b}, {0x00, a, 0x80, b}},
        {{a, b, b, w}, {0x03, a, b, b, w}},
        {{a, b, b, b, a}, {0x00, a, 0x80, b, 0x00, a}},
        {{v, v, v, w, w, w}, {0x80, v, 0x80, w}},
        // A full literal packet goes out whole, so its last values never
        // start a run; the three c after it do.
        {Cat({counting128, Repeat(3, c)}), Cat({{0x7F}, counting128, {0x80, c}})},
        {Cat({Counting(125), Repeat(3, 200)}), Cat({{0x7C}, Counting(125), {0x80, 200}})},
        // The third equal value arrives when the packet is full.
        {Cat({Counting(126), Repeat(3, 200)}), Cat({{0x7F}, Counting(126), {200, 200, 0x00, 200}})},
        {Cat({Counting(127), Repeat(2, 126)}), Cat({{0x7F}, Counting(127), {126, 0x00, 126}})},
        {Cat({Counting(129)}), Cat({{0x7F}, counting128, {0x00, 128}})},
    };
    for (const auto& [values, expected] : cases) {
        SCOPED_TRACE(testing::Message() << values.size() << " values");
        EXPECT_EQ(Encode(values), expected);
    }
}

// Three channels encoded one after another, as a run-length entry holds
// them, then decoded by the reader into a width x 1 image.
std::vector<std::uint32_t> EncodeAndDecode(const Bytes& red, const Bytes& green, const Bytes& blue, bool prefix)
{
    const std::size_t n = red.size();
    Bytes rgba(n * 4, 0xEE);
    for (std::size_t i = 0; i < n; ++i) {
        rgba[4 * i] = red[i];
        rgba[4 * i + 1] = green[i];
        rgba[4 * i + 2] = blue[i];
    }
    Bytes data(4 + 3 * (n + n / 128 + 2), 0);
    std::uint64_t position = prefix ? 4 : 0;
    for (std::size_t channel = 0; channel < 3; ++channel)
        EncodeIcnsRle(rgba.data() + channel, n, data.data(), &position);
    HostImageList list;
    IconImage& image = list.AddArgb(static_cast<std::int32_t>(n), 1, {});
    DecodeIcnsRle(data.data(), position, &image);
    std::vector<std::uint32_t> words(n);
    std::memcpy(words.data(), image.pixels, n * 4);
    return words;
}

std::vector<std::uint32_t> Opaque(const Bytes& red, const Bytes& green, const Bytes& blue)
{
    std::vector<std::uint32_t> words(red.size());
    for (std::size_t i = 0; i < words.size(); ++i)
        words[i] = 0xFF000000u | std::uint32_t{red[i]} << 16 | std::uint32_t{green[i]} << 8 | blue[i];
    return words;
}

TEST(IcnsRle, RandomChannelsComeBackThroughTheReader)
{
    std::mt19937 random(61);
    for (std::size_t n = 1; n <= 1000; ++n) {
        const Bytes red = Patchy(n, random, 1, 256), green = Patchy(n, random, 6, 3), blue = Patchy(n, random, 200, 4);
        // With one value a channel is "00 v": two zero values would open the
        // data with four zero bytes, which read as the prefix. Odd lengths
        // carry the prefix, even ones go without.
        ASSERT_EQ(EncodeAndDecode(red, green, blue, n % 2 == 1), Opaque(red, green, blue)) << n << " values";
        ASSERT_EQ(EncodeAndDecode(blue, red, green, n % 2 == 1), Opaque(blue, red, green)) << n << " values";
    }
    for (std::size_t n : {129u, 130u, 131u, 132u, 259u, 260u, 261u, 4096u, 16384u, 100000u}) {
        const Bytes values = Repeat(n, 7);
        // Full runs of 130, then the rest: a run from 3 on, one or two literals below.
        std::size_t rest = n % 130;
        EXPECT_EQ(Encode(values).size(), 2 * (n / 130) + (rest == 0 ? 0 : rest == 2 ? 3 : 2)) << n;
        const Bytes other = Patchy(n, random, 300, 2);
        EXPECT_EQ(EncodeAndDecode(values, other, values, true), Opaque(values, other, values)) << n;
    }
}

// ---- Entry layouts ------------------------------------------------------------

TEST(IcnsWriter, TrueColourImageGivesRunLengthThenAlpha)
{
    HostImageList list;
    std::vector<std::uint32_t> pixels(32 * 32, 0x80112233);
    pixels[0] = 0x00445566;
    list.AddArgb(32, 32, pixels);
    const Bytes file = SaveOk(list.First());
    const std::vector<Entry> entries = Entries(file);
    ASSERT_EQ(Types(entries), (std::vector<std::string>{"il32", "l8mk"}));
    // Each channel: the first pixel's value alone, then 1,023 equal values as
    // seven runs of 130 and one of 113 (0x7D + 113 = 0xEE).
    Bytes rle;
    for (std::uint8_t first : {0x44, 0x55, 0x66}) {
        const std::uint8_t rest = static_cast<std::uint8_t>(first - 0x33);
        rle.insert(rle.end(), {0x00, first});
        for (int i = 0; i < 7; ++i)
            rle.insert(rle.end(), {0xFF, rest});
        rle.insert(rle.end(), {0xEE, rest});
    }
    EXPECT_EQ(entries[0].data, rle);
    Bytes alpha(1024, 0x80);
    alpha[0] = 0;
    EXPECT_EQ(entries[1].data, alpha);
    EXPECT_EQ(file.size(), 8 + (8 + rle.size()) + (8 + 1024));
}

TEST(IcnsWriter, PaletteImageGivesMaskPlanesThenIndices)
{
    HostImageList list;
    Bytes pixels(32 * 32);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<std::uint8_t>(i * 7 % 11);
    list.AddPalette(32, 32, 8, pixels, SystemPalette(), 3);
    const std::vector<Entry> entries = Entries(SaveOk(list.First()));
    ASSERT_EQ(Types(entries), (std::vector<std::string>{"ICN#", "icl8"}));
    ASSERT_EQ(entries[0].data.size(), 256u);
    Bytes plane(128, 0);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        if (pixels[i] != 3)
            plane[i / 8] = static_cast<std::uint8_t>(plane[i / 8] | (0x80 >> (i % 8)));
    EXPECT_EQ(Bytes(entries[0].data.begin(), entries[0].data.begin() + 128), plane);
    EXPECT_EQ(Bytes(entries[0].data.begin() + 128, entries[0].data.end()), plane);
    // Already in the system palette: the indices stand as they are.
    EXPECT_EQ(entries[1].data, pixels);

    // No pen: every bit is set.
    HostImageList opaque;
    opaque.AddPalette(16, 16, 8, Bytes(256, 3), SystemPalette());
    const std::vector<Entry> small = Entries(SaveOk(opaque.First()));
    ASSERT_EQ(Types(small), (std::vector<std::string>{"ics#", "ics8"}));
    EXPECT_EQ(small[0].data, Bytes(64, 0xFF));
}

// Colours outside the system palette take its nearest entry; the masks keep
// following the image's own indices and pen.
TEST(IcnsWriter, PaletteIndicesAreMappedOntoTheSystemPalette)
{
    std::vector<std::uint32_t> palette(256, 0x00FFFFFF);
    palette[1] = 0xFF0000;     // exactly entry 35: red level 0, green 5, blue 5
    palette[2] = 0xFF0000;     // the same colour, not the pen
    palette[3] = 0xFE0102;     // nearest is entry 35 again
    palette[4] = 0x0C0C00;     // as near 0x110000 (224) as 0x001100 (234): the lower index
    palette[5] = 0x123456;     // nearest 0x003366: red level 5, green 4, blue 3 = entry 207
    palette[6] = 0xAB000000;   // only the colour bits count: black, entry 255
    palette[7] = 0x000011;     // blue ramp's last level, 244
    HostImageList list;
    Bytes pixels(48 * 48);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<std::uint8_t>(i % 8);
    list.AddPalette(48, 48, 8, pixels, palette, 1);
    const std::vector<Entry> entries = Entries(SaveOk(list.First()));
    ASSERT_EQ(Types(entries), (std::vector<std::string>{"ich#", "ich8"}));
    const std::uint8_t mapped[8] = {0, 35, 35, 35, 224, 207, 255, 244};
    for (std::size_t i = 0; i < pixels.size(); ++i)
        ASSERT_EQ(entries[1].data.at(i), mapped[pixels[i]]) << "pixel " << i;
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        int bit = (entries[0].data.at(i / 8) >> (7 - i % 8)) & 1;
        ASSERT_EQ(bit, pixels[i] == 1 ? 0 : 1) << "pixel " << i;
    }
}

// One true-colour image of each of the larger sizes: 128 x 128 is run-length
// data with its four-byte prefix plus an alpha plane, never "ic07"; the
// others are single PNG entries.
TEST(IcnsWriter, LargeSizesGiveTheirOwnEntries)
{
    const std::vector<std::pair<std::int32_t, std::vector<std::string>>> cases = {
        {64, {"icp6"}}, {128, {"it32", "t8mk"}}, {256, {"ic08"}}, {512, {"ic09"}}};
    for (const auto& [side, types] : cases) {
        SCOPED_TRACE(side);
        HostImageList list;
        list.AddArgb(side, side, RandomArgb(std::size_t(side) * side, 2));
        const std::vector<Entry> entries = Entries(SaveOk(list.First()));
        ASSERT_EQ(Types(entries), types);
        const Bytes& data = entries[0].data;
        ASSERT_GE(data.size(), 8u);
        if (side == 128) {
            EXPECT_EQ(Bytes(data.begin(), data.begin() + 4), Bytes(4, 0));
            EXPECT_EQ(entries[1].data.size(), 128u * 128u);
        } else {
            EXPECT_EQ(Bytes(data.begin(), data.begin() + 8), PNG_SIGNATURE);
        }
    }
}

// Every writable kind at once, listed backwards: entries follow the type
// table, the first image of a size and depth wins, and the rest is skipped.
TEST(IcnsWriter, EntriesFollowTheTypeTable)
{
    HostImageList list;
    list.AddArgb(1024, 1024, std::vector<std::uint32_t>(1024 * 1024, 0xFF0000FF));
    list.AddArgb(512, 512, {});
    list.AddArgb(256, 256, {});
    list.AddArgb(128, 128, {});
    list.AddArgb(64, 64, {});
    list.AddPalette(48, 48, 8, {}, SystemPalette(), 0);
    list.AddArgb(48, 48, {});
    list.AddArgb(32, 32, {});
    list.AddPalette(32, 32, 8, {}, SystemPalette());
    list.AddArgb(16, 16, std::vector<std::uint32_t>(256, 0x7F000000));
    list.AddArgb(16, 16, std::vector<std::uint32_t>(256, 0xFF000000));   // second of its size
    list.AddPalette(16, 16, 8, {}, SystemPalette());
    list.AddPalette(16, 16, 4, {}, SystemPalette());
    list.AddPalette(24, 24, 8, {}, SystemPalette());
    list.AddArgb(24, 24, {});
    list.AddPalette(128, 128, 8, {}, SystemPalette());
    const std::vector<Entry> entries = Entries(SaveOk(list.First()));
    EXPECT_EQ(Types(entries), (std::vector<std::string>{"ics#", "ics8", "is32", "s8mk", "ICN#", "icl8", "il32",
                                                         "l8mk", "ich#", "ich8", "ih32", "h8mk", "icp6", "it32",
                                                         "t8mk", "ic08", "ic09", "ic10"}));
    ASSERT_EQ(entries.size(), 18u);
    EXPECT_EQ(entries[3].data, Bytes(256, 0x7F));
}

// Sizes outside the table, 4-bit images and depths below 8 are never
// written; with nothing left the file is the bare header.
TEST(IcnsWriter, NothingWritableLeavesTheBareHeader)
{
    const Bytes header = {'i', 'c', 'n', 's', 0, 0, 0, 0};
    std::vector<HostImageList> lists(3);
    lists[0].AddArgb(24, 24, {});
    lists[0].AddArgb(16, 32, {});
    lists[0].AddPalette(64, 64, 8, {}, SystemPalette());
    lists[0].AddPalette(128, 128, 8, {}, SystemPalette());
    for (std::int32_t depth = 1; depth <= 7; ++depth)
        lists[1].AddPalette(16, 16, depth, {}, SystemPalette());
    lists[1].AddPalette(32, 32, 4, {}, SystemPalette());
    lists[1].AddPalette(48, 48, 4, {}, SystemPalette());
    lists[2].AddArgb(1, 1, {}).depth = 24;
    std::vector<IconImage*> firsts = {nullptr};
    for (HostImageList& list : lists)
        firsts.push_back(list.First());
    for (IconImage* first : firsts) {
        TempDir dir;
        SaveResult result = Save(dir.File("out.icns"), first);
        EXPECT_EQ(result.saved, 0);
        EXPECT_EQ(result.closeResult, 0);
        EXPECT_EQ(result.file, header);
    }
}

// The "icl8" entries of a real icon are written back byte for byte from the
// same indices in the system palette.
TEST(IcnsWriter, CorpusIndexEntriesAreWrittenBackUnchanged)
{
    const Bytes corpus = ReadFileBytes(TESSEL_CORPUS_DIR "/macos/py27-disk_image.icns");
    const std::map<std::string, std::int32_t> sides = {{"ics8", 16}, {"icl8", 32}, {"ich8", 48}};
    HostImageList list;
    std::map<std::string, Bytes> original;
    for (const Entry& e : Entries(corpus)) {
        auto side = sides.find(e.type);
        if (side == sides.end())
            continue;
        ASSERT_EQ(e.data.size(), std::size_t(side->second) * side->second);
        original[e.type] = e.data;
        list.AddPalette(side->second, side->second, 8, e.data, SystemPalette());
    }
    ASSERT_EQ(original.size(), 3u);
    std::map<std::string, Bytes> written;
    for (const Entry& e : Entries(SaveOk(list.First())))
        if (sides.count(e.type))
            written[e.type] = e.data;
    EXPECT_EQ(written, original);
}

// ---- Round trips through the reader --------------------------------------------

// The images of a list that the family can hold: square, of a size the
// type table has for their depth, and the first of their size and depth.
std::vector<const IconImage*> WritableImages(IconImage* first)
{
    const std::vector<std::int32_t> paletteSides = {16, 32, 48};
    const std::vector<std::int32_t> trueColourSides = {16, 32, 48, 64, 128, 256, 512, 1024};
    std::vector<const IconImage*> writable;
    std::map<std::pair<std::int32_t, std::int32_t>, bool> taken;
    for (const IconImage* image : tessel::test::ImagesOf(first)) {
        const auto& sides = image->depth == 8 ? paletteSides : trueColourSides;
        bool fits = (image->depth == 8 || image->depth == 32) && image->width == image->height &&
                    std::count(sides.begin(), sides.end(), image->width) == 1;
        if (fits && !taken[{image->width, image->depth}]) {
            taken[{image->width, image->depth}] = true;
            writable.push_back(image);
        }
    }
    return writable;
}

// Every writable image of before has an image of its size and depth in after
// that looks the same, and after holds nothing else.
void ExpectSameImages(IconImage* before, IconImage* after)
{
    const std::vector<const IconImage*> expected = WritableImages(before);
    const std::vector<const IconImage*> loaded = tessel::test::ImagesOf(after);
    EXPECT_EQ(loaded.size(), expected.size());
    for (const IconImage* image : expected) {
        SCOPED_TRACE(testing::Message() << image->width << " x " << image->height << ", depth " << image->depth);
        auto match = std::find_if(loaded.begin(), loaded.end(), [&](const IconImage* other) {
            return other->width == image->width && other->height == image->height && other->depth == image->depth;
        });
        ASSERT_NE(match, loaded.end());
        EXPECT_EQ(Seen(**match), Seen(*image));
    }
}

// Reads a family file with the module's reader, as LoadIcon does after the
// magic; null when the reader refuses it.
IconHandle* ReadFamily(const std::string& path)
{
    SetHostApi(rt::GetHostApi());
    HostFile* file = HostOpen(path.c_str(), HOST_MODE_READ);
    EXPECT_NE(file, nullptr);
    if (!file)
        return nullptr;
    IconHandle* icon = nullptr;
    if (ReadBE32(file) == 0x69636E73) {
        icon = static_cast<IconHandle*>(HostAllocMem(sizeof(IconHandle), 1, "iconinfo"));
        if (icon && !ReadIcns(path.c_str(), file, icon)) {
            FreeIcon(icon);
            icon = nullptr;
        }
    }
    HostClose(file);
    return icon;
}

// One image for every kind of entry. Palette images use the system colours
// in a shuffled order, so that their indices are remapped and their colours
// must still come out.
void FillFamily(HostImageList& list, std::uint32_t seed)
{
    std::vector<std::uint32_t> shuffled = SystemPalette();
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(seed));
    list.AddPalette(16, 16, 8, RandomIndices(256, seed + 1), shuffled, 5);
    list.AddPalette(32, 32, 8, RandomIndices(1024, seed + 2), shuffled);
    list.AddPalette(48, 48, 8, RandomIndices(48 * 48, seed + 3), shuffled, 200);
    for (std::int32_t side : {16, 32, 48, 64, 128, 256, 512})
        list.AddArgb(side, side, RandomArgb(std::size_t(side) * side, seed + static_cast<std::uint32_t>(side)));
}

TEST(IcnsWriter, ReaderGetsBackWhatWasSaved)
{
    HostImageList list;
    FillFamily(list, 30);
    list.AddArgb(16, 16, RandomArgb(256, 99));       // a second 16 x 16, not written
    list.AddArgb(20, 20, RandomArgb(400, 98));       // no entry of that size
    TempDir dir;
    SaveResult saved = Save(dir.File("out.icns"), list.First());
    ASSERT_EQ(saved.saved, 1);
    IconHandle* icon = ReadFamily(dir.File("out.icns"));
    ASSERT_NE(icon, nullptr);
    ExpectSameImages(list.First(), icon->images);
    // The palette images come back in the system palette.
    for (const IconImage* image : tessel::test::ImagesOf(icon->images)) {
        if (image->depth == 8) {
            EXPECT_EQ(std::vector<std::uint32_t>(image->palette, image->palette + 256), SystemPalette());
        }
    }
    FreeIcon(icon);
    EXPECT_EQ(rt::LiveBlocks(), 0);
}

// Every corpus family that loads is saved again: a second load gives the
// same images as the first, and the 8-bit entries come out byte for byte
// wherever the family's own "#" mask is opaque. Under a mask of 0 the load
// has already put the image's pen in place of the stored index.
TEST(IcnsWriter, CorpusFamiliesSurviveASaveAndASecondLoad)
{
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(TESSEL_CORPUS_DIR "/macos"))
        if (item.path().extension() == ".icns")
            names.push_back(item.path().string());
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 20u);
    const std::map<std::string, std::pair<std::string, std::size_t>> maskOf = {
        {"ics8", {"ics#", 16 * 16}}, {"icl8", {"ICN#", 32 * 32}}, {"ich8", {"ich#", 48 * 48}}};
    int loaded = 0;
    std::size_t opaqueIndices = 0;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const Bytes original = ReadFileBytes(name);
        IconHandle* first = ReadFamily(name);
        if (!first)
            continue;          // damaged families are the reader's business
        ++loaded;
        TempDir dir;
        SaveResult saved = Save(dir.File("out.icns"), first->images);
        EXPECT_EQ(saved.saved, 1);
        const Bytes& file = saved.file;
        IconHandle* second = ReadFamily(dir.File("out.icns"));
        EXPECT_NE(second, nullptr);
        if (second)
            ExpectSameImages(first->images, second->images);

        std::map<std::string, Bytes> written, stored;
        for (const Entry& e : Entries(file))
            written[e.type] = e.data;
        for (const Entry& e : OriginalEntries(original))
            stored.emplace(e.type, e.data);
        for (const auto& [type, mask] : maskOf) {
            const auto& [maskType, pixels] = mask;
            if (!stored.count(type) || stored[type].size() != pixels)
                continue;
            SCOPED_TRACE(type);
            // The mask plane is the last of the "#" entry's one or two planes.
            const Bytes& bits = stored[maskType];
            const bool masked = bits.size() == pixels / 8 || bits.size() == pixels / 4;
            ASSERT_EQ(written[type].size(), pixels);
            for (std::size_t i = 0; i < pixels; ++i) {
                if (masked && ((bits[bits.size() - pixels / 8 + i / 8] >> (7 - i % 8)) & 1) == 0)
                    continue;
                ++opaqueIndices;
                ASSERT_EQ(written[type][i], stored[type][i]) << "pixel " << i;
            }
        }
        FreeIcon(first);
        if (second)
            FreeIcon(second);
        EXPECT_EQ(rt::LiveBlocks(), 0);
    }
    EXPECT_GE(loaded, 15);
    EXPECT_GE(opaqueIndices, 3000u);
}

// ---- Failures -----------------------------------------------------------------

void FillFailureList(HostImageList& list)
{
    list.AddArgb(16, 16, RandomArgb(256, 3));
    list.AddPalette(32, 32, 8, RandomIndices(1024, 4), SystemPalette(), 9);
    list.AddArgb(64, 64, RandomArgb(64 * 64, 5));
    list.AddArgb(128, 128, RandomArgb(128 * 128, 6));
}

TEST(IcnsWriter, AllocationFailuresLeaveNothingBehind)
{
    HostImageList list;
    FillFailureList(list);
    TempDir dir;
    const std::string path = dir.File("out.icns");
    SetHostApi(rt::GetHostApi());
    std::uint64_t failedRuns = tessel::test::SweepAllocationFailures([&] {
        HostFile* file = HostOpen(path.c_str(), HOST_MODE_WRITE);
        if (!file)
            return false;
        int ok = WriteIcns(file, list.First(), nullptr, 0, 0);
        ok = HostClose(file) == 0 && ok;
        EXPECT_EQ(rt::LiveBlocks(), 0);
        return ok != 0;
    });
    // Two scratch blocks for each of the two run-length entries; the PNG
    // encoder's buffers belong to the host.
    EXPECT_EQ(failedRuns, 4u);
    EXPECT_EQ(Types(Entries(ReadFileBytes(path))),
              (std::vector<std::string>{"is32", "s8mk", "ICN#", "icl8", "icp6", "it32", "t8mk"}));

    for (const char* tag : {"tmpbuf", "datatemp"}) {
        SCOPED_TRACE(tag);
        rt::SetMemoryFaults({.failTag = tag, .failTagNth = 1});
        TempDir failDir;
        SaveResult result = Save(failDir.File("out.icns"), list.First());
        EXPECT_TRUE(rt::MemoryFaultFired());
        rt::ClearMemoryFaults();
        EXPECT_EQ(result.saved, 0);
    }
}

TEST(IcnsWriter, WriteFaultsMakeTheSaveFail)
{
    HostImageList list;
    FillFailureList(list);
    const std::int64_t total = static_cast<std::int64_t>(SaveOk(list.First()).size());
    for (std::int64_t n : {std::int64_t{0}, std::int64_t{3}, std::int64_t{8}, std::int64_t{20}, std::int64_t{600},
                           std::int64_t{1500}, total / 2, total - 5, total - 1}) {
        SCOPED_TRACE(testing::Message() << "writes fail after " << n);
        TempDir dir;
        rt::SetFileFaults({.failWritesAfterBytes = n});
        SaveResult result = Save(dir.File("out.icns"), list.First());
        rt::ClearFileFaults();
        // Bytes lost on the way to the file surface at the latest when it is
        // closed; a PNG encoder out of budget makes the writer itself stop.
        EXPECT_TRUE(result.saved == 0 || result.closeResult != 0);
    }
}

// ---- Independent readers ------------------------------------------------------

// Reads out.icns in the folder given with Pillow (its 32-bit sizes) and with
// icns2png -x (every entry it knows, masks applied). Writes one line per
// image to oracle.txt: reader, width, height, depth, and a file of RGBA bytes.
const char* const OracleScript = R"PY(
import glob, os, re, subprocess, sys
from PIL import Image, IcnsImagePlugin
out = sys.argv[1]
icns = os.path.join(out, "out.icns")
lines = []
with open(icns, "rb") as f:
    family = IcnsImagePlugin.IcnsFile(f)
    for size in family.itersizes():
        picture = family.getimage(size).convert("RGBA")
        name = os.path.join(out, "pillow%dx%d.rgba" % picture.size)
        open(name, "wb").write(picture.tobytes())
        lines.append("pillow %d %d 32 %s" % (picture.size[0], picture.size[1], name))
extracted = os.path.join(out, "x")
os.mkdir(extracted)
subprocess.run(["icns2png", "-x", "-o", extracted, icns], check=True, capture_output=True)
for path in sorted(glob.glob(os.path.join(extracted, "*.png"))):
    w, h, depth = re.search(r"_(\d+)x(\d+)x(\d+)\.png$", path).groups()
    picture = Image.open(path).convert("RGBA")
    assert picture.size == (int(w), int(h))
    open(path + ".rgba", "wb").write(picture.tobytes())
    lines.append("icns2png %s %s %s %s" % (w, h, depth, path + ".rgba"))
open(os.path.join(out, "oracle.txt"), "w").write("\n".join(lines) + "\n")
)PY";

std::vector<std::uint32_t> RgbaFile(const std::string& path)
{
    const Bytes bytes = ReadFileBytes(path);
    std::vector<std::uint32_t> words(bytes.size() / 4);
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::uint32_t word = (std::uint32_t{bytes[4 * i + 3]} << 24) | (std::uint32_t{bytes[4 * i]} << 16) |
                             (std::uint32_t{bytes[4 * i + 1]} << 8) | bytes[4 * i + 2];
        words[i] = (word >> 24) == 0 ? 0 : word;
    }
    return words;
}

TEST(IcnsWriterOracle, PillowAndIcns2pngReadEveryEntry)
{
    HostImageList list;
    FillFamily(list, 10);
    std::map<std::pair<std::int32_t, std::int32_t>, const IconImage*> byKind;   // side, source depth
    for (IconImage* image = list.First(); image; image = image->next)
        byKind[{image->width, image->depth}] = image;

    TempDir dir;
    SaveResult result = Save(dir.File("out.icns"), list.First());
    ASSERT_EQ(result.saved, 1);
    ASSERT_EQ(result.closeResult, 0);
    WriteFileBytes(dir.File("oracle.py"), Bytes(OracleScript, OracleScript + std::strlen(OracleScript)));
    ASSERT_EQ(std::system(("/usr/bin/python3 " + dir.File("oracle.py") + " " + dir.Path()).c_str()), 0);

    std::map<std::string, std::vector<std::string>> seen;
    std::ifstream lines(dir.File("oracle.txt"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string reader, rgba;
        std::int32_t width = 0, height = 0, depth = 0;
        fields >> reader >> width >> height >> depth >> rgba;
        SCOPED_TRACE(line);
        EXPECT_EQ(width, height);
        auto found = byKind.find({width, depth == 32 ? 32 : 8});
        ASSERT_NE(found, byKind.end());
        EXPECT_EQ(RgbaFile(rgba), Seen(*found->second, depth));
        seen[reader].push_back(std::to_string(width) + "x" + std::to_string(depth));
    }
    EXPECT_EQ(seen["pillow"].size(), 7u);
    // icns2png does not know the type "icp6" ("unable to parse icon type")
    // and extracts nothing for it; Pillow reads that entry.
    std::sort(seen["icns2png"].begin(), seen["icns2png"].end());
    EXPECT_EQ(seen["icns2png"], (std::vector<std::string>{"128x32", "16x1", "16x32", "16x8", "256x32", "32x1", "32x32",
                                                          "32x8", "48x1", "48x32", "48x8", "512x32"}));
}

}  // namespace
