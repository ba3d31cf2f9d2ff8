#include "NetworkCode.h"

namespace NetworkCode {

namespace {

struct CodeText
{
    int code;
    const char *text;
};

constexpr CodeText Texts[] = {
    {12001, "No more handles could be generated at this time"},
    {12002, "The request has timed out."},
    {12003, "An extended error was returned from the server."},
    {12004, "An internal error has occurred."},
    {12005, "The URL is invalid."},
    {12006, "The URL scheme could not be recognized, or is not supported."},
    {12007, "The server name could not be resolved."},
    {12008, "The requested protocol could not be located."},
    {12009, "A request to InternetQueryOption or InternetSetOption specified an invalid option value."},
    {12010,
     "The length of an option supplied to InternetQueryOption or InternetSetOption is incorrect for the type of option "
     "specified."},
    {12011, "The request option can not be set, only queried. "},
    {12012, "The Win32 Internet support is being shutdown or unloaded."},
    {12013,
     "The request to connect and login to an FTP server could not be completed because the supplied user name is "
     "incorrect."},
    {12014,
     "The request to connect and login to an FTP server could not be completed because the supplied password is "
     "incorrect. "},
    {12015, "The request to connect to and login to an FTP server failed."},
    {12016, "The requested operation is invalid. "},
    {12017,
     "The operation was canceled, usually because the handle on which the request was operating was closed before the "
     "operation completed."},
    {12018, "The type of handle supplied is incorrect for this operation."},
    {12019, "The requested operation can not be carried out because the handle supplied is not in the correct state."},
    {12020, "The request can not be made via a proxy."},
    {12021, "A required registry value could not be located. "},
    {12022, "A required registry value was located but is an incorrect type or has an invalid value."},
    {12023, "Direct network access cannot be made at this time. "},
    {12024, "An asynchronous request could not be made because a zero context value was supplied."},
    {12025, "An asynchronous request could not be made because a callback function has not been set."},
    {12026, "The required operation could not be completed because one or more requests are pending."},
    {12027, "The format of the request is invalid."},
    {12028, "The requested item could not be located."},
    {12029, "The attempt to connect to the server failed."},
    {12030, "The connection with the server has been terminated."},
    {12031, "The connection with the server has been reset."},
    {12036, "The request failed because the handle already exists."},
    {12037, "The date in the certificate is invalid or has expired."},
    {12038, "The host name in the certificate is invalid or does not match."},
    {12045, "The certificate authority is invalid or incorrect."},
    {12157, "A secure channel could not be established."},
};

constexpr int FirstNetworkCode = 12000;
constexpr int LastNetworkCode = 12999;

} // namespace

const char *text(int code)
{
    for (const CodeText &entry : Texts) {
        if (entry.code == code)
            return entry.text;
    }
    return nullptr;
}

bool isNetworkFailure(int status)
{
    return status >= FirstNetworkCode && status <= LastNetworkCode;
}

bool isSecureChannelFailure(int code)
{
    return code == CertificateDateInvalid || code == CertificateNameInvalid || code == CertificateAuthorityInvalid
        || code == SecureChannelFailed;
}

} // namespace NetworkCode
