// NewIcons decoding: lines built by hand from the character tables, damaged
// lines, allocation failures, and the images of real icons.
#include "formats/amiga/amiga_icon.h"
#include "host/host_calls.h"
#include "plugin/entry_points.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

namespace rt = tessel::runtime;
using tessel::test::Bytes;

std::string Chars(std::initializer_list<int> codes)
{
    std::string text;
    for (int c : codes)
        text += static_cast<char>(c);
    return text;
}

// The 2x2 two-colour image worked out by hand in TwoByTwoTwoColoursByHand.
const std::string HAND_IM1 = "IM1=B##!#" + Chars({0xD0, 0x60, 0x30, 0x21, 0x31, 0xA2, 0x4C});
const std::string HAND_IM2 = "IM2=C##!#" + Chars({0xD3, 0x2F, 0xD0, 0xD0, 0xCF});

// A tooltype block in a host block of exactly its size, so that a read past
// its end is an AddressSanitizer report. Each line gets its NUL; closed adds
// the empty line that ends a block; lastLineCut drops the last line's NUL.
class ToolTypeBlock {
public:
    explicit ToolTypeBlock(const std::vector<std::string>& lines, bool closed = true, bool lastLineCut = false)
    {
        std::string bytes;
        for (const std::string& line : lines) {
            starts_.push_back(bytes.size());
            bytes += line + '\0';
        }
        if (lastLineCut)
            bytes.pop_back();
        if (closed)
            bytes += '\0';
        size_ = bytes.size();
        data_ = static_cast<char*>(HostAllocMem(size_, 0, "tooltypes"));
        std::memcpy(data_, bytes.data(), size_);
    }
    ~ToolTypeBlock() { HostFreeMem(data_); }
    ToolTypeBlock(const ToolTypeBlock&) = delete;
    ToolTypeBlock& operator=(const ToolTypeBlock&) = delete;

    const char* Line(std::size_t i) const { return data_ + starts_.at(i); }
    const char* End() const { return data_ + size_; }

private:
    std::vector<std::size_t> starts_;
    std::size_t size_ = 0;
    char* data_ = nullptr;
};

// One call of the decoder on a fresh handle, released with FreeIcon.
struct Decoded {
    Decoded(const ToolTypeBlock& block, const char* im1Line, const char* im2Line)
    {
        icon = static_cast<IconHandle*>(HostAllocMem(sizeof(IconHandle), 1, "iconinfo"));
        result = DecodeNewIcons(icon, &tail, im1Line, im2Line, block.End(), &im1);
    }
    ~Decoded() { FreeIcon(icon); }
    Decoded(const Decoded&) = delete;
    Decoded& operator=(const Decoded&) = delete;

    int Count() const
    {
        int n = 0;
        for (IconImage* image = icon->images; image; image = image->next)
            ++n;
        return n;
    }
    static Bytes Pixels(const IconImage* image)
    {
        return Bytes(image->pixels, image->pixels + image->width * image->height);
    }

    IconHandle* icon = nullptr;
    IconImage* tail = nullptr;
    IconImage* im1 = nullptr;
    int result = -1;
};

class NewIconsDecoder : public testing::Test {
protected:
    void SetUp() override { SetHostApi(rt::GetHostApi()); }
    void TearDown() override { EXPECT_EQ(rt::LiveBlocks(), 0) << "blocks left behind"; }
};

TEST(NewIconsTables, BitsForColoursAndCountColours)
{
    const struct { std::int32_t colours; int bits; } table[] = {
        {0, 1}, {1, 1}, {2, 1}, {3, 2}, {4, 2}, {5, 3}, {16, 4}, {17, 5}, {32, 5}, {33, 6},
        {128, 7}, {129, 8}, {256, 8}, {257, 9}, {14430, 9},
    };
    for (auto row : table)
        EXPECT_EQ(BitsForColours(row.colours), row.bits) << row.colours << " colours";
    const std::uint8_t pixels[] = {3, 0, 7, 2, 255};
    EXPECT_EQ(CountColours(pixels, 4), 8);
    EXPECT_EQ(CountColours(pixels, 5), 256);
    EXPECT_EQ(CountColours(nullptr, 0), 1);
}

