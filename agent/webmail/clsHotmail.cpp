#include "clsHotmail.h"

#include "EventWait.h"
#include "FolderListingReader.h"
#include "FreedMemory.h"
#include "MessageReadAhead.h"
#include "MessageStore.h"
#include "MessageTextReplies.h"
#include "NetworkCode.h"
#include "NextTurnCall.h"
#include "ResponseWait.h"
#include "RetryRule.h"
#include "SessionErrors.h"
#include "SettingsStore.h"
#include "StoredRequestTexts.h"
#include "XmlText.h"
#include "modMain.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHash>
#include <QRandomGenerator>
#include <QUrl>

#include <optional>
#include <utility>

namespace {

using namespace SessionErrors;

// A message above this is refused by the component rather than held in memory:
// a service must not grow the agent beyond what any mailbox holds.
constexpr qint64 MaxMessageBytes = 256LL * 1024 * 1024;
// XML answers (mailbox document, folder listings, properties) are far
// smaller than messages; a listing of 10000 messages takes a few MiB.
constexpr qint64 MaxXmlAnswerBytes = 64LL * 1024 * 1024;
// A login follows at most this many 900 answers; a service that keeps
// redirecting would otherwise hold the agent for ever.
constexpr int MaxLoginRedirects = 10;
// A login answered 401 is sent again while fewer than this many 401 answers
// came back: four login requests in all.
constexpr int MaxLoginRequestsAnswered401 = 4;
// Messages above this size with no body line asked get TOP from their
// properties instead of a download.
constexpr qint64 TopFromPropertiesAboveBytes = 10000;
// A client retrieving in order gets the next message read ahead while it
// reads this one, when the next is listed at most this size: a small
// message's download is mostly round trip, and a large one read ahead for
// nothing would cost the service more than it saves.
constexpr qint64 ReadAheadMaxBytes = 50000;

// A submission gives up within SubmissionBaseMs in all, both attempts
// together, when it is at most SubmissionBaseBytes; a larger one gets
// SubmissionStepMs more for each SubmissionStepBytes (or part) beyond that.
// Within that time a service that sends and receives nothing for
// SubmissionSilenceMs gives up too.
constexpr qint64 SubmissionBaseBytes = 1024 * 1024;
constexpr qint64 SubmissionBaseMs = 2 * 60 * 1000;
constexpr qint64 SubmissionStepBytes = 16 * 1024 * 1024;
constexpr qint64 SubmissionStepMs = 2 * 60 * 1000;
constexpr int SubmissionSilenceMs = 60 * 1000;

// A folder answer from this size on (some thousands of messages) leaves
// enough freed memory behind to hand back to the system.
constexpr qsizetype LargeListingBytes = 512 * 1024;

constexpr int StatusMultiStatus = 207;
constexpr int StatusLoginRedirect = 900;
constexpr int StatusUnauthorized = 401;

const QByteArray CRLF("\r\n");
// Names one submission on every attempt, so that a service which stored an
// attempt whose answer was lost takes the next one as the same message.
const QByteArray SubmissionIdHeader("X-Zorvane-Submission-Id");
constexpr int SubmissionIdBytes = 16; // 128 random bits
const QByteArray StoreNotLocked("-ERR could not lock store");

struct HeaderPair
{
    QByteArray name;
    QByteArray value;
};

struct RequestDescription
{
    QByteArray verb;
    QByteArray url;
    QList<HeaderPair> headers;
    QByteArray body;
    qint64 maxResponseBytes = MaxXmlAnswerBytes;
    // In debug mode the answer's status and headers go to the log file.
    bool logResponse = true;
};

bool IsSuccessStatus(int status)
{
    return status >= 200 && status <= 299;
}

QString AddressText(const QByteArray &url)
{
    return QString::fromUtf8(url);
}

qint64 SubmissionTimeLimitMs(qint64 messageBytes)
{
    if (messageBytes <= SubmissionBaseBytes)
        return SubmissionBaseMs;
    const qint64 steps = (messageBytes - SubmissionBaseBytes + SubmissionStepBytes - 1) / SubmissionStepBytes;
    return SubmissionBaseMs + steps * SubmissionStepMs;
}

// Credentials never leave a secure channel: a login answered from an https
// address is not repeated at a plain http one.
bool LeavesSecureChannel(const QUrl &from, const QUrl &to)
{
    return from.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0
        && to.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0;
}

QByteArray NewSubmissionId()
{
    QByteArray bits(SubmissionIdBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bits.data()), SubmissionIdBytes / 4);
    return bits.toHex();
}

} // namespace

// ---------------------------------------------------------------------------

struct clsHotmail::Private
{
    Private(clsHotmail &owner, modMain &agentState)
        : q(owner)
        , state(agentState)
    {
    }

    clsHotmail &q;
    modMain &state;
    StoredRequestTexts texts;
    std::unique_ptr<XmlHttpRequest> Request;
    ResponseWait wait;

    // The credentials a front end's requests present: those of the login the
    // service accepted for its dialogue. None (null user) before that.
    struct Account
    {
        QString name; // the account as the front end named it
        QString user; // the login user: the local part, or the whole name of an alternative account
        QString password;
    };
    Account accounts[2];
    Account &AccountFor(FrontEnd frontEnd) { return accounts[int(frontEnd)]; }
    const Account &Pop3() const { return accounts[int(FrontEnd::Pop3)]; }
    const Account &Smtp() const { return accounts[int(FrontEnd::Smtp)]; }

