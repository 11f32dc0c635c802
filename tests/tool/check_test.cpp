// "tessel check": the oddities the corpus catalogue records are reported,
// hand-built files show each check firing (and a clean one none), hostile
// prefixes never crash the linter, and the man page matches its generator.
#include "tests/support/process.h"
#include "tests/support/test_host.h"
#include "tool/check.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>


namespace tessel::tool {
namespace {

using test::Bytes;
using test::TempDir;

using ProgramRun = test::ProcessResult;
using test::ReadText;
using test::RunProgram;

ProgramRun CheckFiles(const std::vector<std::string>& files)
{
    std::vector<std::string> args = {TESSEL_TOOL_PATH, "check"};
    args.insert(args.end(), files.begin(), files.end());
    return RunProgram(args, {std::string("TESSEL_MODULE=") + TESSEL_MODULE_PATH});
}

std::string Corpus(const std::string& name) { return std::string(TESSEL_CORPUS_DIR) + "/" + name; }

// ---- The corpus catalogue -------------------------------------------------------------

struct CatalogueOddity {
    const char* file;
    bool loads;
    std::vector<std::string> lines;   // each must appear in the report, whole
};

// Every corpus file the catalogue marks UNUSUAL, with its oddities as the
// catalogue words them, in the tool's wording.
const std::vector<CatalogueOddity>& CatalogueOddities()
{
    static const std::vector<CatalogueOddity> table = {
        // file, loads, lines of the report
        {"amiga/amiwf-amiwfprefs.info", true, {"  note: 6 non-FORM bytes after the DiskObject"}},
        {"amiga/aros-cnvconfig.info", true, {"  note: 6 non-FORM bytes after the DiskObject"}},
        {"amiga/aros-getaudioid-getaudioid.info", true, {"  note: 6 non-FORM bytes after the DiskObject"}},
        {"amiga/yam-empty.info", true, {"  note: 6 non-FORM bytes after the DiskObject"}},
        {"amiga/yam-marco_musso-empty.info", true, {"  note: 6 non-FORM bytes after the DiskObject"}},
        {"amiga/aros-rename.info", true, {"  problem: NewIcons marker without a \" \" line before it"}},
        {"amiga/dockbot-install.info", true, {"  problem: NewIcons marker without a \" \" line before it"}},
        {"amiga/aros-switch.guide.info", false,
         {"  problem: tooltype 1 text without NUL",
          "  problem: tooltype 2 length 808845312 runs past the end of the file (51 bytes left)"}},
        {"amiga/aros-switch.info", false,
         {"  problem: tooltype 5 text without NUL",
          "  problem: tooltype 6 length 808452096 runs past the end of the file (60 bytes left)"}},
        {"amiga/netsurf-c-wallget.info", true,
         {"  problem: image 1 (55x38 at 0,0) larger than gadget 36x40",
          "  note: user-data word 0x80000001 has junk in its upper bytes"}},
        {"amiga/netsurf-httpresume.info", true, {"  problem: image 1 (45x28 at 0,0) larger than gadget 35x39"}},
        {"amiga/netsurf-icons.info", true, {"  problem: PNG 2: icOn tag 0x8000120D outside the table"}},
        {"amiga/netsurf-ixnet.library.info", true, {"  note: icOn drawer flags 0xFFFFFFF8 use bits above bit 3"}},
        {"amiga/netsurf-netsurf_dualpng.info", true, {"  note: icOn drawer flags 0xFFFFFFF8 use bits above bit 3"}},
        {"amiga/netsurf-readme.info", true, {"  note: icOn drawer flags 0xFFFFFFF8 use bits above bit 3"}},
        {"amiga/netsurf-runwg.info", true, {"  note: icOn drawer flags 0xFFFFFFF8 use bits above bit 3"}},
        {"amiga/netsurf-usergroup.library.info", true,
         {"  note: icOn drawer flags 0xFFFFFFF8 use bits above bit 3"}},
        {"macos/pillow-oom-8ed3316a4109213ca96fb8a2.icns", false,
         {"  problem: header length 1224971 disagrees with the file (240915 bytes)",
          "  problem: entry '\\xe6.\\x00\\xd5' runs past the end of the file"}},
        {"macos/py27-pythonlauncher.icns", true,
         {"  problem: header length 42658 disagrees with the file (42655 bytes)",
          "  problem: entry 'k\\x00\\x00\\x04' runs past the end of the file"}},
        {"macos/py27-tk.icns", false,
         {"  problem: header length 154497 disagrees with the file (154492 bytes)",
          "  problem: entry 'c09\\x00' runs past the end of the file"}},
        {"windows/ffunds-icon.ico", true,
         {"  problem: entry 0: needs 1128 bytes, size field 1064", "  note: entry 0: 32-bit bitmap without AND mask",
          "  problem: entry 1: needs 2440 bytes, size field 2344", "  note: entry 1: 32-bit bitmap without AND mask"}},
        {"windows/pillow-decompression_bomb.ico", true,
         {"  problem: entry 0: bitmap 65535x32767, directory 16x16",
          "  problem: entry 0: needs 536854576 bytes, size field 176"}},
        {"windows/pillow-hopper_mask.ico", true, {"  note: entry 0: 64 spare bytes"}},
        {"windows/pillow-pillow.ico", true,
         {"  note: entry 1: 192 spare bytes", "  note: entry 2: 128 spare bytes", "  note: entry 3: 48 spare bytes"}},
        {"windows/rapps-7zip.ico", true, {"  problem: entry 0: bitmap 48x48, directory 48x96"}},
        {"windows/rapps-audiograbber.ico", true, {"  note: entry 2 reserved byte 72"}},
        {"windows/rapps-dilinuxreader.ico", true,
         {"  note: entry 0: directory bit count 24, bitmap 8", "  note: entry 7: directory bit count 24, bitmap 32"}},
        {"windows/rapps-fbide.ico", true, {"  note: entry 0: 24 spare bytes", "  note: entry 1: 24 spare bytes"}},
        {"windows/rapps-firefox_new.ico", true,
         {"  note: entry 1: 1920 spare bytes", "  note: entry 2: 896 spare bytes", "  note: entry 3: 192 spare bytes"}},
        {"windows/rapps-gimp.ico", true, {"  problem: entry 0: bitmap 48x48, directory 48x96"}},
        {"windows/rapps-musescore.ico", true,
         {"  problem: entry 0: bitmap 48x48, directory 48x96", "  note: entry 0: 1920 spare bytes"}},
        {"windows/rapps-qemumanager.ico", true,
         {"  note: entry 0: directory bit count 4, bitmap 24", "  problem: entry 0: bitmap 24x24, directory 32x32",
          "  problem: entry 0: needs 1864 bytes, size field 744", "  note: 1120 bytes after the last entry"}},
        {"windows/rapps-samba.ico", true, {"  problem: entry 0: PNG is 500x500, directory says 256x256"}},
        {"windows/rapps-totalcommander.ico", true,
         {"  note: entry 0 reserved byte 101", "  note: entry 1 reserved byte 112", "  note: entry 3 reserved byte 6"}},
    };
    return table;
}

bool HasLine(const std::string& report, const std::string& line)
{
    std::istringstream lines(report);
    for (std::string text; std::getline(lines, text);) {
        if (text == line)
            return true;
    }
    return false;
}

TEST(CheckCommand, EveryUnusualCorpusFileIsInTheTable)
{
    std::ifstream catalogue(Corpus("SOURCES.tsv"));
    ASSERT_TRUE(catalogue) << "no corpus catalogue";
    std::set<std::string> listed;
    for (const CatalogueOddity& row : CatalogueOddities())
        listed.insert(row.file);
    int unusual = 0;
    for (std::string line; std::getline(catalogue, line);) {
        if (line.find("UNUSUAL:") == std::string::npos)
            continue;
        ++unusual;
        const std::string file = line.substr(0, line.find('\t'));
        EXPECT_TRUE(listed.count(file)) << file << " is catalogued as unusual but not checked here";
    }
    EXPECT_EQ(unusual, static_cast<int>(listed.size()));
}

TEST(CheckCommand, ReportsTheOdditiesTheCorpusCatalogueNames)
{
    for (const CatalogueOddity& row : CatalogueOddities()) {
        const std::string path = Corpus(row.file);
        ProgramRun run = CheckFiles({path});
        SCOPED_TRACE(row.file + std::string("\n") + run.out + run.err);
        EXPECT_EQ(run.exitCode, row.loads ? 0 : 1);
        EXPECT_EQ(run.out.rfind(path + (row.loads ? ": sound (" : ": damaged: cannot read "), 0), 0u);
        for (const std::string& line : row.lines)
            EXPECT_TRUE(HasLine(run.out, line)) << "missing: " << line;
    }
}

TEST(CheckCommand, SoundFilesHaveNoProblemLines)
{
    // The bundled samples and corpus icons the catalogue finds nothing odd in.
    const std::vector<std::pair<std::string, std::string>> files = {
        {std::string(TESSEL_SOURCE_DIR) + "/samples/tessel.info", "Amiga icon, 4 images"},
        {std::string(TESSEL_SOURCE_DIR) + "/samples/tessel.ico", "Windows icon, 4 images"},
        {std::string(TESSEL_SOURCE_DIR) + "/samples/tessel.icns", "macOS icon, 4 images"},
        {Corpus("amiga/aros-cnvconfig.info"), "Amiga icon, 2 images"},
        {Corpus("windows/rapps-audiograbber.ico"), "Windows icon, 3 images"},
    };
    std::vector<std::string> paths;
    std::string expected;
    for (const auto& [path, summary] : files)
        paths.push_back(path);
    ProgramRun run = CheckFiles(paths);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    for (const auto& [path, summary] : files)
        EXPECT_TRUE(HasLine(run.out, path + ": sound (" + summary + ")")) << run.out;
    EXPECT_EQ(run.out.find("problem:"), std::string::npos) << run.out;
}

TEST(CheckCommand, MissingOrDamagedFilesExitOneAndTheOthersAreStillChecked)
{
    TempDir dir;
    const std::string missing = dir.File("missing.info");
    const std::string text = dir.File("notes.txt");
    test::WriteFileBytes(text, {'h', 'e', 'l', 'l', 'o'});
    const std::string damaged = dir.File("cut.icns");
    Bytes icns = test::ReadFileBytes(std::string(TESSEL_SOURCE_DIR) + "/samples/tessel.icns");
    const std::size_t wholeSize = icns.size();
    icns.resize(wholeSize / 2);
    test::WriteFileBytes(damaged, icns);
    const std::string sound = std::string(TESSEL_SOURCE_DIR) + "/samples/tessel.info";

    ProgramRun run = CheckFiles({missing, sound});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "tessel: " + missing + ": cannot open (no such file or directory)\n");
    EXPECT_TRUE(HasLine(run.out, sound + ": sound (Amiga icon, 4 images)")) << run.out;

