// The program's quit while the SMTP dialogue waits for a session that the
// POP3 side holds: the dialogue's wait ends with "451 Local error in
// processing", and the session's own completion wait, and every attempt
// after it, ends without waiting for the service. A quit cannot be taken
// back, so this is a program of its own.
#include "FakeHttpPeer.h"
#include "SmtpDialogue.h"
#include "SmtpTestRig.h"

class tst_SmtpShutdown : public QObject
{
    Q_OBJECT
private slots:
    void quitEndsEveryWait();
};

void tst_SmtpShutdown::quitEndsEveryWait()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "TMPDIR"}) {
        QVERIFY(QDir().mkpath(root.filePath(QString::fromLatin1(name))));
        qputenv(name, root.filePath(QString::fromLatin1(name)).toUtf8());
    }
    FakeHttpPeer peer;
    QVERIFY(peer.listen());
    // Every request of the POP3 side's operation, retries included, meets
    // a service that never answers.
    peer.setResponder([](const FakeHttpPeer::Request &) { return FakeHttpPeer::silence(); });
    TestAgent agent(root.filePath(QStringLiteral("Zorvane.ini")), peer.url(), peer.url());
    SmtpDialogue dialogue(agent.state);
    QCOMPARE(dialogue.sessionWaitLimit(), SmtpDialogue::SessionWaitLimitMs);

    QByteArray reply;
    const auto duringTheWait = QObject::connect(&peer, &FakeHttpPeer::requestReceived, &peer, [&](int index) {
        if (index != 0)
            return;
        // What QCoreApplication::quit() sends while the program runs.
        QTimer::singleShot(0, &peer, [] {
            QEvent quit(QEvent::Quit);
            QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
        });
        reply = dialogue.HandleSmtpCommand("HELO tester\r\n");
    });
    const QByteArray status =
        agent.session->ConnStatus(SmtpDialogue::ConnectionCheckAddress(agent.session->MailDomain()));
    QObject::disconnect(duringTheWait);

    QCOMPARE(reply, QByteArray("451 Local error in processing\r\n"));
    QVERIFY(agent.screen.contains(QStringLiteral("SMTP-ERR: Zorvane is closing; nothing done.")));
    QCOMPARE(dialogue.state(), SmtpState::AwaitingHelo);
    // The service never answered; the operation gave up, its last attempt
    // without a single poll.
    QVERIFY2(status.startsWith("Communication error"), status.constData());
    QCOMPARE(agent.session->LastWaitPolls(), 0);
}

QTEST_MAIN(tst_SmtpShutdown)
#include "tst_SmtpShutdown.moc"
