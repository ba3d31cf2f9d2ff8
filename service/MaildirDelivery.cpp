#include "MaildirDelivery.h"

#include "SafeFile.h"

#include <QFile>

#include <atomic>
#include <sys/time.h>
#include <unistd.h>

namespace {

QByteArray hostNameForMaildir()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    QByteArray host(name);
    // The Maildir convention for the two characters a file name cannot carry.
    host.replace('/', "\\057");
    host.replace(':', "\\072");
    return host;
}

} // namespace

MaildirDelivery::~MaildirDelivery()
{
    rollback();
}

QByteArray MaildirDelivery::newUniquePart()
{
    static std::atomic<quint64> counter{0};
    static const QByteArray host = hostNameForMaildir();
    struct timeval now
    {
    };
    ::gettimeofday(&now, nullptr);
    return QByteArray::number(qint64(now.tv_sec)) + ".M" + QByteArray::number(qint64(now.tv_usec)) + 'P'
        + QByteArray::number(qint64(::getpid())) + 'Q' + QByteArray::number(++counter) + '.' + host;
}

bool MaildirDelivery::stage(const MaildirFolder &folder, QByteArrayView bytes, bool read, QString *error)
{
    return stage(folder, QList<QByteArrayView>{bytes}, read, error);
}

bool MaildirDelivery::stage(const MaildirFolder &folder, const QList<QByteArrayView> &pieces, bool read, QString *error)
{
    const QByteArray unique = newUniquePart();
    Staged staged{folder, folder.path() + QStringLiteral("/tmp/") + QFile::decodeName(unique),
                  read ? folder.path() + QStringLiteral("/cur/") + QFile::decodeName(unique + ":2,S")
                       : folder.path() + QStringLiteral("/new/") + QFile::decodeName(unique)};
    // The folders are made when a write into them fails, not before every
    // delivery: making a folder's whole chain again costs more system calls
    // than the delivery itself. One that was removed meanwhile is made again.
    if (!SafeFile::writeNew(staged.tmpPath, pieces, error)
        && (!folder.ensure(error) || !SafeFile::writeNew(staged.tmpPath, pieces, error)))
        return false;
    m_staged.append(staged);
    return true;
}

bool MaildirDelivery::commit(QString *error)
{
    for (Staged &staged : m_staged) {
        if (!place(staged, error)) {
            rollback();
            return false;
        }
        staged.placed = true;
    }
    m_staged.clear();
    return true;
}

// A name already taken is a failure; a folder missing (new/ or cur/ removed
// since the copy was staged) is made again.
bool MaildirDelivery::place(const Staged &staged, QString *error)
{
    bool exists = false;
    if (SafeFile::renameNoReplace(staged.tmpPath, staged.finalPath, &exists, error))
        return true;
    return !exists && staged.folder.ensure(error)
        && SafeFile::renameNoReplace(staged.tmpPath, staged.finalPath, &exists, error);
}

void MaildirDelivery::rollback()
{
    for (const Staged &staged : m_staged)
        QFile::remove(staged.placed ? staged.finalPath : staged.tmpPath);
    m_staged.clear();
}
