// The icon FORM reader and the bit-packed run-length decoder. Small FORMs
// are written by hand from the chunk layouts; the real icons of the corpus
// are judged against the image lists recorded in its SOURCES.tsv, and true
// colour streams are made with zlib's own compress.
#include "formats/amiga/amiga_icon.h"
#include "host/host_calls.h"
#include "plugin/entry_points.h"
#include "runtime/host_services.h"
#include "tests/support/byte_builders.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace {

using tessel::test::Bytes;
using tessel::test::Cat;
using tessel::test::Be32;
namespace rt = tessel::runtime;

// zlib's compress: an encoder nobody here wrote.
Bytes Deflate(const Bytes& raw)
{
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(size);
    EXPECT_EQ(compress(out.data(), &size, raw.data(), static_cast<uLong>(raw.size())), Z_OK);
    out.resize(size);
    return out;
}

// An "ARGB" chunk around a zlib stream: header word 1, count - 1, reserved.
Bytes ArgbChunk(const Bytes& stream)
{
    auto length = static_cast<std::uint32_t>(10 + stream.size());
    Bytes chunk = Cat({{'A', 'R', 'G', 'B'}, Be32(length), Be32(1),
                       Be32(static_cast<std::uint32_t>(stream.size() - 1)), {0, 0}, stream});
    if (length & 1)
        chunk.push_back(0);
    return chunk;
}

const Bytes FORM_HEAD = {'F', 'O', 'R', 'M', 0, 0, 0, 0, 'I', 'C', 'O', 'N'};   // length not checked
const Bytes FACE_2X2 = {'F', 'A', 'C', 'E', 0, 0, 0, 6, 1, 1, 0, 0, 0, 11};

std::uint32_t Word(const IconImage* image, int i)
{
    std::uint32_t word;
    std::memcpy(&word, image->pixels + 4 * i, 4);
    return word;
}

Bytes Pixels(const IconImage* image)
{
    std::size_t n = std::size_t(image->width) * std::size_t(image->height) * (image->depth > 8 ? 4 : 1);
    return Bytes(image->pixels, image->pixels + n);
}

// ---- UnpackRle --------------------------------------------------------------

TEST(UnpackRle, DecodesHandWrittenStreams)
{
    struct Case {
        const char* what;
        Bytes stream;
        int bits;
        Bytes expected;     // 0xEE: the byte was left alone
        int complete;
    };
    const Case cases[] = {
        // 254: repeat the next value 3 times; 0: one literal follows.
        {"8 bits", {254, 5, 0, 7}, 8, {5, 5, 5, 7}, 1},
        // 252 = repeat 5 of 1 | 2 = three literals 0, 1, 0:
        // 11111100 1 00000010 0 1 0 + 4 zero bits = FC 81 20
        {"1 bit", {0xFC, 0x81, 0x20}, 1, {1, 1, 1, 1, 1, 0, 1, 0}, 1},
        // 254 = repeat 3 of A | 1 = two literals 3, F:
        // 11111110 1010 00000001 0011 1111 + 4 zero bits = FE A0 13 F0
        {"4 bits", {0xFE, 0xA0, 0x13, 0xF0}, 4, {10, 10, 10, 3, 15}, 1},
        // 128 does nothing, wherever it stands.
        {"no-op code", {128, 254, 5, 128, 0, 7}, 8, {5, 5, 5, 7}, 1},
        // A repeat longer than the room stops at the count.
        {"repeat clipped", {129, 9}, 8, {9, 9, 9}, 1},
        // Three literals announced, two present: the rest stays untouched.
        {"cut short", {2, 9, 8}, 8, {9, 8, 0xEE, 0xEE}, 0},
        // A repeat code without its value.
        {"no value", {254}, 8, {0xEE, 0xEE}, 0},
        // 3 bits: values are masked to their width (7), and a 2-value
        // literal needs 8 + 3 + 3 bits: 00000001 111 010 00 = 01 E8
        {"3 bits", {0x01, 0xE8}, 3, {7, 2}, 1},
    };
    for (const Case& c : cases) {
        Bytes out(c.expected.size() + 1, 0xEE);      // one guard byte past the count
        int complete = UnpackRle(c.stream.data(), c.stream.size(), out.data(), c.bits, c.expected.size());
        EXPECT_EQ(complete, c.complete) << c.what;
        EXPECT_EQ(Bytes(out.begin(), out.end() - 1), c.expected) << c.what;
        EXPECT_EQ(out.back(), 0xEE) << c.what << ": wrote past the count";
    }
}

