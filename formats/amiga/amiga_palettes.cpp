#include "formats/amiga/amiga_icon.h"

#include <algorithm>
#include <iterator>

namespace {

// One colour component on the 0..15 scale, scaled by num/den, rounded up and
// capped at 15.
constexpr std::uint32_t ScaleComponent(std::uint32_t value, std::uint32_t num, std::uint32_t den)
{
    std::uint32_t scaled = (value * num + den - 1) / den;
    return std::min<std::uint32_t>(scaled, 15);
}

struct Palette256 {
    std::uint32_t entries[256];
};

// The default 256-colour palette: 32 fixed colours, then groups of seven
// shades of a base colour (32 groups, the last cut to three), then four accents.
constexpr Palette256 BuildDefaultPalette()
{
    Palette256 p{};
    constexpr std::uint32_t fixed[32] = {
        0xC0C0C0, 0x000000, 0xF0F0F0, 0x20C0D0, 0x0000F0, 0xF000F0, 0x00F0F0, 0xF0F0F0,
        0x602000, 0xE05000, 0x90F010, 0xE0B000, 0x5050F0, 0x9020F0, 0x00F080, 0xC0C0C0,
        0x000000, 0xE04040, 0x000000, 0xE0E0C0, 0x404040, 0x505050, 0x606060, 0x707070,
        0x808080, 0x909090, 0xA0A0A0, 0xB0B0B0, 0xC0C0C0, 0xD0D0D0, 0xE0E0E0, 0xF0F0F0,
    };
    for (int i = 0; i < 32; ++i)
        p.entries[i] = fixed[i];
    constexpr std::uint32_t levels[4] = {15, 8, 12, 4};
    // Shade multipliers as fractions: 1, 1/2, 3/2, 3/4, 1/4, 5/4, 7/4.
    constexpr std::uint32_t num[7] = {1, 1, 3, 3, 1, 5, 7};
    constexpr std::uint32_t den[7] = {1, 2, 2, 4, 4, 4, 4};
    for (int g = 0; g < 32; ++g) {
        std::uint32_t red = levels[g % 4];
        std::uint32_t green = levels[(g / 4) % 4];
        std::uint32_t blue = g < 16 ? 15 : 8;
        for (int shade = 0; shade < 7; ++shade) {
            int index = 32 + 7 * g + shade;
            if (index > 251)
                break;
            p.entries[index] = ScaleComponent(red, num[shade], den[shade]) * 16 << 16 |
                               ScaleComponent(green, num[shade], den[shade]) * 16 << 8 |
                               ScaleComponent(blue, num[shade], den[shade]) * 16;
        }
    }
    p.entries[252] = 0xE04040;
    p.entries[253] = 0x50D050;
    p.entries[254] = 0x0040D0;
    p.entries[255] = 0xE09000;
    return p;
}

constexpr Palette256 DefaultPalette = BuildDefaultPalette();

// Group 1 as the palette is known to read.
constexpr std::uint32_t Group1[] = {0x80F0F0, 0x408080, 0xC0F0F0, 0x60C0C0, 0x204040, 0xA0F0F0, 0xE0F0F0};
static_assert(std::equal(std::begin(Group1), std::end(Group1), DefaultPalette.entries + 39));

}  // namespace

const std::uint32_t (&DefaultPalette256)[256] = DefaultPalette.entries;
const std::uint32_t IconPalette4[4] = {0x959595, 0x000000, 0xFFFFFF, 0x3B67A2};
const std::uint32_t OldIconPalette4[4] = {0x0055AA, 0xFFFFFF, 0x000000, 0xFF8800};
