// NewIcons encoding: characters and records written out by hand from the
// character tables, line breaks, round trips through the decoder, the
// transparent pen and the selected twin, allocation failures, and the lines
// of real icons written again.
#include "formats/amiga/amiga_icon.h"
#include "host/host_calls.h"
#include "plugin/entry_points.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <random>
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

// The bytes a writer puts in a fresh file.
Bytes Written(const std::function<void(HostFile*)>& write)
{
    tessel::test::TempDir dir;
    std::string path = dir.File("lines.bin");
    HostFile* file = HostOpen(path.c_str(), HOST_MODE_WRITE);
    EXPECT_NE(file, nullptr);
    if (!file)
        return {};
    write(file);
    EXPECT_EQ(HostClose(file), 0);
    return tessel::test::ReadFileBytes(path);
}

// Splits tooltype records (32-bit big-endian length counting the NUL, the
// text, the NUL) into their texts, checking each record's frame.
std::vector<std::string> Records(const Bytes& bytes)
{
    std::vector<std::string> texts;
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t length = at + 4 <= bytes.size() ? std::size_t(bytes[at]) << 24 | std::size_t(bytes[at + 1]) << 16 |
                                                          std::size_t(bytes[at + 2]) << 8 | bytes[at + 3]
                                                    : 0;
        if (length < 1 || at + 4 + length > bytes.size()) {
            ADD_FAILURE() << "record " << texts.size() << " does not fit the file";
            break;
        }
        std::string text(reinterpret_cast<const char*>(&bytes[at + 4]), length - 1);
        EXPECT_EQ(bytes[at + 4 + length - 1], 0) << "record " << texts.size() << " not NUL-ended";
        EXPECT_EQ(text.find('\0'), std::string::npos) << "record " << texts.size() << " holds a NUL";
        texts.push_back(text);
        at += 4 + length;
    }
    return texts;
}

std::vector<std::string> EncodedLines(const char* lineStart, const Bytes& values, int bits,
                                      std::int32_t* recordCount = nullptr)
{
    std::int32_t count = 0;
    Bytes bytes = Written([&](HostFile* file) {
        EncodeNewIconLines(file, lineStart, values.data(), bits, std::uint32_t(values.size()), &count);
    });
    if (recordCount)
        *recordCount = count;
    std::vector<std::string> lines = Records(bytes);
    EXPECT_EQ(std::size_t(count), lines.size());
    return lines;
}

// An image owned by the test, in the shape the module hands its writers.
struct TestImage {
    TestImage(std::int32_t w, std::int32_t h, std::int32_t d, std::int32_t pen = -1, bool selected = false)
        : pixels(std::size_t(w) * std::size_t(h)), palette(256)
    {
        image.width = w;
        image.height = h;
        image.depth = d;
        image.transparentPen = pen;
        image.flags = selected ? IMAGEFLAG_SELECTED : 0;
        image.pixels = pixels.data();
        image.palette = palette.data();
    }
    TestImage(const TestImage&) = delete;
    TestImage& operator=(const TestImage&) = delete;

    IconImage image{};
    Bytes pixels;
    std::vector<std::uint32_t> palette;
};

// The NewIcons lines of an image (and its twin, when linked after it).
std::vector<std::string> WrittenImages(const IconImage* normal, int* result, std::int32_t* recordCount)
{
    *recordCount = 0;
    Bytes bytes = Written([&](HostFile* file) { *result = WriteNewIcons(file, normal, recordCount); });
    return Records(bytes);
}

// The lines as a tooltype block (each NUL-ended, then an empty line) in a
// host block of exactly its size, decoded as the reader would.
class DecodedLines {
public:
    explicit DecodedLines(const std::vector<std::string>& lines)
    {
        std::string bytes;
        std::vector<std::size_t> starts;
        for (const std::string& line : lines) {
            starts.push_back(bytes.size());
            bytes += line + '\0';
        }
        bytes += '\0';
        size_ = bytes.size();
        data_ = static_cast<char*>(HostAllocMem(size_, 0, "tooltypes"));
        std::memcpy(data_, bytes.data(), size_);
        const char* im[2] = {nullptr, nullptr};
        for (std::size_t i = 0; i < lines.size(); ++i) {
            for (int n = 0; n < 2; ++n) {
                if (!im[n] && lines[i].starts_with(n ? "IM2=" : "IM1="))
                    im[n] = data_ + starts[i];
            }
        }
        icon = static_cast<IconHandle*>(HostAllocMem(sizeof(IconHandle), 1, "iconinfo"));
        IconImage* tail = nullptr;
        result = DecodeNewIcons(icon, &tail, im[0], im[1], data_ + size_, &normal);
        selected = normal ? normal->next : nullptr;
    }
    ~DecodedLines()
    {
        FreeIcon(icon);
        HostFreeMem(data_);
    }
    DecodedLines(const DecodedLines&) = delete;
    DecodedLines& operator=(const DecodedLines&) = delete;

