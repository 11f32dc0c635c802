// The tessel command run in-process, one row a command line, and its output
// judged by programs no one here wrote: Python's json module, Pillow, icotool.
#include "runtime/host_services.h"
#include "tests/support/byte_builders.h"
#include "tests/support/test_host.h"
#include "tool/commands.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

namespace tessel::tool {
namespace {

using test::Bytes;
using test::DirectoryEntries;
using test::RunProgram;

const std::string kSamples = std::string(TESSEL_SOURCE_DIR) + "/samples";
const std::string kCorpus = TESSEL_CORPUS_DIR;

struct Outcome { int status; std::string out, err; };

// $T the test's directory, $S the samples, $C the corpus.
std::string Expand(std::string text, const std::string& dir)
{
    for (const auto& [from, to] : {std::pair{"$T", dir}, {"$S", kSamples}, {"$C", kCorpus}})
        for (std::size_t at; (at = text.find(from)) != std::string::npos;)
            text.replace(at, 2, to);
    return text;
}

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::istringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);)
        parts.push_back(part);
    return parts;
}

Outcome Tessel(const std::string& line, const std::string& dir = "")
{
    std::vector<std::string> args = {"--module", TESSEL_MODULE_PATH};
    for (const std::string& arg : Split(Expand(line, dir), ' '))
        args.push_back(arg == "''" ? "" : arg);
    std::ostringstream out, err;
    const int status = RunTool(args, out, err);
    return {status, out.str(), err.str()};
}

// A square PNG picture, opaque blue.
void WritePng(const std::string& path, std::int32_t side)
{
    std::vector<std::uint32_t> argb(std::size_t(side * side), 0xFF0000FF);
    std::vector<std::uint8_t> png;
    ASSERT_TRUE(runtime::EncodePng(argb.data(), side, side, png));
    test::WriteFileBytes(path, png);
}

