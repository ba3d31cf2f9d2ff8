#pragma once

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QString>

// Wire sizes of message files, kept by file name and modification time, so a
// listing reads each file once and later listings read none.
class WireSizeCache
{
public:
    // The wire size of the file at path whose stat gave mtimeNs and fileSize;
    // -1 when it cannot be read. With openFile, an uncached size is measured
    // on that open file (left at its start) rather than on the name.
    qint64 wireSize(const QString &path, qint64 mtimeNs, qint64 fileSize, QFile *openFile = nullptr);
    qsizetype size() const { return m_entries.size(); }
    qint64 filesRead() const { return m_filesRead; }

private:
    struct Entry
    {
        qint64 mtimeNs = 0;
        qint64 fileSize = 0;
        qint64 wireSize = 0;
    };
    static constexpr qsizetype MaxEntries = 500000; // about 40 MB; beyond it start afresh
    QHash<QString, Entry> m_entries;
    qint64 m_filesRead = 0;
};
