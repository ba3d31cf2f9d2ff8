#include "DurationText.h"
#include "clsLog.h"
#include "modMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QByteArray Rule = QByteArray(44, '=') + "\r\n";

} // namespace

class tst_ActivityLog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void entry_lines_data();
    void entry_lines();
    void entry_in_the_file_has_time_tab_and_text();
    void block_is_written_exactly();
    void each_opening_appends_a_session_header();
    void default_folder_is_in_the_temp_folder_and_private();
    void refuses_what_is_not_our_own_file_data();
    void refuses_what_is_not_our_own_file();

    void screen_log_is_emptied_after_5000_characters();
    void log_line_goes_to_the_file_only_in_debug_mode();
    void log_line_lets_pending_events_run();
    void file_log_failure_warns_once_and_turns_logging_off();
    void system_problem_text();
    void duration_text_data();
    void duration_text();

private:
    QTemporaryDir m_temp;
};

void tst_ActivityLog::initTestCase()
{
    QVERIFY(m_temp.isValid());
    // The temp folder of everything below is ours.
    qputenv("TMPDIR", QFile::encodeName(m_temp.path()));
}

void tst_ActivityLog::entry_lines_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("one line") << QStringLiteral("hello") << QStringList{QStringLiteral("hello")};
    QTest::newRow("empty") << QString() << QStringList{QString()};
    QTest::newRow("one line with CRLF") << QStringLiteral("+OK\r\n") << QStringList{QStringLiteral("+OK")};
    QTest::newRow("text after the last CRLF is not written")
        << QStringLiteral("a\r\nb") << QStringList{QStringLiteral("a")};
    QTest::newRow("two lines with CRLF") << QStringLiteral("a\r\nb\r\n")
                                         << QStringList{QStringLiteral("a"), QStringLiteral("\tb")};
    QTest::newRow("three parts without final CRLF")
        << QStringLiteral("a\r\nb\r\nc") << QStringList{QStringLiteral("a"), QStringLiteral("\tb")};
    QTest::newRow("POP3 reply of three lines")
        << QStringLiteral("+OK 2 messages\r\n1 100\r\n.\r\n")
        << QStringList{QStringLiteral("+OK 2 messages"), QStringLiteral("\t\t..."), QStringLiteral("\t.")};
    QString tenLines;
    for (int i = 1; i <= 10; ++i)
        tenLines += QStringLiteral("line %1\r\n").arg(i);
    QTest::newRow("ten lines") << tenLines
                               << QStringList{QStringLiteral("line 1"), QStringLiteral("\t\t..."),
                                              QStringLiteral("\tline 10")};
    QTest::newRow("bare LF does not split") << QStringLiteral("a\nb\rc") << QStringList{QStringLiteral("a\nb\rc")};
    QTest::newRow("empty lines") << QStringLiteral("\r\n\r\n\r\n")
                                 << QStringList{QString(), QStringLiteral("\t\t..."), QStringLiteral("\t")};
}

void tst_ActivityLog::entry_lines()
{
    QFETCH(QString, text);
    QFETCH(QStringList, lines);
    QList<QByteArray> expected;
    for (const QString &line : std::as_const(lines))
        expected.append(line.toLocal8Bit());
    QCOMPARE(clsLog::EntryParts(text.toLocal8Bit()), expected);

    // The file holds the same lines, the first after the time and a TAB.
    QTemporaryDir folder;
    {
        clsLog log(folder.path());
        QVERIFY(log.isOpen());
        QVERIFY(log.AddEntry(text));
    }
    const QByteArray content = readFile(folder.filePath(QStringLiteral("Log.txt")));
    const qsizetype afterHeader = content.indexOf(Rule) + Rule.size();
    QList<QByteArray> written;
    QByteArray rest = content.mid(afterHeader);
    for (qsizetype end = rest.indexOf("\r\n"); end >= 0; end = rest.indexOf("\r\n")) {
        written.append(rest.left(end));
        rest = rest.mid(end + 2);
    }
    QCOMPARE(rest, QByteArray());
    QCOMPARE(written.size(), lines.size());
    const qsizetype tab = written.first().indexOf('\t');
    QVERIFY(tab > 0);
    written[0] = written.first().mid(tab + 1);
    for (qsizetype i = 0; i < written.size(); ++i)
        QCOMPARE(QString::fromLocal8Bit(written.at(i)), lines.at(i));
}

