// A session created where no request object can be made (no application
// object, hence no event loop for the network): it says so on the log and
// every request of every operation fails in the component, with each
// operation's own failure result.

#include "clsHotmail.h"
#include "modMain.h"

#include <QCoreApplication>
#include <QTest>

namespace {
// The session and its state are made before the application object exists.
modMain *earlyState = nullptr;
clsHotmail *earlySession = nullptr;
} // namespace

class tst_SessionWithoutChannel : public QObject
{
    Q_OBJECT

private slots:
    void creationFailureIsLogged();
    void everyRequestFails();
};

void tst_SessionWithoutChannel::creationFailureIsLogged()
{
    QVERIFY(!earlySession->HasRequestObject());
    QVERIFY2(earlyState->Screen.text().contains(
                 QStringLiteral("ERR: Unable to initialize Hotmail communication channel: 1AD - ")),
             qPrintable(earlyState->Screen.text()));
}

void tst_SessionWithoutChannel::everyRequestFails()
{
    clsHotmail &session = *earlySession;
    QCOMPARE(session.ConnStatus(QStringLiteral("joe@zorvane.test")),
             QByteArray("Communication error: 10000, 0 - Error details not available.\r\n"));
    QCOMPARE(session.Logoff(QStringLiteral("joe@zorvane.test")), 0);

    XmlDocument mailbox;
    QVERIFY(mailbox.loadXML("<m:mailbox xmlns:m=\"urn:zorvane:mail\"/>"));
    QCOMPARE(session.GetMsgStoreProps(mailbox),
             QByteArray("-ERR communication error: 91, 0 - Error details not available."));
    QVERIFY(!session.PopCollect(mailbox));
    QCOMPARE(session.Send("MAIL FROM:<a@b>\r\n\r\nx\r\n", true), QByteArray("451 Local error in processing\r\n"));
    QVERIFY(session.MarkAsRead());
    QCOMPARE(session.Stat(), QByteArray("+OK 0 0"));
}

int main(int argc, char *argv[])
{
    modMain state;
    clsHotmail session(state);
    earlyState = &state;
    earlySession = &session;

    QCoreApplication app(argc, argv);
    tst_SessionWithoutChannel test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_SessionWithoutChannel.moc"
