#pragma once

// The test report file: 24 lines of fixed labels and the operator's typed values, each line
// ending in CR LF, in Windows-1252. Plain functions with no widgets; the report form gathers the
// fields and calls them. This folder never includes link/ or app/.

#include <QByteArray>
#include <QList>
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

// The report's 8-bit character set is Windows-1252: ASCII and U+00A0..U+00FF as their own byte
// (the same bytes as ISO 8859-1), and at 0x80..0x9F the euro sign, dashes, typographic quotes
// and the other 24 characters of its table. Five of those bytes (0x81, 0x8D, 0x8F, 0x90, 0x9D)
// stand for nothing, and the C1 control characters U+0080..U+009F have no byte: those bytes mean
// other characters here. The byte of a code point, or nothing when the set cannot hold it.
[[nodiscard]] std::optional<char> windows1252Byte(char32_t codePoint);

// Text in its composed form (NFC): a letter typed as a base and a combining accent becomes the
// one character it stands for, as the report writes it.
[[nodiscard]] QString composedForm(QStringView text);

// Every character of the text (one UTF-16 unit, or a surrogate pair standing for one character
// beyond U+FFFF) becomes one byte: its Windows-1252 byte, otherwise '?'. A lone surrogate is one
// character and becomes '?' too. The text is taken as it is; reportBytes() composes it first.
[[nodiscard]] QByteArray encodeWindows1252(QStringView text);

// The characters of the fields' composed text that the report cannot hold, each once, in the
// order they first appear in the report; empty when every character fits.
[[nodiscard]] QList<char32_t> unrepresentableCharacters(const ReportFields& fields);

// The question asked before such a report is written: it names up to kNamedCharacters of them
// and says they would be written as "?".
inline constexpr int kNamedCharacters = 10;
[[nodiscard]] QString unrepresentableQuestion(const QList<char32_t>& characters);

// The whole report file: 24 lines, every one (the last included) ending in CR LF. Values follow
// their labels unchanged but for their composed form and the character set. With every field empty
// it is 330 bytes with CH. COMP., 329 with HARDNESS.
[[nodiscard]] QByteArray reportBytes(const ReportFields& fields);

// What the operator can still do after a failed save.
inline constexpr const char* kKeptUntilClosed =
    "The form keeps what was typed until it is closed: save the report elsewhere before pressing "
    "Close, which discards it.";

// Why a report could not be written: the file as the operator named it and the system's reason.
struct ReportWriteFailure
{
    QString fileName;
    QString reason;

    // The text of a message box: the file (in native separators), the reason, then
    // kKeptUntilClosed.
    [[nodiscard]] QString message() const;
};

// Writes bytes to fileName through common/savefile.h: atomically, into a temporary file beside
// it renamed over the target only once every byte has been written, so a failure leaves an
// earlier file of that name untouched and no temporary file behind; in a directory that takes no
// new file, an existing file is rewritten in place. Returns the failure, or nothing on success.
[[nodiscard]] std::optional<ReportWriteFailure> writeReportFile(const QString& fileName,
                                                                const QByteArray& bytes);

} // namespace lumatrax
