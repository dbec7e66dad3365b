#include "common/outputfile.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumatrax {

namespace {

// What stands at a name, opened without making or cutting it and without waiting on a pipe.
constexpr int kAsItStands = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

} // namespace

std::optional<int> standardStreamOf(const QString& name)
{
    static const QRegularExpression numbered(QStringLiteral("^/(dev|proc/self)/fd/([0-9]{1,9})$"));
    const QRegularExpressionMatch match = numbered.match(name);
    if (match.hasMatch())
        return match.capturedView(2).toInt();
    if (name == u"-" || name == u"/dev/stdout" || name == u"/dev/stderr")
        return name == u"/dev/stderr" ? 2 : 1;
    return std::nullopt;
}

QByteArray fileKey(int fd)
{
    struct stat s = {};
    if (::fstat(fd, &s) != 0 || S_ISCHR(s.st_mode))
        return {};
    return QByteArray::number(quint64(s.st_dev)) + ':' + QByteArray::number(quint64(s.st_ino));
}

std::optional<SaveFailure> OutputFile::fail(int error, const QString& reason)
{
    if (!m_failure)
        m_failure = SaveFailure{
            m_name, reason.isEmpty() ? QString::fromLocal8Bit(std::strerror(error)) : reason,
            error};
    return m_failure;
}

std::optional<SaveFailure> OutputFile::open(const QString& fileName, Mode mode)
{
    cancel();
    m_failure.reset();
    m_name = fileName;
    m_target.clear();
    m_written = 0;
    const QByteArray path = QFile::encodeName(fileName);
    const auto stream = standardStreamOf(fileName);
    m_fd = stream ? ::fcntl(*stream, F_DUPFD_CLOEXEC, 0) : ::open(path.constData(), kAsItStands);
    int error = m_fd < 0 ? errno : 0;
    struct stat status = {};
    const bool link = error == ENOENT && ::lstat(path.constData(), &status) == 0;
    if (link || (error == ENOENT && mode == Mode::CreateNew)) {
        // Made under its name; a symbolic link that leads nowhere yet, the system follows.
        m_fd = ::open(path.constData(), kAsItStands | O_CREAT | (link ? 0 : O_EXCL), 0666);
        error = m_fd < 0 ? errno : 0;
        m_made = m_fd >= 0;
    }
    if (error == ENOENT && !link && mode != Mode::CreateNew && !fileName.isEmpty()) {
        // No file yet: made beside its name, in its directory as the system finds it.
        const QFileInfo info(fileName);
        const QString directory = info.dir().canonicalPath();
        m_target = m_key = QFile::encodeName(QDir(directory).filePath(info.fileName()));
        return directory.isEmpty() ? fail(ENOENT) : openBeside(-1);
    }
    if (error == ENXIO && ::stat(path.constData(), &status) == 0 && S_ISFIFO(status.st_mode))
        return fail(error, QStringLiteral("No process reads from this named pipe (%1).")
                               .arg(QString::fromLocal8Bit(std::strerror(error))));
    if (m_fd < 0)
        return fail(error);
    ::fstat(m_fd, &status); // of a descriptor just opened
    m_key = fileKey(m_fd);
    if (stream || S_ISCHR(status.st_mode) || S_ISFIFO(status.st_mode)) {
        m_way = Way::Stream;
        return std::nullopt;
    }
    m_way = Way::InPlace;
    m_target = QFile::encodeName(QFileInfo(fileName).canonicalFilePath());
    std::optional<SaveFailure> failure;
    if (!S_ISREG(status.st_mode))
        failure = fail(0, QStringLiteral("It is a block device, which is never written to."));
    else if (mode == Mode::CreateNew)
        failure = m_made ? std::nullopt : fail(EEXIST);
    else if (const auto beside = openBeside(m_fd); beside && mode == Mode::Replace)
        failure = beside;
    m_failure = failure; // ReplaceOrRewrite, no file beside it: rewritten where it stands
    if (failure)
        cancel();
    return failure;
}