TEST_F(NewIconsDecoder, TwoByTwoTwoColoursByHand)
{
    // IM1 header: "B" (entry 0 transparent), width 2 + 33 = '#', height '#',
    // colours 2 = ('!' - 33) * 64 + ('#' - 33). Palette FF 00 80, 12 34 56 as
    // 48 bits in seven groups, the last padded with a 0 bit:
    //   1111111 1000000 0010000 0000001 0010001 1010001 0101100
    //   127     64      16      1       17      81      44
    //   0xD0    0x60    0x30    0x21    0x31    0xA2    0x4C   (to 79: +0x20, from 80: +0x51)
    // Pixels, one bit each, rows 1 0 / 0 1: 1001 + three 0 bits = 72 = 'h'.
    // IM2: "C", palette 00 00 00, FF FF FF:
    //   0000000 0000000 0000000 0001111 1111111 1111111 1111110
    //   three 0 groups = 0xD3,  15 = 0x2F, 127 = 0xD0, 0xD0, 126 = 0xCF.
    // Pixels 0 1 / 1 0: 0110 000 = 48 = 'P'.
    ToolTypeBlock block({"TOOL=1", HAND_IM1, "IM1=h", HAND_IM2, "IM2=P"});
    Decoded d(block, block.Line(1), block.Line(3));
    ASSERT_EQ(d.result, 1);
    ASSERT_EQ(d.Count(), 2);
    IconImage* normal = d.icon->images;
    IconImage* selected = normal->next;
    EXPECT_EQ(d.im1, normal);
    EXPECT_EQ(d.tail, selected);

    EXPECT_EQ(normal->width, 2);
    EXPECT_EQ(normal->height, 2);
    EXPECT_EQ(normal->depth, 1);
    EXPECT_EQ(normal->transparentPen, 0);
    EXPECT_EQ(normal->flags & IMAGEFLAG_SELECTED, 0u);
    EXPECT_EQ(Decoded::Pixels(normal), (Bytes{1, 0, 0, 1}));
    EXPECT_EQ(normal->palette[0], 0xFF0080u);
    EXPECT_EQ(normal->palette[1], 0x123456u);
    EXPECT_EQ(normal->palette[2], 0u);

    EXPECT_EQ(selected->transparentPen, -1);
    EXPECT_EQ(selected->flags & IMAGEFLAG_SELECTED, IMAGEFLAG_SELECTED);
    EXPECT_EQ(Decoded::Pixels(selected), (Bytes{0, 1, 1, 0}));
    EXPECT_EQ(selected->palette[0], 0x000000u);
    EXPECT_EQ(selected->palette[1], 0xFFFFFFu);
}

TEST_F(NewIconsDecoder, LineBreaksAndWideValues)
{
    // 2x2, 3 colours ('!' '$'): 2 bits a pixel. Palette 9 zero bytes = 72 bits,
    // eleven 0 groups = 0xDB. Pixels 3 2 1 2: the first line holds 11 10 01 and
    // one bit left over, set here: 1110011 = 115 -> 0xC4. That bit is dropped,
    // so the next line restarts with 10: 1000000 = 64 -> '`'.
    ToolTypeBlock cut({"IM1=C##!$" + Chars({0xDB}), "IM1=" + Chars({0xC4}), "IM1=`"});
    Decoded twoBits(cut, cut.Line(0), nullptr);
    ASSERT_EQ(twoBits.Count(), 1);
    EXPECT_EQ(twoBits.im1->depth, 2);
    EXPECT_EQ(Decoded::Pixels(twoBits.im1), (Bytes{3, 2, 1, 2}));

    // 1x1, 257 colours ('"' 0xE2): 9 bits a pixel, kept as the low 8. Palette
    // 771 zero bytes = 6,168 bits, 882 groups = 18 x 47 (0xFF) + 36 (0xF4).
    // Pixel 0x1AB: 1101010 11.. -> 106, 96 -> 0xBB 0xB1.
    ToolTypeBlock nine({"IM1=B\"\"\"" + Chars({0xE2}) + std::string(18, '\xFF') + Chars({0xF4}),
                        "IM1=" + Chars({0xBB, 0xB1})});
    Decoded nineBits(nine, nine.Line(0), nullptr);
    ASSERT_EQ(nineBits.Count(), 1);
    EXPECT_EQ(nineBits.im1->depth, 8);
    EXPECT_EQ(Decoded::Pixels(nineBits.im1), (Bytes{0xAB}));
}

