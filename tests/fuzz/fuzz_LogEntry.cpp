// AddEntry's splitting of a text at CR LF into the lines the log file gets,
// and what AddEntry then writes, for arbitrary text.
//
// Input: the text, as UTF-8 (invalid sequences become replacement
// characters, as they do for the agent's own texts).

#include "FuzzHarness.h"

#include "clsLog.h"

#include <QFile>

namespace {

const QString LineEnd = QStringLiteral("\r\n");

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
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QStringList parts = text.split(LineEnd);
    const qsizetype n = parts.size() - 1;
    const QStringList lines = clsLog::EntryParts(text);
    const QByteArray detail = text.toUtf8();

    // The first part; an ellipsis line when parts were left out; the part
    // before the last CR LF.
    FuzzHarness::require(lines.size() == 1 + (n > 2 ? 1 : 0) + (n > 1 ? 1 : 0), "number of lines", detail);
    FuzzHarness::require(lines.first() == parts.first(), "first line", detail);
    if (n > 2)
        FuzzHarness::require(lines.at(1) == QLatin1String("\t\t..."), "ellipsis line", detail);
    if (n > 1)
        FuzzHarness::require(lines.last() == QLatin1Char('\t') + parts.at(n - 1), "last line", detail);
    for (const QString &line : lines)
        FuzzHarness::require(!line.contains(LineEnd), "a written line holds CR LF", detail);

    clsLog &log = logFile();
    QFile file(log.filePath());
    file.resize(0);
    log.AddEntry(text);
    if (!file.open(QIODevice::ReadOnly))
        FuzzHarness::fail("log file unreadable");
    const QByteArray written = file.readAll();
    QByteArray expected;
    for (const QString &line : lines)
        expected += line.toLocal8Bit() + "\r\n";
    const qsizetype tab = written.indexOf('\t');
    FuzzHarness::require(tab > 0 && written.mid(tab + 1) == expected, "entry written differs", written);
    return 0;
}
