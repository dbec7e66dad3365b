#pragma once

// Keeps a single-line text box on one line: every line break that enters it (typed, pasted,
// dropped, committed by an input method or set by the program) becomes one blank, so a value
// can never break the fixed line layout of the report file. The box calls it on every change of
// its text; it accepts every text, of any length.

#include <QValidator>

namespace lumatrax {

class SingleLineValidator : public QValidator
{
    Q_OBJECT
public:
    explicit SingleLineValidator(QObject* parent = nullptr) : QValidator(parent) {}

    // A line break is CR LF, a CR or LF alone, U+2028 (line separator) or U+2029 (paragraph
    // separator); each becomes one blank, and the cursor stays after the same character.
    State validate(QString& input, int& pos) const override;
};

} // namespace lumatrax
