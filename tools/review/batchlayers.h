#pragma once

// The batch picture of the review window, drawn by the batch picture's own BatchPlot in two
// layers, each on a thread of its own:
//
// - every trace, each frame once, in the trace's colour: drawn while the file is read, frame by
//   frame as its thread reads them itself (following a capture still written as it grows), and
//   never again. It is the long work (some 10 µs a
//   frame), so its thread runs at a lower priority than the rest, and a busy processor goes to
//   the counts and the window first. It hands its layer over about four times a second and
//   shares no lock with the window, so the window never waits for it;
// - the rejects at the guides shown, in amber over it: redrawn at every change of the guides
//   from at most kMostRejects rejected frames, evenly sampled when there are more, read again
//   from the file by the frame index. A newer request replaces one not yet begun and cuts one
//   being drawn short. Frames indexed later join it (addNewRejects()). This thread also puts
//   the picture together and publishes it, whenever either layer changed.
//
// Each layer is a BatchPlot whose guides both lie at 100, below the screen's last row, so that
// its picture holds the grid and its traces only; the picture shown is the every-trace layer,
// the reject layer over it wherever it drew, and the guides over both, as BatchPlot draws them.

#include "tools/capture/capturejudge.h"
#include "tools/capture/frameindex.h"

#include <QImage>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

namespace lumatrax {

struct BatchPicture
{
    QImage screen;               // the screen only, at BatchPlot's scale; null before the first
    qint64 tracesDrawn = 0;      // frames in the every-trace layer
    bool tracesComplete = false; // every frame of the capture is in it
    std::optional<GuidePositions> rejectGuides; // of the reject layer in `screen`
    qint64 rejectsDrawn = 0;                    // rejected frames drawn
    qint64 rejected = 0; // rejected frames there were to draw, among those indexed
};

class BatchLayers
{
public:
    static constexpr qint64 kMostRejects = 20'000;

    // Draws the capture at `path`; `index` must outlive this object.
    BatchLayers(const QString& path, const FrameIndex& index);
    ~BatchLayers(); // stops drawing and waits for the threads
    BatchLayers(const BatchLayers&) = delete;
    BatchLayers& operator=(const BatchLayers&) = delete;

    // Asks for the reject layer at these guides, over the frames indexed by then.
    void drawRejects(GuidePositions guides);
    // Asks for the frames indexed since to join the reject layer at its guides: each reject
    // while every one fits, else the layer is sampled again once the rejects grew by an eighth.
    void addNewRejects();

    [[nodiscard]] std::uint64_t revision() const { return m_revision.load(); }
    [[nodiscard]] BatchPicture picture() const;

    // The picture as the judge's --plot gives it: the screen with the caption below, naming the
    // capture and giving the guides and the counts.
    [[nodiscard]] static QImage withCaption(const QImage& screen, GuidePositions guides,
                                            const QString& captureName,
                                            const JudgeSummary& summary);

private:
    struct RejectLayer;

    void drawTraces(const std::stop_token& stop);
    void drawRejectsAndPublish(const std::stop_token& stop);
    // The reject layer at these guides; nothing when stopped or asked again meanwhile.
    std::optional<RejectLayer> rejectLayer(GuidePositions guides, const std::stop_token& stop);
    // The frames indexed since join `layer`; whether it changed.
    bool addRejects(RejectLayer& layer, const std::stop_token& stop);
    // Puts the picture together from the layers and publishes it.
    void publish(const QImage& everyTrace, const QImage& rejects, BatchPicture shown);

    QString m_path;
    const FrameIndex& m_index;
    QImage m_background; // black and grid

    // Between the window and the publishing thread.
    mutable std::mutex m_mutex;
    std::condition_variable_any m_wake;
    std::optional<GuidePositions> m_request;
    bool m_follow = false; // addNewRejects() asked
    BatchPicture m_published;
    std::atomic<std::uint64_t> m_revision{0};

    // Between the every-trace thread and the publishing thread.
    std::mutex m_traceMutex;
    QImage m_traceLayer;
    qint64 m_tracesDrawn = 0;
    bool m_tracesComplete = false;
    std::uint64_t m_traceRevision = 0;

    // Last: they start once everything above is made, and stop first.
    std::jthread m_traceThread;
    std::jthread m_publishThread;
};

} // namespace lumatrax
