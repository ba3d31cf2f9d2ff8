#include "HttpDate.h"

#include <ctime>

namespace HttpDate {

QByteArray fromNanoseconds(qint64 sinceEpochNs)
{
    static const char *const Days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t seconds = std::time_t(sinceEpochNs / 1000000000);
    std::tm parts{};
    if (!::gmtime_r(&seconds, &parts))
        return QByteArray();
    char text[64];
    const int length = std::snprintf(text, sizeof text, "%s, %02d %s %04lld %02d:%02d:%02d GMT", Days[parts.tm_wday],
                                     parts.tm_mday, Months[parts.tm_mon], static_cast<long long>(parts.tm_year) + 1900,
                                     parts.tm_hour, parts.tm_min, parts.tm_sec);
    return QByteArray(text, qBound(0, length, int(sizeof text) - 1));
}

} // namespace HttpDate
