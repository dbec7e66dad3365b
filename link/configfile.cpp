#include "link/configfile.h"

#include "common/savefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <limits>

namespace lumatrax {

QString configFilePath(const QString& appDir)
{
    return appDir + QDir::separator() + QLatin1String(CONFIG_FILE_NAME);
}

std::optional<std::int16_t> parsePortNumber(QByteArrayView content)
{
    qsizetype i = 0;
    while (i < content.size() && (content[i] == ' ' || content[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < content.size() && (content[i] == '-' || content[i] == '+')) {
        negative = content[i] == '-';
        ++i;
    }
    const qsizetype firstDigit = i;
    std::int32_t value = 0;
    while (i < content.size() && content[i] >= '0' && content[i] <= '9') {
        value = value * 10 + (content[i] - '0');
        if (value > std::numeric_limits<std::int16_t>::max() + 1)
            return std::nullopt;
        ++i;
    }
    if (i == firstDigit)
        return std::nullopt;
    if (negative)
        value = -value;
    if (value < std::numeric_limits<std::int16_t>::min() ||
        value > std::numeric_limits<std::int16_t>::max())
        return std::nullopt;
    return std::int16_t(value);
}

QByteArray formatPortNumber(std::int16_t port)
{
    return QByteArray::number(port) + "\r\n";
}

std::optional<std::int16_t> readPortNumber(const QString& path)
{
    // Only a regular file (or a link to one) is read: opening a named pipe waits for a writer,
    // and a device may never end, either of which would hold start-up for ever.
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return parsePortNumber(file.read(kMaxConfigRead));
}

std::optional<QString> writePortNumber(const QString& path, std::int16_t port)
{
    if (const auto failure = saveFile(path, formatPortNumber(port)))
        return QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(failure->fileName),
                                            failure->reason);
    return std::nullopt;
}

} // namespace lumatrax