    IconHandle* icon = nullptr;
    IconImage* normal = nullptr;
    IconImage* selected = nullptr;
    int result = -1;

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
};

Bytes Pixels(const IconImage* image)
{
    return Bytes(image->pixels, image->pixels + std::size_t(image->width) * std::size_t(image->height));
}

class NewIconsEncoder : public testing::Test {
protected:
    void SetUp() override { SetHostApi(rt::GetHostApi()); }
    void TearDown() override { EXPECT_EQ(rt::LiveBlocks(), 0) << "blocks left behind"; }
};

TEST_F(NewIconsEncoder, GroupCharacters)
{
    // Values of 7 bits are one group each, so the characters can be read
    // straight off the table: groups 1..79 at +0x20, 80..127 at +0x51, 0 groups
    // as runs of 0xD0 + n, at most 47 to a character.
    Bytes midRun = {1};
    midRun.insert(midRun.end(), 50, 0);
    midRun.push_back(1);
    Bytes endRun = {1};
    endRun.insert(endRun.end(), 48, 0);
    const struct {
        const char* what;
        Bytes values;
        std::string data;
    } cases[] = {
        {"a single 0 group", {0}, Chars({0xD1})},
        {"a 0 group between others", {5, 0, 5}, Chars({0x25, 0xD1, 0x25})},
        {"the edges of both ranges", {1, 79, 80, 127}, Chars({0x21, 0x6F, 0xA1, 0xD0})},
        {"forty-seven 0 groups", Bytes(47, 0), Chars({0xFF})},
        {"fifty 0 groups mid-data", midRun, Chars({0x21, 0xFF, 0xD3, 0x21})},
        {"data ending with 48 0 groups", endRun, Chars({0x21, 0xFF, 0xD1})},
        {"bits above the width are dropped", {0x80 | 5, 0xFF}, Chars({0x25, 0xD0})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::int32_t records = 0;
        EXPECT_EQ(EncodedLines("IM1=", c.values, 7, &records), std::vector<std::string>{"IM1=" + c.data});
        EXPECT_EQ(records, 1);
    }
}

TEST_F(NewIconsEncoder, ValuesCutIntoGroups)
{
    // Two colours FF 00 80, 12 34 56: 48 bits make seven groups, the last
    // holding 6 data bits and one fill bit:
    //   1111111 1000000 0010000 0000001 0010001 1010001 0101100
    //   127     64      16      1       17      81      44
    //   0xD0    0x60    0x30    0x21    0x31    0xA2    0x4C
    EXPECT_EQ(EncodedLines("IM1=B##!#", {0xFF, 0x00, 0x80, 0x12, 0x34, 0x56}, 8),
              std::vector<std::string>{"IM1=B##!#" + Chars({0xD0, 0x60, 0x30, 0x21, 0x31, 0xA2, 0x4C})});
    // 2 bits a value: 3 2 1 2 0 = 11 10 01 10 00 -> 1110011 000 + fill 0000:
    // 115 -> 0xC4, then one 0 group -> 0xD1.
    EXPECT_EQ(EncodedLines("IM2=", {3, 2, 1, 2, 0}, 2), std::vector<std::string>{"IM2=" + Chars({0xC4, 0xD1})});
    // 1 bit a value, nine values 1 0 0 1 0 0 0 0 1: 1001000 01 + fill 00000:
    // 72 -> 'h', 32 -> '@'.
    EXPECT_EQ(EncodedLines("IM1=", {1, 0, 0, 1, 0, 0, 0, 0, 1}, 1), std::vector<std::string>{"IM1=h@"});
    // No values: the line start alone, so a header line is still written.
    EXPECT_EQ(EncodedLines("IM1=C##!!", {}, 1), std::vector<std::string>{"IM1=C##!!"});
}

TEST_F(NewIconsEncoder, LineBreaksRestartTheCutValue)
{
    // 110 values 0xFF of 8 bits: all groups are 127 (0xD0). The line closes
    // once it holds 127 characters: the prefix and 123 groups, 861 bits, of
    // which the reader takes 107 whole values and drops 5 bits. The next line
    // restarts with value 107: 3 x 8 bits = 1111111 1111111 1111111 111+0000,
    // the last group 112 -> 0xC1.
    std::vector<std::string> lines = EncodedLines("IM1=", Bytes(110, 0xFF), 8);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "IM1=" + std::string(123, '\xD0'));
    EXPECT_EQ(lines[1], "IM1=" + Chars({0xD0, 0xD0, 0xD0, 0xC1}));

    // A zero run still pending when the line closes is written on that line.
    // Values (8 bits): 105 x 0xFF = 120 groups of 127 (0xD0, characters 4 to
    // 123); 0x03 0x80 -> 0000001 (0x21) 1100000 (96 -> 0xB1), characters 124
    // and 125; then 42 zero values: 2 + 336 zero bits, 48 zero groups. The
    // 48th makes 0xFF the 127th character (index 126) with one 0 group still
    // pending, and the line closes: that group is written as 0xD1, the 128th.
    // The line holds 170 groups, 1190 bits: 148 whole values, and the last
    // group held the first bits of value 148, with which the next line
    // starts: 0x00 0xFF -> 0000000 0111111 11+00000 -> 0xD1, 63 (0x5F), 96 (0xB1).
    Bytes values(105, 0xFF);
    values.push_back(0x03);
    values.push_back(0x80);
    values.insert(values.end(), 42, 0x00);
    values.push_back(0xFF);
    ASSERT_EQ(values.size(), 150u);
    lines = EncodedLines("IM1=", values, 8);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "IM1=" + std::string(120, '\xD0') + Chars({0x21, 0xB1, 0xFF, 0xD1}));
    EXPECT_EQ(lines[0].size(), 128u);
    EXPECT_EQ(lines[1], "IM1=" + Chars({0xD1, 0x5F, 0xB1}));

    // The same values as the pixels of a 15 x 10 image of 256 colours (a zero
    // palette, one run of 0 groups per line) decode back.
    std::vector<std::string> image = EncodedLines("IM1=C0+\"" "\xE1", Bytes(768, 0), 8);
    ASSERT_EQ(image.size(), 1u);
    EXPECT_EQ(image[0], "IM1=C0+\"\xE1" + std::string(18, '\xFF') + Chars({0xF0}));   // 878 0 groups: 18 x 47, then 32
    image.insert(image.end(), lines.begin(), lines.end());
    DecodedLines decoded(image);
    ASSERT_NE(decoded.normal, nullptr);
    EXPECT_EQ(Pixels(decoded.normal), values);
}

