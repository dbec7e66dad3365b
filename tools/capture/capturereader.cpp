#include "tools/capture/capturereader.h"

#include <QtEndian>

#include <algorithm>
#include <limits>

namespace lumatrax {

namespace {

// Bytes read from the file at once, and the most kept before the next record.
constexpr qint64 kBlock = 64 * 1024;
constexpr qint64 kNoLimit = std::numeric_limits<qint64>::max();

template <typename T> T get(QByteArrayView bytes, qsizetype at)
{
    return qFromLittleEndian<T>(bytes.data() + at);
}

struct Head
{
    CaptureDirection direction = CaptureDirection::ToProgram;
    int count = 0;
    std::int64_t atUs = 0;
};

Head decode(QByteArrayView head)
{
    return {CaptureDirection(get<std::uint8_t>(head, 0)), get<std::uint16_t>(head, 1),
            std::int64_t(get<std::uint64_t>(head, 3))};
}

// How the bytes of a record head fit after a record at `afterUs`. Fewer bytes than a head where
// the bytes written so far end: Partial when those there could begin a sound head.
enum class Fit { No, Partial, Sound, Pause };

Fit fit(QByteArrayView head, std::int64_t afterUs)
{
    if (!head.isEmpty()) {
        const auto direction = CaptureDirection(get<std::uint8_t>(head, 0));
        if (direction != CaptureDirection::ToProgram && direction != CaptureDirection::ToInstrument)
            return Fit::No;
    }
    if (head.size() >= 3) {
        const int count = get<std::uint16_t>(head, 1);
        if (count < 1 || count > kCaptureMaxRecordBytes)
            return Fit::No;
    }
    if (head.size() < kCaptureRecordHeadLength)
        return Fit::Partial;
    const auto at = get<std::uint64_t>(head, 3);
    if (at > std::uint64_t(std::numeric_limits<std::int64_t>::max()) || std::int64_t(at) < afterUs)
        return Fit::No;
    return std::int64_t(at) - afterUs > kCaptureMaxPause.count() ? Fit::Pause : Fit::Sound;
}

QString bytesWere(qint64 bytes)
{
    return bytes == 1 ? QStringLiteral("1 byte was") : QStringLiteral("%1 bytes were").arg(bytes);
}

} // namespace

std::optional<QString> CaptureReader::open(const QString& path, int fd)
{
    m_file.close();
    m_file.setFileName(path);
    m_name = path;
    m_header = {};
    m_headerWhole = false;
    m_failure.clear();
    m_firstRecord = 0;
    constexpr auto kMode = QIODevice::ReadOnly | QIODevice::Unbuffered;
    if (!(fd >= 0 ? m_file.open(fd, kMode, QFileDevice::DontCloseHandle) : m_file.open(kMode)))
        return QStringLiteral("%1: %2").arg(path, m_file.errorString());
    (void)rewind();
    QString refusal;
    const HeaderState state = readHeader(refusal);
    if (state == HeaderState::Refused) {
        m_file.close();
        return refusal;
    }
    m_cut = state == HeaderState::Cut;
    return std::nullopt;
}

CaptureReader::HeaderState CaptureReader::readHeader(QString& refusal)
{
    const QString& name = m_name;
    auto refuse = [&](const QString& why) {
        refusal = why;
        return HeaderState::Refused;
    };
    const QByteArrayView start = bytesAt(0, kCaptureFixedHeaderLength);
    if (!m_failure.isEmpty())
        return refuse(QStringLiteral("%1: %2").arg(name, m_file.errorString()));
    if (start.isEmpty())
        return refuse(QStringLiteral("%1 is empty, not a Lumatrax capture").arg(name));
    const qsizetype at = kCaptureMagic.size();
    // A file still being written may hold only the first bytes of the magic.
    if (start.size() < at ? !kCaptureMagic.startsWith(start) : !start.startsWith(kCaptureMagic))
        return refuse(QStringLiteral("%1 is not a Lumatrax capture").arg(name));
    if (start.size() < at + 2)
        return HeaderState::Cut;
    m_header.version = get<std::uint16_t>(start, at);
    if (m_header.version > kCaptureVersion)
        return refuse(QStringLiteral("%1 is a capture of format version %2, newer than this "
                                     "program reads (version %3): read it with a newer Lumatrax")
                          .arg(name)
                          .arg(m_header.version)
                          .arg(kCaptureVersion));
    if (m_header.version == 0)
        return refuse(QStringLiteral("%1 has a damaged header (format version 0)").arg(name));
    if (start.size() < at + 4)
        return HeaderState::Cut;
    const int length = get<std::uint16_t>(start, at + 2);
    if (length < kCaptureFixedHeaderLength)
        return refuse(
            QStringLiteral("%1 has a damaged header (%2 bytes long)").arg(name).arg(length));
    const QByteArrayView head = bytesAt(0, length);
    if (head.size() < length)
        return HeaderState::Cut;

    m_header.line.bitsPerSecond = get<std::uint32_t>(head, 12);
    m_header.line.dataBits = get<std::uint8_t>(head, 16);
    m_header.line.parity = Parity(get<std::uint8_t>(head, 17));
    m_header.line.stopBits = get<std::uint8_t>(head, 18);
    m_header.line.flowControl = get<std::uint8_t>(head, 19) != 0;
    m_header.startedAtUs = get<std::int64_t>(head, 20);
    const int deviceLength = get<std::uint16_t>(head, 28);
    if (kCaptureFixedHeaderLength + deviceLength > length)
        return refuse(
            QStringLiteral("%1 has a damaged header (a device name beyond its end)").arg(name));
    m_header.device = QString::fromUtf8(head.data() + kCaptureFixedHeaderLength, deviceLength);

    m_headerWhole = true;
    m_firstRecord = m_at = m_lastRecordEnd = length;
    return HeaderState::Whole;
}

std::optional<CaptureRecord> CaptureReader::next()
{
    m_followsDamage = false;
    m_cut = false;
    m_drained = false;
    if (!m_file.isOpen() || !m_failure.isEmpty())
        return std::nullopt;
    if (!m_headerWhole) {
        QString refusal;
        const HeaderState state = readHeader(refusal);
        m_cut = state == HeaderState::Cut;
        if (state == HeaderState::Refused)
            m_failure = refusal;
        if (state != HeaderState::Whole)
            return std::nullopt;
    }
    auto record = readRecord();
    if (!m_failure.isEmpty()) {
        m_cut = false;
        return std::nullopt;
    }
    return record;
}

std::optional<CaptureRecord> CaptureReader::readRecord()
{
    for (;;) {
        release(m_at);
        if (m_inDamage) {
            if (!resync())
                return std::nullopt;
            m_followsDamage = true;
        }
        const qint64 at = m_at;
        const QByteArrayView head = bytesAt(at, kCaptureRecordHeadLength);
        if (head.isEmpty())
            return std::nullopt; // the end, after a whole record
        const Fit kind = fit(head, m_lastAtUs);
        if (kind == Fit::Partial) {
            m_cut = true;
            return std::nullopt;
        }
        if (kind == Fit::No) {
            damageAt(at);
            continue;
        }
        const Head h = decode(head);
        const qint64 end = at + kCaptureRecordHeadLength + h.count;
        // The record and the head after it, as far as the bytes go.
        const QByteArrayView bytes = bytesAt(at, end - at + kCaptureRecordHeadLength);
        if (bytes.size() < end - at) {
            // A cut, unless two sound records inside it show its count damaged.
            if (findResync(at + 1, kNoLimit, nullptr)) {
                damageAt(at);
                continue;
            }
            m_cut = true;
            return std::nullopt;
        }
        // What follows must be able to follow it. Where it cannot, this record is the damaged
        // one when its time lies over an hour on or the records after it show it damaged;
        // otherwise the damage begins after it.
        if (fit(bytes.sliced(end - at), h.atUs) == Fit::No &&
            (kind == Fit::Pause || contradicted(at, end, h.atUs))) {
            damageAt(at);
            continue;
        }
        CaptureRecord record{h.direction, h.atUs,
                             bytesAt(at + kCaptureRecordHeadLength, h.count).toByteArray()};
        m_at = m_lastRecordEnd = end;
        m_lastAtUs = h.atUs;
        ++m_records;
        return record;
    }
}

bool CaptureReader::contradicted(qint64 at, qint64 end, std::int64_t atUs)
{
    // Two sound records that begin inside it: its count is wrong.
    const std::optional<qint64> pair = findResync(at + 1, end + 1, nullptr);
    if (!pair || *pair < end)
        return pair.has_value();
    // Two that begin right after it, following the record before it, the second before its
    // time too: its time is wrong. (Where the second still goes on from it, the first is the
    // damaged one.)
    const qint64 second =
        end + kCaptureRecordHeadLength + decode(bytesAt(end, kCaptureRecordHeadLength)).count;
    return fit(bytesAt(second, kCaptureRecordHeadLength), atUs) == Fit::No;
}

void CaptureReader::damageAt(qint64 offset)
{
    m_skips.push_back({offset, 0});
    m_inDamage = true;
    m_at = offset + 1;
}

bool CaptureReader::resync()
{
    qint64 cut = -1;
    const std::optional<qint64> found = findResync(m_at, kNoLimit, &cut);
    Skip& skip = m_skips.back();
    if (found) {
        m_inDamage = false;
        m_at = *found;
    } else if (cut >= 0) {
        m_cut = true; // a record may begin there, cut by the end of the bytes so far
        m_at = cut;
    } else {
        m_at = m_bufferAt + m_buffer.size(); // every place up to the end is no record
    }
    skip.bytes = m_at - skip.offset;
    return found.has_value();
}

std::optional<qint64> CaptureReader::findResync(qint64 from, qint64 to, qint64* firstCut)
{
    for (qint64 p = from; p < to; ++p) {
        if (firstCut)
            release(*firstCut >= 0 ? *firstCut : p);
        const QByteArrayView head = bytesAt(p, kCaptureRecordHeadLength);
        if (head.isEmpty())
            break;
        const Fit kind = fit(head, m_lastAtUs);
        if (kind == Fit::No)
            continue;
        auto noteCut = [&] {
            if (firstCut && *firstCut < 0)
                *firstCut = p;
        };
        if (kind == Fit::Partial) {
            noteCut();
            continue;
        }
        const Head h = decode(head);
        const qint64 end = p + kCaptureRecordHeadLength + h.count;
        const QByteArrayView bytes = bytesAt(p, end - p + kCaptureRecordHeadLength);
        if (bytes.size() < end - p) {
            noteCut();
            continue;
        }
        // A record over an hour after the last one read (a pause in the line after the damage)
        // is taken where the record after it agrees.
        const Fit after = fit(bytes.sliced(end - p), h.atUs);
        if (after == Fit::Sound || (after == Fit::Partial && kind == Fit::Sound))
            return p;
        if (after == Fit::Partial)
            noteCut();
    }
    return std::nullopt;
}

QByteArrayView CaptureReader::bytesAt(qint64 at, qint64 length)
{
    Q_ASSERT(at >= m_bufferAt);
    const qint64 wanted = at + length - m_bufferAt;
    while (m_buffer.size() < wanted && !m_drained && m_failure.isEmpty()) {
        const qsizetype had = m_buffer.size();
        const qint64 more = std::max(kBlock, wanted - had);
        m_buffer.resize(had + more);
        const qint64 n = m_file.read(m_buffer.data() + had, more);
        m_buffer.resize(had + std::max<qint64>(n, 0));
        if (n < 0)
            m_failure = QStringLiteral("the capture cannot be read beyond byte %1 (%2)")
                            .arg(m_bufferAt + had)
                            .arg(m_file.errorString());
        m_drained = n == 0; // until the next call of next(): more may be written meanwhile
    }
    const qint64 from = at - m_bufferAt;
    if (from >= m_buffer.size())
        return {};
    return QByteArrayView(m_buffer).sliced(from, std::min<qint64>(length, m_buffer.size() - from));
}

void CaptureReader::release(qint64 before)
{
    if (before - m_bufferAt > kBlock) {
        m_buffer.remove(0, before - m_bufferAt);
        m_bufferAt = before;
    }
}

QStringList CaptureReader::warnings() const
{
    QStringList said;
    if (!m_headerWhole && m_failure.isEmpty() && m_cut)
        said << QStringLiteral("the capture ends inside its header, after %1 bytes: it holds no "
                               "records")
                    .arg(m_bufferAt + m_buffer.size());
    for (const Skip& skip : m_skips) {
        const bool reachesTheEnd = m_inDamage && &skip == &m_skips.back();
        if (!reachesTheEnd)
            said << QStringLiteral("the capture is damaged at byte %1: %2 skipped, and reading "
                                   "went on at byte %3")
                        .arg(skip.offset)
                        .arg(bytesWere(skip.bytes))
                        .arg(skip.offset + skip.bytes);
        else if (m_cut)
            said << QStringLiteral("the capture is damaged at byte %1: %2 skipped")
                        .arg(skip.offset)
                        .arg(bytesWere(skip.bytes));
        else
            said << QStringLiteral("the capture is damaged at byte %1: the %2 bytes from there to "
                                   "its end hold no record and were skipped")
                        .arg(skip.offset)
                        .arg(skip.bytes);
    }
    if (!m_failure.isEmpty())
        said << m_failure;
    else if (m_cut && m_headerWhole)
        said << QStringLiteral("the capture ends inside a record at byte %1: it was read up to "
                               "its last whole record, %2 records")
                    .arg(m_at)
                    .arg(m_records);
    return said;
}

bool CaptureReader::rewind()
{
    m_at = m_lastRecordEnd = m_firstRecord;
    m_lastAtUs = 0;
    m_records = 0;
    m_inDamage = false;
    m_followsDamage = false;
    m_cut = false;
    m_skips.clear();
    m_buffer.clear();
    m_bufferAt = m_firstRecord;
    m_drained = false;
    // A named pipe reads from its start once, without a seek.
    if (!m_file.isOpen() || (m_file.pos() != m_bufferAt && !m_file.seek(m_bufferAt)))
        return false;
    // A read error may have passed; a header refused while following stays refused.
    if (m_headerWhole)
        m_failure.clear();
    return true;
}

} // namespace lumatrax
