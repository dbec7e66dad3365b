#include "tools/review/captureloader.h"

#include <chrono>
#include <condition_variable>

namespace lumatrax {

namespace {

// How often the thread says where it stands, and how many frames it takes between looks at the
// clock.
constexpr auto kPublishInterval = std::chrono::milliseconds(100);
constexpr int kFramesBetweenLooks = 4096;

} // namespace

CaptureLoader::CaptureLoader(std::unique_ptr<CaptureFrames> frames, FrameIndex& index)
    : m_frames(std::move(frames)), m_index(index),
      m_thread([this](const std::stop_token& stop) { run(stop); })
{}

CaptureLoader::~CaptureLoader() = default; // the thread is asked to stop and joined

LoadProgress CaptureLoader::progress() const
{
    const std::lock_guard lock(m_mutex);
    return m_published;
}

void CaptureLoader::run(const std::stop_token& stop)
{
    std::mutex mutex;
    std::condition_variable_any pause; // woken by a stop only
    bool following = false;
    for (;;) {
        // Asked before reading on: whatever the tap wrote before it let go is read below.
        const bool live = m_frames->isBeingWritten();
        const std::int64_t from = m_frames->position();
        const bool more = readOn(stop, live);
        if (stop.stop_requested())
            return;
        if (!live || !more) {
            if (more)
                m_frames->finish();
            publish(Stage::Finished, false);
            return;
        }
        if (!following || m_frames->position() != from)
            publish(Stage::Following, true);
        following = true;
        std::unique_lock lock(mutex);
        pause.wait_for(lock, stop, CaptureFrames::kFollowInterval, [] { return false; });
    }
}

bool CaptureLoader::readOn(const std::stop_token& stop, bool live)
{
    using Clock = std::chrono::steady_clock;
    auto due = Clock::now() + kPublishInterval;
    int sinceLook = 0;
    while (!stop.stop_requested()) {
        const CaptureFrame* frame = m_frames->next();
        if (!frame)
            return true;
        const FrameExtremes extremes = extremesOf(frame->samples);
        if (!m_index.append({frame->offset, frame->atUs, extremes}))
            return false; // more frames than an index holds: what is in it stands
        m_counts.add(extremes);
        if (++sinceLook == kFramesBetweenLooks) {
            sinceLook = 0;
            if (Clock::now() >= due) {
                publish(Stage::Reading, live);
                due = Clock::now() + kPublishInterval;
            }
        }
    }
    return false;
}

void CaptureLoader::publish(Stage stage, bool live)
{
    m_counts.settle();
    const qint64 frames = m_index.size();
    DriftFold drift =
        frames == 0 ? DriftFold() : DriftFold(m_index[0].atUs, m_index[frames - 1].atUs);
    for (qint64 i = 0; i < frames; ++i)
        drift.add(m_index[i].atUs, m_index[i].extremes);

    const std::lock_guard lock(m_mutex);
    m_published.position = m_frames->position();
    m_published.fileSize = m_frames->fileSize();
    m_published.counts = m_counts;
    m_published.drift = std::move(drift);
    m_published.reads = m_frames->reads();
    m_published.greetings = m_frames->greetings();
    m_published.acknowledged = m_frames->acknowledged();
    m_published.warnings = m_frames->warnings();
    m_published.live = live;
    m_published.following = stage == Stage::Following;
    m_published.finished = stage == Stage::Finished;
    ++m_revision;
}

} // namespace lumatrax
