#include "SessionErrors.h"

#include "NetworkCode.h"

namespace SessionErrors {

namespace {

struct CodeText
{
    int code;
    const char *text;
};

// The session's own texts for the HTTP statuses it reports; the network
// codes have the request component's texts.
constexpr CodeText StatusTexts[] = {
    {400, "Command not understood by firewall or proxy server."},
    {401, "Authentication failed."},
    {403, "Command blocked by firewall or proxy server."},
    {503, "Hotmail service unavailable."},
};

constexpr char DefaultText[] = "Error details not available.";

} // namespace

QByteArray ErrorText(int code)
{
    const char *text = NetworkCode::text(code);
    for (const CodeText &entry : StatusTexts) {
        if (entry.code == code)
            text = entry.text;
    }
    return QByteArray::number(code) + " - " + (text ? text : DefaultText);
}

bool IsNetworkFailure(int status)
{
    return NetworkCode::isNetworkFailure(status);
}

} // namespace SessionErrors