TEST_F(NewIconsEncoder, SmallImageRecordsByHand)
{
    // A 2 x 2 two-colour image with pen 0 and its selected twin, without
    // transparency. Records: length (text + NUL), text, NUL.
    //   IM1=B##!# + palette FF0080 123456 (seven groups, see above): 16 characters
    //   IM1=h: pixels 1 0 0 1 -> 1001 + 000 = 72 -> 'h'
    //   IM2=C##!# + palette 000000 FFFFFF: 0000000 x3 (0xD3), 0001111 (15 -> 0x2F),
    //     1111111 x2 (0xD0 0xD0), 1111110 (126 -> 0xCF): 14 characters
    //   IM2=P: pixels 0 1 1 0 -> 0110 + 000 = 48 -> 'P'
    TestImage normal(2, 2, 1, 0);
    normal.pixels = {1, 0, 0, 1};
    normal.palette[0] = 0xFF0080;
    normal.palette[1] = 0x123456;
    normal.palette[2] = 0xABCDEF;       // beyond the colours used: not written
    TestImage twin(2, 2, 1, -1, true);
    twin.pixels = {0, 1, 1, 0};
    twin.palette[1] = 0xFFFFFF;
    normal.image.next = &twin.image;

    std::int32_t records = 5;           // added to, not replaced
    Bytes bytes = Written([&](HostFile* file) { EXPECT_EQ(WriteNewIcons(file, &normal.image, &records), 1); });
    const Bytes expected = {
        0, 0, 0, 17, 'I', 'M', '1', '=', 'B', '#', '#', '!', '#', 0xD0, 0x60, 0x30, 0x21, 0x31, 0xA2, 0x4C, 0,
        0, 0, 0, 6, 'I', 'M', '1', '=', 'h', 0,
        0, 0, 0, 15, 'I', 'M', '2', '=', 'C', '#', '#', '!', '#', 0xD3, 0x2F, 0xD0, 0xD0, 0xCF, 0,
        0, 0, 0, 6, 'I', 'M', '2', '=', 'P', 0,
    };
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(records, 9);
}

