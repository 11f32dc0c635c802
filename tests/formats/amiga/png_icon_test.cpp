// PNG icons: the attribute chunk written and read byte by byte against the
// tag table, files checked by pngcheck and decoded by Pillow, encoder faults
// from a stand-in host, allocation failures, and the real PNG icons of the
// corpus.
#include "formats/amiga/png_icon.h"
#include "host/host_calls.h"
#include "icon/icon_flows.h"
#include "io/byte_io.h"
#include "plugin/entry_points.h"
#include "runtime/host_services.h"
#include "tests/support/byte_builders.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using tessel::test::Bytes;
using tessel::test::Cat;
using tessel::test::Be32;
namespace rt = tessel::runtime;

const Bytes IEND_CHUNK = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
const std::string CORPUS = "/work/shared/corpus/amiga/";

Bytes Text(const std::string& s, bool terminated = true)
{
    Bytes out(s.begin(), s.end());
    if (terminated)
        out.push_back(0);
    return out;
}

// A PNG chunk with zlib's CRC over type and data; length as given.
Bytes ChunkWithLength(std::uint32_t length, const std::string& type, const Bytes& data)
{
    Bytes typed = Cat({Text(type, false), data});
    auto crc = static_cast<std::uint32_t>(crc32(0L, typed.data(), static_cast<uInt>(typed.size())));
    return Cat({Be32(length), typed, Be32(crc)});
}

Bytes Chunk(const std::string& type, const Bytes& data)
{
    return ChunkWithLength(static_cast<std::uint32_t>(data.size()), type, data);
}

Bytes Value(std::uint32_t tag, std::uint32_t value)
{
    return Cat({Be32(tag), Be32(value)});
}

Bytes String(std::uint32_t tag, const std::string& text)
{
    return Cat({Be32(tag), Text(text)});
}

std::vector<std::uint32_t> Pattern(std::int32_t width, std::int32_t height, std::uint32_t seed)
{
    std::vector<std::uint32_t> words(std::size_t(width) * std::size_t(height));
    for (std::size_t i = 0; i < words.size(); ++i)
        words[i] = (seed * 2654435761u) ^ std::uint32_t(i * 0x01030507u);
    return words;
}

// A PNG made by the runtime's encoder, split so that chunks can go in
// before its IEND, after it, or both.
struct Picture {
    std::vector<std::uint32_t> words;
    Bytes head;  // signature to the last IDAT

    Picture(std::int32_t width, std::int32_t height, std::vector<std::uint32_t> pixels)
        : words(std::move(pixels))
    {
        Bytes png;
        EXPECT_TRUE(rt::EncodePng(words.data(), width, height, png));
        EXPECT_EQ(Bytes(png.end() - 12, png.end()), IEND_CHUNK);
        head.assign(png.begin(), png.end() - 12);
    }
    Bytes With(const Bytes& before, const Bytes& after = {}) const { return Cat({head, before, IEND_CHUNK, after}); }
};

const Picture& SmallPicture()
{
    static const Picture picture(4, 3, Pattern(4, 3, 11));
    return picture;
}

std::vector<std::string> ToolTypes(const IconAttributes& attributes)
{
    std::vector<std::string> out;
    for (char** entry = attributes.toolTypes; entry && *entry; ++entry)
        out.emplace_back(*entry);
    return out;
}

std::vector<std::uint32_t> Words(const IconImage* image)
{
    auto* words = reinterpret_cast<const std::uint32_t*>(image->pixels);
    return {words, words + std::size_t(image->width) * std::size_t(image->height)};
}

int RunCommand(const std::string& command)
{
    return std::system(command.c_str());
}

class PngIcon : public testing::Test {
protected:
    void SetUp() override { SetHostApi(rt::GetHostApi()); }
    void TearDown() override
    {
        SetHostApi(rt::GetHostApi());
        rt::ClearMemoryFaults();
        EXPECT_EQ(rt::LiveBlocks(), 0);
        EXPECT_EQ(rt::GetFileCounters().liveStreams, 0);
    }

    // The steps of LoadIcon around the reader: open, magic, read, close,
    // tooltype array, attributes. The picture is decoded from pictureName,
    // the chunks are walked in file: a hostile walk can then be tried past a
    // host decoder that would refuse the file whole.
    static IconHandle* LoadFrom(const std::string& name, IconAttributes* attributes,
                                const std::string& pictureName = {})
    {
        HostFile* file = HostOpen(name.c_str(), HOST_MODE_READ);
        if (!file)
            return nullptr;
        auto* icon = static_cast<IconHandle*>(HostAllocMem(sizeof(IconHandle), 1, "iconinfo"));
        if (!icon) {
            HostClose(file);
            return nullptr;
        }
        const std::string& picture = pictureName.empty() ? name : pictureName;
        int ok = ReadBE32(file) == 0x89504E47 && LoadPngIcon(picture.c_str(), file, icon);
        HostClose(file);
        if (ok && attributes) {
            *attributes = IconAttributes{};
            ok = BuildToolTypeArray(icon);
            if (ok)
                CopyIconAttributes(icon, attributes);
        }
        if (!ok) {
            FreeIcon(icon);
            return nullptr;
        }
        return icon;
    }

    static IconHandle* LoadBytes(const Bytes& bytes, IconAttributes* attributes, const Bytes& picture = {})
    {
        std::string name = rt::RegisterMemFile(bytes.data(), bytes.size(), "png");
        std::string pictureName;
        if (!picture.empty())
            pictureName = rt::RegisterMemFile(picture.data(), picture.size(), "png");
        IconHandle* icon = LoadFrom(name, attributes, pictureName);
        rt::ClearCallMemFiles();
        return icon;
    }

