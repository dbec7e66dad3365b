#include "report/reportfile.h"

#include "common/savefile.h"

#include <QDir>

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

} // namespace

QByteArray encodeLatin1(QStringView text)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.unicode() <= 0xFF) {
            out += char(c.unicode());
            continue;
        }
        // A surrogate pair is one character beyond U+FFFF: one '?' for both halves.
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        out += '?';
    }
    return out;
}

QByteArray reportBytes(const ReportFields& f)
{
    QByteArray out;
    auto line = [&out](const char* label, const QString& value = {}) {
        out += label;
        out += encodeLatin1(value);
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
    return QStringLiteral("The report could not be saved to \"%1\".\n\n%2")
        .arg(QDir::toNativeSeparators(fileName), reason);
}

std::optional<ReportWriteFailure> writeReportFile(const QString& fileName, const QByteArray& bytes)
{
    if (auto failure = saveFile(fileName, bytes))
        return ReportWriteFailure{std::move(failure->fileName), std::move(failure->reason)};
    return std::nullopt;
}

} // namespace lumatrax
