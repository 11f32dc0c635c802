// The tool's library on hand-made values: the records it hands the module,
// the pixels it extracts, the format it picks and the way it replaces files.
#include "runtime/host_services.h"
#include "tests/support/test_host.h"
#include "tool/command_line.h"
#include "tool/commands.h"
#include "tool/icon_files.h"
#include "tool/icon_values.h"
#include "tool/picture_export.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

namespace tessel::tool {
namespace {

using test::Bytes;
using test::TempDir;

Image PaletteImage(std::int32_t width, std::int32_t height, std::int32_t depth, Bytes pixels)
{
    Image image;
    image.width = width;
    image.height = height;
    image.depth = depth;
    image.pixels = std::move(pixels);
    image.palette.assign(ICON_PALETTE_ENTRIES, 0);
    return image;
}

std::vector<std::string> Entries(const std::string& directory)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    return names;
}

TEST(ToolExtract, PalettePensBecomeArgbWithTheTransparentPenClear)
{
    Image image = PaletteImage(2, 2, 1, {0, 1,
                                         1, 0});
    image.palette[0] = 0x00FF8000;
    image.palette[1] = 0x7F0000FF;                      // top byte ignored: pens are opaque
    image.transparentPen = 0;
    EXPECT_EQ(ImageToArgb(image), (std::vector<std::uint32_t>{0x00FF8000, 0xFF0000FF,
                                                              0xFF0000FF, 0x00FF8000}));
    image.transparentPen = -1;
    EXPECT_EQ(ImageToArgb(image), (std::vector<std::uint32_t>{0xFFFF8000, 0xFF0000FF,
                                                              0xFF0000FF, 0xFFFF8000}));
    // A pen above what the depth can hold still stays inside the 256 entries.
    image.pixels[3] = 255;
    image.palette[255] = 0x00123456;
    EXPECT_EQ(ImageToArgb(image)[3], 0xFF123456u);

    // Buffers shorter than the size claims, or impossible sizes, give nothing.
    Image shortPixels = PaletteImage(2, 2, 8, {1, 2, 3});
    Image shortPalette = PaletteImage(1, 1, 8, {0});
    shortPalette.palette.resize(16);
    Image shortWords = PaletteImage(1, 1, 32, {1, 2, 3});
    Image noWidth = PaletteImage(0, 1, 8, {});
    Image tooWide = PaletteImage(ICON_MAX_SIDE + 1, 1, 8, Bytes(ICON_MAX_SIDE + 1));
    for (const Image* bad : {&shortPixels, &shortPalette, &shortWords, &noWidth, &tooWide})
        EXPECT_TRUE(ImageToArgb(*bad).empty());
}

TEST(ToolExtract, PicturesAreNamedAfterTheInputWithoutItsLastExtension)
{
    EXPECT_EQ(ExtractFileName("icons/Disk.info", 0), "Disk-0.png");
    EXPECT_EQ(ExtractFileName("/a.b/app.tar.icns", 12), "app.tar-12.png");
    EXPECT_EQ(ExtractFileName("README", 1), "README-1.png");
    EXPECT_EQ(ExtractFileName(".info", 2), ".info-2.png");
}

TEST(ToolSave, ImageListIsLinkedInOrderWithFullPalettes)
{
    Image one = PaletteImage(3, 1, 1, {0, 1, 0});
    one.palette = {0x00FFFFFF, 0x00000000};             // short: padded to 256 entries
    one.flags = IMAGEFLAG_PRIMARY;
    one.transparentPen = 0;
    Image eight = PaletteImage(2, 2, 8, {9, 8});        // short pixels: padded with zeros
    eight.palette[9] = 0x00ABCDEF;
    eight.flags = IMAGEFLAG_SELECTED;
    Image full;
    full.width = 1;
    full.height = 1;
    full.depth = 32;
    full.pixels = {1, 2, 3, 4};

    SaveImageList list({one, eight, full});
    ASSERT_EQ(list.Size(), 3u);
    IconImage* first = list.First();
    ASSERT_NE(first, nullptr);
    IconImage* second = first->next;
    ASSERT_NE(second, nullptr);
    IconImage* third = second->next;
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->next, nullptr);

