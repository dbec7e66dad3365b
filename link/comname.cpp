#include "link/comname.h"

#include <QDir>
#include <QFileInfo>

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

} // namespace lumatrax
