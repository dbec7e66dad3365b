#pragma once

// Writes the table of a capture's frames (framecsv.h) at given guides, on a thread of its own,
// by the rule of every file written: a file is replaced only once the table is whole, so a
// failure or a cancel leaves an earlier file as it was; and never over the capture itself.

#include "common/savefile.h"
#include "tools/capture/capturejudge.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

namespace lumatrax {

class FramesExport
{
public:
    // `captureKey` is fileKey() of the capture.
    FramesExport(const QString& capture, const QByteArray& captureKey, const QString& out,
                 GuidePositions guides);
    // Gives the table up unless it is whole, and waits for the thread.
    ~FramesExport();
    FramesExport(const FramesExport&) = delete;
    FramesExport& operator=(const FramesExport&) = delete;

    [[nodiscard]] bool finished() const { return m_finished.load(); }
    // How far it has come, 0..1.
    [[nodiscard]] double share() const { return m_share.load(); }
    // Once finished: why the table could not be written, or nothing when it was.
    [[nodiscard]] std::optional<SaveFailure> failure() const;

private:
    void run(const std::stop_token& stop);

    QString m_capture;
    QByteArray m_captureKey;
    QString m_out;
    GuidePositions m_guides;
    std::atomic<double> m_share{0.0};
    std::atomic<bool> m_finished{false};
    mutable std::mutex m_mutex;
    std::optional<SaveFailure> m_failure; // under m_mutex
    std::jthread m_thread;                // last: starts once everything above is made, stops first
};

} // namespace lumatrax