    // A file whose picture is the small one and whose icOn chunks are given.
    static IconHandle* LoadChunks(const Bytes& chunks, IconAttributes* attributes)
    {
        return LoadBytes(SmallPicture().With(chunks), attributes);
    }

    static int Save(const std::string& path, IconImage* first, const IconAttributes& attributes)
    {
        HostFile* file = HostOpen(path.c_str(), HOST_MODE_WRITE);
        EXPECT_NE(file, nullptr);
        int ok = SavePngIcon(file, first, &attributes, 0, 0);
        EXPECT_EQ(HostClose(file), 0) << "the file was left failed (a seek before its start?)";
        return ok;
    }

    tessel::test::TempDir dir_;
};

IconImage ImageOf(std::vector<std::uint32_t>& words, std::int32_t width, std::int32_t height)
{
    IconImage image{};
    image.pixels = reinterpret_cast<std::uint8_t*>(words.data());
    image.width = width;
    image.height = height;
    image.depth = 32;
    return image;
}

// ---- Writing ---------------------------------------------------------------

TEST_F(PngIcon, WritePngImageWritesAWholePngThatDecodesToThePixels)
{
    std::vector<std::uint32_t> words = Pattern(5, 3, 7);
    IconImage image = ImageOf(words, 5, 3);
    const std::string path = dir_.File("plain.png");
    HostFile* file = HostOpen(path.c_str(), HOST_MODE_WRITE);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(WritePngImage(file, &image), 1);
    EXPECT_EQ(HostClose(file), 0);
    Bytes written = tessel::test::ReadFileBytes(path);
    ASSERT_GE(written.size(), 45u);
    EXPECT_EQ(Bytes(written.end() - 12, written.end()), IEND_CHUNK);
    std::int32_t width = 0, height = 0;
    std::vector<std::uint32_t> decoded;
    ASSERT_TRUE(rt::DecodeImage(written.data(), written.size(), &width, &height, decoded));
    EXPECT_EQ(width, 5);
    EXPECT_EQ(height, 3);
    EXPECT_EQ(decoded, words);
    EXPECT_EQ(RunCommand("/usr/bin/pngcheck -q " + path + " >/dev/null"), 0);
}

// The icOn chunk of each case written out by hand from the tag table; the
// rest of the file is the encoder's PNG with its IEND moved behind the chunk.
TEST_F(PngIcon, SavedItemsMatchTheTagTableByteForByte)
{
    static char tool[] = "SYS:T";
    static char empty[] = "";
    static char a1[] = "A=1";
    static char b[] = "B";
    static char* toolTypes[] = {a1, b, nullptr};
    struct Case {
        const char* what;
        IconAttributes attributes;
        Bytes chunkData;  // length, "icOn", items
    };
    // IconAttributes: type, viewMode, posX, posY, left, top, width, height,
    // stack, -, defaultTool, toolTypes, showAll
    const Case cases[] = {
        {"drawer with everything", {2, 3, 10, -1, 20, 0, 300, 200, 4096, 0, tool, toolTypes, 1, 0},
         {0, 0, 0, 0x58, 'i', 'c', 'O', 'n',
          0x80, 0x00, 0x10, 0x0F, 0x00, 0x00, 0x00, 0x02,       // type 2, first
          0x80, 0x00, 0x10, 0x01, 0x00, 0x00, 0x00, 0x0A,       // x 10
          0x80, 0x00, 0x10, 0x02, 0xFF, 0xFF, 0xFF, 0xFF,       // y -1
          0x80, 0x00, 0x10, 0x09, 0x00, 0x00, 0x10, 0x00,       // stack 4096
          0x80, 0x00, 0x10, 0x03, 0x00, 0x00, 0x00, 0x14,       // left 20 (top 0 left out)
          0x80, 0x00, 0x10, 0x05, 0x00, 0x00, 0x01, 0x2C,       // width 300
          0x80, 0x00, 0x10, 0x06, 0x00, 0x00, 0x00, 0xC8,       // height 200
          0x80, 0x00, 0x10, 0x07, 0x00, 0x00, 0x00, 0x05,       // flags: show all, mode 3 -> 1 << 2
          0x80, 0x00, 0x10, 0x0A, 'S', 'Y', 'S', ':', 'T', 0,   // default tool
          0x80, 0x00, 0x10, 0x0B, 'A', '=', '1', 0,             // tooltypes in order
          0x80, 0x00, 0x10, 0x0B, 'B', 0}},
        {"untyped, empty default tool, drawer fields of a non-drawer",
         {0, 2, 0, 0, 5, 6, 7, 8, 0, 0, empty, nullptr, 1, 0},
         {0, 0, 0, 0x0D, 'i', 'c', 'O', 'n',
          0x80, 0x00, 0x10, 0x0F, 0x00, 0x00, 0x00, 0x03,       // type 0 written as 3
          0x80, 0x00, 0x10, 0x0A, 0}},                          // "" is a tag and a zero
        {"drawer in view mode 2 without show-all: the flags word 0 is forced",
         {2, 2, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr, 0, 0},
         {0, 0, 0, 0x10, 'i', 'c', 'O', 'n',
          0x80, 0x00, 0x10, 0x0F, 0x00, 0x00, 0x00, 0x02,
          0x80, 0x00, 0x10, 0x07, 0x00, 0x00, 0x00, 0x00}},
        {"drawer in view mode 1; a mode outside 1 to 5 adds nothing",
         {2, 1, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr, 0, 0},
         {0, 0, 0, 0x10, 'i', 'c', 'O', 'n',
          0x80, 0x00, 0x10, 0x0F, 0x00, 0x00, 0x00, 0x02,
          0x80, 0x00, 0x10, 0x07, 0x00, 0x00, 0x00, 0x02}},
        {"drawer in view mode 9 without show-all: no flags item",
         {2, 9, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr, 0, 0},
         {0, 0, 0, 0x08, 'i', 'c', 'O', 'n',
          0x80, 0x00, 0x10, 0x0F, 0x00, 0x00, 0x00, 0x02}},
    };
    std::vector<std::uint32_t> words = Pattern(6, 5, 3);
    IconImage image = ImageOf(words, 6, 5);
    Bytes png;
    ASSERT_TRUE(rt::EncodePng(words.data(), 6, 5, png));
    const Bytes pngHead(png.begin(), png.end() - 12);
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir_.File("items" + std::to_string(index++) + ".info");
        ASSERT_EQ(Save(path, &image, c.attributes), 1);
        Bytes file = tessel::test::ReadFileBytes(path);
        ASSERT_EQ(file.size(), pngHead.size() + c.chunkData.size() + 4 + 12);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + pngHead.size()), pngHead);
        auto chunk = file.begin() + pngHead.size();
        EXPECT_EQ(Bytes(chunk, chunk + c.chunkData.size()), c.chunkData);
        auto crc = static_cast<std::uint32_t>(crc32(0L, c.chunkData.data() + 4, static_cast<uInt>(c.chunkData.size() - 4)));
        EXPECT_EQ(Bytes(chunk + c.chunkData.size(), chunk + c.chunkData.size() + 4), Be32(crc));
        EXPECT_EQ(Bytes(file.end() - 12, file.end()), IEND_CHUNK);
        EXPECT_EQ(RunCommand("/usr/bin/pngcheck -q " + path + " >/dev/null"), 0);
    }
}

