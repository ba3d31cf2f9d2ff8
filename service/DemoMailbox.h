#pragma once

#include <QByteArray>
#include <QString>

// The demo accounts: demo@<domain> and demo@alt.<domain>, both with the
// password "demo", and a handful of realistic messages in each inbox (plain,
// multipart with an attachment, one above 50000 bytes, one with lines that
// begin with "."), all unread. Accounts and mailboxes that exist already are
// left as they are.
class DemoMailbox
{
public:
    static constexpr const char *DemoPassword = "demo";
    static bool create(const QString &dataDir, const QByteArray &mailDomain, QString *error);
};
