// The icon FORM writer and the bit-packed run-length encoder. Packed streams
// and small FORMs are written out by hand from the chunk layouts; everything
// else is read back through the FORM reader, and true-colour chunks are
// inflated with zlib's own uncompress. The real icons of the corpus are read,
// written again and read back.
#include "formats/amiga/amiga_icon.h"
#include "host/host_calls.h"
#include "plugin/entry_points.h"
#include "runtime/host_services.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using tessel::test::Bytes;
namespace rt = tessel::runtime;

std::uint32_t Be32At(const Bytes& bytes, std::size_t at)
{
    return (std::uint32_t(bytes[at]) << 24) | (std::uint32_t(bytes[at + 1]) << 16) |
           (std::uint32_t(bytes[at + 2]) << 8) | std::uint32_t(bytes[at + 3]);
}

// An image the test owns: the writer only reads it.
struct TestImage {
    TestImage(int width, int height, int depth, int pen = -1, std::uint32_t flags = 0)
        : pixels(std::size_t(width) * std::size_t(height) * (depth > 8 ? 4 : 1)), palette(256)
    {
        image.width = width;
        image.height = height;
        image.depth = depth;
        image.transparentPen = pen;
        image.flags = flags;
        image.pixels = pixels.data();
        image.palette = depth > 8 ? nullptr : palette.data();
    }
    TestImage(const TestImage&) = delete;
    TestImage& operator=(const TestImage&) = delete;
    void SetWord(std::size_t i, std::uint32_t word) { std::memcpy(&pixels[4 * i], &word, 4); }
    void SetPixels(const Bytes& values) { std::copy(values.begin(), values.end(), pixels.begin()); }
    void Follow(TestImage& twin) { image.next = &twin.image; }

    Bytes pixels;
    std::vector<std::uint32_t> palette;
    IconImage image{};
};

std::uint32_t Word(const IconImage* image, std::size_t i)
{
    std::uint32_t word;
    std::memcpy(&word, image->pixels + 4 * i, 4);
    return word;
}

// The ids of the chunks inside a FORM that starts at offset 0.
std::vector<std::string> ChunkIds(const Bytes& form)
{
    std::vector<std::string> ids;
    for (std::size_t at = 12; at + 8 <= form.size();) {
        ids.emplace_back(form.begin() + long(at), form.begin() + long(at) + 4);
        std::uint32_t length = Be32At(form, at + 4);
        at += 8 + length + (length & 1);
    }
    return ids;
}

// ---- PackRle ----------------------------------------------------------------

class PackRleTest : public testing::Test {
protected:
    void SetUp() override
    {
        SetHostApi(rt::GetHostApi());
        blocksBefore = rt::LiveBlocks();
    }
    void TearDown() override { EXPECT_EQ(rt::LiveBlocks(), blocksBefore); }

    // The block PackRle returns, copied out and released.
    Bytes Pack(const Bytes& values, int bits, int* packed)
    {
        std::uint32_t byteCount = 0xDEAD;
        std::uint8_t* block = PackRle(values.data(), std::uint32_t(values.size()), bits, packed, &byteCount);
        EXPECT_NE(block, nullptr);
        if (!block)
            return {};
        EXPECT_EQ(rt::LiveBlocks("rlebuf"), 1);
        Bytes out(block, block + byteCount);
        HostFreeMem(block);
        return out;
    }

    std::int64_t blocksBefore = 0;
};

