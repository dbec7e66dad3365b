#include "tools/review/framesexport.h"

#include "common/outputfile.h"
#include "tools/capture/captureframes.h"
#include "tools/capture/framecsv.h"
#include "tools/capture/frameextremes.h"

namespace lumatrax {

FramesExport::FramesExport(const QString& capture, const QByteArray& captureKey, const QString& out,
                           GuidePositions guides)
    : m_capture(capture), m_captureKey(captureKey), m_out(out), m_guides(guides),
      m_thread([this](const std::stop_token& stop) { run(stop); })
{}

FramesExport::~FramesExport() = default; // the thread is asked to stop and joined

std::optional<SaveFailure> FramesExport::failure() const
{
    const std::lock_guard lock(m_mutex);
    return m_failure;
}

void FramesExport::run(const std::stop_token& stop)
{
    std::optional<SaveFailure> failure;
    CaptureFrames frames;
    OutputFile table; // gives up what it did not put in place
    if (const auto refused = frames.open(m_capture))
        failure = SaveFailure{m_capture, *refused};
    if (!failure)
        failure = table.open(m_out, OutputFile::Mode::Replace);
    if (!failure && !m_captureKey.isEmpty() && table.key() == m_captureKey)
        failure = SaveFailure{m_out, QStringLiteral("it is the capture itself")};
    if (!failure)
        failure = table.write(frameCsvHeader());
    const std::int64_t started = frames.header().startedAtUs;
    // Written a few thousand lines at a time, not a write a frame.
    constexpr qint64 kLinesAWrite = 4096;
    QByteArray lines;
    qint64 written = 0;
    while (!failure && !stop.stop_requested()) {
        const CaptureFrame* frame = frames.next();
        if (!frame) {
            failure = table.write(lines);
            if (!failure)
                failure = table.commit();
            break;
        }
        lines += frameCsvLine(started, frame->atUs, verdictAt(extremesOf(frame->samples), m_guides),
                              frame->samples);
        if (++written % kLinesAWrite == 0) {
            failure = table.write(lines);
            lines.clear();
            if (frames.fileSize() > 0)
                m_share = double(frames.position()) / double(frames.fileSize());
        }
    }
    if (!failure && stop.stop_requested())
        failure = SaveFailure{m_out, QStringLiteral("cancelled")};
    {
        const std::lock_guard lock(m_mutex);
        m_failure = failure;
    }
    m_share = 1.0;
    m_finished = true;
}

} // namespace lumatrax