std::optional<SaveFailure> OutputFile::openBeside(int keepFrom)
{
    // ".lumatrax-" and six letters or digits: 16 bytes, room beside any name a directory takes.
    const QByteArray directory = m_target.left(m_target.lastIndexOf('/') + 1);
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100 && (attempt == 0 || errno == EEXIST); ++attempt) {
        const quint32 random = QRandomGenerator::global()->bounded(1u << 30);
        m_temp = directory + ".lumatrax-" + QByteArray::number(random, 32).rightJustified(6, '0');
        fd = ::open(m_temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }
    int error = errno;
    // The file replaced keeps its owner and group, then its mode (a new owner clears set-user-ID).
    struct stat keep = {};
    if (fd >= 0 && keepFrom >= 0 &&
        (::fstat(keepFrom, &keep) != 0 || ::fchown(fd, keep.st_uid, keep.st_gid) != 0 ||
         ::fchmod(fd, keep.st_mode & 07777) != 0)) {
        error = errno;
        ::close(fd);
        ::unlink(m_temp.constData());
        m_temp.clear();
        return fail(error, QStringLiteral("Its owner and group cannot be kept (%1).")
                               .arg(QString::fromLocal8Bit(std::strerror(error))));
    }
    if (fd < 0) {
        m_temp.clear();
        return fail(error);
    }
    if (keepFrom >= 0)
        ::close(keepFrom);
    m_fd = fd;
    m_way = Way::Beside;
    return std::nullopt;
}

std::optional<SaveFailure> OutputFile::write(QByteArrayView bytes)
{
    if (m_failure || m_fd < 0)
        return m_failure ? m_failure : fail(EBADF);
    // SIGPIPE held back in this thread while it writes, and taken again if a write raised it.
    sigset_t pipeSignal;
    sigset_t previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    int error = 0;
    for (qsizetype done = 0; done < bytes.size() && error == 0;) {
        const ssize_t n = ::write(m_fd, bytes.data() + done, std::size_t(bytes.size() - done));
        pollfd ready = {m_fd, POLLOUT, 0}; // opened non-blocking: waits until it takes more
        if (n > 0)
            done += n;
        else if (n < 0 && errno == EAGAIN)
            ::poll(&ready, 1, -1);
        else if (n == 0 || errno != EINTR)
            error = n == 0 ? EIO : errno;
        m_written += std::max<ssize_t>(n, 0);
    }
    const timespec now = {};
    while (error == EPIPE && ::sigtimedwait(&pipeSignal, nullptr, &now) < 0 && errno == EINTR) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return error == 0 ? std::nullopt : fail(error);
}

std::optional<SaveFailure> OutputFile::reserve(qint64 size)
{
    // A file system that cannot take the room first goes on without it.
    if (!m_failure && m_way == Way::InPlace && size > m_written &&
        ::fallocate(m_fd, FALLOC_FL_KEEP_SIZE, off_t(m_written), off_t(size - m_written)) != 0 &&
        errno != EOPNOTSUPP)
        return fail(errno);
    return m_failure;
}

std::optional<SaveFailure> OutputFile::sync()
{
    if (!m_failure && m_way != Way::Stream && ::fdatasync(m_fd) != 0)
        return fail(errno);
    return m_failure;
}

void OutputFile::cutTo(qint64 size)
{
    if (m_way != Way::Stream && m_fd >= 0 && ::ftruncate(m_fd, off_t(size)) == 0) {
        m_written = size;
        ::lseek(m_fd, off_t(size), SEEK_SET);
    }
}

std::optional<SaveFailure> OutputFile::commit()
{
    auto failure = m_way == Way::Closed ? fail(EBADF) : m_failure;
    if (!failure && m_way == Way::InPlace && ::ftruncate(m_fd, off_t(m_written)) != 0)
        failure = fail(errno);
    if (!failure && m_way != Way::Stream && ::fdatasync(m_fd) != 0)
        failure = fail(errno);
    if (!failure && m_way == Way::Beside && ::rename(m_temp.constData(), m_target.constData()) != 0)
        failure = fail(errno);
    if (failure) {
        m_made = m_made && m_way == Way::Beside; // what was written under its own name stays
        cancel();
        return failure;
    }
    if (m_way == Way::Beside) {
        m_temp.clear();
        // The new name survives a power cut once the directory is synced; where the system
        // cannot, the content is in place all the same.
        const QByteArray directory = m_target.left(m_target.lastIndexOf('/') + 1);
        if (const int fd = ::open(directory.constData(), O_RDONLY | O_CLOEXEC); fd >= 0) {
            (void)::fsync(fd);
            ::close(fd);
        }
    }
    m_way = Way::Closed;
    m_made = false;
    if (::close(std::exchange(m_fd, -1)) != 0 && errno != EINTR)
        return fail(errno);
    return std::nullopt;
}

void OutputFile::cancel()
{
    if (!m_temp.isEmpty())
        ::unlink(m_temp.constData());
    if (m_made)
        ::unlink(m_target.constData());
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_way = Way::Closed;
    m_made = false;
    m_temp.clear();
}

} // namespace lumatrax
