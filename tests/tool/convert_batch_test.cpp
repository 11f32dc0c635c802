// convert's batch mode, attributes set on the way, --resize and its scaler,
// info --brief and extract's state filters, mostly by running the built
// tessel, with icotool and icns2png as independent readers of what it wrote.
#include "tests/support/process.h"
#include "tests/support/test_host.h"
#include "tool/icon_values.h"
#include "tool/picture_export.h"
#include "tool/resize.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>


namespace tessel::tool {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

using ProgramResult = test::ProcessResult;
using test::DirectoryEntries;
using test::RunProgram;

ProgramResult Tessel(std::vector<std::string> args)
{
    return test::RunTessel(std::move(args));
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}


const std::vector<std::string> CORPUS_FOLDERS = {
    std::string(TESSEL_CORPUS_DIR) + "/amiga",
    std::string(TESSEL_CORPUS_DIR) + "/windows",
    std::string(TESSEL_CORPUS_DIR) + "/macos",
};

std::size_t CorpusFileCount()
{
    std::size_t count = 0;
    for (const std::string& folder : CORPUS_FOLDERS)
        for (const auto& entry : fs::directory_iterator(folder))
            count += entry.is_regular_file();
    return count;
}

Image TrueColour(std::int32_t width, std::int32_t height, const std::vector<std::uint32_t>& argb)
{
    Image image;
    image.width = width;
    image.height = height;
    image.depth = 32;
    image.pixels.resize(argb.size() * 4);
    std::memcpy(image.pixels.data(), argb.data(), image.pixels.size());
    return image;
}

// A square picture with a pattern in every channel, written as a PNG file.
void WriteSquarePng(const std::string& path, std::int32_t side)
{
    std::vector<std::uint32_t> argb(std::size_t(side) * std::size_t(side));
    for (std::int32_t y = 0; y < side; ++y)
        for (std::int32_t x = 0; x < side; ++x)
            argb[std::size_t(y) * side + x] = 0xFF000000u | std::uint32_t(x & 0xFF) << 16 |
                                               std::uint32_t(y & 0xFF) << 8 | 0x80;
    std::string why;
    ASSERT_TRUE(WriteImagePng(TrueColour(side, side, argb), path, &why)) << why;
}

// Sizes of the images icotool lists ("--width=16 --height=16").
std::multiset<int> IcotoolSizes(const std::string& file)
{
    ProgramResult run = RunProgram({"icotool", "-l", file});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::multiset<int> sizes;
    std::regex pattern("--width=(\\d+) --height=(\\d+)");
    for (const std::string& line : Lines(run.out)) {
        std::smatch match;
        if (std::regex_search(line, match, pattern) && match[1] == match[2])
            sizes.insert(std::stoi(match[1]));
    }
    return sizes;
}

// Sizes of the colour elements icns2png lists ("'ic09' 512x512 32-bit icon").
std::set<int> Icns2pngSizes(const std::string& file)
{
    ProgramResult run = RunProgram({"icns2png", "-l", file});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::set<int> sizes;
    std::regex pattern("'....' (\\d+)x(\\d+) 32-bit icon");
    for (const std::string& line : Lines(run.out)) {
        std::smatch match;
        if (std::regex_search(line, match, pattern) && match[1] == match[2])
            sizes.insert(std::stoi(match[1]));
    }
    return sizes;
}

TEST(Scaler, HalvingAveragesEachTwoByTwoBlockOnPremultipliedAlpha)
{
    const std::vector<std::uint32_t> source = {
        0xFF000000, 0xFFFFFFFF, 0xFF102030, 0xFF102030,   // top-left block: black, white,
        0xFFFF0000, 0xFF0000FF, 0xFF102030, 0xFF102030,   //   red, blue; top-right: one colour
        0xFFFF0000, 0x00000000, 0x00000000, 0x00000000,   // bottom-left: red beside transparent
        0x00000000, 0xFFFF0000, 0x00000000, 0x00000000,   //   black; bottom-right: transparent
    };
    // Top-left: R (0+255+255+0)/4 = 127.5, G 255/4 = 63.75, B 510/4 = 127.5.
    // Bottom-left: alpha 510/4 = 127.5; the colour is red's alone, since the
    // transparent pixels weigh nothing (a straight average would give 0x80).
    EXPECT_EQ(ScaleArgb(source, 4, 4, 2, 2), (std::vector<std::uint32_t>{
                                                 0xFF804080, 0xFF102030,
                                                 0x80FF0000, 0x00000000,
                                             }));
}

TEST(Scaler, FractionalFootprintsWeighBySharedArea)
{
    // Three pixels into two: the first output covers 1.5 source pixels, all of
    // the first and half of the second: (255*1 + 0*0.5) / 1.5 = 170.
    EXPECT_EQ(ScaleArgb({0xFFFFFFFF, 0xFF000000, 0xFF000000}, 3, 1, 2, 1),
              (std::vector<std::uint32_t>{0xFFAAAAAA, 0xFF000000}));
    // Opaque and half-transparent white halves: alpha (255+128)/2, colour white.
    EXPECT_EQ(ScaleArgb({0xFFFFFFFF, 0x80FFFFFF}, 2, 1, 1, 1), (std::vector<std::uint32_t>{0xC0FFFFFF}));
    EXPECT_TRUE(ScaleArgb({0xFF000000}, 2, 1, 1, 1).empty());   // source shorter than its size
    EXPECT_TRUE(ScaleArgb({0xFF000000}, 1, 1, 0, 1).empty());
}

TEST(Scaler, ResizeMakesOnlySmallerSizesPerStateCentringNonSquareImages)
{
    // A 64x32 opaque normal image and a 20x20 selected one, for WINDOWS.
    std::vector<Image> images = {
        TrueColour(64, 32, std::vector<std::uint32_t>(64 * 32, 0xFF336699)),
        TrueColour(20, 20, std::vector<std::uint32_t>(20 * 20, 0xFF000000)),
    };
    images[1].flags = IMAGEFLAG_SELECTED;
    // Normal: 16, 24, 32, 48 from the 64-wide image; nothing larger for 256.
    // Selected: 16 only.
    ASSERT_EQ(AddResizedImages(images, "WINDOWS"), 5u);
    std::vector<std::pair<std::int32_t, bool>> made;
    for (std::size_t i = 2; i < images.size(); ++i)
        made.push_back({images[i].width, (images[i].flags & IMAGEFLAG_SELECTED) != 0});
    EXPECT_EQ(made, (std::vector<std::pair<std::int32_t, bool>>{
                        {16, false}, {24, false}, {32, false}, {48, false}, {16, true}}));
    // The 16x16 from 64x32 is 16x8 centred: rows 0..3 and 12..15 transparent.
    const std::vector<std::uint32_t> sixteen = ImageToArgb(images[2]);
    ASSERT_EQ(sixteen.size(), 256u);
    EXPECT_EQ(sixteen[3 * 16 + 5], 0u);
    EXPECT_EQ(sixteen[4 * 16 + 5], 0xFF336699u);
    EXPECT_EQ(sixteen[11 * 16 + 15], 0xFF336699u);
    EXPECT_EQ(sixteen[12 * 16 + 0], 0u);
    EXPECT_EQ(AddResizedImages(images, "AMIGAOS"), 0u);
    EXPECT_EQ(AddResizedImages(images, "PNG"), 0u);
}

TEST(ConvertResize, WindowsAndMacosGetTheirSizesAsIndependentReadersSee)
{
    TempDir dir;
    WriteSquarePng(dir.File("big256.png"), 256);
    WriteSquarePng(dir.File("big512.png"), 512);

    ProgramResult ico = Tessel({"convert", dir.File("big256.png"), "-o", dir.File("app.ico"), "--resize"});
    ASSERT_EQ(ico.exitCode, 0) << ico.err;
    EXPECT_EQ(IcotoolSizes(dir.File("app.ico")), (std::multiset<int>{16, 24, 32, 48, 256}));
    ProgramResult plain = Tessel({"convert", dir.File("big256.png"), "-o", dir.File("plain.ico")});
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_EQ(IcotoolSizes(dir.File("plain.ico")), (std::multiset<int>{256}));

    ProgramResult icns = Tessel({"convert", dir.File("big512.png"), "-o", dir.File("app.icns"), "--resize"});
    ASSERT_EQ(icns.exitCode, 0) << icns.err;
    EXPECT_EQ(Icns2pngSizes(dir.File("app.icns")), (std::set<int>{16, 32, 48, 128, 256, 512}));
    // Pillow reads each size of the icon and makes it again from the
    // picture with its own box filter; on this smooth opaque picture the two
    // agree to rounding (Pillow rounds between its two passes).
    const std::string script =
        "import sys\n"
        "from PIL import Image\n"
        "big = Image.open(sys.argv[1]).convert('RGBA')\n"
        "ico = Image.open(sys.argv[2])\n"
        "for side in (16, 24, 32, 48):\n"
        "    ico.size = (side, side)\n"
        "    ico.load()\n"
        "    mine = ico.convert('RGBA')\n"
        "    ref = big.resize((side, side), Image.BOX)\n"
        "    worst = max(abs(a - b) for p, q in zip(mine.getdata(), ref.getdata()) for a, b in zip(p, q))\n"
        "    print(side, 'ok' if worst <= 1 else worst)\n";
    ProgramResult pillow = RunProgram({"/usr/bin/python3", "-c", script, dir.File("big256.png"), dir.File("app.ico")});
    EXPECT_EQ(pillow.exitCode, 0) << pillow.err;
    EXPECT_EQ(pillow.out, "16 ok\n24 ok\n32 ok\n48 ok\n");

    // Never enlarged: from 256 pixels there is no 512.
    ProgramResult small = Tessel({"convert", dir.File("big256.png"), "-o", dir.File("small.icns"), "--resize"});
    ASSERT_EQ(small.exitCode, 0) << small.err;
    EXPECT_EQ(Icns2pngSizes(dir.File("small.icns")), (std::set<int>{16, 32, 48, 128, 256}));
}

TEST(ConvertResize, AnAmigaIconBecomesAMacosIconOnlyWithResize)
{
    // 57x21 images: no size a macOS icon stores, but larger than 16, 32, 48.
    TempDir dir;
    const std::string corpusIcon = std::string(TESSEL_CORPUS_DIR) + "/amiga/aros-docs.info";
    ProgramResult refused = Tessel({"convert", corpusIcon, "-o", dir.File("docs.icns")});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "tessel: " + dir.File("docs.icns") +
                               ": nothing the format can hold (macOS icons store only square images of 16, 32, 48, "
                               "64, 128, 256, 512 or 1024 pixels; --resize makes them from larger images)\n");
    EXPECT_TRUE(DirectoryEntries(dir.Path()).empty());
    ProgramResult resized = Tessel({"convert", corpusIcon, "-o", dir.File("docs.icns"), "--resize"});
    ASSERT_EQ(resized.exitCode, 0) << resized.err;
    EXPECT_EQ(Icns2pngSizes(dir.File("docs.icns")), (std::set<int>{16, 32, 48}));
}