// ---- Hand-built FORMs -------------------------------------------------------

class IconChunkReader : public testing::Test {
protected:
    void SetUp() override
    {
        SetHostApi(rt::GetHostApi());
        blocksBefore = rt::LiveBlocks();
    }
    void TearDown() override
    {
        Release();
        rt::ClearCallMemFiles();
        EXPECT_EQ(rt::LiveBlocks(), blocksBefore);
    }
    void Release()
    {
        FreeIcon(icon);
        icon = nullptr;
        images.clear();
    }

    // Reads the chunks of bytes, which hold a FORM at formOffset; the file is
    // positioned after the four bytes "FORM" as the DiskObject reader leaves it.
    // With earlierColours, the handle already holds a 1x1 image with that
    // palette, as a classic image read before the FORM would be. Returns -1
    // when the handle itself cannot be had.
    int Read(const Bytes& bytes, std::size_t formOffset = 0, const std::vector<std::uint32_t>& earlierColours = {})
    {
        Release();
        primary = nullptr;
        icon = static_cast<IconHandle*>(HostAllocMem(sizeof(IconHandle), 1, "iconinfo"));
        if (!icon)
            return -1;
        IconImage* tail = nullptr;
        if (!earlierColours.empty()) {
            IconImage* earlier = NewIconImage(1, 1, 8, -1, 0, icon, &tail);
            EXPECT_NE(earlier, nullptr);
            if (!earlier)
                return -1;
            std::copy(earlierColours.begin(), earlierColours.end(), earlier->palette);
        }
        std::string name = rt::RegisterMemFile(bytes.data(), bytes.size(), "bin");
        HostFile* file = HostOpen(name.c_str(), HOST_MODE_READ);
        EXPECT_NE(file, nullptr);
        if (!file)
            return -1;
        HostSeek(file, std::int64_t(formOffset) + 4, HOST_SEEK_START);
        int ok = ReadIconChunks(file, icon, &tail, bytes.size(), &primary);
        HostClose(file);
        for (IconImage* image = icon->images; image; image = image->next)
            images.push_back(image);
        if (ok == 1 && !images.empty()) {
            EXPECT_EQ(tail, images.back());
        }
        return ok;
    }

    std::int64_t blocksBefore = 0;
    IconHandle* icon = nullptr;
    IconImage* primary = nullptr;
    std::vector<IconImage*> images;
};

TEST_F(IconChunkReader, RawAndPackedImagesShareThePalette)
{
    const Bytes file = Cat({
        FORM_HEAD, FACE_2X2,
        {'I', 'M', 'A', 'G', 0, 0, 0, 26},
        {3, 3, 3, 0, 0, 2, 0, 3, 0, 11},          // pen 3, 4 colours, pen+palette, raw, raw, depth 2, 4 bytes, 12 bytes
        {0, 1, 2, 3},                             // pixels
        {0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0x12, 0x34, 0x56},
        {'I', 'M', 'A', 'G', 0, 0, 0, 13},
        {0, 3, 0, 1, 0, 2, 0, 2, 0, 0},           // no pen, no palette, packed, depth 2, 3 bytes
        // 254 = repeat 3 of 3 | 0 = one literal 1: 11111110 11 00000000 01 = FE C0 10
        {0xFE, 0xC0, 0x10},
        {0},                                      // pad: L is odd
    });
    ASSERT_EQ(Read(file), 1);
    ASSERT_EQ(images.size(), 2u);
    const IconImage* normal = images[0];
    const IconImage* selected = images[1];
    EXPECT_EQ(primary, normal);
    EXPECT_EQ(normal->flags, 0u);
    EXPECT_EQ(selected->flags, IMAGEFLAG_SELECTED);
    EXPECT_EQ(normal->transparentPen, 3);
    EXPECT_EQ(selected->transparentPen, -1);
    EXPECT_EQ(normal->depth, 2);
    EXPECT_EQ(selected->depth, 2);
    EXPECT_EQ(normal->width, 2);
    EXPECT_EQ(normal->height, 2);
    EXPECT_EQ(Pixels(normal), (Bytes{0, 1, 2, 3}));
    EXPECT_EQ(Pixels(selected), (Bytes{3, 3, 3, 1}));
    const std::uint32_t colours[] = {0xFF0000, 0x00FF00, 0x0000FF, 0x123456};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(normal->palette[i], colours[i]) << i;
    EXPECT_EQ(normal->palette[4], 0u);
    EXPECT_EQ(std::memcmp(normal->palette, selected->palette, 256 * 4), 0);

    // A first "IMAG" without a palette takes the one of the image before the FORM.
    const Bytes alone = Cat({FORM_HEAD, FACE_2X2, {'I', 'M', 'A', 'G', 0, 0, 0, 14},
                             {0, 0, 0, 0, 0, 1, 0, 3, 0, 0}, {1, 0, 0, 1}});
    ASSERT_EQ(Read(alone, 0, {0x000000, 0xABCDEF}), 1);
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(primary, images[1]);
    EXPECT_EQ(images[1]->flags, 0u);
    EXPECT_EQ(images[1]->palette[1], 0xABCDEFu);
    EXPECT_EQ(Pixels(images[1]), (Bytes{1, 0, 0, 1}));
}

