// Disk faults while saving: a directory the user may not write, a directory that is missing, and
// a full file system. Both writers (the configuration file and the report) and both places the
// operator meets them (the Port button, the report form's Save) report the file and the
// system's reason, and an earlier file of that name is still there byte for byte, with no
// temporary file left beside it.

#include "link/configfile.h"
#include "report/reportfile.h"
#include "report/reportform.h"
#include "tests/systemfaults.h"
#include "tests/testsupport.h"

#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <optional>

#include <sys/stat.h>

using namespace lumatrax;

namespace {

enum class Fault { Unwritable, Missing, Full };

const QByteArray kEarlierConfig = formatPortNumber(7);
const QByteArray kEarlierReport = reportBytes(ReportFields{}).replace("Date        : ", "X");

QString reasonOf(Fault fault)
{
    const int error = fault == Fault::Unwritable ? EACCES
                      : fault == Fault::Missing  ? ENOENT
                                                 : ENOSPC;
    return QString::fromLocal8Bit(std::strerror(error));
}

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// A directory with the fault, and in it (unless it is missing) an earlier file.
class FaultyDirectory
{
public:
    FaultyDirectory(Fault fault, const QString& fileName, const QByteArray& earlier)
        : m_fault(fault), m_path(m_base.filePath(QStringLiteral("target"))),
          m_filePath(QDir(m_path).filePath(fileName))
    {
        if (fault == Fault::Missing)
            return;
        QDir().mkpath(m_path);
        if (fault == Fault::Full) {
            m_fileSystem.emplace(m_path, 16);
            if (!m_fileSystem->isMounted()) {
                m_unusable = m_fileSystem->errorString();
                return;
            }
        }
        QFile file(m_filePath);
        if (!file.open(QIODevice::WriteOnly) || file.write(earlier) != earlier.size())
            m_unusable = QStringLiteral("cannot write the earlier file");
    }
    ~FaultyDirectory()
    {
        if (m_fault == Fault::Unwritable)
            ::chmod(QFile::encodeName(m_path).constData(), 0700);
    }
    FaultyDirectory(const FaultyDirectory&) = delete;
    FaultyDirectory& operator=(const FaultyDirectory&) = delete;

    // Why the fault cannot be made on this machine, if it cannot.
    [[nodiscard]] const std::optional<QString>& unusable() const { return m_unusable; }

