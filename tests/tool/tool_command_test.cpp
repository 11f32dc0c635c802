// The tessel command run as a separate process, and the tool's output judged
// by programs no one here wrote (Python's json module, Pillow, icotool).
#include "tests/support/process.h"
#include "tests/support/test_host.h"
#include "tool/icon_values.h"
#include "tool/icon_report.h"
#include "tool/picture_export.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>


namespace tessel::tool {
namespace {

using test::Bytes;
using test::TempDir;

using test::DirectoryEntries;
using test::ProcessResult;
using test::ReadText;
using test::RunProgram;
using test::RunTessel;

std::string Lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

TEST(ToolCommand, FormatsListsTheSevenSaveFormatsInTableOrder)
{
    ProcessResult run = RunTessel({"formats"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              "AMIGAOS    Amiga icon        .info  0x2cdc9ba4\n"
              "NEWICON    NewIcon           .info  0x4b6273b7\n"
              "AMIGAOS35  AmigaOS 3.5 icon  .info  0x048ace1f\n"
              "AMIGAOS40  AmigaOS 4.0 icon  .info  0x5e8256b5\n"
              "PNG        PNG icon          .info  0x66299321\n"
              "WINDOWS    Windows icon      .ico   0x4ff820f7\n"
              "MACOS      macOS icon        .icns  0xbba9467b\n");
}

TEST(ToolCommand, UsageErrorsExitTwoWithAHint)
{
    TempDir dir;
    const std::string png = dir.File("x.png");
    test::WriteFileBytes(png, {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'});
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"--frobnicate", "formats"},
        {"formats", "extra"},
        {"info"},
        {"info", png, "--bogus"},
        {"info", png, "--json=yes"},
        {"extract", png},
        {"extract", png, "-o"},
        {"extract", png, png, "-o", dir.Path()},
        {"convert", png},
        {"convert", "-o", dir.File("out.ico")},
        {"convert", png, "-o", dir.File("a.ico"), "-o", dir.File("b.ico")},
        {"help", "frobnicate"},
        {"--version", "formats"},
        {"--module"},
        // These two need the module's format list before refusing.
        {"convert", png, "-o", dir.File("out.info")},
        {"convert", png, "-o", dir.File("out.ico"), "-f", "BMP"},
        {"convert", png, "-o", dir.File("out.xyz")},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const std::string& arg : args)
            shown += " " + arg;
        SCOPED_TRACE("tessel" + shown);
        ProcessResult run = RunTessel(args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("tessel: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("usage: tessel"), std::string::npos) << run.err;
    }
    EXPECT_EQ(DirectoryEntries(dir.Path()), std::set<std::string>{"x.png"});
}

TEST(ToolCommand, AmbiguousExtensionAsksForAKeyword)
{
    TempDir dir;
    const std::string png = dir.File("x.png");
    test::WriteFileBytes(png, {0x89, 'P', 'N', 'G'});
    ProcessResult run = RunTessel({"convert", png, "-o", dir.File("out.info")});
    EXPECT_EQ(run.exitCode, 2);
    for (const char* keyword : {"-f", "AMIGAOS", "NEWICON", "AMIGAOS35", "AMIGAOS40", "PNG"})
        EXPECT_NE(run.err.find(keyword), std::string::npos) << keyword << " missing from: " << run.err;
}

TEST(ToolCommand, InfoNamesTheFileAndWhatIsWrongWithIt)
{
    TempDir dir;
    const std::string text = dir.File("notes.txt");
    const std::string shortFile = dir.File("short.info");
    const std::string damaged = dir.File("damaged.ico");
    test::WriteFileBytes(text, {'?', 0x00, 0x12, 0x00, 'h', 'i', '\n'});
    test::WriteFileBytes(shortFile, {0xE3, 0x10});
    // A Windows icon header announcing one entry, and nothing after it.
    test::WriteFileBytes(damaged, {0x00, 0x00, 0x01, 0x00, 0x01, 0x00});

    struct Case {
        std::string file;
        std::string message;
    };
    const Case cases[] = {
        {text, "not an icon file (starts with 3F 00 12 00)"},
        {shortFile, "not an icon file (only 2 bytes long: E3 10)"},
        {damaged, "cannot read Windows icon (damaged or not supported)"},
        {dir.File("missing.info"), "cannot open (" + Lowered(std::strerror(ENOENT)) + ")"},
        {dir.Path(), "cannot open (is a directory)"},
    };
    for (const Case& c : cases) {
        for (bool json : {false, true}) {
            SCOPED_TRACE(c.file + (json ? " --json" : ""));
            ProcessResult run = RunTessel(json ? std::vector<std::string>{"info", c.file, "--json"}
                                               : std::vector<std::string>{"info", c.file});
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, "tessel: " + c.file + ": " + c.message + "\n");
        }
    }
    // Every file is tried: two failures give two messages.
    ProcessResult both = RunTessel({"info", text, damaged});
    EXPECT_EQ(both.exitCode, 1);
    EXPECT_EQ(std::count(both.err.begin(), both.err.end(), '\n'), 2);
}

TEST(ToolCommand, FailedConvertLeavesTheExistingOutputAndNoTemporaryFile)
{
    TempDir dir;
    const std::string damaged = dir.File("damaged.ico");
    const std::string text = dir.File("notes.txt");
    test::WriteFileBytes(damaged, {0x00, 0x00, 0x01, 0x00, 0x01, 0x00});
    test::WriteFileBytes(text, {'h', 'e', 'l', 'l', 'o'});
    const Bytes precious = {'k', 'e', 'e', 'p', 0x00, 0xFF, '\n'};
    for (const char* outputName : {"out.ico", "out.icns", "out.info"}) {
        const std::string output = dir.File(outputName);
        test::WriteFileBytes(output, precious);
        const std::set<std::string> before = DirectoryEntries(dir.Path());
        for (const std::vector<std::string>& inputs : {std::vector<std::string>{damaged},
                                                       std::vector<std::string>{text, damaged}}) {
            std::vector<std::string> args = {"convert"};
            args.insert(args.end(), inputs.begin(), inputs.end());
            args.insert(args.end(), {"-o", output, "-f", "macos", "--compress"});
            ProcessResult run = RunTessel(args);
            SCOPED_TRACE(run.err);
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_NE(run.err.find(damaged + ": cannot read Windows icon"), std::string::npos);
            EXPECT_EQ(test::ReadFileBytes(output), precious);
            EXPECT_EQ(DirectoryEntries(dir.Path()), before);
        }
    }
    // extract creates its directory only once the icon has loaded.
    ProcessResult extract = RunTessel({"extract", damaged, "-o", dir.File("pictures")});
    EXPECT_EQ(extract.exitCode, 1);
    EXPECT_FALSE(test::FileExists(dir.File("pictures")));
}

TEST(ToolCommand, MissingModuleIsAFailureNotAUsageError)
{
    ProcessResult run = RunTessel({"--module", "/nonexistent/tessel.qmp", "formats"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("tessel: ", 0), 0u);
    EXPECT_NE(run.err.find("/nonexistent/tessel.qmp"), std::string::npos) << run.err;
}

TEST(ToolCommand, HelpIsReachableThreeWaysAndTeachesConvert)
{
    ProcessResult overview = RunTessel({"--help"});
    EXPECT_EQ(overview.exitCode, 0);
    for (const char* command : {"formats", "info", "extract", "convert", "--module", "exit status"})
        EXPECT_NE(overview.out.find(command), std::string::npos) << command;
    ProcessResult byHelp = RunTessel({"help", "convert"});
    ProcessResult byFlag = RunTessel({"convert", "--help"});
    EXPECT_EQ(byHelp.exitCode, 0);
    EXPECT_EQ(byFlag.exitCode, 0);
    EXPECT_EQ(byHelp.out, byFlag.out);
    EXPECT_NE(byHelp.out.find("-o logo.ico"), std::string::npos);
    EXPECT_NE(byHelp.out.find("-o logo.icns"), std::string::npos);
}

// Icon text is raw bytes; the JSON must still be JSON, and Python must read
// back the values the icon holds (Latin-1 where the bytes are not UTF-8).
TEST(ToolJson, PythonReadsBackEveryAwkwardString)
{
    Icon icon;
    icon.format = "Amiga icon";
    icon.attributes.type = 3;
    icon.attributes.stackSize = 4096;
    icon.attributes.posX = -5;
    icon.attributes.defaultTool = "SYS:\xA9 \"Tools\"";
    icon.attributes.toolTypes = {
        "QUOTE=\"x\"",
        "back\\slash",
        std::string("\x01\x1F\t\n\r\b\f\x7F", 8),
        "Gr\xFC\xDF" "e",               // Latin-1
        "caf\xC3\xA9",                  // UTF-8
        "\xF0\x9F\x98\x80",             // UTF-8 outside the BMP
        "\xC3(",                        // a broken sequence: two Latin-1 bytes
        "\xED\xA0\x80",                 // an encoded surrogate is not UTF-8
        "\xC0\xAF",                     // nor is an overlong slash
        std::string("nul\0inside", 10),
    };
    Image image;
    image.width = 46;
    image.height = 23;
    image.depth = 8;
    image.flags = IMAGEFLAG_PRIMARY | IMAGEFLAG_SELECTED;
    image.transparentPen = -1;
    icon.images = {image};

    TempDir dir;
    const std::string jsonPath = dir.File("info.json");
    std::ofstream(jsonPath, std::ios::binary) << InfoJson("dir/\"odd\"\\name.info", icon);
    const char* script =
        "import json,sys\n"
        "d=json.load(sys.stdin)\n"
        "a=d['attributes']\n"
        "i=d['images'][0]\n"
        "print(json.dumps([d['file'],d['format'],a['type'],a['stackSize'],a['posX'],a['defaultTool'],"
        "a['toolTypes'],[i['width'],i['height'],i['depth'],i['flags'],i['transparentPen'],i['paletteSize']]]))\n";
    ProcessResult python = RunProgram({"/usr/bin/python3", "-c", script}, {}, jsonPath);
    ASSERT_EQ(python.exitCode, 0) << python.err;
    EXPECT_EQ(python.out,
              R"(["dir/\"odd\"\\name.info", "Amiga icon", 3, 4096, -5, "SYS:\u00a9 \"Tools\"", )"
              R"(["QUOTE=\"x\"", "back\\slash", "\u0001\u001f\t\n\r\b\f\u007f", "Gr\u00fc\u00dfe", )"
              R"("caf\u00e9", "\ud83d\ude00", "\u00c3(", "\u00ed\u00a0\u0080", "\u00c0\u00af", "nul\u0000inside"], )"
              R"([46, 23, 8, 3, -1, 256]])"
              "\n");
}

// Pillow reads the extracted pictures back: palette pens through the
// palette, the transparent pen clear, 32-bit words as they are.
TEST(ToolExtract, PillowReadsBackTheExpandedPixels)
{
    Image pens;
    pens.width = 2;
    pens.height = 2;
    pens.depth = 1;
    pens.transparentPen = 0;
    pens.pixels = {0, 1,
                   1, 0};
    pens.palette.assign(ICON_PALETTE_ENTRIES, 0);
    pens.palette[0] = 0x00FF8000;
    pens.palette[1] = 0x7F0000FF;                       // a stray top byte is not alpha

    Image argb;
    argb.width = 1;
    argb.height = 2;
    argb.depth = 32;
    for (std::uint32_t word : {0x80112233u, 0xFF445566u}) {
        std::uint8_t bytes[4];
        std::memcpy(bytes, &word, 4);                   // native order, as the module keeps them
        argb.pixels.insert(argb.pixels.end(), bytes, bytes + 4);
    }

    struct Case {
        const Image* image;
        const char* expected;                           // mode, size, RGBA bytes in hex
    };
    const Case cases[] = {
        {&pens, "RGBA 2 2 ff800000" "0000ffff" "0000ffff" "ff800000\n"},
        {&argb, "RGBA 1 2 11223380" "445566ff\n"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string path = dir.File("picture.png");
        std::string why;
        ASSERT_TRUE(WriteImagePng(*c.image, path, &why)) << why;
        ProcessResult pillow = RunProgram(
            {"/usr/bin/python3", "-c",
             "import sys\nfrom PIL import Image\nim=Image.open(sys.argv[1])\n"
             "print(im.mode, im.size[0], im.size[1], im.tobytes().hex())",
             path});
        ASSERT_EQ(pillow.exitCode, 0) << pillow.err;
        EXPECT_EQ(pillow.out, c.expected);
    }
    EXPECT_EQ(DirectoryEntries(dir.Path()), std::set<std::string>{"picture.png"});
}

// The image sizes info reports for real Windows icons, against icotool. Until
// the Windows reader exists the load is refused, and that refusal must be the
// documented message.
TEST(ToolCommand, InfoAgreesWithIcotoolOnRealIcons)
{
    bool anyLoaded = false;
    for (const char* name : {"pillow-python.ico", "putty-puttyins.ico", "py27-wish.ico"}) {
        const std::string path = std::string(TESSEL_CORPUS_DIR) + "/windows/" + name;
        SCOPED_TRACE(path);
        ProcessResult info = RunTessel({"info", path, "--json"});
        if (info.exitCode == 1) {
            EXPECT_EQ(info.err, "tessel: " + path + ": cannot read Windows icon (damaged or not supported)\n");
            continue;
        }
        ASSERT_EQ(info.exitCode, 0) << info.err;
        anyLoaded = true;
        TempDir dir;
        const std::string jsonPath = dir.File("info.json");
        std::ofstream(jsonPath) << info.out;
        ProcessResult sizes = RunProgram(
            {"/usr/bin/python3", "-c",
             "import json,sys\nd=json.load(sys.stdin)\n"
             "print(sorted('%dx%d' % (i['width'], i['height']) for i in d['images']))"},
            {}, jsonPath);
        ProcessResult icotool = RunProgram(
            {"/usr/bin/python3", "-c",
             "import re,subprocess,sys\n"
             "out=subprocess.run(['icotool','-l',sys.argv[1]],capture_output=True,text=True).stdout\n"
             "print(sorted('%sx%s' % m for m in re.findall(r'--width=(\\d+) --height=(\\d+)', out)))",
             path});
        ASSERT_EQ(icotool.exitCode, 0) << icotool.err;
        EXPECT_EQ(sizes.out, icotool.out);
    }
    if (!anyLoaded)
        GTEST_SKIP() << "the Windows icon reader does not load these yet";
}

}  // namespace
}  // namespace tessel::tool

namespace tessel::tool {
namespace {

// Under every kind of fault the tool reports failure and leaves no broken
// file: an existing output stays as it was, a new one does not appear, and no
// temporary file is left behind.
TEST(ToolFaults, AFailingRunLeavesNoBrokenFile)
{
    const std::string sample = std::string(TESSEL_SOURCE_DIR) + "/samples/tessel.info";
    const char* faults[] = {"write-after=0", "write-after=100", "read-after=10", "alloc-nth=1",
                            "alloc-nth=5", "close"};
    const std::vector<std::vector<std::string>> targets = {
        {"out.ico"}, {"out.icns"}, {"out.info", "-f", "AMIGAOS40"}, {"out.info", "-f", "PNG"}};
    for (const char* fault : faults) {
        for (const auto& target : targets) {
            SCOPED_TRACE(std::string(fault) + " " + target[0] + (target.size() > 1 ? " " + target[2] : ""));
            TempDir dir;
            const std::string existing = dir.File("existing-" + target[0]);
            const Bytes original = {'k', 'e', 'e', 'p'};
            test::WriteFileBytes(existing, original);
            std::set<std::string> before = DirectoryEntries(dir.Path());
            for (const std::string& output : {existing, dir.File(target[0])}) {
                std::vector<std::string> args = {TESSEL_TOOL_PATH, "convert", sample, "-o", output};
                args.insert(args.end(), target.begin() + 1, target.end());
                ProcessResult run = RunProgram(args,
                                               {std::string("TESSEL_MODULE=") + TESSEL_MODULE_PATH,
                                                std::string("TESSEL_FAULTS=") + fault});
                EXPECT_EQ(run.exitCode, 1) << run.err;
                EXPECT_NE(run.err.find("tessel: "), std::string::npos);
            }
            EXPECT_EQ(test::ReadFileBytes(existing), original);
            EXPECT_EQ(DirectoryEntries(dir.Path()), before);
        }
    }
}

TEST(ToolFaults, UnknownFaultIsAUsageError)
{
    ProcessResult run = RunProgram({TESSEL_TOOL_PATH, "formats"},
                                   {std::string("TESSEL_MODULE=") + TESSEL_MODULE_PATH, "TESSEL_FAULTS=melt=1"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("TESSEL_FAULTS"), std::string::npos);
}

}  // namespace
}  // namespace tessel::tool
