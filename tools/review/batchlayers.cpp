#include "tools/review/batchlayers.h"

#include "display/colours.h"
#include "tools/capture/batchplot.h"
#include "tools/capture/captureframes.h"

#include <algorithm>
#include <chrono>

#include <sys/resource.h>
#include <unistd.h>

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
      m_traceThread([this](const std::stop_token& stop) { drawTraces(stop); }),
      m_publishThread([this](const std::stop_token& stop) { drawRejectsAndPublish(stop); })
{
    Q_ASSERT(BatchPlot::guideRow(kNoGuides.upper) >= BatchPlot::screenHeight());
}

BatchLayers::~BatchLayers()
{
    m_traceThread.request_stop();
    m_publishThread.request_stop(); // wakes it where it waits
}

void BatchLayers::drawRejects(GuidePositions guides)
{
    {
        const std::lock_guard lock(m_mutex);
        m_request = guides;
    }
    m_wake.notify_all();
}

void BatchLayers::addNewRejects()
{
    {
        const std::lock_guard lock(m_mutex);
        m_follow = true;
    }
    m_wake.notify_all();
}

BatchPicture BatchLayers::picture() const
{
    const std::lock_guard lock(m_mutex);
    return m_published;
}

void BatchLayers::drawTraces(const std::stop_token& stop)
{
    // Nice 10: where the processor is short, the counts and the window come first. A thread may
    // always lower its own priority; where it cannot, it draws at the normal one.
    (void)::setpriority(PRIO_PROCESS, ::gettid(), 10);
    using Clock = std::chrono::steady_clock;
    CaptureFrames frames;
    BatchPlot every(kNoGuides);
    qint64 drawn = 0;
    qint64 handedOver = -1;
    bool complete = frames.open(m_path).has_value(); // a file gone meanwhile: nothing to draw
    // Asked before reading on, as the counts' thread does: a capture still written is followed.
    bool live = !complete && frames.isBeingWritten();
    std::mutex pauseMutex;
    std::condition_variable_any pause; // woken by a stop only
    auto due = Clock::now() + kPublishInterval;
    while (!stop.stop_requested()) {
        bool atEnd = complete;
        for (int n = 0; n < kFramesBetweenLooks && !atEnd; ++n) {
            if (const CaptureFrame* frame = frames.next()) {
                every.add(frame->samples, Verdict{});
                ++drawn;
            } else {
                atEnd = true;
            }
        }
        complete = atEnd && !live;
        if (complete || (drawn != handedOver && (atEnd || Clock::now() >= due))) {
            QImage layer = screenOf(every.image({}, {}));
            {
                const std::lock_guard lock(m_traceMutex);
                std::swap(m_traceLayer, layer); // the one replaced goes after the lock
                m_tracesDrawn = drawn;
                m_tracesComplete = complete;
                ++m_traceRevision;
            }
            handedOver = drawn;
            due = Clock::now() + kPublishInterval;
        }
        if (complete)
            return;
        if (atEnd) {
            std::unique_lock lock(pauseMutex);
            pause.wait_for(lock, stop, CaptureFrames::kFollowInterval, [] { return false; });
            live = frames.isBeingWritten();
        }
    }
}

// The reject layer as drawn so far, kept between requests so a growing capture adds to it.
struct BatchLayers::RejectLayer
{
    GuidePositions guides;
    BatchPlot plot{kNoGuides};
    qint64 counted = 0;     // frames of the index gone over
    qint64 seen = 0;        // rejected frames among them
    qint64 sampledFrom = 0; // rejected frames there were to draw when it was last drawn whole
    qint64 drawn = 0;
};

void BatchLayers::drawRejectsAndPublish(const std::stop_token& stop)
{
    QImage everyTrace = m_background;
    QImage rejects = m_background;
    BatchPicture shown;
    std::optional<RejectLayer> layer;
    std::uint64_t traceRevision = 0;
    for (;;) {
        std::optional<GuidePositions> request;
        bool follow = false;
        {
            // While the every-trace layer grows, look for it at its own pace.
            std::unique_lock lock(m_mutex);
            auto asked = [this] { return m_request.has_value() || m_follow; };
            if (shown.tracesComplete)
                m_wake.wait(lock, stop, asked);
            else
                m_wake.wait_for(lock, stop, kPublishInterval, asked);
            if (stop.stop_requested())
                return;
            request = std::exchange(m_request, std::nullopt);
            follow = std::exchange(m_follow, false);
        }
        bool drew = false;
        if (request) {
            if (auto whole = rejectLayer(*request, stop)) {
                layer = std::move(whole);
                drew = true;
            }
        } else if (follow && layer) {
            drew = addRejects(*layer, stop);
        }
        if (drew) {
            rejects = screenOf(layer->plot.image({}, {}));
            shown.rejectGuides = layer->guides;
            shown.rejectsDrawn = layer->drawn;
            shown.rejected = layer->sampledFrom;
        }
        bool changed = drew;
        {
            const std::lock_guard lock(m_traceMutex);
            if (m_traceRevision != traceRevision) {
                traceRevision = m_traceRevision;
                everyTrace = m_traceLayer;
                shown.tracesDrawn = m_tracesDrawn;
                shown.tracesComplete = m_tracesComplete;
                changed = true;
            }
        }
        if (changed)
            publish(everyTrace, rejects, shown);
    }
}

