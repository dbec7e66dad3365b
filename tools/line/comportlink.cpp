#include "tools/line/comportlink.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

} // namespace

ComPortLink::~ComPortLink()
{
    remove();
}

QString ComPortLink::fileName(int portNumber)
{
    return QStringLiteral("COM%1").arg(portNumber);
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
    const QByteArray encodedPath = QFile::encodeName(path);
    struct stat info
    {
    };
    if (::lstat(encodedPath.constData(), &info) == 0 && !S_ISLNK(info.st_mode))
        return fail(path + QStringLiteral(" exists and is not a link"), EEXIST);

    // A link under a name of its own first, then renamed over the old one in one step.
    const QByteArray staging = encodedPath + ".placing." + QByteArray::number(::getpid());
    ::unlink(staging.constData());
    if (::symlink(QFile::encodeName(target).constData(), staging.constData()) != 0)
        return fail(path, errno);
    if (::rename(staging.constData(), encodedPath.constData()) != 0) {
        const int error = errno;
        ::unlink(staging.constData());
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
    if (!isPlaced())
        return fail(QStringLiteral("no link placed"), 0);
    const QFileInfo placed(m_path);
    return place(placed.path(), placed.fileName().mid(3).toInt(), target);
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