TEST_F(PackRleTest, WritesHandCheckedStreams)
{
    struct Case {
        const char* what;
        Bytes values;
        int bits;
        int ask;
        Bytes expected;
        int packed;
    };
    Bytes sixteenOnes(16, 1);
    sixteenOnes.push_back(0);
    Bytes seventeenOnes(17, 1);
    seventeenOnes.push_back(0);
    Bytes longRun(130, 9);
    longRun.push_back(1);
    const Case cases[] = {
        // 254: three 5s; 0: one literal 7. Four bytes for four values stays packed.
        {"repeat then literal", {5, 5, 5, 7}, 8, 1, {254, 5, 0, 7}, 1},
        {"packing not asked for", {5, 5, 5, 7}, 8, 0, {5, 5, 5, 7}, 0},
        // 16 x 1 bit is not over 16 bits: 17 literals, code 16.
        // 00010000 1111111111111111 0 + 7 zero bits
        {"sixteen equal bits are literals", sixteenOnes, 1, 1, {0x10, 0xFF, 0xFF, 0x00}, 1},
        // 240 = 257 - 17 | value 1 | 0 = one literal | value 0:
        // 11110000 1 00000000 0 + 6 zero bits
        {"seventeen equal bits repeat", seventeenOnes, 1, 1, {0xF0, 0x80, 0x00}, 1},
        // Code 2 and three values would take 4 bytes for 3.
        {"longer than the input", {1, 2, 3}, 8, 1, {1, 2, 3}, 0},
        // 129: 128 nines; the 2 left are 16 bits, not over 16: they become
        // literals with the 1 that follows (code 2).
        {"run over 128 in the middle", longRun, 8, 1, {129, 9, 2, 9, 9, 1}, 1},
        // 4 bits. In the middle a run of four is 16 bits: literals.
        // 00000100 0100 0100 0100 0100 0001 + 4 zero bits
        {"four equal nibbles mid-way", {4, 4, 4, 4, 1}, 4, 1, {0x04, 0x44, 0x44, 0x10}, 1},
        // Five are 20 bits: 252 | 4 | 0 | 1 = 11111100 0100 00000000 0001
        {"five equal nibbles mid-way", {4, 4, 4, 4, 4, 1}, 4, 1, {0xFC, 0x40, 0x01}, 1},
        // At the end a run repeats when all but one of it pass 8 bits:
        // three nibbles (8 bits) stay literals, four (12 bits) repeat.
        // 00000101 0001 0010 0011 0100 0100 0100
        {"three equal nibbles at the end", {1, 2, 3, 4, 4, 4}, 4, 1, {0x05, 0x12, 0x34, 0x44}, 1},
        // 00000010 0001 0010 0011 | 11111101 0100 + 4 zero bits
        {"four equal nibbles at the end", {1, 2, 3, 4, 4, 4, 4}, 4, 1, {0x02, 0x12, 0x3F, 0xD4}, 1},
        // Values are masked to their width: 0x1F goes out as F, and the
        // nibbles beside it are untouched. 00000010 0001 1111 0011 + 4 zero bits
        {"value wider than its bits, packed", {1, 0x1F, 3}, 4, 1, {0x02, 0x1F, 0x30}, 1},
        {"value wider than its bits, raw", {1, 0x1F, 3}, 4, 0, {1, 0x0F, 3}, 0},
        // Masked, 0x1F equals the four Fs after it: one run of five at the
        // end, 252 | F = 11111100 1111 + 4 zero bits.
        {"masked values join a run", {0x1F, 0x0F, 0x0F, 0x0F, 0x0F}, 4, 1, {0xFC, 0xF0}, 1},
        {"nothing to pack", {}, 3, 1, {}, 1},
    };
    for (const Case& c : cases) {
        int packed = c.ask;
        EXPECT_EQ(Pack(c.values, c.bits, &packed), c.expected) << c.what;
        EXPECT_EQ(packed, c.packed) << c.what;
    }

    // Depths the stream cannot hold, and missing outputs.
    const Bytes values = {1, 2};
    std::uint32_t byteCount = 0;
    int packed = 1;
    EXPECT_EQ(PackRle(values.data(), 2, 0, &packed, &byteCount), nullptr);
    EXPECT_EQ(PackRle(values.data(), 2, 9, &packed, &byteCount), nullptr);
    EXPECT_EQ(PackRle(values.data(), 2, 8, nullptr, &byteCount), nullptr);
    EXPECT_EQ(PackRle(nullptr, 2, 8, &packed, &byteCount), nullptr);

    rt::MemoryFaults faults;
    faults.failNth = 1;
    rt::SetMemoryFaults(faults);
    EXPECT_EQ(PackRle(values.data(), 2, 8, &packed, &byteCount), nullptr);
    rt::ClearMemoryFaults();
}