struct CommandCase {
    const char* line;
    int status;
    const char* out, *err;   // pieces each expected in it, '|' between; "=..." the whole of it
};
const CommandCase kCommands[] = {
    // Usage errors: exit 2 with the message and the usage lines.
    {"", 2, "", "no command given|usage: tessel [--module PATH]|tessel check FILE...|run 'tessel --help'"},
    {"frobnicate", 2, "", "tessel: unknown command 'frobnicate'"}, {"--frobnicate formats", 2, "", "unknown option '--frobnicate'"},
    {"--module", 2, "", "--module needs a PATH"}, {"--module '' formats", 2, "", "--module needs a PATH"},
    {"--version formats", 2, "", "--version takes no command"},
    {"formats extra", 2, "", "formats takes no arguments|usage: tessel formats\nrun 'tessel help formats'"},
    {"help info extract", 2, "", "help takes one COMMAND"},
    {"info", 2, "", "info needs at least one FILE|usage: tessel info FILE... [--json | --brief]"},
    {"info x --json --brief", 2, "", "--json and --brief exclude each other"},
    {"info x --json=yes", 2, "", "unknown option '--json=yes' for info"},
    {"extract x", 2, "", "extract needs -o DIR"}, {"extract -o $T", 2, "", "extract needs a FILE"},
    {"extract a -o -", 2, "", "-o - writes one picture: give one FILE and --largest or --index N"},
    {"extract x -o", 2, "", "-o needs a DIR"}, {"extract x -o d --largest --index 1", 2, "", "exclude each other"},
    {"extract x -o $T --selected-only --normal-only", 2, "", "--selected-only and --normal-only exclude each other"},
    {"convert x", 2, "", "convert needs -o OUTPUT"},
    {"convert -o y.ico", 2, "", "convert needs at least one INPUT"},
    {"convert x -o a.ico -o b.ico", 2, "", "-o given twice"},
    {"convert x -o a.ico -f WINDOWS --format MACOS", 2, "", "-f given twice"},
    {"convert x -o a.ico --out-dir d -f PNG", 2, "", "-o and --out-dir exclude each other"},
    {"convert x --out-dir d", 2, "", "--out-dir needs -f KEYWORD"},
    {"convert x --out-dir=d --out-dir e -f PNG", 2, "", "--out-dir given twice"},
    {"convert x -o a.ico --recursive", 2, "", "--recursive needs --out-dir"},
    {"convert x -o a.ico -j2", 2, "", "--jobs needs --out-dir"},
    {"convert x --out-dir d -f PNG -j 0", 2, "", "--jobs needs a number 1..64"},
    {"convert x --out-dir d -f PNG --jobs=65", 2, "", "--jobs needs a number 1..64"},
    {"convert x -o a.ico --type 9", 2, "", "--type needs drawer, tool, project, disk, garbage or a number 1..8"},
    {"convert x -o a.ico --type 0", 2, "", "--type needs"},
    {"convert x -o a.ico --position 1,y", 2, "", "--position needs X,Y"},
    {"convert x -o a.ico --position 2147483648,0", 2, "", "--position needs X,Y"},
    {"convert x -o a.ico --stack -1", 2, "", "--stack needs a number of bytes"},
    {"convert x -o a.ico --tooltype =x", 2, "", "--tooltype needs KEY=VALUE"},
    {"convert x -o a.ico --default-tool", 2, "", "--default-tool needs a TEXT"},
    {"convert x -o a.ico --resize=1", 2, "", "unknown option '--resize=1' for convert"},
    {"convert $T/p16.png -o $T/out.info", 2, "", "several formats use '.info' (AMIGAOS, NEWICON, AMIGAOS35, AMIGAOS40, PNG)"},
    {"convert $T/p16.png -o $T/out.xyz", 2, "", "no format uses '.xyz': give -f KEYWORD (one of: AMIGAOS, NEWICON,"},
    {"convert $T/p16.png -o $T/out", 2, "", "cannot tell the format from '$T/out'"},
    {"convert $T/p16.png -o $T/out.", 2, "", "cannot tell the format from '$T/out.'"},
    {"convert $T/p16.png -o $T/out.ico -f BMP", 2, "", "unknown format keyword 'BMP' (one of: AMIGAOS, NEWICON, "
                                                       "AMIGAOS35, AMIGAOS40, PNG, WINDOWS, MACOS)"},
    {"convert $T/p16.png -o $T/a.icns --sizes 16,20", 2, "", "macOS icons cannot hold 20x20 (their sides: 16, 32,"},
    {"convert $T/p16.png -o $T/a.info -f png --sizes 16,32", 2, "", "PNG icons hold one picture per state: give --sizes one"},
    {"convert $T/p16.png -o $T/a.ico --sizes 16,x", 2, "", "--sizes needs sides 1..16384 between commas"},
    {"convert - --out-dir $T/o -f PNG", 2, "", "standard input (-) is not one"},
    {"preview x -o s.jpg", 2, "", "preview writes a PNG picture: give -o a name ending in .png"},
    {"preview x", 2, "", "preview needs -o SHEET"},
    {"preview -o s.png", 2, "", "preview needs at least one FILE"},
    {"preview x -o s.png --scale 9", 2, "", "--scale needs a number 1..8"},
    {"preview x -o s.png --scale 0", 2, "", "--scale needs"}, {"preview x -o s.png --scale +1", 2, "", "--scale needs"},
    {"preview x -o s.png --columns 65", 2, "", "--columns needs a number 1..64"},
    {"check", 2, "", "check needs at least one FILE"}, {"check x -o y", 2, "", "unknown option '-o' for check"},
    {"info x --scale 2", 2, "", "unknown option '--scale' for info"},
    // Help and version.
    {"--help", 0, "commands:|exit status:", ""},
    {"-h info", 0, "usage: tessel info FILE... [--json | --brief]|  --brief               one line per file", ""},
    {"help convert", 0, "usage: tessel convert INPUT...|--resize", ""},
    {"help check --help", 0, "usage: tessel check FILE...", ""},
    {"check --help x", 0, "usage: tessel check FILE...", ""},
    {"--version", 0, "tessel 1.0\nmodule: Tessel 1.0|" TESSEL_MODULE_PATH "\n", ""},
    {"--module /nonexistent/tessel.qmp --version", 0, "tessel 1.0\nmodule: not loaded: ", ""},
    {"--module /nonexistent/tessel.qmp formats", 1, "", "tessel: "},
    {"--module=/nonexistent/tessel.qmp convert x --out-dir $T/o -f PNG", 1, "", "tessel: "},
    // The formats, in the module's table order.
    {"formats", 0, "AMIGAOS    Amiga icon        .info  0x2cdc9ba4\nNEWICON    NewIcon           .info  0x4b6273b7\n"
                   "AMIGAOS35  AmigaOS 3.5 icon  .info  0x048ace1f\nAMIGAOS40  AmigaOS 4.0 icon  .info  0x5e8256b5\n"
                   "PNG        PNG icon          .info  0x66299321\nWINDOWS    Windows icon      .ico   0x4ff820f7\n"
                   "MACOS      macOS icon        .icns  0xbba9467b\n", ""},
    // An image with no planes is one the module loads; it converts like any other.
    {"info $T/flat.info", 0, "#0: 4 x 2, depth 0, flags 1 (primary), transparent pen 0, palette 1 colours\n", ""},
    {"convert $T/flat.info -o $T/flat.ico", 0, "=$T/flat.ico: Windows icon, 1 image: 4x2/1\n", ""},
    {"info --brief $T/huge.info", 0, "=$T/huge.info  Amiga icon (AMIGAOS)  1 image  16384x16383/0p\n", ""},
    {"convert $T/huge.info -o $T/huge.png.info -f PNG", 1, "", "(its images need more than 64 MiB as true colour, more than"},
    // Files that cannot be read: named, with the reason; the others still shown.
    {"info $T/missing $S/tessel.ico", 1, "$S/tessel.ico: Windows icon\n", "tessel: $T/missing: cannot open (no such file or directory)\n"},
    {"info $T", 1, "", "tessel: $T: cannot open (is a directory)\n"},
    {"info $T/a\nfailed:\x1b[2J", 1, "", "=tessel: $T/a\\nfailed:\\x1B[2J: cannot open (no such file or directory)\n"},
    {"info /dev/null", 1, "", "tessel: /dev/null: cannot open (not a regular file)\n"},
    {"info $T/notes.txt", 1, "", "tessel: $T/notes.txt: not an icon file (starts with 68 65 6C 6C)\n"},
    {"info $T/short.info", 1, "", ": not an icon file (only 2 bytes long: E3 10)\n"},
    {"info $T/empty.ico", 1, "", ": not an icon file (the file is empty)\n"},
    {"info $T/cut.ico", 1, "", "tessel: $T/cut.ico: cannot read Windows icon (damaged or not supported)\n"},
    {"info --brief $T/cut.ico $C/amiga/aros-docs.info", 1,
     "$T/cut.ico  error: cannot read Windows icon (damaged or not supported)\n"
     "$C/amiga/aros-docs.info  Amiga icon (AMIGAOS)  2 images  57x21/3p 57x21/3s\n", ""},
    {"info --json $S/tessel.ico", 0, "\"keyword\":\"WINDOWS\",\"attributes\":null,", ""},
    {"info --brief $T/p16.png", 0, "$T/p16.png  PNG icon  1 image  16x16/32\n", ""},
    {"check $T/missing $S/tessel.info", 1, "$S/tessel.info: sound (Amiga icon, 4 images)\n",
     "tessel: $T/missing: cannot open (no such file or directory)\n"},
    {"check $T/notes.txt $T/empty.ico $T/cut.ico", 1, "$T/notes.txt: not an icon file (starts with 68 65 6C 6C)\n$T/empty.ico: "
     "not an icon file (the file is empty)\n  problem: header cut short: 0 bytes\n$T/cut.ico: damaged: "
     "cannot read Windows icon (damaged or not supported)\n  problem: directory of 1 entries runs past", ""},
    {"check $T/p16.png", 0, "$T/p16.png: sound (PNG icon, 1 image)\n", ""},
    {"check $T/big.icns", 1, "=$T/big.icns: damaged: cannot read macOS icon (damaged or not supported)\n  note: not "
     "checked byte by byte: the file is larger than 256 MiB\n", ""},
    // Converting: the format from -f in any case or the extension; what no format can hold is refused.
    {"convert $T/p16.png -o $T/a -f ico", 0, "=$T/a: Windows icon, 1 image: 16x16/32\n", ""},
    {"--quiet convert $T/p16.png -o $T/a.ico", 0, "", ""},
    {"convert $T/p16.png $T/p20.png -o $T/two.ICNS", 0, "=$T/two.ICNS: macOS icon, 1 image: 16x16/32\n  left out 20x20/32: "
     "macOS icons hold only square images of 16, 32, 48, 64, 128, 256, 512 or 1024 pixels; use --resize\n", ""},
    {"convert $T/p16.png $T/p300.png -o $T/l.ico --strict", 1, "", "$T/l.ico: left out 300x300/32: Windows icons hold at "
     "most 256x256; use --resize\ntessel: $T/l.ico: not written: it would lose 1 image (--strict)\n"},
    {"convert $T/p300.png -o $T/s.ico --sizes 16,48,256", 0, "=$T/s.ico: Windows icon, 3 images: 256x256/32 48x48/32 16x16/32\n", ""},
    {"convert $T/p100.png -o $T/r.info -f newicon --resize", 0, "=$T/r.info: NewIcon, 2 images: 46x46/2 46x46/1\n", ""},
    {"convert $C/amiga/amigagpt-amigagpt_morphos.info -o $T/mo.info -f amigaos35", 0, "4 images: 64x64/2 64x64/2 selected "
     "64x64/8 64x64/8 selected\n  left out 8x8/1: a placeholder for the 64x64 picture\n", ""},
    {"convert $C/amiga/amigagpt-amigagpt_morphos.info --out-dir $T/lb -f ico", 0, "converted 1, failed 0, skipped 0, 1 image "
     "left out or reduced (1 file to WINDOWS in $T/lb)\nlost: $C/amiga/amigagpt-amigagpt_morphos.info: left out 64x64/32 "
     "selected: Windows icons have no selected state\n", ""},
    {"convert $T/notes.txt -o $T/cut.ico", 1, "", "tessel: $T/notes.txt: not an icon file"},
    {"convert $T/missing $T/short.info -o $T/x.ico", 1, "", "$T/missing: cannot open|$T/short.info: not an icon file"},
    {"convert $T/p16.png -o $T -f WINDOWS", 1, "", "tessel: $T: is a directory"},
    {"convert $T/p16.png -o $T/new/ -f WINDOWS", 1, "", "tessel: $T/new/: is a directory"},
    {"convert $T/p16.png -o $T/nodir/x.ico", 1, "", "cannot create a temporary file in $T/nodir"},
    {"convert $T/p20.png -o $T/m.icns", 1, "", "macOS icons store only square images of 16, 32, 48, 64, 128, 256, 512"},
    {"convert $T/p20.png -o $T/m.icns --resize", 0, "=$T/m.icns: macOS icon, 1 image: 16x16/32\n", ""},
    {"convert $T/p100.png -o $T/n.info -f newicon", 1, "", "needs a normal-state image of at most 93x93 besides"},
    {"convert $T/p100.png -o $T/n.info -f AmigaOS35", 0, "=$T/n.info: AmigaOS 3.5 icon, 2 images: 100x100/2 100x100/1\n", ""},
    {"convert $T/p300.png -o $T/n.info -f AMIGAOS", 1, "", "Amiga icons need a normal-state image of at most 256x256"},
    {"convert $T/p300.png -o $T/w.ico", 1, "", "Windows icons store images of at most 256x256; --resize makes them"},
    {"convert $T/p300.png -o $T/w.info -f PNG --compress", 0, "=$T/w.info: PNG icon, 1 image: 300x300/32\n", ""},
    {"convert $T/p16.png -o $T/t.info -f AMIGAOS40 --type TOOL --stack 8192 --position -12,+34 --default-tool SYS:C/More "
     "--tooltype K=\xe9\x01\" --tooltype B=2", 0, "=$T/t.info: AmigaOS 4.0 icon, 2 images: 16x16/2 16x16/32\n", ""},
    {"info $T/t.info", 0, "type:          tool (3)\n  position:      -12, 34\n|stack size:    8192\n  default tool:  \"SYS:C/More\"\n"
     "  tooltypes:     2\n    \"K=\xc3\xa9\\x01\\\"\"\n    \"B=2\"\n  images:        2\n    #0: 16 x 16, depth 2, flags 0 (none), "
     "transparent pen 0, palette 4 colours\n    #1: 16 x 16, depth 32, flags 1 (primary), transparent pen none\n", ""},
    {"info --json $T/t.info", 0, "\"typeName\":\"tool\",\"posX\":-12,\"posY\":34,|\"toolTypes\":[\"K=\\u00e9\\u0001\\\"\",\"B=2\"]", ""},
    {"convert $T/t.info $T/p20.png -o $T/m.info -f png --tooltype k=3 --type 8", 0, "=$T/m.info: PNG icon, 1 image: "
     "16x16/32\n  left out 16x16/2: PNG icons hold one picture per state\n  left out 20x20/32: PNG icons hold one picture "
     "per state\n", ""},
    {"info $T/m.info", 0, "appicon (8)|tooltypes:     2\n    \"k=3\"\n    \"B=2\"|images:        1\n    #0: 16 x 16, depth 32, flags 0", ""},
    // Editing in place keeps the kind of Amiga icon; a KEY matches its disabled form.
    {"convert $T/t.info -o $T/t.info --remove-tooltype b --tooltype (K=0)", 0, "=$T/t.info: AmigaOS 4.0 icon, 2 images: 16x16/2 16x16/32\n", ""},
    {"info $T/t.info", 0, ": Amiga icon (AMIGAOS40)\n|tooltypes:     1\n    \"(K=0)\"\n", ""},
    // Extracting, with the numbers of the full list kept by the filters.
    {"extract $C/amiga/aros-docs.info -o $T/sel --selected-only", 0, "=$T/sel/aros-docs-1-57x21-selected.png\n", ""},
    {"extract $C/amiga/aros-docs.info $T/p16.png -o $T/nor --normal-only", 0, "=$T/nor/aros-docs-0-57x21.png\n"
     "$T/nor/p16-0-16x16.png\n", ""},
    {"extract $S/tessel.ico $T/missing $T/p16.png -o $T/all/new --largest", 1, "=$T/all/new/tessel-3-256x256.png\n"
     "$T/all/new/p16-0-16x16.png\n", "tessel: $T/missing: cannot open"},
    {"extract $T/p16.png -o - --index 0", 0, "\x89PNG\r\n", ""},
    {"extract $T/p16.png -o $T --index 1", 1, "", "tessel: $T/p16.png: no image 1 (it has 1)\n"},
    {"extract $T/notes.txt -o $T/x", 1, "", "tessel: $T/notes.txt: not an icon file"},
    {"extract $T/p16.png -o $T/notes.txt", 1, "", "tessel: $T/notes.txt: cannot create directory"},
    // Contact sheets.
    {"preview $T/p16.png $T/missing -o $T/s.png --columns 1", 1, "=$T/s.png: 328x128 sheet of 1 icon, 1 image, 1 unreadable\n",
     "tessel: $T/missing: cannot open"},
    {"preview $T/p16.png $T/p20.png -o $T/s2.png --scale 8 --columns 64", 0, "=$T/s2.png: 1616x1440 sheet of 2 icons, 2 images\n", ""},
    {"preview $T/p16.png -o $T/nodir/s.png", 1, "", "cannot create a temporary file"},
};

class ToolCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::WriteFileBytes(dir.File("notes.txt"), {'h', 'e', 'l', 'l', 'o'});
        test::WriteFileBytes(dir.File("short.info"), {0xE3, 0x10});
        test::WriteFileBytes(dir.File("empty.ico"), {});
        test::WriteFileBytes(dir.File("cut.ico"), {0, 0, 1, 0, 1, 0});
        // A tool icon whose one 4x2 image has no planes: gadget, type 3, no
        // texts, position unset, stack 4096, then the image header alone.
        // The same with a 16384 x 16383 image: a few bytes asking for a gigabyte of true colour.
        using test::Be16, test::Be32;
        for (const auto& [name, width, height] : {std::tuple{"flat.info", 4, 2}, {"huge.info", 16384, 16383}})
            test::WriteFileBytes(dir.File(name),
                                 test::Cat({Be16(0xE310), Be16(1), Be32(0), Be16(0), Be16(0), Be16(width), Be16(height),
                                            Be16(0), Be16(0), Be16(0), Be32(1), Be32(0), Be32(0), Be32(0), Be32(0), Be16(0),
                                            Be32(0), {3, 0}, Be32(0), Be32(0), Be32(0x80000000), Be32(0x80000000), Be32(0),
                                            Be32(0), Be32(4096), Be16(0), Be16(0), Be16(width), Be16(height), Be16(0),
                                            Be32(0), {0, 0}, Be32(0)}));
        // A sparse file larger than check reads whole.
        test::WriteFileBytes(dir.File("big.icns"), {'i', 'c', 'n', 's', 0, 0, 0, 8});
        std::filesystem::resize_file(dir.File("big.icns"), (256u << 20) + 1);
        for (std::int32_t side : {16, 20, 100, 300})
            WritePng(dir.File("p" + std::to_string(side) + ".png"), side);
    }
    Outcome Tool(const std::string& line) { return Tessel(line, dir.Path()); }
    std::string T(const std::string& text) { return Expand(text, dir.Path()); }
    test::TempDir dir;
};