TEST_F(PngIcon, RoundTripKeepsAttributesAndTheFirstTrueColourImage)
{
    static char tool[] = "Work:Tools/Viewer";
    static char t1[] = "PUBSCREEN=Workbench";
    static char t2[] = "(DONOTWAIT)";
    static char t3[] = "X=\xA9 2007";
    static char* toolTypes[] = {t1, t2, t3, nullptr};
    std::vector<std::uint8_t> indexed(37 * 23, 1);
    std::vector<std::uint32_t> palette(256, 0x00FF0000);
    std::vector<std::uint32_t> first = Pattern(37, 23, 5);
    std::vector<std::uint32_t> second = Pattern(8, 8, 9);
    IconImage eightBit{};
    eightBit.pixels = indexed.data();
    eightBit.palette = palette.data();
    eightBit.width = 37;
    eightBit.height = 23;
    eightBit.depth = 8;
    IconImage stored = ImageOf(first, 37, 23);
    stored.flags = IMAGEFLAG_SELECTED;       // stored all the same
    IconImage later = ImageOf(second, 8, 8);
    eightBit.next = &stored;
    stored.next = &later;

    struct Case {
        const char* what;
        IconAttributes attributes;
    };
    const Case cases[] = {
        {"drawer in view mode 2 without show-all", {2, 2, -5, 70000, 10, 20, 640, 400, 8192, 0, tool, toolTypes, 0, 0}},
        {"drawer in view mode 5 with show-all", {2, 5, 1, 2, 3, 4, 5, 6, 7, 0, nullptr, nullptr, 1, 0}},
        {"project", {4, 0, 100, 200, 0, 0, 0, 0, 4096, 0, tool, nullptr, 0, 0}},
        {"tool with tooltypes only", {3, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, toolTypes, 0, 0}},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const IconAttributes& in = c.attributes;
        const std::string path = dir_.File("round" + std::to_string(index++) + ".info");
        ASSERT_EQ(Save(path, &eightBit, in), 1);
        EXPECT_EQ(RunCommand("/usr/bin/pngcheck -q " + path + " >/dev/null"), 0);
        IconAttributes out{};
        IconHandle* icon = LoadFrom(path, &out);
        ASSERT_NE(icon, nullptr);
        EXPECT_EQ(out.type, in.type);
        EXPECT_EQ(out.posX, in.posX);
        EXPECT_EQ(out.posY, in.posY);
        EXPECT_EQ(out.stackSize, in.stackSize);
        if (in.type == 2) {
            EXPECT_EQ(out.drawerLeft, in.drawerLeft);
            EXPECT_EQ(out.drawerTop, in.drawerTop);
            EXPECT_EQ(out.drawerWidth, in.drawerWidth);
            EXPECT_EQ(out.drawerHeight, in.drawerHeight);
            EXPECT_EQ(out.viewMode, in.viewMode);
            EXPECT_EQ(out.showAll, in.showAll);
        }
        if (in.defaultTool) {
            ASSERT_NE(out.defaultTool, nullptr);
            EXPECT_STREQ(out.defaultTool, in.defaultTool);
        } else {
            EXPECT_EQ(out.defaultTool, nullptr);
        }
        EXPECT_EQ(ToolTypes(out), ToolTypes(in));
        ASSERT_NE(icon->images, nullptr);
        EXPECT_EQ(icon->images->next, nullptr);
        EXPECT_EQ(icon->images->depth, 32);
        EXPECT_EQ(icon->images->width, 37);
        EXPECT_EQ(icon->images->height, 23);
        EXPECT_EQ(Words(icon->images), first);
        FreeIcon(icon);
    }
}

TEST_F(PngIcon, SaveWithoutATrueColourImageWritesNothing)
{
    std::vector<std::uint8_t> indexed(16, 0);
    std::vector<std::uint32_t> palette(256, 0);
    IconImage eightBit{};
    eightBit.pixels = indexed.data();
    eightBit.palette = palette.data();
    eightBit.width = 4;
    eightBit.height = 4;
    eightBit.depth = 8;
    IconAttributes attributes{};
    const std::string path = dir_.File("none.info");
    EXPECT_EQ(Save(path, &eightBit, attributes), 0);
    EXPECT_EQ(Save(path, nullptr, attributes), 0);
    EXPECT_TRUE(tessel::test::ReadFileBytes(path).empty());
}

