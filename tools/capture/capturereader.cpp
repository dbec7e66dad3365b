#include "tools/capture/capturereader.h"

#include <QtEndian>

#include <limits>

namespace lumatrax {

namespace {

template <typename T> T get(const QByteArray& bytes, qsizetype at)
{
    return qFromLittleEndian<T>(bytes.constData() + at);
}

} // namespace

std::optional<QString> CaptureReader::open(const QString& path)
{
    m_file.close();
    m_file.setFileName(path);
    m_header = {};
    m_warning.clear();
    m_ended = false;
    m_records = 0;
    m_lastAtUs = 0;
    if (!m_file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1: %2").arg(path, m_file.errorString());
    if (const auto refused = readHeader()) {
        m_file.close();
        return refused;
    }
    return std::nullopt;
}

std::optional<QString> CaptureReader::readHeader()
{
    const QString name = m_file.fileName();
    const QByteArray head = m_file.read(0xFFFF);
    if (head.isEmpty() && m_file.error() != QFileDevice::NoError)
        return QStringLiteral("%1: %2").arg(name, m_file.errorString());
    if (head.isEmpty())
        return QStringLiteral("%1 is empty, not a Lumatrax capture").arg(name);
    if (!head.startsWith(kCaptureMagic))
        return QStringLiteral("%1 is not a Lumatrax capture").arg(name);

    auto cutInHeader = [&] {
        m_ended = true;
        m_firstRecord = head.size(); // a rewind finds the end at once
        m_warning = QStringLiteral("%1 ends inside its header, after %2 bytes: it holds no records")
                        .arg(name)
                        .arg(head.size());
        return std::nullopt;
    };
    const qsizetype at = kCaptureMagic.size();
    if (head.size() < at + 2)
        return cutInHeader();
    m_header.version = get<std::uint16_t>(head, at);
    if (m_header.version > kCaptureVersion)
        return QStringLiteral("%1 is a capture of format version %2, newer than this program reads "
                              "(version %3): read it with a newer Lumatrax")
            .arg(name)
            .arg(m_header.version)
            .arg(kCaptureVersion);
    if (m_header.version == 0)
        return QStringLiteral("%1 has a damaged header (format version 0)").arg(name);
    if (head.size() < at + 4)
        return cutInHeader();
    const int length = get<std::uint16_t>(head, at + 2);
    if (length < kCaptureFixedHeaderLength)
        return QStringLiteral("%1 has a damaged header (%2 bytes long)").arg(name).arg(length);
    if (head.size() < length)
        return cutInHeader();

    m_header.line.bitsPerSecond = get<std::uint32_t>(head, 12);
    m_header.line.dataBits = get<std::uint8_t>(head, 16);
    m_header.line.parity = Parity(get<std::uint8_t>(head, 17));
    m_header.line.stopBits = get<std::uint8_t>(head, 18);
    m_header.line.flowControl = get<std::uint8_t>(head, 19) != 0;
    m_header.startedAtUs = get<std::int64_t>(head, 20);
    const int deviceLength = get<std::uint16_t>(head, 28);
    if (kCaptureFixedHeaderLength + deviceLength > length)
        return QStringLiteral("%1 has a damaged header (a device name beyond its end)").arg(name);
    m_header.device = QString::fromUtf8(head.constData() + kCaptureFixedHeaderLength, deviceLength);

    m_firstRecord = length;
    if (!m_file.seek(m_firstRecord))
        return QStringLiteral("%1: %2").arg(name, m_file.errorString());
    return std::nullopt;
}

std::optional<CaptureRecord> CaptureReader::next()
{
    if (m_ended || !m_file.isOpen())
        return std::nullopt;
    const qint64 offset = m_file.pos();
    const QByteArray head = m_file.read(kCaptureRecordHeadLength);
    if (head.isEmpty() && m_file.error() == QFileDevice::NoError) {
        m_ended = true; // the end, after a whole record
        return std::nullopt;
    }
    if (head.size() < kCaptureRecordHeadLength)
        return stop(QStringLiteral("is cut short inside the record at byte %1").arg(offset));

    CaptureRecord record;
    const std::uint8_t direction = get<std::uint8_t>(head, 0);
    const int length = get<std::uint16_t>(head, 1);
    const std::uint64_t at = get<std::uint64_t>(head, 3);
    if (direction != std::uint8_t(CaptureDirection::ToProgram) &&
        direction != std::uint8_t(CaptureDirection::ToInstrument))
        return stop(QStringLiteral("has a damaged record at byte %1 (direction %2)")
                        .arg(offset)
                        .arg(direction));
    if (length == 0)
        return stop(QStringLiteral("has a damaged record at byte %1 (no bytes)").arg(offset));
    if (at > std::uint64_t(std::numeric_limits<std::int64_t>::max()) ||
        std::int64_t(at) < m_lastAtUs)
        return stop(
            QStringLiteral("has a damaged record at byte %1 (its time goes back)").arg(offset));

    record.direction = CaptureDirection(direction);
    record.atUs = std::int64_t(at);
    record.bytes = m_file.read(length);
    if (record.bytes.size() < length)
        return stop(QStringLiteral("is cut short inside the record at byte %1").arg(offset));
    m_lastAtUs = record.atUs;
    ++m_records;
    return record;
}

std::optional<CaptureRecord> CaptureReader::stop(const QString& why)
{
    m_ended = true;
    const QString reason = m_file.error() == QFileDevice::NoError
                               ? why
                               : QStringLiteral("cannot be read on (%1)").arg(m_file.errorString());
    m_warning = QStringLiteral("%1 %2: read up to its last whole record, %3 records")
                    .arg(m_file.fileName(), reason)
                    .arg(m_records);
    return std::nullopt;
}

bool CaptureReader::rewind()
{
    if (!m_file.isOpen() || !m_file.seek(m_firstRecord))
        return false;
    // A cut or damaged tail stops reading again at the same record, with the same warning.
    m_ended = false;
    m_records = 0;
    m_lastAtUs = 0;
    return true;
}

} // namespace lumatrax
