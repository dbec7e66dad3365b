#pragma once

// Goes through a capture once, on a thread of its own: every frame into the frame index, its
// extremes into the counts over all guide pairs. About ten times a second, and once at the end,
// it publishes where it stands (counts settled, the drift bins over the frames so far, the
// program's reads); the window takes that at the screen's pace, never a frame at a time.
//
// A capture that the tap is still writing is followed: at the end of what is written so far the
// thread looks again every CaptureFrames::kFollowInterval and publishes what came, until the tap
// lets go of it.

#include "tools/capture/captureframes.h"
#include "tools/capture/drift.h"
#include "tools/capture/frameextremes.h"
#include "tools/capture/frameindex.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace lumatrax {

struct LoadProgress
{
    std::int64_t position = 0; // bytes of the file gone through
    std::int64_t fileSize = 0;
    GuidePairCounts counts; // every frame in the index, settled
    DriftFold drift;        // the same frames in time bins
    ReadLengths reads;
    int greetings = 0;
    int acknowledged = 0;
    // What the reading had to say, one sentence each about "the capture": damaged bytes passed
    // over, an end inside a record, a read error.
    QStringList warnings;
    bool live = false;      // its writer held the capture when last asked: more may come
    bool following = false; // live, and every byte written so far is gone through
    bool finished = false;  // the whole file is gone through, and no more will come
};

class CaptureLoader
{
public:
    // Goes through `frames`, opened, appending to `index`, which must outlive the loader.
    CaptureLoader(std::unique_ptr<CaptureFrames> frames, FrameIndex& index);
    // Stops going through the capture and waits for the thread.
    ~CaptureLoader();
    CaptureLoader(const CaptureLoader&) = delete;
    CaptureLoader& operator=(const CaptureLoader&) = delete;

    // Counts every publication, so a reader can tell whether there is anything new.
    [[nodiscard]] std::uint64_t revision() const { return m_revision.load(); }
    [[nodiscard]] LoadProgress progress() const;

private:
    enum class Stage { Reading, Following, Finished };

    void run(const std::stop_token& stop);
    // Through what is written so far; false when stopped or the index is full.
    bool readOn(const std::stop_token& stop, bool live);
    void publish(Stage stage, bool live);

    std::unique_ptr<CaptureFrames> m_frames;
    FrameIndex& m_index;
    GuidePairCounts m_counts; // the thread's own
    mutable std::mutex m_mutex;
    LoadProgress m_published; // under m_mutex
    std::atomic<std::uint64_t> m_revision{0};
    std::jthread m_thread; // last: starts once everything above is made, stops first
};

} // namespace lumatrax