    // Brings the fault about, once everything that must exist beforehand is in place.
    bool strike()
    {
        switch (m_fault) {
        case Fault::Unwritable:
            return ::chmod(QFile::encodeName(m_path).constData(), 0555) == 0;
        case Fault::Missing:
            return !QFileInfo::exists(m_path) || QDir(m_path).removeRecursively();
        case Fault::Full:
            return m_fileSystem->fill();
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
    Fault m_fault;
    QTemporaryDir m_base;
    QString m_path;
    QString m_filePath;
    std::optional<test::SmallFileSystem> m_fileSystem;
    std::optional<QString> m_unusable;
};

// What the directory holds after a failed save: what it held before, and the full file
// system's filler.
QStringList entriesAfter(QStringList before, Fault fault)
{
    if (fault == Fault::Full)
        before << QStringLiteral("filler");
    before.sort();
    return before;
}

void addFaultRows()
{
    QTest::addColumn<Fault>("fault");
    QTest::newRow("unwritable directory") << Fault::Unwritable;
    QTest::newRow("missing directory") << Fault::Missing;
    QTest::newRow("full file system") << Fault::Full;
}

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestDiskFaults : public QObject
{
    Q_OBJECT
private slots:
    void configWriterReportsTheFaultAndKeepsTheEarlierFile_data() { addFaultRows(); }
    void configWriterReportsTheFaultAndKeepsTheEarlierFile();
    void reportWriterReportsTheFaultAndKeepsTheEarlierFile_data() { addFaultRows(); }
    void reportWriterReportsTheFaultAndKeepsTheEarlierFile();
    void portButtonShowsTheFaultNamingTheFile_data() { addFaultRows(); }
    void portButtonShowsTheFaultNamingTheFile();
    void reportFormShowsTheFaultNamingTheFile_data() { addFaultRows(); }
    void reportFormShowsTheFaultNamingTheFile();
};

void TestDiskFaults::configWriterReportsTheFaultAndKeepsTheEarlierFile()
{
    QFETCH(Fault, fault);
    if (fault == Fault::Unwritable)
        LUMATRAX_RUN_UNPRIVILEGED_WHEN_ROOT(); // root writes into read-only directories
    FaultyDirectory dir(fault, QString::fromLatin1(CONFIG_FILE_NAME), kEarlierConfig);
    if (dir.unusable())
        QSKIP(qPrintable(*dir.unusable()));
    const QStringList before = dir.entries();
    QVERIFY(dir.strike());

    const std::optional<QString> failure = writePortNumber(dir.filePath(), 12);
    QVERIFY(failure);
    QVERIFY2(failure->contains(QDir::toNativeSeparators(dir.filePath())), qPrintable(*failure));
    QVERIFY2(failure->contains(reasonOf(fault)), qPrintable(*failure));
    if (fault != Fault::Missing) {
        QCOMPARE(contentOf(dir.filePath()), kEarlierConfig);
        QCOMPARE(dir.entries(), entriesAfter(before, fault));
    }
}

void TestDiskFaults::reportWriterReportsTheFaultAndKeepsTheEarlierFile()
{
    QFETCH(Fault, fault);
    if (fault == Fault::Unwritable)
        LUMATRAX_RUN_UNPRIVILEGED_WHEN_ROOT(); // root writes into read-only directories
    FaultyDirectory dir(fault, QStringLiteral("report.txt"), kEarlierReport);
    if (dir.unusable())
        QSKIP(qPrintable(*dir.unusable()));
    const QStringList before = dir.entries();
    QVERIFY(dir.strike());

    ReportFields fields;
    fields.companyName = QStringLiteral("ACME");
    const auto failure = writeReportFile(dir.filePath(), reportBytes(fields));
    QVERIFY(failure);
    const QString message = failure->message();
    QVERIFY2(message.contains(QDir::toNativeSeparators(dir.filePath())), qPrintable(message));
    QVERIFY2(message.contains(reasonOf(fault)), qPrintable(message));
    if (fault != Fault::Missing) {
        QCOMPARE(contentOf(dir.filePath()), kEarlierReport);
        QCOMPARE(dir.entries(), entriesAfter(before, fault));
    }
}

void TestDiskFaults::portButtonShowsTheFaultNamingTheFile()
{
    QFETCH(Fault, fault);
    if (fault == Fault::Unwritable)
        LUMATRAX_RUN_UNPRIVILEGED_WHEN_ROOT(); // root writes into read-only directories
    FaultyDirectory dir(fault, QString::fromLatin1(CONFIG_FILE_NAME), kEarlierConfig);
    if (dir.unusable())
        QSKIP(qPrintable(*dir.unusable()));
    // The program starts in the directory; COM1 and COM7 there name no device, so the
    // connection fails and the Port button is offered.
    const QString previous = QDir::currentPath();
    if (fault == Fault::Missing)
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
    QCOMPARE(window.portNumber(), std::int16_t(fault == Fault::Missing ? 1 : 7));
    QVERIFY(!window.ui().Frame3->isHidden());
    const QStringList before = dir.entries();
    QVERIFY(dir.strike());

    window.ui().cmdPort->click();
    QCOMPARE(messages.titles.size(), 2); // the failed connection, then the failed save
    QCOMPARE(messages.titles.last(), QStringLiteral("Select Port"));
    const QString text = messages.texts.last();
    QVERIFY2(text.contains(QDir::toNativeSeparators(dir.filePath())), qPrintable(text));
    QVERIFY2(text.contains(reasonOf(fault)), qPrintable(text));
    QCOMPARE(window.portNumber(), std::int16_t(12)); // kept for this run
    if (fault != Fault::Missing) {
        QCOMPARE(contentOf(dir.filePath()), kEarlierConfig);
        QCOMPARE(dir.entries(), entriesAfter(before, fault));
    }
}

void TestDiskFaults::reportFormShowsTheFaultNamingTheFile()
{
    QFETCH(Fault, fault);
    if (fault == Fault::Unwritable)
        LUMATRAX_RUN_UNPRIVILEGED_WHEN_ROOT(); // root writes into read-only directories
    FaultyDirectory dir(fault, QStringLiteral("report.txt"), kEarlierReport);
    if (dir.unusable())
        QSKIP(qPrintable(*dir.unusable()));
    const QStringList before = dir.entries();
    QVERIFY(dir.strike());

    ReportForm form;
    QStringList errors;
    form.setErrorReporter([&](QWidget*, const QString&, const QString& text) { errors << text; });
    form.setFileNameChooser([&](QWidget*, const QString&) { return dir.filePath(); });
    form.findChild<QPushButton*>("cmdSave")->click();

    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors.first().contains(QDir::toNativeSeparators(dir.filePath())),
             qPrintable(errors.first()));
    QVERIFY2(errors.first().contains(reasonOf(fault)), qPrintable(errors.first()));
    if (fault != Fault::Missing) {
        QCOMPARE(contentOf(dir.filePath()), kEarlierReport);
        QCOMPARE(dir.entries(), entriesAfter(before, fault));
    }
}

QTEST_MAIN(TestDiskFaults)
#include "tst_diskfaults.moc"
