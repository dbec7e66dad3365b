#include "report/singlelinevalidator.h"

#include <algorithm>

namespace lumatrax {

namespace {

constexpr char16_t kCr = u'\r';
constexpr char16_t kLf = u'\n';
constexpr char16_t kLineSeparator = u'\u2028';
constexpr char16_t kParagraphSeparator = u'\u2029';

bool isLineBreak(QChar c)
{
    return c == kCr || c == kLf || c == kLineSeparator || c == kParagraphSeparator;
}

} // namespace

QValidator::State SingleLineValidator::validate(QString& input, int& pos) const
{
    if (std::none_of(input.cbegin(), input.cend(), isLineBreak))
        return Acceptable;
    QString joined;
    joined.reserve(input.size());
    int newPos = pos;
    for (qsizetype i = 0; i < input.size(); ++i) {
        if (!isLineBreak(input[i])) {
            joined += input[i];
            continue;
        }
        joined += u' ';
        if (input[i] == kCr && i + 1 < input.size() && input[i + 1] == kLf) {
            ++i; // CR LF is one line break
            if (i < pos)
                --newPos;
        }
    }
    input = joined;
    pos = newPos;
    return Acceptable;
}

} // namespace lumatrax
