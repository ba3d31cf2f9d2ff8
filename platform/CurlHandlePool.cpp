#include "CurlHandlePool.h"

#include "CertificateTrust.h"

#include <algorithm>

CurlHandlePool::CurlHandlePool()
    : m_share(curl_share_init())
{
    if (!m_share)
        return;
    curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
}

CurlHandlePool::~CurlHandlePool()
{
    for (const Kept &kept : m_idle)
        curl_easy_cleanup(kept.handle);
    // Handles still lent out are freed by their borrowers; while they live,
    // libcurl refuses to free the caches they share, and keeps them.
    if (m_share && m_lent.empty())
        curl_share_cleanup(m_share);
}

CURL *CurlHandlePool::take(const Account &account, const CertificateTrust &trust, bool *wasKept)
{
    Kept kept;
    *wasKept = false;
    const auto found =
        std::find_if(m_idle.rbegin(), m_idle.rend(), [&account](const Kept &idle) { return idle.account == account; });
    if (found != m_idle.rend()) {
        kept = *found;
        m_idle.erase(std::next(found).base());
        *wasKept = true;
    } else {
        kept.account = account;
        kept.handle = newHandle();
        if (!kept.handle)
            return nullptr;
    }
    trust.applyTo(kept.handle, kept.trustGeneration);
    m_lent.push_back(kept);
    return kept.handle;
}

void CurlHandlePool::giveBack(CURL *handle, bool keepState)
{
    const auto lent =
        std::find_if(m_lent.begin(), m_lent.end(), [handle](const Kept &k) { return k.handle == handle; });
    if (lent == m_lent.end()) {
        curl_easy_cleanup(handle);
        return;
    }
    const Kept kept = *lent;
    m_lent.erase(lent);
    // The account's newest state replaces an older one kept for it.
    const auto older =
        std::find_if(m_idle.begin(), m_idle.end(), [&kept](const Kept &idle) { return idle.account == kept.account; });
    if (older != m_idle.end()) {
        curl_easy_cleanup(older->handle);
        m_idle.erase(older);
    }
    if (!keepState) {
        curl_easy_cleanup(kept.handle);
        return;
    }
    m_idle.push_back(kept);
    while (m_idle.size() > size_t(MaxIdleHandles)) {
        curl_easy_cleanup(m_idle.front().handle);
        m_idle.pop_front();
    }
}

void CurlHandlePool::discard(CURL *handle)
{
    curl_easy_cleanup(handle);
}

CURL *CurlHandlePool::newHandle()
{
    CURL *handle = curl_easy_init();
    if (!handle)
        return nullptr;
    if (m_share)
        curl_easy_setopt(handle, CURLOPT_SHARE, m_share);
    // Every new secure connection makes a full handshake: a resumed one
    // skips the certificate's checks, and with them what a failure would
    // tell of the certificate. Kept connections make this rare.
    curl_easy_setopt(handle, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    return handle;
}