    run = CheckFiles({damaged});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out.rfind(damaged + ": damaged: cannot read macOS icon", 0), 0u) << run.out;
    EXPECT_TRUE(HasLine(run.out, "  problem: header length " + std::to_string(wholeSize) +
                                     " disagrees with the file (" + std::to_string(icns.size()) + " bytes)"))
        << run.out;

    run = CheckFiles({text});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, text + ": not an icon file (starts with 68 65 6C 6C)\n");

    run = RunProgram({TESSEL_TOOL_PATH, "check"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("check needs at least one FILE"), std::string::npos) << run.err;
}

// ---- Hand-built files ------------------------------------------------------------------

void Put16(Bytes& bytes, std::size_t at, std::uint32_t value)
{
    bytes[at] = static_cast<std::uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<std::uint8_t>(value);
}
void Put32(Bytes& bytes, std::size_t at, std::uint32_t value)
{
    Put16(bytes, at, value >> 16);
    Put16(bytes, at + 2, value & 0xFFFF);
}
void Append(Bytes& bytes, const Bytes& more) { bytes.insert(bytes.end(), more.begin(), more.end()); }
Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string Findings(const Bytes& bytes, const std::string& fileName = "")
{
    std::string text;
    for (const CheckFinding& finding : CheckIconBytes(bytes, fileName))
        text += (finding.problem ? "problem: " : "note: ") + finding.text + "\n";
    return text;
}