// ---- Encoder faults, from a host whose PNG encoder is a stand-in -----------

Bytes g_stubOutput;
std::int32_t g_stubResult = 1;

std::int32_t StubSavePng(const char* name, const std::uint32_t*, std::int32_t, std::int32_t, std::int32_t,
                         std::int32_t, std::int32_t)
{
    EXPECT_TRUE(rt::WriteNamedFile(name, g_stubOutput.data(), g_stubOutput.size()));
    return g_stubResult;
}

const void* NullStreamData(HostStream*, std::uint64_t* length, std::int32_t)
{
    *length = 1000;
    return nullptr;
}

// The runtime's tables with one image slot and one file slot replaced.
struct StandInHost {
    std::vector<PluginFunction> image;
    std::vector<PluginFunction> file;
    HostApi api;
    StandInHost(PluginFunction savePng, PluginFunction streamData)
        : image(HOST_IMAGE_TABLE_SIZE), file(HOST_FILE_TABLE_SIZE), api(*rt::GetHostApi())
    {
        const HostApi* real = rt::GetHostApi();
        std::memcpy(image.data(), reinterpret_cast<const void*>(real->words[HOSTAPI_WORD_IMAGE]),
                    image.size() * sizeof(PluginFunction));
        std::memcpy(file.data(), reinterpret_cast<const void*>(real->words[HOSTAPI_WORD_FILE]),
                    file.size() * sizeof(PluginFunction));
        if (savePng)
            image[HOST_IMAGE_SAVE_PNG] = savePng;
        if (streamData)
            file[HOST_FILE_GET_MEM_STREAM_DATA] = streamData;
        api.words[HOSTAPI_WORD_IMAGE] = reinterpret_cast<std::uintptr_t>(image.data());
        api.words[HOSTAPI_WORD_FILE] = reinterpret_cast<std::uintptr_t>(file.data());
    }
};

