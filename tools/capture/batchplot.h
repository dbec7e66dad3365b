#pragma once

// A picture of a whole capture as the window would show it, every frame at once: the black
// screen and its 10 x 10 grid, each accepted frame's trace in the trace's colour, brighter where
// many traces pass (persistence), each rejected frame's trace over them in a colour of its own,
// the upper guide red and the lower blue at their heights, and a caption below.
//
// The screen is drawn at kScale device pixels per pixel of the window (15 twips a pixel): grid
// and guides exactly as the window draws them at that device pixel ratio (one window pixel, a
// block of kScale x kScale), the traces at the full resolution, one device pixel wide. A trace
// point (x, y) in twips lies on device pixel (floor(x * kScale / 15), floor(y * kScale / 15)).
// Each frame counts once in every pixel its trace passes, so memory stays level however many
// frames go in. Needs a QGuiApplication for the caption's text.

#include "display/frameprocessing.h"
#include "tools/capture/capturejudge.h"

#include <QImage>
#include <QString>

#include <cstdint>
#include <vector>

namespace lumatrax {

inline constexpr std::uint32_t kRejectedTraceColour = 0xFFFFA000u; // amber

class BatchPlot
{
public:
    static constexpr int kScale = 2;
    static constexpr int kCaptionHeight = 64;

    explicit BatchPlot(GuidePositions guides);

    // One frame's samples and the verdict on it.
    void add(const SampleArray& samples, const Verdict& verdict);

    // The screen's size in device pixels.
    [[nodiscard]] static int screenWidth();
    [[nodiscard]] static int screenHeight();
    // The device pixel rows of a guide at slider value v: kScale rows from this one down.
    [[nodiscard]] static int guideRow(int v);

    // The picture with a caption naming the capture and giving the guides and `summary`.
    [[nodiscard]] QImage image(const QString& captureName, const JudgeSummary& summary) const;

private:
    void trace(std::vector<std::uint32_t>& hits, std::uint32_t stamp);

    GuidePositions m_guides;
    SampleHeights m_heights{kScreenHeightTwips};
    SegmentArray m_segments{};
    // Per device pixel of the screen: traces that passed it, and the last frame that did.
    std::vector<std::uint32_t> m_accepted;
    std::vector<std::uint32_t> m_rejected;
    std::vector<std::uint32_t> m_lastFrame;
    std::uint32_t m_frame = 0;
};

// The picture format a file's name asks for: JPEG for a name ending in .jpg or .jpeg, BMP for
// .bmp, PNG for any other ("-" too).
[[nodiscard]] const char* pictureFormatOf(const QString& name);

// `picture` in an image format Qt writes ("PNG", "JPEG", "BMP"); empty when it cannot.
[[nodiscard]] QByteArray encodedPicture(const QImage& picture, const char* format);

} // namespace lumatrax
