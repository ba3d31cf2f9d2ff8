#pragma once

#include <QByteArray>

// An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT") of a file's modification
// time. A folder listing writes one per message, so it is formatted by hand
// rather than through the locale machinery.
namespace HttpDate {

QByteArray fromNanoseconds(qint64 sinceEpochNs);

} // namespace HttpDate
