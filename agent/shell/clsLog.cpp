#include "clsLog.h"

#include <QDateTime>
#include <QDir>
#include <QLocale>
#include <QStandardPaths>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const QString LogFolderName = QStringLiteral("Zorvane Logging");
const QString LogFileName = QStringLiteral("Log.txt");
const QByteArray LineEnd = QByteArrayLiteral("\r\n");

// The system's long time format without a time-zone field, so a time of day
// reads like a clock ("14:03:22").
QString timeOfDayFormat()
{
    const QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    QString out;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('t'))
            continue;
        out += c;
    }
    return out.trimmed();
}

QString timeOfDayText()
{
    return QLocale::system().toString(QTime::currentTime(), timeOfDayFormat());
}

// The general date format: the short date and the time of day.
QString generalDateText()
{
    const QDateTime now = QDateTime::currentDateTime();
    return QLocale::system().toString(now.date(), QLocale::ShortFormat) + QLatin1Char(' ')
        + QLocale::system().toString(now.time(), timeOfDayFormat());
}

#ifndef Q_OS_WIN
// The folder must be a real folder of ours: another user's folder or a link
// planted under the shared temp folder would let someone else read or
// redirect what we write.
bool prepareFolder(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    struct stat info;
    if (::lstat(path.constData(), &info) != 0) {
        if (errno != ENOENT || ::mkdir(path.constData(), 0700) != 0)
            return false;
        if (::lstat(path.constData(), &info) != 0)
            return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid())
        return false;
    if ((info.st_mode & 077) != 0 && ::chmod(path.constData(), 0700) != 0)
        return false;
    return true;
}

// Opens the file for appending without following a link and refuses
// anything but a regular file of ours (a FIFO would block the one thread).
int openForAppend(const QString &filePath)
{
    const QByteArray path = QFile::encodeName(filePath);
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return -1;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid()) {
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
#endif

} // namespace

clsLog::clsLog(const QString &logFolder)
{
    const QString folder = logFolder.isEmpty() ? defaultLogFolder() : logFolder;
    m_filePath = QDir(folder).filePath(LogFileName);
    m_file.setFileName(m_filePath);
#ifdef Q_OS_WIN
    if (!QDir().mkpath(folder) || !m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return;
#else
    if (!prepareFolder(folder))
        return;
    const int fd = openForAppend(m_filePath);
    if (fd < 0)
        return;
    if (!m_file.open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                     QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return;
    }
#endif
    // Two writes, as the header has always been written: the empty line with
    // the start line, then the rule.
    write(LineEnd + "Logging session started " + generalDateText().toLocal8Bit() + LineEnd);
    write(QByteArray(44, '=') + LineEnd);
}

clsLog::~clsLog()
{
    m_file.close();
}

bool clsLog::isOpen() const
{
    return m_file.isOpen();
}

QString clsLog::filePath() const
{
    return isOpen() ? m_filePath : QString();
}

bool clsLog::AddEntry(const QByteArray &TheString)
{
    const QList<QByteArray> lines = EntryParts(TheString);
    QByteArray text = timeOfDayText().toLocal8Bit() + '\t' + lines.first() + LineEnd;
    for (qsizetype i = 1; i < lines.size(); ++i)
        text += lines.at(i) + LineEnd;
    write(text);
    return true;
}

bool clsLog::AddEntry(const QString &TheString)
{
    return AddEntry(TheString.toLocal8Bit());
}

bool clsLog::AddBlock(const QByteArray &TheString)
{
    write(TheString);
    return true;
}

bool clsLog::AddBlock(const QString &TheString)
{
    return AddBlock(TheString.toLocal8Bit());
}

QList<QByteArray> clsLog::EntryParts(const QByteArray &TheString)
{
    // Parts 0, n - 1 and the count n are all it takes; a large text is not
    // cut into all of its lines.
    const qsizetype firstEnd = TheString.indexOf(LineEnd);
    QList<QByteArray> lines{TheString.left(firstEnd < 0 ? TheString.size() : firstEnd)};
    const qsizetype n = firstEnd < 0 ? 0 : TheString.count(LineEnd);
    if (n > 2)
        lines += QByteArrayLiteral("\t\t...");
    if (n > 1) {
        const qsizetype lastEnd = TheString.lastIndexOf(LineEnd);
        const qsizetype before = TheString.lastIndexOf(LineEnd, lastEnd - 1) + LineEnd.size();
        lines += '\t' + TheString.mid(before, lastEnd - before);
    }
    return lines;
}

QString clsLog::defaultLogFolder()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation)).filePath(LogFolderName);
}

void clsLog::write(const QByteArray &bytes)
{
    // A failing write is dropped: the log is a diagnostic aid and must never
    // stop the agent.
    if (m_file.isOpen())
        m_file.write(bytes);
}
