#pragma once

// The batch picture of the review window, drawn by the batch picture's own BatchPlot in two
// layers on a thread of its own:
//
// - every trace, each frame once, in the trace's colour: drawn while the file is read, frame by
//   frame as the thread reads them itself, and never again;
// - the rejects at the guides shown, in amber over it: redrawn at every change of the guides
//   from at most kMostRejects rejected frames, evenly sampled when there are more, read again
//   from the file by the frame index.
//
// Each layer is a BatchPlot whose guides both lie at 100, below the screen's last row, so that
// its picture holds the grid and its traces only; the picture shown is the every-trace layer,
// the reject layer over it wherever it drew, and the guides over both, as BatchPlot draws them.
// A newer request for the reject layer replaces one not yet begun and cuts one being drawn short.

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
    ~BatchLayers(); // stops drawing and waits for the thread
    BatchLayers(const BatchLayers&) = delete;
    BatchLayers& operator=(const BatchLayers&) = delete;

    // Asks for the reject layer at these guides, over the frames indexed by then.
    void drawRejects(GuidePositions guides);

    [[nodiscard]] std::uint64_t revision() const { return m_revision.load(); }
    [[nodiscard]] BatchPicture picture() const;

    // The picture as the judge's --plot gives it: the screen with the caption below, naming the
    // capture and giving the guides and the counts.
    [[nodiscard]] static QImage withCaption(const QImage& screen, GuidePositions guides,
                                            const QString& captureName,
                                            const JudgeSummary& summary);

private:
    void run(const std::stop_token& stop);
    // Draws the reject layer; false when stopped or asked again meanwhile.
    bool drawRejectLayer(GuidePositions guides, const std::stop_token& stop);
    void publish();
    [[nodiscard]] bool askedAgain() const;

    QString m_path;
    const FrameIndex& m_index;

    // The thread's own.
    QImage m_background; // black and grid
    QImage m_everyTrace;
    QImage m_rejects;
    BatchPicture m_drawn;

    mutable std::mutex m_mutex;
    std::condition_variable_any m_wake;
    std::optional<GuidePositions> m_request; // under m_mutex
    BatchPicture m_published;                // under m_mutex
    std::atomic<std::uint64_t> m_revision{0};
    std::jthread m_thread; // last: starts once everything above is made, stops first
};

} // namespace lumatrax
