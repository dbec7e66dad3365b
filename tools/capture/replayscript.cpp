#include "tools/capture/replayscript.h"

#include <algorithm>
#include <limits>

namespace lumatrax {

std::optional<QString> ReplayScript::open(const QString& path)
{
    m_first.reset();
    m_firstAcknowledged.reset();
    m_bursts = 0;
    m_bytes = 0;
    m_duration = {};
    rewind();
    if (const auto refused = m_reader.open(path))
        return refused;
    while (const auto burst = next()) {
        ++m_bursts;
        m_bytes += burst->bytes.size();
        m_duration += burst->delay;
    }
    take(m_model.finish());
    m_warnings = m_reader.warnings();
    const auto& chosen = m_firstAcknowledged ? m_firstAcknowledged : m_first;
    m_answer = chosen ? chosen->bytes : QByteArray();
    if (!rewind())
        return QStringLiteral("%1 can no longer be read").arg(path);
    return std::nullopt;
}

std::optional<ReplayBurst> ReplayScript::next()
{
    while (const auto record = m_reader.next()) {
        const ProgramModel::Step step = m_model.feed(*record, m_reader.followsDamage());
        take(step.answer);
        if (step.runStarted)
            m_runAtUs = record->atUs;
        if (!step.toReceiver)
            continue;
        // From the later of the previous record and the last RUN 1; the very first record
        // without either goes at once.
        constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::min();
        const std::int64_t since = m_lastAtUs || m_runAtUs ? std::max(m_lastAtUs.value_or(kNever),
                                                                      m_runAtUs.value_or(kNever))
                                                           : record->atUs;
        m_lastAtUs = record->atUs;
        return ReplayBurst{std::chrono::microseconds(record->atUs - since), record->bytes};
    }
    return std::nullopt;
}

void ReplayScript::take(const std::optional<ProgramModel::Answer>& answer)
{
    if (!answer)
        return;
    if (!m_first)
        m_first = answer;
    if (!m_firstAcknowledged && answer->acknowledged())
        m_firstAcknowledged = answer;
}

bool ReplayScript::rewind()
{
    m_model.reset();
    m_lastAtUs.reset();
    m_runAtUs.reset();
    return m_reader.rewind();
}

} // namespace lumatrax