TEST_F(NewIconsEncoder, HeaderColourCharacters)
{
    // The highest pixel value + 1 is the colour count: "!" and count + 33 up
    // to 222, then 0x22 and count - 31. Sides are + 33: 93 -> '~'.
    const struct {
        std::uint8_t highest;
        std::int32_t depth;
        std::string colours;
    } table[] = {
        {0, 1, "!\""}, {15, 4, "!1"}, {221, 8, "!" + Chars({0xFF})}, {222, 8, "\"" + Chars({0xC0})},
        {255, 8, "\"" + Chars({0xE1})},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(int(row.highest));
        TestImage image(93, 1, row.depth);
        image.pixels[92] = row.highest;
        int result = 0;
        std::int32_t records = 0;
        std::vector<std::string> lines = WrittenImages(&image.image, &result, &records);
        EXPECT_EQ(result, 1);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].substr(0, 9), "IM1=C~\"" + row.colours);
    }
}

TEST_F(NewIconsEncoder, RandomSparseImagesDecodeBack)
{
    // Every depth, sizes up to 93 x 93, pixels mostly 0 with random runs of
    // other values, and a selected twin half the time. Whatever the runs, the
    // decoder must find every pixel and colour again, and no line may pass
    // 128 characters.
    std::mt19937 random(20261206);
    int linesEndingInRun = 0, linesCutMidRun = 0;
    for (int depth = 1; depth <= 8; ++depth) {
        for (int turn = 0; turn < 32; ++turn) {
            std::int32_t width = turn == 0 ? 93 : 1 + std::int32_t(random() % 93);
            std::int32_t height = turn == 0 ? 93 : 1 + std::int32_t(random() % 93);
            SCOPED_TRACE(testing::Message() << "depth " << depth << ", " << width << "x" << height);
            std::int32_t pen = turn % 3 == 0 ? -1 : 0;
            TestImage images[2] = {{width, height, depth, pen}, {width, height, depth, -1, true}};
            for (TestImage& image : images) {
                // Stretches of 0 pixels, up to about 60 groups of bits long,
                // between short stretches of any values.
                std::size_t at = 0;
                while (at < image.pixels.size()) {
                    at += random() % (420 / std::uint32_t(depth) + 1);
                    for (std::uint32_t busy = 1 + random() % 12; busy > 0 && at < image.pixels.size(); --busy)
                        image.pixels[at++] = std::uint8_t(random() % (1u << depth));
                }
                for (std::uint32_t& colour : image.palette)
                    colour = random() & 0xFFFFFF;
            }
            bool withTwin = turn % 2 == 1;
            if (withTwin)
                images[0].image.next = &images[1].image;

            int result = 0;
            std::int32_t records = 0;
            std::vector<std::string> lines = WrittenImages(&images[0].image, &result, &records);
            ASSERT_EQ(result, 1);
            EXPECT_EQ(std::size_t(records), lines.size());
            for (std::size_t i = 0; i < lines.size(); ++i) {
                EXPECT_LE(lines[i].size(), 128u);
                EXPECT_GT(lines[i].size(), 4u);
                // A full line ending in a run of 0 groups, whose run goes on
                // at the start of the next line.
                if (lines[i].size() >= 127 && std::uint8_t(lines[i].back()) >= 0xD1) {
                    ++linesEndingInRun;
                    if (i + 1 < lines.size() && lines[i + 1].size() > 4 && std::uint8_t(lines[i + 1][4]) >= 0xD1)
                        ++linesCutMidRun;
                }
            }
            DecodedLines decoded(lines);
            ASSERT_EQ(decoded.result, 1);
            ASSERT_NE(decoded.normal, nullptr);
            ASSERT_EQ(decoded.selected != nullptr, withTwin);
            for (int n = 0; n < (withTwin ? 2 : 1); ++n) {
                const TestImage& source = images[n];
                const IconImage* image = n ? decoded.selected : decoded.normal;
                EXPECT_EQ(image->width, width);
                EXPECT_EQ(image->height, height);
                EXPECT_EQ(image->transparentPen, n ? -1 : pen);
                ASSERT_EQ(Pixels(image), source.pixels) << "image " << n + 1;
                std::int32_t colours = CountColours(source.pixels.data(), source.pixels.size());
                EXPECT_EQ(image->depth, BitsForColours(colours));
                for (std::int32_t i = 0; i < colours; ++i)
                    ASSERT_EQ(image->palette[i], source.palette[std::size_t(i)]) << "image " << n + 1 << " entry " << i;
            }
        }
    }
    // The sparse pictures did put zero runs at line ends, some of them
    // running on into the next line.
    EXPECT_GE(linesEndingInRun, 8);
    EXPECT_GE(linesCutMidRun, 5);
}