TEST_F(PackRleTest, RandomValuesComeBackThroughTheDecoder)
{
    std::mt19937 random(20261206);
    for (int bits = 1; bits <= 8; ++bits) {
        for (std::uint32_t n : {1u, 2u, 3u, 17u, 127u, 128u, 129u, 255u, 256u, 257u, 500u, 999u, 1000u}) {
            for (int shape = 0; shape < 3; ++shape) {
                // Noise, short runs, and runs long enough to need several portions.
                Bytes values;
                while (values.size() < n) {
                    std::uint32_t runLength = shape == 0 ? 1 : shape == 1 ? 1 + random() % 20 : 1 + random() % 400;
                    // Unmasked bytes: only the low bits count.
                    auto value = static_cast<std::uint8_t>(random());
                    for (std::uint32_t i = 0; i < runLength && values.size() < n; ++i)
                        values.push_back(value);
                }
                Bytes expected = values;
                for (std::uint8_t& v : expected)
                    v &= std::uint8_t((1u << bits) - 1);
                int packed = 1;
                Bytes stream = Pack(values, bits, &packed);
                SCOPED_TRACE(testing::Message() << "bits " << bits << ", n " << n << ", shape " << shape);
                if (packed) {
                    EXPECT_LE(stream.size(), n);
                    Bytes out(n + 1, 0xEE);
                    EXPECT_EQ(UnpackRle(stream.data(), stream.size(), out.data(), bits, n), 1);
                    EXPECT_EQ(out.back(), 0xEE);
                    out.pop_back();
                    EXPECT_EQ(out, expected);
                } else {
                    EXPECT_EQ(stream, expected);
                }
                // Long runs always pack.
                if (shape == 2 && n >= 128) {
                    EXPECT_EQ(packed, 1);
                }
            }
        }
    }
}

// ---- The FORM ---------------------------------------------------------------

class IconChunkWriter : public testing::Test {
protected:
    void SetUp() override
    {
        SetHostApi(rt::GetHostApi());
        blocksBefore = rt::LiveBlocks();
    }
    void TearDown() override
    {
        Release();
        EXPECT_EQ(rt::LiveBlocks(), blocksBefore);
    }
    void Release()
    {
        FreeIcon(icon);
        icon = nullptr;
        images.clear();
    }

    // Writes the FORM of normal into a file of its own; the bytes, or nothing
    // when the writer returned 0 (*result says what it returned).
    Bytes Write(const IconImage& normal, int variant, std::uint32_t compress, int* result = nullptr)
    {
        std::string path = dir.File("form.bin");
        std::int64_t liveBefore = rt::LiveBlocks();
        HostFile* file = HostOpen(path.c_str(), HOST_MODE_WRITE);
        EXPECT_NE(file, nullptr);
        if (!file)
            return {};
        int ok = WriteIconForm(file, &normal, variant, compress);
        HostClose(file);
        if (result)
            *result = ok;
        EXPECT_EQ(rt::LiveBlocks(), liveBefore) << "a scratch block outlived the save";
        return tessel::test::ReadFileBytes(path);
    }

    // Reads a FORM at offset 0 with the reader; the images land in images.
    int Read(const Bytes& bytes)
    {
        Release();
        icon = static_cast<IconHandle*>(HostAllocMem(sizeof(IconHandle), 1, "iconinfo"));
        if (!icon)
            return -1;
        std::string name = rt::RegisterMemFile(bytes.data(), bytes.size(), "bin");
        HostFile* file = HostOpen(name.c_str(), HOST_MODE_READ);
        EXPECT_NE(file, nullptr);
        if (!file)
            return -1;
        HostSeek(file, 4, HOST_SEEK_START);
        IconImage* tail = nullptr;
        IconImage* primary = nullptr;
        int ok = ReadIconChunks(file, icon, &tail, bytes.size(), &primary);
        HostClose(file);
        rt::ClearCallMemFiles();
        for (IconImage* image = icon->images; image; image = image->next)
            images.push_back(image);
        return ok;
    }

    // The FORM length field counts everything after it, pads included.
    static void ExpectFormLength(const Bytes& form)
    {
        ASSERT_GE(form.size(), 12u);
        EXPECT_EQ(Bytes(form.begin(), form.begin() + 4), (Bytes{'F', 'O', 'R', 'M'}));
        EXPECT_EQ(Be32At(form, 4), form.size() - 8);
        EXPECT_EQ(Bytes(form.begin() + 8, form.begin() + 12), (Bytes{'I', 'C', 'O', 'N'}));
    }

    tessel::test::TempDir dir;
    std::int64_t blocksBefore = 0;
    IconHandle* icon = nullptr;
    std::vector<IconImage*> images;
};

