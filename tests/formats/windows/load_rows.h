// What the Windows and macOS icon tests share: load tables (how the bytes are built, what must come of them) and
// small builders.
#pragma once

#include "tests/support/byte_builders.h"
#include "tests/support/host_images.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tessel::test {

using Words = std::vector<std::uint32_t>;

inline std::string Shape(const IconImage& image)
{
    return std::to_string(image.width) + "x" + std::to_string(image.height) + "x" + std::to_string(image.depth);
}

// images: the Shape of each image loaded, in list order, "pN" after a palette image's pen, "s" when selected, "" when
// the load fails;
// seen: their SeenPixels one after another (empty: unchecked).
struct LoadRow { const char* what; Bytes bytes; std::string images; Words seen = {}; };

inline void CheckLoadRows(const std::vector<LoadRow>& rows)
{
    for (const LoadRow& row : rows) {
        SCOPED_TRACE(row.what);
        runtime::MemoryFaults faults;
        faults.failAboveBytes = 1 << 24;   // no row needs a block this large: refuse hostile sizes before asking
        runtime::SetMemoryFaults(faults);
        IconHandle* icon = LoadBytes(row.bytes);
        EXPECT_FALSE(runtime::MemoryFaultFired());
        runtime::ClearMemoryFaults();
        EXPECT_EQ(icon != nullptr, !row.images.empty());
        std::string images;
        Words seen;
        for (const IconImage* image : ImagesOf(icon ? icon->images : nullptr)) {
            images += (images.empty() ? "" : " ") + Shape(*image);
            if (image->depth <= 8 && image->transparentPen >= 0)
                images += "p" + std::to_string(image->transparentPen);
            images += image->flags & IMAGEFLAG_SELECTED ? "s" : "";
            Words pixels = SeenPixels(*image);
            seen.insert(seen.end(), pixels.begin(), pixels.end());
        }
        EXPECT_EQ(images, row.images);
        EXPECT_EQ(seen, row.seen.empty() ? seen : row.seen);
        SharedModule().FreeIcon(icon);
    }
    EXPECT_EQ(runtime::LiveBlocks(), 0);
}

// Runs of equal words; bytes with their first values replaced; a PNG file.
inline Words Many(std::initializer_list<std::pair<std::size_t, std::uint32_t>> runs)
{
    Words out;
    for (auto [n, word] : runs)
        out.insert(out.end(), n, word);
    return out;
}

inline Bytes With(Bytes bytes, std::initializer_list<std::uint8_t> start)
{
    std::copy(start.begin(), start.end(), bytes.begin());
    return bytes;
}

inline Bytes Png(const Words& argb, int w, int h)
{
    Bytes png;
    EXPECT_TRUE(runtime::EncodePng(argb.data(), w, h, png));
    return png;
}

}  // namespace tessel::test