    QByteArray InboxUrl;
    QByteArray DeletedItemsUrl;
    QByteArray SendUrl;
    MessageStore store;

    int operationDepth = 0;
    bool asyncDownloadRunning = false;
    // Only compared, never used: the caller owns the download.
    const QObject *asyncDownload = nullptr;
    NextTurnCall idleCall{[this] { DeliverIdle(); }}; // Idle from the event loop
    // Not counted as busy: every operation drops it before it sends a
    // request of its own, so no front end ever waits for it.
    MessageReadAhead readAhead;
    // The message whose read-ahead starts once the reply to the retrieval
    // before it has gone out: the client does not wait for the request to
    // be set up and sent. 0 when none is due.
    int readAheadDue = 0;
    NextTurnCall readAheadStart{[this] { StartReadAhead(); }};
    // The message the last download was of: a client is taken to read in
    // order once it has asked for two messages one after the other. One that
    // asks for the same message again and again would otherwise have a
    // read-ahead dropped, and its connection closed, on every request.
    int lastDownloaded = 0;

    // Creating the request object needs the program's event loop; without an
    // application object there is none.
    static constexpr int RequestObjectNotCreated = 429;

    void CreateRequest();
    void TrustCertificateAuthorities();
    bool IsAltAccount(const QString &userName) const;

    int SendAwaited(const RequestDescription &what, const Account &presenting);
    int SendAwaitedOn(XmlHttpRequest &request, const RequestDescription &what, const Account &presenting);
    int SendClosingRequest(const QString &UserName, const Account &presenting);
    void WriteResponseLog(const XmlHttpRequest &request);
    int CurrentStatus() const;

    RequestDescription QueryRequest(const QByteArray &url) const;
    RequestDescription FetchRequest(const QByteArray &url, qint64 maxResponseBytes) const;
    HeaderPair CommonPair() const { return {texts.CommonHeaderName, texts.CommonHeaderValue}; }
    HeaderPair QueryPair() const { return {texts.QueryHeaderName, texts.QueryHeaderValue}; }

    std::optional<QByteArray> ApplyStylesheet(const XmlDocument &document, const QByteArray &stylesheet,
                                              int &errorNumber) const;
    // Each stylesheet text is parsed once: the session applies the same ones
    // at every login and every store load.
    QByteArray LoadStore(const QByteArray &folderUrl, bool ListAll);
    AttemptOutcome LoadStoreAttempt(const QByteArray &collectionUrl, const QByteArray &folderUrl, bool ListAll,
                                    QByteArray &reply);
    std::optional<int> CountMessages(const XmlDocument &answer, const QByteArray &folderUrl, bool ListAll,
                                     int &errorNumber) const;

    AttemptOutcome DownloadAttempt(int MsgNumber, QByteArray &text);
    // Message n's text, from its download read ahead when that is held and
    // succeeds, else by the ordinary attempts; false with the last attempt's
    // error number in retry when none succeeded.
    bool DownloadMessage(int MsgNumber, QByteArray &text, RetryRule &retry,
                         std::unique_ptr<XmlHttpRequest> readAheadDownload);
    bool TextReadAhead(XmlHttpRequest &download, QByteArray &text);
    void ReadAheadAfter(int MsgNumber);
    void StartReadAhead();
    bool ReadAheadWanted(int next) const;
    void DropReadAhead();
    std::unique_ptr<XmlHttpRequest> StartDownload(int MsgNumber);
    // The header lines of a message from its properties, the line with its
    // unique name last; after three failed attempts one line saying why.
    QByteArray FetchHeaders(int MsgNumber);
    template<typename RequestFor> bool RunUpdatePasses(RequestFor requestFor, QList<UpdateFailure> *failures);
    struct UpdateOutcome
    {
        bool done;     // the service did it
        bool answered; // the service answered at all
        QByteArray reason;
    };
    UpdateOutcome UpdateOne(const RequestDescription &what);

    void OperationEnded();
    void QueueIdleIfFree();
    void DeliverIdle();

    // Every public operation that sends requests holds the session busy from
    // its start to its end, so held input of the other front end is looked
    // at only once the whole operation, retries included, is over.
    class Operation
    {
    public:
        // A download read ahead is dropped before the operation sends
        // anything: requests never overlap, and nothing waits for it.
        explicit Operation(Private &d)
            : m_d(d)
        {
            m_d.DropReadAhead();
            ++m_d.operationDepth;
        }
        ~Operation() { m_d.OperationEnded(); }
        Operation(const Operation &) = delete;
        Operation &operator=(const Operation &) = delete;

    private:
        Private &m_d;
    };
};

void clsHotmail::Private::DeliverIdle()
{
    if (!q.IsBusy())
        emit q.Idle();
}

void clsHotmail::Private::OperationEnded()
{
    --operationDepth;
    QueueIdleIfFree();
}

// Idle is delivered from the event loop, never from inside the operation
// that just ended: its caller has not sent its reply yet.
void clsHotmail::Private::QueueIdleIfFree()
{
    if (!q.IsBusy())
        idleCall.request();
}

