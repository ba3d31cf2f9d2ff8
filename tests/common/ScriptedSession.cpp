#include "ScriptedSession.h"

#include "MessageTextReplies.h"
#include "XmlHttpRequest.h"

namespace {
const QByteArray CRLF("\r\n");
} // namespace

ScriptedSession::ScriptedSession(QObject *parent)
    : WebMailSession(parent)
{
}

void ScriptedSession::setMessages(const QList<Message> &messages)
{
    m_messages = messages;
}

void ScriptedSession::setMessages(const QList<QByteArray> &texts)
{
    m_messages.clear();
    for (const QByteArray &text : texts)
        m_messages.append({text, false});
}

void ScriptedSession::setPassword(const QString &account, const QString &password, int status)
{
    m_passwords.insert(account.toLower(), {password, status});
}

void ScriptedSession::setFailure(const QByteArray &operation, const QByteArray &answer)
{
    m_failures.insert(operation, answer);
}

void ScriptedSession::clearFailure(const QByteArray &operation)
{
    m_failures.remove(operation);
}

void ScriptedSession::setBusy(bool busy)
{
    const bool freed = m_busy && !busy;
    m_busy = busy;
    if (freed)
        emit Idle();
}

QList<QByteArray> ScriptedSession::operations() const
{
    QList<QByteArray> names;
    for (const Call &call : m_calls)
        names.append(call.operation);
    return names;
}

QList<QByteArray> ScriptedSession::submissions() const
{
    QList<QByteArray> sent;
    for (const Call &call : m_calls) {
        if (call.operation == "Send")
            sent.append(call.detail);
    }
    return sent;
}

void ScriptedSession::record(const QByteArray &operation, FrontEnd For, const QByteArray &detail)
{
    m_calls.append({operation, For, m_accounts[int(For)], detail});
}

QByteArray ScriptedSession::failureOr(const QByteArray &operation, const QByteArray &standard) const
{
    const QByteArray answer = m_failures.value(operation);
    return answer.isEmpty() ? standard : answer;
}

int ScriptedSession::Login(const QString &UserName, const QString &Password, XmlDocument &XmlMailbox, FrontEnd For)
{
    // Whatever the login comes to, the front end's earlier account is over.
    m_accounts[int(For)].clear();
    m_calls.append({"Login", For, UserName, QByteArray()});
    XmlMailbox = XmlDocument();
    if (fails("Login"))
        return failureOr("Login", "12029").toInt();
    const auto known = m_passwords.constFind(UserName.toLower());
    if (known == m_passwords.constEnd() || known->first != Password)
        return 401;
    if (known->second == 200 || known->second == 207)
        m_accounts[int(For)] = UserName;
    return known->second;
}

QByteArray ScriptedSession::GetMsgStoreProps(const XmlDocument &, bool ListAll)
{
    record("GetMsgStoreProps", FrontEnd::Pop3, ListAll ? "all" : "unread");
    if (fails("GetMsgStoreProps"))
        return failureOr("GetMsgStoreProps", "-ERR communication error: 12002, 12002 - The request has timed out.");
    QList<QByteArray> urls{QByteArray()};
    QList<qint64> sizes{0};
    m_listed = {-1};
    for (qsizetype i = 0; i < m_messages.size(); ++i) {
        if (m_messages.at(i).read && !ListAll)
            continue;
        urls.append("http://scripted.invalid/inbox/m" + QByteArray::number(i + 1));
        sizes.append(m_messages.at(i).text.size());
        m_listed.append(int(i));
    }
    m_store = MessageStore::FromListing(urls, sizes);
    return "+OK store loaded";
}

QByteArray ScriptedSession::ConnStatus(const QString &sUserName)
{
    m_calls.append({"ConnStatus", FrontEnd::Pop3, QString(), sUserName.toUtf8()});
    if (fails("ConnStatus"))
        return failureOr("ConnStatus", "900-No connection to Hotmail server.\r\n");
    return QByteArray();
}

int ScriptedSession::Logoff(const QString &UserName)
{
    record("Logoff", FrontEnd::Pop3, UserName.toUtf8());
    if (m_accounts[int(FrontEnd::Pop3)] == UserName)
        m_accounts[int(FrontEnd::Pop3)].clear();
    return 207;
}

