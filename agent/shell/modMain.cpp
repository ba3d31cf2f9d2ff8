#include "modMain.h"

#include "EventWait.h"

#include <QCoreApplication>

#include <cstdio>

void OnScreenLog::appendLine(const QString &text)
{
    // The test comes before the line is added, so the box may briefly hold
    // more than MaxChars; single lines are never removed.
    const bool clearFirst = m_text.size() > MaxChars;
    if (clearFirst)
        m_text.clear();
    const QString chunk = text + QStringLiteral("\r\n");
    m_text += chunk;
    emit appended(chunk, clearFirst);
    emit textChanged(m_text);
}

void OnScreenLog::appendRaw(const QString &text)
{
    m_text += text;
    emit appended(text, false);
    emit textChanged(m_text);
}

modMain::modMain(QObject *parent)
    : QObject(parent)
{
}

modMain::~modMain() = default;

void modMain::AddLogLine(const QString &text)
{
    Screen.appendLine(text);
    LogEntry(QStringLiteral("MSG < ") + text);
    // Timers, socket events and clicks that are waiting run now, as they
    // always have at every log line.
    if (QCoreApplication::instance())
        EventWait::processPendingOnce();
}

void modMain::LogEntry(const QString &text)
{
    if (LogToFile && ActivityLog)
        ActivityLog->AddEntry(text);
}

void modMain::LogEntry(const QByteArray &traffic)
{
    if (LogToFile && ActivityLog)
        ActivityLog->AddEntry(traffic);
}

void modMain::LogBlock(const QString &text)
{
    if (LogToFile && ActivityLog)
        ActivityLog->AddBlock(text);
}

void modMain::LogBlock(const QByteArray &traffic)
{
    if (LogToFile && ActivityLog)
        ActivityLog->AddBlock(traffic);
}

void modMain::ShowMessage(BoxIcon icon, const QString &title, const QString &text)
{
    if (messageBoxWithIcon) {
        messageBoxWithIcon(icon, title, text);
        return;
    }
    if (messageBox) {
        messageBox(title, text);
        return;
    }
    std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
    std::fflush(stderr);
}

void modMain::ShowSystemProblem(const QString &text)
{
    ShowMessage(BoxIcon::Critical, QStringLiteral("Zorvane - System Problem"),
                text + QStringLiteral("\r\n\r\nExit and run diagnostics for more information"));
}

void modMain::StartFileLog(bool debugMode, const QString &logFolder)
{
    LogToFile = debugMode;
    if (!LogToFile)
        return;
    ActivityLog = std::make_unique<clsLog>(logFolder);
    if (ActivityLog->isOpen())
        return;
    // File logging is off before the warning shows, so nothing that runs
    // while the box is up tries the missing file.
    ActivityLog.reset();
    LogToFile = false;
    ShowMessage(BoxIcon::Exclamation, QStringLiteral("Zorvane"),
                QStringLiteral("Error opening log file. Logging disabled"));
}
