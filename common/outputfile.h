#pragma once

// Writing a file: the one rule by which the program and the tools open what they write, behind
// saveFile() (common/savefile.h), the judge's table and picture and the tap's capture. Plain Qt
// Core and POSIX (Linux); nothing of the other folders.
//
// The name is first opened as it stands, never made or cut, and what that opens decides:
// - standardStreamOf() names are written through a copy of that descriptor, as it stands;
// - a character device or a named pipe is written as it stands (a named pipe that no process
//   reads fails at once); a directory, a block device or a socket is refused;
// - a regular file the user may not write is refused before any byte. Otherwise the content goes
//   to a hidden file beside it (symbolic links followed, and kept), renamed over it on commit()
//   with its mode, owner and group. Where that cannot be (the directory takes no new file, the
//   owner cannot be kept), Replace fails before a byte is written and ReplaceOrRewrite rewrites
//   the file where it stands;
// - no file yet: it is made beside its name and renamed in place on commit(); CreateNew makes it
//   under its name at once (through a symbolic link that leads nowhere yet) and refuses a file
//   that is there already.
// A pipe whose reader has gone fails with EPIPE; SIGPIPE never ends the program.

#include "common/savefile.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

namespace lumatrax {

// The descriptor a name stands for: 1 for "-" and /dev/stdout, 2 for /dev/stderr, N for
// /dev/fd/N and /proc/self/fd/N; nothing for any other name.
[[nodiscard]] std::optional<int> standardStreamOf(const QString& name);

// What an open descriptor leads to, "device:inode", to tell whether two names are one file;
// empty for a character device (/dev/null is never one file with another), or on failure.
[[nodiscard]] QByteArray fileKey(int fd);

class OutputFile
{
public:
    enum class Mode {
        Replace,          // a regular file is replaced whole on commit(), or refused: outputs
        ReplaceOrRewrite, // the same, else rewritten in place: the whole saves
        CreateNew,        // made new, written under its name as the data comes: the capture
    };

    OutputFile() = default;
    ~OutputFile() { cancel(); } // gives up what commit() did not put in place
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens fileName by the rule above. The failure names the file as the caller gave it.
    [[nodiscard]] std::optional<SaveFailure> open(const QString& fileName, Mode mode);

    // Writes bytes after those written before, all of them. The first failure sticks: every
    // later call returns it.
    [[nodiscard]] std::optional<SaveFailure> write(QByteArrayView bytes);
    // Takes the room for `size` bytes before a file rewritten in place is touched, so a full disk
    // fails with the earlier content as it was.
    [[nodiscard]] std::optional<SaveFailure> reserve(qint64 size);
    // Makes a file's content durable (fdatasync).
    [[nodiscard]] std::optional<SaveFailure> sync();
    // Cuts a file back to its first `size` bytes.
    void cutTo(qint64 size);

    // Puts the file in place (renamed, then its directory synced as far as the system lets it; or
    // cut to its length in place) and closes it. After a failure a file beside the target is gone
    // and the earlier file is as it was.
    [[nodiscard]] std::optional<SaveFailure> commit();
    // Gives the writing up: a file beside the target, or one this object made, is removed.
    void cancel();

    [[nodiscard]] bool isOpen() const { return m_fd >= 0; }
    // The descriptor written through while open, -1 otherwise; for a lock on the file.
    [[nodiscard]] int descriptor() const { return m_fd; }
    // Bytes written since open().
    [[nodiscard]] qint64 size() const { return m_written; }
    // As fileKey() of what open() found, or for a file not there yet the real path it will take.
    [[nodiscard]] const QByteArray& key() const { return m_key; }

private:
    enum class Way { Closed, Stream, InPlace, Beside };

    std::optional<SaveFailure> fail(int error, const QString& reason = {});
    std::optional<SaveFailure> openBeside(int keepFrom);

    Way m_way = Way::Closed;
    int m_fd = -1;
    bool m_made = false; // the file at m_target was made by this object
    QString m_name;      // as the caller named it
    QByteArray m_target; // a regular file's real path, links followed
    QByteArray m_temp;   // the hidden file beside it
    QByteArray m_key;
    qint64 m_written = 0;
    std::optional<SaveFailure> m_failure;
};

} // namespace lumatrax
