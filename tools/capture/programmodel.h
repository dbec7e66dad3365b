#pragma once

// What the program makes of a captured line: which of the instrument's bytes it takes in as
// frames, and in which reads. The capture holds the bytes as the tap read them, each record at
// its time; the program's own reads never cross the line, so they are modelled from those
// records, as tools/README.md explains:
//
// - A greeting is SYNC_FRAME followed by CMD_HELLO from the program. It begins a session and
//   forgets every byte before it: the program emptied its receive buffer just before.
// - The detection check reads everything the instrument sent since the greeting: its answer.
//   It runs kDetectionDelay after the greeting, or earlier when the program sends a command that
//   only a program past the check can send (RUN 1, a trigger level, a trigger edge). Exactly
//   DEVICE_ACK acknowledges the program; anything else, or nothing, leaves it silent, and none of
//   the instrument's bytes count until the next greeting.
// - Once acknowledged, the program reads whenever FRAME_RX_THRESHOLD (210) bytes or more wait,
//   and then takes every byte waiting. The model reads at once: the record that brings the bytes
//   waiting to 210 or more ends a read of all of them. A read of 200 bytes or more is one frame,
//   judged on its first 200 bytes; the rest of the read is dropped.
//
// A simulator's capture (each frame one 210-byte burst, 4.2 ms or more apart) so gives one read
// per burst, as the program reads it.

#include "link/linktiming.h"
#include "link/protocol.h"
#include "tools/capture/captureformat.h"
#include "tools/line/commandassembler.h"

#include <QByteArray>

#include <chrono>
#include <cstdint>
#include <optional>

namespace lumatrax {

class ProgramModel
{
public:
    // The program's own delay from the greeting to the check.
    static constexpr std::chrono::microseconds kDetectionDelay = linktiming::kDetectionDelay;

    // What the detection check of a session found.
    struct Answer
    {
        std::int64_t greetedAtUs = 0;
        QByteArray bytes; // the instrument's bytes from the greeting to the check
        [[nodiscard]] bool acknowledged() const { return isDeviceAck(bytes); }
    };

    // One read of the program's receive event.
    struct Read
    {
        std::int64_t atUs = 0;
        QByteArray bytes;
    };

    // What one record did, in this order: a detection check that ran before its bytes counted,
    // a RUN 1 among its commands, its bytes going to an acknowledged program, a read it ended.
    struct Step
    {
        std::optional<Answer> answer;
        bool runStarted = false;
        bool toReceiver = false;
        std::optional<Read> read;
    };

    // The next record, and whether damaged bytes of the capture were skipped just before it
    // (CaptureReader::followsDamage()): what the program received across them is unknown, so
    // what was held for a read and a command begun before the gap are dropped first, and no
    // read or command joins bytes from both sides of it. The session stands: its greeting and
    // check lie before the gap, and the bytes of an answer gathered so far did reach the program.
    [[nodiscard]] Step feed(const CaptureRecord& record, bool afterDamage);
    // The end of the capture: the check of a session greeted too late for it to have run.
    [[nodiscard]] std::optional<Answer> finish();
    // As before the first record.
    void reset() { *this = ProgramModel(); }

    [[nodiscard]] int greetings() const { return m_greetings; }
    [[nodiscard]] int acknowledged() const { return m_acknowledged; }

private:
    enum class Phase { Waiting, Greeted, Receiving, Silent };

    Answer check();
    void gap();

    // Bytes of the answer kept: far more than an acknowledgement; the rest cannot change it.
    static constexpr qsizetype kMaxAnswer = 64 * 1024;

    CommandAssembler m_assembler;
    Command m_previous{};
    bool m_hasPrevious = false;
    Phase m_phase = Phase::Waiting;
    std::int64_t m_greetedAtUs = 0;
    QByteArray m_answer;
    QByteArray m_waiting;
    int m_greetings = 0;
    int m_acknowledged = 0;
};

} // namespace lumatrax