void clsHotmail::Private::CreateRequest()
{
    if (!QCoreApplication::instance()) {
        state.AddLogLine(QStringLiteral("ERR: Unable to initialize Hotmail communication channel: ")
                         + QString::number(uint(RequestObjectNotCreated), 16).toUpper()
                         + QStringLiteral(" - The request component needs the program's event loop."));
        return;
    }
    Request = std::make_unique<XmlHttpRequest>();
}

// A service whose certificate comes from a private authority is trusted
// through the preference CaCertificates (a PEM file), besides the system's
// store. A file that cannot be used is reported once here; every secure
// request then fails rather than trust other than configured.
void clsHotmail::Private::TrustCertificateAuthorities()
{
    if (!Request || !state.Settings)
        return;
    const QString file =
        state.Settings->value(QStringLiteral("Preferences"), QStringLiteral("CaCertificates")).trimmed();
    switch (XmlHttpRequest::trustCertificateAuthorities(file)) {
    case XmlHttpRequest::TrustOutcome::Trusted:
        return;
    case XmlHttpRequest::TrustOutcome::Unreadable:
        state.AddLogLine(QStringLiteral("ERR: CaCertificates cannot be read: ") + file);
        return;
    case XmlHttpRequest::TrustOutcome::NoCertificate:
        state.AddLogLine(QStringLiteral("ERR: CaCertificates holds no certificate: ") + file);
        return;
    }
}

bool clsHotmail::Private::IsAltAccount(const QString &userName) const
{
    // An empty marker would make every account alternative.
    if (texts.AltAccountMarker.isEmpty())
        return false;
    return userName.contains(QString::fromUtf8(texts.AltAccountMarker), Qt::CaseInsensitive);
}

// The request sequence: open, headers in order, send, the completion wait
// and, in debug mode, the response log. Returns 0 when the request completed
// with an answer, else the attempt's error number: 1000 for a request given
// up, the network code for a connection that failed or ended before the
// answer did.
int clsHotmail::Private::SendAwaitedOn(XmlHttpRequest &request, const RequestDescription &what,
                                       const Account &presenting)
{
    request.setMaxResponseBytes(what.maxResponseBytes);
    request.open(what.verb, AddressText(what.url), true, presenting.user, presenting.password);
    for (const HeaderPair &header : what.headers)
        request.setRequestHeader(header.name, header.value);
    request.send(what.body);
    if (!wait.WaitForResponse(request))
        return RequestGivenUp;
    if (what.logResponse)
        WriteResponseLog(request);
    bool ok = false;
    const int status = request.status(&ok);
    if (ok && IsNetworkFailure(status))
        return status;
    return 0;
}

int clsHotmail::Private::SendAwaited(const RequestDescription &what, const Account &presenting)
{
    if (!Request)
        return NoRequestObject;
    return SendAwaitedOn(*Request, what, presenting);
}

void clsHotmail::Private::WriteResponseLog(const XmlHttpRequest &request)
{
    if (!state.LogToFile)
        return;
    bool ok = false;
    const int status = request.status(&ok);
    if (!ok)
        return;
    state.LogEntry(QByteArray::number(status) + " - " + request.statusText());
    state.LogBlock(request.getAllResponseHeaders());
}

// The status of the last request sent, 0 when none can be read.
int clsHotmail::Private::CurrentStatus() const
{
    if (!Request)
        return 0;
    bool ok = false;
    const int status = Request->status(&ok);
    return ok ? status : 0;
}

RequestDescription clsHotmail::Private::QueryRequest(const QByteArray &url) const
{
    return RequestDescription{
        texts.QueryVerb, url, {CommonPair(), QueryPair()}, texts.FolderQueryBody, MaxXmlAnswerBytes};
}

RequestDescription clsHotmail::Private::FetchRequest(const QByteArray &url, qint64 maxResponseBytes) const
{
    return RequestDescription{texts.FetchVerb, url, {CommonPair()}, QByteArray(), maxResponseBytes};
}

std::optional<QByteArray> clsHotmail::Private::ApplyStylesheet(const XmlDocument &document,
                                                               const QByteArray &stylesheet, int &errorNumber) const
{
    if (document.isEmpty()) {
        errorNumber = XmlDocument::ErrorNoDocument;
        return std::nullopt;
    }
    bool ok = false;
    int error = 0;
    // The compiled form of each stylesheet text is kept by the XML layer, so
    // parsing the text again costs little.
    XmlDocument sheet;
    sheet.loadXML(stylesheet); // a broken sheet fails in the transformation
    const QByteArray output = document.transformNode(sheet, &ok, &error);
    if (!ok) {
        errorNumber = error != 0 ? error : StylesheetFailed;
        return std::nullopt;
    }
    return output;
}

// ---------------------------------------------------------------------------
// Creation

clsHotmail::clsHotmail(modMain &state, QObject *parent)
    : WebMailSession(parent)
    , d(std::make_unique<Private>(*this, state))
{
    d->texts = StoredRequestTexts::Load(state.Settings);
    d->CreateRequest();
    d->TrustCertificateAuthorities();
}

clsHotmail::~clsHotmail() = default;

// ---------------------------------------------------------------------------
// Login, store, probe, logoff

