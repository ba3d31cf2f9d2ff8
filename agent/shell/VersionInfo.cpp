#include "VersionInfo.h"

#ifndef ZORVANE_VERSION_MAJOR
#error "the build passes ZORVANE_VERSION_MAJOR, _MINOR, _REVISION and ZORVANE_PRODUCT_NAME"
#endif

namespace VersionInfo {

QString Title()
{
    return QStringLiteral(ZORVANE_PRODUCT_NAME);
}

int Major()
{
    return ZORVANE_VERSION_MAJOR;
}

int Minor()
{
    return ZORVANE_VERSION_MINOR;
}

int Revision()
{
    return ZORVANE_VERSION_REVISION;
}

QString VersionLine()
{
    return QStringLiteral("%1 %2.%3 (Rev. %4)").arg(Title()).arg(Major()).arg(Minor()).arg(Revision());
}

} // namespace VersionInfo
