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

// The plain-words text of a failure below HTTP that the request component
// reports as one of the network codes 12001..12036.
QString NetworkErrorDescription(int code);

// True for a status that is not an answer of the service but a network code
// of the request component (no HTTP status has more than three digits).
bool IsNetworkFailureStatus(int status);
