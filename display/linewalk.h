#pragma once

// The pixels of a straight line, by Bresenham's algorithm: shared by the scope's drawing and by
// anything that draws traces as the scope does.

#include <cstdlib>

namespace lumatrax {

// Calls visit(x, y) for every pixel of the line from (x, y) to (xEnd, yEnd), both ends included,
// in order from the first end.
template <typename Visit> inline void walkLine(int x, int y, int xEnd, int yEnd, Visit&& visit)
{
    const int dx = std::abs(xEnd - x), sx = x < xEnd ? 1 : -1;
    const int dy = -std::abs(yEnd - y), sy = y < yEnd ? 1 : -1;
    int error = dx + dy;
    for (;;) {
        visit(x, y);
        if (x == xEnd && y == yEnd)
            return;
        const int e2 = 2 * error;
        if (e2 >= dy) {
            error += dy;
            x += sx;
        }
        if (e2 <= dx) {
            error += dx;
            y += sy;
        }
    }
}

} // namespace lumatrax