int clsHotmail::Login(const QString &UserName, const QString &Password, XmlDocument &XmlMailbox, FrontEnd For)
{
    Private::Operation operation(*d);
    // Whatever the login comes to, the front end's earlier account is over.
    d->AccountFor(For) = Private::Account();
    const StoredRequestTexts &t = d->texts;
    QByteArray address;
    QString loginUser;
    if (d->IsAltAccount(UserName)) {
        address = t.AltServiceUrl + '/' + UserName.toUtf8();
        loginUser = UserName;
    } else {
        address = t.ServiceUrl;
        loginUser = UserName.section(QLatin1Char('@'), 0, 0);
    }

    const Private::Account account{UserName, loginUser, Password};
    // The login has its own request object for its whole duration.
    XmlHttpRequest login;
    const RequestDescription base{
        t.QueryVerb, QByteArray(), {d->CommonPair(), d->QueryPair()}, QByteArray(), MaxXmlAnswerBytes};
    int redirects = 0;
    int answered401 = 0;
    for (;;) {
        RequestDescription what = base;
        what.url = address;
        // Whether the wait gave up is not looked at: a given-up request has
        // no status, and reading it gives the login's error number.
        d->SendAwaitedOn(login, what, account);
        bool ok = false;
        int errorNumber = 0;
        const int status = login.status(&ok, &errorNumber);
        if (!ok)
            return errorNumber;

        if (status == StatusLoginRedirect && redirects < MaxLoginRedirects) {
            const QUrl current(AddressText(address));
            const QUrl next = current.resolved(QUrl(QString::fromUtf8(login.getResponseHeader("Location"))));
            if (!LeavesSecureChannel(current, next)) {
                ++redirects;
                address = next.toString(QUrl::FullyEncoded).toUtf8();
                continue;
            }
            d->state.AddLogLine(QStringLiteral("ERR: Login redirected from https to http refused: ")
                                + next.toString(QUrl::RemoveUserInfo | QUrl::FullyEncoded));
        }
        if (status == StatusUnauthorized && ++answered401 < MaxLoginRequestsAnswered401)
            continue;

        XmlDocument mailbox;
        mailbox.loadXML(login.responseText());
        XmlMailbox = mailbox;
        if (status == 200 || status == StatusMultiStatus)
            d->AccountFor(For) = account;
        return status;
    }
}

QByteArray clsHotmail::GetMsgStoreProps(const XmlDocument &XmlMailbox, bool ListAll)
{
    Private::Operation operation(*d);
    int errorNumber = 0;
    const std::optional<QByteArray> inbox = d->ApplyStylesheet(XmlMailbox, d->texts.InboxUrlStylesheet, errorNumber);
    if (!inbox)
        return "-ERR Component error: " + QByteArray::number(errorNumber);
    d->InboxUrl = inbox->trimmed();
    const std::optional<QByteArray> deleted =
        d->ApplyStylesheet(XmlMailbox, d->texts.DeletedItemsUrlStylesheet, errorNumber);
    if (!deleted)
        return "-ERR Component error: " + QByteArray::number(errorNumber);
    d->DeletedItemsUrl = deleted->trimmed();
    d->lastDownloaded = 0;
    return d->LoadStore(d->InboxUrl, ListAll);
}

QByteArray clsHotmail::Private::LoadStore(const QByteArray &folderUrl, bool ListAll)
{
    // The collection that holds the folder: the folder address without its
    // final "/", cut after the last "/" that remains.
    QByteArray collectionUrl = folderUrl.left(folderUrl.size() - 1);
    collectionUrl.truncate(collectionUrl.lastIndexOf('/') + 1);

    QByteArray reply;
    RetryRule retry(Attempts::StoreLoad);
    if (retry.Run([&] { return LoadStoreAttempt(collectionUrl, folderUrl, ListAll, reply); }))
        return reply;
    return "-ERR communication error: " + QByteArray::number(retry.lastErrorNumber()) + ", "
        + ErrorText(CurrentStatus());
}

AttemptOutcome clsHotmail::Private::LoadStoreAttempt(const QByteArray &collectionUrl, const QByteArray &folderUrl,
                                                     bool ListAll, QByteArray &reply)
{
    const int firstError = SendAwaited(QueryRequest(collectionUrl), Pop3());
    if (firstError != 0)
        return AttemptOutcome::Failed(firstError);
    // An answer that is no XML (a proxy's page, a refused connection) will
    // not turn into a listing by asking again.
    const XmlDocument collection = Request->responseXML();
    if (collection.isEmpty()) { // no well-formed XML
        reply = StoreNotLocked;
        return AttemptOutcome::Finished();
    }
    int errorNumber = 0;
    const std::optional<int> count = CountMessages(collection, folderUrl, ListAll, errorNumber);
    if (!count)
        return AttemptOutcome::Failed(errorNumber);
    if (*count == 0) {
        store = MessageStore::Empty();
        reply = "+OK store loaded";
        return AttemptOutcome::Finished();
    }

    const int secondError = SendAwaited(QueryRequest(folderUrl), Pop3());
    if (secondError != 0)
        return AttemptOutcome::Failed(secondError);
    // The folder's answer is read as it stands, without a document: one of
    // thousands of messages would take many times its size in memory.
    std::optional<FolderListingReader::Lists> lists = FolderListingReader::Read(Request->responseText(), ListAll);
    if (!lists) { // no well-formed XML
        reply = StoreNotLocked;
        return AttemptOutcome::Finished();
    }
    const std::optional<QList<qint64>> sizes = MessageStore::SplitSizeList(lists->sizes);
    if (!sizes)
        return AttemptOutcome::Failed(NotANumber);
    QList<QByteArray> urls = MessageStore::SplitUrlList(lists->addresses);
    lists.reset();

    // Tables that disagree would pair one message's address with another's
    // size; the store stays as it was and the client may try again.
    if (urls.size() != sizes->size() || urls.size() < 2) {
        reply = StoreNotLocked;
        return AttemptOutcome::Finished();
    }
    store = MessageStore::FromListing(std::move(urls), *sizes);
    // The answer is not kept until the next request (its status is not
    // needed any more); what a large one took goes back to the system.
    if (Request->takeResponseText().size() >= LargeListingBytes)
        FreedMemory::returnToSystem();
    reply = "+OK store loaded";
    return AttemptOutcome::Finished();
}

