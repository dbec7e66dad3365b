#pragma once

#include "display/drawnline.h"

#include <span>

class QImage;
class QRect;

namespace lumatrax {

// Draws aliased one-pixel lines into an RGB32 image, in list order (a later line covers an
// earlier one), with Bresenham's algorithm on the window's logical pixels: a point at (x, y)
// twips lies on logical pixel (floor(x / 15), floor(y / 15)), and each logical pixel lights the
// block of device pixels it covers at the image's device pixel ratio, so a line is one pixel of
// the scaled window. Pixels outside the image are skipped.
void rasterizeLines(QImage& image, std::span<const DrawnLine> lines);

// Erases lines drawn before: every pixel they lit takes the pixel of `background` (an image of
// the same size and ratio, such as the black screen with its grid) back.
void eraseLines(QImage& image, std::span<const DrawnLine> lines, const QImage& background);

// The logical pixels (of the window, 15 twips each) that rasterizeLines() may light for the
// lines; empty for no lines.
[[nodiscard]] QRect logicalBounds(std::span<const DrawnLine> lines);

} // namespace lumatrax
