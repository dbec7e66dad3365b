#include "tools/capture/captureformat.h"

#include <QtEndian>

#include <algorithm>

namespace lumatrax {

namespace {

template <typename T> void put(QByteArray& out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian(value, bytes);
    out.append(bytes, qsizetype(sizeof(T)));
}

// The longest prefix of `utf8` of at most `limit` bytes that ends on a character boundary.
QByteArray cutUtf8(QByteArray utf8, qsizetype limit)
{
    if (utf8.size() <= limit)
        return utf8;
    qsizetype end = limit;
    while (end > 0 && (std::uint8_t(utf8.at(end)) & 0xC0) == 0x80)
        --end;
    utf8.truncate(end);
    return utf8;
}

} // namespace

QByteArray encodeCaptureHeader(const CaptureHeader& header)
{
    const QByteArray device = cutUtf8(header.device.toUtf8(), 0xFFFF - kCaptureFixedHeaderLength);
    QByteArray out;
    out.reserve(kCaptureFixedHeaderLength + device.size());
    out.append(kCaptureMagic.data(), kCaptureMagic.size());
    put<std::uint16_t>(out, header.version);
    put<std::uint16_t>(out, std::uint16_t(kCaptureFixedHeaderLength + device.size()));
    put<std::uint32_t>(out, header.line.bitsPerSecond);
    put<std::uint8_t>(out, header.line.dataBits);
    put<std::uint8_t>(out, std::uint8_t(header.line.parity));
    put<std::uint8_t>(out, header.line.stopBits);
    put<std::uint8_t>(out, header.line.flowControl ? 1 : 0);
    put<std::int64_t>(out, header.startedAtUs);
    put<std::uint16_t>(out, std::uint16_t(device.size()));
    out.append(device);
    return out;
}

std::array<char, kCaptureRecordHeadLength> encodeRecordHead(CaptureDirection direction,
                                                            std::int64_t atUs, qsizetype length)
{
    Q_ASSERT(length >= 1 && length <= kCaptureMaxRecordBytes);
    std::array<char, kCaptureRecordHeadLength> head{};
    head[0] = char(direction);
    qToLittleEndian(std::uint16_t(length), head.data() + 1);
    qToLittleEndian(std::uint64_t(std::max<std::int64_t>(atUs, 0)), head.data() + 3);
    return head;
}

void appendCaptureRecord(QByteArray& out, CaptureDirection direction, std::int64_t atUs,
                         QByteArrayView bytes)
{
    const auto head = encodeRecordHead(direction, atUs, bytes.size());
    out.append(head.data(), qsizetype(head.size()));
    out.append(bytes.data(), bytes.size());
}

QString describeLine(const LineSettings& line)
{
    const char parity = line.parity == Parity::Odd ? 'O' : line.parity == Parity::Even ? 'E' : 'N';
    return QStringLiteral("%1%2%3 at %4 bit/s, %5")
        .arg(line.dataBits)
        .arg(QLatin1Char(parity))
        .arg(line.stopBits)
        .arg(line.bitsPerSecond)
        .arg(line.flowControl ? QStringLiteral("hardware flow control")
                              : QStringLiteral("no flow control"));
}

} // namespace lumatrax
