#pragma once

#include "XmlDocument.h"
#include "XmlHttpRequest.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class modMain;

// The web mail session. Every public operation turns each failure of its
// requests into its failure result; nothing is thrown. Reply texts are bytes:
// POP3 replies without their final CRLF, SMTP reply lines with theirs.
//
// The session has one request object, so operations must not overlap; the
// front ends consult IsBusy() and wait for Idle() before starting one.
//
// Each front end keeps the account its dialogue logged in with, and every
// request made for it presents that account's credentials, whatever the
// other front end logs in meanwhile: the mailbox operations (store load,
// downloads, the update phase, the collection) and the closing request at
// the end of a dialogue act for the POP3 front end, GetSendUrl and Send for
// the SMTP front end. The probe of ConnStatus presents none.
class clsHotmail : public QObject
{
    Q_OBJECT
public:
    enum class FrontEnd { Pop3, Smtp };

    // A marked message that the update phase could not mark read or move.
    struct UpdateFailure
    {
        int MsgNumber = 0;
        QByteArray Name;   // the message's unique name
        QByteArray Reason; // what the service answered, or why it was not asked
    };

    // Loads the stored texts 1001..1045 (the Preferences keys ServiceUrl and
    // AltServiceUrl, when present in the settings store, replace 1001 and
    // 1002) and creates the request object.
    explicit clsHotmail(modMain &state, QObject *parent = nullptr);
    ~clsHotmail() override;

    // Login, store, probe, logoff. A login the service accepts (200, 207)
    // becomes the account of the front end For; any other outcome leaves
    // that front end without one. Logoff ends the POP3 front end's account
    // when it is UserName.
    int Login(const QString &UserName, const QString &Password, XmlDocument &XmlMailbox, FrontEnd For);
    QByteArray GetMsgStoreProps(const XmlDocument &XmlMailbox, bool ListAll = false);
    QByteArray ConnStatus(const QString &sUserName);
    int Logoff(const QString &UserName);

    // Mailbox operations; MsgNumber is 1..n.
    QByteArray Stat() const;
    QByteArray List(int MsgNumber = 0) const;
    QByteArray ListNames(int MsgNumber = 0) const;
    // A retrieval, or a TOP answered by downloading the message, that
    // follows the one of the message before (or is of the first message)
    // starts the download of the next message, listed at most 50000 octets,
    // while the client reads this one; the retrieval of that message then
    // takes its answer, and anything else drops it unused.
    QByteArray Top(int MsgNumber, int Lines);
    QByteArray Retrieve(int MsgNumber);
    // The request object with the download running, or null. The caller
    // owns it and polls readyState()/readyStateChanged().
    std::unique_ptr<XmlHttpRequest> RetrieveAsync(int MsgNumber);
    QByteArray Mark(int MsgNumber);
    QByteArray ResetMarks();
    // The update phase: true when every marked message was marked read
    // (moved); otherwise false, and the messages that were not, with the
    // reason, are added to failures.
    bool MarkAsRead(QList<UpdateFailure> *failures = nullptr);
    bool MoveToDeletedItems(QList<UpdateFailure> *failures = nullptr);
    bool PopCollect(const XmlDocument &XmlMailbox);

    // Sending. Each submission carries a random identifier, the same on
    // both its attempts, so a service that stored the first attempt and lost
    // its answer does not store the second.
    bool GetSendUrl(const XmlDocument &XmlMailbox);
    QByteArray Send(const QByteArray &Message, bool SaveInSent);

    // Read-only views for the front ends.
    // The service's mail domain, appended to bare user names at USER.
    QString MailDomain() const;
    int MessageCount() const;
    // Size the service listed for message n (0 when out of range).
    qint64 MessageSize(int MsgNumber) const;
    int HighestMessageNumber() const;

    // Whether message n is marked for deletion.
    bool IsMarked(int MsgNumber) const;
    // The message whose download was started ahead of its retrieval, 0 when
    // none is held.
    int ReadAheadMessage() const;
    // The account whose credentials the front end's requests present; empty
    // while it has none.
    QString AccountOf(FrontEnd For) const;
    // Folder and send addresses as the last GetMsgStoreProps/GetSendUrl set them.
    QByteArray InboxUrl() const;
    QByteArray DeletedItemsUrl() const;
    QByteArray SendUrl() const;
    // False when the request object could not be created; every request of
    // the session then fails in the component.
    bool HasRequestObject() const;

    // Code, " - " and the code's text from the session's error table.
    static QByteArray ErrorText(int code);

    // True while an operation is under way (it may be waiting for the
    // service) or an asynchronous download handed out by RetrieveAsync is
    // running. A download read ahead does not count: every operation drops
    // it before it sends a request of its own.
    bool IsBusy() const;
    // The asynchronous download handed out by RetrieveAsync has ended (the
    // caller tells the session so, whatever the outcome).
    void AsyncDownloadFinished();

    // Only tests shorten the completion wait's poll; the counts stay.
    void setPollIntervalMs(int ms);
    // Polls the last completion wait took, and how many of them ended with
    // no answer begun.
    int LastWaitPolls() const;
    int LastWaitPollsBeforeAnswer() const;

signals:
    // Emitted when the session becomes free again, so held input of either
    // front end can be interpreted.
    void Idle();

private:
    struct Private;
    std::unique_ptr<Private> d;
};
