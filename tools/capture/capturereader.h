#pragma once

// Reads a capture file record by record, so a capture of a whole shift is gone through with
// level memory, and follows a capture that is still being written: at the end of the bytes
// written so far next() gives nothing, and called again later it goes on with what came since.
//
// A file that does not begin with the capture magic, or whose header is damaged, is refused;
// so is one of a newer format version than this reader knows.
//
// A record head is sound when its direction is I or P, its count 1..4096 and its time not
// before the last record read. A record is read once it is whole and the head after it could
// follow it (or nothing follows yet). Where that fails, the damaged record is passed over, never
// the rest of the file: reading resumes at the first place after it where two sound records
// follow each other, the second within an hour of the first (the first may lie over an hour on,
// where the line stood still; unless it does, the second may be cut by the end of the bytes). Each
// skip is kept (skips()): where the damage began and how many bytes were passed over. The damaged
// record:
//
// - a record whose head is not sound;
// - of a record and the head after it that cannot follow it, the later one, unless the
//   earlier's time lies over an hour on (a line may stand still that long, but then the record
//   after it agrees), two sound records begin inside it (its count is wrong), or two begin
//   right after it that follow the record before it and go back before its time (its time is
//   wrong);
// - a record the bytes end inside, when two sound records begin inside it (its count is
//   wrong). Otherwise that is a cut: reading stops before it and endsInsideRecord() tells it,
//   so a follower of a capture still being written waits for more rather than warning.
//
// At the growing end of a capture being written a record is taken once whole; where damage lies
// at that end, a reader of the finished file may decide otherwise with the bytes after it.

#include "tools/capture/captureformat.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace lumatrax {

class CaptureReader
{
public:
    // Damaged bytes passed over.
    struct Skip
    {
        qint64 offset = 0; // where the damage begins, in bytes from the start of the file
        qint64 bytes = 0;

        friend bool operator==(const Skip&, const Skip&) = default;
    };

    // Opens the file and reads its header. The reason, naming the file, when it cannot be read or
    // is refused. Given `fd`, an open descriptor of it, reads through that (the caller keeps and
    // closes it) rather than opening the name again.
    [[nodiscard]] std::optional<QString> open(const QString& path, int fd = -1);

    [[nodiscard]] const CaptureHeader& header() const { return m_header; }

    // The next whole record; nothing at the end of the bytes written so far, or after a read
    // error (see warnings()).
    [[nodiscard]] std::optional<CaptureRecord> next();

    // Whether damaged bytes were skipped just before the record next() gave last: what the
    // program received across them is unknown.
    [[nodiscard]] bool followsDamage() const { return m_followsDamage; }
    // Every stretch skipped so far, in order. While the damage reaches the end of the bytes
    // written so far, the last one grows as they grow.
    [[nodiscard]] const std::vector<Skip>& skips() const { return m_skips; }
    // Whether the bytes written so far end inside a record or inside the header: a cut file, or
    // the growing end of a capture still being written.
    [[nodiscard]] bool endsInsideRecord() const { return m_cut; }
    // Where the last whole record read ends (where the first one begins while none was read).
    [[nodiscard]] qint64 lastRecordEnd() const { return m_lastRecordEnd; }

    // What the reading of the file so far has to say, one sentence each about "the capture":
    // every skip, an end inside a record, a read error. Empty for a sound file read whole.
    [[nodiscard]] QStringList warnings() const;

    // Records read since open() or rewind().
    [[nodiscard]] qint64 recordsRead() const { return m_records; }

    // Back to the first record. False when the file can no longer be read.
    bool rewind();

private:
    enum class HeaderState { Whole, Cut, Refused };

    HeaderState readHeader(QString& refusal);
    std::optional<CaptureRecord> readRecord();
    bool contradicted(qint64 at, qint64 end, std::int64_t atUs);
    void damageAt(qint64 offset);
    bool resync();
    std::optional<qint64> findResync(qint64 from, qint64 to, qint64* firstCut);
    QByteArrayView bytesAt(qint64 at, qint64 length);
    void release(qint64 before);

    QFile m_file;
    QString m_name; // as open() was given it
    CaptureHeader m_header;
    bool m_headerWhole = false;
    QString m_failure; // a read error, or a header refused while following

    // The file's bytes from m_bufferAt on, as far as they have been read.
    QByteArray m_buffer;
    qint64 m_bufferAt = 0;
    bool m_drained = false; // the file had no more bytes during this call of next()

    qint64 m_firstRecord = 0;
    qint64 m_at = 0; // the next record, or the next place a skip looks at
    qint64 m_lastRecordEnd = 0;
    std::int64_t m_lastAtUs = 0;
    qint64 m_records = 0;
    bool m_inDamage = false;
    bool m_followsDamage = false;
    bool m_cut = false;
    std::vector<Skip> m_skips;
};

} // namespace lumatrax