TEST_F(PngIcon, EncoderOutputThatIsNotAWholePngFailsTheSave)
{
    // 45 bytes: the least a PNG can be (signature, IHDR, IEND).
    const Bytes smallest = Cat({{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A},
                                Chunk("IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 6, 0, 0, 0}), IEND_CHUNK});
    ASSERT_EQ(smallest.size(), 45u);
    Bytes badEnd = smallest;
    badEnd[badEnd.size() - 1] ^= 1;
    struct Case {
        const char* what;
        std::int32_t result;
        Bytes output;
        int expected;
    };
    const Case cases[] = {
        {"encoder fails", 0, smallest, 0},
        {"five bytes", 1, {0x89, 'P', 'N', 'G', 0x0D}, 0},
        {"IEND alone", 1, IEND_CHUNK, 0},
        {"one byte short", 1, Bytes(smallest.begin() + 1, smallest.end()), 0},
        {"last byte not IEND's", 1, badEnd, 0},
        {"smallest whole PNG", 1, smallest, 1},
    };
    StandInHost host(reinterpret_cast<PluginFunction>(&StubSavePng), nullptr);
    SetHostApi(&host.api);
    std::vector<std::uint32_t> words = Pattern(2, 2, 1);
    IconImage image = ImageOf(words, 2, 2);
    static char tool[] = "T";
    IconAttributes attributes{};
    attributes.defaultTool = tool;
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_stubOutput = c.output;
        g_stubResult = c.result;
        const std::string path = dir_.File("stub" + std::to_string(index++) + ".info");
        EXPECT_EQ(Save(path, &image, attributes), c.expected);
        Bytes file = tessel::test::ReadFileBytes(path);
        if (c.expected) {
            // icOn goes in where the stand-in's IEND stood: type 3, tool "T".
            const Bytes chunk = Chunk("icOn", {0x80, 0x00, 0x10, 0x0F, 0, 0, 0, 3, 0x80, 0x00, 0x10, 0x0A, 'T', 0});
            EXPECT_EQ(file, Cat({Bytes(smallest.begin(), smallest.end() - 12), chunk, IEND_CHUNK}));
        } else {
            EXPECT_TRUE(file.empty());
        }
        EXPECT_EQ(rt::GetFileCounters().liveStreams, 0);
    }

    StandInHost noData(nullptr, reinterpret_cast<PluginFunction>(&NullStreamData));
    SetHostApi(&noData.api);
    const std::string path = dir_.File("nodata.info");
    EXPECT_EQ(Save(path, &image, attributes), 0);
    EXPECT_TRUE(tessel::test::ReadFileBytes(path).empty());
    EXPECT_EQ(rt::GetFileCounters().liveStreams, 0);
}

// ---- Reading hand-made files -----------------------------------------------

constexpr std::uint32_t TAG_X = 0x80001001, TAG_Y = 0x80001002, TAG_LEFT = 0x80001003,
                        TAG_FLAGS = 0x80001007, TAG_STACK = 0x80001009, TAG_TOOL = 0x8000100A,
                        TAG_TOOLTYPE = 0x8000100B, TAG_TYPE = 0x8000100F;

TEST_F(PngIcon, ChunkPlacementAndTheTypeRule)
{
    struct Case {
        const char* what;
        Bytes before;   // chunks before IEND
        Bytes after;    // bytes after IEND
        std::int32_t type;
        std::int32_t posX;
        const char* tool;
    };
    const Case cases[] = {
        {"no icOn", {}, {}, 3, 0, nullptr},
        {"icOn of length 0", Chunk("icOn", {}), {}, 3, 0, nullptr},
        {"icOn after IEND is never read", {}, Chunk("icOn", Cat({Value(TAG_TYPE, 2), Value(0x80001008, 0)})), 3, 0, nullptr},
        {"other chunks are stepped over", Cat({Chunk("tEXt", Text("Comment\0x", false)), Chunk("icOn", Value(TAG_X, 9)),
                                                Chunk("zzZz", Bytes(37, 0xFF))}), {}, 3, 9, nullptr},
        {"a default tool makes a project", Chunk("icOn", String(TAG_TOOL, "MultiView")), {}, 4, 0, "MultiView"},
        {"a drawer item makes a drawer", Chunk("icOn", Cat({String(TAG_TOOL, "x"), Value(TAG_LEFT, 0)})), {}, 2, 0, "x"},
        {"an ignored tag that counts as a drawer item", Chunk("icOn", Value(0x80001011, 7)), {}, 2, 0, nullptr},
        {"ignored tags that do not", Chunk("icOn", Cat({Value(0x8000100C, 1), Value(0x8000100D, 1), Value(0x8000100E, 1),
                                                        Value(0x80001010, 1), Value(0x80001012, 1)})), {}, 3, 0, nullptr},
        {"a type item of 0 is as if absent", Chunk("icOn", Cat({Value(TAG_TYPE, 0), Value(0x80001107, 1)})), {}, 2, 0, nullptr},
        {"a type item holds over the rule", Chunk("icOn", Cat({Value(TAG_TYPE, 3), String(TAG_TOOL, "t"), Value(TAG_FLAGS, 2)})), {}, 3, 0, "t"},
        {"a later chunk replaces values", Cat({Chunk("icOn", Value(TAG_X, 5)), Chunk("icOn", Value(TAG_X, 0xFFFFFFFE))}), {}, 3, -2, nullptr},
        {"a second PNG after IEND is never read", {}, SmallPicture().With(Chunk("icOn", Value(TAG_TYPE, 2))), 3, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IconAttributes attributes{};
        IconHandle* icon = LoadBytes(SmallPicture().With(c.before, c.after), &attributes);
        ASSERT_NE(icon, nullptr);
        EXPECT_EQ(attributes.type, c.type);
        EXPECT_EQ(attributes.posX, c.posX);
        if (c.tool)
            EXPECT_STREQ(attributes.defaultTool, c.tool);
        else
            EXPECT_EQ(attributes.defaultTool, nullptr);
        EXPECT_EQ(attributes.toolTypes, nullptr);
        ASSERT_NE(icon->images, nullptr);
        EXPECT_EQ(Words(icon->images), SmallPicture().words);
        FreeIcon(icon);
    }
}

TEST_F(PngIcon, DrawerFlagsAreDecodedWithoutAMask)
{
    struct Case {
        std::uint32_t word;
        std::int32_t viewMode;
        std::int32_t showAll;
    };
    const Case cases[] = {
        {0x0, 2, 0}, {0x1, 2, 1}, {0x2, 1, 0}, {0x3, 1, 1}, {0x4, 3, 0}, {0xD, 5, 1},
        {0x10, 6, 0}, {0xFFFFFFF8, 0x40000000, 0}, {0xFFFFFFFF, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        IconAttributes attributes{};
        IconHandle* icon = LoadChunks(Chunk("icOn", Value(TAG_FLAGS, c.word)), &attributes);
        ASSERT_NE(icon, nullptr);
        EXPECT_EQ(attributes.type, 2);
        EXPECT_EQ(attributes.viewMode, c.viewMode);
        EXPECT_EQ(attributes.showAll, c.showAll);
        FreeIcon(icon);
    }
}

TEST_F(PngIcon, TooltypesFromSeveralChunksStayInOrder)
{
    const Bytes first = Chunk("icOn", Cat({String(TAG_TOOLTYPE, "ONE=1"), String(TAG_TOOLTYPE, "TWO"),
                                           String(TAG_TOOLTYPE, "THREE=3")}));
    const Bytes second = Chunk("icOn", Cat({String(TAG_TOOLTYPE, "FOUR=a much longer text than the first chunk had room for"),
                                            String(TAG_TOOLTYPE, "FIVE"), String(TAG_TOOLTYPE, "SIX")}));
    IconAttributes attributes{};
    IconHandle* icon = LoadChunks(Cat({first, Chunk("icOn", Value(TAG_X, 1)), second}), &attributes);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(ToolTypes(attributes),
              (std::vector<std::string>{"ONE=1", "TWO", "THREE=3",
                                        "FOUR=a much longer text than the first chunk had room for", "FIVE", "SIX"}));
    // The block the handle describes is the one it holds: the last byte
    // inside it is a terminator.
    ASSERT_GT(icon->toolTypeBlockBytes, 0u);
    EXPECT_EQ(icon->toolTypeBlock[icon->toolTypeBlockBytes - 1], 0);
    EXPECT_EQ(rt::LiveBlocks("tooltypes"), 1);
    FreeIcon(icon);

    // An empty tooltype is not stored: the next one takes its place.
    icon = LoadChunks(Chunk("icOn", Cat({String(TAG_TOOLTYPE, "A"), String(TAG_TOOLTYPE, ""), String(TAG_TOOLTYPE, "B")})),
                      &attributes);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(ToolTypes(attributes), (std::vector<std::string>{"A", "B"}));
    FreeIcon(icon);
}

TEST_F(PngIcon, ASecondDefaultToolReplacesTheFirst)
{
    IconAttributes attributes{};
    IconHandle* icon = LoadChunks(Cat({Chunk("icOn", String(TAG_TOOL, "First:Tool")),
                                       Chunk("icOn", Cat({String(TAG_TOOL, "Second"), String(TAG_TOOL, "Third")}))}),
                                  &attributes);
    ASSERT_NE(icon, nullptr);
    EXPECT_STREQ(attributes.defaultTool, "Third");
    EXPECT_EQ(rt::LiveBlocks("deftool"), 1);
    FreeIcon(icon);
}

// Items cut by the chunk's end stop that chunk only; the walk goes on.
TEST_F(PngIcon, CutItemsStopTheirChunkOnly)
{
    const Bytes laterChunk = Chunk("icOn", Value(TAG_Y, 7));
    struct Case {
        const char* what;
        Bytes chunk;
        std::int32_t stack;
        const char* tool;
        std::vector<std::string> toolTypes;
    };
    const Case cases[] = {
        {"a tag plus 2 bytes", Chunk("icOn", {0x80, 0x00, 0x10, 0x09, 0x00, 0x01}), 0, nullptr, {}},
        {"an item, then a tag plus 2 bytes", Chunk("icOn", Cat({Value(TAG_STACK, 4096), Be32(TAG_X), {0, 1}})), 4096, nullptr, {}},
        {"an item, then 3 stray bytes", Chunk("icOn", Cat({Value(TAG_STACK, 4096), {0x80, 0x00, 0x10}})), 4096, nullptr, {}},
        {"a default tool without its zero", Chunk("icOn", Cat({Value(TAG_STACK, 1), Be32(TAG_TOOL), Text("Hello", false)})), 1, "Hello", {}},
        {"a tooltype without its zero", Chunk("icOn", Cat({String(TAG_TOOLTYPE, "A"), Be32(TAG_TOOLTYPE), Text("BCD", false)})), 0, nullptr, {"A", "BCD"}},
        {"a string tag at the chunk's end", Chunk("icOn", Be32(TAG_TOOL)), 0, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IconAttributes attributes{};
        IconHandle* icon = LoadChunks(Cat({c.chunk, laterChunk}), &attributes);
        ASSERT_NE(icon, nullptr);
        EXPECT_EQ(attributes.stackSize, c.stack);
        EXPECT_EQ(attributes.posX, 0);
        EXPECT_EQ(attributes.posY, 7);
        if (c.tool)
            EXPECT_STREQ(attributes.defaultTool, c.tool);
        else
            EXPECT_EQ(attributes.defaultTool, nullptr);
        EXPECT_EQ(ToolTypes(attributes), c.toolTypes);
        FreeIcon(icon);
    }
}

TEST_F(PngIcon, RefusedTagsAndTheSignatureFailTheLoad)
{
    const Bytes cases[] = {
        Chunk("icOn", Value(0x80001008, 0)),
        Chunk("icOn", Cat({Value(TAG_X, 1), Value(0x8000120D, 4)})),
        Chunk("icOn", Value(0x80001000, 0)),
        Chunk("icOn", Value(0x80001013, 0)),
        Chunk("icOn", Value(0x00000001, 0)),
        Chunk("icOn", Value(0xFFFFFFFF, 0)),
        Cat({Chunk("icOn", String(TAG_TOOL, "kept until the refusal")), Chunk("icOn", Value(0x80001008, 0))}),
        Chunk("icOn", {0x80, 0x00, 0x10, 0x08}),  // refused even with no room for a value
    };
    for (const Bytes& chunk : cases) {
        EXPECT_EQ(LoadChunks(chunk, nullptr), nullptr);
        EXPECT_EQ(rt::LiveBlocks(), 0);
    }

    // Three signature pixels first refuse the picture; fewer than three never match.
    const std::vector<std::uint32_t> signature = {0x00515549, 0x004C4C4D, 0x004F5245};
    const Picture three(3, 1, signature);
    EXPECT_EQ(LoadBytes(three.With({}), nullptr), nullptr);
    const Picture four(2, 2, {0x00515549, 0x004C4C4D, 0x004F5245, 0xFF000000});
    EXPECT_EQ(LoadBytes(four.With({}), nullptr), nullptr);
    const Picture shifted(4, 1, {0xFF000000, 0x00515549, 0x004C4C4D, 0x004F5245});
    IconHandle* icon = LoadBytes(shifted.With({}), nullptr);
    ASSERT_NE(icon, nullptr);
    FreeIcon(icon);
    const Picture two(2, 1, {0x00515549, 0x004C4C4D});
    icon = LoadBytes(two.With({}), nullptr);
    ASSERT_NE(icon, nullptr);
    FreeIcon(icon);
}

// Files the host decoder would refuse whole: the picture is decoded from a
// good PNG, the chunks walked in the damaged file.
TEST_F(PngIcon, HostileChunkLengthsEndTheWalkPromptly)
{
    const Bytes good = SmallPicture().With({});
    const Bytes head = SmallPicture().head;
    const Bytes cases[] = {
        Cat({head, ChunkWithLength(0xFFFFFFF4, "abcd", {}), IEND_CHUNK}),
        Cat({head, ChunkWithLength(0xFFFFFFF0, "abcd", {}), IEND_CHUNK}),
        Cat({head, ChunkWithLength(0xFFFFFFF4, "icOn", Value(TAG_X, 1)), IEND_CHUNK}),
        Cat({head, ChunkWithLength(13, "icOn", Value(TAG_X, 1))}),   // reaches past the end
        Cat({head, Chunk("icOn", Value(TAG_X, 1))}),                  // no IEND
        Cat({head, Chunk("icOn", Value(TAG_X, 1)), {0, 0, 0}}),        // a cut chunk header
        head,
    };
    for (const Bytes& file : cases) {
        EXPECT_EQ(LoadBytes(file, nullptr, good), nullptr);
        EXPECT_EQ(rt::LiveBlocks(), 0);
    }
    // The real host refuses the first of them too.
    EXPECT_EQ(LoadBytes(cases[0], nullptr), nullptr);
    // And a file cut inside the IEND chunk, past its type, still ends the walk well.
    IconHandle* icon = LoadBytes(Cat({head, Bytes(IEND_CHUNK.begin(), IEND_CHUNK.begin() + 8)}), nullptr, good);
    ASSERT_NE(icon, nullptr);
    FreeIcon(icon);
}

// ---- Allocation failures ---------------------------------------------------

TEST_F(PngIcon, AllocationFailuresFailCleanly)
{
    const Bytes file = SmallPicture().With(Cat({
        Chunk("icOn", Cat({String(TAG_TOOL, "one"), String(TAG_TOOLTYPE, "A=1"), String(TAG_TOOLTYPE, "B")})),
        Chunk("icOn", Cat({String(TAG_TOOL, "two"), String(TAG_TOOLTYPE, "a longer tooltype than before")})),
    }));
    std::uint64_t runs = tessel::test::SweepAllocationFailures([&] {
        IconAttributes attributes{};
        IconHandle* icon = LoadBytes(file, &attributes);
        if (!icon)
            return false;
        bool right = ToolTypes(attributes).size() == 3 && std::strcmp(attributes.defaultTool, "two") == 0;
        FreeIcon(icon);
        return right;
    });
    EXPECT_GE(runs, 7u);  // handle, image record, pixels, two tools, two tooltype blocks, array

    static char tool[] = "Tool";
    static char tt[] = "K=V";
    static char* toolTypes[] = {tt, nullptr};
    IconAttributes attributes{2, 2, 1, 2, 3, 4, 5, 6, 7, 0, tool, toolTypes, 1, 0};
    std::vector<std::uint32_t> words = Pattern(3, 3, 2);
    IconImage image = ImageOf(words, 3, 3);
    const std::string path = dir_.File("sweep.info");
    runs = tessel::test::SweepAllocationFailures([&] { return Save(path, &image, attributes) == 1; });
    EXPECT_GE(runs, 1u);
}

TEST_F(PngIcon, ItemsThatCannotBeBufferedFailTheSave)
{
    std::vector<std::string> texts;
    for (int i = 0; i < 70; ++i)
        texts.push_back("T" + std::to_string(i) + "=" + std::string(1000, char('a' + i % 26)));
    std::vector<char*> toolTypes;
    for (std::string& text : texts)
        toolTypes.push_back(text.data());
    toolTypes.push_back(nullptr);
    IconAttributes attributes{};
    attributes.type = 3;
    attributes.toolTypes = toolTypes.data();
    std::vector<std::uint32_t> words = Pattern(3, 2, 4);
    IconImage image = ImageOf(words, 3, 2);
    Bytes png;
    ASSERT_TRUE(rt::EncodePng(words.data(), 3, 2, png));

    rt::MemoryFaults faults;
    faults.failTag = "pbuf";
    faults.failTagNth = 2;  // the growth past the first 64 KiB
    rt::SetMemoryFaults(faults);
    const std::string path = dir_.File("long.info");
    EXPECT_EQ(Save(path, &image, attributes), 0);
    EXPECT_TRUE(rt::MemoryFaultFired());
    rt::ClearMemoryFaults();
    EXPECT_EQ(tessel::test::ReadFileBytes(path), png);  // the plain PNG, no partial chunk

    ASSERT_EQ(Save(path, &image, attributes), 1);
    EXPECT_EQ(RunCommand("/usr/bin/pngcheck -q " + path + " >/dev/null"), 0);
    IconAttributes out{};
    IconHandle* icon = LoadFrom(path, &out);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(ToolTypes(out), std::vector<std::string>(texts.begin(), texts.end()));
    FreeIcon(icon);
}

// ---- The corpus ------------------------------------------------------------

// What each PNG icon of the corpus gives, read by hand from its first PNG
// datastream's icOn chunk; the second picture (and its icOn chunk, which in
// netsurf-icons holds the unknown tag 0x8000120D) is never read. A drawer
// flags word of 0xFFFFFFF8 reads as view mode 0x3FFFFFFE + 2.
struct CorpusIcon {
    const char* file;
    std::int32_t type, posX, posY, stackSize;
    std::int32_t drawerLeft, drawerTop, drawerWidth, drawerHeight, viewMode, showAll;
    const char* defaultTool;
    std::vector<std::string> toolTypes;
};

const std::string KEN_2007 = "(Icon \xA9" "2007 Ken Lester)";
const std::string KEN_2009 = "(Icon \xA9" "2009 Ken Lester)";

const std::vector<CorpusIcon>& CorpusIcons()
{
    static const std::vector<CorpusIcon> icons = {
        // file, type, x, y, stack, left, top, width, height, view mode, show all, tool, tooltypes
        {"amigagpt-amigagpt.info", 2, 0, 0, 4096, 108, 185, 424, 487, 2, 0, nullptr, {KEN_2007}},
        {"aros-arospdf.info", 3, 0, 0, 1600000, 0, 0, 0, 0, 0, 0, nullptr, {}},
        {"aros-gethidden.68k.info", 3, 86, 64, 8192, 0, 0, 0, 0, 0, 0, nullptr, {}},
        {"aros-playcdda.info", 3, 104, 5, 8192, 0, 0, 0, 0, 0, 0, nullptr, {"DOSDEV=CD0"}},
        {"netsurf-icons.info", 2, 31, 176, 4096, 365, 150, 322, 318, 1, 0, nullptr, {KEN_2007}},
        {"netsurf-ixnet.library.info", 3, 15, 102, 8192, 20, 20, 0, 0, 0x40000000, 0, "DOpus5:C/dopus_dclick", {KEN_2007}},
        {"netsurf-netsurf_dualpng.info", 4, 21, 84, 4096, 20, 20, 600, 199, 0x40000000, 0, nullptr, {KEN_2009}},
        {"netsurf-readme.info", 4, 92, 97, 32768, 20, 20, 0, 0, 0x40000000, 0, "Multiview", {}},
        {"netsurf-runwg.info", 4, 0, 0, 8192, 20, 20, 0, 0, 0x40000000, 0, "iconx", {KEN_2007}},
        {"netsurf-themes-default.info", 2, 0, 0, 4096, 246, 121, 392, 421, 1, 0, nullptr, {KEN_2007}},
        {"netsurf-usergroup.library.info", 3, 15, 171, 8192, 20, 20, 0, 0, 0x40000000, 0, "DOpus5:C/dopus_dclick", {KEN_2007}},
        {"smail-morphos_readme.info", 4, 27, 195, 4096, 0, 0, 0, 0, 0, 0, "MultiView", {}},
        {"smail-morphos_simplemail.guide.info", 4, 0, 0, 4096, 0, 0, 0, 0, 0, 0, "MultiView", {}},
        {"smail-morphos_simplemail.info", 3, 26, 4, 8192, 0, 0, 0, 0, 0, 0, nullptr, {}},
        {"smail-morphos_simplemail_folder.info", 2, 0, 0, 0, 72, 122, 144, 332, 1, 0, nullptr, {}},
        {"yam-check_aros.info", 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, {}},
        {"yam-new_aros.info", 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, {}},
        {"yam-old_aros.info", 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, {}},
    };
    return icons;
}

// Pillow's decode of the first picture of each file, as width, height (big
// endian 32 bits each) and RGBA bytes.
const char* PILLOW_DUMP = R"(import struct, sys
from PIL import Image
out = sys.argv[1]
for path in sys.argv[2:]:
    im = Image.open(path)
    im.load()
    rgba = im.convert('RGBA')
    with open(out + '/' + path.rsplit('/', 1)[1] + '.rgba', 'wb') as f:
        f.write(struct.pack('>II', *rgba.size) + rgba.tobytes())
)";

TEST_F(PngIcon, CorpusIconsLoadAsTheirChunksSayWithPillowsPixels)
{
    // Every file of the folder that starts as a PNG is in the table.
    std::vector<std::string> pngFiles;
    for (const auto& entry : std::filesystem::directory_iterator(CORPUS)) {
        Bytes bytes = tessel::test::ReadFileBytes(entry.path().string());
        if (entry.path().extension() == ".info" && bytes.size() >= 4 && bytes[0] == 0x89 && bytes[1] == 'P' &&
            bytes[2] == 'N' && bytes[3] == 'G')
            pngFiles.push_back(entry.path().filename().string());
    }
    std::sort(pngFiles.begin(), pngFiles.end());
    std::vector<std::string> tableFiles;
    for (const CorpusIcon& icon : CorpusIcons())
        tableFiles.emplace_back(icon.file);
    EXPECT_EQ(pngFiles, tableFiles);

    std::string script = dir_.File("dump.py");
    tessel::test::WriteFileBytes(script, Bytes(PILLOW_DUMP, PILLOW_DUMP + std::strlen(PILLOW_DUMP)));
    std::string command = "/usr/bin/python3 " + script + " " + dir_.Path();
    for (const CorpusIcon& icon : CorpusIcons())
        command += " " + CORPUS + icon.file;
    ASSERT_EQ(RunCommand(command), 0);

    for (const CorpusIcon& expected : CorpusIcons()) {
        SCOPED_TRACE(expected.file);
        IconAttributes out{};
        IconHandle* icon = LoadFrom(CORPUS + expected.file, &out);
        ASSERT_NE(icon, nullptr);
        EXPECT_EQ(out.type, expected.type);
        EXPECT_EQ(out.posX, expected.posX);
        EXPECT_EQ(out.posY, expected.posY);
        EXPECT_EQ(out.stackSize, expected.stackSize);
        EXPECT_EQ(out.drawerLeft, expected.drawerLeft);
        EXPECT_EQ(out.drawerTop, expected.drawerTop);
        EXPECT_EQ(out.drawerWidth, expected.drawerWidth);
        EXPECT_EQ(out.drawerHeight, expected.drawerHeight);
        EXPECT_EQ(out.viewMode, expected.viewMode);
        EXPECT_EQ(out.showAll, expected.showAll);
        if (expected.defaultTool)
            EXPECT_STREQ(out.defaultTool, expected.defaultTool);
        else
            EXPECT_EQ(out.defaultTool, nullptr);
        EXPECT_EQ(ToolTypes(out), expected.toolTypes);

        Bytes pillow = tessel::test::ReadFileBytes(dir_.File(std::string(expected.file) + ".rgba"));
        ASSERT_GE(pillow.size(), 8u);
        auto width = std::int32_t(pillow[0] << 24 | pillow[1] << 16 | pillow[2] << 8 | pillow[3]);
        auto height = std::int32_t(pillow[4] << 24 | pillow[5] << 16 | pillow[6] << 8 | pillow[7]);
        ASSERT_NE(icon->images, nullptr);
        EXPECT_EQ(icon->images->next, nullptr);
        EXPECT_EQ(icon->images->width, width);
        EXPECT_EQ(icon->images->height, height);
        ASSERT_EQ(pillow.size(), 8 + std::size_t(width) * std::size_t(height) * 4);
        std::vector<std::uint32_t> argb;
        for (std::size_t i = 8; i < pillow.size(); i += 4)
            argb.push_back(std::uint32_t(pillow[i + 3]) << 24 | std::uint32_t(pillow[i]) << 16 |
                           std::uint32_t(pillow[i + 1]) << 8 | pillow[i + 2]);
        EXPECT_EQ(Words(icon->images), argb);
        FreeIcon(icon);
    }
}

}  // namespace
