#pragma once

// The numbers under which the request component reports a request that failed
// below HTTP, in place of an HTTP status, and the component's texts for them.
// Users and logs know the failures by these numbers; the agent's replies and
// the diagnostics program show them with the texts given here.
namespace NetworkCode {

constexpr int OutOfHandles = 12001;
constexpr int Timeout = 12002;
constexpr int InternalError = 12004;
constexpr int InvalidUrl = 12005;
constexpr int UnrecognizedScheme = 12006;
constexpr int NameNotResolved = 12007;
constexpr int ShuttingDown = 12012;
constexpr int OperationCancelled = 12017;
constexpr int ProxyFailure = 12020;
constexpr int InvalidRequestFormat = 12027;
constexpr int CannotConnect = 12029;
constexpr int ConnectionAborted = 12030;

// The secure channel: the server's certificate, or the channel itself.
constexpr int CertificateDateInvalid = 12037;
constexpr int CertificateNameInvalid = 12038;
constexpr int CertificateAuthorityInvalid = 12045;
constexpr int SecureChannelFailed = 12157;

// The component's text for a network code; null for a number it has no
// text for. Several texts end in a blank after the full stop; the blank
// belongs to them.
const char *text(int code);

// True for a status that reports a failure below HTTP: an HTTP status never
// has more than three digits.
bool isNetworkFailure(int status);

// True for the codes of a secure channel that could not be trusted or built.
bool isSecureChannelFailure(int code);

} // namespace NetworkCode
