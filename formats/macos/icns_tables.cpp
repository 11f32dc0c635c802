// The two fixed palettes of the macOS icon family's classic palette images,
// shared by the reader and the writer.
#include "formats/macos/macos_icon.h"

namespace {

struct Palette256 {
    std::uint32_t entries[256];
};

// The 256-colour system palette: a 6 x 6 x 6 cube running from white down to
// (but not including) black, then ten-step ramps of red, green, blue and grey
// that skip the cube's levels, then black.
constexpr Palette256 BuildMacPalette256()
{
    Palette256 p{};
    constexpr std::uint32_t cubeLevels[6] = {0xFF, 0xCC, 0x99, 0x66, 0x33, 0x00};
    constexpr std::uint32_t rampLevels[10] = {0xEE, 0xDD, 0xBB, 0xAA, 0x88, 0x77, 0x55, 0x44, 0x22, 0x11};
    for (int index = 0; index < 215; ++index) {
        std::uint32_t red = cubeLevels[index / 36];
        std::uint32_t green = cubeLevels[index / 6 % 6];
        std::uint32_t blue = cubeLevels[index % 6];
        p.entries[index] = red << 16 | green << 8 | blue;
    }
    for (int step = 0; step < 10; ++step) {
        std::uint32_t level = rampLevels[step];
        p.entries[215 + step] = level << 16;
        p.entries[225 + step] = level << 8;
        p.entries[235 + step] = level;
        p.entries[245 + step] = level << 16 | level << 8 | level;
    }
    p.entries[255] = 0x000000;
    return p;
}

constexpr Palette256 SystemPalette = BuildMacPalette256();

static_assert(SystemPalette.entries[0] == 0xFFFFFF);
static_assert(SystemPalette.entries[1] == 0xFFFFCC);
static_assert(SystemPalette.entries[35] == 0xFF0000);   // red level 0, green 5, blue 5
static_assert(SystemPalette.entries[214] == 0x000033);
static_assert(SystemPalette.entries[215] == 0xEE0000);
static_assert(SystemPalette.entries[224] == 0x110000);
static_assert(SystemPalette.entries[225] == 0x00EE00);
static_assert(SystemPalette.entries[235] == 0x0000EE);
static_assert(SystemPalette.entries[245] == 0xEEEEEE);
static_assert(SystemPalette.entries[254] == 0x111111);
static_assert(SystemPalette.entries[255] == 0x000000);

}  // namespace

// 1-bit images: 0 white, 1 black.
const std::uint32_t MacPalette2[2] = {0xFFFFFF, 0x000000};

// The 16-colour system palette of 4-bit images.
const std::uint32_t MacPalette16[16] = {
    0xFFFFFF, 0xFCF305, 0xFF6402, 0xDD0806, 0xF20884, 0x4600A5, 0x0000D4, 0x02ABEA,
    0x1FB714, 0x006411, 0x562C05, 0x90713A, 0xC0C0C0, 0x808080, 0x404040, 0x000000,
};

const std::uint32_t (&MacPalette256)[256] = SystemPalette.entries;