TEST_F(NewIconsDecoder, HeaderCharacters)
{
    // Headers alone: the data runs out at once and every pixel stays 0. Each
    // is followed by a sound IM2 header, made only when IM1 is.
    const struct {
        std::string line;
        std::int32_t width, height, depth, pen;   // width 0: no image
    } table[] = {
        {"IM1=C##!#", 2, 2, 1, -1},
        {"IM1=x##!#", 2, 2, 1, -1},                              // anything but "B": opaque
        {"IM1=B##!1", 2, 2, 4, 0},                               // 16 colours
        {"IM1=B##!A", 2, 2, 5, 0},                               // 32
        {"IM1=B##\"" + Chars({0xE1}), 2, 2, 8, 0},               // 256
        {"IM1=B##!!", 2, 2, 1, 0},                               // 0 colours: still 1 bit
        {"IM1=B" + Chars({0xFF, 0xFF, 0xFF, 0xFF}), 222, 222, 8, 0},   // read as unsigned bytes
        {"IM1=B \"!#", 0, 0, 0, 0},                              // width -1
        {"IM1=B#!!#", 0, 0, 0, 0},                               // height 0
        {"IM1=B##!" + Chars({0x20}), 0, 0, 0, 0},                // colours -1
        {"IM1=B##!", 0, 0, 0, 0},                                // 8 characters
        {"IM1=B", 0, 0, 0, 0},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::PrintToString(row.line));
        ToolTypeBlock block({row.line, row.width ? "IM2=B" + row.line.substr(5) : "IM2=B##!#"});
        Decoded d(block, block.Line(0), block.Line(1));
        EXPECT_EQ(d.result, 1);
        if (!row.width) {
            EXPECT_EQ(d.Count(), 0);
            EXPECT_EQ(d.im1, nullptr);
            continue;
        }
        ASSERT_EQ(d.Count(), 2);
        EXPECT_EQ(d.im1->width, row.width);
        EXPECT_EQ(d.im1->height, row.height);
        EXPECT_EQ(d.im1->depth, row.depth);
        EXPECT_EQ(d.im1->transparentPen, row.pen);
        EXPECT_EQ(CountColours(d.im1->pixels, std::uint64_t(row.width) * row.height), 1);
    }
}

