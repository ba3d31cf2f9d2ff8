#include "BlockingHttp.h"

#include "NetworkAccess.h"

#include <utility>

HttpAnswer BlockingHttp::run(HttpRequestSpec spec)
{
    HttpTransfer transfer(std::move(spec));
    const int refusal = transfer.prepare(NetworkAccess::forThisThread());
    if (refusal != 0) {
        transfer.fail(refusal);
        return transfer.takeAnswer();
    }
    CURLcode result = curl_easy_perform(transfer.handle());
    if (transfer.refusedKeptState(result)) {
        const int again = transfer.restartFresh();
        if (again != 0) {
            transfer.fail(again);
            return transfer.takeAnswer();
        }
        result = curl_easy_perform(transfer.handle());
    }
    transfer.finish(result);
    return transfer.takeAnswer();
}