TEST_F(NewIconsEncoder, TransparentPenMovesToEntryZero)
{
    // Pen 2 of four colours: the reader only knows entry 0 as transparent,
    // so entries and pixel values 0 and 2 swap places.
    TestImage image(4, 2, 2, 2);
    image.pixels = {0, 1, 2, 3,
                    2, 2, 0, 1};
    image.palette[0] = 0x102030;
    image.palette[1] = 0x405060;
    image.palette[2] = 0x708090;
    image.palette[3] = 0xA0B0C0;
    int result = 0;
    std::int32_t records = 0;
    std::vector<std::string> lines = WrittenImages(&image.image, &result, &records);
    ASSERT_EQ(result, 1);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 9), "IM1=B%#!%");
    DecodedLines decoded(lines);
    ASSERT_NE(decoded.normal, nullptr);
    EXPECT_EQ(decoded.normal->transparentPen, 0);
    EXPECT_EQ(Pixels(decoded.normal), (Bytes{2, 1, 0, 3,
                                             0, 0, 2, 1}));
    for (std::size_t i = 0; i < image.pixels.size(); ++i) {
        EXPECT_EQ(decoded.normal->pixels[i] == 0, image.pixels[i] == 2) << "pixel " << i;
        EXPECT_EQ(decoded.normal->palette[decoded.normal->pixels[i]], image.palette[image.pixels[i]]) << "pixel " << i;
    }
    // The source image is left as it was.
    EXPECT_EQ(image.pixels, (Bytes{0, 1, 2, 3, 2, 2, 0, 1}));
}

TEST_F(NewIconsEncoder, WhichImagesAreWritten)
{
    TestImage normal(32, 32, 4, 0);
    normal.pixels[5] = 9;
    const struct {
        const char* what;
        std::int32_t width, height, depth;
        bool selected;
        bool written;
    } twins[] = {
        {"a selected twin of the same size", 32, 32, 8, true, true},
        {"a selected 100 x 100 image", 100, 100, 4, true, false},
        {"a same-size image not marked selected", 32, 32, 4, false, false},
    };
    for (const auto& t : twins) {
        SCOPED_TRACE(t.what);
        TestImage twin(t.width, t.height, t.depth, -1, t.selected);
        twin.pixels[0] = 1;
        normal.image.next = &twin.image;
        int result = 0;
        std::int32_t records = 0;
        std::vector<std::string> lines = WrittenImages(&normal.image, &result, &records);
        EXPECT_EQ(result, 1);
        auto im2 = std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("IM2="); });
        auto im1 = std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("IM1="); });
        EXPECT_EQ(im1, 2);              // header and palette; 1024 pixels, nearly all 0 groups
        EXPECT_EQ(im2 > 0, t.written);
        EXPECT_EQ(std::size_t(im1 + im2), lines.size());
    }

    // Images the header cannot describe are refused before a byte is written.
    const struct {
        std::int32_t width, height, depth;
    } refused[] = {{94, 1, 8}, {1, 94, 8}, {4, 4, 0}, {4, 4, 9}};
    for (const auto& r : refused) {
        SCOPED_TRACE(testing::Message() << r.width << "x" << r.height << " depth " << r.depth);
        TestImage image(r.width, r.height, r.depth);
        std::int32_t records = 3;
        Bytes bytes = Written([&](HostFile* file) { EXPECT_EQ(WriteNewIcons(file, &image.image, &records), 0); });
        EXPECT_TRUE(bytes.empty());
        EXPECT_EQ(records, 3);
    }
}

