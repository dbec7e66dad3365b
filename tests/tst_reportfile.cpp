// The report file: its 24 lines byte for byte, the 8-bit character set and the composed form,
// what the set cannot hold and the question that names it, and the file written. The writer's
// disk faults are tested in tst_diskfaults.

#include "report/reportfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <cstdint>

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

// Values with leading and trailing blanks, Latin-1 letters and a euro sign, byte 0x80.
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
    void encodingIsWindows1252WithOneQuestionMarkPerCharacter_data();
    void encodingIsWindows1252WithOneQuestionMarkPerCharacter();
    void everyByteButFiveStandsForOneCharacter();
    void reportWritesTextInItsComposedForm_data();
    void reportWritesTextInItsComposedForm();
    void unrepresentableCharactersAreFoundOnceInReportOrder();
    void questionNamesUpToTenCharacters_data();
    void questionNamesUpToTenCharacters();

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

void TestReportFile::encodingIsWindows1252WithOneQuestionMarkPerCharacter_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ASCII with blanks") << " a b " << QByteArray(" a b ");
    QTest::newRow("tab and controls") << QString::fromUtf8("a\tb\x01") << QByteArray("a\tb\x01");
    QTest::newRow("Latin-1 letters")
        << QString::fromUtf8("Zürich ÿ\u00A0") << QByteArray("Z\xFCrich \xFF\xA0");
    QTest::newRow("euro sign") << QString::fromUtf8("5 €") << QByteArray("5 \x80");
    QTest::newRow("dashes and typographic quotes")
        << QString::fromUtf8("–—‘’“”‚„…") << QByteArray("\x96\x97\x91\x92\x93\x94\x82\x84\x85");
    QTest::newRow("Polish city and a price") << QString::fromUtf8("Łódź €5")
                                             << QByteArray("?\xF3"
                                                           "d? \x80"
                                                           "5");
    QTest::newRow("C1 control characters")
        << QString::fromUtf8("a\u0080\u0085\u009Fz") << QByteArray("a???z");
    QTest::newRow("Cyrillic") << QString::fromUtf8("Жд") << QByteArray("??");
    QTest::newRow("beyond U+FFFF is one character")
        << QString::fromUtf8("a\xF0\x9F\x98\x80z") << QByteArray("a?z");
    QTest::newRow("lone high surrogate") << QString(QChar(0xD83D)) + "z" << QByteArray("?z");
    QTest::newRow("lone low surrogate") << QString(QChar(0xDE00)) + "z" << QByteArray("?z");
    QTest::newRow("two high surrogates")
        << QString(QChar(0xD83D)) + QChar(0xD83D) + QChar(0xDE00) << QByteArray("??");
}

void TestReportFile::encodingIsWindows1252WithOneQuestionMarkPerCharacter()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(encodeWindows1252(text), bytes);
}

void TestReportFile::everyByteButFiveStandsForOneCharacter()
{
    std::array<int, 256> characters = {};
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (const auto byte = windows1252Byte(c))
            ++characters[std::uint8_t(*byte)];
    }
    for (int byte = 0; byte < 256; ++byte) {
        const bool undefined =
            byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D;
        QVERIFY2(characters[std::size_t(byte)] == (undefined ? 0 : 1),
                 qPrintable(QString::number(byte, 16)));
    }
    for (char32_t c = 0x80; c <= 0x9F; ++c)
        QCOMPARE(windows1252Byte(c), std::nullopt); // C1 controls: those bytes mean others
    QCOMPARE(windows1252Byte(0x2122), std::optional('\x99'));
    QCOMPARE(windows1252Byte(0x0178), std::optional('\x9F'));
}

void TestReportFile::reportWritesTextInItsComposedForm_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("written");
    QTest::newRow("o and a combining acute") << QString::fromUtf8("o\u0301d")
                                             << QByteArray("\xF3"
                                                           "d");
    QTest::newRow("A and a combining ring") << QString::fromUtf8("A\u030A") << QByteArray("\xC5");
    QTest::newRow("angstrom sign") << QString::fromUtf8("\u212B") << QByteArray("\xC5");
    QTest::newRow("S and a combining caron") << QString::fromUtf8("S\u030C") << QByteArray("\x8A");
    QTest::newRow("an accent with no composed letter")
        << QString::fromUtf8("q\u0301") << QByteArray("q?");
}

void TestReportFile::reportWritesTextInItsComposedForm()
{
    QFETCH(QString, typed);
    QFETCH(QByteArray, written);
    ReportFields fields;
    fields.material = typed;
    QVERIFY(reportBytes(fields).contains("\r\nMaterial    : " + written + "\r\n"));
    QCOMPARE(unrepresentableCharacters(fields).isEmpty(), !written.contains('?'));
}

void TestReportFile::unrepresentableCharactersAreFoundOnceInReportOrder()
{
    ReportFields fields;
    fields.testedBy = QString::fromUtf8("Ł \u0085 €");           // line 24
    fields.companyName = QString::fromUtf8("Łódź €5 – o\u0301"); // line 1
    fields.material = QString::fromUtf8("Ж\xF0\x9F\x98\x80");    // line 10
    QCOMPARE(unrepresentableCharacters(fields),
             (QList<char32_t>{0x141, 0x17A, 0x416, 0x1F600, 0x85}));
    QCOMPARE(unrepresentableCharacters(filledFields()), QList<char32_t>());
}

void TestReportFile::questionNamesUpToTenCharacters_data()
{
    QTest::addColumn<QList<char32_t>>("characters");
    QTest::addColumn<QString>("named");
    QTest::newRow("one") << QList<char32_t>{0x141}
                         << QStringLiteral("this character:\n\n\"Ł\" (U+0141)\n");
    QTest::newRow("two, one of them a control character")
        << QList<char32_t>{0x17A, 0x85}
        << QStringLiteral("these 2 characters:\n\n\"ź\" (U+017A), U+0085\n");
    QTest::newRow("beyond U+FFFF and a lone surrogate")
        << QList<char32_t>{0x1F600, 0xD83D}
        << QString::fromUtf8("\"\xF0\x9F\x98\x80\" (U+1F600), U+D83D\n");
    QList<char32_t> twelve;
    for (char32_t c = 0x410; c < 0x410 + 12; ++c)
        twelve << c;
    QTest::newRow("twelve") << twelve
                            << QString::fromUtf8("these 12 characters:\n\n\"А\" (U+0410), "
                                                 "\"Б\" (U+0411), \"В\" (U+0412), \"Г\" (U+0413), "
                                                 "\"Д\" (U+0414), \"Е\" (U+0415), \"Ж\" (U+0416), "
                                                 "\"З\" (U+0417), \"И\" (U+0418), \"Й\" (U+0419) "
                                                 "and 2 more\n");
}

void TestReportFile::questionNamesUpToTenCharacters()
{
    QFETCH(QList<char32_t>, characters);
    QFETCH(QString, named);
    const QString question = unrepresentableQuestion(characters);
    QVERIFY2(question.contains(named), qPrintable(question));
    QVERIFY2(question.endsWith(QStringLiteral("They would be written as \"?\".")),
             qPrintable(question));
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
