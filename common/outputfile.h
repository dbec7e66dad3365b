#pragma once

// Writing a file as a stream: the one rule by which the program and the tools open what they
// write, behind saveFile() (common/savefile.h) as well as the judge's table and the tap's
// capture. It needs no widgets and includes nothing of the other folders.
//
// What stands at the name decides how it is written, never what a rename would allow:
// - a symbolic link is followed to the name it leads to, and the link stays as it is;
// - a regular file is replaced whole (Mode::Replace): the content goes into a new file beside
//   it, made durable and renamed over it on commit(), so a failed run leaves the earlier file as
//   it was and no temporary file behind. Where the directory takes no new file (read-only, no
//   free inode), the existing file is rewritten where it stands and cut to the new length on
//   commit(). Mode::CreateNew refuses a file that is there already;
// - no file at all: one is made, beside (Replace) or at once under its name (CreateNew);
// - a character device or a named pipe is opened and written as it stands, never replaced. A
//   named pipe that no process reads fails at once;
// - a directory, a block device or a socket is refused with a reason.
//
// Writing into a pipe whose reader has gone fails with the system's reason; it never ends the
// program with SIGPIPE.

#include "common/savefile.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <vector>

namespace lumatrax {

class OutputFile
{
public:
    enum class Mode {
        Replace,   // a regular file is replaced whole, on commit()
        CreateNew, // a regular file is made new and written under its name as the data comes
    };

    OutputFile() = default;
    // Gives up what commit() did not put in place (see cancel()).
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens fileName by the rule above. The failure names the file as the caller gave it.
    [[nodiscard]] std::optional<SaveFailure> open(const QString& fileName, Mode mode);
    // Writes to a descriptor that is open already (standard output), as it stands; commit() and
    // cancel() leave it open. `name` is what failures call it.
    void adopt(int fd, const QString& name);

    // Writes bytes after those written before. Small writes are gathered and handed to the
    // system in blocks; call flush() to hand them over now. The first failure sticks: every
    // later call returns it.
    [[nodiscard]] std::optional<SaveFailure> write(QByteArrayView bytes);
    [[nodiscard]] std::optional<SaveFailure> flush();
    // Takes the room for `size` bytes before a file rewritten where it stands is touched, so a
    // full disk fails with the earlier content as it was. Does nothing otherwise.
    [[nodiscard]] std::optional<SaveFailure> reserve(qint64 size);
    // Hands over what is gathered and makes the file's content durable (fdatasync). A device or
    // a pipe has nothing to make durable.
    [[nodiscard]] std::optional<SaveFailure> sync();
    // Cuts a file of this object's own back to its first `size` bytes, forgetting what is
    // gathered; a device or a pipe is left alone.
    void cutTo(qint64 size);

    // Hands over what is left and puts the file in place: renamed over the target, or cut to
    // its new length where it was rewritten in place; then closes it. The first failure, if any;
    // after a failure the earlier file stays as it was (when it was not rewritten in place).
    [[nodiscard]] std::optional<SaveFailure> commit();
    // Gives the writing up: a file beside the target is removed, a file made by CreateNew is
    // removed, anything else is closed as it stands.
    void cancel();

    [[nodiscard]] bool isOpen() const { return m_fd >= 0; }
    // The descriptor written to, for the caller's own waiting (poll); -1 when closed.
    [[nodiscard]] int descriptor() const { return m_fd; }
    // Bytes handed over to the system or gathered since open().
    [[nodiscard]] qint64 size() const { return m_written + qint64(m_buffer.size()); }
    // True when what is written is a device or a pipe rather than a file of its own.
    [[nodiscard]] bool isStream() const { return m_way == Way::Stream || m_way == Way::Adopted; }

private:
    enum class Way { Closed, Beside, InPlace, NewFile, Stream, Adopted };

    void reset(const QString& name);
    std::optional<SaveFailure> failWith(int error);
    std::optional<SaveFailure> failWith(const QString& reason, int error = 0);
    std::optional<SaveFailure> openBeside();
    std::optional<SaveFailure> writeOut(const char* data, qint64 size);
    std::optional<SaveFailure> putBesideInPlace();
    void closeDescriptor();

    Way m_way = Way::Closed;
    int m_fd = -1;
    bool m_syncable = false;    // a regular file: fdatasync makes sense
    bool m_unnamed = false;     // Beside: the file has no name yet (O_TMPFILE)
    QString m_name;             // as the caller named it
    QByteArray m_target;        // the name written, symbolic links followed
    QByteArray m_besideName;    // Beside, named: the file's name beside the target
    int m_keepMode = -1;        // Beside: the permissions of the file it replaces
    qint64 m_written = 0;       // bytes handed to the system
    std::vector<char> m_buffer; // bytes gathered, not yet handed over; keeps its room
    std::optional<SaveFailure> m_failure;
};

} // namespace lumatrax
