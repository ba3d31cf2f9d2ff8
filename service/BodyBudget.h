#pragma once

#include <QtGlobal>

// The request bodies all connections together hold in memory. A body is
// counted from the moment it is let in (by its announced length) until its
// request is done, so that many connections announcing large bodies cannot
// together fill the memory.
class BodyBudget
{
public:
    explicit BodyBudget(qint64 capacityBytes)
        : m_capacity(capacityBytes)
    {
    }

    // False, and nothing counted, when the bytes do not fit.
    bool reserve(qint64 bytes)
    {
        if (bytes < 0 || bytes > m_capacity - m_used)
            return false;
        m_used += bytes;
        return true;
    }
    void release(qint64 bytes) { m_used -= qMin(bytes, m_used); }
    qint64 used() const { return m_used; }

private:
    qint64 m_capacity;
    qint64 m_used = 0;
};
