#pragma once

// The instrument's part of a capture, as a simulator plays it back: its answer to the greeting,
// and the bytes it sent to an acknowledged program (ProgramModel), record by record as the tap
// read them, each with the time to wait before it.
//
// A record waits as long after the record before it as it did in the capture; the first record
// after a RUN 1 of the captured program waits as long after that RUN 1 as it did then, so the
// stretches in which the captured line stood still are left out. The records are read from the
// file as they are played, so a long capture takes no more memory than a short one.

#include "tools/capture/capturereader.h"
#include "tools/capture/programmodel.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <optional>

namespace lumatrax {

struct ReplayBurst
{
    std::chrono::microseconds delay{0};
    QByteArray bytes;
};

class ReplayScript
{
public:
    // Reads the capture through once, for the answer and the totals. The reason, naming the
    // file, when it is refused or cannot be read.
    [[nodiscard]] std::optional<QString> open(const QString& path);

    // What the captured instrument answered to the greeting: its answer in the first session
    // that it acknowledged, else in the first session. Empty: it never answered, or the capture
    // holds no greeting.
    [[nodiscard]] const QByteArray& answer() const { return m_answer; }
    [[nodiscard]] qint64 burstCount() const { return m_bursts; }
    [[nodiscard]] qint64 byteCount() const { return m_bytes; }
    // The sum of the waits, at the captured pace.
    [[nodiscard]] std::chrono::microseconds duration() const { return m_duration; }
    // What reading the capture through had to say (damage skipped, an end inside a record), one
    // sentence each; empty for a sound file.
    [[nodiscard]] const QStringList& warnings() const { return m_warnings; }

    // The next record to play; nothing after the last one.
    [[nodiscard]] std::optional<ReplayBurst> next();
    // Back to the first record; false when the file can no longer be read.
    bool rewind();

private:
    void take(const std::optional<ProgramModel::Answer>& answer);

    CaptureReader m_reader;
    ProgramModel m_model;
    std::optional<std::int64_t> m_lastAtUs;
    std::optional<std::int64_t> m_runAtUs;
    std::optional<ProgramModel::Answer> m_first;
    std::optional<ProgramModel::Answer> m_firstAcknowledged;
    QByteArray m_answer;
    QStringList m_warnings;
    qint64 m_bursts = 0;
    qint64 m_bytes = 0;
    std::chrono::microseconds m_duration{0};
};

} // namespace lumatrax
