#pragma once

#include <QString>

#include <curl/curl.h>

#include <deque>

class CertificateTrust;

// The easy handles of one thread, kept between requests per service origin
// and account. A handle keeps what libcurl learnt while authenticating (the
// scheme the service asked for, its Digest nonce and count), so the next
// request of the same account on the same origin carries its Authorization
// at once instead of paying a 401 round trip; a request of another account
// never gets that handle, so it never presents those credentials.
//
// All handles share one connection cache and DNS cache:
// connections are kept alive and reused per origin whichever handle, and
// whichever way of sending (driven by the event loop, or blocking), uses
// them next. Credentials belong to each request, never to a connection.
class CurlHandlePool
{
public:
    // Whose requests a handle carries.
    struct Account
    {
        QString origin; // "scheme://host:port"
        bool presentsCredentials = false;
        QString user;
        QString password;
        bool operator==(const Account &) const = default;
    };

    // Handles kept idle: a few accounts on a few origins. One more account
    // only costs its first request a 401 round trip.
    static constexpr int MaxIdleHandles = 8;

    CurlHandlePool();
    ~CurlHandlePool();
    CurlHandlePool(const CurlHandlePool &) = delete;
    CurlHandlePool &operator=(const CurlHandlePool &) = delete;

    // A handle for the account: the one kept from its last request when
    // there is one, else a new one (null when none can be made), set up to
    // trust the authorities given; kept tells which. The caller owns it until
    // giveBack().
    CURL *take(const Account &account, const CertificateTrust &trust, bool *kept);
    // The handle's request is over; it is kept for the account's next one.
    // A handle whose authentication state must not be reused is dropped.
    void giveBack(CURL *handle, bool keepState);
    // Frees a handle taken from a pool that is gone; the shared caches stay
    // with libcurl until their last handle goes.
    static void discard(CURL *handle);

private:
    struct Kept
    {
        Account account;
        CURL *handle = nullptr;
        int trustGeneration = -1; // the authorities last set on the handle
    };

    CURL *newHandle();

    CURLSH *m_share = nullptr;
    std::deque<Kept> m_idle; // least recently used first
    std::deque<Kept> m_lent; // taken and not given back yet
};
