// Independent tools judge Tessel: Pillow (one /usr/bin/python3 process),
// icotool -l, icns2png -l and pngcheck read the corpus' .ico and .icns files
// and what Tessel saves from every corpus file, and must see what Tessel's
// load sees: the same sizes, and the same pixels as a viewer shows them
// (alpha below 128 is transparent, colour ignored there). Where a tool and
// Tessel differ by design, the difference is a row of KnownDifferences.
#include "plugin/format_table.h"
#include "tests/support/host_images.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace {

using namespace tessel::test;

// Reads "kind path" lines (kind: ico, icns, png: a PNG icon Tessel wrote, or
// corpus-png: one of the corpus); prints "tool<TAB>path<TAB>
// width<TAB>height<TAB>value": P (Pillow, value the CRC-32 of the frame's
// R G B A bytes as seen), V (Pillow: a palette frame of an ICO Tessel wrote
// whose masked pixels are not black, so that Windows, XOR-ing them onto the
// screen, shows them inverted), I (icotool, bit depth), N (icns2png, element type),
// K (pngcheck over all PNG files at once, a PNG icon's selected picture
// apart, value its exit status).
const char* const OracleScript = R"PY(
import subprocess, sys, zlib
from PIL import Image, ImageChops, IcoImagePlugin, IcnsImagePlugin
def seen(im):
    im = im.convert('RGBA')
    a = im.getchannel('A').point(lambda v: 255 if v >= 128 else 0)
    rgb = [ImageChops.multiply(c, a) for c in im.split()[:3]]
    return zlib.crc32(Image.merge('RGBA', rgb + [a]).tobytes())
files = [line.split(' ', 1) for line in open(sys.argv[1]).read().splitlines()]
for kind, path in files:
    try:
        if kind == 'ico':
            ico = IcoImagePlugin.IcoFile(open(path, 'rb'))
            frames = [ico.frame(i) for i in range(len(ico.entry))]
        elif kind == 'icns':
            icns = IcnsImagePlugin.IcnsFile(open(path, 'rb'))
            frames = [icns.getimage(size) for size in icns.itersizes()]
        else:
            frames = [Image.open(path)]
        for n, im in enumerate(frames):
            print('P', path, im.size[0], im.size[1], seen(im), sep='\t')
            hidden = im.convert('RGBA').getchannel('A').point(lambda v: 255 if v == 0 else 0)
            if path.endswith('WINDOWS') and ico.entry[n]['bpp'] <= 8 and ImageChops.multiply(im.convert('RGB'), hidden.convert('RGB')).getbbox():
                print('V', path, im.size[0], im.size[1], 'masked pixels Windows inverts', sep='\t')
    except Exception as error:
        print('P', path, 0, 0, 'error', sep='\t')
for kind, path in files:
    if kind == 'ico':
        out = subprocess.run(['icotool', '-l', path], capture_output=True, text=True).stdout
        for line in out.splitlines():
            f = dict(field.split('=') for field in line.split()[2:])
            print('I', path, f['--width'], f['--height'], f['--bit-depth'], sep='\t')
icns = [path for kind, path in files if kind == 'icns']
out = subprocess.run(['icns2png', '-l'] + icns, capture_output=True, text=True).stdout
for line in out.splitlines():
    if line.startswith('Reading icns family from '):
        path = line[len('Reading icns family from '):-3]
    elif line.startswith("  '") and ' icon' in line:
        element, size = line.split()[:2]
        print('N', path, *size.split('x'), element.strip("'"), sep='\t')
pngs = []
for path in [path for kind, path in files if kind == 'png']:
    data = open(path, 'rb').read()
    end = data.find(b'IEND') + 8
    for n, stream in enumerate([data[:end], data[end:]]):
        if stream:
            open(path + str(n) + '.png', 'wb').write(stream)
            pngs.append(path + str(n) + '.png')
print('K', 'all', 0, 0, subprocess.run(['pngcheck', '-q'] + pngs, capture_output=True).returncode, sep='\t')
)PY";

struct Seen {
    std::int32_t width, height;
    std::uint32_t crc;
};

