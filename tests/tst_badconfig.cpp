// Configuration files that hold no usable port number, or are no file at all: the program starts
// on port 1 and never rewrites them on its own. A number that fits 16 bits is used as it stands,
// even when no port has it; the connection then fails through its failure path.

#include "link/configfile.h"
#include "tests/systemfaults.h"
#include "tests/testsupport.h"

#include <QDateTime>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <functional>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace lumatrax;

namespace {

constexpr auto kTimeout = std::chrono::seconds(10);
constexpr qsizetype kMegabyte = 1 << 20;

// How the entry Lumatrax.cfg is made in the start-up directory.
enum class Entry { File, Directory, Unreadable };

// What the entry is: its kind, permissions, size, time of change and content.
QString describeEntry(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("(none)");
    QString text = QStringLiteral("%1 %2 %3 bytes, changed %4")
                       .arg(info.isDir()    ? "directory"
                            : info.isFile() ? "file"
                                            : "other")
                       .arg(int(info.permissions()), 0, 16)
                       .arg(info.size())
                       .arg(info.lastModified().toMSecsSinceEpoch());
    QFile file(path);
    if (info.isFile() && file.open(QIODevice::ReadOnly))
        text += QStringLiteral(", content %1").arg(QString::fromLatin1(file.readAll().toHex()));
    return text;
}

// Every entry of the directory, COMn links included: nothing may appear or go.
QStringList entriesOf(const QString& directory)
{
    return QDir(directory).entryList(
        QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

Q_DECLARE_METATYPE(Entry)

class TestBadConfig : public QObject
{
    Q_OBJECT
private slots:
    void unusableFileStartsOnPortOneAndIsLeftAlone_data();
    void unusableFileStartsOnPortOneAndIsLeftAlone();
    void numberIsReadAsItStandsAndTheConnectionFails_data();
    void numberIsReadAsItStandsAndTheConnectionFails();
    void namedPipeWhereTheFileShouldBeIsNotWaitedFor();
};

void TestBadConfig::unusableFileStartsOnPortOneAndIsLeftAlone_data()
{
    QTest::addColumn<Entry>("entry");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << Entry::File << QByteArray();
    QTest::newRow("binary garbage") << Entry::File << QByteArray("\x00\xff\x80\x1b[2J\xac\r\n", 9);
    QTest::newRow("only blanks") << Entry::File << QByteArray("   \t  \r\n  \r\n");
    QTest::newRow("just past 32767") << Entry::File << QByteArray("32768\r\n");
    QTest::newRow("below -32768") << Entry::File << QByteArray("-32769\r\n");
    QTest::newRow("twenty digits") << Entry::File << QByteArray("18446744073709551617\r\n");
    QTest::newRow("a megabyte of digits, no line end") << Entry::File << QByteArray(kMegabyte, '7');
    QTest::newRow("a megabyte of blanks, no line end") << Entry::File << QByteArray(kMegabyte, ' ');
    QTest::newRow("a sign alone") << Entry::File << QByteArray("-\r\n");
    QTest::newRow("a directory") << Entry::Directory << QByteArray();
    QTest::newRow("no read permission") << Entry::Unreadable << QByteArray("3\r\n");
}

void TestBadConfig::unusableFileStartsOnPortOneAndIsLeftAlone()
{
    QFETCH(Entry, entry);
    QFETCH(QByteArray, content);
    if (entry == Entry::Unreadable)
        LUMATRAX_RUN_UNPRIVILEGED_WHEN_ROOT(); // root reads every file

    test::StartDirectory dir;
    VirtualInstrument instrument;
    QVERIFY2(instrument.open(), qPrintable(instrument.errorString()));
    QVERIFY(instrument.placeLink(dir.path(), 1));
    dir.placeMissingPort(3); // what the unreadable file would have named
    if (entry == Entry::Directory) {
        QVERIFY(QDir(dir.path()).mkdir(QString::fromLatin1(CONFIG_FILE_NAME)));
    } else {
        dir.writeConfig(content);
        QCOMPARE(QFileInfo(dir.configPath()).size(), content.size());
    }
    if (entry == Entry::Unreadable)
        QVERIFY(QFile::setPermissions(dir.configPath(), QFileDevice::WriteOwner));
    const QString before = describeEntry(dir.configPath());
    const QStringList entries = entriesOf(dir.path());

    test::MessageLog messages;
    {
        MainWindow window;
        window.setMessageBox(messages.recorder());
        window.formLoad();
        QCOMPARE(window.findChild<QLabel*>("lblMsg")->text(), QStringLiteral("COM1"));
        QVERIFY(window.findChild<QWidget*>("Frame3")->isHidden());
        // The greeting reached the instrument on COM1.
        QVERIFY(instrument.waitForCommands(2, kTimeout));
        QCOMPARE(instrument.commands().at(1), CMD_HELLO);
        window.close();
        QVERIFY(instrument.waitForCommands(3, kTimeout));
    }
    QVERIFY(messages.titles.isEmpty());
    QCOMPARE(describeEntry(dir.configPath()), before);
    QCOMPARE(entriesOf(dir.path()), entries);
    if (entry == Entry::Unreadable)
        QFile::setPermissions(dir.configPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void TestBadConfig::numberIsReadAsItStandsAndTheConnectionFails_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("port");
    QTest::newRow("negative") << QByteArray("-5\r\n") << -5;
    QTest::newRow("the least 16-bit value") << QByteArray("-32768\r\n") << -32768;
    QTest::newRow("zero") << QByteArray("0\r\n") << 0;
    QTest::newRow("past COM255") << QByteArray("300\r\n") << 300;
    QTest::newRow("the largest 16-bit value") << QByteArray("32767\r\n") << 32767;
}

void TestBadConfig::numberIsReadAsItStandsAndTheConnectionFails()
{
    QFETCH(QByteArray, content);
    QFETCH(int, port);
    test::StartDirectory dir;
    dir.writeConfig(content);
    dir.placeMissingPort(port); // however /dev looks, no real port is opened
    const QString before = describeEntry(dir.configPath());
    const QString caption = QStringLiteral("COM%1").arg(port);

    test::MessageLog messages;
    MainWindow window;
    window.setMessageBox(messages.recorder());
    window.formLoad();
    QCOMPARE(messages.titles, QStringList{QStringLiteral("Communication Error!")});
    QVERIFY2(messages.texts.first().startsWith(caption + QStringLiteral(" (")),
             qPrintable(messages.texts.first()));
    auto* status = window.findChild<QLabel*>("lblMsg");
    QCOMPARE(status->text(), caption + QStringLiteral(" ... Device not found!"));
    QVERIFY(!window.findChild<QWidget*>("Frame3")->isHidden());

    // Retry fails the same way, once more.
    window.findChild<QPushButton*>("cmdRetry")->click();
    QCOMPARE(messages.titles.size(), 2);
    QCOMPARE(status->text(), caption + QStringLiteral(" ... Device not found!"));
    window.close();
    QCOMPARE(describeEntry(dir.configPath()), before);
}

void TestBadConfig::namedPipeWhereTheFileShouldBeIsNotWaitedFor()
{
    // Opening a named pipe for reading waits for a writer, for ever if none comes. A writer
    // stands by here: should start-up open the pipe after all, it reads port 7 (which leads to no
    // device) instead of hanging.
    test::StartDirectory dir;
    VirtualInstrument instrument;
    QVERIFY2(instrument.open(), qPrintable(instrument.errorString()));
    QVERIFY(instrument.placeLink(dir.path(), 1));
    dir.placeMissingPort(7);
    const QByteArray pipe = QFile::encodeName(dir.configPath());
    QCOMPARE(::mkfifo(pipe.constData(), 0600), 0);
    std::thread writer([pipe] {
        const int fd = ::open(pipe.constData(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t n = ::write(fd, "7\r\n", 3);
            ::close(fd);
        }
    });
    // The writer's open returns once the pipe has a reader; this one ends the wait in any case.
    const auto releaseWriter = qScopeGuard([&] {
        const int reader = ::open(pipe.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        writer.join();
        if (reader >= 0)
            ::close(reader);
    });

    test::MessageLog messages;
    MainWindow window;
    window.setMessageBox(messages.recorder());
    window.formLoad();
    QCOMPARE(window.findChild<QLabel*>("lblMsg")->text(), QStringLiteral("COM1"));
    QVERIFY(messages.titles.isEmpty());
    QVERIFY(QFileInfo(dir.configPath()).exists() && !QFileInfo(dir.configPath()).isFile());
}

QTEST_MAIN(TestBadConfig)
#include "tst_badconfig.moc"
