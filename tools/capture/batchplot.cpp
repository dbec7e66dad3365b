#include "tools/capture/batchplot.h"

#include "display/colours.h"
#include "display/linewalk.h"

#include <QBuffer>
#include <QFileInfo>
#include <QFont>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace lumatrax {

namespace {

int toDevice(double twips)
{
    return int(std::floor(twips * BatchPlot::kScale / kTwipsPerPixel));
}

// The colour at a share 0..1 of its full brightness.
QRgb dimmed(std::uint32_t colour, double share)
{
    auto part = [share](std::uint32_t c) { return int(std::lround(double(c & 0xFF) * share)); };
    return qRgb(part(colour >> 16), part(colour >> 8), part(colour));
}

// Brightness of a pixel passed by `count` traces of `most`: the faintest trace still shows,
// the busiest pixels are full; on a logarithmic scale, so a rare path is not lost beside the
// common one.
double brightness(std::uint32_t count, std::uint32_t most, double faintest)
{
    if (most <= 1)
        return 1.0;
    return faintest + (1.0 - faintest) * std::log(double(count)) / std::log(double(most));
}

} // namespace

BatchPlot::BatchPlot(GuidePositions guides)
    : m_guides(guides), m_accepted(std::size_t(screenWidth() * screenHeight()), 0),
      m_rejected(m_accepted.size(), 0), m_lastFrame(m_accepted.size(), 0)
{
    layoutSegmentX(m_segments, kScreenWidthTwips);
}

int BatchPlot::screenWidth()
{
    return int(kScreenWidthTwips) / kTwipsPerPixel * kScale;
}

int BatchPlot::screenHeight()
{
    return int(kScreenHeightTwips) / kTwipsPerPixel * kScale;
}

int BatchPlot::guideRow(int v)
{
    return guideHeight(kScreenHeightTwips, v) / kTwipsPerPixel * kScale;
}

void BatchPlot::add(const SampleArray& samples, const Verdict& verdict)
{
    mapTrace(m_segments, samples, m_heights);
    trace(verdict.rejected() ? m_rejected : m_accepted, ++m_frame);
}

void BatchPlot::trace(std::vector<std::uint32_t>& hits, std::uint32_t stamp)
{
    const int width = screenWidth();
    const int height = screenHeight();
    auto plot = [&](int x, int y) {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return;
        const std::size_t at = std::size_t(y * width + x);
        if (m_lastFrame[at] == stamp)
            return;
        m_lastFrame[at] = stamp;
        ++hits[at];
    };
    for (int i = 0; i < kSegmentsDrawn; ++i) {
        const TraceSegment& s = m_segments[std::size_t(i)];
        walkLine(toDevice(s.X1), toDevice(s.Y1), toDevice(s.X2), toDevice(s.Y2), plot);
    }
}

QImage BatchPlot::image(const QString& captureName, const JudgeSummary& summary) const
{
    const int width = screenWidth();
    const int height = screenHeight();
    QImage picture(width, height + kCaptionHeight, QImage::Format_RGB32);
    picture.fill(QColor::fromRgb(kBlack));

    auto block = [&](int x, int y, int w, int h, std::uint32_t colour) {
        for (int row = std::max(0, y); row < std::min(height, y + h); ++row) {
            auto* line = reinterpret_cast<QRgb*>(picture.scanLine(row));
            std::fill(line + std::max(0, x), line + std::min(width, x + w), QRgb(colour));
        }
    };
    // The grid, one window pixel wide, as the window draws it.
    for (int i = 0; i < kGridLines; ++i) {
        const LineEnds across = horizontalGridLine(i, kScreenWidthTwips, kScreenHeightTwips);
        block(0, int(across.y1) / kTwipsPerPixel * kScale, width, kScale, kGridColour);
        const LineEnds down = verticalGridLine(i, kScreenWidthTwips, kScreenHeightTwips);
        block(int(down.x1) / kTwipsPerPixel * kScale, 0, kScale, height, kGridColour);
    }

    const std::uint32_t mostAccepted = *std::max_element(m_accepted.begin(), m_accepted.end());
    const std::uint32_t mostRejected = *std::max_element(m_rejected.begin(), m_rejected.end());
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const std::size_t at = std::size_t(y * width + x);
            if (m_rejected[at] != 0)
                line[x] =
                    dimmed(kRejectedTraceColour, brightness(m_rejected[at], mostRejected, 0.55));
            else if (m_accepted[at] != 0)
                line[x] = dimmed(kTraceColour, brightness(m_accepted[at], mostAccepted, 0.3));
        }
    }

    block(0, guideRow(m_guides.upper), width, kScale, kUpperGuideColour);
    block(0, guideRow(m_guides.lower), width, kScale, kLowerGuideColour);

    QPainter painter(&picture);
    QFont font = painter.font();
    font.setPixelSize(17);
    painter.setFont(font);
    painter.setPen(QColor(224, 224, 224));
    const QRect caption(12, height + 6, width - 24, kCaptionHeight - 12);
    const QString counts =
        QStringLiteral("guides %1,%2 (High, Low)   %3 frames: %4 accepted, %5 rejected above, "
                       "%6 below, %7 both")
            .arg(m_guides.upper)
            .arg(m_guides.lower)
            .arg(summary.frames)
            .arg(summary.accepted)
            .arg(summary.rejectedAbove)
            .arg(summary.rejectedBelow)
            .arg(summary.rejectedBoth);
    painter.drawText(caption, Qt::AlignLeft | Qt::AlignTop, captureName);
    painter.drawText(caption, Qt::AlignLeft | Qt::AlignBottom, counts);
    return picture;
}

const char* pictureFormatOf(const QString& name)
{
    const QString suffix = QFileInfo(name).suffix().toLower();
    if (suffix == u"jpg" || suffix == u"jpeg")
        return "JPEG";
    return suffix == u"bmp" ? "BMP" : "PNG";
}

QByteArray encodedPicture(const QImage& picture, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    return picture.save(&buffer, format) ? bytes : QByteArray();
}

} // namespace lumatrax
