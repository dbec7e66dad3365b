// Disk faults while saving. The configuration file and the report are written by one writer, so
// the faults are made once, against it: a read-only directory, a missing one, a full file
// system, one with no room for a new file, paths that cannot be a file and a file size limit.
// Then what stands at the name when it is no regular file, for the whole-file writer and the
// streaming one alike: a symbolic link is followed and kept, a named pipe and a character device
// are written as they stand, a directory and a block device are refused.
// The writer either saves (rewriting an existing file in place where no new file can be made
// beside it), keeping the file's owner, group and mode, or reports the file and the system's
// reason (a read-only file: "Permission denied"); an earlier file is still there byte for byte,
// and no temporary file is left beside it. Then the two places the operator meets a
// failed save, the Port button and the report form's Save, show the file and the reason.

#include "common/outputfile.h"
#include "common/savefile.h"
#include "link/configfile.h"
#include "report/reportfile.h"
#include "report/reportform.h"
#include "tests/systemfaults.h"
#include "tests/testsupport.h"

#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <thread>
#include <tuple>
#include <utility>

#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace lumatrax;

namespace {

enum class Fault { None, ReadOnlyDirectory, MissingDirectory, FullFileSystem, NoFreeInode };
enum class Earlier { None, Writable, ReadOnly, OtherUsers }; // OtherUsers: nobody's, 0640

const QByteArray kEarlier = "earlier content\r\n";
const QByteArray kEarlierConfig = formatPortNumber(7);
const QByteArray kEarlierReport = reportBytes(ReportFields{}).replace("Date        : ", "X");

QString reasonOf(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// A directory with the fault, and in it (unless it is missing) maybe an earlier file.
class FaultyDirectory
{
public:
    FaultyDirectory(Fault fault, Earlier earlier, const QString& fileName,
                    const QByteArray& earlierBytes)
        : m_fault(fault), m_earlier(earlier), m_path(m_base.filePath(QStringLiteral("target"))),
          m_filePath(QDir(m_path).filePath(fileName))
    {
        if (fault == Fault::MissingDirectory)
            return;
        QDir().mkpath(m_path);
        if (fault == Fault::FullFileSystem || fault == Fault::NoFreeInode) {
            m_fileSystem.emplace(m_path, 16, fault == Fault::NoFreeInode ? kInodes : 0);
            if (!m_fileSystem->isMounted()) {
                m_unusable = m_fileSystem->errorString();
                return;
            }
        }
        if (earlier == Earlier::None)
            return;
        QFile file(m_filePath);
        if (!file.open(QIODevice::WriteOnly) || file.write(earlierBytes) != earlierBytes.size())
            m_unusable = QStringLiteral("cannot write the earlier file");
    }
    ~FaultyDirectory()
    {
        if (m_fault == Fault::ReadOnlyDirectory)
            ::chmod(QFile::encodeName(m_path).constData(), 0700);
    }
    FaultyDirectory(const FaultyDirectory&) = delete;
    FaultyDirectory& operator=(const FaultyDirectory&) = delete;

    // Why the fault cannot be made on this machine, if it cannot.
    [[nodiscard]] const std::optional<QString>& unusable() const { return m_unusable; }

    // Brings the fault about, once everything that must exist beforehand is in place.
    bool strike()
    {
        const QByteArray file = QFile::encodeName(m_filePath);
        if (m_earlier == Earlier::ReadOnly && ::chmod(file.constData(), 0444) != 0)
            return false;
        const passwd* nobody = m_earlier == Earlier::OtherUsers ? ::getpwnam("nobody") : nullptr;
        if (nobody && (::chown(file.constData(), nobody->pw_uid, nobody->pw_gid) != 0 ||
                       ::chmod(file.constData(), 0640) != 0))
            return false;
        switch (m_fault) {
        case Fault::None:
            return true;
        case Fault::ReadOnlyDirectory:
            return ::chmod(QFile::encodeName(m_path).constData(), 0555) == 0;
        case Fault::MissingDirectory:
            return !QFileInfo::exists(m_path) || QDir(m_path).removeRecursively();
        case Fault::FullFileSystem:
            return m_fileSystem->fill();
        case Fault::NoFreeInode:
            return m_fileSystem->fill() && m_fileSystem->useUpInodes();
        }
        return false;
    }

    [[nodiscard]] const QString& path() const { return m_path; }
    [[nodiscard]] const QString& filePath() const { return m_filePath; }
    // Every entry of the directory, to show that no temporary file was left behind.
    [[nodiscard]] QStringList entries() const
    {
        return QDir(m_path).entryList(
            QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }

private:
    static constexpr int kInodes = 8;

    Fault m_fault;
    Earlier m_earlier;
    QTemporaryDir m_base;
    QString m_path;
    QString m_filePath;
    std::optional<test::SmallFileSystem> m_fileSystem;
    std::optional<QString> m_unusable;
};

// The faults that make every save fail, as the operator meets them.
void addFailingFaultRows()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<Earlier>("earlier");
    QTest::addColumn<int>("error");
    QTest::newRow("read-only directory and file")
        << Fault::ReadOnlyDirectory << Earlier::ReadOnly << EACCES;
    QTest::newRow("missing directory") << Fault::MissingDirectory << Earlier::None << ENOENT;
    QTest::newRow("full file system") << Fault::FullFileSystem << Earlier::Writable << ENOSPC;
}

// What stands at the name written to.
enum class Standing {
    LinkToFile,
    LinkToNothing,
    PipeWithReader,
    PipeWithoutReader,
    Directory,
    NullDevice, // takes every byte
    FullDevice, // takes none: "No space left on device"
    BlockDevice,
};
// Which writer writes: saveFile(), or OutputFile replacing (as the judge's outputs) or making new.
enum class Writer { Whole, Stream, NewStream };

// Writes bytes to fileName with the writer, the streaming ones in three parts.
std::optional<SaveFailure> writeWith(Writer writer, const QString& fileName,
                                     const QByteArray& bytes)
{
    if (writer == Writer::Whole)
        return saveFile(fileName, bytes);
    OutputFile file;
    auto failure = file.open(fileName, writer == Writer::Stream ? OutputFile::Mode::Replace
                                                                : OutputFile::Mode::CreateNew);
    for (qsizetype at = 0; !failure && at < bytes.size(); at += bytes.size() / 3 + 1)
        failure = file.write(QByteArrayView(bytes).sliced(at).first(
            std::min(bytes.size() - at, bytes.size() / 3 + 1)));
    return failure ? failure : file.commit();
}

// The kind of what stands at path, links not followed.
mode_t kindAt(const QString& path)
{
    struct stat status = {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & S_IFMT : 0;
}

} // namespace

Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(Earlier)
Q_DECLARE_METATYPE(Standing)
Q_DECLARE_METATYPE(Writer)

class TestDiskFaults : public QObject
{
    Q_OBJECT
private slots:
    void writerSavesOrReportsTheFileAndTheReason_data();
    void writerSavesOrReportsTheFileAndTheReason();
    void pathThatCannotBeAFileIsReported_data();
    void pathThatCannotBeAFileIsReported();
    void writeFailingAfterOpeningKeepsTheEarlierFile();
    void writersNeverReplaceWhatIsNotARegularFile_data();
    void writersNeverReplaceWhatIsNotARegularFile();
    void openDescriptorIsWrittenAndLeftOpen_data();
    void openDescriptorIsWrittenAndLeftOpen();
    void portButtonShowsTheFaultNamingTheFile_data() { addFailingFaultRows(); }
    void portButtonShowsTheFaultNamingTheFile();
    void reportFormShowsTheFaultNamingTheFile_data() { addFailingFaultRows(); }
    void reportFormShowsTheFaultNamingTheFile();
};

void TestDiskFaults::writerSavesOrReportsTheFileAndTheReason_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<Earlier>("earlier");
    QTest::addColumn<int>("newSize"); // bytes
    QTest::addColumn<int>("error");   // 0: saved
    QTest::newRow("read-only directory, writable file: rewritten in place")
        << Fault::ReadOnlyDirectory << Earlier::Writable << 4 << 0;
    QTest::newRow("read-only directory, shorter content: rewritten in place")
        << Fault::ReadOnlyDirectory << Earlier::Writable << 2 << 0;
    QTest::newRow("read-only directory, no file")
        << Fault::ReadOnlyDirectory << Earlier::None << 4 << EACCES;
    QTest::newRow("read-only directory and file")
        << Fault::ReadOnlyDirectory << Earlier::ReadOnly << 4 << EACCES;
    QTest::newRow("missing directory") << Fault::MissingDirectory << Earlier::None << 4 << ENOENT;
    QTest::newRow("full file system") << Fault::FullFileSystem << Earlier::Writable << 4 << ENOSPC;
    QTest::newRow("no free inode, content fits the file's room: rewritten in place")
        << Fault::NoFreeInode << Earlier::Writable << 40 << 0;
    QTest::newRow("no free inode, no room for the content")
        << Fault::NoFreeInode << Earlier::Writable << 64 * 1024 << ENOSPC;
    QTest::newRow("a name of 254 bytes") << Fault::None << Earlier::Writable << 4 << 0;
    QTest::newRow("read-only file") << Fault::None << Earlier::ReadOnly << 4 << EACCES;
    QTest::newRow("another user's file: owner, group and mode kept")
        << Fault::None << Earlier::OtherUsers << 4 << 0;
}

void TestDiskFaults::writerSavesOrReportsTheFileAndTheReason()
{
    QFETCH(Fault, fault);
    QFETCH(Earlier, earlier);
    QFETCH(int, newSize);
    QFETCH(int, error);
    if (fault == Fault::ReadOnlyDirectory || earlier == Earlier::ReadOnly)
        LUMATRAX_RUN_UNPRIVILEGED_WHEN_ROOT(); // root writes what is read-only
    if (earlier == Earlier::OtherUsers && !test::runningAsRoot())
        QSKIP("only root gives a file to another user");
    // Where the directory is sound, a name as long as it takes: the hidden file must still fit.
    FaultyDirectory dir(fault, earlier,
                        fault == Fault::None ? QString(254, u'n') : QStringLiteral("file.txt"),
                        kEarlier);
    if (dir.unusable())
        QSKIP(qPrintable(*dir.unusable()));
    QVERIFY(dir.strike());
    const QStringList before = dir.entries();
    struct stat earlierStatus = {};
    ::stat(QFile::encodeName(dir.filePath()).constData(), &earlierStatus);

    const QByteArray bytes(newSize, 'n');
    const std::optional<SaveFailure> failure = saveFile(dir.filePath(), bytes);
    if (error == 0) {
        QVERIFY2(!failure, failure ? qPrintable(failure->reason) : "");
        QCOMPARE(contentOf(dir.filePath()), bytes);
        struct stat status = {};
        ::stat(QFile::encodeName(dir.filePath()).constData(), &status);
        QCOMPARE(std::tuple(status.st_uid, status.st_gid, status.st_mode),
                 std::tuple(earlierStatus.st_uid, earlierStatus.st_gid, earlierStatus.st_mode));
    } else {
        QVERIFY(failure);
        QCOMPARE(failure->fileName, dir.filePath());
        QCOMPARE(failure->reason, reasonOf(error));
        if (earlier != Earlier::None)
            QCOMPARE(contentOf(dir.filePath()), kEarlier);
    }
    QCOMPARE(dir.entries(), before); // no temporary file, no other file
}

void TestDiskFaults::pathThatCannotBeAFileIsReported_data()
{
    // Paths that fail even for root, which ignores permission bits.
    QTest::addColumn<QString>("relativePath");
    QTest::newRow("folder under a regular file") << "plain.txt/file.txt";
    QTest::newRow("a folder where the file should be") << "folder";
    QTest::newRow("no name") << "";
}

void TestDiskFaults::pathThatCannotBeAFileIsReported()
{
    QFETCH(QString, relativePath);
    QTemporaryDir dir;
    QFile plain(dir.filePath(QStringLiteral("plain.txt")));
    QVERIFY(plain.open(QIODevice::WriteOnly) && plain.write(kEarlier) == kEarlier.size());
    plain.close();
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    const QString path = relativePath.isEmpty() ? QString() : dir.filePath(relativePath);

    const std::optional<SaveFailure> failure = saveFile(path, kEarlier);
    QVERIFY(failure);
    QCOMPARE(failure->fileName, path);
    QVERIFY(!failure->reason.isEmpty());
    QVERIFY(failure->reason != QStringLiteral("Unknown error"));
    QCOMPARE(contentOf(dir.filePath(QStringLiteral("plain.txt"))), kEarlier);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{"folder", "plain.txt"}));
}

