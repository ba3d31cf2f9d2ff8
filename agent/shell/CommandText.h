#pragma once

#include <QByteArray>

// What both front ends need of a command line as the client sent it. Blanks
// are space and tab only: any other byte, CR and LF included, is part of the
// text.
namespace CommandText {

bool IsBlank(char c);
QByteArray WithoutLeadingBlanks(const QByteArray &text);
QByteArray WithoutTrailingBlanks(const QByteArray &text);
QByteArray WithoutBlanks(const QByteArray &text);
// CR, LF or NUL inside an argument would let it end a line or a text early
// wherever it is passed on.
bool HoldsLineBreakOrNul(const QByteArray &text);

} // namespace CommandText