QByteArray ScriptedSession::Stat() const
{
    return m_store.Stat();
}

QByteArray ScriptedSession::List(int MsgNumber) const
{
    return m_store.List(MsgNumber);
}

QByteArray ScriptedSession::ListNames(int MsgNumber) const
{
    return m_store.ListNames(MsgNumber);
}

QByteArray ScriptedSession::listedText(int MsgNumber) const
{
    return m_messages.value(m_listed.value(MsgNumber, -1)).text;
}

QByteArray ScriptedSession::Top(int MsgNumber, int Lines)
{
    if (!m_store.IsMessageNumber(MsgNumber))
        return "-ERR no such message";
    if (m_store.IsMarked(MsgNumber))
        return "-ERR deleted";
    record("Top", FrontEnd::Pop3, QByteArray::number(MsgNumber) + ' ' + QByteArray::number(Lines));
    if (fails("Top"))
        return failureOr("Top", "-ERR Retrieval failed: 12002, 12002 - The request has timed out.");
    return MessageTextReplies::TopReply(listedText(MsgNumber), Lines);
}

QByteArray ScriptedSession::Retrieve(int MsgNumber)
{
    if (!m_store.IsMessageNumber(MsgNumber))
        return "-ERR No such message.";
    if (m_store.IsMarked(MsgNumber))
        return "-ERR Already deleted.";
    record("Retrieve", FrontEnd::Pop3, QByteArray::number(MsgNumber));
    if (fails("Retrieve"))
        return failureOr("Retrieve", "-ERR Retrieval failed: 12002, 12002 - The request has timed out.");
    return MessageTextReplies::RetrieveReply(listedText(MsgNumber));
}

std::unique_ptr<XmlHttpRequest> ScriptedSession::RetrieveAsync(int MsgNumber)
{
    record("RetrieveAsync", FrontEnd::Pop3, QByteArray::number(MsgNumber));
    return nullptr;
}

void ScriptedSession::AsyncDownloadFinished()
{
}

QByteArray ScriptedSession::Mark(int MsgNumber)
{
    return m_store.Mark(MsgNumber);
}

QByteArray ScriptedSession::ResetMarks()
{
    return m_store.ResetMarks();
}

bool ScriptedSession::runUpdatePhase(const QByteArray &operation, QList<QByteArray> &done,
                                     QList<UpdateFailure> *failures)
{
    record(operation, FrontEnd::Pop3);
    bool allDone = true;
    for (int i = 1; i <= m_store.HighestMessageNumber(); ++i) {
        if (!m_store.IsMarked(i))
            continue;
        if (!fails(operation)) {
            done.append(m_store.Name(i));
            continue;
        }
        allDone = false;
        if (failures)
            failures->append({i, m_store.Name(i), failureOr(operation, "404 Not Found")});
    }
    return allDone;
}

bool ScriptedSession::MarkAsRead(QList<UpdateFailure> *failures)
{
    return runUpdatePhase("MarkAsRead", m_markedRead, failures);
}

bool ScriptedSession::MoveToDeletedItems(QList<UpdateFailure> *failures)
{
    return runUpdatePhase("MoveToDeletedItems", m_moved, failures);
}

bool ScriptedSession::PopCollect(const XmlDocument &)
{
    record("PopCollect", FrontEnd::Pop3);
    return !fails("PopCollect");
}

bool ScriptedSession::GetSendUrl(const XmlDocument &)
{
    record("GetSendUrl", FrontEnd::Smtp);
    return !fails("GetSendUrl");
}

QByteArray ScriptedSession::Send(const QByteArray &messageText, bool SaveInSent)
{
    record("Send", FrontEnd::Smtp, messageText);
    m_calls.last().saveInSent = SaveInSent;
    // The send address comes with the SMTP side's login.
    if (m_accounts[int(FrontEnd::Smtp)].isEmpty())
        return "451 Local error in processing" + CRLF;
    if (fails("Send"))
        return failureOr("Send", "451 Local error in processing\r\n");
    return "250 OK" + CRLF;
}
