#include "DemoMailbox.h"

#include "AccountBook.h"
#include "MailStore.h"
#include "SafeFile.h"

#include <QDateTime>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// Every demo message is unread: the agent lists only unread mail unless told
// otherwise, and a first look should show all of them.
struct DemoMessage
{
    const char *date; // RFC 5322 date, also the file's modification time
    bool crlf;        // line ends of the stored file; both kinds occur in real Maildirs
    QByteArray text;  // written with LF line ends here
};

QByteArray withLineEnds(const QByteArray &text, bool crlf)
{
    if (!crlf)
        return text;
    QByteArray out = text;
    out.replace("\n", "\r\n");
    return out;
}

// Deterministic filler, so a demo store looks the same on every machine.
QByteArray base64Block(int bytes, quint32 seed)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    quint32 state = seed;
    for (int i = 0; i < bytes; ++i) {
        state = state * 1664525u + 1013904223u;
        raw[i] = char(state >> 24);
    }
    const QByteArray encoded = raw.toBase64();
    QByteArray lines;
    constexpr int LineChars = 76; // the base64 line length of MIME
    for (qsizetype i = 0; i < encoded.size(); i += LineChars)
        lines += encoded.mid(i, LineChars) + '\n';
    return lines;
}

QList<DemoMessage> demoInbox(const QByteArray &address)
{
    const QByteArray to = "To: Demo User <" + address + ">\n";
    QList<DemoMessage> messages;
    messages.append({"Mon, 02 Dec 2024 08:15:00 +0000", true,
                     "Return-Path: <team@zorvane.test>\n"
                     "From: Zorvane Team <team@zorvane.test>\n"
                         + to
                         + "Subject: Welcome to Zorvane\n"
                           "Date: Mon, 02 Dec 2024 08:15:00 +0000\n"
                           "Message-ID: <welcome-1@zorvane.test>\n"
                           "MIME-Version: 1.0\n"
                           "Content-Type: text/plain; charset=utf-8\n"
                           "Content-Transfer-Encoding: 8bit\n"
                           "\n"
                           "Hello,\n"
                           "\n"
                           "this is your demo mailbox. Point your mail program at the agent's\n"
                           "POP3 and SMTP ports, log in as \"demo\" with the password \"demo\",\n"
                           "and this message comes down like any other.\n"
                           "\n"
                           "Have a good day,\n"
                           "the Zorvane team\n"});
    messages.append({"Tue, 03 Dec 2024 19:42:10 +0100", false,
                     "From: Ann Example <ann@example.org>\n" + to
                         + "Subject: Holiday photos\n"
                           "Date: Tue, 03 Dec 2024 19:42:10 +0100\n"
                           "Message-ID: <photos-2@example.org>\n"
                           "MIME-Version: 1.0\n"
                           "Content-Type: multipart/mixed; boundary=\"=-b2-holiday\"\n"
                           "\n"
                           "This is a multi-part message in MIME format.\n"
                           "\n"
                           "--=-b2-holiday\n"
                           "Content-Type: text/plain; charset=utf-8\n"
                           "Content-Transfer-Encoding: 8bit\n"
                           "\n"
                           "Hi!\n"
                           "\n"
                           "Here is the picture from the lake. More when we're back.\n"
                           "\n"
                           "Ann\n"
                           "\n"
                           "--=-b2-holiday\n"
                           "Content-Type: image/png; name=\"lake.png\"\n"
                           "Content-Disposition: attachment; filename=\"lake.png\"\n"
                           "Content-Transfer-Encoding: base64\n"
                           "\n"
                         + base64Block(1800, 2) + "--=-b2-holiday--\n"});
    messages.append({"Wed, 04 Dec 2024 11:05:33 +0000", true,
                     "From: Finance <finance@example.com>\n" + to
                         + "Subject: Quarterly report (large attachment)\n"
                           "Date: Wed, 04 Dec 2024 11:05:33 +0000\n"
                           "Message-ID: <report-3@example.com>\n"
                           "MIME-Version: 1.0\n"
                           "Content-Type: multipart/mixed; boundary=\"b3-report\"\n"
                           "\n"
                           "--b3-report\n"
                           "Content-Type: text/plain; charset=us-ascii\n"
                           "\n"
                           "The report for the last quarter is attached.\n"
                           "\n"
                           "--b3-report\n"
                           "Content-Type: application/pdf; name=\"report.pdf\"\n"
                           "Content-Disposition: attachment; filename=\"report.pdf\"\n"
                           "Content-Transfer-Encoding: base64\n"
                           "\n"
                         + base64Block(45000, 3) + "--b3-report--\n"});
    messages.append({"Thu, 05 Dec 2024 16:20:00 +0000", false,
                     "From: Bob Builder <bob@example.net>\n" + to
                         + "Subject: Notes with dots\n"
                           "Date: Thu, 05 Dec 2024 16:20:00 +0000\n"
                           "Message-ID: <dots-4@example.net>\n"
                           "Content-Type: text/plain; charset=us-ascii\n"
                           "\n"
                           "Some lines of this message begin with a full stop:\n"
                           ".profile is read by the login shell\n"
                           "..and this line begins with two\n"
                           ".\n"
                           "The line above holds a single full stop; the message goes on.\n"
                           "...\n"
                           "End.\n"});
    messages.append({"Fri, 06 Dec 2024 09:00:00 +0000", true,
                     "From: Carol <carol@example.org>\n" + to
                         + "Subject: Lunch on Friday?\n"
                           "Date: Fri, 06 Dec 2024 09:00:00 +0000\n"
                           "Message-ID: <lunch-5@example.org>\n"
                           "Content-Type: text/plain; charset=utf-8\n"
                           "Content-Transfer-Encoding: 8bit\n"
                           "\n"
                           "Shall we try the new caf\xc3\xa9 at noon?\n"
                           "\n"
                           "Carol\n"});
    return messages;
}