std::vector<Seen> SeenBy(const IconImage* first)
{
    std::vector<Seen> images;
    for (const IconImage* image : ImagesOf(const_cast<IconImage*>(first))) {
        Bytes rgba;
        for (std::uint32_t word : SeenPixels(*image))
            rgba.insert(rgba.end(), {Bytes::value_type(word >> 16), Bytes::value_type(word >> 8),
                                     Bytes::value_type(word), Bytes::value_type(word >> 24)});
        images.push_back({image->width, image->height,
                          std::uint32_t(crc32(0, rgba.data(), static_cast<uInt>(rgba.size())))});
    }
    return images;
}

// Differences by design: "file: tool WxH what".
const std::set<std::string> KnownDifferences = {
    // Pillow cannot read these (JPEG 2000 entries, damaged or unknown types); Tessel loads what is sound.
    "macos/eclock-icon.icns: P 0x0 error", "macos/icnsutil-icp4rgb.icns: P 0x0 error",
    "macos/pillow-oom-8ed3316a4109213ca96fb8a2.icns: P 0x0 error", "macos/py27-pythonlauncher.icns: P 0x0 error",
    "macos/py27-tk.icns: P 0x0 error", "windows/pillow-decompression_bomb.ico: P 0x0 error",
    // icns2png: a file it cannot parse.
    "macos/py27-buildapplet.icns: N 0x0",
    // icotool refuses entries whose directory size is not the bitmap's ("incorrect total size of bitmap").
    "windows/ffunds-icon.ico: only Tessel 128x128", "windows/ffunds-icon.ico: only Tessel 16x16",
    "windows/ffunds-icon.ico: only Tessel 24x24", "windows/ffunds-icon.ico: only Tessel 256x256",
    "windows/ffunds-icon.ico: only Tessel 32x32", "windows/ffunds-icon.ico: only Tessel 48x48",
    "windows/ffunds-icon.ico: only Tessel 64x64", "windows/pillow-decompression_bomb.ico: only Tessel 16x16",
    "windows/pillow-hopper_mask.ico: only Tessel 16x16", "windows/pillow-pillow.ico: only Tessel 16x16",
    "windows/pillow-pillow.ico: only Tessel 24x24", "windows/pillow-pillow.ico: only Tessel 32x32",
    "windows/pillow-pillow.ico: only Tessel 48x48", "windows/rapps-fbide.ico: only Tessel 16x16",
    "windows/rapps-fbide.ico: only Tessel 32x32", "windows/rapps-firefox_new.ico: only Tessel 16x16",
    "windows/rapps-firefox_new.ico: only Tessel 32x32", "windows/rapps-firefox_new.ico: only Tessel 48x48",
    "windows/rapps-musescore.ico: only Tessel 48x48", "windows/rapps-qemumanager.ico: only Tessel 24x24",
    // Pixels: masked pixels of palette bitmaps whose mask disagrees with a free pen, and Pillow's choice among
    // entries of one size.
    "macos/icnsutil-selected.icns: P 32x32 2578660314", "windows/pillow-hopper_mask.ico: P 16x16 2367357134",
    "windows/putty-pageants.ico: P 16x16 2434289971", "windows/putty-puttyins.ico: P 16x16 2295247727",
    "windows/putty-puttyins.ico: P 32x32 3492498178", "windows/putty-puttyins.ico: P 48x48 1727460229",
    "windows/rapps-dilinuxreader.ico: P 16x16 2481909631", "windows/rapps-dilinuxreader.ico: P 32x32 3114175199",
    "windows/rapps-dilinuxreader.ico: P 48x48 1702294879", "windows/rapps-dilinuxreader.ico: P 64x64 391501552",
    "windows/rapps-efsearch.ico: P 32x32 2627308822", "windows/rapps-fbide.ico: P 16x16 3954057325",
    "windows/rapps-fbide.ico: P 32x32 3345354937", "windows/rapps-kompozer.ico: P 16x16 1221991843",
    "windows/rapps-kompozer.ico: P 24x24 1583289464", "windows/rapps-kompozer.ico: P 32x32 1835427739",
    "windows/rapps-kompozer.ico: P 48x48 4263282816", "windows/rapps-qemumanager.ico: P 24x24 585746926",
};

