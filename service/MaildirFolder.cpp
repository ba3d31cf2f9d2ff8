#include "MaildirFolder.h"

#include "PathSegments.h"
#include "SafeFile.h"

#include <QCryptographicHash>
#include <QFile>

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

constexpr qsizetype MaxNameChars = 64;        // a name is also a POP3 unique id (at most 70)
constexpr qsizetype MaxUniquePartBytes = 200; // a file name is at most 255 bytes, flags included

qint64 mtimeOf(const struct stat &info)
{
    return qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

qint64 folderMtime(const QString &path)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return mtimeOf(info);
}

QByteArray withFlag(QByteArray flags, char flag, bool set)
{
    flags.replace(flag, QByteArray());
    if (set)
        flags.append(flag);
    std::sort(flags.begin(), flags.end());
    return flags;
}

} // namespace

void SkippedEntryLog::report(const QString &path)
{
    if (m_reported.contains(path))
        return;
    if (m_reported.size() >= MaxRemembered)
        m_reported.clear(); // a store full of odd entries is said again, never grows us
    m_reported.insert(path);
    if (m_log)
        m_log(QStringLiteral("skipping %1: not a regular file").arg(path));
}

MaildirFolder::MaildirFolder(QString path, bool isSubfolder, SkippedEntryLog *skipped)
    : m_path(std::move(path))
    , m_isSubfolder(isSubfolder)
    , m_skipped(skipped)
{
}

template<typename OnFile>
void MaildirFolder::forEachRegularFile(const QString &folder, bool wantInfo, OnFile onFile) const
{
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        // Looked up relative to the open folder: a listing of thousands of
        // files then walks no path for each.
        struct stat info
        {
        };
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN || (regular && wantInfo)) {
            regular = ::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
        }
        // A link could lead anywhere (the accounts file, another account's
        // mail); a FIFO or device would stall a read. Only the files
        // themselves are messages.
        if (!regular) {
            if (m_skipped && entry->d_type != DT_REG)
                m_skipped->report(folder + '/' + QFile::decodeName(entry->d_name));
            continue;
        }
        onFile(QByteArray(entry->d_name), info);
    }
    ::closedir(dir);
}

QList<QByteArray> MaildirFolder::fileNamesIn(const QString &folder) const
{
    QList<QByteArray> names;
    forEachRegularFile(folder, false,
                       [&names](QByteArray fileName, const struct stat &) { names.append(std::move(fileName)); });
    return names;
}

bool MaildirFolder::exists() const
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(m_path + QStringLiteral("/cur")).constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool MaildirFolder::ensure(QString *error) const
{
    for (const char *sub : {"/cur", "/new", "/tmp"}) {
        if (!SafeFile::makeFolder(m_path + QLatin1String(sub), error))
            return false;
    }
    if (m_isSubfolder) {
        QFile marker(m_path + QStringLiteral("/maildirfolder"));
        if (!marker.exists() && !marker.open(QIODevice::WriteOnly)) {
            *error = QStringLiteral("cannot create %1").arg(marker.fileName());
            return false;
        }
    }
    return true;
}

void MaildirFolder::splitFileName(const QByteArray &fileName, QByteArray *uniquePart, QByteArray *flags)
{
    const qsizetype info = fileName.indexOf(":2,");
    if (info < 0) {
        *uniquePart = fileName;
        flags->clear();
        return;
    }
    *uniquePart = fileName.left(info);
    *flags = fileName.mid(info + 3);
}

QByteArray MaildirFolder::nameForUniquePart(const QByteArray &uniquePart)
{
    const QByteArray encoded = PathSegments::encode(uniquePart);
    if (encoded.size() <= MaxNameChars)
        return encoded;
    return 'h' + QCryptographicHash::hash(uniquePart, QCryptographicHash::Sha1).toHex();
}

bool MaildirFolder::isUsableUniquePart(const QByteArray &uniquePart)
{
    return !uniquePart.isEmpty() && uniquePart.size() <= MaxUniquePartBytes && !uniquePart.startsWith('.')
        && !uniquePart.contains('/') && !uniquePart.contains('\0') && !uniquePart.contains(':');
}

