#pragma once

// The test report file: 24 lines of fixed labels and the operator's typed values, each line
// ending in CR LF, in ISO 8859-1. Plain functions with no widgets; the report form gathers the
// fields and calls them. This folder never includes link/ or app/.

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>

namespace lumatrax {

// The current content of the report form's fields, exactly as typed (blanks kept).
struct ReportFields
{
    QString companyName;        // txtCoName
    QString address;            // txtAdd
    QString reportNo;           // txtReport
    QString date;               // txtDate
    QString customer;           // txtCust
    QString nomenclature;       // txtNome
    QString batchNo;            // txtBatch
    QString material;           // txtMat
    bool chCompSelected = true; // cmbSort: entry 0 "CH. COMP." selected; otherwise HARDNESS
    QString piecesTested;       // txtNumTested
    QString piecesAccepted;     // txtNumAccepted
    QString upperRejected;      // txtNumUpper
    QString lowerRejected;      // txtNumLower
    QString testedBy;           // txtTestedBy
};

inline constexpr int kReportLineCount = 24;

// The report's 8-bit character set is ISO 8859-1. Every character of the text (one UTF-16 unit,
// or a surrogate pair standing for one character beyond U+FFFF) becomes one byte: its code when
// it is U+0000..U+00FF, otherwise '?'. A lone surrogate is one character and becomes '?' too.
[[nodiscard]] QByteArray encodeLatin1(QStringView text);

// The whole report file: 24 lines, every one (the last included) ending in CR LF. Values follow
// their labels unchanged. With every field empty it is 330 bytes with CH. COMP., 329 with
// HARDNESS.
[[nodiscard]] QByteArray reportBytes(const ReportFields& fields);

// Why a report could not be written: the file as the operator named it and the system's reason.
struct ReportWriteFailure
{
    QString fileName;
    QString reason;

    // The text of a message box: the file (in native separators), then the reason.
    [[nodiscard]] QString message() const;
};

// Writes bytes to fileName through common/savefile.h: atomically, into a temporary file beside
// it renamed over the target only once every byte has been written, so a failure leaves an
// earlier file of that name untouched and no temporary file behind; in a directory that takes no
// new file, an existing file is rewritten in place. Returns the failure, or nothing on success.
[[nodiscard]] std::optional<ReportWriteFailure> writeReportFile(const QString& fileName,
                                                                const QByteArray& bytes);

} // namespace lumatrax
