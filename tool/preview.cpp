#include "tool/preview.h"

#include "runtime/host_services.h"
#include "tool/bitmap_font.h"
#include "tool/commands.h"
#include "tool/icon_files.h"
#include "tool/picture_export.h"

#include "tool/output_files.h"
#include "tool/text_encoding.h"

#include <algorithm>
#include <cctype>
#include <ostream>

namespace tessel::tool {

namespace {

// Layout, in sheet pixels before --scale. A block per icon: the heading at
// the left margin, then rows of tiles. A tile is the image in a one-pixel
// frame, the 2x copy in its own frame to the right, and the label below.
constexpr std::int32_t SHEET_MARGIN = 8;
constexpr std::int32_t HEADING_GAP = 4;      // below the heading and the error line
constexpr std::int32_t FRAME_WIDTH = 1;
constexpr std::int32_t COPY_GAP = 4;         // between the 1:1 frame and the 2x frame
constexpr std::int32_t LABEL_GAP = 3;        // between the frames and the label
constexpr std::int32_t LINE_HEIGHT = FONT_CELL_HEIGHT + 1;
constexpr std::int32_t TILE_GAP_X = 12;
constexpr std::int32_t TILE_GAP_Y = 10;
constexpr std::int32_t BLOCK_GAP = 16;       // between blocks, a rule across the middle
constexpr std::int32_t ROW_WIDTH = 1024;     // tiles a row when --columns is not given
constexpr std::int32_t MAX_TEXT_CHARS = ROW_WIDTH / FONT_CELL_WIDTH;

constexpr std::int32_t LARGEST_SHOWN_SIDE = 256;  // larger images are shrunk to fit
constexpr std::int32_t LARGEST_DOUBLED_SIDE = 64;
constexpr std::int32_t CHECKER_SQUARE = 8;

// Colours, 0xAARRGGBB.
constexpr std::uint32_t BACKGROUND = 0xFFFFFFFF;
constexpr std::uint32_t TEXT_INK = 0xFF202020;
constexpr std::uint32_t ERROR_INK = 0xFFB00000;
constexpr std::uint32_t FRAME_COLOUR = 0xFF808080;
constexpr std::uint32_t RULE_COLOUR = 0xFFD0D0D0;
constexpr std::uint32_t CHECKER_LIGHT = 0xFFCCCCCC;
constexpr std::uint32_t CHECKER_DARK = 0xFF999999;

// The largest picture EncodePng takes.
constexpr std::int64_t SHEET_MAX_SIDE = runtime::HOST_IMAGE_MAX_SIDE;
constexpr std::uint64_t SHEET_MAX_BYTES = runtime::HOST_IMAGE_MAX_BYTES;

// An image as it goes on the sheet: its size there, and its label. The pixels
// are made only when it is drawn, once the sheet's size is known to be fine.
struct ShownImage {
    const Image* source = nullptr;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t shrink = 1;
    bool doubled = false;
    std::vector<std::string> label;
    // Placed by the layout: the top-left corner of the tile.
    std::int32_t x = 0;
    std::int32_t y = 0;
};

struct Block {
    std::string heading;
    std::string errorLine;  // empty when the icon was read
    std::int32_t headingY = 0;
    std::vector<ShownImage> images;
    std::int32_t ruleY = -1;  // the rule above this block; -1 for the first
};

std::int32_t FrameSide(std::int32_t side, std::int32_t factor)
{
    return side * factor + 2 * FRAME_WIDTH;
}

std::int32_t FramesWidth(const ShownImage& image)
{
    std::int32_t width = FrameSide(image.width, 1);
    if (image.doubled)
        width += COPY_GAP + FrameSide(image.width, 2);
    return width;
}

// The frames and the gap below them.
std::int32_t HeightAboveLabel(const ShownImage& image)
{
    return FrameSide(image.height, image.doubled ? 2 : 1) + LABEL_GAP;
}

std::int32_t TileWidth(const ShownImage& image)
{
    std::int32_t width = FramesWidth(image);
    for (const std::string& line : image.label)
        width = std::max(width, TextWidth(line));
    return width;
}

std::int32_t TileHeight(const ShownImage& image)
{
    return HeightAboveLabel(image) + static_cast<std::int32_t>(image.label.size()) * LINE_HEIGHT;
}

// Printable ASCII for the font, at most MAX_TEXT_CHARS; a long path keeps its
// end, where the file name is.
std::string SheetText(const std::string& text, bool keepEnd)
{
    std::string shown;
    for (char c : text)
        shown += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    if (shown.size() > static_cast<std::size_t>(MAX_TEXT_CHARS)) {
        std::size_t keep = static_cast<std::size_t>(MAX_TEXT_CHARS) - 3;
        shown = keepEnd ? "..." + shown.substr(shown.size() - keep) : shown.substr(0, keep) + "...";
    }
    return shown;
}

// Shrinks by a whole factor: each shown pixel is the mean of its factor x
// factor block (cut short at the right and bottom edges), colours weighted by
// their alpha so transparent pixels lend no colour.
std::vector<std::uint32_t> Shrink(const std::vector<std::uint32_t>& argb, std::int32_t width, std::int32_t height,
                                  std::int32_t factor, std::int32_t shownWidth, std::int32_t shownHeight)
{
    std::vector<std::uint32_t> shown(static_cast<std::size_t>(shownWidth) * static_cast<std::size_t>(shownHeight));
    for (std::int32_t sy = 0; sy < shownHeight; ++sy) {
        for (std::int32_t sx = 0; sx < shownWidth; ++sx) {
            std::uint64_t alphaSum = 0, redSum = 0, greenSum = 0, blueSum = 0, count = 0;
            std::int32_t yEnd = std::min(height, (sy + 1) * factor), xEnd = std::min(width, (sx + 1) * factor);
            for (std::int32_t y = sy * factor; y < yEnd; ++y) {
                for (std::int32_t x = sx * factor; x < xEnd; ++x) {
                    std::uint32_t pixel = argb[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                                               static_cast<std::size_t>(x)];
                    std::uint64_t alpha = pixel >> 24;
                    alphaSum += alpha;
                    redSum += alpha * std::uint8_t(pixel >> 16);
                    greenSum += alpha * std::uint8_t(pixel >> 8);
                    blueSum += alpha * std::uint8_t(pixel);
                    ++count;
                }
            }
            std::uint32_t out = 0;
            if (alphaSum > 0) {
                auto mean = [&](std::uint64_t sum) { return static_cast<std::uint32_t>((sum + alphaSum / 2) / alphaSum); };
                std::uint32_t alpha = static_cast<std::uint32_t>((alphaSum + count / 2) / count);
                out = (alpha << 24) | (mean(redSum) << 16) | (mean(greenSum) << 8) | mean(blueSum);
            }
            shown[static_cast<std::size_t>(sy) * static_cast<std::size_t>(shownWidth) + static_cast<std::size_t>(sx)] = out;
        }
    }
    return shown;
}

// Sizes the image for the sheet.
ShownImage ShowImage(const Image& image)
{
    ShownImage shown;
    shown.source = &image;
    std::int32_t longest = std::max(image.width, image.height);
    shown.shrink = (longest + LARGEST_SHOWN_SIDE - 1) / LARGEST_SHOWN_SIDE;
    shown.width = (image.width + shown.shrink - 1) / shown.shrink;
    shown.height = (image.height + shown.shrink - 1) / shown.shrink;
    shown.doubled = longest <= LARGEST_DOUBLED_SIDE;
    shown.label = PreviewLabel(image, shown.shrink);
    return shown;
}

// The shown image's pixels: the source expanded, and shrunk when it must be.
std::vector<std::uint32_t> ShownPixels(const ShownImage& shown)
{
    const Image& image = *shown.source;
    std::vector<std::uint32_t> argb = ImageToArgb(image);
    if (shown.shrink == 1)
        return argb;
    return Shrink(argb, image.width, image.height, shown.shrink, shown.width, shown.height);
}

// Places blocks and tiles; returns the sheet's size before --scale.
void LayOut(std::vector<Block>& blocks, std::int32_t columns, std::int64_t* sheetWidth, std::int64_t* sheetHeight)
{
    std::int64_t right = 0;
    std::int32_t y = SHEET_MARGIN;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        Block& block = blocks[b];
        if (b > 0) {
            block.ruleY = y + BLOCK_GAP / 2;
            y += BLOCK_GAP;
        }
        block.headingY = y;
        right = std::max<std::int64_t>(right, TextWidth(block.heading));
        y += FONT_CELL_HEIGHT + HEADING_GAP;
        if (!block.errorLine.empty()) {
            right = std::max<std::int64_t>(right, TextWidth(block.errorLine));
            y += FONT_CELL_HEIGHT + HEADING_GAP;
        }
        std::int32_t x = 0, rowHeight = 0, inRow = 0;
        for (ShownImage& image : block.images) {
            std::int32_t width = TileWidth(image);
            bool full = columns > 0 ? inRow == columns : x + width > ROW_WIDTH;
            if (inRow > 0 && full) {
                y += rowHeight + TILE_GAP_Y;
                x = 0;
                rowHeight = 0;
                inRow = 0;
            }
            image.x = SHEET_MARGIN + x;
            image.y = y;
            right = std::max<std::int64_t>(right, x + width);
            x += width + TILE_GAP_X;
            rowHeight = std::max(rowHeight, TileHeight(image));
            ++inRow;
        }
        y += rowHeight;
        // Already taller than any sheet can be: the caller refuses it.
        if (y > SHEET_MAX_SIDE)
            break;
    }
    *sheetWidth = right + 2 * SHEET_MARGIN;
    *sheetHeight = static_cast<std::int64_t>(y) + SHEET_MARGIN;
}

class Canvas {
public:
    Canvas(std::int32_t width, std::int32_t height)
        : width_(width), height_(height),
          pixels_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), BACKGROUND)
    {
    }

    // The layout places every rule, frame and picture inside the sheet; only
    // text, which may be wider than the sheet, is clipped (by DrawText).
    void Put(std::int32_t x, std::int32_t y, std::uint32_t colour) { pixels_[Index(x, y)] = colour; }

    void Outline(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height, std::uint32_t colour)
    {
        for (std::int32_t i = 0; i < width; ++i) {
            Put(x + i, y, colour);
            Put(x + i, y + height - 1, colour);
        }
        for (std::int32_t i = 0; i < height; ++i) {
            Put(x, y + i, colour);
            Put(x + width - 1, y + i, colour);
        }
    }

    // The picture (width x height words) magnified by factor, its top-left
    // pixel at (x, y), composited over a checkerboard whose first (light)
    // square starts at (x, y).
    void Picture(const std::vector<std::uint32_t>& pixels, std::int32_t width, std::int32_t height, std::int32_t x,
                 std::int32_t y, std::int32_t factor)
    {
        for (std::int32_t dy = 0; dy < height * factor; ++dy) {
            for (std::int32_t dx = 0; dx < width * factor; ++dx) {
                std::uint32_t pixel = pixels[static_cast<std::size_t>(dy / factor) * static_cast<std::size_t>(width) +
                                             static_cast<std::size_t>(dx / factor)];
                bool dark = ((dx / CHECKER_SQUARE) + (dy / CHECKER_SQUARE)) % 2 == 1;
                Put(x + dx, y + dy, Over(pixel, dark ? CHECKER_DARK : CHECKER_LIGHT));
            }
        }
    }

    void Text(std::int32_t x, std::int32_t y, const std::string& text, std::uint32_t colour)
    {
        DrawText(pixels_.data(), width_, height_, x, y, text, colour);
    }

    // The canvas magnified by factor, nearest neighbour.
    PreviewSheet Magnified(std::int32_t factor) const
    {
        PreviewSheet sheet;
        sheet.width = width_ * factor;
        sheet.height = height_ * factor;
        sheet.pixels.resize(static_cast<std::size_t>(sheet.width) * static_cast<std::size_t>(sheet.height));
        for (std::int32_t y = 0; y < sheet.height; ++y) {
            for (std::int32_t x = 0; x < sheet.width; ++x)
                sheet.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(sheet.width) + static_cast<std::size_t>(x)] =
                    pixels_[Index(x / factor, y / factor)];
        }
        return sheet;
    }

