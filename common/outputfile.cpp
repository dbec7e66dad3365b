#include "common/outputfile.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <utility>

#ifndef Q_OS_UNIX
#error "Files are opened and written through their descriptors; this platform needs its own."
#endif

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumatrax {

namespace {

// Writes smaller than this are gathered before they go to the system.
constexpr qsizetype kBlock = 64 * 1024;
// Symbolic links followed one after another before the name counts as a loop.
constexpr int kMaxLinks = 40;
// Names tried for a file beside the target before giving up.
constexpr int kBesideAttempts = 100;

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

int openRetrying(const char* path, int flags, mode_t mode = 0)
{
    int fd = -1;
    do
        fd = ::open(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// The directory part of a name, with its slash ("" for a name without one).
QByteArray directoryOf(const QByteArray& path)
{
    return path.left(path.lastIndexOf('/') + 1);
}

// A hidden name beside `target`, new with each call: ".<name>.<random>" in its directory.
QByteArray hiddenNameBeside(const QByteArray& target)
{
    const QByteArray directory = directoryOf(target);
    return directory + '.' + target.mid(directory.size()) + '.' +
           QByteArray::number(QRandomGenerator::global()->generate(), 36);
}

// Where a name leads: symbolic links followed to the name at their end, which may not exist.
struct Target
{
    QByteArray path;
    bool exists = false;
    struct stat status = {};
    int error = 0; // the name cannot be looked at (a missing directory is no error here)
};

Target follow(QByteArray path)
{
    Target target;
    for (int links = 0; links <= kMaxLinks; ++links) {
        target.path = path;
        if (::lstat(path.constData(), &target.status) != 0) {
            if (errno != ENOENT)
                target.error = errno;
            return target;
        }
        if (!S_ISLNK(target.status.st_mode)) {
            target.exists = true;
            return target;
        }
        QByteArray link(qsizetype(target.status.st_size) + 1, '\0');
        for (;;) {
            const ssize_t n = ::readlink(path.constData(), link.data(), std::size_t(link.size()));
            if (n < 0) {
                target.error = errno;
                return target;
            }
            if (n < link.size()) {
                link.truncate(n);
                break;
            }
            link.resize(link.size() * 2); // the link changed meanwhile
        }
        path = link.startsWith('/') ? link : directoryOf(path) + link;
    }
    target.error = ELOOP;
    return target;
}

// What is not a file, nor a device or a pipe that takes a stream, and is never written.
std::optional<QString> refusalOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return systemReason(EISDIR);
    if (S_ISBLK(mode))
        return QStringLiteral("It is a block device, which is never written to.");
    if (S_ISSOCK(mode))
        return QStringLiteral("It is a socket, not a file.");
    return std::nullopt;
}

// One write() to a device or a pipe with SIGPIPE held back in this thread: a reader that has gone
// gives EPIPE and no signal ends the program.
ssize_t writeWithoutSigpipe(int fd, const char* data, std::size_t size)
{
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    const ssize_t n = ::write(fd, data, size);
    const int error = errno;
    if (n < 0 && error == EPIPE && !wasPending) {
        // Takes the signal this write raised, if it is held for this thread.
        const timespec now = {0, 0};
        while (::sigtimedwait(&pipeSignal, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return n;
}

} // namespace

OutputFile::~OutputFile()
{
    cancel();
}

std::optional<SaveFailure> OutputFile::failWith(int error)
{
    return failWith(systemReason(error), error);
}

std::optional<SaveFailure> OutputFile::failWith(const QString& reason, int error)
{
    if (!m_failure)
        m_failure = SaveFailure{m_name, reason, error};
    return m_failure;
}

void OutputFile::reset(const QString& name)
{
    cancel();
    m_failure.reset();
    m_name = name;
    m_target.clear();
    m_keepMode = -1;
    m_syncable = false;
    m_written = 0;
    m_buffer.reserve(std::size_t(kBlock));
}

void OutputFile::adopt(int fd, const QString& name)
{
    reset(name);
    m_fd = fd;
    m_way = Way::Adopted;
    struct stat status = {};
    m_syncable = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

std::optional<SaveFailure> OutputFile::open(const QString& fileName, Mode mode)
{
    reset(fileName);
    if (fileName.isEmpty())
        return failWith(ENOENT);
    const Target target = follow(QFile::encodeName(fileName));
    if (target.error != 0)
        return failWith(target.error);
    m_target = target.path;

    if (target.exists) {
        const mode_t kind = target.status.st_mode;
        if (const auto refusal = refusalOf(kind))
            return failWith(*refusal, S_ISDIR(kind) ? EISDIR : 0);
        if (S_ISCHR(kind) || S_ISFIFO(kind)) {
            // Not blocking while it opens: a named pipe without a reader fails at once (ENXIO).
            const int fd =
                openRetrying(m_target.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (fd < 0) {
                const int error = errno;
                if (error == ENXIO && S_ISFIFO(kind))
                    return failWith(QStringLiteral("No process reads from this named pipe (%1).")
                                        .arg(systemReason(error)),
                                    error);
                return failWith(error);
            }
            m_fd = fd;
            m_way = Way::Stream;
            struct stat opened = {};
            if (::fstat(fd, &opened) != 0 ||
                !(S_ISCHR(opened.st_mode) || S_ISFIFO(opened.st_mode))) {
                // Something else took its place meanwhile; it is written by the rule next time.
                closeDescriptor();
                return failWith(EAGAIN);
            }
            // Written blocking from now on, as a plain write would.
            const int flags = ::fcntl(fd, F_GETFL);
            if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
                const int error = errno;
                closeDescriptor();
                return failWith(error);
            }
            return std::nullopt;
        }
        if (mode == Mode::CreateNew)
            return failWith(EEXIST);
        m_keepMode = int(target.status.st_mode & 07777);
    }

    if (mode == Mode::CreateNew) {
        const int fd = openRetrying(m_target.constData(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd < 0)
            return failWith(errno);
        m_fd = fd;
        m_way = Way::NewFile;
        m_syncable = true;
        return std::nullopt;
    }

    const auto besideFailure = openBeside();
    if (!besideFailure)
        return std::nullopt;
    if (!target.exists)
        return besideFailure;
    // No new file beside it: the existing file is rewritten where it stands, as a plain save
    // would. Not blocking while it opens, in case a named pipe was put there meanwhile.
    m_failure.reset();
    const int fd = openRetrying(m_target.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return failWith(errno);
    struct stat opened = {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        return failWith(besideFailure->reason, besideFailure->error);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    m_fd = fd;
    m_way = Way::InPlace;
    m_syncable = true;
    return std::nullopt;
}

std::optional<SaveFailure> OutputFile::openBeside()
{
    const QByteArray directory = directoryOf(m_target);
#ifdef O_TMPFILE
    // A file without a name until it is complete: a run cut short leaves nothing behind.
    int fd = openRetrying(directory.isEmpty() ? "." : directory.constData(),
                          O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
        m_unnamed = true;
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return failWith(errno);
    }
#else
    int fd = -1;
#endif
    if (fd < 0) {
        // A file system without unnamed files: a hidden name beside the target.
        for (int attempt = 0; fd < 0 && attempt < kBesideAttempts; ++attempt) {
            m_besideName = hiddenNameBeside(m_target);
            fd = openRetrying(m_besideName.constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST) {
                m_besideName.clear();
                return failWith(errno);
            }
        }
        if (fd < 0) {
            m_besideName.clear();
            return failWith(EEXIST);
        }
    }
    // The file it replaces keeps its permissions.
    if (m_keepMode >= 0)
        ::fchmod(fd, mode_t(m_keepMode));
    m_fd = fd;
    m_way = Way::Beside;
    m_syncable = true;
    return std::nullopt;
}

std::optional<SaveFailure> OutputFile::writeOut(const char* data, qint64 size)
{
    const bool stream = isStream();
    for (qint64 done = 0; done < size;) {
        const std::size_t rest = std::size_t(size - done);
        const ssize_t n = stream ? writeWithoutSigpipe(m_fd, data + done, rest)
                                 : ::write(m_fd, data + done, rest);
        if (n > 0) {
            done += n;
            m_written += n;
        } else if (n == 0) {
            return failWith(EIO);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A descriptor handed over non-blocking: wait until it takes more.
            pollfd ready = {m_fd, POLLOUT, 0};
            if (::poll(&ready, 1, -1) < 0 && errno != EINTR)
                return failWith(errno);
        } else if (errno != EINTR) {
            return failWith(errno);
        }
    }
    return std::nullopt;
}

std::optional<SaveFailure> OutputFile::write(QByteArrayView bytes)
{
    if (m_failure)
        return m_failure;
    if (m_fd < 0)
        return failWith(EBADF);
    if (qsizetype(m_buffer.size()) + bytes.size() >= kBlock) {
        if (const auto failure = flush())
            return failure;
        if (bytes.size() >= kBlock)
            return writeOut(bytes.data(), bytes.size());
    }
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
    return std::nullopt;
}

std::optional<SaveFailure> OutputFile::flush()
{
    if (m_failure)
        return m_failure;
    if (m_buffer.empty())
        return std::nullopt;
    const auto failure = writeOut(m_buffer.data(), qint64(m_buffer.size()));
    m_buffer.clear(); // keeps its room
    return failure;
}

std::optional<SaveFailure> OutputFile::reserve(qint64 size)
{
    if (m_failure)
        return m_failure;
#ifdef Q_OS_LINUX
    // A file system that cannot reserve room goes on without it.
    if (m_way == Way::InPlace && size > m_written &&
        ::fallocate(m_fd, FALLOC_FL_KEEP_SIZE, off_t(m_written), off_t(size - m_written)) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS)
        return failWith(errno);
#else
    Q_UNUSED(size);
#endif
    return std::nullopt;
}

std::optional<SaveFailure> OutputFile::sync()
{
    if (const auto failure = flush())
        return failure;
    if (m_syncable && ::fdatasync(m_fd) != 0)
        return failWith(errno);
    return std::nullopt;
}

void OutputFile::cutTo(qint64 size)
{
    m_buffer.clear();
    if (m_way == Way::Beside || m_way == Way::InPlace || m_way == Way::NewFile) {
        if (::ftruncate(m_fd, off_t(size)) == 0) {
            m_written = size;
            ::lseek(m_fd, off_t(size), SEEK_SET);
        }
    }
}

std::optional<SaveFailure> OutputFile::putBesideInPlace()
{
    if (m_unnamed) {
        // Given a name beside the target first: rename() then replaces the target in one step.
        const QByteArray procName = "/proc/self/fd/" + QByteArray::number(m_fd);
        for (int attempt = 0; m_besideName.isEmpty() && attempt < kBesideAttempts; ++attempt) {
            const QByteArray name = hiddenNameBeside(m_target);
            if (::linkat(AT_FDCWD, procName.constData(), AT_FDCWD, name.constData(),
                         AT_SYMLINK_FOLLOW) == 0)
                m_besideName = name;
            else if (errno != EEXIST)
                return failWith(errno);
        }
        if (m_besideName.isEmpty())
            return failWith(EEXIST);
        m_unnamed = false;
    }
    if (::rename(m_besideName.constData(), m_target.constData()) != 0)
        return failWith(errno);
    m_besideName.clear();
    return std::nullopt;
}

std::optional<SaveFailure> OutputFile::commit()
{
    if (m_way == Way::Closed)
        return m_failure ? m_failure : failWith(EBADF);
    auto failure = flush();
    if (!failure && (m_way == Way::Beside || m_way == Way::InPlace)) {
        if (m_way == Way::InPlace && ::ftruncate(m_fd, off_t(m_written)) != 0)
            failure = failWith(errno);
        else if (::fdatasync(m_fd) != 0)
            failure = failWith(errno);
    }
    if (!failure && m_way == Way::Beside)
        failure = putBesideInPlace();
    if (failure) {
        // A file beside the target goes; what was written under its own name stays.
        if (m_way == Way::Beside)
            cancel();
        else
            closeDescriptor();
        return failure;
    }
    if (m_way == Way::Adopted) {
        m_fd = -1;
        m_way = Way::Closed;
        return std::nullopt;
    }
    const int fd = std::exchange(m_fd, -1);
    m_way = Way::Closed;
    if (::close(fd) != 0 && errno != EINTR)
        return failWith(errno);
    return std::nullopt;
}

void OutputFile::closeDescriptor()
{
    if (m_fd >= 0 && m_way != Way::Adopted)
        ::close(m_fd);
    m_fd = -1;
    m_way = Way::Closed;
}

void OutputFile::cancel()
{
    if (m_way == Way::Beside && !m_besideName.isEmpty())
        ::unlink(m_besideName.constData());
    if (m_way == Way::NewFile)
        ::unlink(m_target.constData());
    closeDescriptor();
    m_besideName.clear();
    m_unnamed = false;
    m_buffer.clear();
}

} // namespace lumatrax
