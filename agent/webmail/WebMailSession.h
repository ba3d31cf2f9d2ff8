#pragma once

#include "XmlDocument.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class XmlHttpRequest;

// What the POP3 and SMTP front ends ask of the web mail session. Every
// operation turns each failure into its failure result; nothing is thrown.
// Reply texts are bytes: POP3 replies without their final CRLF, SMTP reply
// lines with theirs.
//
// The session serves one operation at a time: the front ends consult
// IsBusy() and wait for Idle() before starting one.
//
// Each front end keeps the account its dialogue logged in with, and every
// request made for it presents that account's credentials, whatever the
// other front end logs in meanwhile: the mailbox operations (store load,
// downloads, the update phase, the collection) and the closing request at
// the end of a dialogue act for the POP3 front end, GetSendUrl and Send for
// the SMTP front end. The probe of ConnStatus presents none.
class WebMailSession : public QObject
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

    using QObject::QObject;

    // Login, store, probe, logoff. A login the service accepts (200, 207)
    // becomes the account of the front end For; any other outcome leaves
    // that front end without one. Logoff ends the POP3 front end's account
    // when it is UserName.
    virtual int Login(const QString &UserName, const QString &Password, XmlDocument &XmlMailbox, FrontEnd For) = 0;
    virtual QByteArray GetMsgStoreProps(const XmlDocument &XmlMailbox, bool ListAll = false) = 0;
    // Empty when the service answers; else the problem, ending in CRLF.
    virtual QByteArray ConnStatus(const QString &sUserName) = 0;
    virtual int Logoff(const QString &UserName) = 0;

    // Mailbox operations; MsgNumber is 1..n, 0 for the whole listing.
    virtual QByteArray Stat() const = 0;
    virtual QByteArray List(int MsgNumber = 0) const = 0;
    virtual QByteArray ListNames(int MsgNumber = 0) const = 0;
    virtual QByteArray Top(int MsgNumber, int Lines) = 0;
    virtual QByteArray Retrieve(int MsgNumber) = 0;
    // The request object with the download running, or null. The caller
    // owns it, polls readyState()/readyStateChanged() and calls
    // AsyncDownloadFinished() when it ends, whatever the outcome.
    virtual std::unique_ptr<XmlHttpRequest> RetrieveAsync(int MsgNumber) = 0;
    virtual void AsyncDownloadFinished() = 0;
    virtual QByteArray Mark(int MsgNumber) = 0;
    virtual QByteArray ResetMarks() = 0;
    // The update phase: true when every marked message was marked read
    // (moved); otherwise false, and the messages that were not, with the
    // reason, are added to failures.
    virtual bool MarkAsRead(QList<UpdateFailure> *failures = nullptr) = 0;
    virtual bool MoveToDeletedItems(QList<UpdateFailure> *failures = nullptr) = 0;
    virtual bool PopCollect(const XmlDocument &XmlMailbox) = 0;

    // Sending: the send address from the mailbox the SMTP login gave, then
    // one submission (envelope, empty line, message text); the SMTP reply.
    virtual bool GetSendUrl(const XmlDocument &XmlMailbox) = 0;
    virtual QByteArray Send(const QByteArray &Message, bool SaveInSent) = 0;

    // The service's mail domain, appended to bare user names at USER.
    virtual QString MailDomain() const = 0;

    // True while an operation is under way (it may be waiting for the
    // service) or an asynchronous download handed out by RetrieveAsync is
    // running.
    virtual bool IsBusy() const = 0;

signals:
    // Emitted when the session becomes free again, so held input of either
    // front end can be interpreted.
    void Idle();
};
