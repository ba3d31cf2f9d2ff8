#include "HelpPages.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

HelpPages::HelpPages()
    : m_opener([](const QUrl &page) { return QDesktopServices::openUrl(page); })
{
}

bool HelpPages::Open(Page page) const
{
    const QUrl url = Url(page);
    if (url.isEmpty())
        return false;
    return m_opener && m_opener(url);
}

QString HelpPages::FileName(Page page)
{
    switch (page) {
    case General:
        return QStringLiteral("general.html");
    case Socket:
        return QStringLiteral("socket.html");
    case HttpComponent:
        return QStringLiteral("http-component.html");
    case Connection:
        return QStringLiteral("connection.html");
    }
    return QString();
}

QUrl HelpPages::Url(Page page)
{
    const QString folder = Folder();
    if (folder.isEmpty())
        return QUrl();
    const QFileInfo file(QDir(folder).filePath(FileName(page)));
    if (!file.isFile())
        return QUrl();
    return QUrl::fromLocalFile(file.absoluteFilePath());
}

QString HelpPages::Folder()
{
    const QDir programDir(QCoreApplication::applicationDirPath());
    const QStringList candidates{
        programDir.filePath(QStringLiteral("../share/zorvane/diagnostics-help")),
        programDir.filePath(QStringLiteral("diagnostics-help")),
    };
    for (const QString &candidate : candidates) {
        if (QFileInfo(candidate).isDir())
            return QDir::cleanPath(candidate);
    }
    return QString();
}
