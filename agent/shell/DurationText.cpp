#include "DurationText.h"

QString DurationText(int milliseconds)
{
    if (milliseconds % 60000 == 0)
        return milliseconds == 60000 ? QStringLiteral("1 minute")
                                     : QStringLiteral("%1 minutes").arg(milliseconds / 60000);
    if (milliseconds % 1000 == 0)
        return QStringLiteral("%1 seconds").arg(milliseconds / 1000);
    return QStringLiteral("%1 ms").arg(milliseconds);
}