TEST_F(IconChunkWriter, TinyFormsByteForByte)
{
    TestImage normal(3, 1, 1, 1);
    normal.SetPixels({0, 1, 1});
    normal.palette[0] = 0x000000;
    normal.palette[1] = 0xFFFFFF;

    // Raw: 10 + 3 + 6 = 19 bytes of IMAG data, so a pad byte follows.
    const Bytes raw = {
        'F', 'O', 'R', 'M', 0, 0, 0, 46, 'I', 'C', 'O', 'N',
        'F', 'A', 'C', 'E', 0, 0, 0, 6,
        2, 0, 0, 0, 0, 5,                         // 3x1, palette images, 3 x 2 colours - 1
        'I', 'M', 'A', 'G', 0, 0, 0, 19,
        1, 1, 3, 0, 0, 1, 0, 2, 0, 5,             // pen 1, 2 colours, pen+palette, raw, raw, depth 1, 3 and 6 bytes
        0, 1, 1,
        0, 0, 0, 0xFF, 0xFF, 0xFF,
        0,                                        // pad
    };
    EXPECT_EQ(Write(normal.image, AMIGA_OS35, 0), raw);

    // Packed, with a selected twin of the same palette: its IMAG carries no
    // palette, and its palette format byte repeats the request.
    TestImage twin(3, 1, 1, -1, IMAGEFLAG_SELECTED);
    twin.SetPixels({1, 1, 0});
    std::copy(normal.palette.begin(), normal.palette.end(), twin.palette.begin());
    normal.Follow(twin);
    const Bytes packed = {
        'F', 'O', 'R', 'M', 0, 0, 0, 62, 'I', 'C', 'O', 'N',
        'F', 'A', 'C', 'E', 0, 0, 0, 6, 2, 0, 0, 0, 0, 5,
        'I', 'M', 'A', 'G', 0, 0, 0, 16,
        1, 1, 3, 1, 1, 1, 0, 1, 0, 3,             // packed image of 2 bytes, packed palette of 4
        0x02, 0x60,                               // 00000010 0 1 1: three literals
        0xFE, 0x00, 0xFE, 0xFF,                   // three 0s, three FFs
        'I', 'M', 'A', 'G', 0, 0, 0, 12,
        0, 1, 0, 1, 1, 1, 0, 1, 0, 0,             // no pen, no palette
        0x02, 0xC0,                               // 00000010 1 1 0
    };
    Bytes written = Write(normal.image, AMIGA_OS35, 1);
    EXPECT_EQ(written, packed);

    ASSERT_EQ(Read(written), 1);
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0]->transparentPen, 1);
    EXPECT_EQ(images[1]->transparentPen, -1);
    EXPECT_EQ(images[1]->flags, IMAGEFLAG_SELECTED);
    EXPECT_EQ(Bytes(images[1]->pixels, images[1]->pixels + 3), twin.pixels);
    EXPECT_EQ(images[1]->palette[1], 0xFFFFFFu);

    // True colour: FACE flags 2 and palette size 1; the pixel word 0x80AABBCC
    // goes into the stream as the bytes 80 AA BB CC.
    TestImage argb(1, 1, 32);
    argb.SetWord(0, 0x80AABBCC);
    written = Write(argb.image, AMIGA_OS40, 0);
    ExpectFormLength(written);
    ASSERT_GE(written.size(), 48u);
    const Bytes head = {'F', 'A', 'C', 'E', 0, 0, 0, 6, 0, 0, 2, 0, 0, 1, 'A', 'R', 'G', 'B'};
    EXPECT_EQ(Bytes(written.begin() + 12, written.begin() + 30), head);
    std::uint32_t length = Be32At(written, 30);
    std::uint32_t streamBytes = Be32At(written, 38) + 1;
    EXPECT_EQ(Be32At(written, 34), 1u);                       // header word
    EXPECT_EQ(written[42], 0);                                // reserved
    EXPECT_EQ(written[43], 0);
    EXPECT_EQ(length, 10 + streamBytes);
    EXPECT_EQ(written.size(), 34 + length + (length & 1));
    Bytes inflated(8);
    uLongf inflatedBytes = inflated.size();
    ASSERT_EQ(uncompress(inflated.data(), &inflatedBytes, written.data() + 44, streamBytes), Z_OK);
    inflated.resize(inflatedBytes);
    EXPECT_EQ(inflated, (Bytes{0x80, 0xAA, 0xBB, 0xCC}));
}

