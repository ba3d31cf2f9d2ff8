#pragma once

#include "HttpExchange.h"

// Sends a request and returns its complete answer while the calling thread
// stays blocked: none of the caller's socket, timer or window events runs
// meanwhile. The request runs on a private thread with its own network
// access; the caller waits on a semaphore, not in an event loop.
class BlockingHttp
{
public:
    static HttpAnswer run(const HttpRequestSpec &spec);
};
