#pragma once

// Faults of the machine around the program, made for a test and undone afterwards: a tiny file
// system that fills up or runs out of inodes, and a run as an unprivileged user (root writes into
// read-only directories and reads unreadable files, so those faults exist only for other users).
// Where the machine does not allow one, the helper says why, and the test skips with that reason.

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

namespace lumatrax::test {

// A tmpfs of a few KiB mounted on an empty directory for as long as the object lives, with room
// for `inodes` files and directories (its own root among them) when that is given. Mounting
// needs CAP_SYS_ADMIN (root on an ordinary machine, not always in a container).
class SmallFileSystem
{
public:
    SmallFileSystem(const QString& directory, int kibibytes, int inodes = 0)
        : m_path(QFile::encodeName(directory))
    {
        QByteArray options = "size=" + QByteArray::number(kibibytes) + "k,mode=0777";
        if (inodes > 0)
            options += ",nr_inodes=" + QByteArray::number(inodes);
        if (::mount("tmpfs", m_path.constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                    options.constData()) == 0)
            m_mounted = true;
        else
            m_error = QStringLiteral("cannot mount a small tmpfs on %1 (%2); mounting needs "
                                     "CAP_SYS_ADMIN")
                          .arg(directory, QString::fromLocal8Bit(std::strerror(errno)));
    }
    ~SmallFileSystem()
    {
        if (m_mounted)
            ::umount2(m_path.constData(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    [[nodiscard]] bool isMounted() const { return m_mounted; }
    [[nodiscard]] const QString& errorString() const { return m_error; }

    // Writes a file of its own until the file system refuses; true once it is full.
    [[nodiscard]] bool fill() const
    {
        const QByteArray path = m_path + "/filler";
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0)
            return errno == ENOSPC;
        const QByteArray block(512, 'f');
        ssize_t written = 0;
        do
            written = ::write(fd, block.constData(), std::size_t(block.size()));
        while (written > 0);
        const bool full = written < 0 && errno == ENOSPC;
        ::close(fd);
        return full;
    }

    // Makes empty files until the file system takes no new file; true once it takes none. Only
    // for a file system mounted with a number of inodes.
    [[nodiscard]] bool useUpInodes() const
    {
        for (int i = 0; i < kMaxInodes; ++i) {
            const QByteArray path = m_path + "/inode-" + QByteArray::number(i);
            const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0)
                return errno == ENOSPC;
            ::close(fd);
        }
        return false;
    }

private:
    static constexpr int kMaxInodes = 64;

    QByteArray m_path;
    bool m_mounted = false;
    QString m_error;
};

// The process's limit on open files lowered for as long as the object lives: the system then
// makes no descriptor at or above `soft`, and poll() refuses more than `soft` descriptors.
class FileLimit
{
public:
    explicit FileLimit(rlim_t soft)
    {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit lowered = m_saved;
        lowered.rlim_cur = soft;
        m_set = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
    ~FileLimit() { ::setrlimit(RLIMIT_NOFILE, &m_saved); }
    FileLimit(const FileLimit&) = delete;
    FileLimit& operator=(const FileLimit&) = delete;

    [[nodiscard]] bool isSet() const { return m_set; }

private:
    rlimit m_saved{};
    bool m_set = false;
};

// The outcome of running test functions of this very program as an unprivileged user.
struct UnprivilegedRun
{
    std::optional<QString> impossible; // why it could not be run at all
    bool passed = false;
    bool skipped = false;
    QString output;
};

[[nodiscard]] inline bool runningAsRoot()
{
    return ::geteuid() == 0;
}

// Runs `testFunction` (a name, or name:data-tag) of this test program again as the user
// "nobody", through setpriv, with its output captured. Only for a process running as root.
[[nodiscard]] inline UnprivilegedRun runAsUnprivileged(const QString& testFunction)
{
    UnprivilegedRun run;
    const passwd* nobody = ::getpwnam("nobody");
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (!nobody || setpriv.isEmpty()) {
        run.impossible = QStringLiteral("no user \"nobody\" or no setpriv to become it");
        return run;
    }
    const QStringList asNobody = {QStringLiteral("--reuid=%1").arg(nobody->pw_uid),
                                  QStringLiteral("--regid=%1").arg(nobody->pw_gid),
                                  QStringLiteral("--clear-groups"), QStringLiteral("--")};
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), QDir::tempPath());
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    auto runChild = [&](const QStringList& arguments, int timeoutMs) {
        QProcess child;
        child.setProcessEnvironment(environment);
        child.setWorkingDirectory(QDir::tempPath());
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(setpriv,
                    asNobody + QStringList{QCoreApplication::applicationFilePath()} + arguments);
        const bool finished = child.waitForFinished(timeoutMs);
        if (!finished) {
            child.kill();
            child.waitForFinished();
        }
        return std::make_pair(
            finished && child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1,
            QString::fromLocal8Bit(child.readAll()));
    };

    // Can nobody run this program at all (the build tree may be closed to other users)?
    const auto [listed, listing] = runChild({QStringLiteral("-functions")}, 30000);
    if (listed != 0) {
        run.impossible =
            QStringLiteral("the user \"nobody\" cannot run this test program: %1").arg(listing);
        return run;
    }
    const auto [exitCode, output] = runChild({testFunction}, 90000);
    run.output = output;
    run.skipped = exitCode == 0 && output.contains(QLatin1String("SKIP   :"));
    run.passed = exitCode == 0 && output.contains(QLatin1String("PASS   : ")) &&
                 output.contains(QLatin1String("Totals:"));
    return run;
}

// The current test function, with its data tag when it has one, as the command line names it.
[[nodiscard]] inline QString currentTestName()
{
    const QString function = QString::fromLatin1(QTest::currentTestFunction());
    const char* tag = QTest::currentDataTag();
    return tag && *tag ? function + QLatin1Char(':') + QString::fromLatin1(tag) : function;
}

} // namespace lumatrax::test

// In a test that needs an unprivileged user: when the test runs as root, runs it again as
// "nobody" and takes over that run's outcome (or skips, saying why that is impossible); as any
// other user, does nothing and the test goes on.
#define LUMATRAX_RUN_UNPRIVILEGED_WHEN_ROOT()                                                      \
    do {                                                                                           \
        if (lumatrax::test::runningAsRoot()) {                                                     \
            const lumatrax::test::UnprivilegedRun run_ =                                           \
                lumatrax::test::runAsUnprivileged(lumatrax::test::currentTestName());              \
            if (run_.impossible)                                                                   \
                QSKIP(qPrintable(*run_.impossible));                                               \
            if (run_.skipped)                                                                      \
                QSKIP(qPrintable(QStringLiteral("as nobody: ") + run_.output));                    \
            QVERIFY2(run_.passed, qPrintable(run_.output));                                        \
            return;                                                                                \
        }                                                                                          \
    } while (false)