std::optional<int> clsHotmail::Private::CountMessages(const XmlDocument &answer, const QByteArray &folderUrl,
                                                      bool ListAll, int &errorNumber) const
{
    // Escaped, so that an address with "&" or "<" cannot break the
    // stylesheet it is spliced into.
    const QByteArray stylesheet = texts.CountStylesheetHead + XmlText::escape(folderUrl)
        + (ListAll ? texts.AllCountStylesheetTail : texts.UnreadCountStylesheetTail);
    const std::optional<QByteArray> output = ApplyStylesheet(answer, stylesheet, errorNumber);
    if (!output)
        return std::nullopt;
    const QByteArray text = output->trimmed();
    if (text.isEmpty())
        return 0;
    bool ok = false;
    const int count = text.toInt(&ok);
    if (!ok || count < 0) {
        errorNumber = NotANumber;
        return std::nullopt;
    }
    return count;
}

QByteArray clsHotmail::ConnStatus(const QString &sUserName)
{
    Private::Operation operation(*d);
    int status = 0;
    QByteArray result;
    RetryRule retry(Attempts::ConnStatus);
    const bool reached = retry.Run([&] {
        // A probe, not a dialogue's request: it presents no account.
        status = d->SendClosingRequest(sUserName, Private::Account());
        if (status == StatusMultiStatus)
            return AttemptOutcome::Finished();
        if (status == StatusLoginRedirect) {
            const bool probeHeader = d->Request && !d->Request->getResponseHeader(d->texts.ProbeHeaderName).isEmpty();
            if (!probeHeader)
                result = "900-No connection to Hotmail server." + CRLF;
            return AttemptOutcome::Finished();
        }
        return AttemptOutcome::Failed(StatusFailureBase + status);
    });
    if (reached)
        return result;
    return "Communication error: " + QByteArray::number(retry.lastErrorNumber()) + ", " + ErrorText(status) + CRLF;
}

int clsHotmail::Logoff(const QString &UserName)
{
    Private::Operation operation(*d);
    // The closing request of a POP3 dialogue is that dialogue's own, and
    // ends its account.
    Private::Account &pop3 = d->AccountFor(FrontEnd::Pop3);
    const Private::Account presenting =
        pop3.name == UserName ? std::exchange(pop3, Private::Account()) : Private::Account();
    return d->SendClosingRequest(UserName, presenting);
}

// The closing request (also the probe): its status, 0 when none can be read.
int clsHotmail::Private::SendClosingRequest(const QString &UserName, const Account &presenting)
{
    const QByteArray base = IsAltAccount(UserName) ? texts.AltServiceUrl : texts.ServiceUrl;
    const RequestDescription what{
        texts.QueryVerb, base + texts.LogoffPath, {CommonPair()}, QByteArray(), MaxXmlAnswerBytes};
    const int errorNumber = SendAwaited(what, presenting);
    if (errorNumber == RequestGivenUp && state.LogToFile)
        state.LogEntry(QStringLiteral("ERR - Logoff failed"));
    return CurrentStatus();
}

// ---------------------------------------------------------------------------
// Mailbox operations

QByteArray clsHotmail::Stat() const
{
    return d->store.Stat();
}

QByteArray clsHotmail::List(int MsgNumber) const
{
    return d->store.List(MsgNumber);
}

QByteArray clsHotmail::ListNames(int MsgNumber) const
{
    return d->store.ListNames(MsgNumber);
}

QByteArray clsHotmail::Mark(int MsgNumber)
{
    // A marked message is not retrieved any more.
    if (ReadAheadMessage() == MsgNumber)
        d->DropReadAhead();
    return d->store.Mark(MsgNumber);
}

QByteArray clsHotmail::ResetMarks()
{
    return d->store.ResetMarks();
}

// One download of message n. A status outside 200..299 fails the attempt: an
// error page is not the user's mail.
AttemptOutcome clsHotmail::Private::DownloadAttempt(int MsgNumber, QByteArray &text)
{
    const int errorNumber = SendAwaited(FetchRequest(store.Url(MsgNumber), MaxMessageBytes), Pop3());
    if (errorNumber != 0)
        return AttemptOutcome::Failed(errorNumber);
    // An HTTP status that is no success is told apart from a network code
    // by the added base.
    const int status = CurrentStatus();
    if (!IsSuccessStatus(status))
        return AttemptOutcome::Failed(StatusFailureBase + status);
    text = Request->responseText();
    return AttemptOutcome::Finished();
}

