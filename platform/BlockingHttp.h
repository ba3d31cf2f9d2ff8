#pragma once

#include "HttpTransfer.h"

// Sends a request and returns its complete answer while the calling thread
// stays blocked: a libcurl transfer on the calling thread, with no event loop
// at all, so none of the caller's socket, timer or window events runs
// meanwhile. It shares the thread's connections and each account's
// authentication state with the requests driven by the event loop.
class BlockingHttp
{
public:
    static HttpAnswer run(HttpRequestSpec spec);
};