// A DiskObject with one 16x1 one-plane image in a 16x1 gadget, nothing else.
Bytes CleanDiskObject()
{
    Bytes file(78, 0);
    Put32(file, 0, 0xE3100001);                       // magic, version
    Put16(file, 12, 16);                              // gadget width
    Put16(file, 14, 1);                               // gadget height
    Put32(file, 22, 1);                               // image flag
    Put32(file, 44, 1);                               // user data: a newer icon
    file[48] = 3;                                     // tool
    Append(file, {0, 0, 0, 0, 0, 16, 0, 1, 0, 1,      // image: left, top, width 16, height 1, depth 1
                  0, 0, 0, 1, 1, 0, 0, 0, 0, 0});     // data flag, plane pick/on-off, next
    Append(file, {0xFF, 0xFF});                       // one plane, one row
    return file;
}

// Tooltype records: a 32-bit length, the text with its NUL.
Bytes ToolTypes(const std::vector<std::string>& lines)
{
    Bytes block = {0, 0, 0, static_cast<std::uint8_t>(4 * (lines.size() + 1))};
    for (const std::string& line : lines) {
        Append(block, {0, 0, 0, static_cast<std::uint8_t>(line.size() + 1)});
        Append(block, Text(line));
        block.push_back(0);
    }
    return block;
}