TEST_F(IconChunkReader, MixedChunksNumberEachKindFromZero)
{
    const Bytes imag = {'I', 'M', 'A', 'G', 0, 0, 0, 14, 0, 255, 0, 0, 0, 8, 0, 3, 0, 0, 1, 2, 3, 4};
    const Bytes file = Cat({FORM_HEAD, FACE_2X2, imag, imag, ArgbChunk(Deflate(Bytes(16, 0x80))),
                            ArgbChunk(Deflate(Bytes(16, 0x40)))});
    ASSERT_EQ(Read(file), 1);
    ASSERT_EQ(images.size(), 4u);
    const std::uint32_t flags[] = {0, IMAGEFLAG_SELECTED, 0, IMAGEFLAG_SELECTED};
    const int depths[] = {8, 8, 32, 32};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(images[i]->flags, flags[i]) << i;
        EXPECT_EQ(images[i]->depth, depths[i]) << i;
    }
    EXPECT_EQ(primary, images[2]);       // the first "ARGB": the normal image of the set read last
    EXPECT_EQ(Word(images[3], 3), 0x40404040u);

    // Every failed allocation fails the read and leaves only the images
    // already made, which FreeIcon releases.
    Release();
    std::uint64_t failedRuns = tessel::test::SweepAllocationFailures([&] {
        int ok = Read(file);
        std::int64_t imageBlocks = 1;                     // the handle
        for (const IconImage* image : images)
            imageBlocks += 1 + (image->pixels != nullptr) + (image->palette != nullptr);
        EXPECT_EQ(rt::LiveBlocks() - blocksBefore, ok == -1 ? 0 : imageBlocks);
        EXPECT_EQ(rt::LiveBlocks("pbuf") + rt::LiveBlocks("buf"), 0);
        bool complete = ok == 1 && images.size() == 4;
        Release();
        return complete;
    });
    // The handle; record, pixels and palette of each "IMAG", record and pixels
    // of each "ARGB"; a scratch block for most chunks.
    EXPECT_GE(failedRuns, 14u);
}

