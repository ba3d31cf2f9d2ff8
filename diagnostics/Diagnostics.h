#pragma once

#include "HelpPages.h"

#include <QByteArray>
#include <QString>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class Winsock;
class XmlHttpRequest;
struct ServerCertificate;

// The diagnostics window. One click on "Connect" checks, in a fixed order,
// that the agent's two ports are free, that an HTTP request can be made, and
// what the service answers to a request with the given user name and
// password; the report goes to Text3, the verdict or the error to Text4, and a
// failure opens the fitting help page.
class Diagnostics : public QWidget
{
    Q_OBJECT
public:
    // The wait for the service's answer: one dot per wait, given up after
    // MaxAnswerWaits waits (about 150 seconds at the normal interval).
    static constexpr int DefaultWaitIntervalMs = 500;
    static constexpr int MaxAnswerWaits = 300;
    // Overrides the wait interval in milliseconds, so a silent service can be
    // tested without waiting minutes.
    static constexpr auto WaitIntervalVariable = "ZORVANE_DIAGNOSTICS_WAIT_MS";

    // The window load: builds the controls and the request texts.
    explicit Diagnostics(QWidget *parent = nullptr);
    ~Diagnostics() override;

    // The boxes' texts; line breaks in Text3 and Text4 are CR LF.
    QString Text1() const;
    void SetText1(const QString &text);
    QString Text2() const;
    void SetText2(const QString &text);
    QString Text3() const { return m_report; }
    QString Text4() const { return m_verdict; }

    QLabel *Label1() const { return m_label1; }
    QLabel *Label2() const { return m_label2; }
    QLabel *Label3() const { return m_label3; }
    QLineEdit *Text1Box() const { return m_text1; }
    QLineEdit *Text2Box() const { return m_text2; }
    QPushButton *Command1() const { return m_command1; }
    QPlainTextEdit *Text3Box() const { return m_text3; }
    QPlainTextEdit *Text4Box() const { return m_text4; }

    // The test request: the agent's ServiceUrl when the settings hold one,
    // otherwise the stored address.
    QString RequestUrl() const { return m_requestUrl; }
    QByteArray RequestMethod() const { return m_requestMethod; }

    void SetWaitIntervalMs(int milliseconds);

    void SetHelpPageOpener(HelpPages::Opener opener);

    // Runs still going; a click during the wait starts a run inside the first.
    int RunsInProgress() const { return m_runsInProgress; }

    // Converts a length in twips to pixels at the given dots per inch.
    static int TwipsToPixels(int twips, int dotsPerInch);

public slots:
    // One run of every check.
    void Command1_Click();

signals:
    void RunFinished();
    // The window is closing: a running wait gives up at once.
    void Closing();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    enum class ErrorCase { Socket, HttpComponent, Connection };
    enum class WaitResult { Answered, TimedOut, Abandoned };

    void BuildControls();
    void PlaceControl(QWidget *control, int left, int top, int width, int height);
    void PlaceLabel(QLabel *label, int left, int top);
    void LoadRequestTexts();

    bool RunPortChecks();
    bool CheckAgentPort(const QString &setting, const QString &settingName, const QString &protocol);
    bool RunRequestCheck(const QString &user, const QString &password);
    WaitResult AwaitAnswer(XmlHttpRequest &request);
    bool WaitOnce(XmlHttpRequest &request);
    void ReportAnswer(const XmlHttpRequest &request, int status);
    void ReportCertificate(const ServerCertificate &certificate);

    void Append(const QString &line);
    void AddToText3(const QString &text);
    void ClearText3();
    void SetText4(const QString &text);
    void AddToText4(const QString &text);
    void EndWithError(ErrorCase errorCase, qint32 number, const QString &description);

    QLabel *m_label1 = nullptr;
    QLabel *m_label2 = nullptr;
    QLabel *m_label3 = nullptr;
    QLineEdit *m_text1 = nullptr;
    QLineEdit *m_text2 = nullptr;
    QPushButton *m_command1 = nullptr;
    QPlainTextEdit *m_text3 = nullptr;
    QPlainTextEdit *m_text4 = nullptr;
    Winsock *m_oWinsock = nullptr;

    QString m_report;
    QString m_verdict;
    QString m_requestUrl;
    QByteArray m_requestMethod;
    int m_waitIntervalMs = DefaultWaitIntervalMs;
    int m_runsInProgress = 0;
    bool m_closing = false;
    HelpPages m_helpPages;
};