TEST(ConvertAttributes, OptionsOverrideWhatTheInputGaveInAmigaAndPngIcons)
{
    TempDir dir;
    const std::string corpusIcon = std::string(TESSEL_CORPUS_DIR) + "/amiga/aros-docs.info";
    // The corpus icon is a project with one tooltype; its key differs from ours.
    const std::vector<std::string> options = {
        "--type", "tool", "--default-tool", "SYS:C/More", "--tooltype", "WINDOW=CON:0/0/640/200",
        "--tooltype", "DONOTWAIT=YES", "--position", "-12,34", "--stack", "8192", "--tooltype", "window=NIL:",
    };
    for (const std::string keyword : {"AMIGAOS", "PNG"}) {
        SCOPED_TRACE(keyword);
        std::vector<std::string> args = {"convert", corpusIcon, "-o", dir.File(keyword + ".info"), "-f", keyword};
        args.insert(args.end(), options.begin(), options.end());
        ProgramResult convert = Tessel(args);
        ASSERT_EQ(convert.exitCode, 0) << convert.err;
        ProgramResult info = Tessel({"info", "--json", dir.File(keyword + ".info")});
        ASSERT_EQ(info.exitCode, 0) << info.err;
        EXPECT_NE(info.out.find("\"type\":3,"), std::string::npos) << info.out;
        EXPECT_NE(info.out.find("\"posX\":-12,\"posY\":34,"), std::string::npos) << info.out;
        EXPECT_NE(info.out.find("\"stackSize\":8192,"), std::string::npos) << info.out;
        EXPECT_NE(info.out.find("\"defaultTool\":\"SYS:C/More\""), std::string::npos) << info.out;
        // The later WINDOW replaces the earlier one in place; the input's own
        // tooltype stays first.
        EXPECT_NE(info.out.find(",\"window=NIL:\",\"DONOTWAIT=YES\"]"), std::string::npos) << info.out;
        EXPECT_EQ(info.out.find("CON:"), std::string::npos) << info.out;
    }
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--type", "folder"}, {"--type", "9"}, {"--type", "0"}, {"--stack", "-1"}, {"--stack", "12k"},
             {"--stack", "99999999999"}, {"--position", "5"}, {"--position", "1,y"}, {"--position", "1,2,3"},
             {"--tooltype", "=x"}, {"--jobs", "2"}, {"--recursive"}, {"--out-dir", dir.Path()}}) {
        std::vector<std::string> args = {"convert", corpusIcon, "-o", dir.File("bad.info"), "-f", "PNG"};
        args.insert(args.end(), bad.begin(), bad.end());
        ProgramResult run = Tessel(args);
        EXPECT_EQ(run.exitCode, 2) << bad.front() << " " << bad.back();
        EXPECT_NE(run.err.find("usage: tessel convert"), std::string::npos) << run.err;
    }
    EXPECT_EQ(Tessel({"convert", corpusIcon, "--out-dir", dir.Path()}).exitCode, 2);   // no -f
    EXPECT_FALSE(test::FileExists(dir.File("bad.info")));
}