void TestDiskFaults::writeFailingAfterOpeningKeepsTheEarlierFile()
{
    // A file size limit makes the write itself fail after the file has been opened, as a full
    // disk does; it binds root too.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("file.txt"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(kEarlier) == kEarlier.size());
    }
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 100;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::optional<SaveFailure> failure = saveFile(path, QByteArray(400, 'n'));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(failure);
    QCOMPARE(failure->reason, reasonOf(EFBIG));
    QCOMPARE(contentOf(path), kEarlier);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"file.txt"});
}

void TestDiskFaults::writersNeverReplaceWhatIsNotARegularFile_data()
{
    QTest::addColumn<Standing>("standing");
    QTest::addColumn<Writer>("writer");
    QTest::addColumn<int>("error"); // 0: written; -1: refused with a reason of the writer's own
    struct Row
    {
        const char* name;
        Standing standing;
        int error;
        int newStreamError;
    };
    const Row rows[] = {
        {"link to a file", Standing::LinkToFile, 0, EEXIST},
        {"link to nothing", Standing::LinkToNothing, 0, 0},
        {"named pipe with a reader", Standing::PipeWithReader, 0, 0},
        {"named pipe without a reader", Standing::PipeWithoutReader, ENXIO, ENXIO},
        {"directory", Standing::Directory, EISDIR, EISDIR},
        {"null device", Standing::NullDevice, 0, 0},
        {"full device", Standing::FullDevice, ENOSPC, ENOSPC},
        {"block device", Standing::BlockDevice, -1, -1},
    };
    for (const Row& row : rows) {
        QTest::addRow("%s, whole", row.name) << row.standing << Writer::Whole << row.error;
        QTest::addRow("%s, streamed", row.name) << row.standing << Writer::Stream << row.error;
        QTest::addRow("%s, streamed new", row.name)
            << row.standing << Writer::NewStream << row.newStreamError;
    }
}

