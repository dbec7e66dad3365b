#include "report/reportfile.h"

#include "common/savefile.h"

#include <QDir>
#include <QStringList>

#include <algorithm>
#include <array>

namespace lumatrax {

namespace {

constexpr char kLineEnd[] = "\r\n";

// The fixed labels. Lines 1 to 10 have 14-character labels (values from column 15), lines 16
// to 24 have 22-character labels (values from column 23). "No. Of" with a capital O, and
// "Reject" rather than the form's "Rejected", belong to the file's format.
constexpr char kCompanyName[] = "Company Name: ";
constexpr char kAddress[] = "Address     : ";
constexpr char kReportNo[] = "Report No.  : ";
constexpr char kDate[] = "Date        : ";
constexpr char kCustomer[] = "Customer    : ";
constexpr char kNomenclature[] = "Nomenclature: ";
constexpr char kBatchNo[] = "Batch No.   : ";
constexpr char kMaterial[] = "Material    : ";
constexpr char kSortingOnChComp[] = "Sorting On  : CH. COMP.";
constexpr char kSortingOnHardness[] = "Sorting On  : HARDNESS";
constexpr char kSortingResult[] = " SORTING RESULT";
constexpr char kPiecesTested[] = "No. Of Pcs. Tested  : ";
constexpr char kPiecesAccepted[] = "No. of Pcs. Accepted: ";
constexpr char kPiecesRejected[] = "No. of Pcs. Rejected: ";
constexpr char kUpperReject[] = "Upper Reject        : ";
constexpr char kLowerReject[] = "Lower Reject        : ";
constexpr char kTestedBy[] = "Tested By           : ";

static_assert(sizeof kCompanyName - 1 == 14 && sizeof kMaterial - 1 == 14);
static_assert(sizeof kPiecesTested - 1 == 22 && sizeof kTestedBy - 1 == 22);

// The characters of Windows-1252's bytes 0x80..0x9F; 0 where a byte stands for nothing.
constexpr std::array<char32_t, 32> kWindows1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,      // 0x88
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178, // 0x98
};

// Calls each with every character of the text: a surrogate pair as the one character beyond
// U+FFFF it stands for, and any other UTF-16 unit (a lone surrogate too) as itself.
template <typename Each> void forEachCharacter(QStringView text, Each each)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            each(QChar::surrogateToUcs4(c, text[i + 1]));
            ++i;
        } else {
            each(char32_t(c.unicode()));
        }
    }
}

// The typed texts in the order the report writes them.
std::array<const QString*, 13> fieldsInReportOrder(const ReportFields& f)
{
    return {&f.companyName,   &f.address,       &f.reportNo, &f.date,         &f.customer,
            &f.nomenclature,  &f.batchNo,       &f.material, &f.piecesTested, &f.piecesAccepted,
            &f.upperRejected, &f.lowerRejected, &f.testedBy};
}

} // namespace

std::optional<char> windows1252Byte(char32_t codePoint)
{
    if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF))
        return char(codePoint);
    if (codePoint <= 0xFF)
        return std::nullopt; // a C1 control character
    const auto at = std::find(kWindows1252High.begin(), kWindows1252High.end(), codePoint);
    if (at == kWindows1252High.end())
        return std::nullopt;
    return char(0x80 + (at - kWindows1252High.begin()));
}

QString composedForm(QStringView text)
{
    return text.toString().normalized(QString::NormalizationForm_C);
}

QByteArray encodeWindows1252(QStringView text)
{
    QByteArray out;
    out.reserve(text.size());
    forEachCharacter(text, [&out](char32_t c) { out += windows1252Byte(c).value_or('?'); });
    return out;
}

QList<char32_t> unrepresentableCharacters(const ReportFields& f)
{
    QList<char32_t> found;
    for (const QString* text : fieldsInReportOrder(f)) {
        forEachCharacter(composedForm(*text), [&found](char32_t c) {
            if (!windows1252Byte(c) && !found.contains(c))
                found << c;
        });
    }
    return found;
}

QString unrepresentableQuestion(const QList<char32_t>& characters)
{
    QStringList named;
    for (qsizetype i = 0; i < characters.size() && i < kNamedCharacters; ++i) {
        const char32_t c = characters[i];
        const QString code = QStringLiteral("U+%1").arg(uint(c), 4, 16, QLatin1Char('0')).toUpper();
        // A character that shows nothing of its own (a control character, a lone accent, half a
        // surrogate pair) is named by its code alone.
        const bool shows = QChar::isPrint(c) && !QChar::isMark(c) && !QChar::isSurrogate(c);
        named << (shows ? QStringLiteral("\"%1\" (%2)").arg(QString::fromUcs4(&c, 1), code) : code);
    }
    QString list = named.join(QStringLiteral(", "));
    if (characters.size() > kNamedCharacters)
        list += QStringLiteral(" and %1 more").arg(characters.size() - kNamedCharacters);
    const QString which = characters.size() == 1
                              ? QStringLiteral("this character")
                              : QStringLiteral("these %1 characters").arg(characters.size());
    return QStringLiteral("The report's character set (Windows-1252) cannot hold %1:\n\n%2\n\n"
                          "They would be written as \"?\".")
        .arg(which, list);
}

QByteArray reportBytes(const ReportFields& f)
{
    QByteArray out;
    auto line = [&out](const char* label, const QString& value = {}) {
        out += label;
        out += encodeWindows1252(composedForm(value));
        out += kLineEnd;
    };
    line(kCompanyName, f.companyName);                              // 1
    line(kAddress, f.address);                                      // 2
    line("");                                                       // 3
    line("");                                                       // 4
    line(kReportNo, f.reportNo);                                    // 5
    line(kDate, f.date);                                            // 6
    line(kCustomer, f.customer);                                    // 7
    line(kNomenclature, f.nomenclature);                            // 8
    line(kBatchNo, f.batchNo);                                      // 9
    line(kMaterial, f.material);                                    // 10
    line(f.chCompSelected ? kSortingOnChComp : kSortingOnHardness); // 11
    line("");                                                       // 12
    line("");                                                       // 13
    line("");                                                       // 14
    line(kSortingResult);                                           // 15
    line(kPiecesTested, f.piecesTested);                            // 16
    line(kPiecesAccepted, f.piecesAccepted);                        // 17
    line(kPiecesRejected);                                          // 18: a heading only, no total
    line(kUpperReject, f.upperRejected);                            // 19
    line(kLowerReject, f.lowerRejected);                            // 20
    line("");                                                       // 21
    line("");                                                       // 22
    line("");                                                       // 23
    line(kTestedBy, f.testedBy);                                    // 24
    return out;
}

QString ReportWriteFailure::message() const
{
    // Close discards the form without a prompt, so the box says what else can still be done.
    return QStringLiteral("The report could not be saved to \"%1\".\n\n%2\n\n%3")
        .arg(QDir::toNativeSeparators(fileName), reason, QLatin1String(kKeptUntilClosed));
}

std::optional<ReportWriteFailure> writeReportFile(const QString& fileName, const QByteArray& bytes)
{
    if (auto failure = saveFile(fileName, bytes))
        return ReportWriteFailure{std::move(failure->fileName), std::move(failure->reason)};
    return std::nullopt;
}

} // namespace lumatrax