QList<DemoMessage> demoAlternativeInbox(const QByteArray &address)
{
    const QByteArray to = "To: <" + address + ">\n";
    return {{"Mon, 02 Dec 2024 08:20:00 +0000", true,
             "From: Zorvane Team <team@zorvane.test>\n" + to
                 + "Subject: Your alternative account\n"
                   "Date: Mon, 02 Dec 2024 08:20:00 +0000\n"
                   "Message-ID: <alt-welcome-1@zorvane.test>\n"
                   "\n"
                   "Alternative accounts log in with their full address.\n"},
            {"Sat, 07 Dec 2024 10:30:00 +0000", false,
             "From: Ann Example <ann@example.org>\n" + to
                 + "Subject: Re: Your alternative account\n"
                   "Date: Sat, 07 Dec 2024 10:30:00 +0000\n"
                   "Message-ID: <alt-reply-2@example.org>\n"
                   "\n"
                   "Got it, thanks.\n"}};
}

bool writeMessage(const MaildirFolder &folder, const DemoMessage &message, int number, QString *error)
{
    const QDateTime when = QDateTime::fromString(QString::fromLatin1(message.date), Qt::RFC2822Date);
    const qint64 seconds = when.isValid() ? when.toSecsSinceEpoch() : 1733000000;
    const QByteArray unique = QByteArray::number(seconds) + ".M" + QByteArray::number(number) + "P0.zorvane-demo";
    const QString path = folder.path() + QStringLiteral("/new/") + QFile::decodeName(unique);
    if (!SafeFile::writeNew(path, withLineEnds(message.text, message.crlf), error))
        return false;
    // The listing follows modification times; give each message its date.
    const struct timespec times[2] = {{time_t(seconds), 0}, {time_t(seconds), 0}};
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
    return true;
}

bool fillIfNew(const MaildirFolder &folder, const QList<DemoMessage> &messages, QString *error)
{
    if (folder.exists())
        return true; // never add to a mailbox that is already in use
    if (!folder.ensure(error))
        return false;
    int number = 0;
    for (const DemoMessage &message : messages) {
        if (!writeMessage(folder, message, ++number, error))
            return false;
    }
    return true;
}

bool ensureAccountLines(const QString &accountsPath, const QList<QByteArray> &lines, QString *error)
{
    QFile file(accountsPath);
    QByteArray existing;
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read %1").arg(accountsPath);
            return false;
        }
        existing = file.readAll();
        file.close();
    }
    QByteArray additions;
    if (existing.isEmpty())
        additions = "# address password [redirect]\n";
    for (const QByteArray &line : lines) {
        const QByteArray address = line.left(line.indexOf(' ')) + ' ';
        bool present = false;
        for (const QByteArray &existingLine : existing.split('\n'))
            present = present || existingLine.trimmed().toLower().startsWith(address);
        if (!present)
            additions += line + '\n';
    }
    if (additions.isEmpty())
        return true;
    if (!existing.isEmpty() && !existing.endsWith('\n'))
        additions.prepend('\n');
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        *error = QStringLiteral("cannot write %1").arg(accountsPath);
        return false;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return file.write(additions) == additions.size();
}

} // namespace

bool DemoMailbox::create(const QString &dataDir, const QByteArray &mailDomain, QString *error)
{
    if (!SafeFile::makeFolder(dataDir, error))
        return false;
    const QByteArray ordinary = "demo@" + mailDomain;
    const QByteArray alternative = "demo@alt." + mailDomain;
    if (!ensureAccountLines(dataDir + QStringLiteral("/accounts"),
                            {ordinary + ' ' + DemoPassword, alternative + ' ' + DemoPassword}, error))
        return false;
    const MailStore store(dataDir);
    return fillIfNew(store.folder(ordinary, FolderKind::Inbox), demoInbox(ordinary), error)
        && fillIfNew(store.folder(alternative, FolderKind::Inbox), demoAlternativeInbox(alternative), error);
}