TEST_F(IconChunkWriter, EndChunkPatchesAndPads)
{
    std::string path = dir.File("chunk.bin");
    HostFile* file = HostOpen(path.c_str(), HOST_MODE_WRITE);
    ASSERT_NE(file, nullptr);
    const Bytes before = {'x', 'y'};
    HostWrite(file, before.data(), 2);
    const Bytes head = {'A', 'B', 'C', 'D', 0, 0, 0, 0};
    HostWrite(file, head.data(), 8);
    HostWrite(file, "12345", 5);
    EndChunk(file, 6);
    HostPutC(file, 'z');                          // goes after the pad
    HostClose(file);
    EXPECT_EQ(tessel::test::ReadFileBytes(path), (Bytes{'x', 'y', 'A', 'B', 'C', 'D', 0, 0, 0, 5,
                                                        '1', '2', '3', '4', '5', 0, 'z'}));
}

TEST_F(IconChunkWriter, PaletteImagesComeBack)
{
    std::mt19937 random(35);
    for (int depth = 1; depth <= 8; ++depth) {
        for (std::uint32_t compress : {0u, 1u}) {
            for (int pen : {-1, 0, (1 << depth) - 1}) {
                SCOPED_TRACE(testing::Message() << "depth " << depth << ", compress " << compress << ", pen " << pen);
                const int width = 19, height = 13;        // odd sizes: odd chunk lengths
                TestImage normal(width, height, depth, pen);
                TestImage twin(width, height, depth, pen < 0 ? 0 : -1, IMAGEFLAG_SELECTED);
                for (std::size_t i = 0; i < normal.pixels.size(); ++i) {
                    // Runs of a few pixels: packing has something to do.
                    normal.pixels[i] = std::uint8_t((i / 5) % (1u << depth));
                    twin.pixels[i] = std::uint8_t(random() % (1u << depth));
                }
                for (int i = 0; i < (1 << depth); ++i) {
                    normal.palette[i] = random() & 0xFFFFFF;
                    twin.palette[i] = depth % 2 ? normal.palette[i] : random() & 0xFFFFFF;
                }
                normal.Follow(twin);

                Bytes written = Write(normal.image, AMIGA_OS35, compress);
                ExpectFormLength(written);
                EXPECT_EQ(ChunkIds(written), (std::vector<std::string>{"FACE", "IMAG", "IMAG"}));
                EXPECT_EQ(written[24] * 256 + written[25], 3 * (1 << depth) - 1);   // FACE palette size
                ASSERT_EQ(Read(written), 1);
                ASSERT_EQ(images.size(), 2u);
                const TestImage* sources[] = {&normal, &twin};
                for (int k = 0; k < 2; ++k) {
                    const IconImage* back = images[k];
                    EXPECT_EQ(back->width, width);
                    EXPECT_EQ(back->height, height);
                    EXPECT_EQ(back->depth, depth);
                    EXPECT_EQ(back->transparentPen, sources[k]->image.transparentPen);
                    EXPECT_EQ(back->flags, k ? IMAGEFLAG_SELECTED : 0u);
                    EXPECT_EQ(Bytes(back->pixels, back->pixels + width * height), sources[k]->pixels) << k;
                    for (int i = 0; i < (1 << depth); ++i)
                        EXPECT_EQ(back->palette[i], sources[k]->palette[i]) << k << " colour " << i;
                }
            }
        }
    }
}

