// Contact sheets: every image of some icons drawn on one picture, over a
// checkerboard so transparency shows, each labelled, one block per icon.
#pragma once

#include "runtime/module.h"
#include "tool/command_line.h"
#include "tool/icon_values.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace tessel::tool {

// Limits of the magnification and of the images a row, as the command line
// accepts them.
inline constexpr std::int32_t PREVIEW_MAX_SCALE = 8;
inline constexpr std::int32_t PREVIEW_MAX_COLUMNS = 64;

// One block of the sheet: an icon read from name, or why it could not be.
struct PreviewIcon {
    std::string name;   // the heading: the file as it was given
    bool loaded = false;
    std::string error;  // when !loaded
    Icon icon;
};

struct PreviewOptions {
    std::int32_t scale = 1;    // the whole sheet magnified this many times, 1..PREVIEW_MAX_SCALE
    std::int32_t columns = 0;  // images a row; 0: as many as fit in about 1024 pixels
};

struct PreviewSheet {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint32_t> pixels;  // 0xAARRGGBB, top row first, all opaque
};

// The lines under an image on the sheet: "32x32 8-bit", "normal" or
// "selected" (", primary" when flagged), and "shown at 1/N" when the image was
// shrunk by N to fit.
std::vector<std::string> PreviewLabel(const Image& image, std::int32_t shrink);

// Lays the icons out and draws them. Each image is shown at 1:1, and once more
// at 2x (nearest neighbour) when neither side is over 64; an image with a side
// over 256 is shown shrunk by the smallest whole factor that brings it within
// 256. Returns false, with *why set, when the sheet would be larger than a PNG
// picture the tool writes.
// When loadPixels is given, an icon's images may just say what they are
// (no pixels): its pixels are then fetched by loadPixels(index, icon) when
// its block is drawn and let go after. An icon
// whose pixels cannot be had then (or no longer match) is drawn without them.
bool DrawPreviewSheet(const std::vector<PreviewIcon>& icons, const PreviewOptions& options, PreviewSheet* sheet,
                      std::string* why,
                      const std::function<bool(std::size_t index, Icon& icon)>& loadPixels = nullptr);

// The preview command: loads line.files, draws the sheet of those it could
// read with a line for each it could not, and writes it to line.output as a
// PNG picture by way of a temporary file. Exit status 1 when a file could not
// be read (the sheet is still written) or the sheet could not be written.
int RunPreview(runtime::Module& module, const CommandLine& line, std::ostream& out, std::ostream& err);

}  // namespace tessel::tool
