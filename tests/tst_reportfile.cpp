// The report file: its 24 lines byte for byte, the 8-bit encoding, and the file written. The
// writer's disk faults are tested in tst_diskfaults.

#include "report/reportfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace lumatrax;

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Values with leading and trailing blanks, Latin-1 letters and a euro sign, which has no
// ISO 8859-1 code.
ReportFields filledFields()
{
    ReportFields f;
    f.companyName = QStringLiteral("Vorn Gauges & Fixtures Ltd.");
    f.address = QString::fromUtf8("12 Rue de l'Usine, Zürich ");
    f.reportNo = QStringLiteral("R-2024/117");
    f.date = QStringLiteral("05.03.2024");
    f.customer = QStringLiteral("  Acme Forge");
    f.nomenclature = QString::fromUtf8("Gear blank Ø40");
    f.batchNo = QStringLiteral("B-77");
    f.material = QStringLiteral("EN8 steel");
    f.chCompSelected = false;
    f.piecesTested = QStringLiteral("1000");
    f.piecesAccepted = QStringLiteral("982");
    f.upperRejected = QStringLiteral("11");
    f.lowerRejected = QStringLiteral("7 pcs");
    f.testedBy = QString::fromUtf8("J. Muñoz € ");
    return f;
}

} // namespace

class TestReportFile : public QObject
{
    Q_OBJECT
private slots:
    void emptyReportIsTheBareLabels_data();
    void emptyReportIsTheBareLabels();
    void filledReportKeepsBlanksAndMatchesTheExpectedFile();
    void encodingIsLatin1WithOneQuestionMarkPerCharacter_data();
    void encodingIsLatin1WithOneQuestionMarkPerCharacter();

    void writtenFileHoldsExactlyTheBytes();
    void longerExistingFileIsFullyReplaced();
};

void TestReportFile::emptyReportIsTheBareLabels_data()
{
    QTest::addColumn<bool>("chComp");
    QTest::addColumn<QByteArray>("sortingLine");
    QTest::addColumn<int>("size");
    QTest::newRow("CH. COMP.") << true << QByteArray("Sorting On  : CH. COMP.") << 330;
    QTest::newRow("HARDNESS") << false << QByteArray("Sorting On  : HARDNESS") << 329;
}

void TestReportFile::emptyReportIsTheBareLabels()
{
    QFETCH(bool, chComp);
    QFETCH(QByteArray, sortingLine);
    QFETCH(int, size);
    ReportFields fields;
    fields.chCompSelected = chComp;
    const QByteArray expected = "Company Name: \r\nAddress     : \r\n\r\n\r\n"
                                "Report No.  : \r\nDate        : \r\nCustomer    : \r\n"
                                "Nomenclature: \r\nBatch No.   : \r\nMaterial    : \r\n" +
                                sortingLine +
                                "\r\n\r\n\r\n\r\n SORTING RESULT\r\n"
                                "No. Of Pcs. Tested  : \r\nNo. of Pcs. Accepted: \r\n"
                                "No. of Pcs. Rejected: \r\nUpper Reject        : \r\n"
                                "Lower Reject        : \r\n\r\n\r\n\r\nTested By           : \r\n";
    const QByteArray bytes = reportBytes(fields);
    QCOMPARE(bytes, expected);
    QCOMPARE(bytes.size(), size);
    QCOMPARE(bytes.count("\r\n"), kReportLineCount);
    QCOMPARE(bytes.count('\n'), kReportLineCount); // no bare line feed anywhere
}

void TestReportFile::filledReportKeepsBlanksAndMatchesTheExpectedFile()
{
    // The expected file is kept byte for byte (no line-end conversion by git).
    const QString expected = QFINDTESTDATA("data/report-filled.txt");
    QVERIFY(!expected.isEmpty());
    QCOMPARE(reportBytes(filledFields()), readAll(expected));
}

void TestReportFile::encodingIsLatin1WithOneQuestionMarkPerCharacter_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ASCII with blanks") << " a b " << QByteArray(" a b ");
    QTest::newRow("tab and controls") << QString::fromUtf8("a\tb\x01") << QByteArray("a\tb\x01");
    QTest::newRow("Latin-1 letters")
        << QString::fromUtf8("Zürich ÿ") << QByteArray("Z\xFCrich \xFF");
    QTest::newRow("euro sign") << QString::fromUtf8("5 €") << QByteArray("5 ?");
    QTest::newRow("Cyrillic") << QString::fromUtf8("Жд") << QByteArray("??");
    QTest::newRow("beyond U+FFFF is one character")
        << QString::fromUtf8("a\xF0\x9F\x98\x80z") << QByteArray("a?z");
    QTest::newRow("lone high surrogate") << QString(QChar(0xD83D)) + "z" << QByteArray("?z");
    QTest::newRow("lone low surrogate") << QString(QChar(0xDE00)) + "z" << QByteArray("?z");
    QTest::newRow("two high surrogates")
        << QString(QChar(0xD83D)) + QChar(0xD83D) + QChar(0xDE00) << QByteArray("??");
}

void TestReportFile::encodingIsLatin1WithOneQuestionMarkPerCharacter()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(encodeLatin1(text), bytes);
}

void TestReportFile::writtenFileHoldsExactlyTheBytes()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("report.txt"));
    QCOMPARE(writeReportFile(path, reportBytes(filledFields())), std::nullopt);
    QCOMPARE(readAll(path), reportBytes(filledFields()));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{"report.txt"}); // no temporary file left behind
}

void TestReportFile::longerExistingFileIsFullyReplaced()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("report.txt"));
    writeAll(path, QByteArray(4096, 'x'));
    QCOMPARE(writeReportFile(path, reportBytes({})), std::nullopt);
    QCOMPARE(readAll(path), reportBytes({}));
}

QTEST_GUILESS_MAIN(TestReportFile)
#include "tst_reportfile.moc"
