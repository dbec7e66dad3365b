// Fuzz target: the report writer, with arbitrary texts in every field.
//
// The input is read as UTF-16 code units (any value, lone surrogates too): the first byte
// chooses the sorting basis, then each of the first twelve text fields takes a length byte and
// that many units, and the last field takes whatever remains. The report's bytes are checked
// against its fixed shape (each character of a field's composed form one byte, "?" exactly for
// the characters found unrepresentable), written to a real file and read back.

#include "fuzz/fuzzsupport.h"
#include "report/reportfile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace lumatrax;

namespace {

// The report with every field empty and CH. COMP. selected.
constexpr qsizetype kEmptyReportSize = 330;

using fuzz::fail;
using fuzz::require;

class Reader
{
public:
    Reader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    [[nodiscard]] std::uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }

    [[nodiscard]] QString units(std::size_t count)
    {
        QString text;
        for (std::size_t i = 0; i < count && m_pos + 1 < m_size; ++i, m_pos += 2)
            text += QChar(char16_t(m_data[m_pos] | (m_data[m_pos + 1] << 8)));
        return text;
    }

    [[nodiscard]] QString rest() { return units(m_size); }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// Characters as the report counts them: a surrogate pair is one, anything else one unit each.
qsizetype characters(const QString& text)
{
    qsizetype n = 0;
    for (qsizetype i = 0; i < text.size(); ++i, ++n) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
    }
    return n;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    (void)fuzz::scratchDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Reader in(data, size);
    ReportFields f;
    f.chCompSelected = (in.byte() & 1) == 0;
    const std::array<QString*, 13> texts = {
        &f.companyName,   &f.address,       &f.reportNo, &f.date,         &f.customer,
        &f.nomenclature,  &f.batchNo,       &f.material, &f.piecesTested, &f.piecesAccepted,
        &f.upperRejected, &f.lowerRejected, &f.testedBy};
    for (std::size_t i = 0; i + 1 < texts.size(); ++i)
        *texts[i] = in.units(in.byte());
    *texts.back() = in.rest();

    const QByteArray report = reportBytes(f);
    const bool unrepresentable = !unrepresentableCharacters(f).isEmpty();
    qsizetype expectedSize = kEmptyReportSize - (f.chCompSelected ? 0 : 1);
    bool questionMarkMade = false;
    for (const QString* text : texts) {
        const QString composed = composedForm(*text);
        const QByteArray encoded = encodeWindows1252(composed);
        require(encoded.size() == characters(composed), "a character did not become one byte");
        require(report.contains(encoded), "a field's text is missing from the report");
        questionMarkMade |= encoded.count('?') > composed.count(u'?');
        expectedSize += encoded.size();
    }
    require(questionMarkMade == unrepresentable, "\"?\" written where nothing was found, or not");
    require(report.size() == expectedSize, "the report is not labels, values and line ends");
    require(report.endsWith("Tested By           : " + encodeWindows1252(composedForm(f.testedBy)) +
                            "\r\n"),
            "the report does not end with the tester's line");

    const QString path =
        QDir(fuzz::scratchDirectory().path()).filePath(QStringLiteral("report.txt"));
    if (const auto failure = writeReportFile(path, report))
        fail(qPrintable(failure->message()));
    QFile file(path);
    require(file.open(QIODevice::ReadOnly) && file.readAll() == report,
            "the file does not hold exactly the report");
    require(QDir(fuzz::scratchDirectory().path()).entryList(QDir::Files | QDir::Hidden).size() == 1,
            "a temporary file was left behind");
    return 0;
}
