#pragma once

#include <QRgb>

#include <cstdint>
#include <optional>
#include <span>

class QImage;
class QRect;

namespace lumatrax {

// A straight line as drawn on the scope screen: end points in twips of the drawing area.
struct DrawnLine
{
    std::int16_t x1, y1, x2, y2;
    QRgb colour;
    friend bool operator==(const DrawnLine&, const DrawnLine&) = default;
};

// Draws aliased one-pixel lines into an RGB32 image, in list order (a later line covers an
// earlier one), with Bresenham's algorithm on the window's logical pixels: a point at (x, y)
// twips lies on logical pixel (floor(x / 15), floor(y / 15)), and each logical pixel lights the
// block of device pixels it covers at the image's device pixel ratio, so a line is one pixel of
// the scaled window. Pixels outside the image are skipped. With `colour` set, every line is
// drawn in it instead of its own (used to erase a previous drawing with the background).
void rasterizeLines(QImage& image, std::span<const DrawnLine> lines,
                    std::optional<QRgb> colour = std::nullopt);

// The logical pixels (of the window, 15 twips each) that rasterizeLines() may light for the
// lines; empty for no lines.
[[nodiscard]] QRect logicalBounds(std::span<const DrawnLine> lines);

} // namespace lumatrax