    EXPECT_EQ(first->width, 3);
    EXPECT_EQ(first->depth, 1);
    EXPECT_EQ(first->flags, IMAGEFLAG_PRIMARY);
    EXPECT_EQ(first->transparentPen, 0);
    EXPECT_EQ(Bytes(first->pixels, first->pixels + 3), (Bytes{0, 1, 0}));
    ASSERT_NE(first->palette, nullptr);
    EXPECT_EQ(first->palette[0], 0x00FFFFFFu);
    EXPECT_EQ(first->palette[255], 0u);

    EXPECT_EQ(second->flags, IMAGEFLAG_SELECTED);
    EXPECT_EQ(second->transparentPen, -1);
    EXPECT_EQ(Bytes(second->pixels, second->pixels + 4), (Bytes{9, 8, 0, 0}));
    ASSERT_NE(second->palette, nullptr);
    EXPECT_EQ(second->palette[9], 0x00ABCDEFu);

    EXPECT_EQ(third->depth, 32);
    EXPECT_EQ(third->palette, nullptr);
    EXPECT_EQ(Bytes(third->pixels, third->pixels + 4), (Bytes{1, 2, 3, 4}));
    for (IconImage* record : {first, second, third})
        EXPECT_EQ(record->mark, 0u);

    // The list holds its own copies: the module may write marks into them.
    EXPECT_NE(first->pixels, one.pixels.data());
    EXPECT_EQ(SaveImageList({}).First(), nullptr);
}

TEST(ToolSave, AttributesRecordHoldsNullEndedToolTypes)
{
    Attributes attributes;
    attributes.type = 4;
    attributes.posX = 10;
    attributes.drawerHeight = 200;
    attributes.stackSize = 8192;
    attributes.showAll = 1;
    attributes.defaultTool = "SYS:Utilities/More";
    attributes.toolTypes = {"FILETYPE=text", "", "(DONOTWAIT)"};
    AttributesRecord record(attributes);
    IconAttributes* raw = record.Get();
    EXPECT_EQ(raw->type, 4);
    EXPECT_EQ(raw->posX, 10);
    EXPECT_EQ(raw->drawerHeight, 200);
    EXPECT_EQ(raw->stackSize, 8192);
    EXPECT_EQ(raw->showAll, 1);
    EXPECT_STREQ(raw->defaultTool, "SYS:Utilities/More");
    ASSERT_NE(raw->toolTypes, nullptr);
    EXPECT_STREQ(raw->toolTypes[0], "FILETYPE=text");
    EXPECT_STREQ(raw->toolTypes[1], "");
    EXPECT_STREQ(raw->toolTypes[2], "(DONOTWAIT)");
    EXPECT_EQ(raw->toolTypes[3], nullptr);

    // And back: the copy made after a load reads the same record.
    Attributes copied = CopyAttributes(*raw);
    EXPECT_EQ(copied.defaultTool, attributes.defaultTool);
    EXPECT_EQ(copied.toolTypes, attributes.toolTypes);
    EXPECT_EQ(copied.stackSize, 8192);

    AttributesRecord empty(Attributes{});
    EXPECT_EQ(empty.Get()->defaultTool, nullptr);
    EXPECT_EQ(empty.Get()->toolTypes, nullptr);
    EXPECT_FALSE(CopyAttributes(*empty.Get()).defaultTool.has_value());
}

TEST(ToolLoad, ImageListsFromTheModuleAreCopiedOnlyWhenSound)
{
    std::uint8_t pixels[4] = {1, 2, 3, 4};
    std::uint32_t palette[ICON_PALETTE_ENTRIES] = {0x00102030};
    IconImage second{nullptr, pixels, 1, 1, IMAGEFLAG_SELECTED, 0, nullptr, -1, 32, 0, 0};
    IconImage first{&second, pixels, 2, 2, IMAGEFLAG_PRIMARY, 0, palette, 3, 4, 0, 0};
    std::vector<Image> images;
    std::string why;
    ASSERT_TRUE(CopyImages(&first, images, &why)) << why;
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].pixels, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(images[0].palette.size(), ICON_PALETTE_ENTRIES);
    EXPECT_EQ(images[0].palette[0], 0x00102030u);
    EXPECT_EQ(images[0].transparentPen, 3);
    EXPECT_EQ(images[1].pixels, (Bytes{1, 2, 3, 4}));
    EXPECT_TRUE(images[1].palette.empty());

    // Depth 0, a palette image with no planes, is one the module loads.
    IconImage noPlanes{nullptr, pixels, 2, 2, IMAGEFLAG_PRIMARY, 0, palette, 0, 0, 0, 0};
    ASSERT_TRUE(CopyImages(&noPlanes, images, &why)) << why;
    EXPECT_EQ(images[0].pixels, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(images[0].palette.size(), ICON_PALETTE_ENTRIES);

    IconImage noPixels{nullptr, nullptr, 1, 1, 0, 0, palette, -1, 8, 0, 0};
    IconImage badDepth{nullptr, pixels, 1, 1, 0, 0, palette, -1, -1, 0, 0};
    IconImage cycle{nullptr, pixels, 1, 1, 0, 0, palette, -1, 8, 0, 0};
    cycle.next = &cycle;                               // a broken module's list must not hang the tool
    for (IconImage* bad : {&noPixels, &badDepth, &cycle}) {
        EXPECT_FALSE(CopyImages(bad, images, &why));
        EXPECT_TRUE(images.empty());
    }
}

