#pragma once

class XmlHttpRequest;

// The completion wait of an awaited request. It counts in polls of (by
// default) 100 ms: a poll that ends with no answer begun costs 3 units, any
// other poll 1 unit, and the request is aborted once more than 900 units have
// been spent: about 30 s for a service that never answers, about 90 s in all
// for one that has begun. A poll ends early when the request completes, so a
// fast answer never waits out a poll; events of the whole program run during
// every poll. Once the program's quit has been heard no wait goes on: the
// request is aborted.
class ResponseWait
{
public:
    static constexpr int DefaultPollIntervalMs = 100;
    static constexpr int GiveUpAfterUnits = 900;
    static constexpr int UnitsPerPollBeforeAnswer = 3;
    static constexpr int UnitsPerPollAfterAnswerBegan = 1;

    // True when the request completed; false when it was given up and aborted.
    bool WaitForResponse(XmlHttpRequest &request);

    // Only tests shorten the poll, so that the give-up counts run quickly.
    void setPollIntervalMs(int ms) { m_pollIntervalMs = ms > 0 ? ms : 1; }
    int pollIntervalMs() const { return m_pollIntervalMs; }
    // Polls the last wait took (a wait that found the request complete at
    // once took none).
    int lastWaitPolls() const { return m_lastWaitPolls; }
    // Of those, the polls that ended with no answer begun.
    int lastWaitPollsBeforeAnswer() const { return m_lastWaitPollsBeforeAnswer; }

private:
    // Runs events until the request completes or one poll interval passed.
    void RunOnePoll(XmlHttpRequest &request);

    int m_pollIntervalMs = DefaultPollIntervalMs;
    int m_lastWaitPolls = 0;
    int m_lastWaitPollsBeforeAnswer = 0;
};
