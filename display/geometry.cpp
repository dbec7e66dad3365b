#include "display/geometry.h"

#include <cmath>
#include <limits>

namespace lumatrax {

std::int16_t roundHalfEven(double value)
{
    double whole = std::floor(value);
    const double fraction = value - whole;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0))
        whole += 1.0;
    constexpr double lo = std::numeric_limits<std::int16_t>::min();
    constexpr double hi = std::numeric_limits<std::int16_t>::max();
    if (!(whole >= lo))
        return std::numeric_limits<std::int16_t>::min();
    if (whole > hi)
        return std::numeric_limits<std::int16_t>::max();
    return static_cast<std::int16_t>(whole);
}

void layoutSegmentX(SegmentArray& segments, double width)
{
    for (int i = 0; i < kSegmentsDrawn; ++i) {
        segments[i].X1 = roundHalfEven(i * width / kSegmentsDrawn);
        segments[i].X2 = roundHalfEven((i + 1) * width / kSegmentsDrawn);
    }
}

void setHorizontal(SegmentArray& segments, std::int16_t y)
{
    for (int i = 0; i < kSegmentsDrawn; ++i) {
        segments[i].Y1 = y;
        segments[i].Y2 = y;
    }
}

LineEnds horizontalGridLine(int i, float width, float height)
{
    const float y = float(i + 1) * height / 10.0f;
    return {0.0f, y, width, y};
}

LineEnds verticalGridLine(int i, float width, float height)
{
    const float x = float(i + 1) * width / 10.0f;
    return {x, 0.0f, x, height};
}

float triggerMarkerStartY(float height, float top)
{
    return height / 2.0f + (top + 50.0f);
}

float triggerMarkerY(float height, float top, int v)
{
    return static_cast<float>(double(top) + double(height) * double(v) / 50.0);
}

std::int16_t guideHeight(double height, int v)
{
    return roundHalfEven(height * v / 100.0);
}

std::int16_t sampleHeight(double height, int s)
{
    return roundHalfEven((127 - s) * height / 256.0);
}

} // namespace lumatrax