std::optional<BatchLayers::RejectLayer> BatchLayers::rejectLayer(GuidePositions guides,
                                                                 const std::stop_token& stop)
{
    std::optional<RejectLayer> layer(std::in_place);
    layer->guides = guides;
    layer->counted = m_index.size();
    for (qint64 i = 0; i < layer->counted; ++i)
        layer->seen += verdictAt(m_index[i].extremes, guides).rejected() ? 1 : 0;
    layer->sampledFrom = layer->seen;
    const qint64 rejected = layer->seen;
    const qint64 wanted = std::min(rejected, kMostRejects);
    auto askedAgain = [this, &stop] {
        const std::lock_guard lock(m_mutex);
        return stop.stop_requested() || m_request.has_value();
    };

    FrameFetcher fetcher;
    const bool readable = fetcher.open(m_path);
    qint64 rank = 0; // among the rejected frames
    qint64& drawn = layer->drawn;
    for (qint64 i = 0; i < layer->counted && drawn < wanted && readable; ++i) {
        if (!verdictAt(m_index[i].extremes, guides).rejected())
            continue;
        // Evenly: the rejected frames of ranks floor(k * rejected / wanted), k = 0, 1, ...
        if (rank++ != drawn * rejected / wanted)
            continue;
        if (const auto samples = fetcher.fetch(m_index[i].offset))
            layer->plot.add(*samples, Verdict{true, false});
        if (++drawn % kFramesBetweenLooks == 0 && askedAgain())
            return std::nullopt;
    }
    return layer;
}

bool BatchLayers::addRejects(RejectLayer& layer, const std::stop_token& stop)
{
    const qint64 from = layer.counted;
    layer.counted = m_index.size();
    qint64 more = 0;
    for (qint64 i = from; i < layer.counted; ++i)
        more += verdictAt(m_index[i].extremes, layer.guides).rejected() ? 1 : 0;
    layer.seen += more;
    if (more == 0)
        return false;
    if (layer.seen <= kMostRejects) {
        // Every reject has its place in the layer: the new ones join it.
        FrameFetcher fetcher;
        const bool readable = fetcher.open(m_path);
        for (qint64 i = from; i < layer.counted && readable; ++i) {
            if (!verdictAt(m_index[i].extremes, layer.guides).rejected())
                continue;
            if (const auto samples = fetcher.fetch(m_index[i].offset))
                layer.plot.add(*samples, Verdict{true, false});
            ++layer.drawn;
        }
        layer.sampledFrom = layer.seen;
        return true;
    }
    // A sample: drawn again once the rejects have grown by an eighth, so its cost stays small
    // beside the line's.
    if (layer.seen < layer.sampledFrom + layer.sampledFrom / 8)
        return false;
    auto whole = rejectLayer(layer.guides, stop);
    if (!whole)
        return false;
    layer = std::move(*whole);
    return true;
}

void BatchLayers::publish(const QImage& everyTrace, const QImage& rejects, BatchPicture shown)
{
    shown.screen = everyTrace.copy();
    const qsizetype pixels = qsizetype(shown.screen.width()) * shown.screen.height();
    auto* out = reinterpret_cast<QRgb*>(shown.screen.bits());
    const auto* layer = reinterpret_cast<const QRgb*>(rejects.constBits());
    const auto* background = reinterpret_cast<const QRgb*>(m_background.constBits());
    for (qsizetype at = 0; at < pixels; ++at)
        if (layer[at] != background[at])
            out[at] = layer[at]; // a reject passed here
    if (shown.rejectGuides)
        paintGuides(shown.screen, *shown.rejectGuides);
    {
        const std::lock_guard lock(m_mutex);
        std::swap(m_published, shown); // the one replaced goes after the lock
        ++m_revision;
    }
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