TEST_F(ToolCommand, EachCommandLineGivesItsStatusAndMessages)
{
    for (const CommandCase& row : kCommands) {
        SCOPED_TRACE(row.line);
        const Outcome run = Tool(row.line);
        EXPECT_EQ(run.status, row.status) << run.err;
        for (const auto& [text, expected] : {std::pair{run.out, row.out}, {run.err, row.err}}) {
            if (!*expected || *expected == '=')
                EXPECT_EQ(text, T(*expected ? expected + 1 : expected));
            else
                for (const std::string& piece : Split(T(expected), '|'))
                    EXPECT_NE(text.find(piece), std::string::npos) << "missing: " << piece << "\nin: " << text;
        }
        if (row.status == 2) {
            EXPECT_NE(run.err.find("usage: tessel"), std::string::npos);
        }
    }
    EXPECT_EQ(Tool("help").out, Tool("--help").out);
    EXPECT_EQ(Tool("formats -h").out, Tool("help formats").out);
    // Failures leave neither a temporary file nor a changed output.
    EXPECT_EQ(test::ReadFileBytes(dir.File("cut.ico")), (Bytes{0, 0, 1, 0, 1, 0}));
    for (const std::string& name : DirectoryEntries(dir.Path()))
        EXPECT_NE(name[0], '.') << name;
}