TEST(ToolConvert, MergedIconTakesAttributesFromTheFirstInputThatHasThem)
{
    Icon plain;                                        // a Windows icon: no attributes
    plain.images = {PaletteImage(1, 1, 8, {1})};
    Icon stackOnly;                                    // a stack size alone does not count
    stackOnly.attributes.stackSize = 4096;
    stackOnly.images = {PaletteImage(2, 2, 8, {1, 2, 3, 4})};
    Icon tool;
    tool.attributes.type = 3;
    tool.attributes.toolTypes = {"A=1"};
    tool.images = {PaletteImage(3, 3, 8, Bytes(9))};
    Icon drawer;
    drawer.attributes.type = 2;
    drawer.images = {PaletteImage(4, 4, 8, Bytes(16))};

    Icon merged = MergeIcons({plain, stackOnly, tool, drawer});
    EXPECT_EQ(merged.attributes.type, 3);
    EXPECT_EQ(merged.attributes.toolTypes, std::vector<std::string>{"A=1"});
    ASSERT_EQ(merged.images.size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(merged.images[i].width, i + 1);

    Icon none = MergeIcons({plain, stackOnly});
    EXPECT_EQ(none.attributes.stackSize, 0);
    EXPECT_FALSE(HasAttributes(none.attributes));
}

TEST(ToolConvert, FormatComesFromTheKeywordOrAnUnambiguousExtension)
{
    const std::vector<runtime::SaveFormat> formats = {
        {"AMIGAOS", "Amiga icon", "info", 0x2cdc9ba4},
        {"PNG", "PNG icon", "info", 0x66299321},
        {"WINDOWS", "Windows icon", "ico", 0x4ff820f7},
        {"MACOS", "macOS icon", "icns", 0xbba9467b},
    };
    struct Case {
        const char* keyword;
        const char* output;
        const char* expected;                          // keyword chosen, or null for an error
    };
    const Case cases[] = {
        {"", "out/app.ico", "WINDOWS"},
        {"", "APP.ICNS", "MACOS"},
        {"", "dir.icns/app.ico", "WINDOWS"},
        {"", "app.info", nullptr},                     // two formats share .info
        {"", "app", nullptr},
        {"", "app.png", nullptr},
        {"", "dir.ico/", nullptr},
        {"png", "app.info", "PNG"},
        {"AmigaOS", "app.ico", "AMIGAOS"},             // the keyword wins over the extension
        {"BMP", "app.ico", nullptr},
        {"AMIGA", "app.info", nullptr},                // no prefix matching
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.keyword) + " " + c.output);
        FormatChoice choice = ChooseSaveFormat(formats, c.keyword, c.output);
        if (c.expected) {
            ASSERT_NE(choice.format, nullptr) << choice.error;
            EXPECT_EQ(choice.format->keyword, c.expected);
        } else {
            EXPECT_EQ(choice.format, nullptr);
            EXPECT_NE(choice.error.find("AMIGAOS"), std::string::npos) << choice.error;
        }
    }
}

