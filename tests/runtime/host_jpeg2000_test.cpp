// The runtime's JPEG 2000 decoding: DecodeImage on JP2 files and bare
// codestreams, and HostLoadImage on them. Pixels are judged against Pillow
// (an independent decoder and encoder), against the samples handed to
// Pillow's encoder, and against codestreams built here by hand, whose
// decoded values follow from the format's tables.
#include "runtime/host_services.h"
#include "tests/support/test_host.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using tessel::test::Bytes;
using tessel::test::ReadFileBytes;
using tessel::test::TempDir;
using tessel::test::WriteFileBytes;
namespace rt = tessel::runtime;

const Bytes JP2_SIGNATURE = {0x00, 0x00, 0x00, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
const std::string MACOS_CORPUS = std::string(TESSEL_CORPUS_DIR) + "/macos";

int RunCommand(const std::string& command)
{
    return std::system(command.c_str());
}

void AppendBE16(Bytes& out, std::uint32_t v)
{
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

void AppendBE32(Bytes& out, std::uint32_t v)
{
    AppendBE16(out, v >> 16);
    AppendBE16(out, v & 0xFFFF);
}

std::uint32_t ReadBE32(const Bytes& in, std::size_t offset)
{
    return (std::uint32_t{in[offset]} << 24) | (std::uint32_t{in[offset + 1]} << 16) |
           (std::uint32_t{in[offset + 2]} << 8) | in[offset + 3];
}

bool StartsWith(const Bytes& data, const Bytes& prefix)
{
    return data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data.begin());
}

// RGBA bytes (Pillow's order) as 0xAARRGGBB words.
std::vector<std::uint32_t> RgbaToWords(const Bytes& rgba)
{
    std::vector<std::uint32_t> words(rgba.size() / 4);
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::uint8_t* p = rgba.data() + i * 4;
        words[i] = (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
    }
    return words;
}

struct Decoded {
    bool ok = false;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint32_t> pixels;
};

Decoded Decode(const Bytes& data)
{
    Decoded out;
    out.ok = rt::DecodeImage(data.data(), data.size(), &out.width, &out.height, out.pixels);
    return out;
}

// Sends file descriptor 2 to a temporary file for its lifetime and reports
// what was written there, so a test can see that a decoder stayed silent.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path) : path_(path)
    {
        std::fflush(stderr);
        saved_ = dup(2);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { Restore(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    std::string Text()
    {
        Restore();
        const Bytes bytes = ReadFileBytes(path_);
        return std::string(bytes.begin(), bytes.end());
    }

private:
    void Restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    std::string path_;
    int saved_ = -1;
};

// ---- A codestream built by hand ----------------------------------------------

// One component of a hand-built codestream: precision in bits, signedness,
// horizontal subsampling.
struct HandComponent {
    std::uint8_t precision;
    bool isSigned = false;
    std::uint8_t subsampleX = 1;
};

// Offsets into HandCodestream's bytes, for patching.
constexpr std::size_t SIZ_XSIZ = 8;
constexpr std::size_t SIZ_YSIZ = 12;
constexpr std::size_t SIZ_XTSIZ = 24;
constexpr std::size_t SIZ_YTSIZ = 28;
constexpr std::size_t SIZ_FIRST_SSIZ = 42;

// SOC, SIZ, COD, QCD, one tile with one tile-part, EOC. No wavelet levels,
// one quality layer, 64x64 code-blocks, the reversible filter; every packet
// empty (a lone 0 bit padded to a byte), so every coefficient is zero and
// each sample decodes to the DC level: 2^(precision-1) when unsigned, 0
// when signed.
Bytes HandCodestream(std::uint32_t width, std::uint32_t height, const std::vector<HandComponent>& components)
{
    const auto count = static_cast<std::uint32_t>(components.size());
    Bytes out = {0xFF, 0x4F};                                  // SOC
    AppendBE16(out, 0xFF51);                                   // SIZ
    AppendBE16(out, 38 + 3 * count);                           // Lsiz
    AppendBE16(out, 0);                                        // Rsiz
    AppendBE32(out, width);                                    // Xsiz
    AppendBE32(out, height);                                   // Ysiz
    AppendBE32(out, 0);                                        // XOsiz
    AppendBE32(out, 0);                                        // YOsiz
    AppendBE32(out, std::max<std::uint32_t>(width, 1));        // XTsiz: one tile
    AppendBE32(out, std::max<std::uint32_t>(height, 1));       // YTsiz
    AppendBE32(out, 0);                                        // XTOsiz
    AppendBE32(out, 0);                                        // YTOsiz
    AppendBE16(out, count);                                    // Csiz
    for (const HandComponent& c : components)
        out.insert(out.end(), {static_cast<std::uint8_t>((c.isSigned ? 0x80 : 0) | (c.precision - 1)), c.subsampleX, 1});
    out.insert(out.end(), {0xFF, 0x52, 0, 12,                  // COD, Lcod
                           0,                                  // Scod: default precincts, no SOP or EPH
                           0, 0, 1, 0,                         // LRCP, one layer, no component transform
                           0, 4, 4, 0, 1});                    // no levels, 64x64 blocks, plain style, 5/3
    out.insert(out.end(), {0xFF, 0x5C, 0, 4,                   // QCD, Lqcd
                           0x40,                               // two guard bits, no quantisation
                           static_cast<std::uint8_t>(8 << 3)});  // LL exponent 8
    AppendBE16(out, 0xFF90);                                   // SOT
    AppendBE16(out, 10);                                       // Lsot
    AppendBE16(out, 0);                                        // Isot
    AppendBE32(out, 12 + 2 + count);                           // Psot: SOT to the end of the packets
    out.insert(out.end(), {0, 1});                             // TPsot, TNsot
    AppendBE16(out, 0xFF93);                                   // SOD
    out.insert(out.end(), count, 0x00);                        // one empty packet per component
    AppendBE16(out, 0xFFD9);                                   // EOC
    return out;
}

void PatchBE32(Bytes& data, std::size_t offset, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        data[offset + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

TEST(Jpeg2000Decode, HandBuiltCodestreamsScaleEachComponentToEightBits)
{
    // Expected bytes from the DC level and each precision: above 8 bits the
    // top 8 are kept; below, v * 255 / (2^p - 1) rounded; signed samples
    // are moved up by 2^(p-1).
    const struct {
        const char* name;
        std::vector<HandComponent> components;
        std::uint32_t expected;
    } cases[] = {
        {"grey 8", {{8}}, 0xFF808080},
        {"grey 1", {{1}}, 0xFFFFFFFF},                         // 1 of 1
        {"grey 2", {{2}}, 0xFFAAAAAA},                         // 2 of 3: 170
        {"grey 12", {{12}}, 0xFF808080},                       // 2048 >> 4
        {"grey 16", {{16}}, 0xFF808080},                       // 32768 >> 8
        {"grey 8 signed", {{8, true}}, 0xFF808080},            // 0 + 128
        {"grey 5 signed", {{5, true}}, 0xFF848484},            // 0 + 16: 16 of 31 is 131.6
        {"grey 4, alpha 1", {{4}, {1}}, 0xFF888888},           // 8 of 15 is 136
        {"rgb 1 2 4", {{1}, {2}, {4}}, 0xFFFFAA88},
        {"rgba 8 8 8 3", {{8}, {8}, {8}, {3}}, 0x92808080},    // 4 of 7 is 145.7
        {"rgba 16 12 10 9", {{16}, {12}, {10}, {9}}, 0x80808080},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded decoded = Decode(HandCodestream(5, 3, c.components));
        ASSERT_TRUE(decoded.ok);
        EXPECT_EQ(decoded.width, 5);
        EXPECT_EQ(decoded.height, 3);
        EXPECT_EQ(decoded.pixels, std::vector<std::uint32_t>(15, c.expected));
    }
}

TEST(Jpeg2000Decode, HeadersOutsideTheLimitsOrLayoutsAreRefusedSilently)
{
    TempDir dir;
    const Bytes grey = HandCodestream(8, 8, {{8}});
    const Bytes rgb = HandCodestream(8, 8, {{8}, {8}, {8}});
    ASSERT_TRUE(Decode(grey).ok);  // the patches below are what breaks each one
    ASSERT_TRUE(Decode(rgb).ok);

    // One tile still covers the picture, so only the runtime's limits stand
    // between these and a decode.
    auto withSize = [&](std::uint32_t width, std::uint32_t height) {
        Bytes data = grey;
        PatchBE32(data, SIZ_XSIZ, width);
        PatchBE32(data, SIZ_YSIZ, height);
        PatchBE32(data, SIZ_XTSIZ, std::max<std::uint32_t>(width, 1));
        PatchBE32(data, SIZ_YTSIZ, std::max<std::uint32_t>(height, 1));
        return data;
    };
    auto withComponent = [&](std::size_t index, std::uint8_t ssiz, std::uint8_t xrsiz) {
        Bytes data = rgb;
        data[SIZ_FIRST_SSIZ + 3 * index] = ssiz;
        data[SIZ_FIRST_SSIZ + 3 * index + 1] = xrsiz;
        return data;
    };
    Bytes garbageJp2 = JP2_SIGNATURE;
    Bytes garbageJ2k = {0xFF, 0x4F, 0xFF, 0x51};
    std::mt19937 random(2000);
    for (int i = 0; i < 400; ++i) {
        garbageJp2.push_back(static_cast<std::uint8_t>(random()));
        garbageJ2k.push_back(static_cast<std::uint8_t>(random()));
    }

    const struct {
        const char* name;
        Bytes data;
    } cases[] = {
        {"wider than the side limit", withSize(16385, 8)},
        {"taller than the side limit", withSize(8, 16385)},
        {"sides fit, pixel bytes over the limit", withSize(16384, 4097)},  // 4 * 16384 * 4097 > 256 MiB
        {"both sides 2^32 - 1", withSize(0xFFFFFFFF, 0xFFFFFFFF)},
        {"no width", withSize(0, 8)},
        {"17-bit samples", withComponent(0, 16, 1)},
        {"chroma at half width", withComponent(1, 7, 2)},
        {"five components", HandCodestream(8, 8, {{8}, {8}, {8}, {8}, {8}})},
        {"signature, then garbage", garbageJp2},
        {"codestream markers, then garbage", garbageJ2k},
        {"signature alone", JP2_SIGNATURE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StderrCapture capture(dir.File("stderr.txt"));
        const Decoded decoded = Decode(c.data);
        EXPECT_EQ(capture.Text(), "");
        EXPECT_FALSE(decoded.ok);
        EXPECT_TRUE(decoded.pixels.empty());
    }
}

// ---- Pillow as encoder and decoder ---------------------------------------------

// Samples handed to Pillow's encoder, in Pillow's byte layout for the mode.
struct PillowPicture {
    std::string name;
    std::string mode;  // L, LA, RGB, RGBA, I;16
    int width;
    int height;
    Bytes samples;
};

int BytesPerPixel(const std::string& mode)
{
    if (mode == "L")
        return 1;
    if (mode == "LA" || mode == "I;16")
        return 2;
    return mode == "RGB" ? 3 : 4;
}

// What the decoder should give for the samples: grey copied to R, G and B,
// opaque when there is no alpha; 16-bit grey (little-endian) keeps its high byte.
std::vector<std::uint32_t> ExpectedWords(const PillowPicture& picture)
{
    const int step = BytesPerPixel(picture.mode);
    std::vector<std::uint32_t> words;
    for (std::size_t i = 0; i + step <= picture.samples.size(); i += step) {
        const std::uint8_t* p = picture.samples.data() + i;
        std::uint32_t word = 0;
        if (picture.mode == "L")
            word = 0xFF000000u | p[0] * 0x010101u;
        else if (picture.mode == "LA")
            word = std::uint32_t{p[1]} << 24 | p[0] * 0x010101u;
        else if (picture.mode == "I;16")
            word = 0xFF000000u | p[1] * 0x010101u;
        else if (picture.mode == "RGB")
            word = 0xFF000000u | std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
        else
            word = std::uint32_t{p[3]} << 24 | std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
        words.push_back(word);
    }
    return words;
}

// Saves each picture through Pillow as <name>.jp2 and <name>.j2k, losslessly
// with Pillow's defaults, and as <name>-lossy.jp2 with the irreversible
// filter, 16x16 tiles and the colour transform where there is colour.
void SaveWithPillow(const TempDir& dir, const std::vector<PillowPicture>& pictures)
{
    std::ofstream manifest(dir.File("manifest.txt"));
    for (const PillowPicture& picture : pictures) {
        WriteFileBytes(dir.File(picture.name + ".raw"), picture.samples);
        manifest << picture.name << ' ' << picture.mode << ' ' << picture.width << ' ' << picture.height << '\n';
    }
    manifest.close();
    std::ofstream script(dir.File("encode.py"));
    script << "import os, sys\n"
              "from PIL import Image\n"
              "d = sys.argv[1]\n"
              "for line in open(os.path.join(d, 'manifest.txt')):\n"
              "    name, mode, w, h = line.split()\n"
              "    raw = open(os.path.join(d, name + '.raw'), 'rb').read()\n"
              "    im = Image.frombytes(mode, (int(w), int(h)), raw)\n"
              "    im.save(os.path.join(d, name + '.jp2'))\n"
              "    im.save(os.path.join(d, name + '.j2k'))\n"
              "    im.save(os.path.join(d, name + '-lossy.jp2'), irreversible=True, tile_size=(16, 16),\n"
              "            mct=1 if mode in ('RGB', 'RGBA') else 0)\n";
    script.close();
    ASSERT_EQ(RunCommand("/usr/bin/python3 " + dir.File("encode.py") + " " + dir.Path()), 0);
}

// Decodes each listed file with Pillow into <file>.rgba (16-bit grey by its
// high bytes, where Pillow's own conversion would clip); for a picture over
// the runtime's limits (which Pillow would refuse as a bomb) it writes only
// its size, "width height", into <file>.size.
void DecodeWithPillow(const TempDir& dir, const std::vector<std::string>& files)
{
    std::ofstream list(dir.File("decode.txt"));
    for (const std::string& file : files)
        list << file << '\n';
    list.close();
    std::ofstream script(dir.File("decode.py"));
    script << "import sys\n"
              "from PIL import Image\n"
              "Image.MAX_IMAGE_PIXELS = None\n"
              "for path in open(sys.argv[1]).read().split():\n"
              "    im = Image.open(path)\n"
              "    w, h = im.size\n"
              "    if w > " << rt::HOST_IMAGE_MAX_SIDE << " or h > " << rt::HOST_IMAGE_MAX_SIDE
           << " or w * h * 4 > " << rt::HOST_IMAGE_MAX_BYTES << ":\n"
              "        open(path + '.size', 'w').write('%d %d' % (w, h))\n"
              "        continue\n"
              "    if im.mode == 'I;16':\n"
              "        rgba = b''.join(bytes((g, g, g, 255)) for g in im.tobytes()[1::2])\n"
              "    else:\n"
              "        rgba = im.convert('RGBA').tobytes()\n"
              "    open(path + '.rgba', 'wb').write(rgba)\n";
    script.close();
    ASSERT_EQ(RunCommand("/usr/bin/python3 " + dir.File("decode.py") + " " + dir.File("decode.txt")), 0);
}

Bytes RandomBytes(std::size_t count, std::uint32_t seed)
{
    std::mt19937 random(seed);
    Bytes out(count);
    for (auto& byte : out)
        byte = static_cast<std::uint8_t>(random());
    return out;
}

TEST(Jpeg2000Oracle, PillowSavesDecodeToTheirSamples)
{
    TempDir dir;
    std::vector<PillowPicture> pictures;
    const struct {
        int width, height;
    } sizes[] = {{1, 1}, {7, 5}, {33, 17}};
    std::uint32_t seed = 1;
    for (const auto& size : sizes) {
        for (const char* mode : {"L", "LA", "RGB", "RGBA", "I;16"}) {
            PillowPicture picture;
            picture.mode = mode;
            picture.name = std::string(mode == std::string("I;16") ? "I16" : mode) + "-" + std::to_string(size.width) +
                           "x" + std::to_string(size.height);
            picture.width = size.width;
            picture.height = size.height;
            picture.samples = RandomBytes(static_cast<std::size_t>(size.width) * size.height * BytesPerPixel(mode), seed++);
            pictures.push_back(picture);
        }
    }
    SaveWithPillow(dir, pictures);
    std::vector<std::string> lossy;
    for (const PillowPicture& picture : pictures)
        lossy.push_back(dir.File(picture.name + "-lossy.jp2"));
    DecodeWithPillow(dir, lossy);

    for (const PillowPicture& picture : pictures) {
        SCOPED_TRACE(picture.name);
        for (const char* extension : {".jp2", ".j2k"}) {
            SCOPED_TRACE(extension);
            const Decoded decoded = Decode(ReadFileBytes(dir.File(picture.name + extension)));
            ASSERT_TRUE(decoded.ok);
            EXPECT_EQ(decoded.width, picture.width);
            EXPECT_EQ(decoded.height, picture.height);
            EXPECT_EQ(decoded.pixels, ExpectedWords(picture));
        }
        // Lossy: the samples have moved, so Pillow's decode is the judge.
        const std::string lossyPath = dir.File(picture.name + "-lossy.jp2");
        const Decoded decoded = Decode(ReadFileBytes(lossyPath));
        ASSERT_TRUE(decoded.ok);
        EXPECT_EQ(decoded.pixels, RgbaToWords(ReadFileBytes(lossyPath + ".rgba")));
    }
}

TEST(Jpeg2000Oracle, TruncatedFilesAreRefused)
{
    TempDir dir;
    PillowPicture picture{"RGBA-9x7", "RGBA", 9, 7, RandomBytes(9 * 7 * 4, 77)};
    SaveWithPillow(dir, {picture});
    for (const char* extension : {".jp2", ".j2k"}) {
        SCOPED_TRACE(extension);
        const Bytes whole = ReadFileBytes(dir.File(picture.name + extension));
        ASSERT_TRUE(Decode(whole).ok);
        // Every cut loses at least the end-of-codestream marker.
        StderrCapture capture(dir.File("stderr.txt"));
        std::size_t accepted = 0;
        for (std::size_t size = 0; size < whole.size(); ++size) {
            const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
            if (Decode(cut).ok) {
                ++accepted;
                ADD_FAILURE() << "accepted at " << size << " of " << whole.size() << " bytes";
            }
        }
        EXPECT_EQ(capture.Text(), "");
        EXPECT_EQ(accepted, 0u);
    }
}

TEST(Jpeg2000Oracle, YccPicturesAreRefused)
{
    // Pillow writes a YCbCr picture as a JP2 file whose colour box says sYCC.
    TempDir dir;
    SaveWithPillow(dir, {{"ycc", "YCbCr", 4, 4, RandomBytes(4 * 4 * 3, 5)}});
    const Bytes data = ReadFileBytes(dir.File("ycc.jp2"));
    ASSERT_TRUE(StartsWith(data, JP2_SIGNATURE));
    EXPECT_FALSE(Decode(data).ok);
}

// ---- Icon files from the corpus -------------------------------------------------

struct IcnsEntry {
    std::string label;  // file and entry type
    Bytes data;
};

// The JP2 entries of every icon family file in the macOS corpus. An icon
// family: 'icns', 4-byte big-endian file length, then entries of a 4-byte
// type and a 4-byte big-endian length counting their 8-byte header. The walk
// stops at an entry that does not fit.
std::vector<IcnsEntry> CorpusJp2Entries()
{
    std::vector<std::string> names;
    if (DIR* directory = opendir(MACOS_CORPUS.c_str())) {
        while (const dirent* item = readdir(directory)) {
            const std::string name = item->d_name;
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".icns") == 0)
                names.push_back(name);
        }
        closedir(directory);
    }
    std::sort(names.begin(), names.end());
    std::vector<IcnsEntry> entries;
    for (const std::string& name : names) {
        const Bytes file = ReadFileBytes(MACOS_CORPUS + "/" + name);
        std::size_t offset = 8;
        while (file.size() >= 8 && offset <= file.size() - 8) {
            const std::uint32_t length = ReadBE32(file, offset + 4);
            if (length < 8 || length > file.size() - offset)
                break;
            const Bytes data(file.begin() + static_cast<std::ptrdiff_t>(offset + 8),
                             file.begin() + static_cast<std::ptrdiff_t>(offset + length));
            if (StartsWith(data, JP2_SIGNATURE))
                entries.push_back({name + " " + std::string(file.begin() + static_cast<std::ptrdiff_t>(offset),
                                                            file.begin() + static_cast<std::ptrdiff_t>(offset + 4)),
                                   data});
            offset += length;
        }
    }
    return entries;
}

TEST(Jpeg2000Oracle, CorpusIconEntriesMatchPillow)
{
    const std::vector<IcnsEntry> entries = CorpusJp2Entries();
    // adium-adium ic08 and ic09, rsicns-ic12 ic12, tk-tk ic08 and ic09, and
    // the damaged pillow-oom ic08 at least.
    ASSERT_GE(entries.size(), 6u);
    TempDir dir;
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        paths.push_back(dir.File("entry" + std::to_string(i) + ".jp2"));
        WriteFileBytes(paths.back(), entries[i].data);
    }
    DecodeWithPillow(dir, paths);

    std::size_t compared = 0, refused = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(entries[i].label);
        StderrCapture capture(dir.File("stderr.txt"));
        const Decoded decoded = Decode(entries[i].data);
        EXPECT_EQ(capture.Text(), "");
        std::ifstream size(paths[i] + ".size");
        if (size) {
            // Pillow reads a header over the limits: the runtime refuses it.
            std::uint64_t width = 0, height = 0;
            size >> width >> height;
            SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
            EXPECT_FALSE(decoded.ok);
            ++refused;
            continue;
        }
        ASSERT_TRUE(decoded.ok);
        const auto expected = RgbaToWords(ReadFileBytes(paths[i] + ".rgba"));
        EXPECT_EQ(static_cast<std::size_t>(decoded.width) * decoded.height, expected.size());
        EXPECT_EQ(decoded.pixels, expected);
        ++compared;
    }
    EXPECT_GE(compared, 5u);
    EXPECT_GE(refused, 1u);
}

TEST(Jpeg2000Oracle, HostLoadImageSniffsJpeg2000BehindTheBinHint)
{
    std::vector<IcnsEntry> entries = CorpusJp2Entries();
    const auto ic12 = std::find_if(entries.begin(), entries.end(),
                                   [](const IcnsEntry& e) { return e.label == "rsicns-ic12.icns ic12"; });
    ASSERT_NE(ic12, entries.end());
    TempDir dir;
    const std::string path = dir.File("ic12.jp2");
    WriteFileBytes(path, ic12->data);
    DecodeWithPillow(dir, {path});
    const auto expected = RgbaToWords(ReadFileBytes(path + ".rgba"));

    // The codestream inside the file, bare, is sniffed too.
    const Bytes codestream = HandCodestream(3, 2, {{8}, {8}, {8}, {1}});
    const struct {
        const char* name;
        const Bytes* data;
        std::int32_t width, height;
        std::vector<std::uint32_t> pixels;
    } cases[] = {
        {"JP2 icon entry", &ic12->data, 64, 64, expected},
        {"bare codestream", &codestream, 3, 2, std::vector<std::uint32_t>(6, 0xFF808080)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::int64_t liveBefore = rt::LiveImages();
        const std::string name = rt::RegisterMemFile(c.data->data(), c.data->size(), "bin");
        std::int32_t width = -1, height = -1;
        HostImage* image = TesselHostLoadImage(name.c_str(), nullptr, &width, &height, 0);
        rt::ClearCallMemFiles();
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(rt::LiveImages(), liveBefore + 1);
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(height, c.height);
        const std::uint32_t* words = TesselHostGetImagePixels(image);
        ASSERT_NE(words, nullptr);
        EXPECT_EQ(std::vector<std::uint32_t>(words, words + static_cast<std::size_t>(width) * height), c.pixels);
        TesselHostFreeImage(image);
        EXPECT_EQ(rt::LiveImages(), liveBefore);
    }

    // A damaged copy of the entry fails the load as a whole.
    Bytes damaged(ic12->data.begin(), ic12->data.begin() + static_cast<std::ptrdiff_t>(ic12->data.size() / 2));
    const std::string name = rt::RegisterMemFile(damaged.data(), damaged.size(), "bin");
    std::int32_t width = -1, height = -1;
    EXPECT_EQ(TesselHostLoadImage(name.c_str(), nullptr, &width, &height, 0), nullptr);
    rt::ClearCallMemFiles();
    EXPECT_EQ(width, -1);
    EXPECT_EQ(height, -1);
}

}  // namespace