// A batch: directories opened (recursively, minus the output directory),
// names clashing with earlier outputs or inputs numbered, non-icons and what
// the format cannot hold skipped, failures listed; the same with workers.
TEST_F(ToolCommand, BatchConvertsEachInputOnItsOwn)
{
    std::filesystem::create_directories(dir.File("in/sub"));
    for (const char* name : {"in/a.png", "in/sub/a.png", "in/c.png"})
        std::filesystem::copy_file(dir.File(name[3] == 'c' ? "p20.png" : "p16.png"), dir.File(name));
    std::filesystem::copy_file(dir.File("notes.txt"), dir.File("in/a.dat"));
    std::filesystem::copy_file(dir.File("cut.ico"), dir.File("in/d.ico"));
    const std::string summary = T(
        "converted 2, failed 1, skipped 2 (5 files to MACOS in $T/in/out)\n"
        "failed: $T/in/d.ico: cannot read Windows icon (damaged or not supported)\n"
        "skipped: $T/in/a.dat: not an icon file (starts with 68 65 6C 6C)\n"
        "skipped: $T/in/c.png: nothing the format can hold (macOS icons store only square images of 16, 32, 48, 64, "
        "128, 256, 512 or 1024 pixels; --resize makes them from larger images)\n");
    for (const char* jobs : {"1", "64"}) {   // workers are forked; the batch returns in this process
        SCOPED_TRACE(jobs);
        const pid_t self = ::getpid();
        const Outcome run = Tool(std::string("convert $T/in --out-dir $T/in/out -f macos --recursive -j ") + jobs);
        EXPECT_EQ(std::make_tuple(run.status, run.out, run.err, ::getpid()), std::make_tuple(1, summary, std::string(), self));
        EXPECT_EQ(DirectoryEntries(dir.File("in/out")), (std::set<std::string>{"a.icns", "a-2.icns"}));
    }
    const Outcome run = Tool("convert $T/in/out/a.icns $T/p16.png $T/missing $T/in/sub --out-dir $T/in/out -f MACOS -j 2");
    EXPECT_EQ(std::tie(run.status, run.out), std::make_tuple(1, T("converted 3, failed 1, skipped 0 (4 files to MACOS in "
                                                                 "$T/in/out)\nfailed: $T/missing: cannot open (no such "
                                                                 "file or directory)\n")));
    EXPECT_EQ(DirectoryEntries(dir.File("in/out")),
              (std::set<std::string>{"a.icns", "a-2.icns", "a-3.icns", "p16.icns"}));
    EXPECT_EQ(Tool("convert $T/in/c.png --out-dir $T/in/notes -f PNG").out,
              T("converted 1, failed 0, skipped 0 (1 file to PNG in $T/in/notes)\n"));
}

