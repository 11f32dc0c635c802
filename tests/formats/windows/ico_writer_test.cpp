// The Windows icon writer. Small files are checked byte for byte against the
// header, directory and bitmap layouts written out by hand; larger ones are
// read back by Pillow and by icoutils' icotool, which nobody here wrote.
#include "formats/windows/windows_icon.h"
#include "host/host_calls.h"
#include "runtime/host_services.h"
#include "tests/support/host_images.h"
#include "tests/support/reader_harness.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using tessel::test::Bytes;
using tessel::test::HostImageList;
using tessel::test::ReadFileBytes;
using tessel::test::TempDir;
using tessel::test::WriteFileBytes;
namespace rt = tessel::runtime;

const Bytes PNG_SIGNATURE = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
const Bytes IEND_CHUNK = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};

using SaveResult = tessel::test::WriterResult;

// Saves through the writer as SaveIcon does.
SaveResult Save(const std::string& path, IconImage* first, std::uint32_t compress)
{
    return tessel::test::RunWriter(path, [&](HostFile* file) { return SaveWinIcon(file, first, nullptr, compress, 0); });
}

Bytes SaveOk(IconImage* first, std::uint32_t compress = 0)
{
    TempDir dir;
    SaveResult result = Save(dir.File("out.ico"), first, compress);
    EXPECT_EQ(result.saved, 1);
    EXPECT_EQ(result.closeResult, 0);
    return result.file;
}

std::uint32_t Le16(const Bytes& b, std::size_t at)
{
    return b.at(at) | (std::uint32_t{b.at(at + 1)} << 8);
}

std::uint32_t Le32(const Bytes& b, std::size_t at)
{
    return Le16(b, at) | (Le16(b, at + 2) << 16);
}

Bytes Slice(const Bytes& b, std::size_t at, std::size_t n)
{
    EXPECT_LE(at + n, b.size());
    if (at + n > b.size())
        return {};
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + n));
}

struct Entry {
    std::uint32_t width, height, colours, bitCount, size, offset;
};

std::vector<Entry> Directory(const Bytes& file)
{
    std::vector<Entry> entries;
    for (std::uint32_t i = 0; i < Le16(file, 4); ++i) {
        std::size_t at = 6 + 16 * i;
        entries.push_back({file.at(at), file.at(at + 1), file.at(at + 2), Le16(file, at + 6), Le32(file, at + 8),
                           Le32(file, at + 12)});
    }
    return entries;
}

std::vector<std::uint32_t> Palette(std::size_t n, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<std::uint32_t> palette(n);
    for (auto& colour : palette)
        colour = random() & 0xFFFFFF;
    return palette;
}

Bytes RandomIndices(std::size_t n, int depth, std::uint32_t seed)
{
    std::mt19937 random(seed);
    Bytes pixels(n);
    for (auto& p : pixels)
        p = static_cast<std::uint8_t>(random() % (1u << depth));
    return pixels;
}

std::vector<std::uint32_t> Opaque(std::size_t n)
{
    return std::vector<std::uint32_t>(n, 0xFF336699);
}

// Random colours; alpha spread over 0, 0xFF and values between.
std::vector<std::uint32_t> RandomArgb(std::size_t n, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<std::uint32_t> pixels(n);
    for (auto& p : pixels) {
        std::uint32_t alphaPick = random() % 4;
        std::uint32_t alpha = alphaPick == 0 ? 0 : alphaPick == 1 ? 0xFF : random() & 0xFF;
        p = (alpha << 24) | (random() & 0xFFFFFF);
    }
    return pixels;
}

// ---- Byte-exact layouts -----------------------------------------------------

TEST(IcoWriter, OneBitIconByteForByte)
{
    HostImageList list;
    // Rows: 1 0 1 / 0 2 1. The 2 is out of range: only its low bit counts,
    // and its high bit must not reach its left neighbour.
    list.AddPalette(3, 2, 1, {1, 0, 1, 0, 2, 1}, {0x112233, 0xAABBCC}, 0);
    const Bytes expected = {
        0,0, 1,0, 1,0,                                        // header: reserved, icon, one entry
        3, 2, 2, 0, 1,0, 1,0, 64,0,0,0, 22,0,0,0,             // entry: 3x2, 2 colours, 1 bpp, 64 bytes at 22
        40,0,0,0, 3,0,0,0, 4,0,0,0, 1,0, 1,0,                 // bitmap header: width 3, height 2+2
        0,0,0,0, 0,0,0,0, 0,0,0,0, 0,0,0,0, 2,0,0,0, 0,0,0,0,
        0x33,0x22,0x11,0, 0xCC,0xBB,0xAA,0,                   // palette (B G R 0)
        0x20,0,0,0, 0xA0,0,0,0,                               // pixels: 0 0 1, then 1 0 1
        0x80,0,0,0, 0x40,0,0,0,                               // mask, pen 0: bottom row, top row
    };
    EXPECT_EQ(SaveOk(list.First()), expected);
}

