#include "PopCommandLine.h"

#include "CommandText.h"

#include <limits>

namespace {

QList<QByteArray> splitAtBlanks(const QByteArray &text)
{
    QList<QByteArray> parts;
    qsizetype i = 0;
    while (i < text.size()) {
        while (i < text.size() && CommandText::IsBlank(text[i]))
            ++i;
        const qsizetype start = i;
        while (i < text.size() && !CommandText::IsBlank(text[i]))
            ++i;
        if (i > start)
            parts.append(text.mid(start, i - start));
    }
    return parts;
}

} // namespace

std::optional<PopCommandLine> PopCommandLine::parse(const QByteArray &line)
{
    if (line.size() < MinLineBytes)
        return std::nullopt;
    PopCommandLine parsed;
    parsed.command = line.left(4).toUpper();
    parsed.argumentText = CommandText::WithoutBlanks(line.mid(4));
    parsed.arguments = splitAtBlanks(parsed.argumentText);
    return parsed;
}

bool PopCommandLine::argumentBreaksLines() const
{
    return CommandText::HoldsLineBreakOrNul(argumentText);
}

PopNumber PopNumber::parse(const QByteArray &text)
{
    // Ten digits hold every 32-bit value; more cannot fit even with leading
    // zeros stripped, so the value is checked before it can overflow.
    constexpr qint64 Limit = 2147483647LL;
    PopNumber number;
    if (text.isEmpty()) {
        number.kind = Kind::Valid;
        return number;
    }
    qsizetype i = 0;
    bool negative = false;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size()) {
        number.kind = Kind::NotNumeric;
        return number;
    }
    qint64 value = 0;
    bool tooLarge = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            number.kind = Kind::NotNumeric;
            return number;
        }
        if (!tooLarge) {
            value = value * 10 + (c - '0');
            tooLarge = value > Limit + 1;
        }
    }
    if (negative && value != 0) {
        // Every count below 1 means the same to TOP, so one far below the
        // 32-bit range reads as its lowest value.
        number.kind = Kind::Negative;
        number.value = tooLarge ? std::numeric_limits<int>::min() : int(-value);
        return number;
    }
    if (tooLarge || value > Limit) {
        number.kind = Kind::OutOfRange;
        return number;
    }
    number.kind = Kind::Valid;
    number.value = int(value);
    return number;
}
