#pragma once

#include <QByteArray>
#include <QString>

// Small helpers of the diagnostics program.

// Undoes the scrambling of a stored text: every byte is combined by exclusive
// or with the key byte at the same position, the key repeating from its start.
// Scrambling and descrambling are the same operation. An empty key leaves the
// text as it is.
QByteArray Descramble(const QByteArray &text, const QByteArray &key);

// An error number as the reports show it: upper-case hexadecimal digits, no
// prefix, no leading zeros; a negative number in its 32-bit two's-complement
// form (0x8000000A shows as "8000000A").
QString HexErrorNumber(qint32 number);
