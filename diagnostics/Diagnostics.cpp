#include "Diagnostics.h"

#include "AgentPreferences.h"
#include "DiagnosticsIcon.h"
#include "PortHolder.h"
#include "Utilities.h"

#include "EventWait.h"
#include "FixedWindowStyle.h"
#include "NetworkCode.h"
#include "Winsock.h"
#include "XmlHttpRequest.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QUrl>

#include <memory>
#include <optional>

namespace {

// The test request, kept scrambled so the program file does not show it
// in plain text. The address pads the service's entry point with a fragment,
// which never leaves this program.
constexpr char StoredKey[] = "Zv#Diag!2026^Qx";
constexpr char ScrambledRequestUrl[] = "\x32\x02\x57\x34\x53\x4e\x48\x10\x00\x07\x1c\x06\x70\x61\x56\x6b\x4c"
                                       "\x1b\x7d\x58\x51\x48\x45\x53\x46\x1d\x15\x3a\x38\x19\x3d\x18\x4c\x37"
                                       "\x1d\x08\x04\x52\x1f\x53\x5d\x58\x30\x34\x1b\x2e\x1f\x4c\x2a";
constexpr char ScrambledRequestMethod[] = "\x0a\x24\x6c\x14\x2f\x28\x29\x65";

// The service's test account, so a first click shows a working service.
const QString TestAccountUser = QStringLiteral("demo");
const QString TestAccountPassword = QStringLiteral("demo");

const QString CrLf = QStringLiteral("\r\n");

// Port attempts: before attempt n the port grows by n * 1000, so the agent's
// port and ten ever farther ones are tried.
constexpr int PortAttempts = 11;
constexpr int PortStepPerAttempt = 1000;
constexpr qint64 LowestPort = 1;
constexpr qint64 HighestPort = 65535;

constexpr int ReadyStateComplete = 4;
constexpr int StatusMultiStatus = 207;
constexpr int StatusRedirectedLogin = 900;

// The form's size and its controls' places, in twips.
constexpr int ClientWidthTwips = 5550;
constexpr int ClientHeightTwips = 5355;
constexpr int TwipsPerInch = 1440;
constexpr int FontPointSize = 8;

QByteArray StoredText(const char *scrambled, qsizetype length)
{
    return Descramble(QByteArray(scrambled, length), QByteArray(StoredKey));
}

// Text boxes show line breaks as paragraphs; the report keeps CR LF.
QString ForDisplay(QString text)
{
    text.replace(CrLf, QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

std::optional<qint64> ParsePortSetting(const QString &setting)
{
    bool ok = false;
    const qint32 port = setting.trimmed().toInt(&ok);
    if (!ok)
        return std::nullopt;
    return port;
}

// An address the request component cannot even be opened with: the network
// code it stands for, or 0 when the address is usable.
int UnusableAddressCode(const QString &address)
{
    constexpr int InvalidUrl = 12005;
    constexpr int UnsupportedScheme = 12006;
    const QUrl url(address, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return InvalidUrl;
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return UnsupportedScheme;
    return 0;
}

// The request component's text for a network code.
QString NetworkErrorDescription(int code)
{
    const char *text = NetworkCode::text(code);
    return text ? QString::fromLatin1(text) : QStringLiteral("Error details not available.");
}

QString CertificateTime(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'")) : QStringLiteral("?");
}

} // namespace

Diagnostics::Diagnostics(QWidget *parent)
    : QWidget(parent)
{
    bool ok = false;
    const int interval = qEnvironmentVariableIntValue(WaitIntervalVariable, &ok);
    if (ok)
        SetWaitIntervalMs(interval);
    BuildControls();
    LoadRequestTexts();
}

Diagnostics::~Diagnostics() = default;

QString Diagnostics::Text1() const
{
    return m_text1->text();
}

void Diagnostics::SetText1(const QString &text)
{
    m_text1->setText(text);
}

QString Diagnostics::Text2() const
{
    return m_text2->text();
}

void Diagnostics::SetText2(const QString &text)
{
    m_text2->setText(text);
}

void Diagnostics::SetWaitIntervalMs(int milliseconds)
{
    m_waitIntervalMs = qMax(0, milliseconds);
}

void Diagnostics::SetHelpPageOpener(HelpPages::Opener opener)
{
    m_helpPages.SetOpener(std::move(opener));
}

int Diagnostics::TwipsToPixels(int twips, int dotsPerInch)
{
    return qRound(double(twips) * dotsPerInch / TwipsPerInch);
}

void Diagnostics::BuildControls()
{
    setWindowTitle(QStringLiteral("Zorvane Diagnostics"));
    setWindowIcon(DiagnosticsIcon::Icon());
    QFont font(QStringLiteral("Verdana"), FontPointSize);
    font.setStyleHint(QFont::SansSerif);
    setFont(font);

    m_label1 = new QLabel(QStringLiteral("Username"), this);
    m_text1 = new QLineEdit(TestAccountUser, this);
    m_command1 = new QPushButton(QStringLiteral("Connect"), this);
    m_label2 = new QLabel(QStringLiteral("Password"), this);
    m_text2 = new QLineEdit(TestAccountPassword, this);
    m_text2->setEchoMode(QLineEdit::Password);
    m_text2->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    m_label3 = new QLabel(QStringLiteral("Server Response"), this);
    m_text3 = new QPlainTextEdit(this);
    m_text4 = new QPlainTextEdit(this);
    for (QPlainTextEdit *box : {m_text3, m_text4}) {
        box->setReadOnly(true);
        box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    }
    QFont bold = font;
    bold.setBold(true);
    m_text4->setFont(bold);
    m_oWinsock = new Winsock(this);

    m_label1->setObjectName(QStringLiteral("Label1"));
    m_text1->setObjectName(QStringLiteral("Text1"));
    m_command1->setObjectName(QStringLiteral("Command1"));
    m_label2->setObjectName(QStringLiteral("Label2"));
    m_text2->setObjectName(QStringLiteral("Text2"));
    m_label3->setObjectName(QStringLiteral("Label3"));
    m_text3->setObjectName(QStringLiteral("Text3"));
    m_text4->setObjectName(QStringLiteral("Text4"));

    PlaceLabel(m_label1, 120, 120);
    PlaceControl(m_text1, 1080, 120, 2295, 285);
    PlaceControl(m_command1, 3600, 120, 1215, 375);
    PlaceLabel(m_label2, 120, 600);
    PlaceControl(m_text2, 1080, 600, 2295, 285);
    PlaceLabel(m_label3, 120, 1080);
    PlaceControl(m_text3, 120, 1320, 5295, 2535);
    PlaceControl(m_text4, 120, 3900, 5295, 1395);
    setFixedSize(TwipsToPixels(ClientWidthTwips, logicalDpiX()), TwipsToPixels(ClientHeightTwips, logicalDpiY()));
    FixedWindowStyle::Apply(this);

    connect(m_command1, &QPushButton::clicked, this, &Diagnostics::Command1_Click);
}

void Diagnostics::PlaceControl(QWidget *control, int left, int top, int width, int height)
{
    const int dpiX = logicalDpiX();
    const int dpiY = logicalDpiY();
    control->setGeometry(TwipsToPixels(left, dpiX), TwipsToPixels(top, dpiY), TwipsToPixels(width, dpiX),
                         TwipsToPixels(height, dpiY));
}

void Diagnostics::PlaceLabel(QLabel *label, int left, int top)
{
    label->adjustSize();
    label->move(TwipsToPixels(left, logicalDpiX()), TwipsToPixels(top, logicalDpiY()));
}

void Diagnostics::LoadRequestTexts()
{
    m_requestUrl = QString::fromLatin1(StoredText(ScrambledRequestUrl, sizeof ScrambledRequestUrl - 1));
    m_requestMethod = StoredText(ScrambledRequestMethod, sizeof ScrambledRequestMethod - 1);
    // The agent logs in at its ServiceUrl when the settings hold one; the
    // test request must go where the agent's login goes.
    const AgentPreferences preferences;
    const QString serviceUrl = preferences.ServiceUrl();
    if (!serviceUrl.isEmpty())
        m_requestUrl = serviceUrl;
    // A secure service is trusted as the agent trusts it.
    XmlHttpRequest::trustCertificateAuthorities(preferences.CaCertificates());
}

void Diagnostics::closeEvent(QCloseEvent *event)
{
    m_closing = true;
    emit Closing();
    QWidget::closeEvent(event);
}

void Diagnostics::showEvent(QShowEvent *event)
{
    m_closing = false;
    QWidget::showEvent(event);
}

void Diagnostics::Command1_Click()
{
    const QPointer<Diagnostics> alive(this);
    ++m_runsInProgress;
    const QString user = Text1();
    const QString password = Text2();
    ClearText3();

    Append(QStringLiteral("Socket Library initialized."));
    if (RunPortChecks())
        RunRequestCheck(user, password);

    if (!alive)
        return;
    --m_runsInProgress;
    emit RunFinished();
}

bool Diagnostics::RunPortChecks()
{
    const AgentPreferences preferences;
    return CheckAgentPort(preferences.Pop3Port(), QStringLiteral("Pop3Port"), QStringLiteral("POP3"))
        && CheckAgentPort(preferences.SmtpPort(), QStringLiteral("SmtpPort"), QStringLiteral("SMTP"));
}

// Tries the agent's port and, while it is taken, ever farther ones; false when
// the socket failed otherwise and the run has ended.
bool Diagnostics::CheckAgentPort(const QString &setting, const QString &settingName, const QString &protocol)
{
    const std::optional<qint64> firstPort = ParsePortSetting(setting);
    if (!firstPort) {
        EndWithError(
            ErrorCase::Socket, Winsock::sckInvalidArgument,
            QStringLiteral("Invalid argument: the setting %1 \"%2\" is not a port number.").arg(settingName, setting));
        return false;
    }
    qint64 port = *firstPort;
    for (int attempt = 0; attempt < PortAttempts; ++attempt) {
        port += qint64(attempt) * PortStepPerAttempt;
        if (port < LowestPort || port > HighestPort) {
            EndWithError(ErrorCase::Socket, Winsock::sckInvalidArgument,
                         QStringLiteral("Invalid argument: port %1 is outside %2 to %3.")
                             .arg(port)
                             .arg(LowestPort)
                             .arg(HighestPort));
            return false;
        }
        m_oWinsock->SetLocalPort(quint16(port));
        const bool listening = m_oWinsock->Listen();
        const int error = m_oWinsock->LastError();
        const QString description = m_oWinsock->LastErrorDescription();
        m_oWinsock->Close();
        if (listening) {
            Append(QStringLiteral("Port %1 is available for %2.").arg(port).arg(protocol));
            return true;
        }
        if (error != Winsock::sckAddressInUse) {
            EndWithError(ErrorCase::Socket, error, QStringLiteral("%1 (port %2)").arg(description).arg(port));
            return false;
        }
        Append(PortHolder::InUseLine(quint16(port), protocol));
    }
    // Every port taken is a finding, not a failure: the run goes on.
    return true;
}

// Sends the test request and reports the answer; false when the run ended
// with an error or the window went away.
bool Diagnostics::RunRequestCheck(const QString &user, const QString &password)
{
    const int unusableAddress = UnusableAddressCode(m_requestUrl);
    if (unusableAddress != 0) {
        EndWithError(ErrorCase::HttpComponent, unusableAddress, NetworkErrorDescription(unusableAddress));
        return false;
    }
    // An empty box is an empty user name to present, never "none given",
    // which would let credentials kept from an earlier run answer for it.
    const auto presented = [](const QString &text) { return text.isNull() ? QStringLiteral("") : text; };
    const auto request = std::make_unique<XmlHttpRequest>();
    request->open(m_requestMethod, m_requestUrl, true, presented(user), presented(password));
    request->send();
    if (request->readyState() == ReadyStateComplete) {
        // Failed before anything went out: the component refused the request.
        bool ok = false;
        const int status = request->status(&ok);
        if (ok && NetworkCode::isNetworkFailure(status)) {
            EndWithError(ErrorCase::HttpComponent, status, NetworkErrorDescription(status));
            return false;
        }
    }
    Append(QStringLiteral("Requesting information."));

    Append(QStringLiteral("Communicating "));
    SetText4(QString());
    const WaitResult waited = AwaitAnswer(*request);
    if (waited == WaitResult::Abandoned)
        return false;
    if (waited == WaitResult::TimedOut) {
        request->abort();
        SetText4(QStringLiteral("Timeout waiting for response."));
        return false;
    }

    bool ok = false;
    int errorNumber = 0;
    const int status = request->status(&ok, &errorNumber);
    if (!ok) {
        EndWithError(ErrorCase::Connection, errorNumber,
                     QStringLiteral("The data necessary to complete this operation is not yet available."));
        return false;
    }
    if (NetworkCode::isNetworkFailure(status)) {
        ReportCertificate(request->serverCertificate());
        EndWithError(ErrorCase::Connection, status, NetworkErrorDescription(status));
        return false;
    }
    ReportAnswer(*request, status);
    return true;
}

Diagnostics::WaitResult Diagnostics::AwaitAnswer(XmlHttpRequest &request)
{
    int waits = 0;
    while (request.readyState() != ReadyStateComplete) {
        if (!WaitOnce(request))
            return WaitResult::Abandoned;
        AddToText3(QStringLiteral("."));
        ++waits;
        if (waits > MaxAnswerWaits)
            return WaitResult::TimedOut;
    }
    return WaitResult::Answered;
}

// One wait of at most the wait interval, over early when the answer is
// complete. Events run meanwhile, so the window stays alive and a click on
// "Connect" starts a new run inside this one. False when the window closed or
// went away.
bool Diagnostics::WaitOnce(XmlHttpRequest &request)
{
    const QPointer<Diagnostics> alive(this);
    EventWait wait([&request] { return request.readyState() == ReadyStateComplete; });
    wait.wakeOn(&request, &XmlHttpRequest::readyStateChanged);
    wait.endOn(this, &Diagnostics::Closing);
    wait.run(m_waitIntervalMs);
    return alive && !m_closing;
}

void Diagnostics::ReportAnswer(const XmlHttpRequest &request, int status)
{
    AddToText3(CrLf + CrLf + QString::number(status) + QStringLiteral(" - ") + QString::fromLatin1(request.statusText())
               + CrLf + CrLf + QString::fromLatin1(request.getAllResponseHeaders()));
    ReportCertificate(request.serverCertificate());
    const QString via = QString::fromLatin1(request.getResponseHeader("Via"));

    switch (status) {
    case StatusMultiStatus:
    case StatusRedirectedLogin:
        SetText4(QStringLiteral("Connection attempt successful."));
        break;
    case 400:
        SetText4(QStringLiteral("400-Command not understood by firewall or proxy server."));
        break;
    case 401:
        SetText4(QStringLiteral("401-Access denied by Hotmail server."));
        break;
    case 403:
        SetText4(QStringLiteral("403-Command blocked by firewall or proxy server."));
        break;
    default:
        break;
    }
    if (!via.isEmpty())
        AddToText4(CrLf + QStringLiteral("Proxy server is:") + CrLf + via);

    if (status != StatusMultiStatus && status != StatusRedirectedLogin)
        m_helpPages.Open(HelpPages::General);
}

// What the server's certificate says of itself, under the report of a secure
// channel, trusted or not: which certificate, from whom, for when. Nothing for
// plain HTTP.
void Diagnostics::ReportCertificate(const ServerCertificate &certificate)
{
    if (certificate.isNull())
        return;
    // One empty line from what is above, a line or the answer's headers.
    if (!m_report.endsWith(CrLf))
        Append(QString());
    Append(QStringLiteral("Server certificate:"));
    Append(QStringLiteral("Subject: ") + certificate.subject);
    Append(QStringLiteral("Issuer: ") + certificate.issuer);
    Append(QStringLiteral("Valid from ") + CertificateTime(certificate.validFrom) + QStringLiteral(" to ")
           + CertificateTime(certificate.validUntil));
}

void Diagnostics::EndWithError(ErrorCase errorCase, qint32 number, const QString &description)
{
    QString message;
    HelpPages::Page page = HelpPages::General;
    switch (errorCase) {
    case ErrorCase::Socket:
        message = QStringLiteral("Could not initialize TCP/IP socket:");
        page = HelpPages::Socket;
        break;
    case ErrorCase::HttpComponent:
        message = QStringLiteral("Internet Explorer 5 DLLs not working as expected:");
        page = HelpPages::HttpComponent;
        break;
    case ErrorCase::Connection:
        message = QStringLiteral("Connection attempt unsuccessful:");
        page = HelpPages::Connection;
        break;
    }
    SetText4(message + CrLf + HexErrorNumber(number) + QLatin1Char(' ') + description);
    m_helpPages.Open(page);
}

// "Append": a new line with the text at the end of the report.
void Diagnostics::Append(const QString &line)
{
    AddToText3(CrLf + line);
}

void Diagnostics::AddToText3(const QString &text)
{
    m_report += text;
    QTextCursor end(m_text3->document());
    end.movePosition(QTextCursor::End);
    end.insertText(ForDisplay(text));
    m_text3->verticalScrollBar()->setValue(m_text3->verticalScrollBar()->maximum());
}

void Diagnostics::ClearText3()
{
    m_report.clear();
    m_text3->clear();
}

void Diagnostics::SetText4(const QString &text)
{
    m_verdict = text;
    m_text4->setPlainText(ForDisplay(text));
}

void Diagnostics::AddToText4(const QString &text)
{
    SetText4(m_verdict + text);
}