TEST_F(IconChunkWriter, DeeperTwinKeepsColoursBeyondTheNormalPalette)
{
    // A depth-2 normal image and a depth-4 twin share one 16-entry palette.
    // The normal IMAG stores 4 colours, so the twin must store its own.
    TestImage normal(4, 4, 2);
    TestImage twin(4, 4, 4, -1, IMAGEFLAG_SELECTED);
    for (int i = 0; i < 16; ++i) {
        normal.palette[i] = twin.palette[i] = 0x101010u * std::uint32_t(i) + 0x000001;
        normal.pixels[i] = std::uint8_t(i % 4);
        twin.pixels[i] = std::uint8_t(i);
    }
    normal.Follow(twin);
    Bytes written = Write(normal.image, AMIGA_OS35, 1);
    EXPECT_EQ(written[24] * 256 + written[25], 3 * 16 - 1);       // the deeper palette
    ASSERT_EQ(Read(written), 1);
    ASSERT_EQ(images.size(), 2u);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(images[1]->palette[i], twin.palette[i]) << i;
    for (int i = 4; i < 16; ++i)
        EXPECT_EQ(images[0]->palette[i], 0u) << i;

    // When the twin's upper entries are 0, as the normal IMAG reloads them,
    // the twin goes without a palette and still reloads the same.
    for (int i = 4; i < 16; ++i)
        twin.palette[i] = 0;
    written = Write(normal.image, AMIGA_OS35, 0);
    std::size_t twinAt = 26 + 8 + 10 + 16 + 12;                  // FACE, first IMAG: 16 pixels, 12 palette bytes
    ASSERT_GT(written.size(), twinAt + 10);
    EXPECT_EQ(Bytes(written.begin() + long(twinAt), written.begin() + long(twinAt) + 4), (Bytes{'I', 'M', 'A', 'G'}));
    EXPECT_EQ(written[twinAt + 10], 0);                         // flags: no pen, no palette
    ASSERT_EQ(Read(written), 1);
    ASSERT_EQ(images.size(), 2u);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(images[1]->palette[i], twin.palette[i]) << i;
}

TEST_F(IconChunkWriter, TrueColourImagesComeBack)
{
    // Noise does not compress: its stream is longer than the pixels, and must
    // still fit the buffer.
    std::mt19937 random(33);
    TestImage normal(64, 64, 32);
    TestImage twin(64, 64, 32, -1, IMAGEFLAG_SELECTED);
    for (std::size_t i = 0; i < 64 * 64; ++i) {
        normal.SetWord(i, std::uint32_t(random()));
        twin.SetWord(i, 0xFF000000u | std::uint32_t(i));
    }
    normal.Follow(twin);
    Bytes written = Write(normal.image, AMIGA_OS40, 1);
    ExpectFormLength(written);
    EXPECT_EQ(ChunkIds(written), (std::vector<std::string>{"FACE", "ARGB", "ARGB"}));
    EXPECT_GT(Be32At(written, 30), 64u * 64u * 4u);            // the noise chunk outgrew its pixels
    ASSERT_EQ(Read(written), 1);
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[1]->flags, IMAGEFLAG_SELECTED);
    for (std::size_t i = 0; i < 64 * 64; ++i) {
        ASSERT_EQ(Word(images[0], i), Word(&normal.image, i)) << i;
        ASSERT_EQ(Word(images[1], i), Word(&twin.image, i)) << i;
    }

    // The largest side: 256 x 256.
    TestImage large(256, 256, 32);
    for (std::size_t i = 0; i < 256 * 256; ++i)
        large.SetWord(i, std::uint32_t(i * 2654435761u));
    written = Write(large.image, AMIGA_OS40, 0);
    EXPECT_EQ(written[20], 255);
    EXPECT_EQ(written[21], 255);
    ASSERT_EQ(Read(written), 1);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(Word(images[0], 256 * 256 - 1), Word(&large.image, 256 * 256 - 1));
}

TEST_F(IconChunkWriter, TwinIsWrittenOnlyWhenItMatches)
{
    struct Case {
        const char* what;
        int variant;
        int twinWidth, twinHeight, twinDepth;
        std::uint32_t twinFlags;
        std::vector<std::string> ids;
    };
    const std::vector<std::string> oneImag = {"FACE", "IMAG"}, oneArgb = {"FACE", "ARGB"};
    const Case cases[] = {
        {"smaller, deeper palette twin", AMIGA_OS35, 16, 16, 8, IMAGEFLAG_SELECTED, oneImag},
        {"smaller true-colour twin", AMIGA_OS40, 16, 16, 32, IMAGEFLAG_SELECTED, oneArgb},
        {"taller palette twin", AMIGA_OS35, 32, 33, 4, IMAGEFLAG_SELECTED, oneImag},
        {"next image not selected", AMIGA_OS35, 32, 32, 4, 0, oneImag},
        {"true-colour twin of a palette image", AMIGA_OS35, 32, 32, 32, IMAGEFLAG_SELECTED, oneImag},
        {"palette twin of a true-colour image", AMIGA_OS40, 32, 32, 8, IMAGEFLAG_SELECTED, oneArgb},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestImage normal(32, 32, c.variant == AMIGA_OS35 ? 4 : 32);
        TestImage twin(c.twinWidth, c.twinHeight, c.twinDepth, -1, c.twinFlags);
        // A deeper twin that is left out does not widen the FACE palette.
        normal.Follow(twin);
        int result = 0;
        Bytes written = Write(normal.image, c.variant, 1, &result);
        EXPECT_EQ(result, 1);
        ExpectFormLength(written);
        EXPECT_EQ(ChunkIds(written), c.ids);
        if (c.variant == AMIGA_OS35) {
            EXPECT_EQ(written[24] * 256 + written[25], 3 * 16 - 1);
        }
        ASSERT_EQ(Read(written), 1);
        EXPECT_EQ(images.size(), 1u);
    }
}

