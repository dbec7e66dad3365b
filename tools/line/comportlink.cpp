#include "tools/line/comportlink.h"

#include <QDir>
#include <QFile>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace lumatrax {

namespace {

// What the link at `path` points to, or an empty string when it is not a symbolic link.
QString linkTarget(const QByteArray& path)
{
    struct stat info
    {
    };
    if (::lstat(path.constData(), &info) != 0 || !S_ISLNK(info.st_mode))
        return {};
    QByteArray target(qsizetype(info.st_size) + 1, '\0');
    const ssize_t length = ::readlink(path.constData(), target.data(), std::size_t(target.size()));
    if (length < 0)
        return {};
    target.truncate(qsizetype(length));
    return QFile::decodeName(target);
}

// Whether `path` is a link that a simulator or tap left behind when it was killed: to a
// pseudo-terminal that has gone, or to `ours`, the pseudo-terminal that now has its number.
bool leftBehind(const QByteArray& path, const QString& ours = {})
{
    const QString target = linkTarget(path);
    struct stat info
    {
    };
    return target.startsWith(QLatin1String("/dev/pts/")) &&
           (target == ours || (::stat(path.constData(), &info) != 0 && errno == ENOENT));
}

// Makes `path` a link to `target` under a name of its own first, renamed over `path` in one step.
int renameNewLinkOver(const QByteArray& path, const QByteArray& target)
{
    const QByteArray staging = path + ".placing." + QByteArray::number(::getpid());
    ::unlink(staging.constData());
    if (::symlink(target.constData(), staging.constData()) != 0)
        return errno;
    if (::rename(staging.constData(), path.constData()) != 0) {
        const int error = errno;
        ::unlink(staging.constData());
        return error;
    }
    return 0;
}

} // namespace

ComPortLink::~ComPortLink()
{
    remove();
}

QString ComPortLink::fileName(int portNumber)
{
    return QStringLiteral("COM%1").arg(portNumber);
}

std::optional<QString> ComPortLink::entryInTheWay(const QString& path)
{
    const QByteArray encoded = QFile::encodeName(path);
    struct stat entry
    {
    };
    if (::lstat(encoded.constData(), &entry) != 0 || leftBehind(encoded))
        return std::nullopt;
    const QString leadsTo = linkTarget(encoded);
    return QStringLiteral("%1 exists already%2; it is not replaced: remove it, or choose another "
                          "--port or --dir")
        .arg(path, leadsTo.isEmpty() ? QString() : QStringLiteral(" (a link to %1)").arg(leadsTo));
}

bool ComPortLink::place(const QString& directory, int portNumber, const QString& target)
{
    m_error.clear();
    if (portNumber < kFirstPort || portNumber > kLastPort)
        return fail(QStringLiteral("port number %1 is outside %2..%3")
                        .arg(portNumber)
                        .arg(kFirstPort)
                        .arg(kLastPort),
                    0);
    const QString path = QDir(directory).absoluteFilePath(fileName(portNumber));
    if (isPlaced() && m_path == path)
        return retarget(target);
    const QByteArray encodedPath = QFile::encodeName(path);
    const QByteArray encodedTarget = QFile::encodeName(target);
    const bool takeOver = leftBehind(encodedPath, target);
    if (const auto entry = entryInTheWay(path); entry && !takeOver)
        return fail(*entry, 0);
    if (takeOver) {
        if (const int error = renameNewLinkOver(encodedPath, encodedTarget))
            return fail(path, error);
    } else if (::symlink(encodedTarget.constData(), encodedPath.constData()) != 0) {
        // An entry made since the look above is left alone as well.
        const int error = errno;
        if (error == EEXIST)
            return fail(entryInTheWay(path).value_or(path), 0);
        return fail(path, error);
    }
    if (isPlaced() && m_path != path)
        remove();
    m_path = path;
    m_target = target;
    return true;
}

bool ComPortLink::retarget(const QString& target)
{
    m_error.clear();
    if (!isPlaced())
        return fail(QStringLiteral("no link placed"), 0);
    const QByteArray encodedPath = QFile::encodeName(m_path);
    if (linkTarget(encodedPath) != m_target)
        return fail(m_path + QStringLiteral(" is no longer the link placed here"), 0);
    if (const int error = renameNewLinkOver(encodedPath, QFile::encodeName(target)))
        return fail(m_path, error);
    m_target = target;
    return true;
}

void ComPortLink::remove()
{
    if (!isPlaced())
        return;
    const QByteArray encodedPath = QFile::encodeName(m_path);
    // Someone may have put a link of their own there since; that one stays.
    if (linkTarget(encodedPath) == m_target)
        ::unlink(encodedPath.constData());
    m_path.clear();
    m_target.clear();
}

bool ComPortLink::fail(const QString& what, int error)
{
    m_error = error == 0 ? what : what + QStringLiteral(": ") + qt_error_string(error);
    return false;
}

} // namespace lumatrax