// The summary's first line, and its failed: and skipped: lines.
struct Summary {
    std::size_t converted = 0, failed = 0, skipped = 0;
    std::vector<std::string> failures, skips;
};

Summary ParseSummary(const std::string& out)
{
    Summary summary;
    std::vector<std::string> lines = Lines(out);
    std::smatch match;
    std::regex head("^converted (\\d+), failed (\\d+), skipped (\\d+) \\(");
    if (lines.empty() || !std::regex_search(lines.front(), match, head)) {
        ADD_FAILURE() << "no summary in: " << out;
        return summary;
    }
    summary.converted = std::stoul(match[1]);
    summary.failed = std::stoul(match[2]);
    summary.skipped = std::stoul(match[3]);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].rfind("failed: ", 0) == 0)
            summary.failures.push_back(lines[i]);
        else if (lines[i].rfind("skipped: ", 0) == 0)
            summary.skips.push_back(lines[i]);
        else
            ADD_FAILURE() << "unexpected summary line: " << lines[i];
    }
    return summary;
}

TEST(ConvertBatch, WholeCorpusToEveryFormatAccountsForEveryFile)
{
    const std::size_t inputs = CorpusFileCount();
    ASSERT_GT(inputs, 100u);
    for (const std::string keyword : {"AMIGAOS", "NEWICON", "AMIGAOS35", "AMIGAOS40", "PNG", "WINDOWS", "MACOS"}) {
        SCOPED_TRACE(keyword);
        TempDir dir;
        const std::string out = dir.File("out");
        std::vector<std::string> args = {"convert"};
        args.insert(args.end(), CORPUS_FOLDERS.begin(), CORPUS_FOLDERS.end());
        args.insert(args.end(), {"--out-dir", out, "-f", keyword});
        ProgramResult run = Tessel(args);
        ASSERT_TRUE(run.exitCode == 0 || run.exitCode == 1) << run.exitCode << run.err;
        EXPECT_EQ(run.err, "");   // not a terminal: no progress bar
        Summary summary = ParseSummary(run.out);
        EXPECT_EQ(summary.converted + summary.failed + summary.skipped, inputs);
        EXPECT_EQ(summary.failures.size(), summary.failed);
        EXPECT_EQ(summary.skips.size(), summary.skipped);
        EXPECT_EQ(run.exitCode, summary.failed ? 1 : 0);
        // "failed: FILE: REASON" with a reason: only files that cannot be
        // read fail; what a writer would refuse is found before saving and
        // skipped with the rule it breaks.
        for (const std::string& line : summary.failures)
            EXPECT_TRUE(std::regex_search(line, std::regex("^failed: [^ ]+: cannot (read|open) "))) << line;
        for (const std::string& line : summary.skips)
            EXPECT_TRUE(std::regex_search(line, std::regex(
                            "^skipped: [^ ]+: (not an icon file \\(|nothing the format can hold \\(.+\\)$)")))
                << line;
        // Exactly one file per conversion: nothing from failures, no temporary files.
        std::set<std::string> written = DirectoryEntries(out);
        EXPECT_EQ(written.size(), summary.converted);
        for (const std::string& name : written)
            EXPECT_NE(name.front(), '.') << name;

        if (std::string(keyword) == "WINDOWS" || std::string(keyword) == "AMIGAOS35") {
            TempDir parallel;
            args[args.size() - 3] = parallel.File("out");
            args.insert(args.end(), {"--jobs", "2"});
            ProgramResult two = Tessel(args);
            EXPECT_EQ(two.exitCode, run.exitCode);
            EXPECT_EQ(two.err, "");
            // The same summary line for line, but for the directory named.
            std::string expected = run.out;
            expected.replace(expected.find(out), out.size(), parallel.File("out"));
            EXPECT_EQ(two.out, expected);
            EXPECT_EQ(DirectoryEntries(parallel.File("out")), written);
        }
    }
}

