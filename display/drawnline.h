#pragma once

// A straight line as drawn on the scope screen, with no widgets: end points in twips of the
// drawing area and a colour as 0xAARRGGBB (the layout of Qt's QRgb).

#include <cstdint>

namespace lumatrax {

struct DrawnLine
{
    std::int16_t x1, y1, x2, y2;
    std::uint32_t colour;
    friend bool operator==(const DrawnLine&, const DrawnLine&) = default;
};

} // namespace lumatrax