// A download read ahead stands for the ordinary request only when it ended
// with the answer an ordinary attempt would have taken; any other end of it
// goes unseen, and the ordinary attempts run as they always do.
bool clsHotmail::Private::TextReadAhead(XmlHttpRequest &download, QByteArray &text)
{
    if (!wait.WaitForResponse(download))
        return false;
    bool ok = false;
    const int status = download.status(&ok);
    if (!ok || IsNetworkFailure(status) || !IsSuccessStatus(status))
        return false;
    WriteResponseLog(download);
    text = download.takeResponseText();
    return true;
}

bool clsHotmail::Private::DownloadMessage(int MsgNumber, QByteArray &text, RetryRule &retry,
                                          std::unique_ptr<XmlHttpRequest> readAheadDownload)
{
    if (readAheadDownload && TextReadAhead(*readAheadDownload, text))
        return true;
    readAheadDownload.reset();
    return retry.Run([&] { return DownloadAttempt(MsgNumber, text); });
}

// Arranges the download of the message after n when a client reading in
// order will want it next. It presents the POP3 dialogue's account, as the
// retrieval that takes it would.
void clsHotmail::Private::ReadAheadAfter(int MsgNumber)
{
    const bool inOrder = lastDownloaded == MsgNumber - 1;
    lastDownloaded = MsgNumber;
    if (!inOrder || !ReadAheadWanted(MsgNumber + 1))
        return;
    readAheadDue = MsgNumber + 1;
    readAheadStart.request();
}

bool clsHotmail::Private::ReadAheadWanted(int next) const
{
    return store.IsMessageNumber(next) && !store.IsMarked(next) && store.Size(next) <= ReadAheadMaxBytes
        && !Pop3().name.isEmpty();
}

// Whatever ran since it was arranged may have made it pointless: another
// download, a mark, a logoff, a store reload, an operation still under way.
void clsHotmail::Private::StartReadAhead()
{
    const int next = std::exchange(readAheadDue, 0);
    if (next == 0 || q.IsBusy() || lastDownloaded != next - 1 || !ReadAheadWanted(next))
        return;
    std::unique_ptr<XmlHttpRequest> download = StartDownload(next);
    if (download)
        readAhead.Hold(next, store.Url(next), Pop3().name, std::move(download));
}

void clsHotmail::Private::DropReadAhead()
{
    readAheadDue = 0;
    readAheadStart.cancel();
    readAhead.Drop();
}

// An asynchronous download of message n for the POP3 dialogue, with the
// ordinary download's request, account and answer cap; null without a
// request object. A download that fails, at once or later, ends with
// readyState 4 and its error.
std::unique_ptr<XmlHttpRequest> clsHotmail::Private::StartDownload(int MsgNumber)
{
    if (!Request)
        return nullptr;
    const RequestDescription what = FetchRequest(store.Url(MsgNumber), MaxMessageBytes);
    auto download = std::make_unique<XmlHttpRequest>();
    download->setMaxResponseBytes(what.maxResponseBytes);
    download->open(what.verb, AddressText(what.url), true, Pop3().user, Pop3().password);
    for (const HeaderPair &header : what.headers)
        download->setRequestHeader(header.name, header.value);
    download->send(what.body);
    return download;
}

QByteArray clsHotmail::Retrieve(int MsgNumber)
{
    if (!d->store.IsMessageNumber(MsgNumber))
        return "-ERR No such message.";
    if (d->store.IsMarked(MsgNumber))
        return "-ERR Already deleted.";
    std::unique_ptr<XmlHttpRequest> ahead = d->readAhead.Take(MsgNumber, d->store.Url(MsgNumber), d->Pop3().name);
    Private::Operation operation(*d);
    QByteArray text;
    RetryRule retry(Attempts::Retrieve);
    if (d->DownloadMessage(MsgNumber, text, retry, std::move(ahead))) {
        d->ReadAheadAfter(MsgNumber);
        return MessageTextReplies::RetrieveReply(text);
    }
    return "-ERR Retrieval failed: " + QByteArray::number(retry.lastErrorNumber()) + ", "
        + ErrorText(d->CurrentStatus());
}

std::unique_ptr<XmlHttpRequest> clsHotmail::RetrieveAsync(int MsgNumber)
{
    if (!d->store.IsMessageNumber(MsgNumber) || d->store.IsMarked(MsgNumber))
        return nullptr;
    d->DropReadAhead();
    d->lastDownloaded = MsgNumber;
    // The caller hears of a failure like of any other end.
    std::unique_ptr<XmlHttpRequest> download = d->StartDownload(MsgNumber);
    if (!download)
        return nullptr;
    d->asyncDownloadRunning = true;
    d->asyncDownload = download.get();
    // A caller that drops the download without a word still frees the
    // session.
    connect(download.get(), &QObject::destroyed, this, [this](QObject *gone) {
        if (d->asyncDownload == gone)
            AsyncDownloadFinished();
    });
    return download;
}

void clsHotmail::AsyncDownloadFinished()
{
    if (!d->asyncDownloadRunning)
        return;
    d->asyncDownloadRunning = false;
    d->asyncDownload = nullptr;
    d->QueueIdleIfFree();
}

