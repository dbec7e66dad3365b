#include "display/linerasterizer.h"

#include "display/geometry.h"

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
    qsizetype stride;
    int logicalWidth; // logical pixels that are at least partly inside the image
    int logicalHeight;
    int deviceWidth;
    int deviceHeight;
    int ratio;               // device pixels per logical pixel when whole, else 0
    std::vector<int> xs, ys; // otherwise: first device pixel of each logical pixel, plus one
};

template <int Ratio> inline void plot(const Target& t, int x, int y, QRgb colour)
{
    if (unsigned(x) >= unsigned(t.logicalWidth) || unsigned(y) >= unsigned(t.logicalHeight))
        return;
    if constexpr (Ratio == 1) {
        t.bits[y * t.stride + x] = colour;
    } else if constexpr (Ratio == 2) {
        QRgb* p = t.bits + 2 * y * t.stride + 2 * x;
        p[0] = p[1] = p[t.stride] = p[t.stride + 1] = colour;
    } else {
        const int x0 = t.xs[x], x1 = std::min(t.xs[x + 1], t.deviceWidth);
        const int y0 = t.ys[y], y1 = std::min(t.ys[y + 1], t.deviceHeight);
        for (int row = y0; row < y1; ++row)
            std::fill(t.bits + row * t.stride + x0, t.bits + row * t.stride + x1, colour);
    }
}

template <int Ratio> void bresenham(const Target& t, int x, int y, int xEnd, int yEnd, QRgb colour)
{
    const int dx = std::abs(xEnd - x), sx = x < xEnd ? 1 : -1;
    const int dy = -std::abs(yEnd - y), sy = y < yEnd ? 1 : -1;
    int error = dx + dy;
    for (;;) {
        plot<Ratio>(t, x, y, colour);
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

} // namespace

void rasterizeLines(QImage& image, std::span<const DrawnLine> lines, std::optional<QRgb> colour)
{
    Q_ASSERT(image.format() == QImage::Format_RGB32);
    const qreal ratio = image.devicePixelRatio();
    Target t{reinterpret_cast<QRgb*>(image.bits()),
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

    for (const DrawnLine& line : lines) {
        const int x = toLogical(line.x1), y = toLogical(line.y1);
        const int xEnd = toLogical(line.x2), yEnd = toLogical(line.y2);
        if (std::max(x, xEnd) < 0 || std::min(x, xEnd) >= t.logicalWidth || std::max(y, yEnd) < 0 ||
            std::min(y, yEnd) >= t.logicalHeight)
            continue;
        const QRgb rgb = 0xFF000000u | (colour ? *colour : line.colour);
        switch (t.ratio) {
        case 1:
            bresenham<1>(t, x, y, xEnd, yEnd, rgb);
            break;
        case 2:
            bresenham<2>(t, x, y, xEnd, yEnd, rgb);
            break;
        default:
            bresenham<0>(t, x, y, xEnd, yEnd, rgb);
            break;
        }
    }
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
