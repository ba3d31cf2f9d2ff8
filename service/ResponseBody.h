#pragma once

#include <QByteArray>

// An answer body made piece by piece while it goes out, so that a large
// answer never has to be held whole.
class ResponseBody
{
public:
    virtual ~ResponseBody() = default;

    // The body's length when it is known before the first piece, else -1
    // (the answer is then sent in chunks).
    virtual qint64 size() const { return -1; }
    // Appends the next piece to *out; false when the body has ended (and
    // nothing was appended). A body that cannot go on (a file gone short)
    // sets *failed and ends.
    virtual bool next(QByteArray *out, bool *failed) = 0;
};