void tst_ActivityLog::entry_in_the_file_has_time_tab_and_text()
{
    QTemporaryDir folder;
    {
        clsLog log(folder.path());
        QVERIFY(log.AddEntry(QStringLiteral("MSG < hello")));
    }
    const QByteArray content = readFile(folder.filePath(QStringLiteral("Log.txt")));
    const QByteArray entry = content.mid(content.indexOf(Rule) + Rule.size());
    // A time of day: digits and separators, no date, no time zone.
    static const QRegularExpression line(QStringLiteral("^[0-9][0-9:.APMapm ]*[0-9APMapm]\tMSG < hello\r\n$"));
    QVERIFY2(line.match(QString::fromLatin1(entry)).hasMatch(), entry.constData());
}

void tst_ActivityLog::block_is_written_exactly()
{
    QTemporaryDir folder;
    const QString block = QStringLiteral("HTTP/1.1 207 Multi-Status\r\nContent-Type: text/xml\r\n\r\nno end");
    {
        clsLog log(folder.path());
        QVERIFY(log.AddBlock(block));
        QVERIFY(log.AddBlock(QStringLiteral("!")));
    }
    const QByteArray content = readFile(folder.filePath(QStringLiteral("Log.txt")));
    QVERIFY(content.endsWith(Rule + block.toLatin1() + "!"));
}

void tst_ActivityLog::each_opening_appends_a_session_header()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("Log.txt"));
    {
        clsLog first(folder.path());
        first.AddEntry(QStringLiteral("first run"));
    }
    const QByteArray afterFirst = readFile(path);
    static const QRegularExpression header(QStringLiteral("^\r\nLogging session started [^\r\n]*[0-9]\r\n={44}\r\n"));
    QVERIFY2(header.match(QString::fromLatin1(afterFirst)).hasMatch(), afterFirst.constData());
    {
        clsLog second(folder.path());
        QVERIFY(second.isOpen());
    }
    const QByteArray afterSecond = readFile(path);
    QVERIFY(afterSecond.startsWith(afterFirst));
    QVERIFY(header.match(QString::fromLatin1(afterSecond.mid(afterFirst.size()))).hasMatch());
    QCOMPARE(afterSecond.count("Logging session started "), 2);
}

void tst_ActivityLog::default_folder_is_in_the_temp_folder_and_private()
{
    const QString expected = QDir(m_temp.path()).filePath(QStringLiteral("Zorvane Logging"));
    QCOMPARE(clsLog::defaultLogFolder(), expected);
    clsLog log;
    QVERIFY(log.isOpen());
    QCOMPARE(log.filePath(), expected + QStringLiteral("/Log.txt"));
    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(expected).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0700));
    QCOMPARE(::stat(QFile::encodeName(log.filePath()).constData(), &info), 0);
    QCOMPARE(info.st_mode & 077, mode_t(0));
}

void tst_ActivityLog::refuses_what_is_not_our_own_file_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("folder is a link") << QStringLiteral("folder link");
    QTest::newRow("Log.txt is a link") << QStringLiteral("file link");
    QTest::newRow("Log.txt is a FIFO") << QStringLiteral("fifo");
    QTest::newRow("folder is a file") << QStringLiteral("folder file");
    QTest::newRow("parent missing") << QStringLiteral("no parent");
}