TEST(CheckLinter, DiskObjectChecksFireOnHandBuiltIcons)
{
    EXPECT_EQ(Findings(CleanDiskObject()), "");

    Bytes file = CleanDiskObject();
    file[3] = 2;                                      // version 2
    Put32(file, 44, 0x80000001);
    Put16(file, 78 + 4, 40);                          // image width 40 in a 16-pixel gadget
    Put16(file, 78 + 8, 9);                           // nine planes
    EXPECT_EQ(Findings(file), "problem: header magic/version 0xE3100002 is not E3100001\n"
                              "note: user-data word 0x80000001 has junk in its upper bytes\n"
                              "problem: image 1 (40x1 at 0,0) larger than gadget 16x1\n"
                              "problem: image 1 plane depth 9 above 8\n"
                              "problem: image 1 planes (54 bytes) run past the end of the file\n");

    file = CleanDiskObject();
    Put32(file, 54, 1);                               // tooltypes
    Append(file, ToolTypes({"", "*** DON'T EDIT THE FOLLOWING LINES!! ***", "IM1=B!", "IM2=B!!!!"}));
    EXPECT_EQ(Findings(file), "note: tooltype 0 is empty\n"
                              "problem: NewIcons marker without a \" \" line before it\n"
                              "problem: NewIcons IM1 header shorter than 9 characters\n"
                              "problem: NewIcons IM2 size 0x0 below 1\n");

    file = CleanDiskObject();
    Put32(file, 50, 1);                               // default tool, without its NUL
    Append(file, {0, 0, 0, 3, 'a', 'b', 'c'});
    Put32(file, 54, 1);                               // tooltypes: one whose length runs away
    Append(file, {0, 0, 0, 8, 0x30, 0, 0, 0, 'x', 0});
    EXPECT_EQ(Findings(file), "problem: default tool text without NUL\n"
                              "problem: tooltype 0 length 805306368 runs past the end of the file (2 bytes left)\n");

    file = CleanDiskObject();
    Append(file, Text("FORM"));
    Append(file, {0, 0, 0, 57});                      // one byte more than follows
    Append(file, Text("ICONFACE"));
    Append(file, {0, 0, 0, 6, 15, 0, 0, 0, 0, 0});    // FACE: 16x1
    Append(file, Text("JUNK"));
    Append(file, {0, 0, 0, 1, 0, 0});                 // unknown chunk, odd length, pad
    Append(file, Text("IMAG"));
    Append(file, {0, 0, 0, 12, 0, 1, 2, 0, 0, 9, 0, 1, 0, 5, 0, 0});  // depth 9; 2 + 6 bytes in 2
    Append(file, Text("IMAG"));
    Append(file, {0, 0, 0, 99});                      // runs past the FORM
    EXPECT_EQ(Findings(file), "problem: FORM length 57 disagrees with the file (56 bytes after the FORM header)\n"
                              "problem: unknown chunk 'JUNK' in the FORM\n"
                              "problem: IMAG depth 9 outside 1..8\n"
                              "problem: IMAG counts (2 image, 6 palette bytes) larger than the chunk (12 bytes)\n"
                              "problem: chunk 'IMAG' (99 bytes) runs past the FORM\n");
}

