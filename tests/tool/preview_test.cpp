// The preview command's contact sheets, read back by Pillow: pictures where
// the layout puts them, with their own colours over the checkerboard, and
// real icons' images as icotool extracts them.
#include "tests/support/process.h"
#include "tests/support/test_host.h"
#include "runtime/host_services.h"
#include "tool/preview.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>


namespace tessel::tool {
namespace {

using test::TempDir;

// Where the layout puts things with --columns 1: the heading's 9-pixel line
// at the 8-pixel margin, 4 pixels below it the first one-pixel frame, so the
// first image's top-left pixel is at (9, 22); its 2x copy's frame starts 4
// pixels right of the first frame.
constexpr int FIRST_X = 9;
constexpr int FIRST_Y = 22;

// The checkerboard and frame greys, and the sheet's white.
constexpr std::uint32_t LIGHT = 0xFFCCCCCC;
constexpr std::uint32_t DARK = 0xFF999999;

using test::DirectoryEntries;
using test::ProcessResult;
using test::RunProgram;
using test::RunTessel;

ProcessResult RunPillow(const std::string& script, const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {"/usr/bin/python3", "-c", script};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv);
}

// Python shared by the scripts: a picture composited over the checkerboard
// as the sheet shows it (squares of 8 sheet pixels, light first, from the
// picture's top-left), and a search for it along a column of the sheet.
constexpr char PILLOW_HELPERS[] = R"(
import sys
from PIL import Image
LIGHT, DARK = (204, 204, 204), (153, 153, 153)
def over_checks(picture):
    picture = picture.convert('RGBA')
    w, h = picture.size
    out = Image.new('RGB', (w, h))
    for y in range(h):
        for x in range(w):
            r, g, b, a = picture.getpixel((x, y))
            back = DARK if (x // 8 + y // 8) % 2 else LIGHT
            out.putpixel((x, y), tuple((c * a + k * (255 - a) + 127) // 255 for c, k in zip((r, g, b), back)))
    return out
def worst_difference(sheet, expected, x, y):
    w, h = expected.size
    if x + w > sheet.size[0] or y + h > sheet.size[1]:
        return 999
    got = sheet.crop((x, y, x + w, y + h)).tobytes()
    want = expected.tobytes()
    return max(abs(p - q) for p, q in zip(got, want))
def find_down(sheet, expected, x, y_from):
    for y in range(y_from, sheet.size[1] - expected.size[1] + 1):
        if worst_difference(sheet, expected, x, y) <= 1:
            return y
    return -1
)";

void WritePicture(const std::string& path, std::int32_t width, std::int32_t height,
                  const std::vector<std::uint32_t>& argb)
{
    std::vector<std::uint8_t> png;
    ASSERT_TRUE(runtime::EncodePng(argb.data(), width, height, png));
    test::WriteFileBytes(path, png);
}

// 16x16: red rising to the right, green rising downwards; the first twelve
// pixels of the top row clear (over a light and a dark square) and the
// bottom-right one half transparent, so a picture upside down or mirrored
// shows.
std::vector<std::uint32_t> Picture16()
{
    std::vector<std::uint32_t> argb;
    for (std::uint32_t y = 0; y < 16; ++y) {
        for (std::uint32_t x = 0; x < 16; ++x) {
            std::uint32_t alpha = (y == 0 && x < 12) ? 0x00 : (x == 15 && y == 15) ? 0x80 : 0xFF;
            argb.push_back(alpha << 24 | (x * 16 + 8) << 16 | (y * 16 + 8) << 8 | 0x40);
        }
    }
    return argb;
}


TEST(ToolPreview, PillowFindsTheImageAtOneAndTwiceItsSize)
{
    TempDir dir;
    const std::string picture = dir.File("picture.png"), icon = dir.File("icon.ico"), sheet = dir.File("sheet.png");
    WritePicture(picture, 16, 16, Picture16());
    ProcessResult convert = RunTessel({"convert", picture, "-o", icon});
    ASSERT_EQ(convert.exitCode, 0) << convert.err;

    ProcessResult run = RunTessel({"preview", icon, "-o", sheet, "--columns", "1"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find(sheet + ": "), std::string::npos) << run.out;

    ProcessResult pillow = RunPillow(std::string(PILLOW_HELPERS) + R"(
sheet = Image.open(sys.argv[1])
problems = []
if sheet.mode != 'RGBA' or sheet.getextrema()[3] != (255, 255):
    problems.append('sheet not opaque RGBA')
sheet = sheet.convert('RGB')
w, h = sheet.size
if not (16 + 32 + 16 <= w <= 1100 and 16 + 32 <= h <= 200):
    problems.append('implausible size %dx%d' % (w, h))
source = Image.open(sys.argv[2])
x, y = int(sys.argv[3]), int(sys.argv[4])
if worst_difference(sheet, over_checks(source), x, y) > 1:
    problems.append('1:1 picture differs')
double = source.resize((32, 32), Image.NEAREST)
if worst_difference(sheet, over_checks(double), x + 16 + 2 + 4, y) > 1:
    problems.append('2x picture differs')
# Exact pixels: clear ones show the checks, opaque ones their own colour,
# the frame mid grey.
for where, want in (((x, y), LIGHT), ((x + 8, y), DARK), ((x + 11, y), DARK), ((x + 12, y), (200, 8, 64)),
                    ((x + 15, y + 14), (248, 232, 64)), ((x + 22, y), LIGHT), ((x + 22 + 8, y), DARK),
                    ((x + 22 + 16, y + 1), LIGHT), ((x + 22 + 24, y + 1), (200, 8, 64)),
                    ((x + 22 + 31, y + 29), (248, 232, 64)), ((x - 1, y - 1), (128, 128, 128))):
    if sheet.getpixel(where) != want:
        problems.append('pixel %s is %s, not %s' % (where, sheet.getpixel(where), want))
print(' / '.join(problems) or 'ok')
)",
                                     {sheet, picture, std::to_string(FIRST_X), std::to_string(FIRST_Y)});
    ASSERT_EQ(pillow.exitCode, 0) << pillow.err;
    EXPECT_EQ(pillow.out, "ok\n");
}

// Palette images with transparent pens, bottom-up rows and masks in a real
// Windows icon: each 8- and 4-bit image must look as icotool extracts it, in
// order down the sheet, with the 2x copy beside it. The three 1-bit images
// use both their pens, so the module gives the mask the pen of the first
// masked pixel and they cannot match icotool's; they are only counted.
TEST(ToolPreview, RealIconImagesMatchIcotool)
{
    const std::string icon = std::string(TESSEL_CORPUS_DIR) + "/windows/putty-puttyins.ico";
    TempDir dir;
    ProcessResult icotool = RunProgram({"/usr/bin/icotool", "-x", "-o", dir.Path(), icon});
    ASSERT_EQ(icotool.exitCode, 0) << icotool.err;
    const std::string sheet = dir.File("sheet.png");
    ProcessResult run = RunTessel({"preview", icon, "-o", sheet, "--columns", "1"});
    ASSERT_EQ(run.exitCode, 0) << run.err;

    ProcessResult pillow = RunPillow(std::string(PILLOW_HELPERS) + R"(
import glob, os
sheet = Image.open(sys.argv[1]).convert('RGB')
names = [n for n in glob.glob(os.path.join(sys.argv[2], '*.png')) if n != sys.argv[1]]
names.sort(key=lambda n: int(n.rsplit('_', 2)[1]))
x, y, problems = int(sys.argv[3]), int(sys.argv[4]), []
if len(names) != 9:
    problems.append('icotool gave %d pictures' % len(names))
for name in names[:6]:
    picture = Image.open(name)
    found = find_down(sheet, over_checks(picture), x, y)
    if found < 0:
        problems.append(os.path.basename(name) + ' not found')
        continue
    w, h = picture.size
    double = over_checks(picture.resize((2 * w, 2 * h), Image.NEAREST))
    if worst_difference(sheet, double, x + w + 6, found) > 1:
        problems.append(os.path.basename(name) + ' has no 2x copy')
    y = found + h
print(' / '.join(problems) or 'ok')
)",
                                     {sheet, dir.Path(), std::to_string(FIRST_X), std::to_string(FIRST_Y)});
    ASSERT_EQ(pillow.exitCode, 0) << pillow.err;
    EXPECT_EQ(pillow.out, "ok\n");
}

// A 512x512 picture of 2x2 blocks, each one colour, a few clear: shown at
// half size every block becomes one pixel of its own colour, with no 2x copy.
TEST(ToolPreview, LargeImagesAreShrunkToFit)
{
    TempDir dir;
    std::vector<std::uint32_t> argb(512 * 512);
    for (std::uint32_t y = 0; y < 512; ++y) {
        for (std::uint32_t x = 0; x < 512; ++x) {
            std::uint32_t bx = x / 2, by = y / 2;
            std::uint32_t alpha = (bx < 20 && by < 3) ? 0 : 0xFF;
            argb[y * 512 + x] = alpha << 24 | bx << 16 | by << 8 | ((bx * 7 + by * 3) & 0xFF);
        }
    }
    const std::string picture = dir.File("big.png"), sheet = dir.File("sheet.png");
    WritePicture(picture, 512, 512, argb);
    ProcessResult run = RunTessel({"preview", picture, "-o", sheet});
    ASSERT_EQ(run.exitCode, 0) << run.err;

    ProcessResult pillow = RunPillow(std::string(PILLOW_HELPERS) + R"(
sheet = Image.open(sys.argv[1]).convert('RGB')
x, y, problems = int(sys.argv[3]), int(sys.argv[4]), []
half = Image.open(sys.argv[2]).resize((256, 256), Image.NEAREST)
if worst_difference(sheet, over_checks(half), x, y) != 0:
    problems.append('half-size picture differs')
beside = (x + 256 + 1, y, sheet.size[0], y + 256)
if beside[0] < beside[2] and sheet.crop(beside).getextrema() != ((255, 255),) * 3:
    problems.append('something beside the picture: a 2x copy or a full-size picture')
print(' / '.join(problems) or 'ok')
)",
                                     {sheet, picture, std::to_string(FIRST_X), std::to_string(FIRST_Y)});
    ASSERT_EQ(pillow.exitCode, 0) << pillow.err;
    EXPECT_EQ(pillow.out, "ok\n");
}

TEST(ToolPreview, UnreadableFilesAreReportedAndTheOthersDrawn)
{
    TempDir dir;
    const std::string picture = dir.File("picture.png"), missing = dir.File("missing.info");
    const std::string damaged = dir.File("damaged.ico"), sheet = dir.File("sheet.png");
    WritePicture(picture, 16, 16, Picture16());
    test::WriteFileBytes(damaged, {0x00, 0x00, 0x01, 0x00, 0x01, 0x00});

    ProcessResult run = RunTessel({"preview", missing, damaged, picture, "-o", sheet, "--columns", "1"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("tessel: " + missing + ": cannot open"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("tessel: " + damaged + ": cannot read Windows icon"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("1 icon, 1 image, 2 unreadable"), std::string::npos) << run.out;

    // The picture's block comes third, below two headings with error lines.
    ProcessResult pillow = RunPillow(std::string(PILLOW_HELPERS) + R"(
sheet = Image.open(sys.argv[1]).convert('RGB')
found = find_down(sheet, over_checks(Image.open(sys.argv[2])), int(sys.argv[3]), int(sys.argv[4]) + 1)
print('ok' if found > 0 else 'picture not on the sheet')
)",
                                     {sheet, picture, std::to_string(FIRST_X), std::to_string(FIRST_Y)});
    ASSERT_EQ(pillow.exitCode, 0) << pillow.err;
    EXPECT_EQ(pillow.out, "ok\n");
    EXPECT_EQ(DirectoryEntries(dir.Path()), (std::set<std::string>{"damaged.ico", "picture.png", "sheet.png"}));
}

TEST(ToolPreview, UnwritableOutputFailsAndLeavesNothing)
{
    TempDir dir;
    const std::string picture = dir.File("picture.png");
    WritePicture(picture, 16, 16, Picture16());
    test::WriteFileBytes(dir.File("plain-file"), {'x'});
    std::filesystem::create_directory(dir.File("a-directory"));
    std::vector<std::string> outputs = {dir.File("no-such-dir/sheet.png"), dir.File("plain-file/sheet.png"),
                                        dir.File("a-directory")};
    if (geteuid() != 0) {
        // Permissions stop everyone but root.
        std::filesystem::create_directory(dir.File("read-only"));
        chmod(dir.File("read-only").c_str(), 0555);
        outputs.push_back(dir.File("read-only/sheet.png"));
    }
    const std::set<std::string> before = DirectoryEntries(dir.Path());
    for (const std::string& output : outputs) {
        SCOPED_TRACE(output);
        ProcessResult run = RunTessel({"preview", picture, "-o", output});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err.rfind("tessel: " + output + ": ", 0), 0u) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(DirectoryEntries(dir.Path()), before);
        EXPECT_TRUE(DirectoryEntries(dir.File("a-directory")).empty());
    }
}

TEST(ToolPreview, UsageErrorsExitTwo)
{
    TempDir dir;
    const std::string picture = dir.File("picture.png"), sheet = dir.File("sheet.png");
    WritePicture(picture, 16, 16, Picture16());
    const std::vector<std::vector<std::string>> cases = {
        {"preview", "-o", sheet},
        {"preview", picture},
        {"preview", picture, "-o", sheet, "--scale", "0"},
        {"preview", picture, "-o", sheet, "--scale", "9"},
        {"preview", picture, "-o", sheet, "--scale=2x"},
        {"preview", picture, "-o", sheet, "--columns", "-1"},
        {"preview", picture, "-o", sheet, "--columns", "65"},
        {"preview", picture, "-o", sheet, "--columns"},
        {"preview", picture, "-o", sheet, "-o", sheet},
        {"preview", picture, "-o", sheet, "--json"},
    };
    for (const auto& args : cases) {
        ProcessResult run = RunTessel(args);
        EXPECT_EQ(run.exitCode, 2) << run.err;
        EXPECT_NE(run.err.find("usage: tessel preview"), std::string::npos) << run.err;
    }
    EXPECT_EQ(DirectoryEntries(dir.Path()), std::set<std::string>{"picture.png"});
}

// A palette image drawn by the library, its pixels written by hand: pens
// through the palette, the transparent pen showing the checks, and --scale
// magnifying every sheet pixel into a square.
TEST(PreviewSheet, PalettePensAndScale)
{
    Image image;
    image.width = 3;
    image.height = 2;
    image.depth = 2;
    image.transparentPen = 0;
    image.flags = IMAGEFLAG_SELECTED | IMAGEFLAG_PRIMARY;
    image.pixels = {0, 1, 2,
                    3, 0, 1};
    image.palette.assign(ICON_PALETTE_ENTRIES, 0);
    image.palette[0] = 0x00FF0000;  // transparent: never shown
    image.palette[1] = 0x00112233;
    image.palette[2] = 0x00FFFFFF;
    image.palette[3] = 0x00000000;
    PreviewIcon icon;
    icon.name = "pens.info";
    icon.loaded = true;
    icon.icon.images = {image};

    PreviewSheet once, thrice;
    std::string why;
    PreviewOptions options;
    ASSERT_TRUE(DrawPreviewSheet({icon}, options, &once, &why)) << why;
    options.scale = 3;
    ASSERT_TRUE(DrawPreviewSheet({icon}, options, &thrice, &why)) << why;
    ASSERT_EQ(thrice.width, 3 * once.width);
    ASSERT_EQ(thrice.height, 3 * once.height);

    auto at = [&](std::int32_t x, std::int32_t y) { return once.pixels[std::size_t(y) * std::size_t(once.width) + std::size_t(x)]; };
    const std::uint32_t expected[2][3] = {{LIGHT, 0xFF112233, 0xFFFFFFFF},
                                          {0xFF000000, LIGHT, 0xFF112233}};
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 3; ++x) {
            EXPECT_EQ(at(FIRST_X + x, FIRST_Y + y), expected[y][x]) << x << "," << y;
            // The 2x copy: frame 1+3+1 pixels wide, 4 pixels gap, then its frame.
            EXPECT_EQ(at(FIRST_X + 9 + 2 * x + 1, FIRST_Y + 2 * y + 1), expected[y][x]) << x << "," << y;
        }
    }
    for (std::int32_t y = 0; y < thrice.height; ++y) {
        for (std::int32_t x = 0; x < thrice.width; ++x) {
            ASSERT_EQ(thrice.pixels[std::size_t(y) * std::size_t(thrice.width) + std::size_t(x)], at(x / 3, y / 3))
                << x << "," << y;
        }
    }
    EXPECT_EQ(PreviewLabel(image, 1), (std::vector<std::string>{"3x2 2-bit", "selected, primary"}));
    image.flags = 0;
    image.depth = 32;
    EXPECT_EQ(PreviewLabel(image, 4), (std::vector<std::string>{"3x2 32-bit", "normal", "shown at 1/4"}));
}

