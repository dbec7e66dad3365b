#include "display/linerasterizer.h"

#include "display/geometry.h"
#include "display/linewalk.h"

#include <QImage>
#include <QRect>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace lumatrax {

namespace {

// floor(a / b) for b > 0.
inline int floorDiv(int a, int b)
{
    const int q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}

inline int toLogical(std::int16_t twips)
{
    return floorDiv(twips, kTwipsPerPixel);
}

struct Target
{
    QRgb* bits;
    const QRgb* background; // erasing: the pixels to put back; drawing: null
    qsizetype stride;
    int logicalWidth; // logical pixels that are at least partly inside the image
    int logicalHeight;
    int deviceWidth;
    int deviceHeight;
    int ratio;               // device pixels per logical pixel when whole, else 0
    std::vector<int> xs, ys; // otherwise: first device pixel of each logical pixel, plus one
};

// Sets one device pixel: to the colour, or back to the background's pixel when erasing.
template <bool Erase> inline void set(const Target& t, qsizetype at, QRgb colour)
{
    if constexpr (Erase)
        t.bits[at] = t.background[at];
    else
        t.bits[at] = colour;
}

template <int Ratio, bool Erase> inline void plot(const Target& t, int x, int y, QRgb colour)
{
    if (unsigned(x) >= unsigned(t.logicalWidth) || unsigned(y) >= unsigned(t.logicalHeight))
        return;
    if constexpr (Ratio == 1) {
        set<Erase>(t, y * t.stride + x, colour);
    } else if constexpr (Ratio == 2) {
        const qsizetype at = 2 * y * t.stride + 2 * x;
        set<Erase>(t, at, colour);
        set<Erase>(t, at + 1, colour);
        set<Erase>(t, at + t.stride, colour);
        set<Erase>(t, at + t.stride + 1, colour);
    } else {
        const int x0 = t.xs[x], x1 = std::min(t.xs[x + 1], t.deviceWidth);
        const int y0 = t.ys[y], y1 = std::min(t.ys[y + 1], t.deviceHeight);
        for (int row = y0; row < y1; ++row)
            for (int column = x0; column < x1; ++column)
                set<Erase>(t, row * t.stride + column, colour);
    }
}

template <int Ratio, bool Erase>
void bresenham(const Target& t, int x, int y, int xEnd, int yEnd, QRgb colour)
{
    walkLine(x, y, xEnd, yEnd,
             [&t, colour](int px, int py) { plot<Ratio, Erase>(t, px, py, colour); });
}

Target target(QImage& image, const QRgb* background)
{
    Q_ASSERT(image.format() == QImage::Format_RGB32);
    const qreal ratio = image.devicePixelRatio();
    Target t{reinterpret_cast<QRgb*>(image.bits()),
             background,
             image.bytesPerLine() / qsizetype(sizeof(QRgb)),
             int(std::ceil(image.width() / ratio)),
             int(std::ceil(image.height() / ratio)),
             image.width(),
             image.height(),
             0,
             {},
             {}};
    const int whole = int(std::lround(ratio));
    // Fast paths for whole ratios whose image is an exact multiple of the logical size.
    if (std::abs(ratio - whole) < 1e-9 && (whole == 1 || whole == 2) &&
        image.width() % whole == 0 && image.height() % whole == 0) {
        t.ratio = whole;
    } else {
        for (int x = 0; x <= t.logicalWidth; ++x)
            t.xs.push_back(int(std::floor(x * ratio)));
        for (int y = 0; y <= t.logicalHeight; ++y)
            t.ys.push_back(int(std::floor(y * ratio)));
    }
    return t;
}

template <bool Erase> void rasterize(const Target& t, std::span<const DrawnLine> lines)
{
    for (const DrawnLine& line : lines) {
        const int x = toLogical(line.x1), y = toLogical(line.y1);
        const int xEnd = toLogical(line.x2), yEnd = toLogical(line.y2);
        if (std::max(x, xEnd) < 0 || std::min(x, xEnd) >= t.logicalWidth || std::max(y, yEnd) < 0 ||
            std::min(y, yEnd) >= t.logicalHeight)
            continue;
        const QRgb rgb = 0xFF000000u | line.colour;
        switch (t.ratio) {
        case 1:
            bresenham<1, Erase>(t, x, y, xEnd, yEnd, rgb);
            break;
        case 2:
            bresenham<2, Erase>(t, x, y, xEnd, yEnd, rgb);
            break;
        default:
            bresenham<0, Erase>(t, x, y, xEnd, yEnd, rgb);
            break;
        }
    }
}

} // namespace

void rasterizeLines(QImage& image, std::span<const DrawnLine> lines)
{
    rasterize<false>(target(image, nullptr), lines);
}

void eraseLines(QImage& image, std::span<const DrawnLine> lines, const QImage& background)
{
    Q_ASSERT(background.size() == image.size() && background.format() == image.format() &&
             background.bytesPerLine() == image.bytesPerLine());
    rasterize<true>(target(image, reinterpret_cast<const QRgb*>(background.constBits())), lines);
}

QRect logicalBounds(std::span<const DrawnLine> lines)
{
    if (lines.empty())
        return {};
    int left = INT_MAX, top = INT_MAX, right = INT_MIN, bottom = INT_MIN;
    for (const DrawnLine& line : lines) {
        left = std::min({left, int(line.x1), int(line.x2)});
        right = std::max({right, int(line.x1), int(line.x2)});
        top = std::min({top, int(line.y1), int(line.y2)});
        bottom = std::max({bottom, int(line.y1), int(line.y2)});
    }
    return QRect(QPoint(floorDiv(left, kTwipsPerPixel), floorDiv(top, kTwipsPerPixel)),
                 QPoint(floorDiv(right, kTwipsPerPixel), floorDiv(bottom, kTwipsPerPixel)));
}

} // namespace lumatrax
