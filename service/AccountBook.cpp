#include "AccountBook.h"

#include <QFile>

#include <sys/stat.h>

namespace {

constexpr qint64 MaxAccountsFileBytes = 4 * 1024 * 1024; // a household's accounts fit many times
constexpr qsizetype MaxAddressBytes = 254;               // the longest mail address there is

QByteArray domainOf(const QByteArray &address)
{
    const qsizetype at = address.lastIndexOf('@');
    return at < 0 ? QByteArray() : address.mid(at + 1);
}

} // namespace

AccountBook::AccountBook(const QString &path, const QByteArray &mailDomain)
    : m_path(path)
    , m_mailDomain(mailDomain.toLower())
{
    refresh();
}

void AccountBook::refresh()
{
    struct stat info
    {
    };
    const QByteArray native = QFile::encodeName(m_path);
    if (::stat(native.constData(), &info) != 0) {
        if (m_loadedMtimeNs != -2) {
            m_accounts.clear();
            m_domains = {m_mailDomain};
            m_loadedMtimeNs = -2;
        }
        return;
    }
    const qint64 mtimeNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    if (mtimeNs == m_loadedMtimeNs && qint64(info.st_size) == m_loadedSize && qint64(info.st_ino) == m_loadedInode)
        return;
    m_loadedMtimeNs = mtimeNs;
    m_loadedSize = info.st_size;
    m_loadedInode = info.st_ino;
    load();
}

void AccountBook::load()
{
    m_accounts.clear();
    m_domains = {m_mailDomain};
    m_warnings.clear();
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_warnings << QStringLiteral("cannot read %1").arg(m_path);
        return;
    }
    const QByteArray text = file.read(MaxAccountsFileBytes);
    int lineNumber = 0;
    for (const QByteArray &rawLine : text.split('\n')) {
        ++lineNumber;
        const QByteArray line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.simplified().split(' ');
        const bool flagged = fields.size() == 3 && fields.at(2) == "redirect";
        if (fields.size() < 2 || (fields.size() == 3 && !flagged) || fields.size() > 3) {
            m_warnings << QStringLiteral("%1:%2: expected \"address password [redirect]\"").arg(m_path).arg(lineNumber);
            continue;
        }
        Account account;
        account.address = fields.at(0).toLower();
        account.password = fields.at(1);
        account.redirect = flagged;
        if (!isUsableAddress(account.address)) {
            m_warnings << QStringLiteral("%1:%2: unusable address").arg(m_path).arg(lineNumber);
            continue;
        }
        m_domains.insert(domainOf(account.address));
        m_accounts.insert(account.address, account);
    }
}

const Account *AccountBook::find(const QByteArray &address) const
{
    const auto it = m_accounts.constFind(address.toLower());
    return it == m_accounts.constEnd() ? nullptr : &it.value();
}

QByteArray AccountBook::addressForLoginName(const QByteArray &loginName) const
{
    const QByteArray name = loginName.toLower();
    return name.contains('@') ? name : name + '@' + m_mailDomain;
}

bool AccountBook::isServiceDomain(const QByteArray &domain) const
{
    return m_domains.contains(domain.toLower());
}

bool AccountBook::isAlternative(const QByteArray &address)
{
    return address.toLower().contains(AlternativeMarker);
}

bool AccountBook::isUsableAddress(const QByteArray &address)
{
    const qsizetype at = address.lastIndexOf('@');
    if (address.size() > MaxAddressBytes || at <= 0 || at == address.size() - 1 || address.startsWith('.'))
        return false;
    for (const char c : address) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == '/' || c == '\\' || c == '<' || c == '>' || c == '"')
            return false;
    }
    return true;
}
