#include "link/comname.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace lumatrax {

QString comName(int number)
{
    return QStringLiteral("COM") + QString::number(number);
}

QString comDevicePath(int number, const QString& startDirectory)
{
#ifdef Q_OS_WIN
    Q_UNUSED(startDirectory);
    return QStringLiteral("\\\\.\\") + comName(number);
#else
    const QString entry = QDir(startDirectory).filePath(comName(number));
    const QFileInfo info(entry);
    if (info.exists() || info.isSymLink())
        return entry;
    return QStringLiteral("/dev/ttyS") + QString::number(number - 1);
#endif
}

std::optional<qint64> portLockHolder(const QString& device)
{
    // Where Qt Serial Port looks, in its order; uucp and minicom use the first.
    const QStringList directories = {
        QStringLiteral("/var/lock"),
        QStringLiteral("/etc/locks"),
        QStringLiteral("/var/spool/locks"),
        QStringLiteral("/var/spool/uucp"),
        QStringLiteral("/tmp"),
        QStringLiteral("/var/tmp"),
        QStringLiteral("/var/lock/lockdev"),
        QStringLiteral("/run/lock"),
        QStandardPaths::writableLocation(QStandardPaths::TempLocation)};
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const QString& directory : directories) {
        QFile lock(directory + QStringLiteral("/LCK..") + name);
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        // Qt writes the id as a decimal line, uucp right-aligned in ten characters.
        bool ok = false;
        const qint64 pid = lock.readLine(64).trimmed().toLongLong(&ok);
        return ok && pid > 0 ? std::optional(pid) : std::nullopt;
    }
    return std::nullopt;
}

} // namespace lumatrax
