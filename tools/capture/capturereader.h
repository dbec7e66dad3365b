#pragma once

// Reads a capture file record by record, so a capture of a whole shift is gone through with
// level memory.
//
// A file that does not begin with the capture magic, or whose header is damaged, is refused;
// so is one of a newer format version than this reader knows. A file that ends inside its header
// or inside a record, or whose next record is damaged (an unknown direction, no bytes, a time
// before the previous record's, as a power cut can leave behind), reads back up to the last
// whole record before that point, and warning() then says where and why reading stopped.

#include "tools/capture/captureformat.h"

#include <QFile>
#include <QString>

#include <optional>

namespace lumatrax {

class CaptureReader
{
public:
    // Opens the file and reads its header. The reason, naming the file, when it cannot be read or
    // is refused.
    [[nodiscard]] std::optional<QString> open(const QString& path);

    [[nodiscard]] const CaptureHeader& header() const { return m_header; }

    // The next whole record; nothing at the end of the file, or where reading stops early (see
    // warning()).
    [[nodiscard]] std::optional<CaptureRecord> next();

    // Why reading stopped before the end of the file; empty while it has not, or when the file
    // ended after a whole record.
    [[nodiscard]] const QString& warning() const { return m_warning; }

    // Records read since open() or rewind().
    [[nodiscard]] qint64 recordsRead() const { return m_records; }

    // Back to the first record. False when the file can no longer be read.
    bool rewind();

private:
    std::optional<QString> readHeader();
    std::optional<CaptureRecord> stop(const QString& why);

    QFile m_file;
    CaptureHeader m_header;
    qint64 m_firstRecord = 0; // offset of the first record
    bool m_ended = false;
    qint64 m_records = 0;
    std::int64_t m_lastAtUs = 0;
    QString m_warning;
};

} // namespace lumatrax
