#pragma once

// How many times each session operation attempts its requests before it
// builds its failure text. An attempt starts again from the operation's first
// request; the count belongs to one call of the operation.
namespace Attempts {
constexpr int ConnStatus = 3;
constexpr int StoreLoad = 3;
constexpr int Retrieve = 3;
constexpr int HeaderFetch = 3;
constexpr int UpdatePasses = 3; // MarkAsRead, MoveToDeletedItems
constexpr int Send = 2;
} // namespace Attempts

// What one attempt came to: the operation is finished (with success or with
// an answer that no further attempt would change), or the attempt failed with
// an error number and the next attempt may start.
class AttemptOutcome
{
public:
    static AttemptOutcome Finished() { return AttemptOutcome(true, 0); }
    static AttemptOutcome Failed(int errorNumber) { return AttemptOutcome(false, errorNumber); }

    bool finished() const { return m_finished; }
    int errorNumber() const { return m_errorNumber; }

private:
    AttemptOutcome(bool finished, int errorNumber)
        : m_finished(finished)
        , m_errorNumber(errorNumber)
    {
    }
    bool m_finished;
    int m_errorNumber;
};

// Runs an attempt until one finishes the operation or the attempts are spent.
class RetryRule
{
public:
    explicit RetryRule(int attempts)
        : m_attempts(attempts)
    {
    }

    // True when an attempt finished the operation; false after the last
    // failed attempt, whose error number lastErrorNumber() then gives.
    template<typename Attempt> bool Run(Attempt &&attempt)
    {
        for (int made = 0; made < m_attempts; ++made) {
            const AttemptOutcome outcome = attempt();
            if (outcome.finished())
                return true;
            m_lastErrorNumber = outcome.errorNumber();
        }
        return false;
    }

    int lastErrorNumber() const { return m_lastErrorNumber; }

private:
    int m_attempts;
    int m_lastErrorNumber = 0;
};
