#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

// A dialogue written the way it reads on the wire:
//
//   "C: USER ann"              a line the client sends (CRLF is added)
//   "S: +OK password required" a line of the reply; the lines that follow
//                              one client line make up its whole reply
//   "! busy"                   an action on the test's side between lines, or
//                              a check of what the dialogue did so far
//
// The runner hands every client line to the dialogue and compares the
// reply, CRLF for CRLF, with the server lines that follow it. A null reply
// means the dialogue owes none yet (the lines of a message text); an empty
// one that it answers nothing.
namespace DialogueScript {

using Script = QList<QByteArray>;
using Handler = std::function<QByteArray(const QByteArray &line)>;
// Carries out an action or checks what happened; empty when it was done
// or holds, else why not.
using Action = std::function<QString(const QByteArray &action)>;

// Empty when the dialogue answered every line as scripted; else what went
// wrong first, with the line it went wrong at.
inline QString Run(const Script &script, const Handler &handle, const Action &act = {})
{
    const auto shown = [](const QByteArray &text) { return QString::fromLatin1(text.toPercentEncoding(" +-<>:.@'")); };
    QByteArray lastLine = "(start)";
    QByteArray owed;     // the reply to the last client line
    QByteArray expected; // the server lines scripted for it
    bool replyOwed = false;
    const auto settle = [&]() -> QString {
        if (replyOwed && owed != expected)
            return QStringLiteral("after C: %1\n  expected: %2\n  received: %3")
                .arg(shown(lastLine), shown(expected), shown(owed));
        if (!replyOwed && !expected.isEmpty())
            return QStringLiteral("after C: %1\n  expected: %2\n  received no reply yet")
                .arg(shown(lastLine), shown(expected));
        replyOwed = false;
        expected.clear();
        return QString();
    };
    for (const QByteArray &step : script) {
        const QByteArray tag = step.left(3);
        const QByteArray text = step.mid(3);
        if (tag == "S: " || step == "S:") {
            expected += text + "\r\n";
            continue;
        }
        if (const QString problem = settle(); !problem.isEmpty())
            return problem;
        if (tag == "C: " || step == "C:") {
            lastLine = text;
            owed = handle(text);
            replyOwed = !owed.isNull();
        } else if (step.startsWith("! ")) {
            if (!act)
                return QStringLiteral("no actions in this dialogue: ") + QString::fromLatin1(step);
            if (const QString problem = act(step.mid(2)); !problem.isEmpty())
                return QStringLiteral("after C: %1\n  %2").arg(shown(lastLine), problem);
        } else {
            return QStringLiteral("a script line is neither C:, S: nor an action: ") + QString::fromLatin1(step);
        }
    }
    return settle();
}

} // namespace DialogueScript