TEST_F(IconChunkWriter, RefusesWhatTheFormCannotHold)
{
    struct Case {
        const char* what;
        int width, height, depth, variant;
    };
    const Case cases[] = {
        {"wider than 256", 257, 4, 8, AMIGA_OS35},
        {"taller than 256", 4, 257, 32, AMIGA_OS40},
        {"depth 0", 4, 4, 0, AMIGA_OS35},
        {"depth 9", 4, 4, 9, AMIGA_OS35},
        {"true colour as palette images", 4, 4, 32, AMIGA_OS35},
        {"palette image as true colour", 4, 4, 8, AMIGA_OS40},
        {"classic variant", 4, 4, 4, AMIGA_CLASSIC},
    };
    for (const Case& c : cases) {
        TestImage image(c.width, c.height, c.depth);
        int result = -1;
        EXPECT_TRUE(Write(image.image, c.variant, 1, &result).empty()) << c.what << ": wrote before refusing";
        EXPECT_EQ(result, 0) << c.what;
    }
}

TEST_F(IconChunkWriter, EveryFailedAllocationOrWriteFailsTheSave)
{
    TestImage normal(20, 20, 5, 3);
    TestImage twin(20, 20, 5, -1, IMAGEFLAG_SELECTED);
    TestImage argb(20, 20, 32);
    TestImage argbTwin(20, 20, 32, -1, IMAGEFLAG_SELECTED);
    for (std::size_t i = 0; i < 400; ++i) {
        normal.pixels[i] = std::uint8_t(i % 7);
        twin.pixels[i] = std::uint8_t(i % 3);
        argb.SetWord(i, 0xFF000000u | std::uint32_t(i));
        argbTwin.SetWord(i, std::uint32_t(i) << 8);
    }
    for (int i = 0; i < 32; ++i) {
        normal.palette[i] = 0x00010203u * std::uint32_t(i);
        twin.palette[i] = 0x00030201u * std::uint32_t(i);          // its own palette
    }
    normal.Follow(twin);
    argb.Follow(argbTwin);
    struct Case {
        const IconImage* image;
        int variant;
        std::uint64_t allocations;      // palette and image streams of two IMAGs; a block per ARGB
    };
    const Case cases[] = {{&normal.image, AMIGA_OS35, 4}, {&argb.image, AMIGA_OS40, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.variant);
        std::uint64_t failedRuns = tessel::test::SweepAllocationFailures([&] {
            int result = -1;
            Write(*c.image, c.variant, 1, &result);      // checks that no block outlives the save
            return result == 1;
        });
        EXPECT_EQ(failedRuns, c.allocations);

        // A write that stops in the image bytes (after FORM, FACE and the
        // first chunk's header: 26 + 18 bytes) fails the save the same way.
        rt::FileFaults faults;
        faults.failWritesAfterBytes = 50;
        rt::SetFileFaults(faults);
        int result = -1;
        Write(*c.image, c.variant, 1, &result);
        rt::ClearFileFaults();
        EXPECT_EQ(result, 0);
    }
}

// ---- The corpus -------------------------------------------------------------

std::size_t FindIconForm(const Bytes& bytes)
{
    for (std::size_t i = 0; i + 12 <= bytes.size(); ++i) {
        if (std::memcmp(&bytes[i], "FORM", 4) == 0 && std::memcmp(&bytes[i + 8], "ICON", 4) == 0)
            return i;
    }
    return bytes.size();
}

