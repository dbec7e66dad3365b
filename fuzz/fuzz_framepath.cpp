// Fuzz target: arbitrary reads through the frame path the main window runs for every read that
// its serial port hands over: decoding (link/protocol.h) and the scope screen (display/). The
// screen's state is then checked against what the bytes alone say: a read of at least 200 bytes
// is a frame, whose first 200 bytes set the samples, the trace, the drawing and the verdict; a
// shorter read decodes nothing and the screen stays as it was. Any difference aborts, and the
// fuzzer keeps the input.

#include "display/colours.h"
#include "display/scopescreen.h"
#include "fuzz/fuzzsupport.h"
#include "link/protocol.h"

#include <QByteArrayView>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace lumatrax;

namespace {

// The guides stand at 30 % and 70 % of the screen's height, so frames are accepted as well as
// rejected.
constexpr int kUpperGuideSlider = 30;
constexpr int kLowerGuideSlider = 70;
constexpr double kHeight = ScopeScreen::kDesignedHeight;

using fuzz::require;

// Screen height of a sample: round((127 - s) * H / 256), ties to even; exact in a double.
std::int16_t heightOf(int sample)
{
    return std::int16_t(std::nearbyint((127.0 - sample) * kHeight / 256.0));
}

void checkFrame(const ScopeScreen& screen, QByteArrayView read, Verdict verdict)
{
    const std::int16_t upper = std::int16_t(std::nearbyint(kHeight * kUpperGuideSlider / 100));
    const std::int16_t lower = std::int16_t(std::nearbyint(kHeight * kLowerGuideSlider / 100));
    bool above = false, below = false;
    for (int k = 0; k < SAMPLES_PER_FRAME; ++k) {
        const int sample = std::uint8_t(read[k]) - SAMPLE_OFFSET;
        require(screen.samples()[k] == sample, "sample differs from its byte");
        const std::int16_t y = heightOf(sample);
        require(screen.trace()[k].Y1 == y, "segment start at the wrong height");
        above |= y < upper;
        below |= y > lower;
    }
    require(screen.samples()[SAMPLES_PER_FRAME] == 0, "entry 200 of the samples was written");
    for (int k = 0; k < SAMPLES_PER_FRAME; ++k)
        require(screen.trace()[k].Y2 == heightOf(screen.samples()[k + 1]), "segment end misplaced");
    require(screen.trace()[SAMPLES_PER_FRAME].X1 == 0 && screen.trace()[SAMPLES_PER_FRAME].Y1 == 0,
            "entry 200 of the trace changed");

    std::vector<DrawnLine> lines;
    screen.drawnLines(lines);
    require(lines.size() == 3 * SAMPLES_PER_FRAME, "the screen does not show 600 segments");
    for (int k = 0; k < SAMPLES_PER_FRAME; ++k) {
        const DrawnLine* s = &lines[std::size_t(3 * k)];
        require(s[0].colour == kTraceColour && s[1].colour == kUpperGuideColour &&
                    s[2].colour == kLowerGuideColour,
                "trace and guides are not drawn segment by segment");
        require(s[0].y1 == screen.trace()[k].Y1 && s[1].y1 == upper && s[2].y1 == lower,
                "a drawn segment is not where it lies");
    }
    require(verdict.aboveUpper == above && verdict.belowLower == below,
            "verdict differs from the samples");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static ScopeScreen screen = [] {
        ScopeScreen s;
        s.setUpperGuide(kUpperGuideSlider);
        s.setLowerGuide(kLowerGuideSlider);
        return s;
    }();
    static SampleArray samples{};

    const QByteArrayView read(data, qsizetype(size));
    const std::uint64_t revision = screen.revision();
    std::vector<DrawnLine> before;
    screen.drawnLines(before);
    const SampleArray samplesBefore = samples;

    if (!decodeFrame(read, samples)) {
        require(read.size() < SAMPLES_PER_FRAME, "a whole frame was not decoded");
        require(samples == samplesBefore, "a short read changed the samples");
        std::vector<DrawnLine> after;
        screen.drawnLines(after);
        require(screen.revision() == revision && after == before,
                "a short read changed the screen");
        return 0;
    }
    require(read.size() >= SAMPLES_PER_FRAME, "a short read was decoded");
    checkFrame(screen, read, screen.showFrame(samples));
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}
