#pragma once

// A directory for the files a fuzz target writes on every input. It lies in /dev/shm when there
// is one: the writers sync every file to disk before renaming it into place, which costs
// milliseconds on a disk and nothing in memory.

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

namespace lumatrax::fuzz {

inline QString scratchTemplate()
{
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    const QString base = shm.isDir() && shm.isWritable() ? shm.filePath() : QDir::tempPath();
    return QDir(base).filePath(QStringLiteral("lumatrax-fuzz-XXXXXX"));
}

} // namespace lumatrax::fuzz
