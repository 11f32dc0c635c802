// The files the Windows and macOS writers make, read back by Pillow, icotool and icns2png in one Python process and
// compared with what was saved.
#include "formats/macos/macos_icon.h"
#include "tests/formats/windows/load_rows.h"

#include <cstdlib>
#include <cstring>

namespace {

using namespace tessel::test;

// Writes what a reader should show of image to <name>_<Shape>.rgba (RGBA, alpha-0 pixels as zeros) and adds the
// verdicts expected from the readers.
void Expect(const TempDir& dir, const std::string& name, const IconImage& image,
            std::initializer_list<const char*> readers, std::vector<std::string>& verdicts)
{
    Words words = SeenPixels(image);
    if (image.depth == 32)
        std::memcpy(words.data(), image.pixels, words.size() * 4);
    Bytes rgba;
    for (std::uint32_t word : words)
        for (int shift : {16, 8, 0, 24})
            rgba.push_back(word >> 24 ? std::uint8_t(word >> shift) : 0);
    WriteFileBytes(dir.File(name + "_" + Shape(image) + ".rgba"), rgba);
    for (const char* reader : readers)
        if (*reader)
            verdicts.push_back(name + " " + reader + " " + Shape(image) + " same");
}

// ICO: depths 1, 4, 8 with and without a pen, 32-bit with every alpha, sizes 5 to 256 (written as 0), as bitmaps and
// with compress (PNG entries for 32-bit from 128 wide); sides over 256 and depth 2 left out, a caller's mark hiding
// nothing. ICNS: 32-bit images of every written side (run-length + alpha, "icp6" and "ic08" PNG), 8-bit ones with a
// pen in system colours.
TEST(WriterOracles, PillowIcotoolAndIcns2pngReadWhatWasSaved)
{
    const int shapes[][4] = {{16, 9, 1, 1},    {17, 5, 1, -1},     {48, 40, 4, 5},   {7, 7, 4, -1},
                             {24, 24, 8, 200}, {5, 3, 8, -1},      {32, 32, 32, -1}, {256, 256, 32, -1},
                             {130, 20, 32, -1}, {300, 300, 32, -1}, {127, 3, 32, -1}, {4, 4, 2, -1},
                             {16, 16, 32, -1}, {32, 32, 32, -1},   {48, 48, 32, -1}, {64, 64, 32, -1},
                             {128, 128, 32, -1}, {256, 256, 32, -1}, {16, 16, 8, 0}, {32, 32, 8, 3}, {48, 48, 8, 3}};
    std::uint32_t state = 7, n = 0;
    auto random = [&state] { return (state = state * 1664525u + 1013904223u) >> 8; };
    HostImageList ico, icns;   // the first 12 shapes, the others
    for (const auto& [w, h, depth, pen] : shapes) {
        HostImageList& list = n++ < 12 ? ico : icns;
        Words words(std::size_t(w) * h);
        Bytes indices(words.size());
        for (std::size_t i = 0; i < words.size(); ++i) {
            words[i] = random() % 2 ? random() : random() % 2 ? 0 : random() | 0xFF000000;
            indices[i] = std::uint8_t(words[i] % (1u << (depth % 32)));
            words[i] = &list == &icns && depth == 8 ? MacPalette256[words[i] % 256] : words[i];
        }
        (depth == 32 ? list.AddArgb(w, h, words) : list.AddPalette(w, h, depth, indices, words, pen)).mark = 1;
    }
    TempDir dir;
    std::vector<std::string> verdicts;
    for (std::string name : {"plain", "packed"}) {
        ASSERT_EQ(SaveWith(dir.File(name + ".ico"), ico.First(), FORMAT_WINDOWS, nullptr, name == "packed"), 1);
        for (const IconImage* image = ico.First(); image; image = image->next) {
            bool png = name == "packed" && image->depth == 32 && image->width >= 128;
            if (image->width <= 256 && image->depth != 2)
                Expect(dir, name, *image, {png ? "pillow-png" : "pillow", "icotool"}, verdicts);
        }
    }
    EXPECT_EQ(ico.First()->mark, 0u);
    ASSERT_EQ(SaveWith(dir.File("mac.icns"), icns.First(), FORMAT_MACOS, nullptr), 1);
    for (const IconImage* image = icns.First(); image; image = image->next) {   // Pillow reads no 8-bit entry,
        bool both = image->depth == 32 && image->width != 64;                       // icns2png no "icp6"
        Expect(dir, "mac", *image, {image->depth == 8 ? "icns2png" : "pillow", both ? "icns2png" : ""}, verdicts);
    }
    // judge(name, reader, picture, bits) compares a decoded picture with its .rgba file; extracted(pattern): PNG
    // files a tool extracted, with the bit count their names end in.
    const std::string script = R"PY(
import glob, os, subprocess
from PIL import Image, IcoImagePlugin, IcnsImagePlugin
lines = []
def judge(name, reader, picture, bits):
    w, h = picture.size
    data = picture.convert("RGBA").tobytes()
    data = b"".join(data[i:i+4] if data[i+3] else bytes(4) for i in range(0, len(data), 4))
    same = data == open("%s_%dx%dx%d.rgba" % (name, w, h, bits), "rb").read()
    lines.append("%s %s %dx%dx%d %s" % (name, reader, w, h, bits, "same" if same else "differs"))
def extracted(pattern):
    return [(Image.open(path), int(path[:-4].split("x")[-1])) for path in sorted(glob.glob(pattern))]
for name in ("plain", "packed"):
    data = open(name + ".ico", "rb").read()
    icon = IcoImagePlugin.IcoFile(open(name + ".ico", "rb"))
    for i, entry in enumerate(icon.entry):
        png = data[entry["offset"]:entry["offset"] + 4] == b"\x89PNG"
        judge(name, "pillow-png" if png else "pillow", icon.frame(i), entry["bpp"])
    os.mkdir(name)
    subprocess.run(["icotool", "-x", "-o", name, name + ".ico"], check=True)
    for picture, bits in extracted(name + "/*.png"):
        judge(name, "icotool", picture, bits)
family = IcnsImagePlugin.IcnsFile(open("mac.icns", "rb"))
for size in family.itersizes():
    judge("mac", "pillow", family.getimage(size), 32)
subprocess.run(["icns2png", "-x", "mac.icns"], check=True, capture_output=True)
for picture, bits in extracted("mac_*.png"):
    if bits != 1:   # the "#" entries' image plane: the mask itself
        judge("mac", "icns2png", picture, bits)
print("\n".join(sorted(lines)))
)PY";
    WriteFileBytes(dir.File("oracle.py"), Bytes(script.begin(), script.end()));
    ASSERT_EQ(std::system(("cd " + dir.Path() + " && /usr/bin/python3 oracle.py > verdicts.txt").c_str()), 0);
    std::sort(verdicts.begin(), verdicts.end());
    std::string expected;
    for (const std::string& line : verdicts)
        expected += line + "\n";
    Bytes out = ReadFileBytes(dir.File("verdicts.txt"));
    EXPECT_EQ(std::string(out.begin(), out.end()), expected);
    HostImageList none;   // nothing the format stores: the save fails
    none.AddPalette(16, 16, 4, {}, {});
    none.AddPalette(4, 4, 2, {}, {});
    none.AddArgb(20, 300, {});
    EXPECT_EQ(SaveWith(dir.File("none.icns"), none.First(), FORMAT_MACOS, nullptr), 0);
    EXPECT_EQ(SaveWith(dir.File("none.ico"), none.First()->next, FORMAT_WINDOWS, nullptr), 0);   // from 2-bit
}

}  // namespace