TEST_F(IconChunkReader, DamagedChunksAreSkippedOrRefused)
{
    const Bytes goodArgb = ArgbChunk(Deflate({0xFF, 0x11, 0x22, 0x33, 0x80, 0, 0, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8}));
    struct Case {
        const char* what;
        Bytes chunks;       // after FORM_HEAD
        int result;
        int images;         // -1: do not check
    };
    const Case cases[] = {
        {"image before the size", Cat({goodArgb, FACE_2X2}), 0, 0},
        {"palette image before the size",
         {'I', 'M', 'A', 'G', 0, 0, 0, 14, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0}, 0, 0},
        {"unknown chunk with an odd length and its pad",
         Cat({FACE_2X2, {'A', 'N', 'N', 'O', 0, 0, 0, 3, 'a', 'b', 'c', 0}, goodArgb}), 1, 1},
        {"unknown chunk claiming nearly 4 GiB",
         Cat({FACE_2X2, {'J', 'U', 'N', 'K', 0xFF, 0xFF, 0xFF, 0xF8, 1, 2, 3, 4}}), 1, 0},
        {"longer FACE read in step",
         Cat({{'F', 'A', 'C', 'E', 0, 0, 0, 9, 1, 1, 0, 0, 0, 11, 'x', 'y', 'z', 0}, goodArgb}), 1, 1},
        {"depth 9 palette image",
         Cat({FACE_2X2, {'I', 'M', 'A', 'G', 0, 0, 0, 14, 0, 1, 0, 0, 0, 9, 0, 3, 0, 0, 1, 0, 0, 0}, goodArgb}), 1, 1},
        {"image bytes beyond the chunk",
         Cat({FACE_2X2, {'I', 'M', 'A', 'G', 0, 0, 0, 14, 0, 1, 0, 0, 0, 1, 0, 9, 0, 0, 1, 0, 0, 0}, goodArgb}), 1, 1},
        {"palette bytes beyond the chunk",
         Cat({FACE_2X2, {'I', 'M', 'A', 'G', 0, 0, 0, 14, 0, 1, 2, 0, 0, 1, 0, 3, 0, 5, 1, 0, 0, 0}, goodArgb}), 1, 1},
        {"true-colour chunk shorter than its header",
         Cat({FACE_2X2, {'A', 'R', 'G', 'B', 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}, goodArgb}), 1, 1},
        {"stray bytes after the last chunk", Cat({FACE_2X2, goodArgb, {'F', 'A', 'C'}}), 0, 1},
        {"chunk data cut short", Cat({FACE_2X2, Bytes(goodArgb.begin(), goodArgb.end() - 2)}), 0, 0},
        {"corrupt zlib stream", Cat({FACE_2X2, {'A', 'R', 'G', 'B', 0, 0, 0, 14, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0,
                                                'x', 'y', 'z', 'w'}}), 0, -1},
        {"a missing pad at the end is no fault",
         Cat({FACE_2X2, {'A', 'N', 'N', 'O', 0, 0, 0, 3, 'a', 'b', 'c'}}), 1, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Read(Cat({FORM_HEAD, c.chunks})), c.result) << c.what;
        if (c.images >= 0) {
            EXPECT_EQ(int(images.size()), c.images) << c.what;
        }
        if (c.result == 1 && c.images == 1) {
            // The true-colour image after the damage: bytes A R G B become 0xAARRGGBB.
            EXPECT_EQ(images[0]->depth, 32) << c.what;
            EXPECT_EQ(primary, images[0]) << c.what;
            EXPECT_EQ(Word(images[0], 0), 0xFF112233u) << c.what;
            EXPECT_EQ(Word(images[0], 1), 0x800000FFu) << c.what;
            EXPECT_EQ(Word(images[0], 3), 0x05060708u) << c.what;
        }
    }
}