private:
    std::size_t Index(std::int32_t x, std::int32_t y) const
    {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x);
    }

    // Straight alpha over an opaque background, channel by channel, rounded.
    static std::uint32_t Over(std::uint32_t pixel, std::uint32_t background)
    {
        std::uint32_t alpha = pixel >> 24;
        std::uint32_t out = 0xFF000000;
        for (int shift = 0; shift <= 16; shift += 8) {
            std::uint32_t front = std::uint8_t(pixel >> shift), back = std::uint8_t(background >> shift);
            out |= ((front * alpha + back * (255 - alpha) + 127) / 255) << shift;
        }
        return out;
    }

    std::int32_t width_;
    std::int32_t height_;
    std::vector<std::uint32_t> pixels_;
};

void DrawBlock(Canvas& canvas, const Block& block, std::int64_t sheetWidth)
{
    if (block.ruleY >= 0) {
        for (std::int32_t x = SHEET_MARGIN; x < sheetWidth - SHEET_MARGIN; ++x)
            canvas.Put(x, block.ruleY, RULE_COLOUR);
    }
    canvas.Text(SHEET_MARGIN, block.headingY, block.heading, TEXT_INK);
    if (!block.errorLine.empty())
        canvas.Text(SHEET_MARGIN, block.headingY + FONT_CELL_HEIGHT + HEADING_GAP, block.errorLine, ERROR_INK);
    for (const ShownImage& image : block.images) {
        // Without its pixels an image keeps its frame and label, empty.
        const std::vector<std::uint32_t> pixels =
            image.source ? ShownPixels(image) : std::vector<std::uint32_t>(std::size_t(image.width) * std::size_t(image.height));
        canvas.Outline(image.x, image.y, FrameSide(image.width, 1), FrameSide(image.height, 1), FRAME_COLOUR);
        canvas.Picture(pixels, image.width, image.height, image.x + FRAME_WIDTH, image.y + FRAME_WIDTH, 1);
        if (image.doubled) {
            std::int32_t copyX = image.x + FrameSide(image.width, 1) + COPY_GAP;
            canvas.Outline(copyX, image.y, FrameSide(image.width, 2), FrameSide(image.height, 2), FRAME_COLOUR);
            canvas.Picture(pixels, image.width, image.height, copyX + FRAME_WIDTH, image.y + FRAME_WIDTH, 2);
        }
        std::int32_t labelY = image.y + HeightAboveLabel(image);
        for (const std::string& line : image.label) {
            canvas.Text(image.x, labelY, line, TEXT_INK);
            labelY += LINE_HEIGHT;
        }
    }
}