TEST(ConvertBatch, NamesClashSafelyAndNonIconsAreSkipped)
{
    TempDir dir;
    const std::string in = dir.File("in");
    fs::create_directories(in + "/sub");
    const std::string corpusIcon = std::string(TESSEL_CORPUS_DIR) + "/amiga/aros-docs.info";
    fs::copy_file(corpusIcon, in + "/disk.info");
    WriteSquarePng(in + "/disk.png", 32);
    WriteSquarePng(in + "/sub/deep.png", 16);
    test::WriteFileBytes(in + "/notes.txt", {'S', 'h', 'o', 'w', '\n'});
    const test::Bytes original = test::ReadFileBytes(in + "/disk.info");

    // Into the input directory itself, as .info files: disk.info is an input.
    ProgramResult run = Tessel({"convert", in, "--out-dir", in, "-f", "PNG"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "converted 2, failed 0, skipped 1 (3 files to PNG in " + in + ")\n" +
                           "skipped: " + in + "/notes.txt: not an icon file (starts with 53 68 6F 77)\n");
    EXPECT_EQ(test::ReadFileBytes(in + "/disk.info"), original);
    EXPECT_EQ(DirectoryEntries(in), (std::set<std::string>{"disk.info", "disk-2.info", "disk-3.info", "disk.png",
                                                  "notes.txt", "sub"}));

    // Recursive, a missing file, and a file given twice.
    const std::string out = dir.File("out");
    ProgramResult deep = Tessel({"convert", in + "/sub", dir.File("missing.ico"), in + "/disk.png", in + "/disk.png",
                       "--out-dir", out, "-f", "windows", "--recursive"});
    EXPECT_EQ(deep.exitCode, 1);
    EXPECT_EQ(deep.out, "converted 3, failed 1, skipped 0 (4 files to WINDOWS in " + out + ")\n" +
                            "failed: " + dir.File("missing.ico") + ": cannot open (no such file or directory)\n");
    EXPECT_EQ(DirectoryEntries(out), (std::set<std::string>{"deep.ico", "disk.ico", "disk-2.ico"}));
    EXPECT_EQ(Tessel({"convert", in, "--out-dir", out, "-o", dir.File("x.ico"), "-f", "WINDOWS"}).exitCode, 2);
    EXPECT_EQ(Tessel({"convert", in, "--out-dir", out, "-f", "NOSUCH"}).exitCode, 2);
}

// Runs tessel with standard error on a pseudo-terminal of its own (no real
// terminal needed) and returns what was written there.
std::string StandardErrorOnPseudoTerminal(const std::vector<std::string>& tesselArgs, int* exitCode)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || !ptsname(master)) {
        ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
        return {};
    }
    const std::string slave = ptsname(master);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, slave.c_str(), O_RDWR | O_NOCTTY, 0);
    std::vector<std::string> argv = {TESSEL_TOOL_PATH};
    argv.insert(argv.end(), tesselArgs.begin(), tesselArgs.end());
    std::vector<char*> args;
    for (std::string& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    std::string environment = std::string("TESSEL_MODULE=") + TESSEL_MODULE_PATH;
    std::vector<char*> envp = {environment.data(), nullptr};
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    std::string text;
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start tessel: " << std::strerror(spawned);
        close(master);
        return text;
    }
    // Read while it runs, so a full terminal buffer cannot stall it; the
    // master reports an error once the last slave descriptor is closed.
    int status = 0;
    bool exited = false;
    for (int idle = 0; idle < 600;) {
        pollfd ready = {master, POLLIN, 0};
        if (poll(&ready, 1, 100) > 0) {
            char chunk[4096];
            ssize_t n = read(master, chunk, sizeof chunk);
            if (n > 0) {
                text.append(chunk, std::size_t(n));
                continue;
            }
            if (exited)
                break;
        }
        if (!exited && waitpid(pid, &status, WNOHANG) == pid)
            exited = true;
        else if (exited)
            break;
        ++idle;
    }
    if (!exited)
        waitpid(pid, &status, 0);
    close(master);
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return text;
}