void TestDiskFaults::writersNeverReplaceWhatIsNotARegularFile()
{
    QFETCH(Standing, standing);
    QFETCH(Writer, writer);
    QFETCH(int, error);
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("out"));
    const QString target = dir.filePath(QStringLiteral("target"));
    const QByteArray encoded = QFile::encodeName(name);
    int reader = -1;
    const auto closeReader = qScopeGuard([&reader] {
        if (reader >= 0)
            ::close(reader);
    });
    // A device node of the test's own where it may make one (as root); elsewhere the system's,
    // which an unprivileged writer could not replace anyway.
    auto device = [&](mode_t kind, dev_t number, const char* system) {
        if (::mknod(encoded.constData(), kind | 0666, number) == 0)
            return true;
        if (test::runningAsRoot() || !system || !QFile::link(QString::fromLatin1(system), name))
            return false;
        return true;
    };
    switch (standing) {
    case Standing::LinkToFile:
        QVERIFY(QFile::link(QStringLiteral("target"), name));
        {
            QFile earlier(target);
            QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write(kEarlier) > 0);
        }
        break;
    case Standing::LinkToNothing:
        QVERIFY(QFile::link(QStringLiteral("target"), name));
        break;
    case Standing::PipeWithReader:
    case Standing::PipeWithoutReader:
        QCOMPARE(::mkfifo(encoded.constData(), 0600), 0);
        if (standing == Standing::PipeWithReader) {
            reader = ::open(encoded.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            QVERIFY(reader >= 0);
        }
        break;
    case Standing::Directory:
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("out")));
        break;
    case Standing::NullDevice:
        if (!device(S_IFCHR, makedev(1, 3), "/dev/null"))
            QSKIP("cannot make a character device node here");
        break;
    case Standing::FullDevice:
        if (!device(S_IFCHR, makedev(1, 7), "/dev/full"))
            QSKIP("cannot make a character device node here");
        break;
    case Standing::BlockDevice:
        if (!device(S_IFBLK, makedev(7, 0), nullptr))
            QSKIP("cannot make a block device node here");
        break;
    }
    const mode_t kindBefore = kindAt(name);
    const QString linkBefore = QFileInfo(name).symLinkTarget();

    const QByteArray bytes(1000, 'n'); // fits a pipe's buffer: the reader reads afterwards
    const std::optional<SaveFailure> failure = writeWith(writer, name, bytes);

    if (error == 0) {
        QVERIFY2(!failure, failure ? qPrintable(failure->reason) : "");
    } else {
        QVERIFY(failure);
        QCOMPARE(failure->fileName, name);
        QCOMPARE(failure->error, std::max(error, 0));
        if (error > 0)
            QVERIFY2(failure->reason.contains(reasonOf(error)), qPrintable(failure->reason));
        else
            QVERIFY2(failure->reason.contains(u"block device"), qPrintable(failure->reason));
    }
    // What stood there still does, and the link leads where it led.
    QCOMPARE(kindAt(name), kindBefore);
    QCOMPARE(QFileInfo(name).symLinkTarget(), linkBefore);
    switch (standing) {
    case Standing::LinkToFile:
    case Standing::LinkToNothing:
        QCOMPARE(contentOf(target), error == 0 ? bytes : kEarlier);
        break;
    case Standing::PipeWithReader: {
        QByteArray arrived(2 * bytes.size(), '\0');
        const ssize_t n = ::read(reader, arrived.data(), std::size_t(arrived.size()));
        QCOMPARE(arrived.first(std::max<qsizetype>(n, 0)), bytes);
        break;
    }
    default:
        break;
    }
    QStringList entries =
        QDir(dir.path())
            .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    entries.removeOne(QStringLiteral("target"));
    QCOMPARE(entries, QStringList{"out"}); // nothing made beside it
}