std::string Plural(std::size_t count, const char* noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

}  // namespace

std::vector<std::string> PreviewLabel(const Image& image, std::int32_t shrink)
{
    std::vector<std::string> label;
    label.push_back(std::to_string(image.width) + "x" + std::to_string(image.height) + " " +
                    std::to_string(image.depth) + "-bit");
    std::string state = (image.flags & IMAGEFLAG_SELECTED) ? "selected" : "normal";
    if (image.flags & IMAGEFLAG_PRIMARY)
        state += ", primary";
    label.push_back(state);
    if (shrink > 1)
        label.push_back("shown at 1/" + std::to_string(shrink));
    return label;
}

bool DrawPreviewSheet(const std::vector<PreviewIcon>& icons, const PreviewOptions& options, PreviewSheet* sheet,
                      std::string* why, const std::function<bool(std::size_t index, Icon& icon)>& loadPixels)
{
    if (options.scale < 1 || options.scale > PREVIEW_MAX_SCALE || options.columns < 0 ||
        options.columns > PREVIEW_MAX_COLUMNS) {
        *why = "scale or columns out of range";
        return false;
    }
    std::vector<Block> blocks;
    for (const PreviewIcon& icon : icons) {
        Block block;
        block.heading = SheetText(icon.name, true);
        if (!icon.loaded) {
            block.errorLine = SheetText("cannot read: " + icon.error, false);
        } else if (icon.icon.images.empty()) {
            block.errorLine = "no images";
        }
        for (const Image& image : icon.icon.images)
            block.images.push_back(ShowImage(image));
        blocks.push_back(std::move(block));
    }

    std::int64_t width = 0, height = 0;
    LayOut(blocks, options.columns, &width, &height);
    std::int64_t scaledWidth = width * options.scale, scaledHeight = height * options.scale;
    if (scaledWidth > SHEET_MAX_SIDE || scaledHeight > SHEET_MAX_SIDE ||
        static_cast<std::uint64_t>(scaledWidth) * static_cast<std::uint64_t>(scaledHeight) * 4 > SHEET_MAX_BYTES) {
        *why = "the sheet would be too large (over " + std::to_string(SHEET_MAX_SIDE) +
               " pixels a side): preview fewer files at a time";
        return false;
    }
    Canvas canvas(static_cast<std::int32_t>(width), static_cast<std::int32_t>(height));
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        Block& block = blocks[i];
        Icon whole;
        if (loadPixels && !block.images.empty() && block.images.front().source->pixels.empty()) {
            const bool same = loadPixels(i, whole) && whole.images.size() == block.images.size() &&
                              std::equal(whole.images.begin(), whole.images.end(), block.images.begin(),
                                         [](const Image& image, const ShownImage& shown) {
                                             return image.width == shown.source->width &&
                                                    image.height == shown.source->height &&
                                                    image.depth == shown.source->depth;
                                         });
            for (std::size_t k = 0; k < block.images.size(); ++k)
                block.images[k].source = same ? &whole.images[k] : nullptr;
        }
        DrawBlock(canvas, block, width);
    }
    *sheet = canvas.Magnified(options.scale);
    return true;
}