// One-row images: the pixel row and the mask row, with their zero padding,
// are the last bytes of the file.
TEST(IcoWriter, PixelAndMaskRowsWithPadding)
{
    struct Case {
        const char* name;
        int depth;
        Bytes indices;                      // palette images
        std::vector<std::uint32_t> argb;    // 32-bit images
        int pen;
        Bytes pixelRow;
        Bytes maskRow;
    };
    const std::vector<Case> cases = {
        // A value beyond 4 bits keeps to its own nibble.
        {"4-bit stray value", 4, {0x2, 0x1F, 0xA}, {}, -1, {0x2F, 0xA0, 0, 0}, {0, 0, 0, 0}},
        {"4-bit pen", 4, {0x2, 0xF, 0x2, 0x2, 0x1}, {}, 2, {0x2F, 0x22, 0x10, 0}, {0xB0, 0, 0, 0}},
        {"8-bit 1x1", 8, {7}, {}, 7, {7, 0, 0, 0}, {0x80, 0, 0, 0}},
        {"1-bit 33 wide", 1, Bytes(33, 1), {}, 1, {0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0, 0, 0},
         {0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0, 0, 0}},
        {"32-bit alpha", 32, {}, {0x80112233, 0x00445566, 0xFF000000}, -1,
         {0x33, 0x22, 0x11, 0x80, 0x66, 0x55, 0x44, 0x00, 0, 0, 0, 0xFF}, {0x40, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HostImageList list;
        if (c.depth == 32)
            list.AddArgb(static_cast<std::int32_t>(c.argb.size()), 1, c.argb);
        else
            list.AddPalette(static_cast<std::int32_t>(c.indices.size()), 1, c.depth, c.indices, Palette(256, 1),
                            c.pen);
        const Bytes file = SaveOk(list.First());
        std::size_t paletteBytes = c.depth == 32 ? 0 : 4u << c.depth;
        std::size_t rows = 22 + 40 + paletteBytes;
        ASSERT_EQ(file.size(), rows + c.pixelRow.size() + c.maskRow.size());
        EXPECT_EQ(Slice(file, rows, c.pixelRow.size()), c.pixelRow);
        EXPECT_EQ(Slice(file, rows + c.pixelRow.size(), c.maskRow.size()), c.maskRow);
        EXPECT_EQ(Le32(file, 22 + 32), c.depth == 32 ? 0u : 1u << c.depth);   // colours used
    }
}

// Depth classes 1, 4, 8, 32 in turn, each by decreasing width, list order
// on a tie; blocks follow one another from the end of the directory.
TEST(IcoWriter, EntriesOrderedByDepthThenWidth)
{
    HostImageList list;
    list.AddPalette(16, 16, 8, {}, Palette(256, 2));
    list.AddArgb(32, 32, Opaque(32 * 32));
    list.AddPalette(48, 48, 4, {}, Palette(16, 3));
    list.AddPalette(32, 32, 8, {}, Palette(256, 4));
    list.AddPalette(32, 40, 8, {}, Palette(256, 5));
    const Bytes file = SaveOk(list.First());

    // Block sizes: 40 + palette + pixel rows + mask rows.
    const std::uint32_t size4x48 = 40 + 64 + 48 * 24 + 48 * 8;
    const std::uint32_t size8x32 = 40 + 1024 + 32 * 32 + 32 * 4;
    const std::uint32_t size8x32x40 = 40 + 1024 + 40 * 32 + 40 * 4;
    const std::uint32_t size8x16 = 40 + 1024 + 16 * 16 + 16 * 4;
    const std::uint32_t size32x32 = 40 + 32 * 128 + 32 * 4;
    const std::uint32_t first = 6 + 5 * 16;
    const std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>>
        expected = {
            // width, height, colour count, bit count, size
            {48, 48, 16, 4, size4x48},
            {32, 32, 0, 8, size8x32},
            {32, 40, 0, 8, size8x32x40},
            {16, 16, 0, 8, size8x16},
            {32, 32, 0, 32, size32x32},
        };
    const std::vector<Entry> entries = Directory(file);
    ASSERT_EQ(entries.size(), expected.size());
    std::uint32_t offset = first;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& [w, h, colours, bits, size] = expected[i];
        EXPECT_EQ(entries[i].width, w);
        EXPECT_EQ(entries[i].height, h);
        EXPECT_EQ(entries[i].colours, colours);
        EXPECT_EQ(entries[i].bitCount, bits);
        EXPECT_EQ(entries[i].size, size);
        EXPECT_EQ(entries[i].offset, offset);
        EXPECT_EQ(Le32(file, offset + 4), w);          // the block is that image's
        EXPECT_EQ(Le32(file, offset + 8), 2 * h);
        EXPECT_EQ(Le16(file, 6 + 16 * i + 4), 1u);     // planes
        offset += size;
    }
    EXPECT_EQ(file.size(), offset);
}

TEST(IcoWriter, SidesOver256AreLeftOutAnd256IsWrittenAsZero)
{
    HostImageList list;
    list.AddArgb(300, 300, Opaque(300 * 300));
    list.AddArgb(32, 32, Opaque(32 * 32));
    list.AddArgb(256, 20, Opaque(256 * 20));
    list.AddPalette(20, 257, 8, {}, {});
    const std::vector<Entry> entries = Directory(SaveOk(list.First()));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].width, 0u);
    EXPECT_EQ(entries[0].height, 20u);
    EXPECT_EQ(entries[1].width, 32u);

    HostImageList square;
    square.AddArgb(256, 256, Opaque(256 * 256));
    const Bytes file = SaveOk(square.First());
    ASSERT_EQ(Directory(file).size(), 1u);
    EXPECT_EQ(file[6], 0);
    EXPECT_EQ(file[7], 0);
    EXPECT_EQ(Le32(file, 22 + 4), 256u);
    EXPECT_EQ(Le32(file, 22 + 8), 512u);
}

