// The icon a load produces: a list of images plus the attributes its format
// carries, owned by the host from LoadIcon until FreeIcon.
#pragma once

#include "icon/icon_limits.h"
#include "plugin/plugin_abi.h"

#include <cstdint>
#include <cstring>

struct IconHandle {
    IconImage* images;        // in the order the reader appended them
    std::int32_t type;        // 2 drawer, 3 tool, 4 project; 0 when the format has none
    std::int32_t posX;
    std::int32_t posY;
    std::int32_t drawerLeft;
    std::int32_t drawerTop;
    std::int32_t drawerWidth;
    std::int32_t drawerHeight;
    std::int32_t viewMode;
    std::int32_t showAll;
    std::int32_t stackSize;
    char* defaultTool;        // "deftool"
    char* toolTypeBlock;      // "tooltypes": lines, each NUL-ended, then an empty line
    std::uint32_t toolTypeBlockBytes;  // size of that block, so walking it stays inside
    char** toolTypeArray;     // "ttarray": built by LoadIcon
    // Pixel and palette bytes of every image made so far. A few bytes of a
    // hostile file can describe many large images; the load stops at a budget.
    std::uint64_t imageBytesCharged;
    // Images made so far: a list no save could take is not worth building.
    std::uint32_t imagesMade;
};

// What an image of a size and depth that IconPixelBytes allows costs against
// the load's budget: its pixel bytes and, up to depth 8, its palette.
std::uint64_t IconImageCharge(std::int32_t width, std::int32_t height, std::int32_t depth);

// Appends a zero-filled image to the icon's list. Returns null, with the list
// unchanged, when the size is refused, over the load's budget or past
// SAVE_MAX_IMAGES images, or when the record cannot be had. When a pixel or palette buffer cannot be had the
// record stays linked (FreeIcon releases it) but the tail does not move, and
// the result is null: the caller gives up the load.
IconImage* NewIconImage(std::int32_t width, std::int32_t height, std::int32_t depth,
                        std::int32_t transparentPen, int selected, IconHandle* icon, IconImage** tail);

// The first image from first on with this width, height and depth, or null.
IconImage* FindIconImage(std::int32_t width, std::int32_t height, std::int32_t depth, IconImage* first);

void FreeIconImage(IconImage* image);

// The selected twin of normal: the next image of the list when it carries
// IMAGEFLAG_SELECTED and has normal's size, else null. A format keeps one size
// for both states; a twin of another size would be read past its pixels or
// sheared.
const IconImage* SelectedTwin(const IconImage* normal);

// 1 when every image of the list can be read safely by a writer: pixels
// present, sides within the image limits, a palette for depths up to 8, a pen
// from -1 to 255, and a list that ends within SAVE_MAX_IMAGES images.
int ValidateImageList(const IconImage* first);

// Walks the handle's tooltype block: calls visit with each NUL-terminated
// line, up to the empty line that ends the list or the block's end, whichever
// comes first. A block that ends inside an unterminated line ends the walk:
// that is not a line.
template <typename Visit>
void ForEachToolType(const IconHandle* icon, Visit visit)
{
    const char* block = icon->toolTypeBlock;
    std::uint32_t size = icon->toolTypeBlockBytes;
    std::uint32_t offset = 0;
    while (offset < size && block[offset] != 0) {  // every turn moves past a NUL
        const void* end = std::memchr(block + offset, 0, size - offset);
        if (!end)
            return;
        visit(block + offset);
        offset = static_cast<std::uint32_t>(static_cast<const char*>(end) - block) + 1;
    }
}
