#pragma once

#include "MessageStore.h"
#include "WebMailSession.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

// A web mail session without a service: the mailbox is a list of message
// texts the test gives, and every answer of the service is scripted. The
// mailbox replies (STAT, LIST, UIDL, marks) and the message replies (RETR,
// TOP) are built by the same code the real session uses, so a dialogue
// test sees what a client would see.
//
// What the session does not serve: the background download of a large
// message. RetrieveAsync hands out no download (the dialogue then refuses
// the RETR); that path is tested against the real session.
//
// Every operation that would send a request to the service is recorded,
// with the front end it acts for and the account whose credentials the
// real session would present; the reads of the loaded list are not.
class ScriptedSession : public WebMailSession
{
    Q_OBJECT
public:
    struct Message
    {
        QByteArray text;
        bool read = false; // listed only when the listing takes read ones too
    };

    struct Call
    {
        QByteArray operation; // the member's name: "Login", "Send", ...
        FrontEnd frontEnd = FrontEnd::Pop3;
        QString account;         // the credentials presented; empty: none
        QByteArray detail;       // what the call carried (number, message, ...)
        bool saveInSent = false; // Send: keep a copy among the sent items
    };

    explicit ScriptedSession(QObject *parent = nullptr);

    // The mailbox as the next store load finds it; message n's name is "mn".
    void setMessages(const QList<Message> &messages);
    void setMessages(const QList<QByteArray> &texts);
    // The status the service answers to a login with this password; any
    // other password gets 401. Without an entry every login gets 401.
    void setPassword(const QString &account, const QString &password, int status = 200);

    // From now on the operation fails: its failure answer (a reply text,
    // or for the update phase the reason every marked message fails with).
    // Empty answers choose the failure the real session would give.
    void setFailure(const QByteArray &operation, const QByteArray &answer = QByteArray());
    void clearFailure(const QByteArray &operation);

    // A busy session holds the front ends off; becoming free says Idle.
    void setBusy(bool busy);

    const QList<Call> &calls() const { return m_calls; }
    // The names of the operations called, in order.
    QList<QByteArray> operations() const;
    // The submissions that Send took (envelope, empty line, message text).
    QList<QByteArray> submissions() const;
    // The names of the messages the update phase marked read or moved.
    const QList<QByteArray> &markedRead() const { return m_markedRead; }
    const QList<QByteArray> &moved() const { return m_moved; }
    QString AccountOf(FrontEnd For) const { return m_accounts[int(For)]; }

    int Login(const QString &UserName, const QString &Password, XmlDocument &XmlMailbox, FrontEnd For) override;
    QByteArray GetMsgStoreProps(const XmlDocument &XmlMailbox, bool ListAll = false) override;
    QByteArray ConnStatus(const QString &sUserName) override;
    int Logoff(const QString &UserName) override;
    QByteArray Stat() const override;
    QByteArray List(int MsgNumber = 0) const override;
    QByteArray ListNames(int MsgNumber = 0) const override;
    QByteArray Top(int MsgNumber, int Lines) override;
    QByteArray Retrieve(int MsgNumber) override;
    std::unique_ptr<XmlHttpRequest> RetrieveAsync(int MsgNumber) override;
    void AsyncDownloadFinished() override;
    QByteArray Mark(int MsgNumber) override;
    QByteArray ResetMarks() override;
    bool MarkAsRead(QList<UpdateFailure> *failures = nullptr) override;
    bool MoveToDeletedItems(QList<UpdateFailure> *failures = nullptr) override;
    bool PopCollect(const XmlDocument &XmlMailbox) override;
    bool GetSendUrl(const XmlDocument &XmlMailbox) override;
    QByteArray Send(const QByteArray &messageText, bool SaveInSent) override;
    QString MailDomain() const override { return m_mailDomain; }
    void setMailDomain(const QString &domain) { m_mailDomain = domain; }
    bool IsBusy() const override { return m_busy; }

private:
    void record(const QByteArray &operation, FrontEnd For, const QByteArray &detail = QByteArray());
    bool fails(const QByteArray &operation) const { return m_failures.contains(operation); }
    QByteArray failureOr(const QByteArray &operation, const QByteArray &standard) const;
    QByteArray listedText(int MsgNumber) const;
    bool runUpdatePhase(const QByteArray &operation, QList<QByteArray> &done, QList<UpdateFailure> *failures);

    QList<Message> m_messages;
    QList<int> m_listed; // message indexes behind the store's numbers 1..n
    MessageStore m_store;
    QHash<QString, QPair<QString, int>> m_passwords;
    QHash<QByteArray, QByteArray> m_failures;
    QList<Call> m_calls;
    QList<QByteArray> m_markedRead;
    QList<QByteArray> m_moved;
    QString m_accounts[2];
    QString m_mailDomain = QStringLiteral("mail.test");
    bool m_busy = false;
};