// An image whose buffers are short of its size is labelled, not read past.
TEST(PreviewSheet, DamagedImageIsLabelledNotDrawn)
{
    Image image;
    image.width = 40;
    image.height = 40;
    image.depth = 8;
    image.pixels.assign(40 * 39, 1);
    image.palette.assign(ICON_PALETTE_ENTRIES, 0x00FF0000);
    PreviewIcon icon;
    icon.name = "short.info";
    icon.loaded = true;
    icon.icon.images = {image};
    PreviewSheet sheet;
    std::string why;
    ASSERT_TRUE(DrawPreviewSheet({icon}, PreviewOptions{}, &sheet, &why)) << why;
    EXPECT_EQ(std::count(sheet.pixels.begin(), sheet.pixels.end(), 0xFFFF0000u), 0);
    EXPECT_LT(sheet.height, 40);
}

// Sixty icons of a 256x256 image make a sheet taller than a PNG the tool
// writes: refused, with the reason, before anything is drawn.
TEST(PreviewSheet, TooLargeASheetIsRefused)
{
    Image image;
    image.width = 256;
    image.height = 256;
    image.depth = 32;
    image.pixels.assign(256 * 256 * 4, 0xFF);
    PreviewIcon icon;
    icon.name = "big.icns";
    icon.loaded = true;
    icon.icon.images = {image};
    std::vector<PreviewIcon> icons(60, icon);
    PreviewSheet sheet;
    std::string why;
    EXPECT_FALSE(DrawPreviewSheet(icons, PreviewOptions{}, &sheet, &why));
    EXPECT_NE(why.find("too large"), std::string::npos) << why;
    EXPECT_TRUE(sheet.pixels.empty());
    icons.resize(30);
    EXPECT_TRUE(DrawPreviewSheet(icons, PreviewOptions{}, &sheet, &why)) << why;
}

}  // namespace
}  // namespace tessel::tool
