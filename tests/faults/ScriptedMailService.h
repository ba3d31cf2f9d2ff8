#pragma once

#include "FakeHttpPeer.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>

#include <functional>
#include <optional>

// A web mail service for fault tests and fuzzing: it answers the agent's
// requests the way the service contract describes, for one account whose
// inbox holds the messages the test gives, and records what the agent did to
// the mailbox (marks, moves, submissions). A test injects a fault by giving
// the answer for one kind of request itself.
//
// The responder may run on the peer's own thread (listenInOwnThread, needed
// when the agent sends synchronously); every member is guarded for that.
class ScriptedMailService
{
public:
    enum class Kind {
        Probe,            // the reachability probe, also the logoff
        Login,            // PROPFIND on the entry address
        FolderCollection, // store load, first query (the count)
        FolderListing,    // store load, second query (addresses and sizes)
        Fetch,            // GET of a message
        Properties,       // PROPFIND of a message (TOP's header lines)
        MarkRead,         // PROPPATCH of a message
        Move,             // MOVE of a message to the deleted items
        Submit,           // POST to the send address
        Collect,          // GET of the POP collection address
        Other,
    };

    // Decides the answer to one request of a kind; nothing means "answer as
    // the contract says". occurrence counts requests of that kind from 1.
    using Fault = std::function<std::optional<FakeHttpPeer::Answer>(const FakeHttpPeer::Request &, int occurrence)>;

    explicit ScriptedMailService(const QByteArray &account = "user@zorvane.test");

    bool listen();
    bool listenInOwnThread();
    QString serviceUrl() const;
    QString altServiceUrl() const;
    // The scheme, host and port the service's addresses name, when it is
    // reached through a front (a TLS front, say) rather than directly.
    void setPublicUrl(const QString &url);
    QByteArray account() const { return m_account; }
    FakeHttpPeer &peer() { return m_peer; }

    // The inbox, in listing order; every message unread.
    void setMessages(const QList<QByteArray> &messages);
    // Replaces the text of one message of the inbox; its state stays.
    void setMessage(int index, const QByteArray &text);
    QList<QByteArray> messages() const;

    void setFault(Kind kind, Fault fault);
    // Every request of the kind gets this answer.
    void setFault(Kind kind, const FakeHttpPeer::Answer &answer);
    // Every request of the kind is answered as the contract says, but only
    // after the delay (the connection stays open and silent meanwhile).
    void setDelay(Kind kind, int milliseconds);
    // The next request of the kind is read and left unanswered until the
    // test resumes it (FakeHttpPeer::resumeStalled); later ones are answered.
    void stallNext(Kind kind);
    void clearFaults();

    // The answer the contract gives to the request, for a test that resumes
    // a stalled one as if nothing had happened.
    FakeHttpPeer::Answer contractAnswer(const FakeHttpPeer::Request &request);

    // What arrived, by kind (faulted requests included).
    int requestCount(Kind kind) const;
    // Names of messages the agent marked read / moved (answered as done).
    QList<QByteArray> markedRead() const;
    QList<QByteArray> moved() const;
    // Bodies of the submissions that were answered 201.
    QList<QByteArray> submissions() const;
    // Bodies of every submission request that arrived, answered or not.
    QList<QByteArray> submissionAttempts() const;

    static Kind kindOf(const FakeHttpPeer::Request &request);
    static QByteArray messageName(int index) { return "msg" + QByteArray::number(index + 1); }

    // Ready-made faulty answers.
    static FakeHttpPeer::Answer status(int code, const QByteArray &reason);
    static FakeHttpPeer::Answer notXml();
    // Announces contentLength bytes, sends the first sentBytes of body, closes.
    static FakeHttpPeer::Answer truncated(int code, const QByteArray &body, qsizetype sentBytes);
    static FakeHttpPeer::Answer multistatusAnswer(const QByteArray &body);

private:
    FakeHttpPeer::Answer answer(const FakeHttpPeer::Request &request);
    FakeHttpPeer::Answer contractAnswer(Kind kind, const FakeHttpPeer::Request &request);
    QByteArray base() const;
    QByteArray home() const;
    QByteArray mailboxDocument() const;
    QByteArray inboxListing() const;
    QByteArray messageProperties(int index) const;
    int indexOfName(const QByteArray &name) const;
    static QByteArray response(const QByteArray &href, const QByteArray &props);
    static QByteArray multistatus(const QByteArray &responses);

    mutable QMutex m_mutex;
    FakeHttpPeer m_peer;
    QByteArray m_account;
    QByteArray m_publicUrl;
    QList<QByteArray> m_messages;
    QList<bool> m_read;
    QList<bool> m_present;
    QHash<int, Fault> m_faults;
    QHash<int, int> m_delays;
    QHash<int, int> m_counts;
    QList<QByteArray> m_markedRead;
    QList<QByteArray> m_moved;
    QList<QByteArray> m_submissions;
    QList<QByteArray> m_submissionAttempts;
};
