#include "AutoStartEntry.h"
#include "ListenerStartup.h"
#include "Preferences.h"
#include "SettingsStore.h"
#include "SingleInstance.h"
#include "StoredTexts.h"
#include "VersionInfo.h"
#include "Winsock.h"
#include "modMain.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
}

mode_t modeOf(const QString &path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 0777 : 0;
}

} // namespace

class tst_Settings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void store_lives_under_the_config_home();
    void fresh_store_gives_the_defaults();
    void stored_values_are_read_as_they_are_data();
    void stored_values_are_read_as_they_are();
    void save_writes_ten_keys_never_debug_mode_or_same_user_only();
    void saves_in_quick_succession_read_back_the_last();
    void store_file_is_private_and_readable_by_other_programs();
    void values_with_commas_stay_as_written();
    void account_password_round_trip_through_the_store();

    void autostart_rules();
    void autostart_exec_is_quoted_data();
    void autostart_exec_is_quoted();

    void one_instance_per_lock();

    void listener_start_reports_each_failure_once();
    void version_line();

private:
    QTemporaryDir m_home;
    QString m_configHome;
};

void tst_Settings::initTestCase()
{
    QVERIFY(m_home.isValid());
}

void tst_Settings::init()
{
    // A fresh config home per case: no case sees another's store.
    static int count = 0;
    m_configHome = m_home.filePath(QStringLiteral("config%1").arg(++count));
    QVERIFY(QDir().mkpath(m_configHome));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_configHome));
}

void tst_Settings::store_lives_under_the_config_home()
{
    QCOMPARE(SettingsStore::defaultPath(), m_configHome + QStringLiteral("/Zorvane/Zorvane.ini"));
    QCOMPARE(AutoStartEntry::defaultPath(), m_configHome + QStringLiteral("/autostart/Zorvane.desktop"));
}

void tst_Settings::fresh_store_gives_the_defaults()
{
    const SettingsStore store;
    const Preferences p = Preferences::Read(store);
    QCOMPARE(p.AutoStart, true);
    QCOMPARE(p.StartInTray, false);
    QCOMPARE(p.ListUnreadOnly, true);
    QCOMPARE(p.MarkReadOnServer, true);
    QCOMPARE(p.DeleteOnServer, false);
    QCOMPARE(p.SaveSentItems, true);
    QCOMPARE(p.CollectPOP3, false);
    QCOMPARE(p.DebugMode, false);
    QCOMPARE(p.Pop3Port, QStringLiteral("110"));
    QCOMPARE(p.SmtpPort, QStringLiteral("25"));
    QCOMPARE(p.LocalhostOnly, true);
    QCOMPARE(p.SameUserOnly, true);
    // Reading creates nothing.
    QVERIFY(!QFile::exists(store.path()));
}

void tst_Settings::stored_values_are_read_as_they_are_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");
    QTest::newRow("stored 0 overrides default 1") << QByteArray("ListUnreadOnly=0") << "ListUnreadOnly"
                                                  << "0";
    QTest::newRow("LocalhostOnly stored 0 is honoured") << QByteArray("LocalhostOnly=0") << "LocalhostOnly"
                                                        << "0";
    QTest::newRow("whole number 2 counts as checked") << QByteArray("DeleteOnServer=2") << "DeleteOnServer"
                                                      << "1";
    QTest::newRow("not a number gives the default") << QByteArray("LocalhostOnly=yes") << "LocalhostOnly"
                                                    << "1";
    QTest::newRow("SameUserOnly stored 0 is honoured") << QByteArray("SameUserOnly=0") << "SameUserOnly"
                                                       << "0";
    QTest::newRow("SameUserOnly off only by a number") << QByteArray("SameUserOnly=off") << "SameUserOnly"
                                                       << "1";
    QTest::newRow("empty gives the default") << QByteArray("AutoStart=") << "AutoStart"
                                             << "1";
    QTest::newRow("DebugMode 1") << QByteArray("DebugMode=1") << "DebugMode"
                                 << "1";
    QTest::newRow("port text as typed") << QByteArray("Pop3Port=11O") << "Pop3Port"
                                        << "11O";
    QTest::newRow("empty port text stays empty") << QByteArray("SmtpPort=") << "SmtpPort"
                                                 << "";
}

