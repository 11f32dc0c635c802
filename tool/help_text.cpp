// The help the tool prints for --help and "tessel help COMMAND".
#include "tool/command_line.h"

#include <string_view>

namespace tessel::tool {

namespace {

constexpr char OverviewHelp[] = R"(tessel - inspect, convert and extract icons

usage: tessel [--module PATH] [--quiet] COMMAND [OPTIONS] [FILES]

Tessel reads Amiga icons (.info: classic, NewIcons, OS 3.5, OS 4, PNG icons),
Windows icons (.ico) and macOS icons (.icns), and writes any of them. Plain
PNG pictures are accepted wherever an icon is read. Wherever one file is read
or written, - stands for standard input or standard output.

commands:
  formats    list the formats tessel can write, with their keywords
  info       show an icon's format, attributes and images (text or JSON)
  extract    write every image of an icon as a PNG picture
  convert    combine the images of one or more icons into a new icon file
  preview    draw every image of some icons on one PNG contact sheet
  check      say whether icons load and list what a strict reader objects to
  help       show help for a command: tessel help convert

global options:
@options

examples:
  tessel info Disk.info                  what is in this icon?
  tessel extract Disk.info -o pictures   its images as PNG files
  tessel convert logo.png -o logo.ico    a PNG picture as a Windows icon
  tessel convert logo.png -o logo.icns   ... and as a macOS icon
  tessel convert icons --out-dir out -f WINDOWS   every icon in a folder
  tessel convert Disk.info -o Disk.info --tooltype STARTDIR=Work:   edit in place

exit status:
  0  success
  1  a file could not be read or written, or the module could not be loaded
  2  the command line was wrong (unknown command or option, missing argument,
     unknown format keyword)
)";

constexpr char FormatsHelp[] = R"(usage: tessel formats

Lists the formats tessel can write, one per line: the keyword to give to
'convert -f', the format's name, the file extension it uses, and its format
id in hexadecimal.

Several Amiga formats share the .info extension, so converting to a .info file
needs -f to say which one; .ico and .icns are chosen from the extension alone.

example:
  tessel formats

exit status: 0 success, 1 module not loadable, 2 usage error.
)";

constexpr char InfoHelp[] = R"(usage: tessel info FILE... [--json | --brief]

Shows, for each FILE, the format it is in (for Amiga icons also the keyword
of the exact kind: AMIGAOS, NEWICON, AMIGAOS35, AMIGAOS40 or PNG, the one
'convert -f' writes it with), the icon's attributes and its images.

  attributes   type (disk, drawer, tool, project, garbage, ...), position,
               drawer window (left, top, width x height), view mode, show-all,
               stack size, default tool and tooltypes. Windows and macOS icons
               hold none of these, and show none.
  images       for each image in order: index, width x height, depth (1 to 8
               for palette images, 32 for full colour), flags (1 primary,
               2 selected) and, for palette images, the transparent pen (none
               when the image has none).

options:
@options
    icons/disk.info  Amiga icon  4 images  48x48/2 48x48/2s 64x64/32p 64x64/32s

