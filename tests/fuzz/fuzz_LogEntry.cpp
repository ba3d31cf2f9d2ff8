// AddEntry's splitting of a text at CR LF into the lines the log file gets,
// and what AddEntry then writes, for arbitrary bytes.
//
// Input: the bytes of the entry, as traffic reaches the log.

#include "FuzzHarness.h"

#include "clsLog.h"

#include <QFile>

namespace {

const QByteArray LineEnd = QByteArrayLiteral("\r\n");

// A log file that is emptied after every entry, so the run stays small.
clsLog &logFile()
{
    static clsLog *log = new clsLog(FuzzHarness::privateFolder(QStringLiteral("log")));
    if (!log->isOpen())
        std::abort();
    return *log;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzHarness::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    // The reference split: Latin-1 maps every byte to one character and back.
    const QStringList parts = QString::fromLatin1(text).split(QString::fromLatin1(LineEnd));
    const qsizetype n = parts.size() - 1;
    const QList<QByteArray> lines = clsLog::EntryParts(text);

    // The first part; an ellipsis line when parts were left out; the part
    // before the last CR LF.
    FuzzHarness::require(lines.size() == 1 + (n > 2 ? 1 : 0) + (n > 1 ? 1 : 0), "number of lines", text);
    FuzzHarness::require(lines.first() == parts.first().toLatin1(), "first line", text);
    if (n > 2)
        FuzzHarness::require(lines.at(1) == "\t\t...", "ellipsis line", text);
    if (n > 1)
        FuzzHarness::require(lines.last() == '\t' + parts.at(n - 1).toLatin1(), "last line", text);
    for (const QByteArray &line : lines)
        FuzzHarness::require(!line.contains(LineEnd), "a written line holds CR LF", text);

    clsLog &log = logFile();
    QFile file(log.filePath());
    file.resize(0);
    log.AddEntry(text);
    if (!file.open(QIODevice::ReadOnly))
        FuzzHarness::fail("log file unreadable");
    const QByteArray written = file.readAll();
    QByteArray expected;
    for (const QByteArray &line : lines)
        expected += line + LineEnd;
    const qsizetype tab = written.indexOf('\t');
    FuzzHarness::require(tab > 0 && written.mid(tab + 1) == expected, "entry written differs", written);
    return 0;
}
