#include "tools/capture/programmodel.h"

#include <algorithm>

namespace lumatrax {

namespace {

// Commands that the program sends only from controls that the detection check enables.
bool provesDetection(const Command& c)
{
    const auto opcode = Opcode(c[0]);
    return (opcode == Opcode::CMD_RUN && c[3] == 1) || opcode == Opcode::CMD_TRIG_LEVEL ||
           opcode == Opcode::CMD_TRIG_EDGE;
}

} // namespace

ProgramModel::Step ProgramModel::feed(const CaptureRecord& record, bool afterDamage)
{
    if (afterDamage)
        gap();
    Step step;
    if (m_phase == Phase::Greeted && record.atUs - m_greetedAtUs >= kDetectionDelay.count())
        step.answer = check();

    if (record.direction == CaptureDirection::ToInstrument) {
        for (const Command& c : m_assembler.feed(record.bytes)) {
            if (m_hasPrevious && m_previous == SYNC_FRAME && c == CMD_HELLO) {
                m_phase = Phase::Greeted;
                m_greetedAtUs = record.atUs;
                m_answer.clear();
                m_waiting.clear();
                ++m_greetings;
            } else if (m_phase == Phase::Greeted && provesDetection(c)) {
                step.answer = check();
            }
            step.runStarted |= Opcode(c[0]) == Opcode::CMD_RUN && c[3] == 1;
            m_previous = c;
            m_hasPrevious = true;
        }
        return step;
    }

    switch (m_phase) {
    case Phase::Greeted:
        m_answer.append(record.bytes.first(
            std::min(record.bytes.size(), std::max<qsizetype>(0, kMaxAnswer - m_answer.size()))));
        break;
    case Phase::Receiving:
        step.toReceiver = true;
        m_waiting.append(record.bytes);
        if (m_waiting.size() >= FRAME_RX_THRESHOLD) {
            step.read = Read{record.atUs, m_waiting};
            m_waiting.clear();
        }
        break;
    case Phase::Waiting:
    case Phase::Silent:
        break;
    }
    return step;
}

void ProgramModel::gap()
{
    m_waiting.clear();
    m_assembler.reset();
    m_hasPrevious = false;
}

std::optional<ProgramModel::Answer> ProgramModel::finish()
{
    if (m_phase != Phase::Greeted)
        return std::nullopt;
    return check();
}

ProgramModel::Answer ProgramModel::check()
{
    Answer answer{m_greetedAtUs, m_answer};
    m_answer.clear();
    if (answer.acknowledged()) {
        m_phase = Phase::Receiving;
        ++m_acknowledged;
    } else {
        m_phase = Phase::Silent;
    }
    return answer;
}

} // namespace lumatrax