TEST_F(IconChunkReader, ShortDataLeavesTheRestZero)
{
    // Raw: 10 pixel bytes for a 16x16 image.
    const Bytes imag = Cat({{'F', 'A', 'C', 'E', 0, 0, 0, 6, 15, 15, 0, 0, 0, 2},
                            {'I', 'M', 'A', 'G', 0, 0, 0, 23},
                            {0, 3, 2, 0, 0, 4, 0, 9, 0, 2},     // 4 colours, palette, raw, raw, depth 4, 10 + 3 bytes
                            {1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
                            {0xAA, 0xBB, 0xCC}, {0}});          // 1 of the 4 colours; pad
    ASSERT_EQ(Read(Cat({FORM_HEAD, imag})), 1);
    ASSERT_EQ(images.size(), 1u);
    Bytes expected(256, 0);
    for (int i = 0; i < 10; ++i)
        expected[i] = std::uint8_t(i + 1);
    EXPECT_EQ(Pixels(images[0]), expected);
    EXPECT_EQ(images[0]->palette[0], 0xAABBCCu);
    EXPECT_EQ(images[0]->palette[1], 0u);

    // True colour: a stream holding 1 pixel of a 2x2 image.
    ASSERT_EQ(Read(Cat({FORM_HEAD, FACE_2X2, ArgbChunk(Deflate({0xFF, 1, 2, 3}))})), 1);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(Word(images[0], 0), 0xFF010203u);
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(Word(images[0], i), 0u) << i;            // alpha 0: not drawn

    // The compressed count is 0xFFFFFFFF: the stream is taken up to the end of
    // the chunk (L = 40, 30 bytes), not wrapped to nothing.
    Bytes stream = Deflate({0xFF, 9, 8, 7});
    ASSERT_LE(stream.size(), 30u);
    stream.resize(30, 0);
    const Bytes wide = Cat({{'A', 'R', 'G', 'B', 0, 0, 0, 40, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}, stream});
    ASSERT_EQ(Read(Cat({FORM_HEAD, FACE_2X2, wide, wide})), 1);
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(Word(images[1], 0), 0xFF090807u);
}

TEST_F(IconChunkReader, LengthsPastTheEndAreRefusedBeforeAllocating)
{
    const Bytes cases[] = {
        {'A', 'R', 'G', 'B', 0x7F, 0xFF, 0xFF, 0xF0, 0, 0, 0, 1, 0x7F, 0xFF, 0xFF, 0xE5, 0, 0, 0x78, 0x9C},
        {'I', 'M', 'A', 'G', 0x00, 0x10, 0x00, 0x00, 0, 1, 0, 0, 0, 8, 0xFF, 0xFF, 0, 0, 1, 2},
    };
    for (const Bytes& chunk : cases) {
        rt::MemoryFaults faults;
        faults.failAboveBytes = 4096;
        rt::SetMemoryFaults(faults);
        EXPECT_EQ(Read(Cat({FORM_HEAD, FACE_2X2, chunk})), 0);
        EXPECT_FALSE(rt::MemoryFaultFired()) << "asked for a block sized by the length";
        rt::ClearMemoryFaults();
        EXPECT_TRUE(images.empty());
    }
}

// ---- The corpus -------------------------------------------------------------

struct CorpusIcon {
    std::string file;
    std::string summary;    // the "variant summary" column
};

std::vector<CorpusIcon> CorpusIconsWithForm()
{
    std::vector<CorpusIcon> icons;
    std::ifstream tsv(std::string(TESSEL_CORPUS_DIR) + "/SOURCES.tsv");
    std::string line;
    while (std::getline(tsv, line)) {
        std::vector<std::string> columns;
        std::stringstream fields(line);
        std::string column;
        while (std::getline(fields, column, '\t'))
            columns.push_back(column);
        if (columns.size() > 4 && columns[0].rfind("amiga/", 0) == 0 && columns[4].find("FORM FACE") != std::string::npos)
            icons.push_back({columns[0], columns[4]});
    }
    return icons;
}

// "FORM FACE,IMAG,IMAG IMAG[d4 imgP palP;d5 imgP pal-] 44x46" gives the
// chunk ids, each "IMAG" depth and whether it carries a palette, and the size.
struct ExpectedForm {
    std::vector<std::string> chunks;
    std::vector<int> imagDepths;
    std::vector<bool> imagPalettes;
    int width = 0;
    int height = 0;
};

ExpectedForm ParseSummary(const std::string& summary)
{
    ExpectedForm form;
    const std::string rest = summary.substr(summary.find("FORM FACE") + 5);
    std::stringstream words(rest);
    std::string ids, item, sizeText;
    words >> ids;
    std::stringstream idList(ids);
    while (std::getline(idList, item, ','))
        form.chunks.push_back(item);
    std::size_t open = rest.find("IMAG[");
    std::size_t close = rest.find(']');
    if (open != std::string::npos && close != std::string::npos) {
        std::stringstream list(rest.substr(open + 5, close - open - 5));
        while (std::getline(list, item, ';')) {      // "d4 imgP palP"
            form.imagDepths.push_back(std::atoi(item.c_str() + 1));
            form.imagPalettes.push_back(item.find("pal-") == std::string::npos);
        }
        sizeText = rest.substr(close + 1);
    } else {
        words >> sizeText;
    }
    std::sscanf(sizeText.c_str(), "%dx%d", &form.width, &form.height);
    return form;
}

std::size_t FindIconForm(const Bytes& bytes)
{
    for (std::size_t i = 0; i + 12 <= bytes.size(); ++i) {
        if (std::memcmp(&bytes[i], "FORM", 4) == 0 && std::memcmp(&bytes[i + 8], "ICON", 4) == 0)
            return i;
    }
    return bytes.size();
}

// An image as 0xAARRGGBB words: palette images through their palette, the
// transparent pen clear.
std::vector<std::uint32_t> ToArgb(const IconImage* image)
{
    std::vector<std::uint32_t> out(std::size_t(image->width) * std::size_t(image->height));
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (image->depth == 32) {
            out[i] = Word(image, int(i));
        } else {
            std::uint8_t pen = image->pixels[i];
            out[i] = pen == image->transparentPen ? 0 : 0xFF000000u | image->palette[pen];
        }
    }
    return out;
}

