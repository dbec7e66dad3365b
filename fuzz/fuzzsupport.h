#pragma once

// What the fuzz targets share: how a finding is reported, and a directory for the files a target
// writes on every input. The directory lies in /dev/shm when there is one: the writers sync
// every file to disk before renaming it into place, which costs milliseconds on a disk and
// nothing in memory.

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace lumatrax::fuzz {

// A finding: says what went wrong, prefixed by the program's name, and aborts, so that libFuzzer
// keeps the input.
[[noreturn]] inline void fail(const char* what)
{
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
    std::abort();
}

inline void require(bool condition, const char* what)
{
    if (!condition)
        fail(what);
}

inline QString scratchTemplate()
{
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    const QString base = shm.isDir() && shm.isWritable() ? shm.filePath() : QDir::tempPath();
    return QDir(base).filePath(QStringLiteral("lumatrax-fuzz-XXXXXX"));
}

// The target's scratch directory, made at the first call (best from LLVMFuzzerInitialize) and
// removed when the program ends.
inline const QTemporaryDir& scratchDirectory()
{
    static const QTemporaryDir dir(scratchTemplate());
    require(dir.isValid(), "no temporary directory");
    return dir;
}

} // namespace lumatrax::fuzz