QByteArray clsHotmail::Top(int MsgNumber, int Lines)
{
    if (!d->store.IsMessageNumber(MsgNumber))
        return "-ERR no such message";
    if (d->store.IsMarked(MsgNumber))
        return "-ERR deleted";
    const bool fromProperties = d->store.Size(MsgNumber) > TopFromPropertiesAboveBytes && Lines < 1;
    // The download path sends exactly the request a retrieval does, so a
    // client reading in order with TOP gets the same read-ahead.
    std::unique_ptr<XmlHttpRequest> ahead =
        fromProperties ? nullptr : d->readAhead.Take(MsgNumber, d->store.Url(MsgNumber), d->Pop3().name);
    Private::Operation operation(*d);
    if (fromProperties)
        return MessageTextReplies::HeaderSectionReply(d->FetchHeaders(MsgNumber));

    QByteArray text;
    RetryRule retry(Attempts::Retrieve);
    if (d->DownloadMessage(MsgNumber, text, retry, std::move(ahead))) {
        d->ReadAheadAfter(MsgNumber);
        return MessageTextReplies::TopReply(text, Lines);
    }
    return "-ERR Retrieval failed: " + QByteArray::number(retry.lastErrorNumber()) + ", "
        + ErrorText(d->CurrentStatus());
}

QByteArray clsHotmail::Private::FetchHeaders(int MsgNumber)
{
    QByteArray headerLines;
    RetryRule retry(Attempts::HeaderFetch);
    const bool fetched = retry.Run([&] {
        const int errorNumber = SendAwaited(QueryRequest(store.Url(MsgNumber)), Pop3());
        if (errorNumber != 0)
            return AttemptOutcome::Failed(errorNumber);
        int stylesheetError = 0;
        const std::optional<QByteArray> output =
            ApplyStylesheet(Request->responseXML(), texts.HeaderStylesheet, stylesheetError);
        if (!output)
            return AttemptOutcome::Failed(stylesheetError);
        headerLines = *output;
        return AttemptOutcome::Finished();
    });
    if (!fetched)
        return "X-Comm-Error: " + QByteArray::number(retry.lastErrorNumber()) + ", " + ErrorText(CurrentStatus());
    // The stylesheet's last line may lack its line end.
    return headerLines + CRLF + texts.IdHeaderName + ": <" + store.Name(MsgNumber) + texts.IdSuffix + '>';
}

// Sends one request per marked message, in ascending order; up to three
// passes, each over the messages not yet done (what was done is not asked
// again). A message the service refused does not hold up the others, but a
// request that got no answer ends the pass: the service is not there, and
// asking on would only wait out every message. Returns whether every marked
// message was done; the others go to failures with their reason.
template<typename RequestFor>
bool clsHotmail::Private::RunUpdatePasses(RequestFor requestFor, QList<UpdateFailure> *failures)
{
    if (!store.MarksCoverMessages())
        return true;
    QList<int> pending;
    for (int i = 1; i <= store.HighestMessageNumber(); ++i) {
        if (store.IsMarked(i))
            pending.append(i);
    }
    QHash<int, QByteArray> reasons;
    for (int pass = 0; pass < Attempts::UpdatePasses && !pending.isEmpty(); ++pass) {
        QList<int> notDone;
        for (qsizetype at = 0; at < pending.size(); ++at) {
            const int i = pending.at(at);
            const UpdateOutcome outcome = UpdateOne(requestFor(i));
            if (outcome.done)
                continue;
            reasons.insert(i, outcome.reason);
            notDone.append(i);
            if (!outcome.answered) {
                notDone.append(pending.mid(at + 1));
                break;
            }
        }
        pending = notDone;
    }
    if (failures) {
        for (const int i : std::as_const(pending))
            failures->append(
                {i, store.Name(i), reasons.value(i, "not asked: the service failed on a message before it")});
    }
    return pending.isEmpty();
}

// One mark or move for the POP3 dialogue.
clsHotmail::Private::UpdateOutcome clsHotmail::Private::UpdateOne(const RequestDescription &what)
{
    const int errorNumber = SendAwaited(what, Pop3());
    if (errorNumber == RequestGivenUp)
        return {false, false, "no answer from the service in time"};
    if (errorNumber != 0)
        return {false, false, ErrorText(errorNumber)};
    const int status = CurrentStatus();
    if (!IsSuccessStatus(status))
        return {false, true, QByteArray::number(status) + ' ' + Request->statusText()};
    return {true, true, QByteArray()};
}

bool clsHotmail::MarkAsRead(QList<UpdateFailure> *failures)
{
    Private::Operation operation(*d);
    const StoredRequestTexts &t = d->texts;
    return d->RunUpdatePasses(
        [&](int i) {
            return RequestDescription{
                t.MarkReadVerb, d->store.Url(i), {d->CommonPair(), d->QueryPair()}, t.MarkReadBody, MaxXmlAnswerBytes};
        },
        failures);
}

bool clsHotmail::MoveToDeletedItems(QList<UpdateFailure> *failures)
{
    Private::Operation operation(*d);
    const StoredRequestTexts &t = d->texts;
    return d->RunUpdatePasses(
        [&](int i) {
            return RequestDescription{t.MoveVerb,
                                      d->store.Url(i),
                                      {d->CommonPair(),
                                       {t.MoveTargetHeaderName, d->DeletedItemsUrl + d->store.Name(i)},
                                       {t.MoveFlagHeaderName, "t"}},
                                      QByteArray(),
                                      MaxXmlAnswerBytes};
        },
        failures);
}