TEST(ConvertBatch, ProgressBarOnlyOnATerminal)
{
    TempDir dir;
    WriteSquarePng(dir.File("a.png"), 16);
    WriteSquarePng(dir.File("b.png"), 32);
    for (const char* jobs : {"1", "2"}) {
        int exitCode = -1;
        std::string shown = StandardErrorOnPseudoTerminal(
            {"convert", dir.File("a.png"), dir.File("b.png"), "--out-dir", dir.File(std::string("out") + jobs), "-f",
             "WINDOWS", "--jobs", jobs},
            &exitCode);
        EXPECT_EQ(exitCode, 0);
        EXPECT_NE(shown.find("] 1/2 "), std::string::npos) << shown;
        EXPECT_NE(shown.find("[" + std::string(30, '#') + "] 2/2 "), std::string::npos) << shown;
    }
}

TEST(InfoBrief, OneLinePerCorpusFileInOrder)
{
    std::vector<std::string> files;
    for (const std::string& folder : CORPUS_FOLDERS)
        for (const auto& entry : fs::directory_iterator(folder))
            files.push_back(entry.path().string());
    std::vector<std::string> args = {"info", "--brief"};
    args.insert(args.end(), files.begin(), files.end());
    ProgramResult run = Tessel(args);
    EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 1) << run.exitCode;
    std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), files.size());
    bool anyError = false;
    std::regex good("^  [^ ].* icon  \\d+ images?(  \\d+x\\d+/\\d+p?s?( \\d+x\\d+/\\d+p?s?)*)?$");
    for (std::size_t i = 0; i < files.size(); ++i) {
        ASSERT_EQ(lines[i].rfind(files[i], 0), 0u) << lines[i];
        std::string rest = lines[i].substr(files[i].size());
        bool failed = rest.rfind("  error: ", 0) == 0;
        anyError |= failed;
        EXPECT_TRUE(failed || std::regex_match(rest, good)) << lines[i];
    }
    EXPECT_EQ(run.exitCode, anyError ? 1 : 0);

    // The corpus project icon: two 57x21 images of 8 colours, normal then selected.
    ProgramResult one = Tessel({"info", "--brief", std::string(TESSEL_CORPUS_DIR) + "/amiga/aros-docs.info"});
    EXPECT_EQ(one.out, std::string(TESSEL_CORPUS_DIR) + "/amiga/aros-docs.info  Amiga icon  2 images  57x21/3p 57x21/3s\n");
    EXPECT_EQ(Tessel({"info", "--brief", "--json", files.front()}).exitCode, 2);
}