void tst_Settings::stored_values_are_read_as_they_are()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    const SettingsStore store;
    writeFile(store.path(), "[Preferences]\n" + line + "\n");
    const Preferences p = Preferences::Read(store);
    const QMap<QString, QString> values{{QStringLiteral("ListUnreadOnly"), p.ListUnreadOnly ? "1" : "0"},
                                        {QStringLiteral("LocalhostOnly"), p.LocalhostOnly ? "1" : "0"},
                                        {QStringLiteral("SameUserOnly"), p.SameUserOnly ? "1" : "0"},
                                        {QStringLiteral("DeleteOnServer"), p.DeleteOnServer ? "1" : "0"},
                                        {QStringLiteral("AutoStart"), p.AutoStart ? "1" : "0"},
                                        {QStringLiteral("DebugMode"), p.DebugMode ? "1" : "0"},
                                        {QStringLiteral("Pop3Port"), p.Pop3Port},
                                        {QStringLiteral("SmtpPort"), p.SmtpPort}};
    QCOMPARE(values.value(key), expected);
}

void tst_Settings::save_writes_ten_keys_never_debug_mode_or_same_user_only()
{
    SettingsStore store;
    Preferences p;
    p.AutoStart = false;
    p.DeleteOnServer = true;
    p.CollectPOP3 = true;
    p.DebugMode = true;     // shown on the window, never written
    p.SameUserOnly = false; // no control at all, never written
    p.Pop3Port = QStringLiteral(" 8110 ");
    p.SmtpPort = QStringLiteral("not a port");
    p.LocalhostOnly = false;
    QVERIFY(p.Save(store));

    QSettings written(store.path(), QSettings::IniFormat);
    written.beginGroup(QStringLiteral("Preferences"));
    QCOMPARE(written.childKeys().size(), 10);
    QVERIFY(!written.contains(QStringLiteral("DebugMode")));
    QVERIFY(!written.contains(QStringLiteral("SameUserOnly")));
    QCOMPARE(written.value(QStringLiteral("AutoStart")).toString(), QStringLiteral("0"));
    QCOMPARE(written.value(QStringLiteral("StartInTray")).toString(), QStringLiteral("0"));
    QCOMPARE(written.value(QStringLiteral("ListUnreadOnly")).toString(), QStringLiteral("1"));
    QCOMPARE(written.value(QStringLiteral("MarkReadOnServer")).toString(), QStringLiteral("1"));
    QCOMPARE(written.value(QStringLiteral("DeleteOnServer")).toString(), QStringLiteral("1"));
    QCOMPARE(written.value(QStringLiteral("SaveSentItems")).toString(), QStringLiteral("1"));
    QCOMPARE(written.value(QStringLiteral("CollectPOP3")).toString(), QStringLiteral("1"));
    QCOMPARE(written.value(QStringLiteral("Pop3Port")).toString(), QStringLiteral(" 8110 "));
    QCOMPARE(written.value(QStringLiteral("SmtpPort")).toString(), QStringLiteral("not a port"));
    QCOMPARE(written.value(QStringLiteral("LocalhostOnly")).toString(), QStringLiteral("0"));

    // A DebugMode the store holds stays whatever is saved.
    store.setValue(QStringLiteral("Preferences"), QStringLiteral("DebugMode"), QStringLiteral("1"));
    p.DebugMode = false;
    QVERIFY(p.Save(store));
    QCOMPARE(store.value(QStringLiteral("Preferences"), QStringLiteral("DebugMode")), QStringLiteral("1"));
    QVERIFY(Preferences::Read(store).DebugMode);

    // So does a SameUserOnly set by hand while the agent ran.
    store.setValue(QStringLiteral("Preferences"), QStringLiteral("SameUserOnly"), QStringLiteral("0"));
    p.SameUserOnly = true;
    QVERIFY(p.Save(store));
    QVERIFY(!Preferences::Read(store).SameUserOnly);
}

