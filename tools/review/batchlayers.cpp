#include "tools/review/batchlayers.h"

#include "display/colours.h"
#include "tools/capture/batchplot.h"
#include "tools/capture/captureframes.h"

#include <algorithm>
#include <chrono>

namespace lumatrax {

namespace {

// Both guides at 100 lie at the screen's height, on the first row of the caption band.
constexpr GuidePositions kNoGuides{100, 100};
// How often the every-trace layer is shown while it grows, and how many frames the thread draws
// between looks at the clock and at requests.
constexpr auto kPublishInterval = std::chrono::milliseconds(250);
constexpr int kFramesBetweenLooks = 256;

QImage screenOf(const QImage& picture)
{
    return picture.copy(0, 0, BatchPlot::screenWidth(), BatchPlot::screenHeight());
}

// Guides as BatchPlot draws them: kScale rows from the guide's row down, the lower over the upper.
void paintGuides(QImage& screen, GuidePositions guides)
{
    for (const auto& [v, colour] :
         {std::pair{guides.upper, kUpperGuideColour}, std::pair{guides.lower, kLowerGuideColour}}) {
        const int first = BatchPlot::guideRow(v);
        for (int row = std::max(0, first);
             row < std::min(screen.height(), first + BatchPlot::kScale); ++row) {
            auto* line = reinterpret_cast<QRgb*>(screen.scanLine(row));
            std::fill(line, line + screen.width(), QRgb(colour));
        }
    }
}

} // namespace

BatchLayers::BatchLayers(const QString& path, const FrameIndex& index)
    : m_path(path), m_index(index), m_background(screenOf(BatchPlot(kNoGuides).image({}, {}))),
      m_everyTrace(m_background), m_rejects(m_background),
      m_thread([this](const std::stop_token& stop) { run(stop); })
{
    Q_ASSERT(BatchPlot::guideRow(kNoGuides.upper) >= BatchPlot::screenHeight());
}

BatchLayers::~BatchLayers()
{
    m_thread.request_stop();
    m_wake.notify_all();
}

void BatchLayers::drawRejects(GuidePositions guides)
{
    {
        const std::lock_guard lock(m_mutex);
        m_request = guides;
    }
    m_wake.notify_all();
}

BatchPicture BatchLayers::picture() const
{
    const std::lock_guard lock(m_mutex);
    return m_published;
}

bool BatchLayers::askedAgain() const
{
    const std::lock_guard lock(m_mutex);
    return m_request.has_value();
}

void BatchLayers::run(const std::stop_token& stop)
{
    using Clock = std::chrono::steady_clock;
    CaptureFrames frames;
    bool tracesLeft = !frames.open(m_path).has_value();
    BatchPlot every(kNoGuides);
    auto due = Clock::now() + kPublishInterval;
    while (!stop.stop_requested()) {
        std::optional<GuidePositions> request;
        {
            std::unique_lock lock(m_mutex);
            if (!tracesLeft)
                m_wake.wait(lock, stop, [this] { return m_request.has_value(); });
            request = std::exchange(m_request, std::nullopt);
        }
        if (request) {
            if (drawRejectLayer(*request, stop))
                publish();
            continue;
        }
        for (int n = 0; n < kFramesBetweenLooks && tracesLeft; ++n) {
            if (const CaptureFrame* frame = frames.next()) {
                every.add(frame->samples, Verdict{});
                ++m_drawn.tracesDrawn;
            } else {
                tracesLeft = false;
                m_drawn.tracesComplete = true;
            }
        }
        if (!tracesLeft || Clock::now() >= due) {
            m_everyTrace = screenOf(every.image({}, {}));
            publish();
            due = Clock::now() + kPublishInterval;
        }
    }
}

bool BatchLayers::drawRejectLayer(GuidePositions guides, const std::stop_token& stop)
{
    const qint64 frames = m_index.size();
    qint64 rejected = 0;
    for (qint64 i = 0; i < frames; ++i)
        rejected += verdictAt(m_index[i].extremes, guides).rejected() ? 1 : 0;
    const qint64 drawn = std::min(rejected, kMostRejects);

    FrameFetcher fetcher;
    const bool readable = fetcher.open(m_path);
    BatchPlot layer(kNoGuides);
    qint64 rank = 0; // among the rejected frames
    qint64 taken = 0;
    for (qint64 i = 0; i < frames && taken < drawn && readable; ++i) {
        if (!verdictAt(m_index[i].extremes, guides).rejected())
            continue;
        // Evenly: the rejected frames of ranks floor(k * rejected / drawn), k = 0, 1, ...
        if (rank++ != taken * rejected / drawn)
            continue;
        if (const auto samples = fetcher.fetch(m_index[i].offset))
            layer.add(*samples, Verdict{true, false});
        if (++taken % kFramesBetweenLooks == 0 && (stop.stop_requested() || askedAgain()))
            return false;
    }
    m_rejects = screenOf(layer.image({}, {}));
    m_drawn.rejectGuides = guides;
    m_drawn.rejectsDrawn = taken;
    m_drawn.rejected = rejected;
    return true;
}

void BatchLayers::publish()
{
    BatchPicture shown = m_drawn;
    shown.screen = m_everyTrace.copy();
    const qsizetype pixels = qsizetype(shown.screen.width()) * shown.screen.height();
    auto* out = reinterpret_cast<QRgb*>(shown.screen.bits());
    const auto* rejects = reinterpret_cast<const QRgb*>(m_rejects.constBits());
    const auto* background = reinterpret_cast<const QRgb*>(m_background.constBits());
    for (qsizetype at = 0; at < pixels; ++at)
        if (rejects[at] != background[at])
            out[at] = rejects[at]; // a reject passed here
    if (m_drawn.rejectGuides)
        paintGuides(shown.screen, *m_drawn.rejectGuides);

    const std::lock_guard lock(m_mutex);
    m_published = std::move(shown);
    ++m_revision;
}

QImage BatchLayers::withCaption(const QImage& screen, GuidePositions guides,
                                const QString& captureName, const JudgeSummary& summary)
{
    QImage picture = BatchPlot(guides).image(captureName, summary);
    for (int row = 0; row < std::min(screen.height(), picture.height()); ++row)
        std::copy_n(reinterpret_cast<const QRgb*>(screen.constScanLine(row)),
                    std::min(screen.width(), picture.width()),
                    reinterpret_cast<QRgb*>(picture.scanLine(row)));
    return picture;
}

} // namespace lumatrax