TEST(ExtractFilters, KeepTheNumbersOfTheFullList)
{
    const std::string icon = std::string(TESSEL_CORPUS_DIR) + "/amiga/aros-docs.info";
    TempDir dir;
    ProgramResult selected = Tessel({"extract", icon, "-o", dir.File("selected"), "--selected-only"});
    EXPECT_EQ(selected.exitCode, 0) << selected.err;
    EXPECT_EQ(DirectoryEntries(dir.File("selected")), (std::set<std::string>{"aros-docs-1.png"}));
    ProgramResult normal = Tessel({"extract", icon, "-o", dir.File("normal"), "--normal-only"});
    EXPECT_EQ(normal.exitCode, 0) << normal.err;
    EXPECT_EQ(DirectoryEntries(dir.File("normal")), (std::set<std::string>{"aros-docs-0.png"}));
    ProgramResult all = Tessel({"extract", icon, "-o", dir.File("all")});
    EXPECT_EQ(test::ReadFileBytes(dir.File("all/aros-docs-1.png")),
              test::ReadFileBytes(dir.File("selected/aros-docs-1.png")));
    EXPECT_EQ(Tessel({"extract", icon, "-o", dir.Path(), "--normal-only", "--selected-only"}).exitCode, 2);
}

}  // namespace
}  // namespace tessel::tool