void tst_Settings::saves_in_quick_succession_read_back_the_last()
{
    SettingsStore store;
    Preferences p;
    for (int round = 0; round < 20; ++round) {
        p.AutoStart = round % 2 == 0;
        p.Pop3Port = QString::number(1100 + round % 10);
        QVERIFY(p.Save(store));
        const Preferences back = Preferences::Read(SettingsStore(store.path()));
        QCOMPARE(back.AutoStart, p.AutoStart);
        QCOMPARE(back.Pop3Port, p.Pop3Port);
    }
}

// A value written by hand with commas, as an address with a query string
// has them, is read as written and kept so when the window saves.
void tst_Settings::values_with_commas_stay_as_written()
{
    SettingsStore store;
    writeFile(store.path(),
              "[Preferences]\nServiceUrl=http://h/x?a=1,2\nAltServiceUrl=http://h/alt?b=1, 2\n"
              "Pop3Port=1110\n[AccountInfo]\nann%40zorvane.test=000004ABCD\n");
    const QString section = Preferences::Section;
    QCOMPARE(store.value(section, QStringLiteral("ServiceUrl")), QStringLiteral("http://h/x?a=1,2"));
    QCOMPARE(store.value(section, QStringLiteral("AltServiceUrl")), QStringLiteral("http://h/alt?b=1, 2"));

    Preferences changed = Preferences::Read(store);
    changed.SmtpPort = QStringLiteral("1025,1026"); // typed into the port box
    QVERIFY(changed.Save(store));
    const SettingsStore again(store.path());
    QCOMPARE(again.value(section, QStringLiteral("ServiceUrl")), QStringLiteral("http://h/x?a=1,2"));
    QCOMPARE(again.value(section, QStringLiteral("AltServiceUrl")), QStringLiteral("http://h/alt?b=1, 2"));
    QCOMPARE(again.value(section, QStringLiteral("SmtpPort")), QStringLiteral("1025,1026"));
    QCOMPARE(again.value(Preferences::AccountSection, QStringLiteral("ann@zorvane.test")),
             QStringLiteral("000004ABCD"));
    // Any other reader of the file sees the same text.
    const QSettings other(store.path(), QSettings::IniFormat);
    QCOMPARE(other.value(QStringLiteral("Preferences/ServiceUrl")).toString(), QStringLiteral("http://h/x?a=1,2"));
}