examples:
  tessel info Disk.info
  tessel info --brief icons/*
  tessel info icons/*.info --json | python3 -c 'import json,sys; [print(json.loads(l)["format"]) for l in sys.stdin]'

exit status: 0 all files shown, 1 some file could not be read (the others are
still shown), 2 usage error.
)";

constexpr char ExtractHelp[] = R"(usage: tessel extract FILE... -o DIR [--selected-only | --normal-only]
                      [--largest | --index N]

Writes every image of each FILE, in order, as an RGBA PNG picture in DIR
(created when missing), named NAME-N-WxH.png, or NAME-N-WxH-selected.png for
the selected state, where NAME is FILE's name without its last extension, N
the image's number in 'tessel info' and WxH its size. Palette images are
expanded through their palette; the transparent pen becomes fully
transparent. Existing pictures of the same name are replaced. With -o - the
one picture chosen by --largest or --index goes to standard output.

options:
@options

The filters keep the numbers of the full list, so Disk-1-48x48-selected.png
is the same image with or without a filter.

examples:
  tessel extract Disk.info -o pictures     pictures/Disk-0-48x48.png, pictures/Disk-1-48x48-selected.png
  tessel extract icons/*.icns -o big --largest   the largest image of each
  tessel extract app.ico -o - --index 2 | display   one image, piped

exit status: 0 success, 1 a FILE unreadable or a picture not written (the
other FILEs are still done), 2 usage error.
)";

constexpr char ConvertHelp[] = R"(usage: tessel convert INPUT... -o OUTPUT [-f KEYWORD] [--resize | --sizes LIST]
                      [--strict] [--compress | --no-compress] [ATTRIBUTE OPTIONS]
       tessel convert DIR_OR_FILES... --out-dir OUT -f KEYWORD [--recursive]
                      [--jobs N] [--compress] [--resize] [ATTRIBUTE OPTIONS]

Reads every INPUT (icons of any readable format, or plain PNG pictures), puts
all their images together, and writes them as one icon to OUTPUT. The icon's
main picture and its selected twin come first; smaller placeholder images of
the Amiga formats give way to it. The attributes (type, default tool,
tooltypes, ...) come from the first input that has any. OUTPUT is written
under a temporary name and renamed only once complete: a failed conversion
never leaves a broken file and never touches an existing OUTPUT.

Then the written file is read back, and a report says what it holds, with a
line for each input image it left out or reduced, and why:
  app.ico: Windows icon, 5 images: 16x16/32 24x24/32 32x32/32 48x48/32 256x256/32
    left out 1024x1024/32: Windows icons hold at most 256x256; use --resize

options (attribute options set what the inputs gave; Windows and macOS icons
have no attributes):
@options

Scaling (--resize, --sizes) averages the exact area under each new pixel,
with transparency taken into account; palette images are made true colour
first, and a picture that is not square is centred on transparency.

batch conversion (--out-dir instead of -o):
  Converts each input on its own into OUT (created when missing), as
  OUT/NAME.EXT: NAME the input's name without its last extension, EXT the
  format's extension. A directory argument means every regular file in it
  (and in its subdirectories with --recursive). A name already used by an
  output of this run, or that of an input, gets -2, -3, ... added; skipped
  and failed files take no name, and no input is ever overwritten.
  Conversion goes on past failures; at the end a summary on standard output
  counts the files converted, failed and skipped, and the images left out,
  with one line for each failure, each skip and each file that lost images:
    converted 150, failed 2, skipped 1, 3 images left out (153 files to WINDOWS in out)
    failed: icons/odd.info: cannot read Amiga icon (damaged or not supported)
    skipped: icons/README: not an icon file (starts with 53 68 6F 77)
    lost: icons/disk.info: left out 8x8/2: macOS icons hold only square images of 16, ...
  Skipped files are not icons, or hold nothing the format can store (the line
  says what it would need). When standard error is a terminal a progress bar
  shows there. A failed file leaves nothing in OUT.

examples:
  tessel convert logo.png -o logo.ico
  tessel convert logo16.png logo32.png logo128.png -o logo.icns
  tessel convert big512.png -o app.icns --resize      every macOS size to 512
  tessel convert logo.png -o Logo.info -f amigaos35 --resize
  tessel convert logo.png -o app.ico --sizes 16,32,48,256 --strict
  tessel convert Disk.info -o Disk.info --remove-tooltype STARTDIR
  tessel convert Disk.info -o Disk.info -f PNG
  cat logo.png | tessel convert - -f ico -o - > logo.ico
  tessel convert app.png -o App.info -f AMIGAOS40 --type tool --stack 8192 \
      --tooltype DONOTWAIT=YES --position 20,-4
  tessel convert icons/ --out-dir ico -f WINDOWS --jobs 2

exit status: 0 written, 1 an input could not be read or OUTPUT not written
(with --strict also: an image would be lost; in a batch: any file failed), 2
usage error (including an unknown or missing
format keyword, a bad number, -o together with --out-dir).
)";

constexpr char PreviewHelp[] = R"(usage: tessel preview FILE... -o SHEET.png [--scale N] [--columns N]

Draws a contact sheet: one PNG picture showing every image of every FILE, a
block per file under its name. Each image is drawn at its own size and, when
neither side is over 64 pixels, once more at twice the size (each pixel made
a 2x2 square). Images with a side over 256 are shrunk by a whole factor to
fit 256 and say "shown at 1/N". Images sit on a grey checkerboard of 8-pixel
squares, so transparent parts show as checks; palette images are drawn
through their palette, the transparent pen showing the checks. Under each
image: its size and depth, and its state (normal or selected, and primary
when flagged). The text uses a small built-in font.

A FILE that cannot be read gets a line "cannot read: REASON" on the sheet
and a message on stderr; the sheet is still written for the others. SHEET is
written under a temporary name and renamed only once complete. A sheet can be
at most 16384 pixels a side: preview a big folder a few dozen files at a time.

options:
@options
examples:
  tessel preview Disk.info app.ico app.icns -o sheet.png
  tessel preview icons/*.info -o icons.png --columns 4 --scale 2

exit status: 0 sheet written and every FILE read, 1 some FILE could not be
read (the sheet is still written) or SHEET could not be written, 2 usage
error.
)";

constexpr char CheckHelp[] = R"(usage: tessel check FILE...

Loads each FILE through the module and says whether it is sound (it loads)
or damaged (it does not, and why). Then lists, one line each, what a strict
reader would object to in the file's bytes, found by reading them apart from
the module: "problem:" for what breaks the format's layout, "note:" for what
is odd but tolerated by readers. A sound file may still have problems: the
module forgives many of them.

  Amiga icons    header magic and version, the user-data word, images larger
                 than the gadget or deeper than 8 planes, texts running past
                 the file or without their NUL, empty tooltypes, NewIcons
                 marker and IM1/IM2 header lines, bytes after the DiskObject
                 that are not a FORM; in the FORM its length, unknown chunks,
                 chunks running past it, IMAG depths and byte counts
  PNG icons      CRC errors, chunks after IEND, a second PNG, icOn tags
                 outside the table, items running past their chunk, drawer
                 flags using bits above bit 3
  Windows icons  reserved and type fields, entry count, entries running past
                 the file, directory sizes (0 means 256) and bit counts
                 against the bitmap, bitmap heights (image and mask: twice
                 the size), 32-bit bitmaps without an AND mask, PNG sizes
  macOS icons    header length against the file, entries running past it or
                 shorter than 8 bytes, types outside the known table, stray
                 bytes at the end, masks without their image

example:
  tessel check icons/disk.info icons/x.icns
    icons/disk.info: sound (Amiga icon, 4 images)
      note: user-data word 0x80000001 has junk in its upper bytes
    icons/x.icns: damaged: cannot read macOS icon (damaged or not supported)
      problem: header length 1224971 disagrees with the file (240915 bytes)

exit status: 0 every FILE loads (notes and problems do not fail), 1 some FILE
could not be opened or loaded, 2 usage error.
)";

constexpr char HelpHelp[] = R"(usage: tessel help [COMMAND]

Shows the overview, or the help of COMMAND (formats, info, extract, convert,
preview, check).
'tessel COMMAND --help' does the same.
)";

// Where a text gets the options section made from the option table.
constexpr char OPTIONS_MARK[] = "@options\n";

struct HelpRow {
    const char* topic;
    const char* text;
};

constexpr HelpRow HelpTable[] = {
    // topic (a command, or empty for the overview), help text
    {"", OverviewHelp},
    {"formats", FormatsHelp},
    {"info", InfoHelp},
    {"extract", ExtractHelp},
    {"convert", ConvertHelp},
    {"preview", PreviewHelp},
    {"check", CheckHelp},
    {"help", HelpHelp},
};

}  // namespace

std::string HelpText(const std::string& topic)
{
    for (const HelpRow& row : HelpTable) {
        if (topic != row.topic)
            continue;
        std::string text = row.text;
        if (std::size_t at = text.find(OPTIONS_MARK); at != std::string::npos)
            text.replace(at, std::string_view(OPTIONS_MARK).size(), OptionsHelp(topic));
        return text;
    }
    return {};
}

}  // namespace tessel::tool
