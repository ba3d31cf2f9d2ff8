// The agent as the program assembles it: where its options come from, which
// parts it builds and how they are tied together. What a client sees of the
// whole program is the business of the program's own tests.

#include "AgentAssembly.h"
#include "LineClient.h"
#include "PopFrontEnd.h"
#include "SmtpFrontEnd.h"
#include "SocketWatchdog.h"
#include "VersionInfo.h"
#include "clsHotmail.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class tst_AgentAssembly : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void headlessStartTakesTheStoredValues();
    void windowOptionsOutrankTheStoredValues();
    void partsAreTiedTogether();
    void watchdogCanBeLeftOut();

private:
    AgentAssembly::Options inRoot() const;
    void storeStartValues(SettingsStore &store, bool deleteOnServer) const;

    std::unique_ptr<QTemporaryDir> m_root;
};

void tst_AgentAssembly::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "TMPDIR"}) {
        const QString folder = m_root->filePath(QString::fromLatin1(name));
        QVERIFY(QDir().mkpath(folder));
        qputenv(name, QFile::encodeName(folder));
    }
}

AgentAssembly::Options tst_AgentAssembly::inRoot() const
{
    AgentAssembly::Options options;
    options.settingsPath = m_root->filePath(QStringLiteral("Zorvane.ini"));
    return options;
}

void tst_AgentAssembly::storeStartValues(SettingsStore &store, bool deleteOnServer) const
{
    Preferences values;
    values.DeleteOnServer = deleteOnServer;
    values.ListUnreadOnly = false;
    values.Pop3Port = QStringLiteral("0");
    values.SmtpPort = QStringLiteral("0");
    QVERIFY(values.Save(store));
}

// Without a window the front ends read the values the settings held at
// start; the listeners take the stored ports, the session is the one the
// state names, and the version line opens the log.
void tst_AgentAssembly::headlessStartTakesTheStoredValues()
{
    AgentAssembly agent(inRoot());
    storeStartValues(agent.Store(), true);
    QVERIFY(!agent.Session());
    agent.Start();

    QVERIFY(agent.State().Options().DeleteOnServer());
    QVERIFY(!agent.State().Options().ListUnreadOnly());
    QCOMPARE(agent.PopSocket().State(), int(Winsock::sckListening));
    QCOMPARE(agent.SmtpSocket().State(), int(Winsock::sckListening));
    QVERIFY(agent.PopSocket().LocalPort() != 0);
    QVERIFY(agent.SmtpSocket().LocalPort() != agent.PopSocket().LocalPort());
    QVERIFY(agent.Session());
    QCOMPARE(agent.State().MailSession, agent.Session());
    QVERIFY(agent.State().Screen.text().startsWith(VersionInfo::VersionLine()));
    QVERIFY(!agent.State().LogToFile);
}

// The window hands in its check boxes before start; the stored values do
// not replace them.
void tst_AgentAssembly::windowOptionsOutrankTheStoredValues()
{
    AgentAssembly agent(inRoot());
    storeStartValues(agent.Store(), true);
    OptionValues boxes;
    boxes.deleteOnServer = false;
    agent.UseOptions(&boxes);
    agent.Start();
    QVERIFY(!agent.State().Options().DeleteOnServer());
    boxes.deleteOnServer = true;
    QVERIFY(agent.State().Options().DeleteOnServer());
}

// Each front end answers on its own socket; a socket the watchdog heals
// starts its dialogue afresh.
void tst_AgentAssembly::partsAreTiedTogether()
{
    AgentAssembly agent(inRoot());
    storeStartValues(agent.Store(), false);
    agent.Start();

    LineClient smtp;
    QVERIFY(smtp.connectTo(agent.SmtpSocket().LocalPort()));
    QCOMPARE(smtp.readLine(), QByteArray("220 Zorvane Simple Mail Transfer Service Ready\r\n"));
    LineClient pop;
    QVERIFY(pop.connectTo(agent.PopSocket().LocalPort()));
    QCOMPARE(pop.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));

    // Half a QUIT arrives, then the watchdog heals the socket: the rest of
    // the line is all the fresh dialogue sees, and QUIT never happens.
    QSignalSpy arrivals(&agent.PopSocket(), &Winsock::DataArrival);
    pop.send("QUI");
    QVERIFY(arrivals.wait());
    QVERIFY(agent.Watchdog());
    QVERIFY(agent.Watchdog()->isActive());
    emit agent.Watchdog()->PopRecovered();
    const QByteArray reply = pop.command("T");
    QVERIFY2(reply.startsWith("-ERR"), reply.constData());
    QVERIFY(pop.isConnected());
}

void tst_AgentAssembly::watchdogCanBeLeftOut()
{
    AgentAssembly::Options options = inRoot();
    options.socketWatchdog = false;
    AgentAssembly agent(options);
    storeStartValues(agent.Store(), false);
    agent.Start();
    QVERIFY(!agent.Watchdog());
    QVERIFY(agent.Pop());
    QVERIFY(agent.Smtp());
    QCOMPARE(agent.SmtpSocket().State(), int(Winsock::sckListening));
}

QTEST_GUILESS_MAIN(tst_AgentAssembly)
#include "tst_AgentAssembly.moc"