TEST(Oracles, ToolsSeeWhatTesselLoadsAndSaves)
{
    TempDir dir;
    std::ofstream list(dir.File("list"));
    std::map<std::string, std::string> nameOf;            // path given to the tools -> what the row calls it
    std::map<std::string, std::vector<Seen>> tessel;      // path -> what Tessel loads from it
    std::vector<std::string> files = CorpusFiles();
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& file = files[i];
        std::string extension = file.substr(file.rfind('.') + 1);
        LoadedIcon loaded(CorpusPath(file));
        Bytes head = ReadFileBytes(CorpusPath(file));
        bool png = head.size() > 4 && head[1] == 'P' && head[2] == 'N' && head[3] == 'G';
        if (extension == "ico" || extension == "icns" || png) {
            list << (png ? "corpus-png" : extension) << " " << CorpusPath(file) << "\n";
            nameOf[CorpusPath(file)] = file;
            tessel[CorpusPath(file)] = SeenBy(loaded.images);
        }
        for (const char* keyword : {"WINDOWS", "MACOS", "PNG"}) {
            const SaveFormatRow& format = *FindSaveFormat(keyword);
            std::string path = dir.File(std::to_string(i) + "." + keyword);
            if (!loaded.icon || SaveWith(path, loaded.images, format.formatId, &loaded.attributes) != 1)
                continue;
            list << (format.container == CONTAINER_PNG_ICON ? "png" : format.extension) << " " << path << "\n";
            nameOf[path] = file + " as " + keyword;
            LoadedIcon again(path);
            tessel[path] = SeenBy(again.images);
        }
    }
    list.close();
    std::ofstream(dir.File("oracle.py")) << OracleScript;
    ProcessResult run = RunProgram({"/usr/bin/python3", dir.File("oracle.py"), dir.File("list")});
    ASSERT_EQ(run.exitCode, 0) << run.err;

    std::set<std::string> differences;
    std::map<std::string, std::set<std::string>> sizesByTool;   // "I path" -> sizes the tool lists
    std::map<char, int> frames;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string tool, path, value;
        std::int32_t width = 0, height = 0;
        fields >> tool >> path >> width >> height >> value;
        ++frames[tool[0]];
        if (tool == "K") {
            EXPECT_EQ(value, "0") << "pngcheck refuses a PNG icon Tessel wrote";
            continue;
        }
        if (tool == "V" && differences.insert(nameOf[path] + ": masked pixels Windows inverts").second)
            continue;
        std::string size = std::to_string(width) + "x" + std::to_string(height);
        sizesByTool[tool + " " + path].insert(size);
        bool found = false;
        for (const Seen& image : tessel[path])
            found = found || (image.width == width && image.height == height &&
                              (tool != "P" || std::to_string(image.crc) == value));
        if (!found)
            differences.insert(nameOf[path] + ": " + tool + " " + size + (tool == "P" ? " " + value : ""));
    }
    // Every image Tessel loads is one icotool lists.
    for (const auto& [path, images] : tessel)
        for (const Seen& image : images)
            if (path.ends_with("ico") || path.ends_with("WINDOWS"))
                if (!sizesByTool["I " + path].count(std::to_string(image.width) + "x" + std::to_string(image.height)))
                    differences.insert(nameOf[path] + ": only Tessel " + std::to_string(image.width) + "x" +
                                       std::to_string(image.height));
    for (const std::string& difference : differences)
        EXPECT_TRUE(KnownDifferences.count(difference)) << "new difference: \"" << difference << "\",";
    for (const std::string& known : KnownDifferences)
        EXPECT_TRUE(differences.count(known)) << "no longer seen: " << known;
    EXPECT_EQ(frames['K'], 1);
    EXPECT_GT(frames['P'], 600);
    EXPECT_GT(frames['I'], 300);
    EXPECT_GT(frames['N'], 300);
}

}  // namespace
