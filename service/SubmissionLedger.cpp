#include "SubmissionLedger.h"

#include "SafeFile.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QMutexLocker>
#include <QSaveFile>

#include <algorithm>
#include <optional>

#include <gnutls/crypto.h>

namespace {

// A ledger file larger than this is not read: it cannot have been written by
// MaxRememberedPerAccount lines.
constexpr qint64 MaxLedgerFileBytes = 64LL * 1024 * 1024;

// The library's SHA-256 uses the processor's own instructions where it has
// them: for a large message it is several times faster than Qt's, and the
// digest is taken before the answer can leave. Should it fail, Qt's.
QByteArray digestOf(const QByteArray &body)
{
    QByteArray digest(32, Qt::Uninitialized);
    if (gnutls_hash_fast(GNUTLS_DIG_SHA256, body.constData(), size_t(body.size()), digest.data()) == 0)
        return digest.toHex();
    return QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex();
}

bool isIdCharacter(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}

// The answer text goes on one line: it is our own text, but line ends in it
// would break the file.
QByteArray oneLine(QByteArray text)
{
    text.replace('\r', ' ').replace('\n', ' ');
    return text.trimmed();
}

} // namespace

SubmissionLedger::SubmissionLedger(const QString &dataDir, std::function<qint64()> clock)
    : m_folder(dataDir + QStringLiteral("/submissions"))
    , m_clock(std::move(clock))
{
}

bool SubmissionLedger::isUsableId(const QByteArray &id)
{
    return !id.isEmpty() && id.size() <= MaxIdBytes && std::all_of(id.cbegin(), id.cend(), isIdCharacter);
}

HttpResponse SubmissionLedger::once(const QByteArray &account, const QByteArray &id, const QByteArray &body,
                                    const std::function<HttpResponse()> &store)
{
    if (id.isEmpty())
        return store();
    if (!isUsableId(id))
        return HttpResponse::failure(400, "the submission id must be 1 to 64 letters, digits or hyphens");

    QMutexLocker lock(&m_mutex);
    Entries &entries = entriesOf(account);
    const QByteArray digest = digestOf(body);
    const auto earlier = entries.constFind(id);
    if (earlier != entries.constEnd() && now() - earlier->storedAt < KeepSeconds) {
        if (earlier->digest != digest)
            return HttpResponse::failure(409, "this submission id was given to another message");
        HttpResponse again = HttpResponse::text(earlier->status, earlier->answer + "\r\n");
        again.addHeader("X-Zorvane-Submission", "repeated; stored before, not again");
        return again;
    }

    HttpResponse response = store();
    if (response.status < 200 || response.status > 299)
        return response;
    const Entry entry{now(), digest, response.status, oneLine(response.body)};
    QString error;
    if (!append(account, id, entry, &error)) {
        // The message is stored; only a repeat of it would be stored again.
        response.addHeader("X-Zorvane-Reason", "stored, but its submission id could not be kept: " + error.toUtf8());
    }
    entries.insert(id, entry);
    if (entries.size() > MaxRememberedPerAccount)
        forgetOldest(entries);
    return response;
}

SubmissionLedger::Entries &SubmissionLedger::entriesOf(const QByteArray &account)
{
    auto found = m_accounts.find(account);
    if (found == m_accounts.end())
        found = m_accounts.insert(account, load(account));
    return *found;
}

// The lines still within KeepSeconds; the file is written again without the
// others, so it does not grow for ever.
SubmissionLedger::Entries SubmissionLedger::load(const QByteArray &account) const
{
    Entries entries;
    QByteArray bytes;
    QString error;
    if (!QFile::exists(fileOf(account)) || !SafeFile::readAll(fileOf(account), MaxLedgerFileBytes, &bytes, &error))
        return entries;
    const qint64 cutOff = now() - KeepSeconds;
    QByteArray kept;
    for (const QByteArray &line : bytes.split('\n')) {
        // <stored at> <id> <digest> <status> <answer text>
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 4)
            continue;
        bool timeOk = false;
        bool statusOk = false;
        Entry entry{fields.at(0).toLongLong(&timeOk), fields.at(2), fields.at(3).toInt(&statusOk), QByteArray()};
        if (!timeOk || !statusOk || !isUsableId(fields.at(1)) || entry.storedAt < cutOff)
            continue;
        entry.answer =
            line.mid(fields.at(0).size() + fields.at(1).size() + fields.at(2).size() + fields.at(3).size() + 4);
        entries.insert(fields.at(1), entry);
        kept += line + '\n';
    }
    if (kept.size() != bytes.size()) {
        // Should this fail, the old lines are merely read again next time.
        QSaveFile file(fileOf(account));
        if (file.open(QIODevice::WriteOnly) && file.write(kept) == kept.size())
            file.commit();
    }
    return entries;
}

// One line more, on disk before the answer leaves. The line is synced on
// its own, after the message's copies were synced and renamed into place: a
// line must never reach the disk ahead of the message it speaks for, or a
// power loss could leave a line that answers a repeat with "stored before"
// for a message that is not there. On a journalling file system this sync
// also commits those renames.
bool SubmissionLedger::append(const QByteArray &account, const QByteArray &id, const Entry &entry, QString *error) const
{
    const QByteArray line = QByteArray::number(entry.storedAt) + ' ' + id + ' ' + entry.digest + ' '
        + QByteArray::number(entry.status) + ' ' + entry.answer + '\n';
    const QString path = fileOf(account);
    // The folder is made when the file cannot be opened, not at every line.
    const std::optional<int> fd = SafeFile::openForAppending(path, error);
    if (fd)
        return SafeFile::appendSynced(*fd, path, line, error);
    if (!SafeFile::makeFolder(m_folder, error))
        return false;
    const std::optional<int> retried = SafeFile::openForAppending(path, error);
    return retried && SafeFile::appendSynced(*retried, path, line, error);
}

// Drops the oldest tenth, so this runs seldom.
void SubmissionLedger::forgetOldest(Entries &entries) const
{
    QList<qint64> times;
    times.reserve(entries.size());
    for (const Entry &entry : std::as_const(entries))
        times.append(entry.storedAt);
    const qsizetype drop = entries.size() / 10 + 1;
    std::nth_element(times.begin(), times.begin() + drop - 1, times.end());
    const qint64 newestDropped = times.at(drop - 1);
    entries.removeIf([newestDropped](const auto &item) { return item.value().storedAt <= newestDropped; });
}

QString SubmissionLedger::fileOf(const QByteArray &account) const
{
    // Addresses of the accounts file are safe as file names.
    return m_folder + QLatin1Char('/') + QString::fromUtf8(account);
}

qint64 SubmissionLedger::now() const
{
    return m_clock ? m_clock() : QDateTime::currentSecsSinceEpoch();
}