TEST_F(IconChunkWriter, CorpusFormsSurviveARewrite)
{
    const char* const files[] = {
        "amiga/aros-createtrash.info",          // depths 4 and 5, both with palettes
        "amiga/aros-droparc_old.info",          // depth 7, raw palettes
        "amiga/aros-install3.5_scalosbeta.info", // twin without a palette
        "amiga/avalanche-avalanche.info",       // depth-2 normal, depth-4 twin
        "amiga/hst-drawer-coloricon.info",      // 8x8, depth 2
        "amiga/yam-check_os3.info",             // depth 8
        "amiga/yam-yam-blue.info",              // depth 1, one image
    };
    for (const char* name : files) {
        const Bytes bytes = tessel::test::ReadFileBytes(std::string(TESSEL_CORPUS_DIR) + "/" + name);
        const std::size_t form = FindIconForm(bytes);
        for (std::uint32_t compress : {0u, 1u}) {
            SCOPED_TRACE(testing::Message() << name << ", compress " << compress);
            ASSERT_LT(form, bytes.size());
            ASSERT_EQ(Read(Bytes(bytes.begin() + long(form), bytes.end())), 1);
            ASSERT_FALSE(images.empty());
            ASSERT_LE(images[0]->depth, 8);
            std::size_t count = images.size() > 1 && (images[1]->flags & IMAGEFLAG_SELECTED) ? 2 : 1;
            // The originals, copied out before the icon that holds them goes.
            std::vector<Bytes> pixels;
            std::vector<std::vector<std::uint32_t>> palettes;
            std::vector<int> pens, depths;
            for (std::size_t k = 0; k < count; ++k) {
                const IconImage* image = images[k];
                pixels.emplace_back(image->pixels, image->pixels + image->width * image->height);
                palettes.emplace_back(image->palette, image->palette + (1 << image->depth));
                pens.push_back(image->transparentPen);
                depths.push_back(image->depth);
            }

            Bytes written = Write(*images[0], AMIGA_OS35, compress);
            ExpectFormLength(written);
            ASSERT_EQ(Read(written), 1);
            ASSERT_EQ(images.size(), count);
            for (std::size_t k = 0; k < count; ++k) {
                EXPECT_EQ(images[k]->depth, depths[k]);
                EXPECT_EQ(images[k]->transparentPen, pens[k]);
                EXPECT_EQ(Bytes(images[k]->pixels, images[k]->pixels + pixels[k].size()), pixels[k]) << k;
                EXPECT_EQ(std::vector<std::uint32_t>(images[k]->palette, images[k]->palette + palettes[k].size()),
                          palettes[k])
                    << k;
            }
        }
    }
}

// These icons were saved by other programs with zlib at its default level:
// reading and writing again gives their FORM back byte for byte, which pins
// the FACE fields, the ARGB header, the byte order of the pixels, the pads
// and the FORM length. (A zlib that deflates differently would fail this
// without the writer being at fault.)
TEST_F(IconChunkWriter, CorpusTrueColourFormsAreReproducedExactly)
{
    const char* const files[] = {
        "amiga/yam-check_os4.info",             // two ARGB, 64x64
        "amiga/yam-install.info",
        "amiga/yam-resources.info",
        "amiga/netsurf-netsurf.info",           // two ARGB, 96x64
        "amiga/netsurf-default.info",           // one ARGB, 46x46
    };
    for (const char* name : files) {
        SCOPED_TRACE(name);
        Bytes bytes = tessel::test::ReadFileBytes(std::string(TESSEL_CORPUS_DIR) + "/" + name);
        std::size_t form = FindIconForm(bytes);
        ASSERT_LT(form + 8, bytes.size());
        std::size_t formBytes = 8 + Be32At(bytes, form + 4);
        ASSERT_LE(form + formBytes, bytes.size());
        const Bytes original(bytes.begin() + long(form), bytes.begin() + long(form + formBytes));
        ASSERT_EQ(Read(original), 1);
        ASSERT_FALSE(images.empty());
        for (std::uint32_t compress : {0u, 1u})
            EXPECT_EQ(Write(*images[0], AMIGA_OS40, compress), original) << compress;
    }
}

}  // namespace