// A one-entry icon: a 1x1 32-bit bitmap with its AND mask, 48 bytes at 22.
Bytes CleanIco()
{
    return {
        0, 0, 1, 0, 1, 0,                                 // reserved, type 1, one entry
        1, 1, 0, 0, 1, 0, 32, 0, 48, 0, 0, 0, 22, 0, 0, 0,  // 1x1, 32 bpp, 48 bytes at 22
        40, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 32, 0,   // bitmap header: 1 x (1+1), 32 bpp
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        1, 2, 3, 4,                                       // the pixel
        0, 0, 0, 0,                                       // mask row
    };
}

TEST(CheckLinter, WindowsIconChecksFireOnHandBuiltIcons)
{
    EXPECT_EQ(Findings(CleanIco()), "");

    Bytes file = CleanIco();
    file[0] = 7;                                      // reserved
    file[2] = 2;                                      // a cursor
    file[9] = 9;                                      // entry reserved byte
    file[6 + 8] = 44;                                 // size without the mask
    EXPECT_EQ(Findings(file), "");                   // not an icon by its first bytes
    EXPECT_EQ(Findings(file, "odd.ICO"), "problem: reserved field 7, not 0\n"
                              "problem: type field 2, not 1 (icon)\n"
                              "note: entry 0 reserved byte 9\n"
                              "note: entry 0: 32-bit bitmap without AND mask\n"
                              "problem: entry 0: needs 48 bytes, size field 44\n"
                              "note: 4 bytes after the last entry\n");

    file = CleanIco();
    file[22 + 8] = 1;                                 // bitmap height 1: no room for the mask
    file[22 + 14] = 7;                                // 7 bits a pixel
    EXPECT_EQ(Findings(file), "problem: entry 0: bitmap 1x0, directory 1x1 (bitmap height 1 is not twice the size)\n"
                              "problem: entry 0: bit count 7 is not one the format has\n");

    file = CleanIco();
    file[6 + 12] = 23;                                // offset 23: one byte past the end
    EXPECT_EQ(Findings(file), "problem: entry 0: offset 23 and size 48 run past the end of the file (70 bytes)\n"
                              "note: 48 bytes after the last entry\n");

    file = CleanIco();
    file[6] = 0;                                      // directory width 0 means 256
    EXPECT_EQ(Findings(file), "problem: entry 0: bitmap 1x1, directory 256x1\n");

    file = CleanIco();
    file[4] = 0;                                      // no entries
    EXPECT_EQ(Findings(file), "problem: entry count 0\n");
}

TEST(CheckLinter, MacIconChecksFireOnHandBuiltIcons)
{
    const Bytes clean = {
        'i', 'c', 'n', 's', 0, 0, 0, 26,              // header: length 26
        'i', 's', '3', '2', 0, 0, 0, 9, 0,            // 16x16 colour, one byte
        's', '8', 'm', 'k', 0, 0, 0, 9, 0,            // its mask
    };
    EXPECT_EQ(Findings(clean), "");

    Bytes file = clean;
    file[8 + 1] = 'z';                                // 'iz32': unknown, so the mask is alone
    file.insert(file.end(), {1, 2});                  // stray bytes, not in the header length
    EXPECT_EQ(Findings(file), "problem: header length 26 disagrees with the file (28 bytes)\n"
                              "problem: entry 'iz32' has a type outside the known table\n"
                              "note: 2 stray bytes after the last entry\n"
                              "problem: mask 's8mk' without its image 'is32'\n");

    file = clean;
    file[15] = 4;                                     // entry length 4
    EXPECT_EQ(Findings(file), "problem: entry 'is32' length 4 below 8\n");
    file = clean;
    file[15] = 200;
    EXPECT_EQ(Findings(file), "problem: entry 'is32' runs past the end of the file\n");
}

