#include "common/savefile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace lumatrax {

namespace {

#ifdef Q_OS_UNIX

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Rewrites an existing regular file where it stands. The file is neither created nor emptied on
// opening; its earlier content is overwritten from the start and cut to the new length at the
// end. `refused` is what the atomic way met, reported when the file turns out to be no regular
// file after all.
std::optional<SaveFailure> writeInPlace(const QString& fileName, QByteArrayView bytes,
                                        const QString& refused)
{
    const QByteArray path = QFile::encodeName(fileName);
    // O_NONBLOCK: a named pipe put there meanwhile fails at once instead of waiting for a reader.
    int fd = -1;
    do
        fd = ::open(path.constData(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return SaveFailure{fileName, systemReason(errno)};

    int error = 0;
    struct stat status = {};
    if (::fstat(fd, &status) != 0) {
        error = errno;
    } else if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        return SaveFailure{fileName, refused};
    }
#ifdef Q_OS_LINUX
    // The room for the whole new content, taken before a byte is overwritten: on a full disk the
    // earlier content stays as it was. The size is left as it is until the content is written.
    // A file system that cannot reserve room goes on without it.
    if (error == 0 && !bytes.isEmpty() &&
        ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, off_t(bytes.size())) != 0 && errno != EOPNOTSUPP &&
        errno != ENOSYS)
        error = errno;
#endif
    for (qsizetype done = 0; error == 0 && done < bytes.size();) {
        const ssize_t written = ::write(fd, bytes.data() + done, std::size_t(bytes.size() - done));
        if (written > 0)
            done += written;
        else if (written == 0)
            error = EIO;
        else if (errno != EINTR)
            error = errno;
    }
    if (error == 0 && ::ftruncate(fd, off_t(bytes.size())) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    if (error != 0)
        return SaveFailure{fileName, systemReason(error)};
    return std::nullopt;
}

#else

std::optional<SaveFailure> writeInPlace(const QString& fileName, QByteArrayView bytes,
                                        const QString&)
{
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::ExistingOnly) ||
        file.write(bytes.data(), bytes.size()) != bytes.size() || !file.flush())
        return SaveFailure{fileName, file.errorString()};
    file.close();
    if (file.error() != QFileDevice::NoError)
        return SaveFailure{fileName, file.errorString()};
    return std::nullopt;
}

#endif

} // namespace

std::optional<SaveFailure> saveFile(const QString& fileName, QByteArrayView bytes)
{
    // Unbuffered, and not in text mode: the bytes are written as they are, and every write
    // reaches the system at once, so a full disk fails at the write that meets it, with its
    // reason. (Closing the file clears the reason of a failed buffered flush.)
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        // No temporary file could be made beside the target. A file that is there already is
        // rewritten in place, as a plain save would; any other target fails as it stands.
        if (QFileInfo(fileName).isFile())
            return writeInPlace(fileName, bytes, file.errorString());
        return SaveFailure{fileName, file.errorString()};
    }
    // A short write (a disk filling up) carries no reason of its own; writing the rest then
    // fails at once with the system's.
    for (qsizetype done = 0; done < bytes.size();) {
        const qint64 written = file.write(bytes.data() + done, bytes.size() - done);
        if (written <= 0) {
            const QString reason = file.errorString();
            file.cancelWriting();
            return SaveFailure{fileName, reason}; // the destructor removes the temporary file
        }
        done += written;
    }
    if (!file.commit())
        return SaveFailure{fileName, file.errorString()};
    return std::nullopt;
}

} // namespace lumatrax