void tst_ActivityLog::refuses_what_is_not_our_own_file()
{
    QFETCH(QString, kind);
    QTemporaryDir root;
    const QString folder = root.filePath(QStringLiteral("Zorvane Logging"));
    const QString elsewhere = root.filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(elsewhere));
    const QString victim = QDir(elsewhere).filePath(QStringLiteral("victim"));
    QFile victimFile(victim);
    QVERIFY(victimFile.open(QIODevice::WriteOnly));
    victimFile.write("untouched");
    victimFile.close();

    QString logFolder = folder;
    if (kind == QLatin1String("folder link")) {
        QVERIFY(QFile::link(elsewhere, folder));
    } else if (kind == QLatin1String("file link")) {
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(QFile::link(victim, QDir(folder).filePath(QStringLiteral("Log.txt"))));
    } else if (kind == QLatin1String("fifo")) {
        QVERIFY(QDir().mkdir(folder));
        QCOMPARE(::mkfifo(QFile::encodeName(QDir(folder).filePath(QStringLiteral("Log.txt"))).constData(), 0600), 0);
    } else if (kind == QLatin1String("folder file")) {
        QFile file(folder);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else {
        logFolder = root.filePath(QStringLiteral("missing/Zorvane Logging"));
    }

    clsLog log(logFolder);
    QVERIFY(!log.isOpen());
    QVERIFY(log.AddEntry(QStringLiteral("must go nowhere")));
    QCOMPARE(readFile(victim), QByteArray("untouched"));
    QCOMPARE(QDir(elsewhere).entryList(QDir::Files), QStringList{QStringLiteral("victim")});
}

void tst_ActivityLog::screen_log_is_emptied_after_5000_characters()
{
    OnScreenLog screen;
    const QString line(98, QLatin1Char('x')); // 100 characters with CRLF
    for (int i = 0; i < 50; ++i)
        screen.appendLine(line);
    QCOMPARE(screen.text().size(), 5000);
    // Exactly 5000 is not more than 5000: the next line is added.
    screen.appendLine(QStringLiteral("y"));
    QCOMPARE(screen.text().size(), 5003);
    QVERIFY(screen.text().endsWith(QStringLiteral("y\r\n")));
    // Now the test comes true: emptied first, then the new line.
    screen.appendLine(QStringLiteral("z"));
    QCOMPARE(screen.text(), QStringLiteral("z\r\n"));

    // A single long line is kept whole; the box empties before the next one.
    const QString huge(7000, QLatin1Char('h'));
    screen.appendLine(huge);
    QCOMPARE(screen.text(), QStringLiteral("z\r\n") + huge + QStringLiteral("\r\n"));
    screen.appendLine(QStringLiteral("after"));
    QCOMPARE(screen.text(), QStringLiteral("after\r\n"));

    // Dialogue separators skip the test.
    for (int i = 0; i < 60; ++i)
        screen.appendRaw(QStringLiteral("\r\n--New POP3 dialog--\r\n").leftJustified(100, QLatin1Char('-')));
    QVERIFY(screen.text().size() > 6000);
}

