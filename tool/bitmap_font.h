// A small built-in bitmap font for the text on preview sheets: printable
// ASCII in 5x7 glyphs (g, j, p, q and y reach a row lower), drawn in 6x9
// cells, so the tool needs no font files and draws the same text everywhere.
#pragma once

#include <cstdint>
#include <string_view>

namespace tessel::tool {

inline constexpr std::int32_t FONT_CELL_WIDTH = 6;
inline constexpr std::int32_t FONT_CELL_HEIGHT = 9;

// True when the glyph of c has ink at column x (0..4), row y (0..7). Bytes
// outside printable ASCII are drawn as '?'.
bool GlyphInk(char c, std::int32_t x, std::int32_t y);

// Width in pixels of text drawn in one line: one cell per byte.
std::int32_t TextWidth(std::string_view text);

// Draws text with its first cell's top-left corner at (x, y) onto a canvas of
// 0xAARRGGBB words, width by height, top row first. Ink that falls outside
// the canvas is dropped.
void DrawText(std::uint32_t* canvas, std::int32_t width, std::int32_t height, std::int32_t x, std::int32_t y,
              std::string_view text, std::uint32_t colour);

}  // namespace tessel::tool
