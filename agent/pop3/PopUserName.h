#pragma once

#include <QByteArray>
#include <QString>

// The account name a POP3 client gives at USER, turned into the lower-case
// address the service knows: "#" stands for "@", anything from the first
// "/" on is dropped, and a bare name gets "@" and the service's mail domain.
namespace PopUserName {
QString Normalise(const QByteArray &argumentText, const QString &mailDomain);
}
