#include "tools/capture/framecsv.h"

#include "link/protocol.h"

#include <QDateTime>

namespace lumatrax {

QString wallClockUtc(std::int64_t startedAtUs, std::int64_t atUs)
{
    const std::int64_t us = startedAtUs + atUs;
    const std::int64_t ms = us / 1000 - (us % 1000 < 0 ? 1 : 0); // down, also before 1970
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QByteArray secondsText(std::int64_t us)
{
    return QByteArray::number(double(us) / 1e6, 'f', 6);
}

QByteArray verdictWord(const Verdict& verdict)
{
    return verdict.rejected() ? "REJECT" : "ACCEPT";
}

QByteArray frameCsvHeader()
{
    QByteArray line = "time_s,verdict,above_upper,below_lower";
    for (int k = 0; k < SAMPLES_PER_FRAME; ++k)
        line += ",s" + QByteArray::number(k);
    return line + ",utc\n";
}

QByteArray frameCsvLine(std::int64_t startedAtUs, std::int64_t atUs, const Verdict& verdict,
                        const SampleArray& samples)
{
    QByteArray line = secondsText(atUs) + ',' + verdictWord(verdict) + ',' +
                      QByteArray::number(int(verdict.aboveUpper)) + ',' +
                      QByteArray::number(int(verdict.belowLower));
    for (int k = 0; k < SAMPLES_PER_FRAME; ++k)
        line += ',' + QByteArray::number(samples[std::size_t(k)]);
    return line + ',' + wallClockUtc(startedAtUs, atUs).toLatin1() + '\n';
}

} // namespace lumatrax
