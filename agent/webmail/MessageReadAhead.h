#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class XmlHttpRequest;

// The download of the message a client retrieving in order will ask for next,
// started while it reads the one before. At most one is held. It is handed
// over only to the retrieval of that same message, at that same address, for
// that same account; anything else drops it (aborted, its answer unused), so
// a download started ahead is never seen by anyone it was not made for.
class MessageReadAhead
{
public:
    MessageReadAhead();
    ~MessageReadAhead();
    MessageReadAhead(const MessageReadAhead &) = delete;
    MessageReadAhead &operator=(const MessageReadAhead &) = delete;

    // Holds the running download of message msgNumber (at url, for account)
    // in place of the one held before, which is dropped.
    void Hold(int msgNumber, const QByteArray &url, const QString &account, std::unique_ptr<XmlHttpRequest> download);
    // The download held for exactly this message, address and account, now
    // the caller's; null when none is. What is held for anything else is
    // dropped either way.
    std::unique_ptr<XmlHttpRequest> Take(int msgNumber, const QByteArray &url, const QString &account);
    // Aborts and forgets the download held, if any.
    void Drop();
    // The message whose download is held, 0 when none is.
    int HeldMessage() const { return m_download ? m_msgNumber : 0; }

private:
    std::unique_ptr<XmlHttpRequest> m_download;
    int m_msgNumber = 0;
    QByteArray m_url;
    QString m_account;
};