TEST(IcoWriter, MarksFromTheCallerAreIgnoredAndEndAtZero)
{
    HostImageList list;
    IconImage& marked = list.AddPalette(16, 16, 4, {}, {});
    IconImage& other = list.AddPalette(8, 8, 4, {}, {});
    IconImage& unwritable = list.AddArgb(300, 4, Opaque(300 * 4));
    marked.mark = 1;
    unwritable.mark = 1;
    const std::vector<Entry> entries = Directory(SaveOk(list.First()));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].width, 16u);
    EXPECT_EQ(marked.mark, 0u);
    EXPECT_EQ(other.mark, 0u);
    EXPECT_EQ(unwritable.mark, 0u);
}

// Depths the format has no layout for, and an empty list, fail before the
// first byte is written.
TEST(IcoWriter, NothingWritableFailsWithAnEmptyFile)
{
    HostImageList only24;
    only24.AddArgb(16, 16, Opaque(16 * 16)).depth = 24;
    HostImageList only2;
    only2.AddPalette(16, 16, 2, {}, {});
    only2.AddPalette(32, 32, 2, {}, {});
    HostImageList tooLarge;
    tooLarge.AddArgb(16, 400, Opaque(16 * 400));
    for (IconImage* first : {only24.First(), only2.First(), tooLarge.First(), static_cast<IconImage*>(nullptr)}) {
        TempDir dir;
        SaveResult result = Save(dir.File("out.ico"), first, 1);
        EXPECT_EQ(result.saved, 0);
        EXPECT_TRUE(result.file.empty());
    }
}

// With compress, 32-bit images of width 128 and more are whole PNG files;
// narrower ones and palette images stay bitmaps.
TEST(IcoWriter, CompressStoresWideTrueColourAsPng)
{
    HostImageList list;
    list.AddArgb(256, 256, RandomArgb(256 * 256, 6));
    list.AddArgb(128, 3, RandomArgb(128 * 3, 7));
    list.AddArgb(127, 3, RandomArgb(127 * 3, 8));
    list.AddPalette(200, 2, 8, {}, Palette(256, 9));
    const Bytes file = SaveOk(list.First(), 1);
    const std::vector<Entry> entries = Directory(file);
    ASSERT_EQ(entries.size(), 4u);
    const bool expectPng[] = {false, true, true, false};       // 8-bit 200, 32-bit 256, 128, 127
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(i);
        const Entry& e = entries[i];
        ASSERT_LE(std::uint64_t{e.offset} + e.size, file.size());
        EXPECT_EQ(e.bitCount, i == 0 ? 8u : 32u);
        if (expectPng[i]) {
            EXPECT_EQ(Slice(file, e.offset, 8), PNG_SIGNATURE);
            EXPECT_EQ(Slice(file, e.offset + e.size - 12, 12), IEND_CHUNK);
        } else {
            EXPECT_EQ(Le32(file, e.offset), 40u);
        }
    }
    EXPECT_EQ(entries[1].width, 0u);
    EXPECT_EQ(entries[1].height, 0u);
    EXPECT_EQ(std::uint64_t{entries[3].offset} + entries[3].size, file.size());
}