TEST_F(NewIconsDecoder, DamageEndsTheDataNotTheLoad)
{
    const struct {
        const char* what;
        std::vector<std::string> lines;
    } cases[] = {
        {"no pixel line", {HAND_IM1}},
        {"the next line is another image's", {HAND_IM1, "IM2=h"}},
        {"a line without data", {HAND_IM1, "IM1=", "IM1=h"}},
        {"an ordinary tooltype", {HAND_IM1, "DONOTWAIT", "IM1=h"}},
        {"the block's empty line", {HAND_IM1, "", "IM1=h"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ToolTypeBlock block(c.lines);
        Decoded d(block, block.Line(0), nullptr);
        EXPECT_EQ(d.result, 1);
        ASSERT_EQ(d.Count(), 1);
        EXPECT_EQ(Decoded::Pixels(d.im1), (Bytes{0, 0, 0, 0}));
        EXPECT_EQ(d.im1->palette[1], 0x123456u);
    }
    // A selected image of another size, or with a damaged header, is left out.
    ToolTypeBlock block({HAND_IM1, "IM2=B$#!#", "IM2=B#$!#", "IM2=B#"});
    for (std::size_t line : {1, 2, 3}) {
        Decoded d(block, block.Line(0), block.Line(line));
        EXPECT_EQ(d.result, 1);
        EXPECT_EQ(d.Count(), 1) << "IM2 on line " << line;
        EXPECT_EQ(d.tail, d.im1);
    }
}

TEST_F(NewIconsDecoder, HostileCharactersStayQuiet)
{
    // 0x9F gives the group 127, all ones: 93x93 with 257 colours decodes to
    // a white palette and 9-bit pixels of which the low 8 bits are 0xFF.
    const std::string ones(124, '\x9F');
    std::vector<std::string> lines = {"IM1=B~~\"" + Chars({0xE2}) + ones.substr(0, 119)};
    lines.resize(201, "IM1=" + ones);
    ToolTypeBlock block(lines);
    Decoded white(block, block.Line(0), nullptr);
    ASSERT_EQ(white.Count(), 1);
    Bytes pixels = Decoded::Pixels(white.im1);
    EXPECT_EQ(std::count(pixels.begin(), pixels.end(), 0xFF), 93 * 93);
    EXPECT_EQ(white.im1->palette[255], 0xFFFFFFu);

    // 128-character lines cycling through 0x7F..0x9F and the control
    // characters, whose groups of 224 and more carry junk bits. The values do
    // not matter; the arithmetic must stay defined (UBSan watches) and every
    // value must fit its width.
    std::string high, low;
    for (int i = 0; i < 124; ++i) {
        high += static_cast<char>(0x7F + i % 33);
        low += static_cast<char>(0x01 + i % 31);
    }
    const struct { std::string colours; int depth; } widths[] = {
        {"!#", 1}, {"!" + Chars({33 + 128}), 7}, {"\"" + Chars({0xE2}), 8},
    };
    for (const auto& width : widths) {
        std::vector<std::string> junk = {"IM1=C~~" + width.colours + high.substr(0, 119)};
        for (int i = 0; i < 100; ++i)
            junk.push_back("IM1=" + (i % 2 ? high : low));
        ToolTypeBlock hostile(junk);
        Decoded d(hostile, hostile.Line(0), nullptr);
        ASSERT_EQ(d.Count(), 1);
        EXPECT_EQ(d.im1->depth, width.depth);
        EXPECT_LE(CountColours(d.im1->pixels, 93 * 93), 1 << width.depth);
    }
}

TEST_F(NewIconsDecoder, NeverReadsAtOrPastBlockEnd)
{
    // Built with -DTESSEL_SANITIZE=ON, a read past a block is a report. 3x3
    // with the hand-made palette: 'h' = 1001000 holds 7 of the 9 pixels, so
    // the decoder looks for another line and finds the block's end.
    const std::string head = "IM1=B$$!#" + HAND_IM1.substr(9);
    const Bytes sevenOfNine = {1, 0, 0, 1, 0, 0, 0, 0, 0};
    for (bool lastLineCut : {false, true}) {
        // No empty line closes the block; the last line ends at its NUL or
        // at the block's end, and its characters up to there still count.
        ToolTypeBlock block({head, "IM1=h"}, false, lastLineCut);
        Decoded d(block, block.Line(0), nullptr);
        ASSERT_EQ(d.Count(), 1);
        EXPECT_EQ(Decoded::Pixels(d.im1), sevenOfNine);
        EXPECT_EQ(d.im1->palette[1], 0x123456u);
    }
    {
        // The palette cut by the block's end after three groups: FF 00 decoded.
        ToolTypeBlock block({head.substr(0, 12)}, false, true);
        Decoded d(block, block.Line(0), nullptr);
        ASSERT_EQ(d.Count(), 1);
        EXPECT_EQ(d.im1->palette[0], 0xFF0000u);
    }
    for (std::size_t length : {5u, 8u}) {
        // A header cut by the block's end before its ninth character.
        ToolTypeBlock block({head.substr(0, length)}, false, true);
        Decoded d(block, block.Line(0), block.Line(0));
        EXPECT_EQ(d.result, 1);
        EXPECT_EQ(d.Count(), 0) << length;
    }
}

TEST_F(NewIconsDecoder, EveryAllocationFailureFailsTheDecode)
{
    ToolTypeBlock block({HAND_IM1, "IM1=h", HAND_IM2, "IM2=P"});
    std::uint64_t failures = tessel::test::SweepAllocationFailures([&] {
        auto* icon = static_cast<IconHandle*>(HostAllocMem(sizeof(IconHandle), 1, "iconinfo"));
        if (!icon)
            return false;
        IconImage* tail = nullptr;
        IconImage* im1 = nullptr;
        int result = DecodeNewIcons(icon, &tail, block.Line(0), block.Line(2), block.End(), &im1);
        bool complete = result == 1 && im1 && im1 == icon->images && im1->next == tail && tail &&
                        tail->pixels[1] == 1 && tail->palette[1] == 0xFFFFFFu;
        EXPECT_TRUE(result == 0 || complete);
        FreeIcon(icon);
        return result == 1;
    });
    // The handle, then for each image its record, pixels, palette and scratch.
    EXPECT_EQ(failures, 9u);
}

// ---- Real icons -------------------------------------------------------------

// The tooltype texts of a DiskObject file, without their NULs: skips the
// header, drawer data, image headers and planes and the default tool.
std::vector<std::string> ToolTypeLines(const Bytes& file)
{
    auto be16 = [&](std::size_t at) { return std::uint32_t(file.at(at)) << 8 | file.at(at + 1); };
    auto be32 = [&](std::size_t at) { return be16(at) << 16 | be16(at + 2); };
    std::size_t at = 78 + (be32(66) ? 56 : 0);
    for (int i = 0; i < (be32(26) ? 2 : 1); ++i) {
        std::uint32_t width = be16(at + 4), height = be16(at + 6), depth = be16(at + 8);
        at += 20 + std::size_t(depth) * height * (((width + 15) >> 3) & 0xFFFE);
    }
    if (be32(50))
        at += 4 + be32(at);
    std::vector<std::string> lines;
    std::uint32_t entries = be32(54) ? be32(at) / 4 - 1 : 0;
    for (at += 4; lines.size() < entries && be32(at) > 0 && at + 4 + be32(at) <= file.size(); at += 4 + be32(at))
        lines.emplace_back(reinterpret_cast<const char*>(&file[at + 4]), be32(at) - 1);
    return lines;
}

// FNV-1a over the pixels, then the palette's red, green, blue bytes.
std::uint64_t Checksum(const IconImage* image)
{
    std::uint64_t hash = 0xCBF29CE484222325ull;
    auto mix = [&](std::uint8_t byte) { hash = (hash ^ byte) * 0x100000001B3ull; };
    for (int i = 0; i < image->width * image->height; ++i)
        mix(image->pixels[i]);
    for (int i = 0; i < 256; ++i)
        for (int shift : {16, 8, 0})
            mix(static_cast<std::uint8_t>(image->palette[i] >> shift));
    return hash;
}

// With TESSEL_NEWICONS_PNG_DIR set, the decoded images are written there as
// PNGs to be looked at; the transparent pen gets alpha 0.
void DumpPng(const IconImage* image, const std::string& name)
{
    const char* dir = std::getenv("TESSEL_NEWICONS_PNG_DIR");
    if (!dir)
        return;
    std::vector<std::uint32_t> argb;
    for (int i = 0; i < image->width * image->height; ++i) {
        std::uint8_t pen = image->pixels[i];
        argb.push_back(pen == image->transparentPen ? 0u : 0xFF000000u | image->palette[pen]);
    }
    std::vector<std::uint8_t> png;
    ASSERT_TRUE(rt::EncodePng(argb.data(), image->width, image->height, png));
    tessel::test::WriteFileBytes(std::string(dir) + "/" + name + ".png", Bytes(png.begin(), png.end()));
}

TEST_F(NewIconsDecoder, RealIcons)
{
    // Size, colours and "B"/"C" of the normal image as the corpus list
    // (SOURCES.tsv) records them; each file has an IM2 image too. The
    // checksums are of the images as decoded here, each written as a PNG,
    // enlarged and looked at first: every one is a clean picture (disks,
    // drawers, plugs, books, a game scene) and every selected image is its
    // normal image pressed or opened. hst-hstwb-newicon's selected palette is
    // all 0x20 characters, black in the file itself; drawn with the normal
    // palette its pixels show the opened drawer.
    const struct {
        const char* file;
        std::int32_t width, height, colours;
        bool transparent;
        std::uint64_t normal, selected;
    } icons[] = {
        {"aros-format.info", 36, 40, 7, true, 0x310600662aa6ed78, 0xd1aad7663171b315},
        {"aros-getaudioid.info", 37, 41, 63, false, 0xc5b24c7ba6b8e071, 0xa7fca652f367a66c},
        {"aros-install.info", 36, 40, 10, true, 0x4259faf920324447, 0x553de67821f2ec40},
        {"aros-makelink.info", 16, 15, 3, true, 0xddd7f9b282d1bc0a, 0xddd7f9b282d1bc0a},
        {"aros-rename.info", 38, 38, 68, true, 0xc8f0becfe2612add, 0xb633f37d624e893e},
        {"dockbot-install.info", 64, 30, 16, false, 0xdc90d74221356878, 0xdb31982917d9b963},
        {"hst-ghostsngoblins.info", 90, 90, 256, true, 0x957be9b344bd07a2, 0x4a83a6e2879267a5},
        {"hst-hstwb-newicon.info", 56, 15, 8, false, 0x5cc6f7b1c8d58161, 0xaaef592615c3e6fd},
        {"hst-prefs-newicon.info", 36, 40, 20, true, 0x7279b3d812f2e136, 0x32ba610979dc0b7b},
        {"ppt-developer.doc.info", 36, 40, 10, true, 0x0bdf9213b1403570, 0xa912acd1680a72f4},
        {"sfx-form.info", 36, 23, 8, true, 0xf6721ba64318c507, 0xf691dec2184e2445},
        {"sfx-sfx.pdf.info", 35, 40, 25, true, 0x20ca93adc2c34238, 0x7fcdec676de7f08e},
        {"yam-empty.info", 36, 43, 255, false, 0x58404479b7f3e4da, 0x215c76577ccc5bb2},
        {"yam-marco_musso-empty.info", 46, 41, 254, false, 0x4fc3665701495869, 0x4fc3665701495869},
    };
    for (const auto& expected : icons) {
        SCOPED_TRACE(expected.file);
        std::string path = std::string(TESSEL_CORPUS_DIR) + "/amiga/" + expected.file;
        std::vector<std::string> lines = ToolTypeLines(tessel::test::ReadFileBytes(path));
        std::vector<std::size_t> first;   // the first IM1 line, then the first IM2 line
        for (const char* prefix : {"IM1=", "IM2="}) {
            auto found = std::find_if(lines.begin(), lines.end(),
                                      [&](const std::string& line) { return line.starts_with(prefix); });
            ASSERT_NE(found, lines.end()) << prefix;
            ASSERT_GE(found->size(), 9u);
            first.push_back(std::size_t(found - lines.begin()));
        }
        ToolTypeBlock block(lines);
        Decoded d(block, block.Line(first[0]), block.Line(first[1]));
        ASSERT_EQ(d.result, 1);
        ASSERT_EQ(d.Count(), 2);
        EXPECT_EQ(d.im1->transparentPen, expected.transparent ? 0 : -1);
        const IconImage* images[] = {d.im1, d.im1->next};
        const std::uint64_t checksums[] = {expected.normal, expected.selected};
        for (int i = 0; i < 2; ++i) {
            // Each image's colour count from its own header characters.
            const std::string& head = lines[first[std::size_t(i)]];
            std::int32_t colours = (std::uint8_t(head[7]) - 33) * 64 + (std::uint8_t(head[8]) - 33);
            if (i == 0) {
                EXPECT_EQ(colours, expected.colours);
            }
            EXPECT_EQ(images[i]->width, expected.width);
            EXPECT_EQ(images[i]->height, expected.height);
            EXPECT_EQ(images[i]->depth, BitsForColours(colours));
            // Every pixel names one of the image's colours.
            EXPECT_LE(CountColours(images[i]->pixels, std::uint64_t(expected.width) * expected.height), colours);
            EXPECT_EQ(Checksum(images[i]), checksums[i]);
            DumpPng(images[i], std::string(expected.file) + (i ? "-im2" : "-im1"));
        }
    }
}

}  // namespace