void tst_ActivityLog::log_line_goes_to_the_file_only_in_debug_mode()
{
    QTemporaryDir folder;
    const QString logFolder = folder.filePath(QStringLiteral("Zorvane Logging"));
    {
        modMain state;
        state.StartFileLog(false, logFolder);
        state.AddLogLine(QStringLiteral("POP3-Logged in."));
        QVERIFY(!state.LogToFile);
        QVERIFY(!state.ActivityLog);
        QVERIFY(!QFileInfo::exists(logFolder));
        QCOMPARE(state.Screen.text(), QStringLiteral("POP3-Logged in.\r\n"));
    }
    {
        modMain state;
        state.StartFileLog(true, logFolder);
        QVERIFY(state.LogToFile);
        state.AddLogLine(QStringLiteral("SMTP-Reset."));
        state.LogEntry(QStringLiteral("POP3> STAT"));
        // Traffic with 8-bit bytes that are no UTF-8, and a NUL.
        state.LogEntry(QByteArray("POP3> USER caf\xe9 \xff\x80\0z\r\n"));
        state.LogEntry(QByteArray("SMTP> Subject: na\xefve\r\n.\r\nl\xe4st\r\n"));
        state.LogBlock(QByteArray("Server: \xfe\r\n"));
        state.LogBlock(QStringLiteral("raw"));
    }
    const QByteArray content = readFile(QDir(logFolder).filePath(QStringLiteral("Log.txt")));
    QVERIFY(content.contains("\tMSG < SMTP-Reset.\r\n"));
    QVERIFY(content.contains("\tPOP3> STAT\r\n"));
    QVERIFY(content.contains(QByteArray("\tPOP3> USER caf\xe9 \xff\x80\0z\r\n")));
    QVERIFY(content.contains("\tSMTP> Subject: na\xefve\r\n\t\t...\r\n\tl\xe4st\r\nServer: \xfe\r\n"));
    QVERIFY(!content.contains("\xef\xbf\xbd")); // no replacement character anywhere
    QVERIFY(content.endsWith("\r\nraw"));
}

void tst_ActivityLog::log_line_lets_pending_events_run()
{
    modMain state;
    bool ran = false;
    QTimer::singleShot(0, this, [&ran] { ran = true; });
    state.AddLogLine(QStringLiteral("one"));
    QVERIFY(ran);
}

void tst_ActivityLog::file_log_failure_warns_once_and_turns_logging_off()
{
    QTemporaryDir folder;
    const QString notAFolder = folder.filePath(QStringLiteral("file"));
    QFile file(notAFolder);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    modMain state;
    QList<std::tuple<modMain::BoxIcon, QString, QString>> boxes;
    state.messageBoxWithIcon = [&](modMain::BoxIcon icon, const QString &title, const QString &text) {
        boxes.append({icon, title, text});
        // What the headless box does: the text goes to the on-screen log.
        state.AddLogLine(text);
    };
    state.StartFileLog(true, notAFolder);
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(std::get<0>(boxes.first()), modMain::BoxIcon::Exclamation);
    QCOMPARE(std::get<1>(boxes.first()), QStringLiteral("Zorvane"));
    QCOMPARE(std::get<2>(boxes.first()), QStringLiteral("Error opening log file. Logging disabled"));
    QVERIFY(!state.LogToFile);
    QVERIFY(!state.ActivityLog);
    state.AddLogLine(QStringLiteral("still running"));
    QVERIFY(state.Screen.text().endsWith(QStringLiteral("still running\r\n")));
}

void tst_ActivityLog::system_problem_text()
{
    modMain state;
    QStringList seen;
    state.messageBox = [&](const QString &title, const QString &text) { seen << title << text; };
    state.ShowSystemProblem(QStringLiteral("2740 - Address already in use"));
    QCOMPARE(seen,
             (QStringList{QStringLiteral("Zorvane - System Problem"),
                          QStringLiteral(
                              "2740 - Address already in use\r\n\r\nExit and run diagnostics for more information")}));
}

void tst_ActivityLog::duration_text_data()
{
    QTest::addColumn<int>("milliseconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("one minute") << 60000 << QStringLiteral("1 minute");
    QTest::newRow("POP3 limit") << 600000 << QStringLiteral("10 minutes");
    QTest::newRow("SMTP limit") << 300000 << QStringLiteral("5 minutes");
    QTest::newRow("whole seconds") << 90000 << QStringLiteral("90 seconds");
    QTest::newRow("part of a second") << 1500 << QStringLiteral("1500 ms");
}

void tst_ActivityLog::duration_text()
{
    QFETCH(int, milliseconds);
    QFETCH(QString, text);
    QCOMPARE(DurationText(milliseconds), text);
}

QTEST_GUILESS_MAIN(tst_ActivityLog)
#include "tst_ActivityLog.moc"