int RunPreview(runtime::Module& module, const CommandLine& line, std::ostream& out, std::ostream& err)
{
    int status = EXIT_OK;
    std::vector<PreviewIcon> icons;
    std::size_t images = 0, unread = 0;
    std::uint64_t held = 0;
    for (const std::string& file : line.files) {
        PreviewIcon icon;
        icon.name = file;
        // Icons are kept whole while they are small together; the pixels of
        // the rest are let go now and read again when their block is drawn.
        LoadResult loaded = LoadIconFile(module, file);
        if (loaded.ok && (held += TrueColourBytes(loaded.icon.images)) > MAX_ICON_WORKING_BYTES) {
            for (Image& image : loaded.icon.images) {
                std::vector<std::uint8_t>().swap(image.pixels);
                std::vector<std::uint32_t>().swap(image.palette);
            }
        }
        if (loaded.ok) {
            icon.loaded = true;
            icon.icon = std::move(loaded.icon);
            images += icon.icon.images.size();
        } else {
            err << "tessel: " << Shown(file) << ": " << loaded.error << "\n";
            icon.error = loaded.error;
            status = EXIT_FAILED;
            ++unread;
        }
        icons.push_back(std::move(icon));
    }

    PreviewOptions options;
    options.scale = line.previewScale;
    options.columns = line.previewColumns;
    PreviewSheet sheet;
    std::string why;
    // The sheet is laid out from what the images are; the pixels of an icon
    // not kept are read again when its block is drawn, one icon's at a time.
    auto loadPixels = [&](std::size_t index, Icon& icon) {
        LoadResult loaded = LoadIconFile(module, icons[index].name);
        if (!loaded.ok) {
            err << "tessel: " << Shown(icons[index].name) << ": " << loaded.error << "\n";
            status = EXIT_FAILED;
        }
        icon = std::move(loaded.icon);
        return loaded.ok;
    };
    if (!DrawPreviewSheet(icons, options, &sheet, &why, loadPixels) ||
        !WriteArgbPng(sheet.pixels.data(), sheet.width, sheet.height, line.output, out, &why)) {
        err << "tessel: " << Shown(line.output) << ": " << why << "\n";
        return EXIT_FAILED;
    }
    if (line.quiet || IsStandardOutput(line.output))
        return status;
    out << Shown(line.output) << ": " << sheet.width << "x" << sheet.height << " sheet of "
        << Plural(icons.size() - unread, "icon") << ", " << Plural(images, "image");
    if (unread > 0)
        out << ", " << unread << " unreadable";
    out << "\n";
    return status;
}

}  // namespace tessel::tool
