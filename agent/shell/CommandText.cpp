#include "CommandText.h"

namespace CommandText {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArray WithoutLeadingBlanks(const QByteArray &text)
{
    qsizetype begin = 0;
    while (begin < text.size() && IsBlank(text.at(begin)))
        ++begin;
    return text.mid(begin);
}

QByteArray WithoutTrailingBlanks(const QByteArray &text)
{
    qsizetype end = text.size();
    while (end > 0 && IsBlank(text.at(end - 1)))
        --end;
    return text.left(end);
}

QByteArray WithoutBlanks(const QByteArray &text)
{
    return WithoutTrailingBlanks(WithoutLeadingBlanks(text));
}

bool HoldsLineBreakOrNul(const QByteArray &text)
{
    return text.contains('\r') || text.contains('\n') || text.contains('\0');
}

} // namespace CommandText