void tst_Settings::store_file_is_private_and_readable_by_other_programs()
{
    SettingsStore store;
    QVERIFY(Preferences().Save(store));
    QCOMPARE(modeOf(store.path()), mode_t(0600));
    QCOMPARE(modeOf(QFileInfo(store.path()).absolutePath()), mode_t(0700));
    // A store someone widened is narrowed again at the next save.
    QVERIFY(QFile::setPermissions(store.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    QVERIFY(Preferences().Save(store));
    QCOMPARE(modeOf(store.path()), mode_t(0600));
    // Plain INI that a program without our code can read (the diagnostics
    // program reads the ports).
    const QByteArray text = readFile(store.path());
    QVERIFY(text.contains("[Preferences]"));
    QVERIFY(text.contains("Pop3Port=110"));
    QVERIFY(text.contains("SmtpPort=25"));
    // No temporary file is left beside it.
    QCOMPARE(QDir(QFileInfo(store.path()).absolutePath()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("Zorvane.ini")});
}

void tst_Settings::account_password_round_trip_through_the_store()
{
    SettingsStore store;
    const QString user = QStringLiteral("demo@zorvane.test");
    const QByteArray password = QStringLiteral("pä$$, wörd=;#").toUtf8();
    store.setValue(Preferences::AccountSection, user, EncipherText(password, user));
    store.setValue(Preferences::AccountSection, QStringLiteral("other@zorvane.test"),
                   EncipherText("x", QStringLiteral("other@zorvane.test")));

    const SettingsStore reread(store.path());
    QVERIFY(reread.contains(Preferences::AccountSection, user));
    bool ok = false;
    QCOMPARE(DecipherText(reread.value(Preferences::AccountSection, user), user, &ok), password);
    QVERIFY(ok);
    // The newest login overwrites the older value.
    store.setValue(Preferences::AccountSection, user, EncipherText("new", user));
    QCOMPARE(DecipherText(SettingsStore(store.path()).value(Preferences::AccountSection, user), user),
             QByteArray("new"));
    QVERIFY(!QString::fromLatin1(readFile(store.path())).contains(QString::fromUtf8(password)));
}

void tst_Settings::autostart_rules()
{
    AutoStartEntry entry;
    const QString program = QStringLiteral("/opt/zorvane/bin/Zorvane");

    // Unchecked with no entry: nothing is created.
    entry.SetAutoStart(false, program);
    QVERIFY(!QFile::exists(entry.path()));

    // Checked: the entry starts the full path of the program.
    entry.SetAutoStart(true, program);
    const QByteArray text = readFile(entry.path());
    QVERIFY(text.startsWith("[Desktop Entry]\n"));
    QVERIFY(text.contains("\nType=Application\n"));
    QVERIFY(text.contains("\nExec=\"/opt/zorvane/bin/Zorvane\"\n"));
    QCOMPARE(entry.read(), QStringLiteral("\"/opt/zorvane/bin/Zorvane\""));

    // Checked again: any other data is replaced.
    entry.SetAutoStart(true, QStringLiteral("/usr/bin/Zorvane"));
    QCOMPARE(entry.read(), QStringLiteral("\"/usr/bin/Zorvane\""));

    // Unchecked with an entry: removed; again: still nothing.
    entry.SetAutoStart(false, program);
    QVERIFY(!QFile::exists(entry.path()));
    entry.SetAutoStart(false, program);
    QVERIFY(!QFile::exists(entry.path()));

    // An entry without an Exec value counts as absent and is left alone.
    writeFile(entry.path(), "[Desktop Entry]\nName=Something\n");
    entry.SetAutoStart(false, program);
    QVERIFY(QFile::exists(entry.path()));
}

void tst_Settings::autostart_exec_is_quoted_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("exec");
    QTest::newRow("plain") << "/usr/bin/Zorvane"
                           << "\"/usr/bin/Zorvane\"";
    QTest::newRow("blank") << "/home/a b/Zorvane"
                           << "\"/home/a b/Zorvane\"";
    QTest::newRow("quote, dollar, backtick") << "/x/\"$`/Z"
                                             << "\"/x/\\\\\"\\\\$\\\\`/Z\"";
    QTest::newRow("backslash") << "/x\\y/Z"
                               << "\"/x\\\\\\\\y/Z\"";
    QTest::newRow("percent") << "/x/100%/Z"
                             << "\"/x/100%%/Z\"";
}

void tst_Settings::autostart_exec_is_quoted()
{
    QFETCH(QString, path);
    QFETCH(QString, exec);
    QCOMPARE(AutoStartEntry::execValue(path), exec);
}

void tst_Settings::one_instance_per_lock()
{
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    QCOMPARE(SingleInstance::defaultLockPath(), runtime.filePath(QStringLiteral("Zorvane.lock")));
    {
        SingleInstance first;
        QVERIFY(first.tryLock());
        SingleInstance second;
        QVERIFY(!second.tryLock());
    }
    // The first has gone: the next one may run.
    SingleInstance third;
    QVERIFY(third.tryLock());

    // Without a runtime folder the lock is in the temp folder, per user.
    qputenv("XDG_RUNTIME_DIR", QByteArray());
    QTemporaryDir temp;
    qputenv("TMPDIR", QFile::encodeName(temp.path()));
    QVERIFY(SingleInstance::defaultLockPath().startsWith(temp.path() + QStringLiteral("/Zorvane-")));
}

void tst_Settings::listener_start_reports_each_failure_once()
{
    modMain state;
    QStringList problems;
    state.messageBoxWithIcon = [&](modMain::BoxIcon icon, const QString &title, const QString &text) {
        QCOMPARE(icon, modMain::BoxIcon::Critical);
        QCOMPARE(title, QStringLiteral("Zorvane - System Problem"));
        problems << text;
    };
    const QString advice = QStringLiteral("\r\n\r\nExit and run diagnostics for more information");

    // The description names the protocol and the port, so the user knows
    // which setting to change.
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::AnyIPv4, 0));
    const QString otherPort = QString::number(other.serverPort());
    Winsock taken;
    QVERIFY(!ListenerStartup::Start(state, taken, otherPort, QStringLiteral("POP3")));
    QCOMPARE(problems,
             QStringList{QStringLiteral("2740 - Address already in use (POP3 port %1)").arg(otherPort) + advice});
    problems.clear();
    Winsock takenForSmtp;
    QVERIFY(!ListenerStartup::Start(state, takenForSmtp, QStringLiteral(" %1").arg(otherPort), QStringLiteral("SMTP")));
    QCOMPARE(problems,
             QStringList{QStringLiteral("2740 - Address already in use (SMTP port %1)").arg(otherPort) + advice});

    // A port box that does not hold a port: shown, and still a listen
    // attempt on the port the socket had.
    problems.clear();
    Winsock badText;
    QVERIFY(ListenerStartup::Start(state, badText, QStringLiteral("pop"), QStringLiteral("POP3")));
    QCOMPARE(problems, QStringList{QStringLiteral("2726 - Invalid port number (POP3 port pop)") + advice});
    QCOMPARE(badText.State(), int(Winsock::sckListening));

    // A port below 1024 without the privilege to open it (where this
    // machine keeps such ports privileged and we have no privilege).
    QTcpServer privileged;
    if (!privileged.listen(QHostAddress::AnyIPv4, 110)
        && privileged.serverError() == QAbstractSocket::SocketAccessError) {
        problems.clear();
        Winsock forbidden;
        QVERIFY(!ListenerStartup::Start(state, forbidden, QStringLiteral("110"), QStringLiteral("POP3")));
        QCOMPARE(problems.size(), 1);
        QVERIFY2(problems.first().startsWith(QStringLiteral("271D - ")), qPrintable(problems.first()));
        QVERIFY2(problems.first().endsWith(QStringLiteral(" (POP3 port 110)") + advice), qPrintable(problems.first()));
    }

    problems.clear();
    Winsock good;
    QVERIFY(ListenerStartup::Start(state, good, QStringLiteral(" 0 "), QStringLiteral("SMTP")));
    QVERIFY(problems.isEmpty());
    QCOMPARE(good.State(), int(Winsock::sckListening));

    QCOMPARE(ListenerStartup::ParsePortText(QStringLiteral("65535")), std::optional<quint16>(65535));
    QCOMPARE(ListenerStartup::ParsePortText(QStringLiteral("65536")), std::nullopt);
    QCOMPARE(ListenerStartup::ParsePortText(QStringLiteral("-1")), std::nullopt);
    QCOMPARE(ListenerStartup::ParsePortText(QString()), std::nullopt);
}

void tst_Settings::version_line()
{
    // "<title> <major>.<minor> (Rev. <revision>)", numbers without leading zeros.
    static const QRegularExpression line(
        QStringLiteral("^Zorvane (0|[1-9][0-9]*)\\.(0|[1-9][0-9]*) \\(Rev\\. (0|[1-9][0-9]*)\\)$"));
    const QRegularExpressionMatch match = line.match(VersionInfo::VersionLine());
    QVERIFY2(match.hasMatch(), qPrintable(VersionInfo::VersionLine()));
    QCOMPARE(match.captured(1).toInt(), VersionInfo::Major());
    QCOMPARE(match.captured(3).toInt(), VersionInfo::Revision());
    QCOMPARE(ProductName(), VersionInfo::Title());
}

QTEST_GUILESS_MAIN(tst_Settings)
#include "tst_Settings.moc"