TEST(ToolCommandLine, OptionsAreFoundWhereverTheyStand)
{
    ParseResult a = ParseCommandLine({"convert", "a.png", "-oout.ico", "--module", "/m.qmp", "b.png",
                                      "--format=Windows", "--compress", "--", "-c.png"});
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.line.command, Command::Convert);
    EXPECT_EQ(a.line.files, (std::vector<std::string>{"a.png", "b.png", "-c.png"}));
    EXPECT_EQ(a.line.output, "out.ico");
    EXPECT_EQ(a.line.formatKeyword, "Windows");
    EXPECT_EQ(a.line.modulePath, "/m.qmp");
    EXPECT_TRUE(a.line.compress);

    ParseResult b = ParseCommandLine({"--module=/x.qmp", "info", "--json", "-", "a.info"});
    ASSERT_TRUE(b.ok) << b.error;
    EXPECT_EQ(b.line.command, Command::Info);
    EXPECT_TRUE(b.line.json);
    EXPECT_EQ(b.line.files, (std::vector<std::string>{"-", "a.info"}));
    EXPECT_EQ(b.line.modulePath, "/x.qmp");

    ParseResult c = ParseCommandLine({"extract", "--help", "--bogus-later-is-still-an-error"});
    EXPECT_FALSE(c.ok);
    ParseResult d = ParseCommandLine({"info", "--help"});
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.line.command, Command::Help);
    EXPECT_EQ(d.line.helpTopic, "info");
    EXPECT_FALSE(HelpText(d.line.helpTopic).empty());
    ParseResult e = ParseCommandLine({"--version"});
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.line.command, Command::Version);
}

TEST(ToolSave, ReplaceFileTouchesTheOutputOnlyOnSuccess)
{
    TempDir dir;
    const std::string output = dir.File("out.ico");
    const Bytes original = {'o', 'l', 'd'};
    test::WriteFileBytes(output, original);
    ASSERT_EQ(::chmod(output.c_str(), 0640), 0);

    std::string seenPath, why;
    bool replaced = ReplaceFile(
        output,
        [&](const std::string& temporaryPath) {
            seenPath = temporaryPath;
            test::WriteFileBytes(temporaryPath, {'h', 'a', 'l', 'f'});
            why = "writer gave up";
            return false;
        },
        &why);
    EXPECT_FALSE(replaced);
    EXPECT_EQ(why, "writer gave up");
    EXPECT_EQ(std::filesystem::path(seenPath).parent_path(), std::filesystem::path(dir.Path()));
    EXPECT_FALSE(test::FileExists(seenPath));
    EXPECT_EQ(test::ReadFileBytes(output), original);
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"out.ico"});

    EXPECT_THROW(ReplaceFile(output, [](const std::string&) -> bool { throw std::runtime_error("boom"); }, &why),
                 std::runtime_error);
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"out.ico"});

    replaced = ReplaceFile(
        output,
        [&](const std::string& temporaryPath) {
            test::WriteFileBytes(temporaryPath, {'n', 'e', 'w'});
            return true;
        },
        &why);
    EXPECT_TRUE(replaced) << why;
    EXPECT_EQ(test::ReadFileBytes(output), (Bytes{'n', 'e', 'w'}));
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"out.ico"});
    struct stat status{};
    ASSERT_EQ(::stat(output.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);         // the replaced file's permissions

    EXPECT_FALSE(ReplaceFile(dir.Path(), [](const std::string&) { return true; }, &why));
    EXPECT_FALSE(ReplaceFile(dir.File("no/such/dir/out.ico"), [](const std::string&) { return true; }, &why));
}

// The module's SaveIcon creates the file it is given before it can fail. A
// failing close makes every save fail, with or without working writers: the
// file the module created must go, and the existing output must stay.
TEST(ToolSave, FailedModuleSaveRemovesItsTemporaryFile)
{
    runtime::Module& module = test::SharedModule();
    TempDir dir;
    const std::string output = dir.File("keep.ico");
    const Bytes original = {'k', 'e', 'e', 'p'};
    test::WriteFileBytes(output, original);

    Icon icon;
    icon.images = {PaletteImage(2, 2, 8, {0, 1, 1, 0})};
    icon.images[0].palette[1] = 0x00FFFFFF;
    SaveRequest request;
    request.formatId = 0x4ff820f7;                      // WINDOWS
    request.formatName = "Windows icon";

    runtime::ResetFileCounters();
    runtime::FileFaults faults;
    faults.failClose = true;
    runtime::SetFileFaults(faults);
    std::string why;
    bool saved = SaveIconFile(module, output, request, icon, &why);
    runtime::ClearFileFaults();

    EXPECT_FALSE(saved);
    EXPECT_EQ(why, "cannot save as Windows icon");
    EXPECT_GE(runtime::GetFileCounters().opens, 1u);   // the module did open a file to write
    EXPECT_EQ(runtime::GetFileCounters().liveFiles, 0);
    EXPECT_EQ(test::ReadFileBytes(output), original);
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"keep.ico"});
}

}  // namespace
}  // namespace tessel::tool
