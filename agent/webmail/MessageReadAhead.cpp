#include "MessageReadAhead.h"

#include "XmlHttpRequest.h"

MessageReadAhead::MessageReadAhead() = default;

MessageReadAhead::~MessageReadAhead()
{
    Drop();
}

void MessageReadAhead::Hold(int msgNumber, const QByteArray &url, const QString &account,
                            std::unique_ptr<XmlHttpRequest> download)
{
    Drop();
    m_download = std::move(download);
    m_msgNumber = msgNumber;
    m_url = url;
    m_account = account;
}

std::unique_ptr<XmlHttpRequest> MessageReadAhead::Take(int msgNumber, const QByteArray &url, const QString &account)
{
    if (!m_download || msgNumber != m_msgNumber || url != m_url || account != m_account) {
        Drop();
        return nullptr;
    }
    return std::move(m_download);
}

void MessageReadAhead::Drop()
{
    if (!m_download)
        return;
    // The answer is not wanted: the transfer stops and its connection goes.
    m_download->abort();
    m_download.reset();
}