// Pillow reads what convert, extract and preview wrote; icotool lists the
// Windows icons and extracts their images; Python's json module reads info
// --json on every corpus icon.
const char kOracle[] = R"(
import json, re, subprocess, sys, glob
from PIL import Image
def rgba(path): return [p if p[3] else (0, 0, 0, 0) for p in Image.open(path).convert('RGBA').getdata()]
def entries(path): return re.findall(r'--width=(\d+) --height=(\d+)', subprocess.run(['icotool', '-l', path], capture_output=True, text=True).stdout)
for line in sys.stdin:
    what, path, *rest = line.split()
    if what == 'sizes':
        im = Image.open(path); print(im.format, sorted(im.info.get('sizes', [im.size])), rgba(path)[0], entries(path) if im.format == 'ICO' else '')
    elif what == 'same':
        subprocess.run(['icotool', '-x', '-o', rest[0], path])
        theirs = sorted(glob.glob(rest[0] + '/*_*_*.png'), key=lambda f: int(f.split('_')[-2]))
        print('same', [rgba(f) == rgba(glob.glob('%s-%d-*.png' % (rest[1], i))[0]) for i, f in enumerate(theirs)])
    elif what == 'json':
        print('json', len([json.loads(line) for line in open(path)]) > 150)
)";

TEST_F(ToolCommand, IndependentReadersAgree)
{
    std::string corpus;
    for (const char* folder : {"amiga", "windows", "macos"})
        for (const auto& entry : std::filesystem::directory_iterator(kCorpus + "/" + folder))
            corpus += " " + entry.path().string();
    std::ofstream(dir.File("info.json")) << Tool("info --json" + corpus).out;
    for (const char* line : {"convert $T/p16.png $T/p20.png -o $T/a.ico", "convert $T/p100.png -o $T/r.ico --resize",
                             "convert $T/p100.png -o $T/r.icns --resize", "extract $S/tessel.ico -o $T/x",
                             "preview $S/tessel.ico -o $T/s.png"})
        EXPECT_EQ(Tool(line).status, 0) << line;
    std::filesystem::create_directories(dir.File("ico"));
    std::ofstream(dir.File("oracle.in")) << T("sizes $T/a.ico\nsizes $T/r.ico\nsizes $T/r.icns\nsizes $T/s.png\n"
                                              "same $S/tessel.ico $T/ico $T/x/tessel\njson $T/info.json\n");
    const test::ProcessResult run = RunProgram({"/usr/bin/python3", "-c", kOracle}, {},
                                               dir.File("oracle.in"));
    EXPECT_EQ(run.out, "ICO [(16, 16), (20, 20)] (0, 0, 255, 255) [('20', '20'), ('16', '16')]\n"
                       "ICO [(16, 16), (24, 24), (32, 32), (48, 48), (64, 64), (100, 100)] (0, 0, 255, 255) "
                       "[('100', '100'), ('64', '64'), ('48', '48'), ('32', '32'), ('24', '24'), ('16', '16')]\n"
                       "ICNS [(16, 16, 1), (32, 32, 1), (48, 48, 1), (64, 64, 1)] (0, 0, 255, 255) \n"
                       "PNG [(638, 310)] (255, 255, 255, 255) \nsame [True, True, True, True]\njson True\n")
        << run.err;
}