// A PNG chunk with its CRC computed by zlib.
Bytes PngChunk(const std::string& id, const Bytes& data)
{
    Bytes chunk(4, 0);
    Put32(chunk, 0, static_cast<std::uint32_t>(data.size()));
    Append(chunk, Text(id));
    Append(chunk, data);
    uLong crc = crc32(0, chunk.data() + 4, static_cast<uInt>(chunk.size() - 4));
    chunk.resize(chunk.size() + 4);
    Put32(chunk, chunk.size() - 4, static_cast<std::uint32_t>(crc));
    return chunk;
}

Bytes PngIcon(const Bytes& iconItems)
{
    Bytes file = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Append(file, PngChunk("IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 6, 0, 0, 0}));
    Append(file, PngChunk("icOn", iconItems));
    Append(file, PngChunk("IEND", {}));
    return file;
}

TEST(CheckLinter, PngIconChecksFireOnHandBuiltIcons)
{
    const Bytes items = {
        0x80, 0, 0x10, 0x01, 0, 0, 0, 5,              // x position 5
        0x80, 0, 0x10, 0x0B, 'A', '=', '1', 0,        // a tooltype
        0x80, 0, 0x10, 0x07, 0, 0, 0, 3,              // drawer flags 3
    };
    EXPECT_EQ(Findings(PngIcon(items)), "");

    Bytes odd = items;
    odd[23] = 0x13;                                   // drawer flags 0x13
    Append(odd, {0x80, 0, 0x11, 0x07, 0, 0});         // item cut short by the chunk's end
    Bytes file = PngIcon(odd);
    Append(file, PngIcon({0x80, 0, 0x12, 0x0D}));     // a second datastream, with an unknown tag
    EXPECT_EQ(Findings(file), "note: icOn drawer flags 0x00000013 use bits above bit 3\n"
                              "problem: icOn item 0x80001107 runs past the chunk\n"
                              "note: a second PNG datastream follows at byte 87\n"
                              "problem: PNG 2: icOn tag 0x8000120D outside the table\n");

    file = PngIcon({0x80, 0, 0x10, 0x0A, 'x'});      // default tool without its NUL
    file[8 + 8 + 2] ^= 1;                             // damage IHDR's data
    Append(file, PngChunk("tEXt", {'a', 0, 'b'}));
    EXPECT_EQ(Findings(file), "problem: CRC error in chunk 'IHDR'\n"
                              "problem: icOn text of tag 0x8000100A runs past the chunk\n"
                              "problem: chunks after IEND (15 bytes, starting 'tEXt')\n");
}

// Where the first PNG datastream of bytes ends (after its IEND), or 0.
std::size_t FirstPngEnd(const Bytes& bytes)
{
    std::size_t at = 8;
    while (at + 12 <= bytes.size()) {
        const std::size_t length = (std::size_t{bytes[at]} << 24) | (bytes[at + 1] << 16) | (bytes[at + 2] << 8) |
                                   bytes[at + 3];
        const std::string id(bytes.begin() + static_cast<std::ptrdiff_t>(at + 4),
                             bytes.begin() + static_cast<std::ptrdiff_t>(at + 8));
        if (length > bytes.size() - at - 12)
            return 0;
        at += 12 + length;
        if (id == "IEND")
            return at;
    }
    return 0;
}

// pngcheck judges the CRCs: the first datastream of every corpus PNG icon,
// as it is and with a bit of its icOn chunk flipped, gets the same verdict.
TEST(CheckLinter, CrcErrorsAgreeWithPngcheck)
{
    if (access("/usr/bin/pngcheck", X_OK) != 0)
        GTEST_SKIP() << "pngcheck is not installed";
    TempDir dir;
    int checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Corpus("amiga"))) {
        const Bytes whole = test::ReadFileBytes(entry.path().string());
        const std::size_t end = FirstPngEnd(whole);
        if (whole.size() < 8 || whole[1] != 'P' || end == 0)
            continue;
        Bytes first(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(end));
        const auto icon = std::search(first.begin(), first.end(), std::begin("icOn"), std::end("icOn") - 1);
        if (icon == first.end())
            continue;                                 // its icOn is in the second datastream
        const std::string path = dir.File("first.png");
        const std::string name = entry.path().filename().string();
        for (bool damage : {false, true}) {
            if (damage)
                icon[6] ^= 0x10;                      // inside the first item's tag
            test::WriteFileBytes(path, first);
            ProgramRun oracle = RunProgram({"/usr/bin/pngcheck", path});
            const bool oracleCrcError = oracle.out.find("CRC error in chunk icOn") != std::string::npos;
            EXPECT_EQ(oracleCrcError, damage) << name << ": " << oracle.out;
            EXPECT_EQ(oracle.exitCode == 0, !damage) << name << ": " << oracle.out;
            EXPECT_EQ(Findings(first).find("problem: CRC error in chunk 'icOn'") != std::string::npos, oracleCrcError)
                << name << ": " << Findings(first);
        }
        ++checked;
    }
    EXPECT_GE(checked, 10);
}

