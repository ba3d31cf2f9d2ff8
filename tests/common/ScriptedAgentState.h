#pragma once

#include "AgentOptions.h"
#include "DialogueScript.h"
#include "ScriptedSession.h"
#include "SettingsStore.h"
#include "StoredTexts.h"
#include "modMain.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <algorithm>

// The program-wide state of an agent whose web mail session is scripted:
// options, a settings store of the test's own, the session, and the
// on-screen log as text. The actions of a dialogue script act on it:
//
//   busy | free                        the session is busy or becomes free
//   fail Op [answer] | clear Op        Op fails from now on (with answer) / no longer
//   login account password status      what the service answers to that login
//   stored account password            the password kept for sending as account
//   option name on|off                 name: unread-only, mark-read, delete, save-sent, collect
//   pop3-user name                     the user name of the last POP3 login
//
// and these check what happened so far:
//
//   log text                           the on-screen log holds text
//   no-log text                        ... does not
//   calls Op Op ...                    the session operations called, in order
//   account pop3|smtp name|-           the account the front end's requests present
//   kept account password|-            the password kept for sending as account
//   box text                           a message box showed, its title and text holding text
//   submitted text                     the last submission Send took is text (to the end of the line)
//   sent-copy on|off                   ... and asked for a copy among the sent items
//   marked-read name ... | moved name ...   what the update phase did
class ScriptedAgentState
{
public:
    explicit ScriptedAgentState(const QString &settingsPath)
        : settings(settingsPath)
    {
        state.SetOptions(&options);
        state.Settings = &settings;
        state.MailSession = &session;
        QObject::connect(&state.Screen, &OnScreenLog::appended, &state,
                         [this](const QString &chunk, bool) { screen += chunk; });
        state.messageBox = [this](const QString &title, const QString &text) {
            boxes += title + QLatin1Char('\n') + text;
        };
    }
    ~ScriptedAgentState() { state.MailSession = nullptr; }