// TESSEL_FAULTS in the real program: an unknown fault is a usage error; a
// failing write leaves the existing output as it was and no temporary file.
TEST_F(ToolCommand, FaultsLeaveNoBrokenFile)
{
    EXPECT_EQ(test::RunTessel({"formats"}, {"TESSEL_FAULTS=melt=1"}).exitCode, 2);
    const auto before = DirectoryEntries(dir.Path());
    for (const char* fault : {"write-after=100", "alloc-nth=5"}) {
        const test::ProcessResult run = test::RunTessel({"convert", kSamples + "/tessel.info", "-o", dir.File("cut.ico")},
                                                        {std::string("TESSEL_FAULTS=") + fault});
        EXPECT_EQ(run.exitCode, 1) << fault << run.err;
    }
    EXPECT_EQ(test::ReadFileBytes(dir.File("cut.ico")), (Bytes{0, 0, 1, 0, 1, 0}));
    EXPECT_EQ(DirectoryEntries(dir.Path()), before);
}

// "-" reads standard input and writes standard output, with the report kept
// off the icon's bytes.
TEST_F(ToolCommand, StandardStreamsStandForFiles)
{
    const std::string tool = TESSEL_TOOL_PATH;
    const test::ProcessResult converted = RunProgram({tool, "--module", TESSEL_MODULE_PATH, "convert", "-", "-f", "ICO",
                                                      "-o", "-", "--sizes", "16,48"}, {}, dir.File("p100.png"));
    EXPECT_EQ(std::tie(converted.exitCode, converted.err), std::make_tuple(0, std::string()));
    std::ofstream(dir.File("piped.ico"), std::ios::binary) << converted.out;
    EXPECT_EQ(RunProgram({tool, "--module", TESSEL_MODULE_PATH, "info", "--brief", "-"}, {}, dir.File("piped.ico")).out,
              "-  Windows icon  2 images  48x48/32 16x16/32\n");
}