// Every prefix of real files and of files with runaway lengths: the linter
// must stop inside the bytes it has (the sanitizer build watches the reads).
TEST(CheckLinter, EveryPrefixOfRealFilesIsCheckedWithoutCrashing)
{
    const std::vector<std::string> files = {
        std::string(TESSEL_SOURCE_DIR) + "/samples/tessel.info", std::string(TESSEL_SOURCE_DIR) + "/samples/tessel.ico",
        std::string(TESSEL_SOURCE_DIR) + "/samples/tessel.icns", Corpus("amiga/netsurf-icons.info"),
        Corpus("amiga/aros-switch.info"), Corpus("windows/rapps-qemumanager.ico"),
    };
    for (const std::string& path : files) {
        const Bytes whole = test::ReadFileBytes(path);
        ASSERT_FALSE(whole.empty()) << path;
        const std::size_t step = whole.size() > 4096 ? 7 : 1;
        std::size_t unremarked = 0;
        for (std::size_t size = 0; size < whole.size(); size += step) {
            Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
            const std::vector<CheckFinding> findings = CheckIconBytes(prefix);
            unremarked += std::none_of(findings.begin(), findings.end(),
                                       [](const CheckFinding& finding) { return finding.problem; });
        }
        // A cut file has something a strict reader objects to, unless it is too
        // short to be recognised (under 8 bytes) or cut just where a container ends.
        EXPECT_LE(unremarked, 10u) << path;
    }
}

// ---- The man page ---------------------------------------------------------------------

TEST(ManPage, CommittedPageIsWhatTheGeneratorMakesFromTheHelp)
{
    const std::string source = TESSEL_SOURCE_DIR;
    ProgramRun run = RunProgram({"python3", source + "/scripts/make-man", TESSEL_TOOL_PATH});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, ReadText(source + "/docs/tessel.1"))
        << "docs/tessel.1 is out of date: run scripts/make-man build/tessel > docs/tessel.1";
    // Every command's help reaches the page.
    for (const char* command : {"formats", "info", "extract", "convert", "preview", "check", "help"})
        EXPECT_NE(run.out.find(std::string("usage: tessel ") + command), std::string::npos) << command;
}

TEST(ManPage, RendersWithoutWarnings)
{
    const std::string page = std::string(TESSEL_SOURCE_DIR) + "/docs/tessel.1";
    std::vector<std::string> command;
    if (access("/usr/bin/man", X_OK) == 0)
        command = {"/usr/bin/man", "--warnings", "-l", "-Tutf8", page};
    else if (access("/usr/bin/groff", X_OK) == 0)
        command = {"/usr/bin/groff", "-man", "-Tutf8", "-ww", page};
    else
        GTEST_SKIP() << "neither man nor groff is installed";
    ProgramRun run = RunProgram(command, {"MANWIDTH=80", "MAN_KEEP_FORMATTING=0"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("tessel check icons/disk.info"), std::string::npos);
}

}  // namespace
}  // namespace tessel::tool
