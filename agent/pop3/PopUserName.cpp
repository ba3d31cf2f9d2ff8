#include "PopUserName.h"

namespace PopUserName {

QString Normalise(const QByteArray &argumentText, const QString &mailDomain)
{
    QString name = QString::fromUtf8(argumentText);
    name.replace(QLatin1Char('#'), QLatin1Char('@'));
    const qsizetype slash = name.indexOf(QLatin1Char('/'));
    if (slash >= 0)
        name.truncate(slash);
    if (!name.contains(QLatin1Char('@')))
        name += QLatin1Char('@') + mailDomain;
    return name.toLower();
}

} // namespace PopUserName