// ---- Failures ----------------------------------------------------------------

TEST(IcoWriter, WriteFaultsMakeTheSaveFail)
{
    HostImageList list;
    list.AddPalette(20, 20, 4, RandomIndices(400, 4, 10), Palette(16, 11), 3);
    list.AddArgb(130, 10, RandomArgb(1300, 12));
    for (std::uint32_t compress : {0u, 1u}) {
        const std::int64_t total = static_cast<std::int64_t>(SaveOk(list.First(), compress).size());
        for (std::int64_t n : {std::int64_t{0}, std::int64_t{5}, std::int64_t{22}, std::int64_t{300},
                               total / 2, total - 1}) {
            SCOPED_TRACE(testing::Message() << "compress " << compress << ", writes fail after " << n);
            TempDir dir;
            rt::SetFileFaults({.failWritesAfterBytes = n});
            SaveResult result = Save(dir.File("out.ico"), list.First(), compress);
            rt::ClearFileFaults();
            // Bitmap entries go straight to the file, whose close reports the
            // lost bytes. The PNG encoder writes through the host too, into
            // its own memory stream: when that runs out of budget first,
            // the writer itself gives up.
            if (compress == 0) {
                EXPECT_NE(result.closeResult, 0);
            } else {
                EXPECT_TRUE(result.closeResult != 0 || result.saved == 0);
            }
        }
    }
}

TEST(IcoWriter, AllocationFailuresLeaveNothingBehind)
{
    HostImageList list;
    list.AddPalette(16, 16, 8, RandomIndices(256, 8, 13), Palette(256, 14), 0);
    list.AddArgb(160, 16, RandomArgb(160 * 16, 15));
    list.AddArgb(16, 16, RandomArgb(256, 16));
    TempDir dir;
    const std::string path = dir.File("out.ico");
    SetHostApi(rt::GetHostApi());
    std::uint64_t failedRuns = tessel::test::SweepAllocationFailures([&] {
        HostFile* file = HostOpen(path.c_str(), HOST_MODE_WRITE);
        if (!file)
            return false;
        int ok = SaveWinIcon(file, list.First(), nullptr, 1, 0);
        ok = HostClose(file) == 0 && ok;
        for (IconImage* image = list.First(); image; image = image->next)
            EXPECT_EQ(image->mark, 0u);
        EXPECT_EQ(rt::LiveBlocks(), 0);
        // The directory table comes before the first byte.
        if (!ok) {
            EXPECT_TRUE(ReadFileBytes(path).empty());
        }
        return ok != 0;
    });
    // The writer's only block is its directory table; the PNG encoder's
    // buffers belong to the host.
    EXPECT_EQ(failedRuns, 1u);
    EXPECT_EQ(Directory(ReadFileBytes(path)).size(), 3u);
}

// ---- Independent readers ------------------------------------------------------

// Reads out.ico in the folder given with Pillow, and with icotool (listing,
// then extracting to PNG files decoded by Pillow). Writes one line per image
// to oracle.txt: reader, width, height, bit depth, and a file of RGBA bytes.
const char* const OracleScript = R"PY(
import glob, os, re, subprocess, sys
from PIL import Image, IcoImagePlugin
out = sys.argv[1]
ico = os.path.join(out, "out.ico")
lines = []
with open(ico, "rb") as f:
    icon = IcoImagePlugin.IcoFile(f)
    for i, entry in enumerate(icon.entry):
        frame = icon.frame(i).convert("RGBA")
        name = os.path.join(out, "pillow%d.rgba" % i)
        open(name, "wb").write(frame.tobytes())
        lines.append("pillow %d %d %d %s" % (frame.size[0], frame.size[1], entry["bpp"], name))
listing = subprocess.run(["icotool", "-l", ico], check=True, capture_output=True, text=True).stdout
for line in listing.splitlines():
    fields = dict(re.findall(r"--([a-z-]+)=(\d+)", line))
    lines.append("list %s %s %s -" % (fields["width"], fields["height"], fields["bit-depth"]))
