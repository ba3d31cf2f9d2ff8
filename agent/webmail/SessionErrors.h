#pragma once

#include <QByteArray>

// Error numbers the session itself gives to failed attempts, and the texts of
// the codes that appear in its failure texts.
namespace SessionErrors {

// An awaited request that did not complete in time.
constexpr int RequestGivenUp = 1000;
// Added to an HTTP status that fails an attempt (a probe answered neither 207
// nor 900, a download answered outside 200..299).
constexpr int StatusFailureBase = 10000;
// The request object could not be created at start; every request then fails.
constexpr int NoRequestObject = 91;
// A stylesheet output that should have been a number was not.
constexpr int NotANumber = 13;
// An address that cannot carry a request (empty, or not absolute).
constexpr int InvalidAddress = 12005;
// A stylesheet failed without telling why.
constexpr int StylesheetFailed = int(0x80004005);

// Code, " - " and the code's text: the session's texts for HTTP statuses, the
// request component's for network codes, "Error details not available." for
// any other code. Trailing blanks of the texts are kept.
QByteArray ErrorText(int code);

// True for the codes the request component reports as the status of a
// request that failed below HTTP (secure channel failures included).
bool IsNetworkFailure(int status);

} // namespace SessionErrors
