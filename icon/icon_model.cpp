#include "icon/icon_model.h"

#include "host/host_calls.h"
#include "plugin/entry_points.h"

std::uint64_t IconImageCharge(std::int32_t width, std::int32_t height, std::int32_t depth)
{
    return IconPixelBytes(width, height, depth) + (depth <= 8 ? ICON_PALETTE_ENTRIES * 4 : 0);
}

IconImage* NewIconImage(std::int32_t width, std::int32_t height, std::int32_t depth,
                        std::int32_t transparentPen, int selected, IconHandle* icon, IconImage** tail)
{
    std::uint64_t pixelBytes = IconPixelBytes(width, height, depth);
    if (pixelBytes == 0)
        return nullptr;
    std::uint64_t paletteBytes = depth <= 8 ? ICON_PALETTE_ENTRIES * 4 : 0;
    std::uint64_t charge = IconImageCharge(width, height, depth);
    if (charge > ICON_LOAD_BUDGET_BYTES - icon->imageBytesCharged || icon->imagesMade >= SAVE_MAX_IMAGES)
        return nullptr;

    auto* image = static_cast<IconImage*>(HostAllocMem(sizeof(IconImage), 1, "ic"));
    if (!image)
        return nullptr;
    if (*tail)
        (*tail)->next = image;
    else
        icon->images = image;
    icon->imageBytesCharged += charge;
    ++icon->imagesMade;

    image->depth = depth;
    image->transparentPen = transparentPen;
    image->width = width;
    image->height = height;
    if (selected)
        image->flags |= IMAGEFLAG_SELECTED;

    image->pixels = static_cast<std::uint8_t*>(HostAllocMem(pixelBytes, 1, "icdata"));
    if (!image->pixels)
        return nullptr;
    if (paletteBytes) {
        image->palette = static_cast<std::uint32_t*>(HostAllocMem(paletteBytes, 1, "icpalette"));
        if (!image->palette)
            return nullptr;
    }
    *tail = image;
    return image;
}

IconImage* FindIconImage(std::int32_t width, std::int32_t height, std::int32_t depth, IconImage* first)
{
    for (IconImage* image = first; image; image = image->next) {
        if (image->width == width && image->height == height && image->depth == depth)
            return image;
    }
    return nullptr;
}

const IconImage* SelectedTwin(const IconImage* normal)
{
    const IconImage* twin = normal->next;
    if (!twin || !(twin->flags & IMAGEFLAG_SELECTED) || twin->width != normal->width ||
        twin->height != normal->height)
        return nullptr;
    return twin;
}

int ValidateImageList(const IconImage* first)
{
    std::uint32_t count = 0;
    for (const IconImage* image = first; image; image = image->next) {
        if (++count > SAVE_MAX_IMAGES)
            return 0;
        if (!image->pixels || IconPixelBytes(image->width, image->height, image->depth) == 0)
            return 0;
        if (image->depth <= 8 && !image->palette)
            return 0;
        if (image->transparentPen < -1 || image->transparentPen > 255)
            return 0;
    }
    return 1;
}

void FreeIconImage(IconImage* image)
{
    HostFreeMem(image->pixels);
    HostFreeMem(image->palette);
    HostFreeMem(image);
}

extern "C" void FreeIcon(IconHandle* icon) noexcept
{
    if (!icon)
        return;
    IconImage* image = icon->images;
    while (image) {
        IconImage* next = image->next;
        FreeIconImage(image);
        image = next;
    }
    HostFreeMem(icon->defaultTool);
    HostFreeMem(icon->toolTypeBlock);
    HostFreeMem(icon->toolTypeArray);
    HostFreeMem(icon);
}

extern "C" IconImage* GetIconImages(IconHandle* icon) noexcept
{
    return icon ? icon->images : nullptr;
}