// CRC-32 of the image's 0xAARRGGBB words, each written A, R, G, B.
std::uint32_t Checksum(const IconImage* image)
{
    Bytes bytes;
    for (std::uint32_t word : ToArgb(image)) {
        Bytes four = Be32(word);
        bytes.insert(bytes.end(), four.begin(), four.end());
    }
    return static_cast<std::uint32_t>(crc32(0L, bytes.data(), static_cast<uInt>(bytes.size())));
}

TEST_F(IconChunkReader, CorpusIconsMatchTheirRecordedImages)
{
    const std::vector<CorpusIcon> icons = CorpusIconsWithForm();
    ASSERT_GE(icons.size(), 40u);
    // Set to a folder to write every image as a PNG for a look.
    const char* pngFolder = std::getenv("TESSEL_CHUNK_PNG_DIR");
    for (const CorpusIcon& entry : icons) {
        SCOPED_TRACE(entry.file);
        const Bytes bytes = tessel::test::ReadFileBytes(std::string(TESSEL_CORPUS_DIR) + "/" + entry.file);
        std::size_t form = FindIconForm(bytes);
        ASSERT_LT(form, bytes.size());
        ASSERT_EQ(Read(bytes, form), 1);
        const ExpectedForm expected = ParseSummary(entry.summary);
        ASSERT_GT(expected.width, 0);
        ASSERT_EQ(expected.imagDepths.size(), expected.imagPalettes.size());

        std::size_t imag = 0, made = 0;
        for (const std::string& id : expected.chunks) {
            if (id != "IMAG" && id != "ARGB")
                continue;
            ASSERT_LT(made, images.size());
            const IconImage* image = images[made++];
            EXPECT_EQ(image->width, expected.width);
            EXPECT_EQ(image->height, expected.height);
            if (id == "ARGB") {
                EXPECT_EQ(image->depth, 32);
                continue;
            }
            ASSERT_LT(imag, expected.imagDepths.size());
            EXPECT_EQ(image->depth, expected.imagDepths[imag]);
            if (!expected.imagPalettes[imag] && made >= 2) {
                EXPECT_EQ(std::memcmp(image->palette, images[made - 2]->palette, 256 * 4), 0);
            }
            ++imag;
        }
        EXPECT_EQ(made, images.size());

        if (pngFolder) {
            for (std::size_t i = 0; i < images.size(); ++i) {
                std::vector<std::uint8_t> png;
                ASSERT_TRUE(rt::EncodePng(ToArgb(images[i]).data(), images[i]->width, images[i]->height, png));
                std::string base = entry.file.substr(entry.file.find('/') + 1);
                tessel::test::WriteFileBytes(std::string(pngFolder) + "/" + base + "-" + std::to_string(i) + ".png",
                                             Bytes(png.begin(), png.end()));
            }
        }
    }
}

TEST_F(IconChunkReader, CorpusPixelsAsVerifiedByEye)
{
    // Checksums of images written to PNG and looked at (verified by eye): a
    // magnifier over a drive, normal and selected, as palette and as true
    // colour images; a page with a blue X; four coloured quadrants.
    struct Known {
        const char* file;
        std::vector<std::uint32_t> crcs;
    };
    const Known known[] = {
        {"amiga/yam-check_os3.info", {1910395154u, 2136286163u}},
        {"amiga/yam-check_os4.info", {3841157568u, 485079866u}},
        {"amiga/aros-installaros.info", {1154005131u, 3267537546u}},
        {"amiga/hst-drawer-coloricon.info", {2069932069u, 995032336u}},
    };
    for (const Known& k : known) {
        SCOPED_TRACE(k.file);
        const Bytes bytes = tessel::test::ReadFileBytes(std::string(TESSEL_CORPUS_DIR) + "/" + k.file);
        ASSERT_EQ(Read(bytes, FindIconForm(bytes)), 1);
        ASSERT_EQ(images.size(), k.crcs.size());
        for (std::size_t i = 0; i < images.size(); ++i)
            EXPECT_EQ(Checksum(images[i]), k.crcs[i]) << std::hex << i;
    }
}

}  // namespace
