#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

struct Account
{
    QByteArray address; // lower case
    QByteArray password;
    bool redirect = false; // its login is answered 900 with its home collection
};

// The accounts file: one "address password [redirect]" a line, blank lines
// and "#" comments allowed. It is read again whenever it changes, so accounts
// can be added while the service runs.
class AccountBook
{
public:
    // Names containing it (without regard to case) are alternative accounts.
    static constexpr const char *AlternativeMarker = "@alt.";

    AccountBook(const QString &path, const QByteArray &mailDomain);

    // Reads the file again if it changed since the last look.
    void refresh();

    const Account *find(const QByteArray &address) const;
    // The account address a login name stands for: a name without "@" gets
    // "@" and the mail domain; names are compared in lower case.
    QByteArray addressForLoginName(const QByteArray &loginName) const;
    // The mail domain and the domain of every account.
    bool isServiceDomain(const QByteArray &domain) const;
    const QByteArray &mailDomain() const { return m_mailDomain; }
    static bool isAlternative(const QByteArray &address);
    // An address that can safely name a folder under the data folder.
    static bool isUsableAddress(const QByteArray &address);

    // Problems met while reading the file (bad lines), for the log.
    const QStringList &warnings() const { return m_warnings; }

private:
    void load();

    QString m_path;
    QByteArray m_mailDomain;
    QHash<QByteArray, Account> m_accounts;
    QSet<QByteArray> m_domains;
    QStringList m_warnings;
    qint64 m_loadedMtimeNs = -1;
    qint64 m_loadedSize = -1;
    qint64 m_loadedInode = -1;
};