// An output name that is a link is written through to its target; a FIFO or
// a device is written into, never replaced.
TEST_F(ToolCommand, OutputsGoWhereTheNameLeads)
{
    namespace fs = std::filesystem;
    ASSERT_EQ(Tool("convert $T/p16.png -o $T/plain.ico").status, 0);
    const Bytes expected = test::ReadFileBytes(dir.File("plain.ico"));
    test::WriteFileBytes(dir.File("target.ico"), {1});
    fs::create_symlink("target.ico", dir.File("link.ico"));
    fs::create_symlink("made.ico", dir.File("dangling.ico"));
    ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
    std::string fromFifo;
    std::thread reader([&] { std::ifstream fifo(dir.File("fifo"), std::ios::binary); fromFifo.assign(std::istreambuf_iterator<char>(fifo), {}); });
    for (const char* line : {"convert $T/p16.png -o $T/link.ico", "convert $T/p16.png -o $T/dangling.ico",
                             "convert $T/p16.png -o $T/fifo -f ico", "convert $T/p16.png -o /dev/null -f ico"})
        EXPECT_EQ(Tool(line).status, 0) << line;
    reader.join();
    EXPECT_EQ(std::make_tuple(fs::is_symlink(dir.File("link.ico")), fs::is_symlink(dir.File("dangling.ico")),
                              fs::is_fifo(dir.File("fifo")), fs::is_character_file("/dev/null")),
              std::make_tuple(true, true, true, true));
    EXPECT_EQ(test::ReadFileBytes(dir.File("target.ico")), expected);
    EXPECT_EQ(test::ReadFileBytes(dir.File("made.ico")), expected);
    EXPECT_EQ(Bytes(fromFifo.begin(), fromFifo.end()), expected);
}

// A signal at any moment of a save leaves the old output or the new one and
// no temporary file; a batch stops its workers and says it was interrupted.
TEST_F(ToolCommand, SignalsLeaveNoTemporaryFile)
{
    auto start = [&](const std::vector<std::string>& args) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            std::vector<char*> argv;
            for (const std::string& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            if (!::freopen(dir.File("summary.txt").c_str(), "w", stdout))
                ::_exit(126);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        return pid;
    };
    const std::string tool = TESSEL_TOOL_PATH, module = TESSEL_MODULE_PATH;
    for (int delay = 0; delay < 100; delay += 10) {
        const pid_t pid = start({tool, "--module", module, "convert", dir.File("p300.png"), "-o", dir.File("out.icns"), "--resize"});
        ::usleep(useconds_t(delay) * 1000);
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) ? WEXITSTATUS(status) == 0 : WTERMSIG(status) == SIGTERM) << delay;
        for (const std::string& name : DirectoryEntries(dir.Path()))
            EXPECT_NE(name[0], '.') << name << " after " << delay << " ms";
    }
    std::filesystem::create_directories(dir.File("in"));
    // Enough files that the batch is still at work when the signal comes,
    // however fast the machine: 200 conversions take seconds.
    for (int i = 0; i < 200; ++i)
        std::filesystem::copy_file(dir.File("p300.png"), dir.File("in/" + std::to_string(i) + ".png"));
    const pid_t batch = start({tool, "--module", module, "convert", dir.File("in"), "--out-dir", dir.File("out"), "-f",
                               "MACOS", "--resize", "-j", "2"});
    ::usleep(150000);
    ::kill(batch, SIGINT);
    int status = 0;
    ::waitpid(batch, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
    std::ifstream summary(dir.File("summary.txt"));
    const std::string text((std::istreambuf_iterator<char>(summary)), {});
    EXPECT_NE(text.find("\ninterrupted by signal 2: "), std::string::npos) << text;
    EXPECT_EQ(text.find("failed: "), std::string::npos) << text;
    const std::size_t written = DirectoryEntries(dir.File("out")).size();
    ::usleep(300000);   // a worker left running would still be writing
    EXPECT_EQ(DirectoryEntries(dir.File("out")).size(), written);
    EXPECT_LT(written, 200u);
    for (const std::string& name : DirectoryEntries(dir.File("out")))
        EXPECT_NE(name[0], '.') << name;
}

// On a terminal (script(1) gives the program one) a batch draws a progress
// line per file, 30 marks for the whole, and clears it before the summary.
TEST_F(ToolCommand, BatchDrawsProgressOnATerminal)
{
    std::filesystem::create_directories(dir.File("in"));
    for (const char* name : {"in/a.png", "in/b.png"})
        std::filesystem::copy_file(dir.File("p16.png"), dir.File(name));
    const std::string command = std::string(TESSEL_TOOL_PATH) + " --module " + TESSEL_MODULE_PATH +
                                T(" convert $T/in --out-dir $T/out -f WINDOWS");
    auto line = [](const std::string& text) { return "\r" + text + std::string(79 - text.size(), ' '); };
    EXPECT_EQ(RunProgram({"script", "-qec", command, "/dev/null"}).out,
              line("[###############               ] 1/2 a.png") + line("[" + std::string(30, '#') + "] 2/2 b.png") +
                  line("") + T("\rconverted 2, failed 0, skipped 0 (2 files to WINDOWS in $T/out)\r\n"));
}

}  // namespace
}  // namespace tessel::tool
