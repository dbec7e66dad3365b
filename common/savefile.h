#pragma once

// Saving a whole file: the one writer behind the configuration file and the report. It needs no
// widgets and includes nothing of the other folders. It writes by the rule of
// common/outputfile.h: a symbolic link is followed and kept, a character device or a named pipe
// is written as it stands, a directory or a block device is refused, a regular file the user may
// not write is refused ("Permission denied"), and only a regular file is ever replaced.
//
// A regular file gets its content through a hidden file beside it, renamed over it with its mode,
// owner and group only once every byte is written, so a crash, a full disk or a vanished
// directory never leaves a half-written file: an earlier file of that name stays as it was. A
// failed save removes its hidden file; a process killed while it writes may leave one
// (".lumatrax-" and six letters or digits) beside the file.
//
// Where the directory takes no new file (it is read-only, or the file system has no free inode),
// or the file's owner or group cannot be kept (a group-writable file of another user), an
// existing writable file is rewritten in place, as a plain save would. The room for the new
// content is taken first, so a full disk fails before a byte of the earlier content is touched;
// only a fault of the device in the middle of writing (an I/O error) can leave that file part
// old, part new.

#include <QByteArrayView>
#include <QString>

#include <optional>

namespace lumatrax {

// Why a file could not be saved: the file as the caller named it, and the system's reason
// ("Permission denied", "No space left on device").
struct SaveFailure
{
    QString fileName;
    QString reason;
    int error =
        0; // the system's error number behind the reason; 0 for a refusal of the writer's own
};

// Makes bytes the whole content of fileName. Returns the failure, or nothing on success.
[[nodiscard]] std::optional<SaveFailure> saveFile(const QString& fileName, QByteArrayView bytes);

} // namespace lumatrax
