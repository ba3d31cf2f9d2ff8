#pragma once

#include "PopCommandLine.h"
#include "PopState.h"
#include "WebMailSession.h"
#include "XmlDocument.h"

#include <QByteArray>
#include <QString>

#include <memory>

class XmlHttpRequest;
class modMain;

// The POP3 dialogue: one command line in, one reply out, no socket calls.
// Logs in to the web mail service through the session, loads the message
// list on the first mailbox command, maps each mailbox command onto a
// session operation and runs the update phase at QUIT.
class PopInterpreter
{
public:
    // RETR of a message larger than this (in octets, as the service lists
    // it) is downloaded in the background while the client is kept waiting
    // with keep-alive lines; up to it the message goes out in one reply.
    static constexpr qint64 LargeMessageThreshold = 50000;

    static inline const QByteArray CapabilityList =
        QByteArrayLiteral("+OK Capability list follows\r\nTOP\r\nUSER\r\nUIDL\r\n.\r\n");
    // What the client receives for an accepted QUIT.
    static inline const QByteArray QuitReply = QByteArrayLiteral("+OK\r\n\r\n");
    // ... when the update phase could not mark or move every deleted message.
    static inline const QByteArray QuitReplyNotAllRemoved =
        QByteArrayLiteral("-ERR some deleted messages not removed\r\n");

    struct Result
    {
        QByteArray reply;  // complete, with its final CRLF; empty: send nothing
        bool quit = false; // QUIT accepted: close the connection once reply has gone
        // RETR of a large message: the download that is now running. reply is
        // then the status line, and the message follows when this completes.
        std::unique_ptr<XmlHttpRequest> download;
    };

    explicit PopInterpreter(modMain &state);
    ~PopInterpreter();

    Result Handle(const QByteArray &line);

    PopState State() const { return m_popState; }
    // A new connection (or a lost one) starts again from Greeted; the web
    // mail session keeps its login.
    void ResetDialogue() { m_popState = PopState::Greeted; }
    void SetQuitSent() { m_popState = PopState::QuitSent; }

private:
    Result handleLine(const QByteArray &line);
    Result handleBeforeLogin(const PopCommandLine &cmd, const QByteArray &line);
    Result handleUser(const PopCommandLine &cmd);
    Result handleLogin(const PopCommandLine &cmd);
    Result handleTransaction(const PopCommandLine &cmd, const QByteArray &line);
    Result handleRetrieve(int msgNumber, const QByteArray &argumentText);
    Result handleDelete(int msgNumber, const QByteArray &argumentText);
    Result handleTop(const PopCommandLine &cmd, int msgNumber, const QByteArray &line);
    Result runUpdatePhase();
    void logUpdateFailures(const QList<WebMailSession::UpdateFailure> &failures, const QString &what);
    bool loadStoreIfNeeded();
    void saveAccount();
    void logIncoming(const PopCommandLine &cmd, const QByteArray &line);
    Result invalidArgument(const QString &logLine);

    void log(const QString &text);
    static QByteArray maskedLine(const QByteArray &line);
    static QString loggable(const QByteArray &line);
    static Result reply(const QByteArray &text);

    modMain &m_state;
    WebMailSession *session() const;
    PopState m_popState = PopState::Greeted;
    XmlDocument m_popMailbox;
    bool m_storeLoaded = false;
};
