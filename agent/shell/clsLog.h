#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

// The log file writer, "<temp folder>/Zorvane Logging/Log.txt". Opening writes
// the session header; a failure to open leaves isOpen() false (the caller
// shows the warning and turns file logging off). Protocol traffic is written
// byte for byte as it arrived; the program's own texts in the local 8-bit
// encoding.
class clsLog
{
public:
    // logFolder: the folder that holds Log.txt; empty means the default
    // "<temp folder>/Zorvane Logging".
    explicit clsLog(const QString &logFolder = QString());
    ~clsLog();

    bool isOpen() const;
    QString filePath() const;

    // One time-stamped entry: time, TAB, first part; "\t\t..." when parts
    // were left out; TAB and the last part before a final CRLF.
    bool AddEntry(const QByteArray &TheString);
    bool AddEntry(const QString &TheString);
    // The text exactly, no time stamp, no line end added.
    bool AddBlock(const QByteArray &TheString);
    bool AddBlock(const QString &TheString);

    // The lines AddEntry writes for a text, for tests and fuzzing of the
    // splitting rule: the first element is what follows the time and TAB,
    // the others are the lines exactly as written (without CRLF).
    static QList<QByteArray> EntryParts(const QByteArray &TheString);

    static QString defaultLogFolder();

private:
    void write(const QByteArray &bytes);

    QString m_filePath;
    QFile m_file;
};
