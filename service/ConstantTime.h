#pragma once

#include <QByteArray>

// Comparison of secrets that does not stop at the first difference, so the
// time taken says nothing about how much of a guess was right.
class ConstantTime
{
public:
    static bool equal(const QByteArray &a, const QByteArray &b)
    {
        if (a.size() != b.size())
            return false;
        unsigned char difference = 0;
        for (qsizetype i = 0; i < a.size(); ++i)
            difference |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
        return difference == 0;
    }
};