TEST_F(NewIconsEncoder, EveryAllocationFailureFailsTheWrite)
{
    TestImage normal(20, 10, 3, 0);
    TestImage twin(20, 10, 3, -1, true);
    for (std::size_t i = 0; i < normal.pixels.size(); ++i) {
        normal.pixels[i] = std::uint8_t(i % 7);
        twin.pixels[i] = std::uint8_t(i % 5);
    }
    normal.image.next = &twin.image;
    tessel::test::TempDir dir;
    std::string path = dir.File("sweep.bin");
    std::uint64_t failures = tessel::test::SweepAllocationFailures([&] {
        HostFile* file = HostOpen(path.c_str(), HOST_MODE_WRITE);
        if (!file)
            return false;
        std::int32_t records = 0;
        int result = WriteNewIcons(file, &normal.image, &records);
        HostClose(file);
        Bytes bytes = tessel::test::ReadFileBytes(path);
        if (!result) {
            EXPECT_TRUE(bytes.empty());     // the scratch block is had before writing
            EXPECT_EQ(records, 0);
        } else {
            EXPECT_EQ(Records(bytes).size(), std::size_t(records));
        }
        return result == 1;
    });
    EXPECT_EQ(failures, 1u);            // one scratch block for both images
}

// ---- Real icons -------------------------------------------------------------

TEST_F(NewIconsEncoder, RealIconsWrittenAgain)
{
    // The NewIcons images of real icons, decoded and written again, must
    // decode to the same pictures, pens and colours.
    const char* files[] = {"aros-format.info", "aros-getaudioid.info", "aros-install.info", "aros-makelink.info",
                           "aros-rename.info", "dockbot-install.info", "hst-ghostsngoblins.info",
                           "hst-hstwb-newicon.info", "hst-prefs-newicon.info", "ppt-developer.doc.info",
                           "sfx-form.info", "sfx-sfx.pdf.info", "yam-empty.info", "yam-marco_musso-empty.info"};
    for (const char* name : files) {
        SCOPED_TRACE(name);
        Bytes file = tessel::test::ReadFileBytes(std::string(TESSEL_CORPUS_DIR) + "/amiga/" + name);
        IconHandle* icon = tessel::test::LoadBytes(file);
        ASSERT_NE(icon, nullptr);
        std::vector<std::string> original;
        for (std::uint32_t at = 0; at < icon->toolTypeBlockBytes && icon->toolTypeBlock[at]; ) {
            std::string line(icon->toolTypeBlock + at);
            if (line.starts_with("IM1=") || line.starts_with("IM2="))
                original.push_back(line);
            at += std::uint32_t(line.size()) + 1;
        }
        tessel::test::SharedModule().FreeIcon(icon);
        DecodedLines first(original);
        ASSERT_NE(first.normal, nullptr);
        int result = 0;
        std::int32_t records = 0;
        std::vector<std::string> again = WrittenImages(first.normal, &result, &records);
        ASSERT_EQ(result, 1);
        DecodedLines second(again);
        ASSERT_NE(second.normal, nullptr);
        const IconImage* pairs[2][2] = {{first.normal, second.normal}, {first.selected, second.selected}};
        for (auto& pair : pairs) {
            ASSERT_EQ(pair[0] != nullptr, pair[1] != nullptr);
            if (!pair[0])
                continue;
            EXPECT_EQ(Pixels(pair[1]), Pixels(pair[0]));
            EXPECT_EQ(pair[1]->transparentPen, pair[0]->transparentPen);
            std::int32_t colours = CountColours(pair[0]->pixels, Pixels(pair[0]).size());
            for (std::int32_t i = 0; i < colours; ++i)
                EXPECT_EQ(pair[1]->palette[i], pair[0]->palette[i]) << i;
        }
        // The icons' own writer broke its lines at the same places: each
        // image takes as many lines here as it did there. (The characters
        // differ: it wrote colour counts as base-64 digit pairs, some 0 groups
        // as 0x20, and ran 0 groups on past the data's end.)
        for (const char* prefix : {"IM1=", "IM2="}) {
            auto count = [prefix](const std::vector<std::string>& lines) {
                return std::count_if(lines.begin(), lines.end(),
                                     [prefix](const std::string& line) { return line.starts_with(prefix); });
            };
            EXPECT_EQ(count(again), count(original)) << prefix;
        }
    }
}

}  // namespace