extracted = os.path.join(out, "x")
os.mkdir(extracted)
subprocess.run(["icotool", "-x", "-o", extracted, ico], check=True)
for path in sorted(glob.glob(os.path.join(extracted, "*.png"))):
    w, h, bits = re.search(r"_(\d+)x(\d+)x(\d+)\.png$", path).groups()
    picture = Image.open(path).convert("RGBA")
    assert picture.size == (int(w), int(h))
    open(path + ".rgba", "wb").write(picture.tobytes())
    lines.append("icotool %s %s %s %s" % (w, h, bits, path + ".rgba"))
open(os.path.join(out, "oracle.txt"), "w").write("\n".join(lines) + "\n")
)PY";

// What a reader should show for an image: RGBA words, palette images through
// their palette with the pen transparent. A transparent pixel's colour is not
// seen, so every alpha-0 pixel compares as 0.
std::vector<std::uint32_t> Expected(const IconImage& image)
{
    std::size_t n = std::size_t(image.width) * image.height;
    std::vector<std::uint32_t> words(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t word;
        if (image.depth <= 8) {
            std::uint8_t index = image.pixels[i];
            word = index == image.transparentPen ? 0 : 0xFF000000 | (image.palette[index] & 0xFFFFFF);
        } else {
            std::memcpy(&word, image.pixels + 4 * i, 4);
        }
        words[i] = (word >> 24) == 0 ? 0 : word;
    }
    return words;
}

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

// Images of every written depth, each of its own size so the readers' own
// order does not matter; pens on some, none on others.
void FillOracleList(HostImageList& list)
{
    list.AddPalette(20, 13, 1, RandomIndices(20 * 13, 1, 20), Palette(2, 21));
    list.AddPalette(17, 9, 1, RandomIndices(17 * 9, 1, 22), Palette(2, 23), 1);
    list.AddPalette(33, 21, 4, RandomIndices(33 * 21, 4, 24), Palette(16, 25), 5);
    list.AddPalette(7, 7, 4, RandomIndices(49, 4, 26), Palette(16, 27));
    list.AddPalette(48, 40, 8, RandomIndices(48 * 40, 8, 28), Palette(256, 29), 200);
    list.AddPalette(5, 3, 8, RandomIndices(15, 8, 30), Palette(256, 31));
    list.AddArgb(64, 64, RandomArgb(64 * 64, 32));
    list.AddArgb(127, 31, RandomArgb(127 * 31, 33));
    list.AddArgb(130, 20, RandomArgb(130 * 20, 34));
    list.AddArgb(256, 256, RandomArgb(256 * 256, 35));
}

void CheckAgainstOracles(std::uint32_t compress)
{
    HostImageList list;
    FillOracleList(list);
    std::map<std::pair<std::uint32_t, std::uint32_t>, const IconImage*> bySize;
    for (IconImage* image = list.First(); image; image = image->next)
        bySize[{image->width, image->height}] = image;

    TempDir dir;
    SaveResult result = Save(dir.File("out.ico"), list.First(), compress);
    ASSERT_EQ(result.saved, 1);
    ASSERT_EQ(result.closeResult, 0);
    WriteFileBytes(dir.File("oracle.py"), Bytes(OracleScript, OracleScript + std::strlen(OracleScript)));
    ASSERT_EQ(std::system(("/usr/bin/python3 " + dir.File("oracle.py") + " " + dir.Path()).c_str()), 0);

    std::map<std::string, int> seen;
    std::ifstream lines(dir.File("oracle.txt"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string reader, rgba;
        std::uint32_t width = 0, height = 0, bits = 0;
        fields >> reader >> width >> height >> bits >> rgba;
        SCOPED_TRACE(line);
        auto found = bySize.find({width, height});
        ASSERT_NE(found, bySize.end());
        const IconImage& image = *found->second;
        EXPECT_EQ(bits, static_cast<std::uint32_t>(image.depth));
        if (rgba != "-") {
            EXPECT_EQ(RgbaFile(rgba), Expected(image));
        }
        ++seen[reader];
    }
    EXPECT_EQ(seen["pillow"], 10);
    EXPECT_EQ(seen["list"], 10);
    EXPECT_EQ(seen["icotool"], 10);
}

TEST(IcoWriterOracle, PillowAndIcotoolReadEveryBitmapEntry)
{
    CheckAgainstOracles(0);
}

TEST(IcoWriterOracle, PillowAndIcotoolReadPngEntriesWhenCompressing)
{
    CheckAgainstOracles(1);
}

}  // namespace
