#pragma once

#include "WebMailSession.h"
#include "XmlDocument.h"
#include "XmlHttpRequest.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class modMain;

// The web mail session over HTTP/WebDAV: the service's answers are
// XML documents turned into lists and addresses by the stored stylesheets.
// The session has one request object, so operations must not overlap.
class clsHotmail : public WebMailSession
{
    Q_OBJECT
public:
    // Loads the stored texts 1001..1045 (the Preferences keys ServiceUrl and
    // AltServiceUrl, when present in the settings store, replace 1001 and
    // 1002) and creates the request object.
    explicit clsHotmail(modMain &state, QObject *parent = nullptr);
    ~clsHotmail() override;

    int Login(const QString &UserName, const QString &Password, XmlDocument &XmlMailbox, FrontEnd For) override;
    QByteArray GetMsgStoreProps(const XmlDocument &XmlMailbox, bool ListAll = false) override;
    QByteArray ConnStatus(const QString &sUserName) override;
    int Logoff(const QString &UserName) override;

    QByteArray Stat() const override;
    QByteArray List(int MsgNumber = 0) const override;
    QByteArray ListNames(int MsgNumber = 0) const override;
    // A retrieval, or a TOP answered by downloading the message, that
    // follows the one of the message before (or is of the first message)
    // starts the download of the next message, listed at most 50000 octets,
    // while the client reads this one; the retrieval of that message then
    // takes its answer, and anything else drops it unused.
    QByteArray Top(int MsgNumber, int Lines) override;
    QByteArray Retrieve(int MsgNumber) override;
    std::unique_ptr<XmlHttpRequest> RetrieveAsync(int MsgNumber) override;
    void AsyncDownloadFinished() override;
    QByteArray Mark(int MsgNumber) override;
    QByteArray ResetMarks() override;
    bool MarkAsRead(QList<UpdateFailure> *failures = nullptr) override;
    bool MoveToDeletedItems(QList<UpdateFailure> *failures = nullptr) override;
    bool PopCollect(const XmlDocument &XmlMailbox) override;

    // Each submission carries a random identifier, the same on both its
    // attempts, so a service that stored the first attempt and lost its
    // answer does not store the second.
    bool GetSendUrl(const XmlDocument &XmlMailbox) override;
    QByteArray Send(const QByteArray &Message, bool SaveInSent) override;

    QString MailDomain() const override;
    // A download read ahead does not count as busy: every operation drops
    // it before it sends a request of its own.
    bool IsBusy() const override;

    // Read-only views of the session's state.
    int MessageCount() const;
    // Size the service listed for message n (0 when out of range).
    qint64 MessageSize(int MsgNumber) const;
    int HighestMessageNumber() const;

    // Whether message n is marked for deletion.
    bool IsMarked(int MsgNumber) const;
    // The message whose download was started ahead of its retrieval, or
    // starts at the event loop's next turn; 0 when none is.
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

    // Only tests shorten the completion wait's poll; the counts stay.
    void setPollIntervalMs(int ms);
    // Polls the last completion wait took, and how many of them ended with
    // no answer begun.
    int LastWaitPolls() const;
    int LastWaitPollsBeforeAnswer() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