bool clsHotmail::PopCollect(const XmlDocument &XmlMailbox)
{
    Private::Operation operation(*d);
    int errorNumber = 0;
    const std::optional<QByteArray> address =
        d->ApplyStylesheet(XmlMailbox, d->texts.CollectUrlStylesheet, errorNumber);
    if (!address)
        return false;
    RequestDescription what{d->texts.FetchVerb, address->trimmed(), {}, QByteArray(), MaxXmlAnswerBytes};
    what.logResponse = false;
    return d->SendAwaited(what, d->Pop3()) == 0;
}

// ---------------------------------------------------------------------------
// Sending

bool clsHotmail::GetSendUrl(const XmlDocument &XmlMailbox)
{
    int errorNumber = 0;
    const std::optional<QByteArray> address = d->ApplyStylesheet(XmlMailbox, d->texts.SendUrlStylesheet, errorNumber);
    if (!address)
        return false;
    d->SendUrl = address->trimmed();
    return true;
}

QByteArray clsHotmail::Send(const QByteArray &Message, bool SaveInSent)
{
    Private::Operation operation(*d);
    const StoredRequestTexts &t = d->texts;
    const QByteArray copyFlag = SaveInSent ? "t" : "f";
    const QByteArray submissionId = NewSubmissionId();
    QByteArray reply;
    QDeadlineTimer deadline(SubmissionTimeLimitMs(Message.size()));
    RetryRule retry(Attempts::Send);
    const bool answered = retry.Run([&] {
        if (!d->Request)
            return AttemptOutcome::Failed(NoRequestObject);
        if (d->SendUrl.isEmpty())
            return AttemptOutcome::Failed(InvalidAddress);
        if (deadline.hasExpired())
            return AttemptOutcome::Failed(NetworkCode::Timeout);
        XmlHttpRequest &request = *d->Request;
        request.setMaxResponseBytes(MaxXmlAnswerBytes);
        request.setTotalTimeout(int(qMax<qint64>(1, deadline.remainingTime())));
        request.setTimeout(SubmissionSilenceMs);
        request.open(t.SendVerb, AddressText(d->SendUrl), false, d->Smtp().user, d->Smtp().password);
        request.setRequestHeader(t.CommonHeaderName, t.CommonHeaderValue);
        request.setRequestHeader(t.QueryHeaderName, t.SendHeaderValue);
        request.setRequestHeader(t.SendFlagHeaderName, "t");
        request.setRequestHeader(t.SaveInSentHeaderName, copyFlag);
        request.setRequestHeader(SubmissionIdHeader, submissionId);
        // The upload blocks the thread; pending events get their turn first.
        EventWait::processPendingOnce();
        request.send(Message);
        // The request object's other requests are awaited with their own limits.
        request.setTotalTimeout(0);
        request.setTimeout(XmlHttpRequest::DefaultTimeoutMilliseconds);
        d->WriteResponseLog(request);
        bool ok = false;
        int errorNumber = 0;
        const int status = request.status(&ok, &errorNumber);
        if (!ok)
            return AttemptOutcome::Failed(errorNumber);
        // No connection, no answer: the component failed, not the service.
        if (IsNetworkFailure(status))
            return AttemptOutcome::Failed(status);
        if (status == 200 || status == 201)
            reply = "250 OK" + CRLF;
        else
            reply = "554 Transaction failed. " + QByteArray::number(status) + ' ' + request.statusText() + CRLF;
        return AttemptOutcome::Finished();
    });
    if (!answered)
        return "451 Local error in processing" + CRLF;
    return reply;
}

// ---------------------------------------------------------------------------
// Read-only views

QString clsHotmail::MailDomain() const
{
    return QString::fromUtf8(d->texts.ServiceMailDomain);
}

int clsHotmail::MessageCount() const
{
    return d->store.MessageCount();
}

qint64 clsHotmail::MessageSize(int MsgNumber) const
{
    return d->store.IsMessageNumber(MsgNumber) ? d->store.Size(MsgNumber) : 0;
}

int clsHotmail::HighestMessageNumber() const
{
    return d->store.HighestMessageNumber();
}

bool clsHotmail::IsMarked(int MsgNumber) const
{
    return d->store.IsMarked(MsgNumber);
}

int clsHotmail::ReadAheadMessage() const
{
    return d->readAheadDue != 0 ? d->readAheadDue : d->readAhead.HeldMessage();
}

QString clsHotmail::AccountOf(FrontEnd For) const
{
    return d->accounts[int(For)].name;
}

QByteArray clsHotmail::InboxUrl() const
{
    return d->InboxUrl;
}

QByteArray clsHotmail::DeletedItemsUrl() const
{
    return d->DeletedItemsUrl;
}

QByteArray clsHotmail::SendUrl() const
{
    return d->SendUrl;
}

bool clsHotmail::HasRequestObject() const
{
    return d->Request != nullptr;
}

QByteArray clsHotmail::ErrorText(int code)
{
    return SessionErrors::ErrorText(code);
}

bool clsHotmail::IsBusy() const
{
    return d->operationDepth > 0 || d->asyncDownloadRunning;
}

void clsHotmail::setPollIntervalMs(int ms)
{
    d->wait.setPollIntervalMs(ms);
}

int clsHotmail::LastWaitPolls() const
{
    return d->wait.lastWaitPolls();
}

int clsHotmail::LastWaitPollsBeforeAnswer() const
{
    return d->wait.lastWaitPollsBeforeAnswer();
}
