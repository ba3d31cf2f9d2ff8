#pragma once

#include "AgentOptions.h"
#include "SameUserRule.h"
#include "TrayStatus.h"
#include "clsLog.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class WebMailSession;
class SettingsStore;

// The on-screen log (the text of the "Log" tab). It is emptied as a whole
// when it holds more than 5000 characters before a new line is added.
class OnScreenLog : public QObject
{
    Q_OBJECT
public:
    static constexpr qsizetype MaxChars = 5000;
    using QObject::QObject;

    void appendLine(const QString &text);
    // A dialogue separator: appended without the length test.
    void appendRaw(const QString &text);
    QString text() const { return m_text; }

signals:
    void textChanged(const QString &text);
    // What was just appended; clearedFirst when the box was emptied before.
    void appended(const QString &chunk, bool clearedFirst);

private:
    QString m_text;
};

// The program-wide state, owned by the entry point for the whole run and
// handed to the window, the session and the front ends. No globals: a test
// builds a fresh one.
class modMain : public QObject
{
    Q_OBJECT
public:
    explicit modMain(QObject *parent = nullptr);
    ~modMain() override;

    // Progress on screen and, in debug mode, to the log file as "MSG < " + text;
    // then lets pending events run once.
    void AddLogLine(const QString &text);

    // Writes an entry/block to the log file when LogToFile is set. Traffic
    // goes in as bytes and is written as it arrived.
    void LogEntry(const QString &text);
    void LogEntry(const QByteArray &traffic);
    void LogBlock(const QString &text);
    void LogBlock(const QByteArray &traffic);

    // The critical "Zorvane - System Problem" box: text, CRLF CRLF,
    // "Exit and run diagnostics for more information". Headless: standard
    // error and the on-screen log, never blocking.
    void ShowSystemProblem(const QString &text);

    // Opens ActivityLog when debug mode is on; on failure shows
    // "Error opening log file. Logging disabled" and turns LogToFile off.
    void StartFileLog(bool debugMode, const QString &logFolder = QString());

    // Options as the window's check boxes show them now.
    const AgentOptions &Options() const { return *m_options; }
    void SetOptions(const AgentOptions *options) { m_options = options; }

    enum class BoxIcon { Information, Exclamation, Critical };
    // Shows a message box through messageBoxWithIcon, else messageBox, else
    // writes the title and text to standard error.
    void ShowMessage(BoxIcon icon, const QString &title, const QString &text);

    // Shows a message box (or, headless, writes to standard error and the
    // on-screen log). Set by the entry point; tests may replace it.
    std::function<void(const QString &title, const QString &text)> messageBox;
    // The same with the box's icon; the entry point sets this one.
    std::function<void(BoxIcon icon, const QString &title, const QString &text)> messageBoxWithIcon;

    WebMailSession *MailSession = nullptr; // the one web mail session
    SettingsStore *Settings = nullptr;     // the per-user settings store
    std::unique_ptr<clsLog> ActivityLog;   // only in debug mode
    bool LogToFile = false;
    TrayStatus TrayData;
    OnScreenLog Screen;
    // Who may connect to either port besides the local-only rule.
    SameUserRule SameUser;

    // Shared by the POP3 and SMTP front ends.
    QString UserName; // normalised user name of the last USER command
    QString Password; // password of the last PASS command

private:
    OptionValues m_defaultOptions;
    const AgentOptions *m_options = &m_defaultOptions;
};