    // Settings, runtime and temp folders of the test's own under root, so
    // nothing a dialogue writes reaches the user's; call before any state
    // is built.
    static bool UseFoldersUnder(const QString &root)
    {
        for (const char *name : {"XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "TMPDIR"}) {
            const QString folder = root + QLatin1Char('/') + QLatin1String(name);
            if (!QDir().mkpath(folder))
                return false;
            qputenv(name, QFile::encodeName(folder));
        }
        return true;
    }

    // Runs the script against the dialogue's handler, its actions on this
    // state; empty when every line went as scripted, else what went wrong.
    QString Run(const DialogueScript::Script &script, const DialogueScript::Handler &handle)
    {
        return DialogueScript::Run(script, handle, [this](const QByteArray &action) { return Act(action); });
    }

    // Empty when the action was carried out or its check holds; else why not.
    QString Act(const QByteArray &action)
    {
        const qsizetype blank = action.indexOf(' ');
        const QByteArray verb = blank < 0 ? action : action.left(blank);
        const QByteArray rest = blank < 0 ? QByteArray() : action.mid(blank + 1);
        const QList<QByteArray> words = rest.isEmpty() ? QList<QByteArray>() : rest.split(' ');
        if (verb == "busy" || verb == "free") {
            session.setBusy(verb == "busy");
        } else if (verb == "fail" && !words.isEmpty()) {
            session.setFailure(words.first(), rest.mid(words.first().size() + 1));
        } else if (verb == "clear" && words.size() == 1) {
            session.clearFailure(words.first());
        } else if (verb == "login" && words.size() == 3) {
            session.setPassword(QString::fromUtf8(words.at(0)), QString::fromUtf8(words.at(1)), words.at(2).toInt());
        } else if (verb == "stored" && words.size() == 2) {
            const QString account = QString::fromUtf8(words.at(0));
            settings.setValue(QStringLiteral("AccountInfo"), account, EncipherText(words.at(1), account));
        } else if (verb == "option" && words.size() == 2) {
            return setOption(words.at(0), words.at(1) == "on");
        } else if (verb == "log" || verb == "no-log") {
            if (screen.contains(QString::fromUtf8(rest)) != (verb == "log"))
                return QString::fromLatin1(verb) + QStringLiteral(": ") + QString::fromUtf8(rest)
                    + QStringLiteral("\n  on-screen log:\n") + screen;
        } else if (verb == "calls") {
            return compared("calls", session.operations(), words);
        } else if (verb == "marked-read") {
            return compared("marked-read", session.markedRead(), words);
        } else if (verb == "moved") {
            return compared("moved", session.moved(), words);
        } else if (verb == "account" && words.size() == 2) {
            const auto frontEnd =
                words.at(0) == "smtp" ? WebMailSession::FrontEnd::Smtp : WebMailSession::FrontEnd::Pop3;
            const QString expected = words.at(1) == "-" ? QString() : QString::fromUtf8(words.at(1));
            if (session.AccountOf(frontEnd) != expected)
                return QStringLiteral("account of %1 is '%2'")
                    .arg(QString::fromUtf8(words.at(0)), session.AccountOf(frontEnd));
        } else if (verb == "pop3-user" && words.size() == 1) {
            state.UserName = QString::fromUtf8(words.first());
        } else if (verb == "box") {
            if (!boxes.contains(QString::fromUtf8(rest)))
                return QStringLiteral("no box with: ") + QString::fromUtf8(rest) + QStringLiteral("\n  boxes:\n")
                    + boxes;
        } else if (verb == "submitted" || verb == "sent-copy") {
            return checkSubmission(verb, rest);
        } else if (verb == "kept" && words.size() == 2) {
            return keptPassword(QString::fromUtf8(words.at(0)), words.at(1) == "-" ? QByteArray() : words.at(1));
        } else {
            return QStringLiteral("unknown action: ") + QString::fromUtf8(action);
        }
        return QString();
    }

    OptionValues options;
    SettingsStore settings;
    modMain state;
    ScriptedSession session;
    QString screen;
    QString boxes;

private:
    QString checkSubmission(const QByteArray &verb, const QByteArray &expected) const
    {
        const auto &calls = session.calls();
        const auto send = std::find_if(calls.rbegin(), calls.rend(),
                                       [](const ScriptedSession::Call &call) { return call.operation == "Send"; });
        if (send == calls.rend())
            return QStringLiteral("nothing was submitted");
        if (verb == "submitted" && send->detail != expected)
            return QStringLiteral("submitted: ") + QString::fromLatin1(send->detail.toPercentEncoding(" <>:@.'"));
        const bool copy = send->saveInSent;
        if (verb == "sent-copy" && copy != (expected == "on"))
            return QStringLiteral("sent-copy is ") + (copy ? QStringLiteral("on") : QStringLiteral("off"));
        return QString();
    }

    // Kept enciphered with the account as key, never as it is.
    QString keptPassword(const QString &account, const QByteArray &expected) const
    {
        const QString stored = settings.value(QStringLiteral("AccountInfo"), account);
        bool deciphered = false;
        const QByteArray password = stored.isEmpty() ? QByteArray() : DecipherText(stored, account, &deciphered);
        if (stored.contains(QString::fromUtf8(expected)) && !expected.isEmpty())
            return QStringLiteral("the password of %1 is kept as it is").arg(account);
        if (password != expected || deciphered != !expected.isEmpty())
            return QStringLiteral("the password kept for %1 is '%2'").arg(account, QString::fromUtf8(password));
        return QString();
    }

    QString setOption(const QByteArray &name, bool on)
    {
        bool *const option = name == "unread-only" ? &options.listUnreadOnly
            : name == "mark-read"                  ? &options.markReadOnServer
            : name == "delete"                     ? &options.deleteOnServer
            : name == "save-sent"                  ? &options.saveSentItems
            : name == "collect"                    ? &options.collectPOP3
                                                   : nullptr;
        if (!option)
            return QStringLiteral("unknown option: ") + QString::fromUtf8(name);
        *option = on;
        return QString();
    }

    static QString compared(const char *what, const QList<QByteArray> &actual, const QList<QByteArray> &expected)
    {
        if (actual == expected)
            return QString();
        return QStringLiteral("%1: expected '%2', found '%3'")
            .arg(QLatin1String(what), QString::fromUtf8(expected.join(' ')), QString::fromUtf8(actual.join(' ')));
    }
};