void TestDiskFaults::openDescriptorIsWrittenAndLeftOpen_data()
{
    QTest::addColumn<bool>("readerGone");
    QTest::newRow("a pipe with its reader") << false;
    QTest::newRow("a pipe whose reader has gone: a failure, no SIGPIPE") << true;
}

void TestDiskFaults::openDescriptorIsWrittenAndLeftOpen()
{
    // As standard output is handed to a tool and named /dev/fd/N, here non-blocking and more
    // than the pipe holds: the writer waits for the reader to take it.
    QFETCH(bool, readerGone);
    int ends[2] = {-1, -1};
    QCOMPARE(::pipe2(ends, O_CLOEXEC), 0);
    const auto closeEnds = qScopeGuard([&ends] {
        for (int fd : ends)
            if (fd >= 0)
                ::close(fd);
    });
    QCOMPARE(::fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
    const QString descriptorName = QStringLiteral("/dev/fd/%1").arg(ends[1]);
    QByteArray arrived;
    std::thread reader;
    if (readerGone) {
        ::close(std::exchange(ends[0], -1));
    } else {
        reader = std::thread([&arrived, fd = ends[0]] {
            char block[4096];
            ssize_t n = 0;
            while ((n = ::read(fd, block, sizeof block)) > 0)
                arrived.append(block, n);
        });
    }
    const QByteArray bytes(300 * 1024, 'n');
    std::optional<SaveFailure> failure;
    {
        OutputFile out;
        QVERIFY(!out.open(descriptorName, OutputFile::Mode::Replace));
        for (qsizetype at = 0; !failure && at < bytes.size(); at += 1000)
            failure = out.write(
                QByteArrayView(bytes).sliced(at, std::min<qsizetype>(1000, bytes.size() - at)));
        if (!failure)
            failure = out.commit();
    }
    QVERIFY(::fcntl(ends[1], F_GETFD) >= 0); // still open: the caller's
    ::close(std::exchange(ends[1], -1));
    if (reader.joinable())
        reader.join();
    if (readerGone) {
        QVERIFY(failure);
        QCOMPARE(failure->fileName, descriptorName);
        QCOMPARE(failure->reason, reasonOf(EPIPE));
    } else {
        QVERIFY2(!failure, failure ? qPrintable(failure->reason) : "");
        QCOMPARE(arrived.size(), bytes.size());
        QCOMPARE(arrived, bytes);
    }
}

void TestDiskFaults::portButtonShowsTheFaultNamingTheFile()
{
    QFETCH(Fault, fault);
    QFETCH(Earlier, earlier);
    QFETCH(int, error);
    if (fault == Fault::ReadOnlyDirectory)
        LUMATRAX_RUN_UNPRIVILEGED_WHEN_ROOT(); // root writes into read-only directories
    FaultyDirectory dir(fault, earlier, QString::fromLatin1(CONFIG_FILE_NAME), kEarlierConfig);
    if (dir.unusable())
        QSKIP(qPrintable(*dir.unusable()));
    // The program starts in the directory; COM1 and COM7 there name no device, so the
    // connection fails and the Port button is offered.
    const QString previous = QDir::currentPath();
    if (fault == Fault::MissingDirectory)
        QDir().mkpath(dir.path());
    for (const char* port : {"COM1", "COM7"}) // 1 when no configuration file is there
        QFile::link(QStringLiteral("/nonexistent/lumatrax-test-device"),
                    QDir(dir.path()).filePath(QLatin1String(port)));
    QDir::setCurrent(dir.path());
    test::MessageLog messages;
    MainWindow window;
    window.setMessageBox(messages.recorder());
    window.setPortChooser([](QWidget*, std::int16_t) { return std::int16_t(12); });
    window.formLoad();
    QDir::setCurrent(previous);
    QCOMPARE(window.findChild<QLabel*>(QStringLiteral("lblMsg"))->text(),
             QStringLiteral("COM%1 ... Device not found!").arg(earlier == Earlier::None ? 1 : 7));
    QVERIFY(!window.findChild<QGroupBox*>(QStringLiteral("Frame3"))->isHidden());
    QVERIFY(dir.strike());
    const QStringList before = dir.entries();

    window.findChild<QPushButton*>(QStringLiteral("cmdPort"))->click();
    QCOMPARE(messages.titles.size(), 2); // the failed connection, then the failed save
    QCOMPARE(messages.titles.last(), QStringLiteral("Select Port"));
    const QString text = messages.texts.last();
    QVERIFY2(text.contains(QDir::toNativeSeparators(dir.filePath())), qPrintable(text));
    QVERIFY2(text.contains(reasonOf(error)), qPrintable(text));
    // Kept for this run: the dialog opens on it.
    int current = 0;
    window.setPortChooser([&current](QWidget*, std::int16_t port) {
        current = port;
        return std::optional<std::int16_t>();
    });
    window.findChild<QPushButton*>(QStringLiteral("cmdPort"))->click();
    QCOMPARE(current, 12);
    if (earlier != Earlier::None)
        QCOMPARE(contentOf(dir.filePath()), kEarlierConfig);
    QCOMPARE(dir.entries(), before);
}

void TestDiskFaults::reportFormShowsTheFaultNamingTheFile()
{
    QFETCH(Fault, fault);
    QFETCH(Earlier, earlier);
    QFETCH(int, error);
    if (fault == Fault::ReadOnlyDirectory)
        LUMATRAX_RUN_UNPRIVILEGED_WHEN_ROOT(); // root writes into read-only directories
    FaultyDirectory dir(fault, earlier, QStringLiteral("report.txt"), kEarlierReport);
    if (dir.unusable())
        QSKIP(qPrintable(*dir.unusable()));
    QVERIFY(dir.strike());
    const QStringList before = dir.entries();

    ReportForm form;
    QStringList errors;
    form.setErrorReporter([&](QWidget*, const QString&, const QString& text) { errors << text; });
    form.setFileNameChooser([&](QWidget*, const QString&) { return dir.filePath(); });
    form.findChild<QPushButton*>("cmdSave")->click();

    QCOMPARE(errors,
             QStringList{QStringLiteral("The report could not be saved to \"%1\".\n\n%2")
                             .arg(QDir::toNativeSeparators(dir.filePath()), reasonOf(error))});
    if (earlier != Earlier::None)
        QCOMPARE(contentOf(dir.filePath()), kEarlierReport);
    QCOMPARE(dir.entries(), before);
}

QTEST_MAIN(TestDiskFaults)
#include "tst_diskfaults.moc"