std::optional<MaildirMessage> MaildirFolder::messageFromFile(const QByteArray &subfolder,
                                                             const QByteArray &fileName) const
{
    const QString filePath = m_path + '/' + QFile::decodeName(subfolder) + '/' + QFile::decodeName(fileName);
    struct stat info
    {
    };
    if (::lstat(QFile::encodeName(filePath).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return messageOf(subfolder, fileName, filePath, info);
}

MaildirMessage MaildirFolder::messageOf(const QByteArray &subfolder, const QByteArray &fileName,
                                        const QString &filePath, const struct stat &info) const
{
    MaildirMessage message;
    message.filePath = filePath;
    splitFileName(fileName, &message.uniquePart, &message.flags);
    message.inNew = (subfolder == "new");
    if (message.inNew)
        message.flags.clear(); // a file in new/ has not been seen, whatever its name says
    message.name = nameForUniquePart(message.uniquePart);
    message.mtimeNs = mtimeOf(info);
    message.fileSize = info.st_size;
    return message;
}

QList<MaildirMessage> MaildirFolder::list() const
{
    QList<MaildirMessage> messages;
    for (const QByteArray &sub : {QByteArray("new"), QByteArray("cur")}) {
        const QString folder = m_path + '/' + QFile::decodeName(sub);
        forEachRegularFile(folder, true, [&](const QByteArray &fileName, const struct stat &info) {
            messages.append(messageOf(sub, fileName, folder + '/' + QFile::decodeName(fileName), info));
        });
    }
    std::sort(messages.begin(), messages.end(), [](const MaildirMessage &a, const MaildirMessage &b) {
        return a.mtimeNs != b.mtimeNs ? a.mtimeNs < b.mtimeNs : a.name < b.name;
    });
    return messages;
}

MaildirFolder::Counts MaildirFolder::counts() const
{
    Counts counts;
    counts.unread = fileNamesIn(m_path + QStringLiteral("/new")).size();
    counts.total = counts.unread;
    for (const QByteArray &fileName : fileNamesIn(m_path + QStringLiteral("/cur"))) {
        QByteArray unique, flags;
        splitFileName(fileName, &unique, &flags);
        ++counts.total;
        if (!flags.contains('S'))
            ++counts.unread;
    }
    return counts;
}

void MaildirFolder::rebuildIndex(FolderIndexCache::Index *index, qint64 newMtimeNs, qint64 curMtimeNs) const
{
    index->fileOfName.clear();
    index->newMtimeNs = newMtimeNs;
    index->curMtimeNs = curMtimeNs;
    for (const QByteArray &sub : {QByteArray("cur"), QByteArray("new")}) {
        for (const QByteArray &fileName : fileNamesIn(m_path + '/' + QFile::decodeName(sub))) {
            QByteArray unique, flags;
            splitFileName(fileName, &unique, &flags);
            index->fileOfName.insert(nameForUniquePart(unique), sub + '/' + fileName);
        }
    }
}

std::optional<MaildirMessage> MaildirFolder::find(const QByteArray &name, FolderIndexCache &cache) const
{
    FolderIndexCache::Index *index = cache.lookup(m_path);
    const qint64 newMtimeNs = folderMtime(m_path + QStringLiteral("/new"));
    const qint64 curMtimeNs = folderMtime(m_path + QStringLiteral("/cur"));
    const bool fresh = index->newMtimeNs == newMtimeNs && index->curMtimeNs == curMtimeNs;
    if (!fresh)
        rebuildIndex(index, newMtimeNs, curMtimeNs);
    for (int round = fresh ? 0 : 1; round < 2; ++round) {
        const QByteArray file = index->fileOfName.value(name);
        if (!file.isEmpty()) {
            const qsizetype slash = file.indexOf('/');
            if (auto message = messageFromFile(file.left(slash), file.mid(slash + 1)))
                return message;
        }
        // Renamed by another program within one tick of the folder's clock:
        // look once more.
        if (round == 0)
            rebuildIndex(index, newMtimeNs, curMtimeNs);
    }
    return std::nullopt;
}

bool MaildirFolder::setRead(const MaildirMessage &message, bool read, QString *error) const
{
    if (message.isRead() == read && !message.inNew)
        return true;
    if (!ensure(error)) // a delivery agent may have made new/ alone
        return false;
    const QByteArray flags = withFlag(message.flags, 'S', read);
    const QString target = m_path + QStringLiteral("/cur/") + QFile::decodeName(message.uniquePart + ":2," + flags);
    if (target == message.filePath)
        return true;
    bool exists = false;
    return SafeFile::renameNoReplace(message.filePath, target, &exists, error);
}

bool MaildirFolder::moveInto(const MaildirMessage &message, const MaildirFolder &target, const QByteArray &uniquePart,
                             bool *clash, QString *error) const
{
    *clash = false;
    if (!target.ensure(error))
        return false;
    const QByteArray fileName = message.inNew ? uniquePart : uniquePart + ":2," + message.flags;
    const QString to = target.path() + (message.inNew ? QStringLiteral("/new/") : QStringLiteral("/cur/"))
        + QFile::decodeName(fileName);
    return SafeFile::renameNoReplace(message.filePath, to, clash, error);
}
